"""The guest's own tests run on the host, where ./lab runs the other tests in
the guest (LAB_GUEST=1 ./lab test does that on any machine). Elsewhere they
are skipped: a machine that runs i386 programs itself needs no guest, and in
the guest there is none to start."""

import os

import pytest


@pytest.fixture(autouse=True)
def where_lab_uses_the_guest():
    if not os.environ.get("LAB_GUEST_TESTS"):
        pytest.skip("./lab runs the guest's tests where it uses the guest")
