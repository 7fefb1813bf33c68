"""course/lesson.py -- gdb's side of a lesson, loaded into gdb by ./lab gdb.

Takes a lesson: a gdb command file beside a sample's source (heap/blockrot.gdb,
say), cut into stops by lines of its own:

    #: stop B3 the block and its chunk     a stop for question B3 begins
    #: explain                             the lesson's reading of that stop
    #| text                                a line to print, in its place

What comes before the first stop sets gdb up. Everything else is plain gdb
commands, so that the file, sourced as it is (gdb -x FILE), runs every stop
and every reading in order.

Gives the gdb command `lesson [--all] FILE`. Without --all it runs the set-up
and the first stop, says which question the stop is for, and leaves the prompt
to the learner, with three commands of its own: `explain` (the lesson's
reading of this stop: the answer, so only when asked), `onward` (the next
stop) and `where-am-i` (this stop's text again). With --all (./lab gdb
--batch) it runs each stop with its reading: the whole demonstration.
"""

import os
import re
import tempfile

import gdb

MARK = re.compile(r"#: (stop|explain)\b\s*(.*)$")


def chunks(lines):
    """Lines as runs of text (#| lines) and of commands, in their order:
    [("text", [...]) or ("gdb", [...])]."""
    runs = []
    for line in lines:
        kind, body = ("text", line[3:] if line.startswith("#| ") else "") \
            if line.startswith("#|") else ("gdb", line)
        if runs and runs[-1][0] == kind:
            runs[-1][1].append(body)
        else:
            runs.append((kind, [body]))
    return runs


class Stop:
    def __init__(self, question, title):
        self.question = question
        self.title = title
        self.reach = []
        self.reading = None  # the lines after "#: explain"


def parse(path):
    """(set-up lines, [Stop]) of the lesson at path."""
    setup, stops, into = [], [], None
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    into = setup
    for number, line in enumerate(lines, 1):
        mark = MARK.match(line)
        if mark is None:
            if line.startswith("#:"):
                raise gdb.GdbError(f"{path}:{number}: '#: stop ID TITLE' or '#: explain'")
            into.append(line)
        elif mark.group(1) == "stop":
            question, _, title = mark.group(2).partition(" ")
            stops.append(Stop(question, title))
            into = stops[-1].reach
        else:
            if not stops or stops[-1].reading is not None:
                raise gdb.GdbError(f"{path}:{number}: an explain belongs to the stop before it")
            stops[-1].reading = []
            into = stops[-1].reading
    return setup, stops


def perform(lines, source):
    """Print the text runs and have gdb run the command runs, in order. The
    commands go through a file of their own, so that gdb reads them as it
    reads a command file: if/while/python/commands blocks whole."""
    for kind, run in chunks(lines):
        if kind == "text":
            gdb.write("".join(f"{line}\n" for line in run))
            gdb.flush()
            continue
        if not any(l.strip() and not l.lstrip().startswith("#") for l in run):
            continue
        with tempfile.NamedTemporaryFile("w", suffix=".gdb", prefix="lab-lesson-",
                                         delete=False) as f:
            f.write("\n".join(run) + "\n")
        try:
            gdb.execute(f"source {f.name}")
        except gdb.error as e:
            raise gdb.GdbError(f"{source}: {e}") from None
        finally:
            os.unlink(f.name)


class Lesson:
    def __init__(self, path):
        self.path = path
        self.setup, self.stops = parse(path)
        self.at = -1

    def banner(self):
        stop = self.stops[self.at]
        gdb.write(f"\n--- Stop {self.at + 1} of {len(self.stops)}, for question "
                  f"{stop.question}: {stop.title}\n")

    def footer(self):
        stop = self.stops[self.at]
        helps = ["`explain` gives the lesson's reading"] if stop.reading else []
        helps.append("`onward` the next stop" if self.at + 1 < len(self.stops)
                     else "this is the last stop")
        gdb.write(f"--- Your turn: {', '.join(helps)}.\n")

    def onward(self, reading=False):
        if self.at + 1 >= len(self.stops):
            raise gdb.GdbError("This was the lesson's last stop.")
        self.at += 1
        self.banner()
        perform(self.stops[self.at].reach, self.path)
        if reading:
            self.explain()
        else:
            self.footer()

    def explain(self):
        stop = self.stops[self.at]
        if not stop.reading:
            raise gdb.GdbError(f"This stop has no reading: question {stop.question} is yours.")
        gdb.write(f"\n--- The lesson's reading of stop {self.at + 1} ({stop.question}):\n")
        perform(stop.reading, self.path)


current = None


class LessonCommand(gdb.Command):
    """lesson [--all] FILE: run the lesson in FILE, up to its first stop
    (--all: every stop, with its reading)."""

    def __init__(self):
        super().__init__("lesson", gdb.COMMAND_USER)

    def invoke(self, argument, from_tty):
        global current
        # the file's name as it stands, blanks and quotes included
        every = argument.startswith("--all ")
        path = argument[len("--all "):] if every else argument
        if not path:
            raise gdb.GdbError("usage: lesson [--all] FILE")
        current = Lesson(path)
        perform(current.setup, current.path)
        if every:
            while current.at + 1 < len(current.stops):
                current.onward(reading=True)
        else:
            current.onward()


class Explain(gdb.Command):
    """The lesson's reading of this stop: what it shows, and why."""

    def __init__(self):
        super().__init__("explain", gdb.COMMAND_USER)

    def invoke(self, argument, from_tty):
        if current is None:
            raise gdb.GdbError("No lesson is running.")
        current.explain()


class Onward(gdb.Command):
    """On to the lesson's next stop."""

    def __init__(self):
        super().__init__("onward", gdb.COMMAND_USER)

    def invoke(self, argument, from_tty):
        if current is None:
            raise gdb.GdbError("No lesson is running.")
        current.onward()


class WhereAmI(gdb.Command):
    """The lesson's present stop: its question, and what to look at."""

    def __init__(self):
        super().__init__("where-am-i", gdb.COMMAND_USER)

    def invoke(self, argument, from_tty):
        if current is None or current.at < 0:
            raise gdb.GdbError("No lesson is running.")
        current.banner()
        perform([l for l in current.stops[current.at].reach if l.startswith("#|")], current.path)
        current.footer()


if __name__ == "__main__":
    # Sourced by gdb (gdb -x course/lesson.py): load this file again as a
    # module of its own, so that the lessons' python blocks, which run in
    # __main__, cannot clobber the names the commands use.
    import importlib.util
    import sys

    found = importlib.util.spec_from_file_location("lab_lesson", __file__)
    sys.modules["lab_lesson"] = importlib.util.module_from_spec(found)
    found.loader.exec_module(sys.modules["lab_lesson"])
else:
    LessonCommand()
    Explain()
    Onward()
    WhereAmI()
