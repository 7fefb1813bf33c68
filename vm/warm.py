"""vm/warm.py -- the host's side of one command in a warm guest.

    python3 vm/warm.py STATE RUN BOUND GUEST ARGS...

Takes: STATE, the warm guest's folder (vm/warm.bash: its port, and the
secret in share/secret); RUN, this command's folder, as vm/guest writes it
for a cold guest (settings, cmd, maybe Xauthority), which it removes once
read; BOUND, the seconds the command may run (0: no bound); GUEST ARGS, the
vm/guest command line to run again where the guest ends before it takes
the command (it was ending by itself just then).

Gives: the command, run in the guest by its server (vm/server.cpp, which
says what the frames are), with this process's standard input, output and
error; at a terminal (the settings' stdio), the terminal's keys, its size
and its changes, and Ctrl-Z, which stops this process as it stops the
command (fg goes on). This process then ends as the command did: its exit
status, or its death by the same signal.
"""

import fcntl
import os
import resource
import shutil
import signal
import socket
import struct
import sys
import termios
import threading
import tty


def say(line):
    os.write(2, f"lab: {line}\n".encode())


def frame(kind, data=b""):
    return struct.pack(">cI", kind, len(data)) + data


class Guest:
    """One connection to the warm guest's server: frames both ways"""

    def __init__(self, state):
        with open(os.path.join(state, "port")) as f:
            port = int(f.read())
        with open(os.path.join(state, "share", "secret"), "rb") as f:
            secret = f.read().strip()
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.lock = threading.Lock()
        self.held = b""
        self.send(b"A", secret)

    def send(self, kind, data=b""):
        with self.lock:
            self.sock.sendall(frame(kind, data))

    def frames(self):
        """the frames that come, as (kind, data), until the connection ends"""
        while True:
            while len(self.held) >= 5:
                kind, size = struct.unpack(">cI", self.held[:5])
                if len(self.held) < 5 + size:
                    break
                data, self.held = self.held[5:5 + size], self.held[5 + size:]
                yield kind, data
            chunk = self.sock.recv(65536)
            if not chunk:
                return
            self.held += chunk


closed = set()


def write_all(fd, data):
    """DATA to fd, as the guest's files took it: a reader that went drops it"""
    try:
        while data and fd not in closed:
            data = data[os.write(fd, data):]
    except BrokenPipeError:
        closed.add(fd)


class Terminal:
    """this process's terminal, raw while the command has it"""

    def __init__(self, guest):
        self.guest = guest
        self.saved = termios.tcgetattr(0)

    def size(self):
        rows, cols = struct.unpack("hhhh", fcntl.ioctl(0, termios.TIOCGWINSZ, b"\0" * 8))[:2]
        return f"size {rows} {cols}\n".encode()

    def take(self):
        tty.setraw(0)
        new = termios.tcgetattr(0)
        new[3] &= ~termios.ECHO
        termios.tcsetattr(0, termios.TCSANOW, new)

    def give_back(self):
        termios.tcsetattr(0, termios.TCSADRAIN, self.saved)

    def stopped(self):
        """the command stopped (Ctrl-Z): so does this process, until fg"""
        self.give_back()
        os.kill(0, signal.SIGTSTP)
        self.take()
        self.guest.send(b"c", self.size() + b"continue\n")


def end_as(how):
    """end as the command did: "exit N" or "signal N" """
    kind, _, number = how.strip().partition(" ")
    n = int(number or 1)
    if kind == "signal":
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        sys.stdout.flush()
        signal.signal(n, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [n])
        os.kill(os.getpid(), n)
        os._exit(128 + n)
    os._exit(n)


def request(run):
    """the command's files, read, and its folder removed"""
    files = []
    for name in ("settings", "cmd", "Xauthority"):
        path = os.path.join(run, name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                files.append(name.encode() + b"\n" + f.read())
    shutil.rmtree(run, ignore_errors=True)
    return files


def feed(guest, kind):
    """standard input (or the terminal's keys) to the guest, to its end"""
    while True:
        try:
            data = os.read(0, 65536)
        except OSError:
            data = b""
        try:
            guest.send(kind, data)
        except OSError:
            return
        if not data:
            return


def main():
    state, run, bound, again = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
    files = request(run)
    at_terminal = b"stdio=tty" in files[0]
    try:
        guest = Guest(state)
        kind, _ = next(guest.frames(), (b"", b""))
    except OSError:
        kind = b""
    if kind != b"y":
        if os.environ.get("LAB_GUEST_AGAIN"):
            say("the warm guest did not take the command")
            os._exit(1)
        os.environ["LAB_GUEST_AGAIN"] = "1"  # (once)
        os.execv(again[0], again)
    guest.sock.settimeout(None)
    for data in files:
        guest.send(b"F", data)
    guest.send(b"G")

    terminal = Terminal(guest) if at_terminal else None

    def stopped_by(number, _frame):
        if terminal:
            terminal.give_back()
        say(f"stopped by SIG{signal.Signals(number).name[3:]}: the command was ended")
        guest.sock.close()
        end_as(f"signal {number}")

    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, stopped_by)
    if bound > 0:
        def outlived(_number, _frame):
            if terminal:
                terminal.give_back()
            say(f"the command outlived its bound of {bound} s (LAB_GUEST_TIMEOUT): it was ended")
            os._exit(1)
        signal.signal(signal.SIGALRM, outlived)
        signal.alarm(bound)
    if terminal:
        terminal.take()
        signal.signal(signal.SIGWINCH, lambda *_: guest.send(b"c", terminal.size()))
    threading.Thread(target=feed, args=(guest, b"t" if terminal else b"i"), daemon=True).start()
    outputs = {b"o": 1, b"e": 2, b"t": 1}
    for kind, data in guest.frames():
        if kind in outputs:
            write_all(outputs[kind], data)
        elif kind == b"c" and data == b"stopped\n" and terminal:
            terminal.stopped()
        elif kind == b"x":
            if terminal:
                terminal.give_back()
            end_as(data.decode())
    if terminal:
        terminal.give_back()
    say("the guest ended before the command did")
    os._exit(1)


if __name__ == "__main__":
    main()
