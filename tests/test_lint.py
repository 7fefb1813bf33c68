"""The suite's own hygiene: shell scripts pass shellcheck, and every compiled
source passes clang-tidy, once for each way it is compiled (each revision)."""

import json
import os
import shlex
import signal
import shutil
import subprocess

import pytest

from harness import ROOT

SCRIPTS = ["lab", ".ci/run", "setup/packages.bash", "setup/commands.bash", "course/commands.bash", "vm/guest", "vm/kernel.bash", "vm/own-root.bash", "vm/debs.bash", "vm/qemu.bash",
           "vm/command.bash", "vm/warm.bash", "vm/root-file.bash", "vm/init",
           "crashtrap/revisions.sh", "gui/xshell", "gui/window",
           *sorted(str(p.relative_to(ROOT)) for p in (ROOT / "tour").glob("*.sh"))]


def compile_commands():
    db = ROOT / "build" / "compile_commands.json"
    if not db.exists():
        return []
    return json.loads(db.read_text())


def tidy_id(entry):
    defines = [a for a in shlex.split(entry["command"]) if a.startswith("-D") and "=" in a]
    return " ".join([str(entry["file"]).replace(str(ROOT) + "/", ""), *defines])


@pytest.mark.skipif(shutil.which("shellcheck") is None, reason="shellcheck is not installed")
def test_shellcheck():
    result = subprocess.run(["shellcheck", "-x", *SCRIPTS], cwd=ROOT,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


@pytest.mark.skipif(shutil.which("clang-tidy") is None, reason="clang-tidy is not installed")
@pytest.mark.parametrize("entry", compile_commands(), ids=tidy_id)
def test_clang_tidy(entry):
    args = shlex.split(entry["command"])[1:]
    # drop the output and the source itself: clang-tidy takes them apart
    keep, skip = [], False
    for a in args:
        if skip:
            skip = False
        elif a in ("-o", "-c"):
            skip = a == "-o"
        elif a != entry["file"]:
            keep.append(a)
    result = subprocess.run(["clang-tidy", "--quiet", entry["file"], "--", *keep],
                            cwd=entry["directory"], capture_output=True, text=True)
    if result.returncode == -signal.SIGSEGV and os.environ.get("LAB_IN_GUEST") == "own":
        # seen with gdk/gdkx.h: the same clang-tidy passes on the host's root
        pytest.xfail("clang-tidy 14 crashes reading X11's headers on the guest's own root")
    assert result.returncode == 0, result.stdout + result.stderr
