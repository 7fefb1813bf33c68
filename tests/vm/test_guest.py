"""vm/guest: a command in the guest behaves as it does here -- its output,
its errors, its input, its status, its terminal -- and each way the guest can
fail is said in one line and leaves nothing behind."""

import os
import re
import shutil
import signal
import subprocess

import pytest

from guest import (GUEST, LAB, any_root, guests, kernel, kind, note, one_line,  # noqa: F401
                   only_on_the_host, run_folders)
from guest import guest_root, nothing_left_behind  # noqa: F401 -- autouse: every root, no guest left
from harness import ROOT, Reader, Terminal, as_sample, clean_env, start, wait_for

pytestmark = only_on_the_host


# Everything a command can hand back: bytes that a terminal would change, a
# NUL, a large input read to its end, its folder, its user and environment.
SCRIPT = r"""printf 'out\r\n\0'; printf 'err\n' >&2; cat; echo; pwd; id -un; id -G
echo "$LAB_TEST_WORD"; exit 7"""


def test_output_errors_input_and_status_are_those_of_a_native_run(kind):
    data = os.urandom(300_000) + b"\0\r\n"
    env = clean_env(LAB_TEST_WORD="two words")
    native = subprocess.run(["bash", "-c", SCRIPT], input=data, capture_output=True,
                            cwd=ROOT / "tests", env=env)
    guest = subprocess.run([GUEST, "bash", "-c", SCRIPT], input=data, capture_output=True,
                           cwd=ROOT / "tests", env=env, timeout=120, preexec_fn=as_sample)
    assert (guest.returncode, guest.stderr) == (7, b"err\n")
    assert guest.stdout == native.stdout


def checkout(folder, init=None):
    """What a guest's run needs of a checkout, copied to `folder`: lab and
    what it sources, vm/, build/bin and what runs the samples. `init`: the guest's init to use
    instead."""
    for part in ("lab", "setup", "course/commands.bash", "tests/commands.bash", "vm",
                 "build/bin", "build/launch/reap"):
        (folder / part).parent.mkdir(parents=True, exist_ok=True)
        (shutil.copytree if (ROOT / part).is_dir() else shutil.copy2)(ROOT / part, folder / part)
    if init:
        (folder / "vm" / "init").write_text(init)
    return folder


def with_the_kernel(cache):
    """A new guest cache holding the kernel, its modules (and the root)
    already made, but no initramfs."""
    (cache / kernel().name).mkdir(parents=True)
    for made in kernel().iterdir():
        if not made.name.startswith("initrd-"):
            (cache / kernel().name / made.name).symlink_to(made)
    return cache


def test_checkouts_share_the_users_kernel_and_an_interrupted_fetch_is_made_again(tmp_path,
                                                                                  guest_root):
    """A fetch cut short leaves nothing that counts as made. Then the first
    of two checkouts started at once fetches the kernel; the other waits for
    it and fetches none."""
    if guest_root == "own":
        pytest.skip("the guest's own root comes with its kernel (test_own_root.py)")
    env = clean_env(LAB_GUEST_CACHE=tmp_path / "cache")
    one, two = (checkout(tmp_path / name) for name in ("one", "two"))
    cut = start([str(one / "vm" / "guest"), "true"], env=env, start_new_session=True)
    Reader(cut.stderr.fileno()).until("fetching the guest's kernel", timeout=60)
    os.killpg(cut.pid, signal.SIGKILL)
    cut.wait()
    assert not list((tmp_path / "cache").glob("linux-*"))
    procs = [start([str(p / "vm" / "guest"), "build/bin/basenamer"], env=env, cwd=p)
             for p in (one, two)]
    results = [p.communicate(timeout=300) for p in procs]
    assert [p.returncode for p in procs] == [0, 0]
    for out, _ in results:
        assert out == b"Demo of pointer trap by Tamsel.\nName: basenamer\n"
    assert len([err for _, err in results if b"fetching the guest's kernel" in err]) == 1
    (fetched,) = (tmp_path / "cache").glob("linux-*")
    assert sorted(p.name for p in (tmp_path / "cache").iterdir()) == [
        ".linux-image-amd64", ".lock-host", fetched.name]
    assert sorted(p.name[:7] for p in fetched.iterdir()) == [
        "initrd-", "modules", "vmlinux", "vmlinuz"]


@any_root
def test_a_guest_that_does_not_power_off_still_hands_back_its_command(tmp_path):
    """A guest that hangs on its way out, after the command has ended: the
    command's output and status come back all the same, and the guest is
    stopped."""
    init = (ROOT / "vm" / "init").read_text().replace("reboot -f", "sleep 1000")
    project = checkout(tmp_path / "project", init=init)
    result = subprocess.run([str(project / "vm" / "guest"), "bash", "-c", "echo out; exit 5"],
                            capture_output=True, stdin=subprocess.DEVNULL, cwd=project,
                            env=clean_env(LAB_GUEST_TIMEOUT=60,
                                          LAB_GUEST_CACHE=with_the_kernel(tmp_path / "cache")),
                            timeout=120, preexec_fn=as_sample)
    assert (result.returncode, result.stdout, result.stderr) == (5, b"out\n", b"")
    assert guests(project) == []


# Where the checkout is: here, or a copy in a folder whose path must reach the
# guest as it stands (named from tmp_path). Its path and a link to it are
# made in the guest's own root; how a path travels is the same on every root.
FOLDERS = {
    "here": None,
    "blank": lambda t: t / "my labs" / "suite",
    "comma": lambda t: t / "a,b" / "suite",
    "quotes": lambda t: t / "it's \"q\"" / "suite",
    "equals": lambda t: t / "a=b" / "suite",
    "non-ascii": lambda t: t / "my labs, v2 ü" / "suite",
    "200-long": lambda t: t / ("l" * (200 - len(str(t)) - len("//suite"))) / "suite",
    "symlink": lambda t: (t / "link").symlink_to(t.resolve()) or t / "link" / "real" / "suite",
}


@pytest.mark.parametrize("place", [
    pytest.param(p, id=name, marks=[] if name in ("here", "symlink") else [any_root])
    for name, p in FOLDERS.items()])
def test_lab_runs_a_sample_in_the_guest_and_says_so_once(tmp_path, place):
    project = checkout(place(tmp_path)) if place else ROOT
    result = subprocess.run([str(project / "lab"), "run", "snagbox"], input=b"q",
                            capture_output=True, cwd=project, env=clean_env(LAB_GUEST="1"),
                            timeout=120, preexec_fn=as_sample)
    assert result.returncode == ord("q")
    assert result.stdout == (ROOT / "tests/crashtrap/expected/running.stdout.exp").read_bytes()
    assert result.stderr == (note("run") + "\n").encode()


@any_root
def test_a_guest_killed_from_outside_is_one_line():
    """As when the machine runs short of memory: qemu is killed while the
    command runs, and the user reads lab's line, no job report of the shell."""
    before = run_folders()  # a folder that another run left is not this one's
    proc = start([GUEST, "sleep", "60"], stdin=subprocess.DEVNULL)
    (run,) = wait_for(lambda: [f for f in run_folders() - before if (f / "booted").exists()],
                      timeout=60, what="the command to start")
    (qemu,) = guests(share=f"local,path={run},")
    os.kill(qemu, signal.SIGKILL)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 1
    assert re.fullmatch(r"lab: the guest ended before the command did: qemu was killed by "
                        r"SIGKILL( \(guest console: .*\))?", one_line(err))


def path_without(tmp_path, *names):
    """A search path with every program of this machine but `names`."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    for folder in ("/usr/bin", "/usr/sbin"):
        for entry in os.scandir(folder):
            if entry.name not in names and not (bindir / entry.name).exists():
                (bindir / entry.name).symlink_to(entry.path)
    return str(bindir)


def fake_apt_cache(tmp_path):
    """apt that knows no kernel package."""
    bindir = tmp_path / "fakebin"
    bindir.mkdir()
    (bindir / "apt-cache").write_text("#!/bin/sh\nexit 0\n")
    (bindir / "apt-cache").chmod(0o755)
    return f"{bindir}:{os.environ['PATH']}"


def broken_boot_files(tmp_path):
    """A cache whose initramfs is no initramfs: the kernel finds no init."""
    cache = with_the_kernel(tmp_path / "cache")
    for made in kernel().glob("initrd-*"):  # named after what it is made of
        (cache / kernel().name / made.name).write_bytes(b"not an archive\n")
    return cache


# how the guest is set up to fail, the command, what lab says
FAILURES = [
    ("no-qemu", lambda t: {"PATH": path_without(t, "qemu-system-x86_64")}, ["true"],
     r"lab: qemu-system-x86_64 is not installed: run \./lab setup"),
    ("no-kernel-package", lambda t: {"LAB_GUEST_CACHE": t / "cache", "PATH": fake_apt_cache(t)},
     ["true"], r"lab: no kernel package for the guest: .*"),
    ("kernel-finds-no-init", lambda t: {"LAB_GUEST_CACHE": broken_boot_files(t)}, ["true"],
     r"lab: the guest did not boot \(guest console: .+\)"),
    ("boot-bound", lambda t: {"LAB_GUEST_BOOT_TIMEOUT": 1}, ["true"],
     r"lab: the guest did not boot within 1 s"),
    ("command-bound", lambda t: {"LAB_GUEST_TIMEOUT": 2}, ["sleep", "60"],
     r"lab: the command outlived its bound of 2 s \(LAB_GUEST_TIMEOUT\): the guest was stopped"),
]


@any_root
@pytest.mark.parametrize("setting,command,says", [f[1:] for f in FAILURES],
                         ids=[f[0] for f in FAILURES])
def test_each_failure_is_one_line_and_a_nonzero_status(tmp_path, setting, command, says,
                                                       guest_root):
    if guest_root == "own" and "no kernel package" in says:
        pytest.skip("the guest's own root asks the host's apt nothing")
    result = subprocess.run([GUEST, *command], capture_output=True, stdin=subprocess.DEVNULL,
                            env=clean_env(**setting(tmp_path)), timeout=120, preexec_fn=as_sample)
    assert result.returncode != 0
    assert re.fullmatch(says, one_line(result.stderr))
    assert result.stdout == b""
    cache = tmp_path / "cache"
    if cache.exists():  # no half-made kernel or initramfs either
        assert not list(cache.glob(".making*"))


@any_root
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_to_lab_stops_the_guest_and_lab_dies_of_it(sig):
    proc = start([LAB, "run", "snagbox"], env=clean_env(LAB_GUEST="1"))
    out = Reader(proc.stdout.fileno())
    out.until("running...\n", timeout=120)  # the guest is up, the sample waits
    proc.send_signal(sig)
    assert proc.wait(timeout=20) == -sig
    assert proc.stderr.read().decode().splitlines() == [
        note("run"), f"lab: stopped by {sig.name}: the guest was shut down"]


def test_a_terminal_through_the_guest(tmp_path, kind):
    """As a person sees it: the quit key reaches the sample in the guest, gdb
    gets the terminal at this terminal's size, with line editing; when it is
    over the terminal is as it was."""
    after = tmp_path / "stty"
    with Terminal(f"LAB_GUEST=1 ./lab run snagbox -jit; stty -a > {after}; sleep 60",
                  width=100, height=40, cwd=ROOT) as term:
        term.shows("jit debug handler registered", timeout=120)
        term.keys("C-\\")
        term.shows("(gdb)", timeout=120)
        term.keys("show width", "Enter")
        term.shows("in a line is 100.", timeout=30)
        term.keys("bx", "BSpace", "t", "Enter")  # typed, corrected, run
        assert "crash_handler (sig=3)" in term.shows("in main (", timeout=60)
        term.keys("kill", "Enter")
        term.shows("(y or n)", timeout=30)
        term.keys("y", "Enter")
        term.shows("[Inferior 1 (process", timeout=30)
        term.keys("quit", "Enter")  # the run waits for the gdb it started
        settings = wait_for(lambda: after.exists() and after.read_text(), timeout=60,
                            what="the command to end")
    for setting in ("icanon", "echo", "isig"):  # none of them left off
        assert re.search(rf"(?<![-\w]){setting}\b", settings), settings


# At a terminal, a sample prints through the guest what it prints at a
# terminal of the guest's own (util-linux's script gives it one there): the
# same stdio buffer, so the same allocations. Only addresses vary.
@pytest.mark.parametrize("name", ["blockrot", "arenascope"])
def test_at_a_terminal_a_sample_prints_what_it_prints_at_a_native_one(name):
    with Terminal(f"clear; export LAB_GUEST=1; ./lab run {name} 2>/dev/null; echo status=$?; "
                  f"{GUEST} script -qec build/bin/{name} /dev/null; echo status=$?; echo over; sleep 60",
                  cwd=ROOT) as term:
        screen = term.shows("over\n", timeout=240)
    guest, native, _ = re.sub(r"0x[0-9a-f]+", "0x...", screen).split("status=0\n")
    assert guest == native


# Keys at a terminal, as natively: Ctrl-C while the guest boots ends the run
# at once; the quit key kills the sample, and the shell's status says so
# (128 + 3; bash 5.3 no longer prints "Quit" for it).
@any_root
@pytest.mark.parametrize("key,when,then", [("C-c", "booting the guest", "status=130"),
                                           ("C-\\", "running...", "status=131")],
                         ids=["ctrl-c-at-boot", "quit-key"])
def test_keys_at_a_terminal(key, when, then, kind):
    with Terminal("bash --norc", cwd=ROOT) as term:  # a shell that a key does not end
        term.keys("LAB_GUEST=1 ./lab run snagbox", "Enter")
        term.shows(when, timeout=120)
        term.keys(key)
        wait_for(lambda: term.screen().count("bash-") == 2, timeout=30, what="the prompt again")
        term.keys("echo status=$?", "Enter")
        assert then in term.shows("status=1", timeout=30)


@any_root
def test_the_shell_runs_samples_by_hand():
    with Terminal("LAB_GUEST=1 ./lab shell; echo status=$?; sleep 60", cwd=ROOT) as term:
        term.shows("(lab guest) ", timeout=120)
        term.keys("cd build/bin && ./basenamer && (exec -a dir/ ./basenamer); exit 3", "Enter")
        screen = term.shows("status=", timeout=60)
    assert re.search(r"\nName: basenamer\n.*\nName:\n.*\nstatus=3\n", screen, re.S), screen
