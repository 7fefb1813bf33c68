"""The teacher's page (docs/teacher.md): each row of its tables of exact
answers holds for the programs as built, on this machine, as ./lab check
measures it: | part | `answer` | where it holds |. A row for another C
library or gdb than this machine's is not this machine's to try; every part
that ./lab check can check has a row that is."""

import os
import re
import subprocess
import sys

import pytest

from harness import BIN, PATIENCE, ROOT

sys.path.insert(0, str(ROOT / "course"))
import check  # noqa: E402  (course/check.py)

PAGE = ROOT / "docs" / "teacher.md"
if not PAGE.exists():
    pytest.skip("a student's copy: no teacher's page", allow_module_level=True)
ROW = re.compile(r"^\| ([A-Z]\d+[a-z]?) \| `(.+)` \| (.+) \|$", re.M)
ROWS = ROW.findall(PAGE.read_text())
# P4a depends on where the checkout lies: the page says how it follows from
# the path, which gives it here
ROWS.append(("P4a", str(len(str(BIN / "basenamer")) - len("basenamer")), "all"))


def versions():
    """This machine's releases of what the answers depend on."""
    gdb = subprocess.run(["gdb", "--version"], capture_output=True, text=True).stdout
    return {"glibc": os.confstr("CS_GNU_LIBC_VERSION").split()[1],
            "gdb": re.search(r" (\d+)\.\d+", gdb.splitlines()[0]).group(1)}


HERE = versions()


def holds_here(where):
    """'all', or what a row names: 'glibc 2.36, 2.41', 'gdb 13'."""
    named = re.findall(r"(glibc|gdb) ([\d., ]+)", where)
    return all(HERE[tool] in re.findall(r"[\d.]+", releases) for tool, releases in named)


def checkable(part):
    return part.get("kind") not in check.IN_WORDS


def test_every_checkable_part_has_a_row_for_this_machine():
    here = {pid for pid, _, where in ROWS if holds_here(where)}
    assert {p for p, v in check.PARTS.items() if checkable(v)} - here == set()
    assert {pid for pid, _, _ in ROWS} <= set(check.PARTS)


@pytest.mark.parametrize("pid,answer,where", ROWS, ids=[f"{p} {a}" for p, a, _ in ROWS])
def test_answer(pid, answer, where, monkeypatch):
    if not holds_here(where):
        pytest.skip(f"holds where {where}; here glibc {HERE['glibc']}, gdb {HERE['gdb']}")
    monkeypatch.setenv("LAB_CHECK_PATIENCE", str(PATIENCE))
    part = check.PARTS[pid]
    if part.get("kind") == "arg":
        assert check.measure(part, answer)["accepts"]
    elif "sha256" in part:
        assert check.fingerprint(check.canon(part, answer)) == part["sha256"]
    else:
        assert check.canon(part, answer) in check.measure(part)["values"]
