"""Starting samples, feeding them and reading what they write.

Every test goes through these helpers, so that each sample starts the same
way: default signal dispositions (a shell may have left SIGQUIT and SIGINT
ignored), no core files, and an environment without the variables that make
gdb or GTK talk about the desktop they run on.
"""

import os
import re
import resource
import select
import signal
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BIN = ROOT / "build" / "bin"
HELPERS = ROOT / "build" / "tests"

SCRUBBED = ("DEBUGINFOD_URLS", "GTK_MODULES", "GTK2_RC_FILES", "GTK_RC_FILES",
            "GTK_THEME", "XDG_SESSION_TYPE", "DBUS_SESSION_BUS_ADDRESS",
            "LD_PRELOAD", "DISPLAY")


def sample(name):
    """The path of a deliverable in build/bin."""
    path = BIN / name
    assert path.exists(), f"{path} is not built: run ./lab build"
    return str(path)


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in SCRUBBED}
    env["LC_ALL"] = "C.UTF-8"
    env.update({k: str(v) for k, v in extra.items()})
    return env


def _as_sample():
    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGPIPE, signal.SIGTERM):
        signal.signal(sig, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def start(argv, env=None, **kwargs):
    """Start argv as a sample is started; argv[0] may be a deliverable's name."""
    argv = list(argv)
    if "/" not in argv[0] and (BIN / argv[0]).exists():
        argv[0] = sample(argv[0])
    kwargs.setdefault("stdin", subprocess.PIPE)
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen(argv, env=env or clean_env(), preexec_fn=_as_sample,
                            **kwargs)


def run(argv, stdin=b"", env=None, timeout=20, **kwargs):
    """Run a sample to its end; returns the CompletedProcess (bytes)."""
    proc = start(argv, env=env, **kwargs)
    try:
        out, err = proc.communicate(stdin, timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def wait_for(predicate, timeout=10.0, interval=0.02, what="condition"):
    """Poll predicate until it returns something true; returns that."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


class Reader:
    """Collects what a file descriptor delivers, as it comes."""

    def __init__(self, fd):
        self.fd = fd
        self.data = b""
        self.closed = False

    def pump(self, timeout=0.0):
        while not self.closed:
            ready, _, _ = select.select([self.fd], [], [], timeout)
            if not ready:
                return
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:  # a pty whose other side has gone
                chunk = b""
            if not chunk:
                self.closed = True
                return
            self.data += chunk
            timeout = 0.0

    def until(self, text, timeout=10.0):
        """Wait until text (bytes or str) has arrived; returns all data so far."""
        if isinstance(text, str):
            text = text.encode()
        deadline = time.monotonic() + timeout
        while text not in self.data:
            left = deadline - time.monotonic()
            if left <= 0 or self.closed:
                raise AssertionError(f"{text!r} did not arrive; got {self.data!r}")
            self.pump(min(left, 0.1))
        return self.data

    def quiet(self, seconds):
        """Read for a short while; returns what arrived in that time."""
        before = len(self.data)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not self.closed:
            self.pump(deadline - time.monotonic())
        return self.data[before:]

    def rest(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not self.closed and time.monotonic() < deadline:
            self.pump(0.1)
        return self.data


def proc_state(pid):
    """The one-letter state of a process (R, S, Z, ...), or None once it is gone."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return stat.rsplit(")", 1)[1].split()[0]


def children(pid):
    try:
        text = Path(f"/proc/{pid}/task/{pid}/children").read_text()
    except FileNotFoundError:
        return []
    return [int(c) for c in text.split()]


def exit_code_of_zombie(pid):
    """The wait status a zombie holds for its parent (the last field of stat)."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    return int(stat.rsplit(")", 1)[1].split()[-1])


FILTERS = [
    (re.compile(rb"--pid=\d+"), b"--pid=PID"),
    (re.compile(rb"0x[0-9a-f]{6,16}"), b"0xADDR"),
]


def filtered(data, extra=()):
    """Output with what varies from run to run (pids, addresses) made constant."""
    for pattern, repl in list(FILTERS) + list(extra):
        data = pattern.sub(repl, data)
    return data


def expected(test_file, name):
    """The expected-output file `name` kept beside the test in expected/."""
    return (Path(test_file).parent / "expected" / name).read_bytes()
