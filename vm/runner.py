"""vm/runner.py -- the guest's side of one run: started by vm/init, as root,
in the guest's root, once everything is mounted.

Takes, from this run's folder (the host's, shared at /run/lab):
  settings  key=value lines (vm/guest writes them): stdio (where stdin,
            stdout and stderr go: tty or port), user (uid:gid), size
            (rows cols of the caller's terminal);
  cmd       the command, a bash script (vm/guest writes it).
Gives the command its standard streams: the virtio ports lab.stdin,
lab.stdout and lab.stderr, which vm/guest relays; and where the caller is at a
terminal (tty), a pseudo-terminal of its own, as a native terminal is, owned
by the user, sized as the caller's terminal: its other side is relayed over
the port lab.tty. Over the port lab.ctl the host sends "size ROWS COLS" when
its terminal is resized and "continue" when the command is to go on after a
stop; the runner sends "stopped" when the command stops (Ctrl-Z). When the
command ends, the runner writes how to the file status ("exit N" or
"signal N") once all it wrote has been relayed. The file booted, made just
before the command starts, tells vm/guest that the boot is over.
"""

import fcntl
import os
import select
import signal
import struct
import sys
import termios

RUN = "/run/lab"


def port(name):
    """The device of the virtio port that vm/guest named lab.NAME."""
    while True:
        for dev in os.listdir("/sys/class/virtio-ports"):
            try:
                with open(f"/sys/class/virtio-ports/{dev}/name") as f:
                    if f.read().strip() == f"lab.{name}":
                        return f"/dev/{dev}"
            except OSError:
                pass
        select.select([], [], [], 0.01)


def set_size(fd, rows, cols):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))


class Pipe:
    """Bytes from one descriptor to another, neither of which may block the
    other: what the reader gave and the writer has not yet taken waits here."""

    def __init__(self, src, dst):
        self.src, self.dst, self.data, self.open = src, dst, b"", True
        for fd in (src, dst):
            os.set_blocking(fd, False)

    def read(self):
        try:
            chunk = os.read(self.src, 65536)
        except BlockingIOError:
            return
        except OSError:  # EIO: no process holds the terminal any more
            chunk = b""
        self.data += chunk
        self.open = bool(chunk)

    def write(self):
        try:
            self.data = self.data[os.write(self.dst, self.data):]
        except BlockingIOError:
            pass


def session(streams, terminal, said):
    """The command's session: its leader (this process) starts the command
    as its own process group, in the foreground of the terminal (if any),
    and says on `said` what becomes of it, a line each: "pgrp N" once it is
    started, "stopped" each time it stops, and "exit N" or "signal N" at its
    end. The command is not an orphaned process group, so the terminal's
    Ctrl-Z stops it, as in a shell."""
    os.setsid()
    if terminal is not None:
        fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)
    command = os.fork()
    if command == 0:
        os.setpgid(0, 0)
        if terminal is not None:
            signal.signal(signal.SIGTTOU, signal.SIG_IGN)  # a background group's request
            os.tcsetpgrp(terminal, os.getpid())
        for fd, stream in enumerate(streams):
            os.dup2(stream, fd)
        os.closerange(3, os.sysconf("SC_OPEN_MAX"))
        open(f"{RUN}/booted", "w").close()  # (vm/guest waits for this)
        for sig in (signal.SIGTTOU, signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT, signal.SIGQUIT):
            signal.signal(sig, signal.SIG_DFL)
        os.execve("/bin/bash", ["bash", "--noprofile", "--norc", f"{RUN}/cmd"], {})
    os.setpgid(command, command)  # (both do it: whichever comes first)
    os.write(said, f"pgrp {command}\n".encode())
    while True:
        _, wstatus = os.waitpid(command, os.WUNTRACED)
        if os.WIFSTOPPED(wstatus):
            os.write(said, b"stopped\n")
        elif os.WIFSIGNALED(wstatus):
            os.write(said, f"signal {os.WTERMSIG(wstatus)}\n".encode())
            os._exit(0)
        else:
            os.write(said, f"exit {os.WEXITSTATUS(wstatus)}\n".encode())
            os._exit(0)


def main():
    settings = dict(line.rstrip("\n").split("=", 1) for line in open(f"{RUN}/settings")
                    if "=" in line)
    kinds = settings["stdio"].split(",")
    uid, gid = (int(n) for n in settings["user"].split(":"))
    tty = "tty" in kinds
    if tty:
        master, slave = os.openpty()
        rows, cols = (int(n) for n in settings.get("size", "24 80").split())
        set_size(master, rows, cols)
        os.fchown(slave, uid, gid)  # the user's, as a terminal they opened would be
        link = os.open(port("tty"), os.O_RDWR | os.O_NOCTTY)
        ctl = os.open(port("ctl"), os.O_RDWR | os.O_NOCTTY)
    streams = [slave if kind == "tty" else
               os.open(port(name), (os.O_RDONLY if name == "stdin" else os.O_WRONLY) | os.O_NOCTTY)
               for name, kind in zip(("stdin", "stdout", "stderr"), kinds)]

    said_r, said_w = os.pipe()  # what the command's session says of it
    if os.fork() == 0:
        os.close(said_r)
        session(streams, slave if tty else None, said_w)
    for stream in set(streams):
        os.close(stream)
    os.close(said_w)
    pgrp, heard, hearing = None, b"", True

    status = None
    pipes = [Pipe(link, master), Pipe(master, link)] if tty else []
    commands = b""
    while status is None or (pipes and pipes[1].open):
        readable = ([p.src for p in pipes if p.open] + ([said_r] if hearing else [])
                    + ([ctl] if tty else []))
        writable = [p.dst for p in pipes if p.data]
        # once the command has ended, what is left to relay comes at once
        ready_r, ready_w, _ = select.select(readable, writable, [],
                                            None if status is None else 0.2)
        if status is not None and not ready_r and not ready_w:
            break
        for p in pipes:
            if p.src in ready_r:
                p.read()
            if p.dst in ready_w or p.data:
                p.write()
        if tty and ctl in ready_r:
            commands += os.read(ctl, 4096)
            while b"\n" in commands:
                line, commands = commands.split(b"\n", 1)
                word, *args = line.decode().split()
                if word == "size":
                    set_size(master, *(int(a) for a in args))
                elif word == "continue" and pgrp:
                    os.killpg(pgrp, signal.SIGCONT)
        if said_r in ready_r:
            chunk = os.read(said_r, 4096)
            heard, hearing = heard + chunk, bool(chunk)
            while b"\n" in heard:
                line, heard = heard.split(b"\n", 1)
                word, *args = line.decode().split()
                if word == "pgrp":
                    pgrp = int(args[0])
                elif word == "stopped":
                    os.write(ctl, b"stopped\n")  # (only a terminal's Ctrl-Z stops it)
                else:
                    status = line.decode()
    for p in pipes[1:]:  # the rest of the output, now that nothing more comes
        os.set_blocking(p.dst, True)
        p.write()
    with open(f"{RUN}/status", "w") as f:
        f.write(status + "\n")


if __name__ == "__main__":
    sys.exit(main())
