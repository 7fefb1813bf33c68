"""Under valgrind's memcheck the console samples make no error: no write
outside a block, no second release, no read of uninitialised memory."""

import shutil

import pytest

from harness import run, sample

pytestmark = pytest.mark.skipif(shutil.which("valgrind") is None,
                                reason="valgrind is not installed")


@pytest.mark.parametrize("name,args,status", [
    ("blockrot", [], 0),
    ("blockrot64", [], 0),
    ("blockrot-r1", [], 0),
    ("basenamer", [], 0),
    ("snagbox", ["-jit"], 255),
    ("snagbox-r1", [], 255),
])
def test_no_memcheck_error(name, args, status):
    result = run(["valgrind", "--error-exitcode=99", sample(name), *args], timeout=60)
    assert result.returncode == status, result.stderr.decode()
    assert b"ERROR SUMMARY: 0 errors" in result.stderr


def test_the_smaller_revision_keeps_its_block():
    result = run(["valgrind", "--leak-check=full", sample("blockrot-r1")], timeout=60)
    assert b"definitely lost: 10 bytes in 1 blocks" in result.stderr
