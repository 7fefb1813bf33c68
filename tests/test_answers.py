"""The teacher's page (docs/teacher.md): each row of its tables of checked
answers holds for the programs as built, on whichever path ./lab takes. A row
is | question | `command` | `text` |: the command, run in the checkout as a
learner types it, writes the text (on standard output or standard error)."""

import functools
import re
import subprocess

import pytest

from harness import ROOT, as_sample, clean_env

ROW = re.compile(r"^\| ([A-Z]\d) \| `(.+)` \| `(.+)` \|$", re.M)
ROWS = [(q, command.replace(r"\|", "|"), text)
        for q, command, text in ROW.findall((ROOT / "docs" / "teacher.md").read_text())]


@functools.cache
def output(command):
    return subprocess.run(["bash", "-c", command], cwd=ROOT, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=clean_env(),
                          timeout=600, preexec_fn=as_sample).stdout.decode(errors="replace")


def test_the_page_has_its_tables():
    assert {q[0] for q, _, _ in ROWS} == set("PBACOW")


@pytest.mark.parametrize("question,command,text", ROWS,
                         ids=[f"{q} {c}" for q, c, _ in ROWS])
def test_answer(question, command, text):
    assert text in output(command), f"{question}: {command}\n{output(command)}"
