"""The crash-trap revisions at the console: what each writes for its first
argument, and how the key that ends the wait becomes the exit status."""

import pytest

from harness import Reader, expected, run, start

# (deliverable, arguments, expected standard output)
CASES = [
    ("snagbox-r1", [], "banner-running"),
    ("snagbox-r1", ["-jit"], "banner-running"),
    ("snagbox-r1", ["-h"], "banner-running"),
    ("snagbox-r2", [], "banner-running"),
    ("snagbox-r2", ["-jit"], "banner-running-jit"),
    ("snagbox-r2", ["-jitx"], "banner-running-help"),
    ("snagbox-r2", ["-JIT"], "banner-running-help"),
    ("snagbox-r2", ["--help"], "banner-running-help"),
    ("snagbox-r2", ["-x", "-jit"], "banner-running-help"),
    ("snagbox", [], "running"),
    ("snagbox", ["-jit"], "running-jit"),
    ("snagbox", ["-jitx"], "running"),
    ("snagbox", ["-JIT"], "running"),
    ("snagbox", ["-h"], "running-help"),
    ("snagbox", ["--help"], "running-help"),
    ("snagbox", ["-jit-h"], "running-help"),
    ("snagbox", ["x-hy"], "running-help"),
    ("snagbox", ["-x", "-jit"], "running"),
    ("snagbox", ["-x", "-h"], "running"),
]

# standard input -> exit status: the code of the first character, 255 at end of input
KEYS = [(b"a\n", 97), (b"\n", 10), (b"", 255)]


@pytest.mark.parametrize("stdin,status", KEYS, ids=["key", "enter", "eof"])
@pytest.mark.parametrize("name,args,exp", CASES,
                         ids=[f"{n}{''.join(' ' + a for a in args)}" for n, args, _ in CASES])
def test_console(name, args, exp, stdin, status):
    result = run([name, *args], stdin=stdin)
    assert result.stdout == expected(__file__, exp + ".stdout.exp")
    assert result.stderr == b""
    assert result.returncode == status


@pytest.mark.parametrize("name,exp", [("snagbox-r1", "banner-running"),
                                      ("snagbox-r2", "banner-running-jit"),
                                      ("snagbox", "running-jit")])
def test_lines_are_out_before_the_wait(name, exp):
    """Whatever stdout is (here a pipe), the texts have left the process when
    it starts to wait: one that is killed while it waits loses nothing."""
    want = expected(__file__, exp + ".stdout.exp")
    proc = start([name, "-jit"])
    out = Reader(proc.stdout.fileno())
    try:
        out.until(want, timeout=5)
        assert proc.poll() is None, "the sample should still be waiting for its key"
    finally:
        proc.kill()
        proc.wait()
    assert out.rest() == want
