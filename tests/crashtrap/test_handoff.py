"""The just-in-time hand-off: after -jit a fatal signal starts gdb, as the
sample's own child, with --pid=<the sample's pid>, while the sample sleeps in
its handler.

Most cases use a stand-in gdb, first on the search path, that only writes
down how it was started; the last ones hand the process to the real gdb."""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from harness import (ROOT, Reader, Terminal, children, clean_env, exit_code_of_zombie, expected,
                     proc_state, sample, start, wait_for)

STANDIN = """#!/bin/sh
# Stand-in gdb: record how we were started, then leave.
{ echo "$PPID"; for a in "$@"; do echo "$a"; done; } > "$STANDIN_RECORDS/$$.tmp"
mv "$STANDIN_RECORDS/$$.tmp" "$STANDIN_RECORDS/$$"
"""

JIT_REVISIONS = [("snagbox-r2", "banner-running-jit", False),
                 ("snagbox", "running-jit", True)]


@pytest.fixture
def standin(tmp_path):
    """A search path whose gdb is the stand-in; returns (env, records folder)."""
    bindir = tmp_path / "bin"
    records = tmp_path / "records"
    bindir.mkdir()
    records.mkdir()
    gdb = bindir / "gdb"
    gdb.write_text(STANDIN)
    gdb.chmod(0o755)
    env = clean_env(PATH=f"{bindir}:/usr/bin:/bin", STANDIN_RECORDS=records)
    return env, records


def recorded(records):
    """{stand-in pid: (its parent, its arguments)} for every finished record."""
    result = {}
    for f in records.iterdir():
        if f.name.isdigit():
            parent, *args = f.read_text().splitlines()
            result[int(f.name)] = (int(parent), args)
    return result


class Waiting:
    """A sample started with -jit, waiting for its key."""

    def __init__(self, name, env, exp, user=()):
        self.want = expected(__file__, exp + ".stdout.exp")
        self.proc = start([*user, sample(name), "-jit"], env=env)
        self.out = Reader(self.proc.stdout.fileno())
        self.out.until(self.want)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


@pytest.mark.parametrize("name,exp,echoes", JIT_REVISIONS)
def test_each_delivery_starts_gdb_once_and_the_sample_sleeps(standin, name, exp, echoes):
    env, records = standin
    with Waiting(name, env, exp) as s:
        pid = s.proc.pid
        s.proc.send_signal(signal.SIGQUIT)
        first = wait_for(lambda: recorded(records), what="the stand-in gdb")
        assert list(first.values()) == [(pid, [f"--pid={pid}"])]

        # The sample stays in its handler: asleep, deaf to the key it waited for.
        s.proc.stdin.write(b"x\n")
        s.proc.stdin.flush()
        s.out.quiet(0.3)
        assert s.proc.poll() is None
        assert proc_state(pid) == "S"

        # Another fatal signal is another delivery, and another debugger.
        s.proc.send_signal(signal.SIGSEGV)
        both = wait_for(lambda: len(recorded(records)) == 2 and recorded(records))
        assert sorted(both.values()) == [(pid, [f"--pid={pid}"])] * 2
        s.out.quiet(0.2)
        assert s.proc.poll() is None
        s.proc.kill()
        s.proc.wait()
        pid_text = f"--pid={pid}\0".encode() * 2 if echoes else b""
        assert s.out.rest() == s.want + pid_text


@pytest.mark.parametrize("sig", [signal.SIGQUIT, signal.SIGSEGV, signal.SIGABRT])
@pytest.mark.parametrize("name", ["snagbox-r1", "snagbox-r2", "snagbox"])
def test_without_jit_a_fatal_signal_has_its_default_effect(standin, name, sig):
    env, records = standin
    proc = start([name], env=env)
    Reader(proc.stdout.fileno()).until("running...\n")
    proc.send_signal(sig)
    assert proc.wait(timeout=5) == -sig
    assert recorded(records) == {}


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("name,exp,echoes", JIT_REVISIONS)
def test_interrupt_and_terminate_are_not_handled(standin, name, exp, echoes, sig):
    env, records = standin
    with Waiting(name, env, exp) as s:
        s.proc.send_signal(sig)
        assert s.proc.wait(timeout=5) == -sig
    assert recorded(records) == {}


@pytest.mark.parametrize("name,exp,echoes", JIT_REVISIONS)
def test_without_gdb_the_child_ends_and_nothing_is_written_twice(tmp_path, name, exp, echoes):
    env = clean_env(PATH=str(tmp_path))  # an empty folder: no gdb anywhere
    with Waiting(name, env, exp) as s:
        pid = s.proc.pid
        s.proc.send_signal(signal.SIGQUIT)
        (child,) = wait_for(lambda: children(pid), what="the forked child")
        wait_for(lambda: proc_state(child) == "Z", what="the child to end")
        assert exit_code_of_zombie(child) == 127 << 8
        s.out.quiet(0.3)
        assert proc_state(pid) == "S"
        s.proc.kill()
        s.proc.wait()
        assert s.out.rest() == s.want + (f"--pid={pid}\0".encode() if echoes else b"")


def test_the_parent_names_its_child_as_tracer_before_the_exec(standin):
    """Where only descendants may be traced, gdb needs its parent's leave:
    the parent grants it to that one child, and the child execs only then."""
    env, records = standin
    log = records.parent / "strace.log"
    proc = start(["strace", "-f", "-qq", "-e", "trace=prctl,execve", "-o", str(log),
                  sample("snagbox"), "-jit"],
                 env=env)
    try:
        Reader(proc.stdout.fileno()).until("jit debug handler registered\n")
        (pid,) = children(proc.pid)
        os.kill(pid, signal.SIGQUIT)
        ((gdb_pid, (parent, args)),) = wait_for(lambda: recorded(records)).items()
        assert (parent, args) == (pid, [f"--pid={pid}"])
        os.kill(pid, signal.SIGKILL)
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=10)
    # Without Yama the call fails with EINVAL; it is the request that matters:
    # made once, by the sample, for that child alone.
    lines = [" ".join(l.split()) for l in log.read_text().splitlines()]
    tracer = [n for n, l in enumerate(lines) if "PR_SET_PTRACER" in l]
    assert [lines[n].split(" = ")[0] for n in tracer] == [
        f"{pid} prctl(PR_SET_PTRACER, {gdb_pid})"]
    (exec_line,) = [n for n, l in enumerate(lines)
                    if l.startswith(f"{gdb_pid} execve(") and '["gdb"' in l]
    assert f'["gdb", "--pid={pid}"]' in lines[exec_line]
    assert exec_line > tracer[0]


@pytest.fixture
def real_gdb():
    if shutil.which("gdb") is None:
        pytest.skip("gdb is not installed")
    return clean_env()


def hand_over_to_gdb(s):
    """The quit signal to a Waiting sample, then bt, kill and quit typed to
    the gdb it starts; returns gdb's pid and all that was written."""
    s.proc.send_signal(signal.SIGQUIT)
    (gdb_pid,) = wait_for(lambda: children(s.proc.pid), what="gdb to start")
    s.proc.stdin.write(b"bt\nkill\nquit\n")
    s.proc.stdin.flush()
    assert s.proc.wait(timeout=60) == -signal.SIGKILL
    return gdb_pid, s.out.rest(timeout=30).decode(errors="replace")


def test_the_real_gdb_attaches_and_sees_the_handler(real_gdb):
    """gdb reads its commands from the sample's standard input, which the
    sample, asleep in its handler, no longer reads."""
    with Waiting("snagbox", real_gdb, "running-jit") as s:
        pid = s.proc.pid
        gdb_pid, text = hand_over_to_gdb(s)
    assert f"--pid={pid}\0" in text
    assert "in crash_handler (sig=3)" in text
    assert "<signal handler called>" in text
    assert "in main (" in text
    wait_for(lambda: proc_state(gdb_pid) is None, timeout=10, what="gdb to quit")


def test_the_quit_key_on_a_terminal_hands_over_to_gdb_and_the_prompt_waits_for_it(real_gdb):
    """As a person sees it: Ctrl-\\ at `./lab run snagbox -jit`, the debugger's
    prompt; after kill and y the shell waits until that gdb has quit, then
    sees the sample's own end (SIGKILL)."""
    shell = f"{ROOT / 'lab'} run snagbox -jit; echo \"ended $?\"; sleep 60"
    with Terminal(shell, env=real_gdb) as term:
        term.shows("jit debug handler registered")
        term.keys("C-\\")
        term.shows("(gdb)", timeout=60)
        term.keys("bt", "Enter")
        shown = term.shows("in main (")
        assert "crash_handler (sig=3)" in shown
        assert "--pid=" in shown
        term.keys("kill", "Enter")
        term.shows("(y or n)")
        term.keys("y", "Enter")
        term.shows("[Inferior 1 (process")
        time.sleep(1)
        assert "ended" not in term.screen()
        term.keys("quit", "Enter")
        assert "ended 137" in term.shows("ended ", timeout=30)


YAMA = Path("/proc/sys/kernel/yama/ptrace_scope")
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


@pytest.fixture
def yama_scope_1():
    """Yama in force: a process may trace only its descendants, and those
    that named it as their tracer."""
    if not YAMA.exists() or os.geteuid() != 0:
        pytest.skip("needs a kernel with Yama, and root to set its scope")
    old = YAMA.read_text()
    YAMA.write_text("1")
    yield
    YAMA.write_text(old)


def test_under_yama_the_handoff_attaches_as_an_unprivileged_user(real_gdb, yama_scope_1):
    if subprocess.run([*NOBODY, "test", "-r", sample("snagbox")]).returncode != 0:
        pytest.skip("the user nobody cannot reach the checkout (a folder above it is closed)")
    env = clean_env(HOME="/")
    # The scope holds: gdb may not attach to a process that is not its descendant...
    other = start([*NOBODY, "sleep", "60"], env=env)
    try:
        refused = subprocess.run([*NOBODY, "gdb", "-batch", "-nx", "-p", str(other.pid)],
                                 capture_output=True, text=True, env=env, timeout=60)
    finally:
        other.kill()
        other.wait()
    assert "ptrace: Operation not permitted" in refused.stdout + refused.stderr
    # ...but the sample's own child is the tracer it named: that gdb attaches.
    with Waiting("snagbox", env, "running-jit", user=NOBODY) as s:
        _, text = hand_over_to_gdb(s)
    assert "Operation not permitted" not in text
    assert "in crash_handler (sig=3)" in text
    assert "<signal handler called>" in text
