"""course/check.py -- the course's one checker, behind ./lab check, hint,
progress and measure.

Takes course/questions.toml (every part of every question: what kind of
answer it wants, how this machine shows it, its hints), docs/teacher.md where
the checkout has it (the model answers of the questions answered in words),
and the learner's record in $XDG_STATE_HOME/lab/course.json (or
~/.local/state/lab/course.json).

Gives, as `check.py COMMAND ARGS`:
  check ID ANSWER...  one line: right or wrong (status 0 or 1), never the
                      answer; a part answered in words gets the model answer
                      to compare with instead. An unknown ID or an empty
                      answer: one line, status 2.
  hint ID             the next of the part's hints
  progress            each worksheet's parts: done, tried, not yet
  measure ID [ANSWER] what the programs show for ID on this machine, now, as
                      JSON; ./lab runs it where the samples run (in the guest
                      where this kernel runs no i386 program), the rest here.
"""

import hashlib
import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The checkout as ./lab names it (maybe through a symbolic link): the samples
# run under that name, as ./lab run starts them.
TOP = Path(os.environ.get("LAB_TOP") or HERE.parent)
LAB = TOP / "lab"
TEACHER = TOP / "docs" / "teacher.md"
DATA = tomllib.loads((HERE / "questions.toml").read_text())
SHEETS = DATA["sheet"]
PARTS = {p["id"]: p for p in DATA["part"]}
IN_WORDS = ("prose", "predict")  # answered in words: compared, never checked


class Unmeasurable(Exception):
    pass


# --- answers, as values that compare ------------------------------------------

def canon(part, text):
    """text as the value the part's kind compares, or None where it is none."""
    kind = part.get("kind", "number")
    if isinstance(text, int):  # measured, and made a number already
        return text
    t = str(text).strip().strip("`'\"").strip()
    if not t:
        return None
    names = part.get("names", {})
    if t in names:
        return names[t]
    if kind in ("number", "index"):
        if kind == "index" and (m := re.fullmatch(r"\w*\[(\d+)\]", t)):
            t = m.group(1)
        t = re.sub(r"(?<=\d)[,_](?=\d)", "", t)
        try:
            if re.fullmatch(r"-?0[xX][0-9a-fA-F]+", t):
                return int(t, 16)
            return int(t, part.get("base", 10))
        except ValueError:
            return None
    if kind == "word":
        if part.get("fold"):  # a register: %RDI, rdi
            t = t.lower().lstrip("%")
        return t.removesuffix("()") or None
    if kind == "words":
        return " ".join(sorted({w.removesuffix("()") for w in re.split(r"[\s,]+", t) if w}))
    if kind == "line":
        return " ".join(t.split())
    if kind == "size":
        m = re.fullmatch(r"(\d+)\s*(?:x|X|by|×)\s*(\d+)", t)
        return f"{m.group(1)}x{m.group(2)}" if m else None
    if kind == "yesno":
        return {"yes": "yes", "y": "yes", "no": "no", "n": "no"}.get(t.lower())
    return t


def fingerprint(value):
    return hashlib.sha256(str(value).encode()).hexdigest()


# --- what the programs show ----------------------------------------------------

def environment(work, answer):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DEBUGINFOD_URLS", "GTK_MODULES", "GTK2_RC_FILES", "LD_PRELOAD")}
    env.update(BIN=str(TOP / "build" / "bin"), LAB=str(LAB), WORK=work, LC_ALL="C.UTF-8")
    if answer is not None:
        env["ANSWER"] = answer
    return env


def as_sample(terminal=False):
    """What a sample starts with, as at a shell: default dispositions, a
    process group of its own (signals go to it all; at a terminal, a session
    whose terminal it is), no core file unless the command asks for one."""
    import fcntl
    import resource
    import termios

    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGPIPE, signal.SIGTERM):
        signal.signal(sig, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))
    if terminal:
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    else:
        os.setpgid(0, 0)


def command_of(part, work):
    """The bash command that shows the part: `run` as it stands, or the
    program under gdb with the part's `gdb` commands."""
    if "gdb" in part:
        script = Path(work) / "commands.gdb"
        script.write_text(part["gdb"])
        return (f'gdb -q -nx -batch -x "$WORK/commands.gdb" --args {part["program"]}')
    return part["run"]


def start(part, work, answer):
    argv = ["bash", "-c", command_of(part, work)]
    kwargs = dict(cwd=TOP, env=environment(work, answer), preexec_fn=as_sample)
    if part.get("to") == "terminal":
        master, slave = pty.openpty()
        kwargs["preexec_fn"] = lambda: as_sample(terminal=True)
        proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, **kwargs)
        os.close(slave)
        return proc, master
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, **kwargs)
    return proc, proc.stdout.fileno()


def read_some(fd, timeout):
    ready, _, _ = select.select([fd], [], [], timeout)
    if not ready:
        return b""
    try:
        return os.read(fd, 65536) or None
    except OSError:  # a terminal whose other side has gone
        return None


def perform(part, answer=None):
    """Run what shows the part; returns (its output as text, its status as a
    shell gives it: 128+N for a death by signal N)."""
    patience = float(os.environ.get("LAB_CHECK_PATIENCE", "1")) * part.get("patience", 1)
    with tempfile.TemporaryDirectory(prefix="lab-check-") as work:
        proc, fd = start(part, work, answer)
        out, deadline = b"", time.monotonic() + 120 * patience
        steps = list(part.get("steps", []))
        if proc.stdin is not None and not steps:
            proc.stdin.write(part.get("stdin", "").encode())
            proc.stdin.close()
        while True:
            while steps and steps[0][0] != "wait":
                action, arg = steps.pop(0)
                if action == "signal":
                    os.killpg(proc.pid, getattr(signal, f"SIG{arg}"))
                elif action == "type":
                    proc.stdin.write(arg.encode())
                    proc.stdin.flush()
                elif action == "pause":  # (a text has come: let its write return)
                    time.sleep(float(arg) * patience)
                if not steps:
                    proc.stdin.close()
            if steps and steps[0][1].encode() in out:
                steps.pop(0)
                continue
            chunk = read_some(fd, 0.1)
            if chunk is None:
                break
            out += chunk
            if time.monotonic() > deadline:
                break
        try:
            status = proc.wait(timeout=max(deadline - time.monotonic(), 1))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            raise Unmeasurable(f"{part['id']}: the programs did not end in time") from None
        if fd != (proc.stdout.fileno() if proc.stdout else None):
            os.close(fd)
        if steps:
            raise Unmeasurable(f"{part['id']}: {steps[0][1]!r} never came")
    text = out.decode(errors="replace").replace("\r\n", "\n")
    return text, 128 - status if status < 0 else status


TRANSFORMS = {
    "size": lambda v: int(v, 16) & ~7,
    "flags": lambda v: int(v, 16) & 7,
    "ord": lambda v: ord(v[0]),
    "hex": lambda v: int(v, 16),
}


def measure(part, answer=None):
    """What this machine shows for the part: {"values": [...]} (any of them
    is right), or for a part whose answer is an argument to try,
    {"accepts": bool}."""
    text, status = perform(part, answer)
    if part.get("kind") == "arg":
        shown = re.search(part["take"], text, re.M) is not None
        return {"accepts": shown != part.get("absent", False)}
    if part.get("status"):
        return {"values": [status]}
    found = re.findall(part["take"], text, re.M)
    pick = part.get("pick", "only")
    if not found or (pick == "only" and len(found) != 1):
        raise Unmeasurable(f"{part['id']}: the programs did not show it as expected "
                           f"({len(found)} matches); their output:\n{text[-2000:]}")
    transform = TRANSFORMS.get(part.get("transform"), lambda v: v)
    if pick == "growth":
        values = [int(found[-1]) - int(found[0])]
    elif pick == "count":
        values = [len(found)]
    elif pick == "above-main":  # a backtrace's frames: the one that main called
        if "main" not in found[1:]:
            raise Unmeasurable(f"{part['id']}: no frame of main's in:\n{text[-2000:]}")
        values = [found[found.index("main", 1) - 1]]
    elif pick == "all":
        values = [" ".join(found)]
    else:
        values = [transform(found[-1] if pick == "last" else found[0])]
    return {"values": [canon(part, v) for v in values]}


# --- the learner's record --------------------------------------------------------

def record_path():
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return Path(state) / "lab" / "course.json"


def load_record():
    try:
        return json.loads(record_path().read_text())
    except (OSError, ValueError):
        return {}


def save_record(record):
    path = record_path()
    path.parent.mkdir(parents=True, exist_ok=True)
    with tempfile.NamedTemporaryFile("w", dir=path.parent, delete=False) as f:
        json.dump(record, f, indent=1, sort_keys=True)
    os.replace(f.name, path)


def model_answer(pid):
    """The teacher's page's answer to the question that the part belongs to."""
    try:
        page = TEACHER.read_text()
    except OSError:
        return None
    for key in (pid, question_of(pid)):
        m = re.search(rf"^\*\*{re.escape(key)}\.\*\*(.*?)(?=^\*\*|^#|^\||\Z)", page, re.M | re.S)
        if m:
            return m.group(1).strip()
    return None


# --- the commands ------------------------------------------------------------------

def usage_error(line):
    print(f"lab: {line}", file=sys.stderr)
    return 2


def part_of(pid):
    part = PARTS.get(pid)
    if part is None:
        usage_error(f"no question '{pid}' (./lab progress lists them all)")
    return part


def measured(pid, answer=None):
    """Ask ./lab to measure, where the samples run."""
    args = [str(LAB), "measure", pid] + ([answer] if answer is not None else [])
    result = subprocess.run(args, stdout=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
    try:
        reply = json.loads(result.stdout)
    except ValueError:
        reply = {"error": f"./lab measure {pid} ended with status {result.returncode}"}
    if "error" in reply:
        raise Unmeasurable(reply["error"])
    return reply


def cmd_check(pid, *words):
    part = part_of(pid)
    if part is None:
        return 2
    answer = " ".join(words).strip()
    if not answer:
        return usage_error(f"usage: ./lab check {pid} ANSWER (an empty answer is no answer)")
    record = load_record()
    mine = record.setdefault(pid, {"tries": 0, "done": False, "hints": 0})
    kind = part.get("kind", "number")
    if kind in IN_WORDS:
        mine["tries"] += 1
        mine["answered"] = True
        save_record(record)
        model = model_answer(pid)
        print(f"{pid}: answered in words, which no program can check. Compare yours with "
              + ("the model answer:" if model else "your teacher's answer (this copy has none)."))
        if model:
            print(model)
        return 0
    if kind == "arg":
        right = measured(pid, answer)["accepts"]
    elif "sha256" in part:
        right = canon(part, answer) is not None and fingerprint(canon(part, answer)) == part["sha256"]
    else:
        value = canon(part, answer)
        if value is None:
            print(f"{pid}: '{answer}' is not {DATA['kinds'][kind]}: not counted as a try.")
            return 1
        right = value in measured(pid)["values"]
    mine["tries"] += 1
    mine["done"] = mine["done"] or right
    save_record(record)
    if right:
        print(f"{pid}: right.")
        return 0
    print(f"{pid}: not what this machine shows (try {mine['tries']}; ./lab hint {pid} for a hint).")
    return 1


def cmd_hint(pid):
    part = part_of(pid)
    if part is None:
        return 2
    record = load_record()
    mine = record.setdefault(pid, {"tries": 0, "done": False, "hints": 0})
    hints = part["hints"]
    if mine["hints"] >= len(hints):
        print(f"{pid}: no more hints ({len(hints)} of {len(hints)} given).")
        return 0
    mine["hints"] += 1
    save_record(record)
    print(f"{pid}, hint {mine['hints']} of {len(hints)}: {hints[mine['hints'] - 1]}")
    return 0


def question_of(pid):
    return re.match(r"[A-Z]+\d*", pid).group(0)


def cmd_progress():
    record = load_record()
    for name, sheet in SHEETS.items():
        parts = [p["id"] for p in DATA["part"] if p["sheet"] == name]
        state = {}
        for pid in parts:
            mine = record.get(pid, {})
            state[pid] = ("done" if mine.get("done") else "answered" if mine.get("answered")
                          else "tried" if mine.get("tries") else "-")
        done = sum(1 for s in state.values() if s in ("done", "answered"))
        tried = sum(1 for s in state.values() if s == "tried")
        print(f"{sheet['title']} ({sheet['file']}): {done} of {len(parts)} done, {tried} tried")
        questions = {}
        for pid in parts:
            questions.setdefault(question_of(pid), []).append(pid)
        for question, pids in questions.items():
            cells = [f"{pid[len(question):]} {state[pid]}".lstrip() for pid in pids]
            print(f"  {question:<4}" + "  ".join(cells))
    print("(-: not yet; answered: answered in words and compared with the model answer)")
    return 0


def cmd_measure(pid, answer=None):
    part = PARTS.get(pid)
    try:
        if part is None or part.get("kind") in IN_WORDS or "sha256" in part:
            raise Unmeasurable(f"{pid}: nothing to measure")
        reply = measure(part, answer)
    except Unmeasurable as e:
        reply = {"error": str(e)}
    print(json.dumps(reply))
    return 0 if "error" not in reply else 1


def main(argv):
    commands = {"check": cmd_check, "hint": cmd_hint, "progress": cmd_progress,
                "measure": cmd_measure}
    if not argv or argv[0] not in commands:
        return usage_error("usage: check.py check|hint|progress|measure ...")
    command, args = commands[argv[0]], argv[1:]
    if command is cmd_progress and args:
        return usage_error("usage: ./lab progress")
    if command in (cmd_check, cmd_hint) and not args:
        return usage_error(f"usage: ./lab {argv[0]} ID" + (" ANSWER" if command is cmd_check else ""))
    if command is cmd_hint and len(args) != 1:
        return usage_error("usage: ./lab hint ID")
    try:
        return command(*args)
    except Unmeasurable as e:
        print(f"lab: {e}: not counted as a try", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
