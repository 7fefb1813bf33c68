"""./lab tour ends by itself, shows every deliverable, and leaves nothing
behind: no process of a sample, no file outside build/."""

import subprocess

from harness import PATIENCE, ROOT, as_sample, clean_env


def deliverables():
    out = subprocess.run([str(ROOT / "lab"), "help"], capture_output=True, text=True,
                         check=True).stdout
    return [line.split()[0] for line in out.split("deliverables:\n", 1)[1].splitlines()]


def untracked_outside_build():
    out = subprocess.run(["git", "status", "--porcelain", "--ignored", "--untracked-files=all"],
                         cwd=ROOT, capture_output=True, text=True, check=True).stdout
    return {l for l in out.splitlines() if not l[3:].startswith("build/")}


def sample_processes(top):
    out = subprocess.run(["pgrep", "-a", "-f", str(top / "build" / "bin")],
                         capture_output=True, text=True).stdout
    return out.splitlines()


def test_tour(tmp_path):
    """Through a folder whose name holds a blank, a comma and a non-ASCII
    letter: a link to this checkout."""
    link = tmp_path / "my labs, v2 ü"
    link.symlink_to(ROOT)
    before = untracked_outside_build()
    result = subprocess.run([str(link / "lab"), "tour"], capture_output=True, text=True,
                            env=clean_env(), stdin=subprocess.DEVNULL, timeout=180 * PATIENCE,
                            preexec_fn=as_sample)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    for name in deliverables():
        assert name in result.stdout, f"the tour never shows {name}"
    assert "crash_handler (sig=3)" in result.stdout
    assert "ld.so" not in result.stderr  # the heap stop's preload was loaded
    for shot in ("plainwin", "wavebutton", "rowswap"):
        assert f"build/shots/{shot}.png" in result.stdout
    assert untracked_outside_build() == before
    assert sample_processes(ROOT) == sample_processes(link) == []

