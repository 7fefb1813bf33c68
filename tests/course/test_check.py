"""./lab check, hint and progress, as a learner meets them: a right answer is
right in any of its spellings, a near miss is wrong without the answer being
told, a mistyped question is one line and status 2; the record is kept in
the learner's state folder, never in the checkout."""

import shutil
import subprocess

import pytest

from harness import PATIENCE, ROOT, as_sample, clean_env


@pytest.fixture
def lab(tmp_path):
    def run(*args, top=ROOT):
        return subprocess.run([str(top / "lab"), *args], capture_output=True, text=True,
                              env=clean_env(XDG_STATE_HOME=tmp_path / "state",
                                            LAB_CHECK_PATIENCE=PATIENCE),
                              stdin=subprocess.DEVNULL, timeout=300 * PATIENCE,
                              preexec_fn=as_sample)
    run.state = tmp_path / "state" / "lab" / "course.json"
    return run


# question, answer, status, what the one line says; the right answer must
# never appear in the line of a wrong one
VERDICTS = [
    ("P2a", "errname", 0, "right."),
    ("P2a", "errnam", 1, "not what this machine shows"),
    ("B1a", "1", 0, "right."),
    ("B1a", "0", 1, "not what this machine shows"),
    ("A3a", "0x1011", 0, "right."),
    ("A3a", "00001011", 0, "right."),
    ("A3a", "00001010", 1, "not what this machine shows"),
    ("B5c", "4,106", 0, "right."),
    ("C2a", "x-hy", 0, "right."),
    ("C2a", "-h", 1, "not what this machine shows"),
    ("O2b", "%ESI", 0, "right."),
    ("O2b", "rsi", 1, "not what this machine shows"),
    ("B1a", "one", 1, "is not a number"),
    ("Q9", "1", 2, "no question 'Q9'"),
    ("P2a", "", 2, "an empty answer is no answer"),
]


@pytest.mark.parametrize("question,answer,status,says", VERDICTS,
                         ids=[f"{q} {a!r}" for q, a, _, _ in VERDICTS])
def test_verdict(lab, question, answer, status, says):
    result = lab("check", question, *([answer] if answer else []))
    assert result.returncode == status, result.stdout + result.stderr
    lines = [l for l in (result.stdout + result.stderr).splitlines() if not l.startswith("lab: ") or status == 2]
    assert len(lines) == 1 and says in lines[0], lines
    if status == 1:
        for right in ("errname", "4106", "0x1011", "--help", "esi"):
            assert right not in lines[0].replace(answer, "")


def test_hints_come_one_at_a_time_and_progress_follows(lab):
    said = [lab("hint", "B2a").stdout for _ in range(4)]
    assert [s.split(":")[0] for s in said[:3]] == [f"B2a, hint {n} of 3" for n in (1, 2, 3)]
    assert "no more hints" in said[3]
    lab("check", "B1a", "0")
    lab("check", "P3", "a pointer to the end")
    progress = lab("progress").stdout
    assert "  B1  a tried  b -" in progress
    assert "  P3  answered" in progress
    assert lab.state.exists()
    assert not (ROOT / "course.json").exists()


def test_a_students_copy_has_no_answers_and_still_checks(lab, tmp_path):
    """What git archive hands out: the files that export-ignore leaves in,
    with this checkout's build beside them."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True,
                           check=True).stdout.split(b"\0")
    attrs = subprocess.run(["git", "check-attr", "-z", "--stdin", "export-ignore"], cwd=ROOT,
                           input=b"\0".join(files), capture_output=True, check=True).stdout
    fields = attrs.split(b"\0")
    ignored = {fields[i].decode() for i in range(0, len(fields) - 2, 3) if fields[i + 2] == b"set"}
    assert "docs/teacher.md" in ignored
    copy = tmp_path / "copy"
    for name in {f.decode() for f in files if f} - ignored:
        (copy / name).parent.mkdir(parents=True, exist_ok=True)
        if (ROOT / name).exists():
            shutil.copy2(ROOT / name, copy / name)
    (copy / "build").symlink_to(ROOT / "build")
    assert lab("check", "P2a", "errname", top=copy).returncode == 0
    prose = lab("check", "P3", "a pointer to the end", top=copy)
    assert "this copy has none" in prose.stdout
    assert "hint 1 of" in lab("hint", "P3", top=copy).stdout
