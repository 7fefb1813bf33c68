"""arenascope: the allocator's header words for three blocks, followed by
their size words to the top chunk and past it."""

import re

import pytest

from harness import HELPERS, clean_env, run

WORDS = re.compile(r"^(buf1|buf2|buf3|top): {1,2}([0-9A-F]{8}) ([0-9A-F]{8})$")
LINE5 = re.compile(r"^aftertop at 0x([0-9a-f]+) = 0x([0-9a-f]+) \+ 0x([0-9A-F]+)$")
LAST = re.compile(r"^aftertop:  (?:([0-9A-F]{8}) ([0-9A-F]{8})|unreadable)$")
SIZE_BITS = ~7


def dump(env=None, args=()):
    result = run(["arenascope", *args], env=env)
    assert result.returncode == 0
    assert result.stderr == b""
    lines = result.stdout.decode().splitlines()
    assert len(lines) == 6
    words = {}
    for line, name in zip(lines[:4], ["buf1", "buf2", "buf3", "top"]):
        m = WORDS.match(line)
        assert m and m[1] == name, line
        assert line.startswith("top:  " if name == "top" else name + ": ")
        words[name] = (int(m[2], 16), int(m[3], 16))
    m = LINE5.match(lines[4])
    assert m, lines[4]
    aftertop, top, top_size = (int(g, 16) for g in m.groups())
    last = LAST.match(lines[5])
    assert last, lines[5]
    return words, aftertop, top, top_size, lines[5]


def check_relations(words, aftertop, top, top_size):
    assert top_size == words["top"][1] & SIZE_BITS
    assert aftertop == top + top_size
    for name, request in (("buf1", 256), ("buf2", 512), ("buf3", 1024)):
        size = words[name][1]
        assert size & 1, f"{name}: the chunk before it is in use"
        assert (size & SIZE_BITS) >= request + 4
    # the three chunks lie one after the other
    assert (words["buf1"][1] & SIZE_BITS) + 256 <= (words["buf2"][1] & SIZE_BITS) + 256


@pytest.mark.parametrize("args", [(), ("-x", "y")], ids=["no args", "args"])
def test_words_and_their_relations(args):
    words, aftertop, top, top_size, last = dump(args=args)
    check_relations(words, aftertop, top, top_size)
    # Standard output is a pipe: its 4096-byte buffer, taken at the first line,
    # is the chunk after buf3, so all three blocks came before any output.
    assert top_size == 0x1010
    assert last != "aftertop:  unreadable"


def test_the_end_of_the_heap_is_not_read():
    """Unbuffered stdout allocates nothing: the chunk after buf3 is the top
    chunk, and aftertop the end of the heap, where nothing is mapped."""
    env = clean_env(LD_PRELOAD=HELPERS / "labpreload-i386.so", LAB_UNBUFFERED_STDOUT=1)
    words, aftertop, top, top_size, last = dump(env=env)
    check_relations(words, aftertop, top, top_size)
    assert aftertop % 4096 == 0
    assert last == "aftertop:  unreadable"


@pytest.mark.parametrize("size", [256, 512, 1024])
def test_failed_allocation_reads_nothing(size):
    env = clean_env(LD_PRELOAD=HELPERS / "labpreload-i386.so", LAB_FAIL_MALLOC=size)
    result = run(["arenascope"], env=env)
    assert (result.returncode, result.stdout) == (1, b"")
