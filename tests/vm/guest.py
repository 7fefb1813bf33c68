"""What the tests of vm/guest share: where things are, when they run, and
the check that a guest leaves nothing behind.

They run on the host, where ./lab runs the other tests in the guest
(LAB_GUEST=1 ./lab test does that on any machine). Elsewhere they are skipped:
a machine that runs i386 programs itself needs no guest, and in the guest
there is none to start."""

import os
import subprocess
import tempfile
from pathlib import Path

import pytest

from harness import ROOT, wait_for

GUEST = str(ROOT / "vm" / "guest")
LAB = str(ROOT / "lab")
# What vm/guest boots here and where it keeps it: the root (host or own),
# the cache of the kernel, the initramfs and the own root (vm/guest
# --prepare made them), the own root's release.
DESCRIBED = dict(line.split("=", 1) for line in subprocess.run(
    [GUEST, "--describe"], capture_output=True, text=True,
    env={k: v for k, v in os.environ.items() if k != "LAB_GUEST_ROOT"}).stdout.splitlines())
CACHE = Path(DESCRIBED["cache"])
# The roots that every case runs on: the host's (host) and the guest's own
# (own), as lab names them in LAB_GUEST_ROOT, or "host,own".
ROOTS = (os.environ.get("LAB_GUEST_ROOT") or DESCRIBED["root"]).split(",")

only_on_the_host = pytest.mark.skipif(
    not os.environ.get("LAB_GUEST_TESTS") or bool(os.environ.get("LAB_IN_GUEST")),
    reason="./lab runs the guest's tests on the host, where it uses the guest")


# The roots tried in all: these, and where ./lab test --both runs a test run
# for each root side by side, the other's too. A case whose behaviour does not
# depend on the root (marked any_root) runs on the first of them only.
TRIED = (os.environ.get("LAB_GUEST_ROOTS_TRIED") or ",".join(ROOTS)).split(",")
any_root = pytest.mark.any_root


@pytest.fixture(autouse=True, params=ROOTS)
def guest_root(request, monkeypatch):
    """The root that the guests of a case boot."""
    if request.node.get_closest_marker("any_root") and request.param != TRIED[0]:
        pytest.skip(f"the same on every root: tried on the {TRIED[0]} root")
    monkeypatch.setenv("LAB_GUEST_ROOT", request.param)
    return request.param


def kernel():
    """The folder of the kernel (and the root) that the guests boot."""
    if os.environ["LAB_GUEST_ROOT"] == "own":
        return CACHE / DESCRIBED["own"]
    (folder,) = CACHE.glob("linux-*")
    return folder


def note(command, display=None):
    """What ./lab says when LAB_GUEST_ROOT sends a command to the guest."""
    where = f"; its window on your display {display}" if display else ""
    return (f"lab: LAB_GUEST_ROOT={os.environ['LAB_GUEST_ROOT']}: running './lab {command}' "
            f"in a qemu guest (vm/guest){where}")


# Where vm/guest makes its runs' folders: TMPDIR, which keeps the runs of
# this test run apart from those of another beside it (./lab test --both).
RUNS = Path(tempfile.gettempdir())


def guests(project=ROOT, share=None):
    """The pids of the qemu processes of this test run that share `project`
    with a guest (or whose options hold `share`)."""
    share = share or ("local,path=" + str(Path(project).resolve()).replace(",", ",,")
                      + ",mount_tag=project")
    found = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            args = cmdline.read_bytes().decode(errors="replace").split("\0")
        except OSError:  # gone meanwhile
            continue
        if (args[0].endswith("qemu-system-x86_64") and any(share in a for a in args)
                and any(a.startswith(f"local,path={RUNS}/lab-guest.") for a in args)):
            found.append(int(cmdline.parent.name))
    return found


def run_folders():
    return set(RUNS.glob("lab-guest.*"))


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


@pytest.fixture(params=["cold", "warm"])
def kind(request, monkeypatch):
    """A guest for each command (cold), or one that stays (warm), stopped
    after the case."""
    monkeypatch.setenv("LAB_GUEST_IDLE", "0" if request.param == "cold" else "600")
    yield request.param
    if request.param == "warm":
        subprocess.run([GUEST, "--stop"], check=True)
