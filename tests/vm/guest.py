"""What the tests of vm/guest share: where things are, when they run, and
the check that a guest leaves nothing behind.

They run on the host, where ./lab runs the other tests in the guest
(LAB_GUEST=1 ./lab test does that on any machine). Elsewhere they are skipped:
a machine that runs i386 programs itself needs no guest, and in the guest
there is none to start."""

import os
import subprocess

import pytest

from harness import ROOT, wait_for

GUEST = str(ROOT / "vm" / "guest")
LAB = str(ROOT / "lab")
RUNS = ROOT / "build" / "guest"

only_on_the_host = pytest.mark.skipif(
    not os.environ.get("LAB_GUEST_TESTS") or bool(os.environ.get("LAB_IN_GUEST")),
    reason="./lab runs the guest's tests on the host, where it uses the guest")


def note(command, display=None):
    """What ./lab says when LAB_GUEST=1 sends a command to the guest."""
    where = f"; its window on your display {display}" if display else ""
    return f"lab: LAB_GUEST=1: running './lab {command}' in a qemu guest (vm/guest){where}"


def leftovers():
    """This project's guests still running, and run folders not cleaned up."""
    qemus = subprocess.run(["pgrep", "-f", f"labdir={ROOT} "], capture_output=True,
                           text=True).stdout.split()
    return qemus, sorted(p.name for p in RUNS.glob("run.*"))


@pytest.fixture(autouse=True)
def nothing_left_behind():
    yield
    wait_for(lambda: leftovers() == ([], []), timeout=10,
             what="no guest and no run folder left behind")


def one_line(stderr):
    lines = stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("lab: "), lines
    return lines[0]
