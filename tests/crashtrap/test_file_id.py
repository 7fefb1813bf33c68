"""The file id under gdb: calc_md5 gets the test text, its 32-bit length and
main's fileid, and stores into the first word -- or, where the first argument
asks for the usage text, is never called."""

import re
import subprocess

import pytest

from harness import clean_env, sample

GDB_SCRIPT = """
set pagination off
break calc_md5
run {args} < /dev/null
printf "length=%u\\n", length
printf "text=%s\\n", data
set $result = result
up 2
printf "fileid=%d\\n", $result == fileid
set $result[0] = 0xdeadbeef
frame 0
finish
printf "stored=%x\\n", $result[0]
continue
"""

CASES = [
    ("snagbox-r1", "", True),
    ("snagbox-r1", "-h", True),
    ("snagbox-r2", "-jit", True),
    ("snagbox-r2", "-jitx", False),
    ("snagbox", "", True),
    ("snagbox", "-jit", True),
    ("snagbox", "-JIT", True),
    ("snagbox", "--help", False),
    ("snagbox", "-jit-h", False),
    ("snagbox", "-x -jit", True),
]


@pytest.mark.parametrize("name,args,computed", CASES,
                         ids=[f"{n} {a}".strip() for n, a, _ in CASES])
def test_calc_md5_arguments(tmp_path, name, args, computed):
    script = tmp_path / "cmds.gdb"
    script.write_text(GDB_SCRIPT.format(args=args))
    out = subprocess.run(["gdb", "-nx", "-batch", "-x", str(script), sample(name)],
                         capture_output=True, text=True, env=clean_env(), timeout=60).stdout
    facts = dict(re.findall(r"^(length|text|fileid|stored)=(.*)$", out, re.M))
    if computed:
        assert facts == {"length": "20", "text": "testing data-xxxxxxx",
                         "fileid": "1", "stored": "0"}, out
    else:
        assert facts == {}, out
    assert "exited with code 0377" in out  # end of input: getchar's EOF
