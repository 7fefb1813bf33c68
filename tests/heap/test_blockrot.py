"""blockrot and blockrot64: two reports of the allocator's statistics around
one 10-byte block; blockrot-r1: the block alone, without a word."""

import re
import subprocess

import pytest

from harness import HELPERS, ROOT, clean_env, expected, filtered, run, sample

# Each value, signed decimal after its 39-character label, becomes N.
VALUES = [(re.compile(rb"^(.{39})-?\d+$", re.M), rb"\1N")]
REPORTING = [("blockrot", "i386", 16), ("blockrot64", "amd64", 32)]  # smallest chunk
ARGS = [[], ["-x", "many", "arguments"]]


def values(stdout):
    """The two reports as two {label: value} dicts."""
    lines = stdout.decode().splitlines()
    reports = [lines[:10], lines[10:]]
    return [{l[:39].strip(): int(l[39:]) for l in r} for r in reports]


@pytest.mark.parametrize("args", ARGS, ids=["no args", "args"])
@pytest.mark.parametrize("name,arch,chunk", REPORTING)
def test_two_reports_around_the_allocation(name, arch, chunk, args):
    result = run([name, *args])
    assert result.returncode == 0
    assert result.stderr == b""
    assert filtered(result.stdout, VALUES) == expected(__file__, "blockrot.stdout.exp")
    before, after = values(result.stdout)
    label = "Total allocated space (uordblks):"
    assert after[label] - before[label] >= chunk


@pytest.mark.parametrize("args", ARGS, ids=["no args", "args"])
def test_smaller_revision_writes_nothing(args):
    result = run(["blockrot-r1", *args])
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")


@pytest.mark.parametrize("name,arch,reports", [("blockrot", "i386", 20),
                                               ("blockrot64", "amd64", 20),
                                               ("blockrot-r1", "i386", 0)])
def test_failed_allocation_writes_nothing_through_it(name, arch, reports):
    env = clean_env(LD_PRELOAD=HELPERS / f"labpreload-{arch}.so", LAB_FAIL_MALLOC=10)
    result = run([name], env=env)
    assert result.returncode == 1
    assert len(result.stdout.splitlines()) == reports


def gdb(name, commands):
    args = ["gdb", "-nx", "-batch"]
    for c in commands:
        args += ["-ex", c]
    return subprocess.run([*args, sample(name)], capture_output=True, text=True,
                          env=clean_env(), timeout=60).stdout


def release_line():
    """The line the lesson stops at, marked in the source; blockrot-r1 has no
    code there, and gdb takes the next line that has, its final return."""
    lines = (ROOT / "heap" / "blockrot.cpp").read_text().splitlines()
    return next(n for n, l in enumerate(lines, 1) if "lesson stop: release" in l)


@pytest.mark.parametrize("name", ["blockrot", "blockrot64", "blockrot-r1"])
def test_block_holds_0_to_9_at_the_release(name):
    out = gdb(name, [f"break blockrot.cpp:{release_line()}", "run > /dev/null",
                     "printf \"bytes=\"", "output/d *p@10", "echo \\n"])
    assert "bytes={0, 1, 2, 3, 4, 5, 6, 7, 8, 9}" in out, out


@pytest.mark.parametrize("name", ["blockrot", "blockrot64"])
def test_one_snapshot_per_report_the_second_after_malloc(name):
    out = gdb(name, ["break mallinfo", "run > /dev/null",
                     "up 2", "printf \"first: i=%d\\n\", i",
                     "continue", "up 2", "printf \"second: p=%d i=%d\\n\", p != 0, i",
                     "continue"])
    assert "first: i=0" in out
    assert "second: p=1 i=0" in out, out
    assert out.count("Breakpoint 1, ") == 2
    assert "exited normally" in out
