"""Starting samples, feeding them and reading what they write.

Every test goes through these helpers, so that each sample starts the same
way: default signal dispositions (a shell may have left SIGQUIT and SIGINT
ignored), no core files, and an environment without the variables that make
gdb or GTK talk about the desktop they run on.
"""

import contextlib
import itertools
import os
import resource
import select
import signal
import socket
import subprocess
import time
import tempfile
import tty
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _emulated():
    """True in a guest whose processor qemu emulates (TCG), not KVM."""
    try:
        return "QEMU TCG" in Path("/proc/cpuinfo").read_text()
    except OSError:
        return False


# How much longer every wait may take than natively: under emulation a
# program starts and runs many times slower (more so on a busy machine), and
# the waits of the tests are meant to catch what never comes, not what is slow.
PATIENCE = 8 if _emulated() else 1
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


def as_sample():
    """For preexec_fn: what a sample starts with wherever the test runs."""
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
    return subprocess.Popen(argv, env=env or clean_env(), preexec_fn=as_sample,
                            **kwargs)


def run(argv, stdin=b"", env=None, timeout=20, **kwargs):
    """Run a sample to its end; returns the CompletedProcess (bytes)."""
    proc = start(argv, env=env, **kwargs)
    try:
        out, err = proc.communicate(stdin, timeout=timeout * PATIENCE)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def wait_for(predicate, timeout=10.0, interval=0.02, what="condition"):
    """Poll predicate until it returns something true; returns that. The
    timeout is the native one: PATIENCE stretches it."""
    timeout *= PATIENCE
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

    def until(self, text, timeout=10.0, since=0):
        """Wait until text (bytes or str) has arrived, after the first `since`
        bytes; returns the data from there on."""
        if isinstance(text, str):
            text = text.encode()
        deadline = time.monotonic() + timeout * PATIENCE
        while text not in self.data[since:]:
            left = deadline - time.monotonic()
            if left <= 0 or self.closed:
                raise AssertionError(f"{text!r} did not arrive; got {self.data!r}")
            self.pump(min(left, 0.1))
        return self.data[since:]

    def quiet(self, seconds):
        """Read for a short while; returns what arrived in that time."""
        before = len(self.data)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not self.closed:
            self.pump(deadline - time.monotonic())
        return self.data[before:]

    def rest(self, timeout=10.0):
        deadline = time.monotonic() + timeout * PATIENCE
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


def filtered(data, patterns):
    """Output with what varies from run to run made constant: each
    (compiled pattern, replacement) in turn."""
    for pattern, repl in patterns:
        data = pattern.sub(repl, data)
    return data


def expected(test_file, name):
    """The expected-output file `name` kept beside the test in expected/."""
    return (Path(test_file).parent / "expected" / name).read_bytes()


class Terminal:
    """A command in a terminal of its own (a tmux server of this test run),
    read as a person sees it and typed into with keys."""

    made = itertools.count()

    def __init__(self, command, width=120, height=50, cwd=None, env=None):
        # a server of its own: one that another Terminal has just killed may
        # still be going, and refuses a session
        self.tmux = ["tmux", "-L", f"lab-test-{os.getpid()}-{next(Terminal.made)}", "-f", "/dev/null"]
        subprocess.run([*self.tmux, "new-session", "-d", "-x", str(width), "-y", str(height),
                        *(["-c", str(cwd)] if cwd else []), command],
                       check=True, env=env or clean_env())

    def screen(self):
        """All that the terminal showed: its scroll-back too."""
        return subprocess.run([*self.tmux, "capture-pane", "-p", "-S", "-"], capture_output=True,
                              text=True).stdout

    def shows(self, text, timeout=20):
        """Wait until the screen shows text; returns the screen."""
        return wait_for(lambda: text in (s := self.screen()) and s, timeout=timeout,
                        what=f"{text!r} on the terminal")

    def keys(self, *keys):
        subprocess.run([*self.tmux, "send-keys", *keys], check=True)

    def ended(self):
        return subprocess.run([*self.tmux, "has-session"], capture_output=True).returncode != 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        subprocess.run([*self.tmux, "kill-server"], capture_output=True)


# --- GUI samples: a private X server, real pointer input, the widget tree ---

TREEDUMP = ROOT / "build" / "gui" / "treedump.so"


class XServer:
    """An Xvfb of its own on a free display, optionally with openbox on it.
    With cookie=True it lets in only clients that hold its cookie, as a
    desktop's display does; the cookie is in the file self.xauthority. With
    tcp=True clients reach it on its TCP port, as localhost:N."""

    def __init__(self, window_manager=False, cookie=False, tcp=False):
        self.xauthority = None
        auth = []
        if cookie:
            self._folder = tempfile.TemporaryDirectory(prefix="lab-xauth-")
            self.xauthority = os.path.join(self._folder.name, "Xauthority")
            auth = ["-auth", self.xauthority]
            # The file is written before the server has a number: an entry
            # for this host with no display number fits any number.
            host = socket.gethostname().encode()
            entry = "0100 %04x %s 0000  0012 %s 0010 %s\n" % (
                len(host), host.hex(), b"MIT-MAGIC-COOKIE-1".hex(), os.urandom(16).hex())
            os.close(os.open(self.xauthority, os.O_CREAT | os.O_WRONLY, 0o600))
            subprocess.run(["xauth", "-q", "-f", self.xauthority, "nmerge", "-"],
                           input=entry, text=True, check=True)
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-listen" if tcp else "-nolisten", "tcp", "-noreset", *auth],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = Reader(read_end)
        number.until(b"\n", timeout=20)
        os.close(read_end)
        self.display = ("localhost:" if tcp else ":") + number.data.decode().strip()
        self.wm = None
        if window_manager:
            self._start_openbox()

    def env(self, **extra):
        """A clean environment for a client of this server."""
        if self.xauthority:
            extra.setdefault("XAUTHORITY", self.xauthority)
        return clean_env(DISPLAY=self.display, **extra)

    def _start_openbox(self):
        ready = Path(f"/tmp/lab-openbox-{os.getpid()}-{self.display.split(':')[1]}")
        ready.unlink(missing_ok=True)
        self.wm = subprocess.Popen(
            ["openbox", "--sm-disable", "--startup", f"touch {ready}"],
            env=self.env(), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        wait_for(ready.exists, timeout=20, what="openbox to start")
        ready.unlink()

    def xlib(self):
        """A python3-xlib connection; it reads the cookie from XAUTHORITY
        when it connects, and from nowhere else."""
        from Xlib import display  # python3-xlib

        saved = os.environ.get("XAUTHORITY")
        if self.xauthority:
            os.environ["XAUTHORITY"] = self.xauthority
        try:
            return display.Display(self.display)
        finally:
            if saved is None:
                os.environ.pop("XAUTHORITY", None)
            else:
                os.environ["XAUTHORITY"] = saved

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                              env=self.env(), check=False).stdout

    def stop(self):
        for proc in (self.wm, self.proc):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        if self.xauthority:
            self._folder.cleanup()


class GuiSample:
    """A GUI sample on an XServer: standard output on a pseudo-terminal (so it
    arrives as it is written), standard error on a pipe, the tree-dump module
    loaded, the pointer driven through XTEST.

    launcher: what starts the sample, if not itself (["./lab", "run"], with
    LAB_GUEST=1 in env: the sample runs in the guest, where its process is
    not ours, and its window is found by its class)."""

    def __init__(self, x, name, args=(), launcher=(), timeout=20, **env):
        self.x = x
        master, slave = os.openpty()
        tty.setraw(slave)  # bytes as the sample writes them: no \r added
        env = x.env(GTK_MODULES=TREEDUMP, NO_AT_BRIDGE=1, **env)
        self.proc = start([*launcher, name, *args], env=env, stdin=subprocess.DEVNULL,
                          stdout=slave)
        os.close(slave)
        self.out = Reader(master)
        self.err = Reader(self.proc.stderr.fileno())
        search = ["--classname", f"^{name}$"] if launcher else ["--pid", self.proc.pid]

        def window():
            if self.proc.poll() is not None:
                self.err.pump(0.1)
                raise AssertionError(f"{name} ended ({self.proc.returncode}) without a window: "
                                     + self.err.data.decode(errors="replace"))
            return x.xdotool("search", "--onlyvisible", *search).split()

        self.window = int(wait_for(window, timeout=timeout, what=f"the window of {name}")[0])
        self.xlib = x.xlib()

    def click(self, x, y, button=1):
        self.clicks([(x, y, button)])

    def clicks(self, moves):
        """Press and release a button at each (x, y, button), in one xdotool
        run (its own `click` waits 100 ms between press and release)."""
        args = []
        for x, y, button in moves:
            args += ["mousemove", "--window", self.window, x, y,
                     "mousedown", button, "mouseup", button]
        self.x.xdotool(*args)

    def close_request(self):
        """What a window manager sends when the user closes the window."""
        from Xlib import X
        from Xlib.protocol import event

        d = self.xlib
        msg = event.ClientMessage(
            window=d.create_resource_object("window", self.window), client_type=d.intern_atom("WM_PROTOCOLS"),
            data=(32, [d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        d.send_event(self.window, msg, event_mask=X.NoEventMask)
        d.flush()

    def dump(self):
        """The widget tree and the list's state, after every earlier event."""
        from Xlib import Xatom

        start_at = len(self.err.data)
        window = self.xlib.create_resource_object("window", self.window)
        window.change_property(self.xlib.intern_atom("_LAB_TREEDUMP"), Xatom.STRING, 8, b"1")
        self.xlib.flush()
        wait_for(lambda: (self.err.pump(0.02), b"treedump: end\n" in self.err.data[start_at:])[1],
                 timeout=10, interval=0, what="the tree dump")
        text = self.err.data[start_at:].decode()
        text = text[text.index("treedump: begin\n"):text.index("treedump: end\n")]
        return TreeDump([l[len("treedump: "):] for l in text.splitlines()[1:]])

    def problems(self):
        """What GTK or GLib wrote to standard error (the dump aside)."""
        self.err.pump(0.05)
        return [l for l in self.err.data.decode(errors="replace").splitlines()
                if not l.startswith("treedump: ")]

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.xlib.close()
        os.close(self.out.fd)


@contextlib.contextmanager
def gui_samples(x, stderr=(), **options):
    """launch(name, *args) starts a GuiSample on x (options as GuiSample
    takes them). At the end each is stopped, and what it wrote to standard
    error, the tree dumps aside, must be the lines of `stderr` and no more:
    no GTK or GLib complaint."""
    started = []

    def launch(name, *args):
        s = GuiSample(x, name, args, **options)
        started.append(s)
        return s

    yield launch
    for s in started:
        problems = s.problems()
        s.stop()
        assert problems == list(stderr), "\n".join(problems)


class TreeDump:
    def __init__(self, lines):
        self.tree = [l[len("tree "):] for l in lines if l.startswith("tree ")]
        self.items = []  # (label, description, y, selected), top to bottom
        self.prisoner = None
        self.view = None
        self.button = None
        for l in lines:
            kind, _, rest = l.partition(" ")
            if kind == "item":
                _, y, selected, text = rest.split(" ", 3)
                label, description = text.split("|", 1)
                self.items.append((label, description, int(y), selected == "1"))
            elif kind == "prisoner":
                self.prisoner = tuple(rest.split("|", 1))
            elif kind == "view":
                self.view = tuple(int(v) for v in rest.split())
            elif kind == "button":
                self.button = tuple(int(v) for v in rest.split())

    def labels(self):
        return [label for label, *_ in self.items]

    def y_of(self, label):
        (y,) = [y for l, _, y, _ in self.items if l == label]
        assert self.view[0] < y < self.view[1], f"{label} is scrolled out of view"
        return y
