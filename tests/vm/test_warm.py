"""The warm guest: after the first command, the guest stays, and each next
command behaves as in a cold guest of its own; a guest that is killed, goes
idle or is stopped leaves no qemu behind."""

import hashlib
import os
import signal
import subprocess
from pathlib import Path

import pytest

from guest import GUEST, LAB, only_on_the_host
from guest import guest_root, nothing_left_behind  # noqa: F401 -- autouse: every root, no guest left
from harness import ROOT, XServer, as_sample, clean_env, start, wait_for

pytestmark = only_on_the_host


def state():
    """This project's warm guest's folder, on the root of this case."""
    name = hashlib.md5(str(ROOT.resolve()).encode()).hexdigest()[:12]
    return Path(f"/tmp/lab-{os.getuid()}") / f"{os.environ['LAB_GUEST_ROOT']}-{name}"


def warm_qemus():
    """The pids of the qemu processes of this project's warm guests."""
    share = f"local,path={state().parent}/"
    found = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            args = cmdline.read_bytes().decode(errors="replace").split("\0")
        except OSError:
            continue
        if args[0].endswith("qemu-system-x86_64") and any(
                a.startswith(share) and str(state().name) in a for a in args):
            found.append(int(cmdline.parent.name))
    return found


@pytest.fixture
def warm(monkeypatch):
    """A warm guest for the case's commands, stopped after it."""
    monkeypatch.setenv("LAB_GUEST_IDLE", "600")
    yield
    subprocess.run([GUEST, "--stop"], check=True)
    wait_for(lambda: not warm_qemus(), timeout=10, what="no warm guest left")


def guest(script, input=b"", **env):
    return subprocess.run([GUEST, "bash", "-c", script], input=input, capture_output=True,
                          cwd=ROOT / "tests", env=clean_env(**env), timeout=300,
                          preexec_fn=as_sample)


PROBE = ROOT / "build" / "warm-probe"
INPUT = os.urandom(200_000) + b"\0\r\nend"

# Each: a command, its input, and what it hands back (status, output). Each
# case runs its command twice in the same guest: the second run sees nothing
# of the first.
def fresh(folder):
    """What a fresh folder of the guest holds: the way to the project where
    the project lies in it (a clone under /tmp or the home, say)."""
    ways = {p.relative_to(folder).parts[0] for p in {ROOT, ROOT.resolve()}
            if p.is_relative_to(folder)}
    return "".join(f"{way}\n" for way in sorted(ways))


CASES = {
    "status": ("exit 7", b"", 7, b""),
    "death-by-signal": ("kill -TERM $$", b"", -signal.SIGTERM, b""),
    "input": ("cat", INPUT, 0, INPUT),
    "folder": ("pwd", b"", 0, str(ROOT / "tests").encode() + b"\n"),
    "environment": ('echo "$LAB_TEST_WORD"; echo "${DISPLAY-none}"', b"", 0, b"two words\nnone\n"),
    "fresh-tmp": ('ls -A /tmp /var/tmp /dev/shm "$HOME"; touch /tmp/left /var/tmp/left "$HOME/left"',
                  b"", 0, "".join(f"{d}:\n{fresh(d)}\n" for d in sorted(
                      ["/tmp", "/var/tmp", "/dev/shm", os.environ["HOME"]]))[:-1].encode()),
    "background-ends-with-it": ("sleep 30 & echo started", b"", 0, b"started\n"),
}


@pytest.mark.parametrize("name", CASES)
def test_each_command_in_a_warm_guest_is_as_in_a_cold_one(warm, name):
    script, data, status, out = CASES[name]
    for _ in range(2):
        result = guest(script, data, LAB_TEST_WORD="two words")
        assert (result.returncode, result.stdout) == (status, out), result.stderr
    assert len(warm_qemus()) == 1  # one guest took both


def test_a_file_rebuilt_here_is_seen_at_once(warm):
    try:
        for word in ("first", "second"):
            PROBE.write_text(f"echo {word}\n")
            assert guest(f"bash {PROBE}").stdout == f"{word}\n".encode()
    finally:
        PROBE.unlink(missing_ok=True)


def test_two_commands_at_once_and_one_interrupted(warm):
    assert guest("true").returncode == 0  # the guest up
    slow = start([GUEST, "bash", "-c", "sleep 4; echo slow"], stdin=subprocess.DEVNULL)
    stuck = start([GUEST, "sleep", "60"], stdin=subprocess.DEVNULL)
    assert guest("echo quick").stdout == b"quick\n"  # while both run
    stuck.send_signal(signal.SIGINT)
    assert stuck.wait(timeout=30) == -signal.SIGINT
    out, _ = slow.communicate(timeout=60)
    assert (slow.returncode, out) == (0, b"slow\n")


def test_a_guest_killed_between_two_commands_is_booted_anew(warm):
    assert guest("true").returncode == 0
    (qemu,) = warm_qemus()
    os.kill(qemu, signal.SIGKILL)
    result = guest("echo again")
    assert (result.returncode, result.stdout) == (0, b"again\n")
    assert result.stderr.decode().splitlines() == [
        "lab: the guest had ended (killed from outside, or short of memory?): booting a new one"]
    assert warm_qemus() and qemu not in warm_qemus()


def test_an_idle_guest_ends_by_itself(monkeypatch):
    monkeypatch.setenv("LAB_GUEST_IDLE", "2")
    assert guest("true").returncode == 0
    assert warm_qemus()
    wait_for(lambda: not warm_qemus(), timeout=30, what="the idle guest's end")
    result = guest("echo next")  # a new one, without a word
    assert (result.returncode, result.stdout, result.stderr) == (0, b"next\n", b"")
    wait_for(lambda: not warm_qemus(), timeout=30, what="the idle guest's end")


def test_lab_stop_ends_it_at_once(warm):
    assert guest("true").returncode == 0
    subprocess.run([LAB, "stop"], check=True, cwd="/")
    assert not warm_qemus()


def test_each_command_reaches_the_display_it_names_with_that_ones_cookie(warm):
    """Two displays, told apart by where their pointer is."""
    servers = {"x:11 y:22": XServer(cookie=True), "x:33 y:44": XServer(cookie=True)}
    try:
        for where, server in servers.items():
            x, y = (w.split(":")[1] for w in where.split())
            subprocess.run(["xdotool", "mousemove", x, y], env=server.env(), check=True)
        for where in (*servers, next(iter(servers))):
            shown = subprocess.run([GUEST, "--display", "xdotool", "getmouselocation"],
                                   env=servers[where].env(), capture_output=True, timeout=300)
            assert shown.stdout.decode().startswith(where + " "), shown.stderr
    finally:
        for server in servers.values():
            server.stop()
