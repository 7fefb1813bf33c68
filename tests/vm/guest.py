"""What the tests of vm/guest share: where things are, when they run, and
the check that a guest leaves nothing behind.

They run on the host, where ./lab runs the other tests in the guest
(LAB_GUEST=1 ./lab test does that on any machine). Elsewhere they are skipped:
a machine that runs i386 programs itself needs no guest, and in the guest
there is none to start."""

import os
from pathlib import Path

import pytest

from harness import ROOT, wait_for

GUEST = str(ROOT / "vm" / "guest")
LAB = str(ROOT / "lab")
# The guest's kernel and initramfs, kept per user (vm/guest --prepare made them).
CACHE = Path(os.environ.get("LAB_GUEST_CACHE")
             or Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "lab")

only_on_the_host = pytest.mark.skipif(
    not os.environ.get("LAB_GUEST_TESTS") or bool(os.environ.get("LAB_IN_GUEST")),
    reason="./lab runs the guest's tests on the host, where it uses the guest")


def kernel():
    """The folder of the kernel that the guests of these tests boot."""
    (folder,) = CACHE.glob("linux-*")
    return folder


def note(command, display=None):
    """What ./lab says when LAB_GUEST=1 sends a command to the guest."""
    where = f"; its window on your display {display}" if display else ""
    return f"lab: LAB_GUEST=1: running './lab {command}' in a qemu guest (vm/guest){where}"


def guests(project=ROOT):
    """The pids of the qemu processes that share `project` with a guest."""
    share = "local,path=" + str(Path(project).resolve()).replace(",", ",,") + ",mount_tag=project"
    found = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            args = cmdline.read_bytes().decode(errors="replace").split("\0")
        except OSError:  # gone meanwhile
            continue
        if args[0].endswith("qemu-system-x86_64") and any(a.startswith(share) for a in args):
            found.append(int(cmdline.parent.name))
    return found


def run_folders():
    return set(Path("/tmp").glob("lab-guest.*"))


@pytest.fixture(autouse=True)
def nothing_left_behind():
    before = run_folders()
    yield
    wait_for(lambda: not guests() and run_folders() <= before, timeout=10,
             what="no guest and no run folder left behind")


def one_line(stderr):
    lines = stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("lab: "), lines
    return lines[0]
