"""The guest's own root, as ./lab setup makes it from Debian's amd64 packages:
made whole or not at all, and made again for another list of packages. The
roots here hold Debian's essential packages and little else, each in a cache
of its own."""

import os
import re
import signal
import subprocess

import pytest

from guest import GUEST, LAB, guests, kernel, only_on_the_host
from guest import guest_root, nothing_left_behind  # noqa: F401 -- autouse: every root, no guest left
from harness import Reader, as_sample, clean_env, start, wait_for

pytestmark = only_on_the_host


@pytest.fixture(autouse=True)
def own_root_only(guest_root):
    if guest_root != "own":
        pytest.skip("about the guest's own root")


def guest(cache, packages, *command, **env):
    """`command` in a guest on the root of `packages`, made in `cache`."""
    return subprocess.run([GUEST, *command], capture_output=True, stdin=subprocess.DEVNULL,
                          env=clean_env(LAB_GUEST_CACHE=cache, LAB_GUEST_PACKAGES=packages, **env),
                          timeout=900, preexec_fn=as_sample)


def kept(cache):
    return sorted(p.name[:5] for p in cache.iterdir())


# A host whose apt sources name no Debian archive (an arm64 machine of
# another distribution, say), with the mirror that LAB_GUEST_MIRROR names or
# without; what lab says last.
NO_ARCHIVE = [
    ({}, r"lab: the guest's root was not made: this host's apt sources name no Debian archive "
         r"\(LAB_GUEST_MIRROR names one, e\.g\. http://deb\.debian\.org/debian\)"),
    ({"LAB_GUEST_MIRROR": "http://127.0.0.1:9/debian"},
     r"lab: the guest's root was not made: apt-get update failed \(.*127\.0\.0\.1.*\)"),
]


@pytest.mark.parametrize("mirror,says", NO_ARCHIVE, ids=["no-mirror", "unreachable-mirror"])
def test_without_debians_archive_nothing_is_made(tmp_path, mirror, says):
    (tmp_path / "sources.list").write_text("deb http://ports.example.org/ubuntu-ports noble main\n")
    (tmp_path / "apt.conf").write_text(f'Dir::Etc::SourceList "{tmp_path}/sources.list";\n'
                                       f'Dir::Etc::SourceParts "{tmp_path}/none";\n')
    result = guest(tmp_path / "cache", "", "true", APT_CONFIG=tmp_path / "apt.conf", **mirror)
    assert result.returncode == 1
    assert re.fullmatch(says, result.stderr.decode().splitlines()[-1])
    assert kept(tmp_path / "cache") == [".lock"]


def test_a_root_cut_short_leaves_the_last_one_and_another_list_makes_a_new_one(tmp_path):
    """The cache holds the user's root, made for lab's list, and a root of
    another release; a root for another list is cut short by Ctrl-C, then
    made whole, in place of the first, beside the other release's."""
    (tmp_path / kernel().name).symlink_to(kernel())
    (tmp_path / "root-bookworm-0123456789abcdef").mkdir()
    cut = start([GUEST, "true"], env=clean_env(LAB_GUEST_CACHE=tmp_path, LAB_GUEST_PACKAGES="hello"),
                start_new_session=True)
    err = Reader(cut.stderr.fileno())
    err.until("inside a guest", timeout=600)
    wait_for(lambda: guests(share=str(tmp_path)), timeout=60, what="the guest that runs dpkg")
    os.killpg(cut.pid, signal.SIGINT)  # Ctrl-C, to the terminal's process group
    assert cut.wait(timeout=60) == 130
    err.pump(1)
    assert err.data.decode().splitlines()[-1] == (
        "lab: stopped by SIGINT: the guest's root was not made (the next ./lab setup starts over)")
    wait_for(lambda: not guests(share=str(tmp_path)), timeout=10, what="its guest to end")
    assert kept(tmp_path) == [".lock", "root-", "root-"]

    made = guest(tmp_path, "hello", "hello", LAB_GUEST_MEM="2G")  # a guest with little memory
    assert (made.returncode, made.stdout) == (0, b"Hello, world!\n")
    assert b"making the guest's own root" in made.stderr
    # dpkg's account of it: every package set up, each file as its package
    # has it but those that the path filters leave out (and apt's lists, with
    # their folder), the copyright files kept
    told = guest(tmp_path, "hello", "sh", "-c", "dpkg --audit; dpkg --verify | grep -v -E '^missing +"
                 "(/usr/share/(doc|man|info|locale)/|/var/lib/apt/lists/)'; "
                 "dpkg-query -W -f '${db:Status-Abbrev}\\n' | sort -u; find /usr/share/doc/hello /usr/share/man")
    assert told.stdout.decode() == "ii \n/usr/share/doc/hello\n/usr/share/doc/hello/copyright\n/usr/share/man\n"
    assert kept(tmp_path) == [".lock", "root-", "root-"] and not (tmp_path / kernel().name).exists()
    assert (tmp_path / "root-bookworm-0123456789abcdef").exists()


# What ./lab does where the processor is not x86-64 (uname -m says so): what
# LAB_GUEST_ROOT asks for, what it says, and what the command prints.
ELSEWHERE = [
    (None, b"lab: this aarch64 machine runs no x86 programs: running './lab run' in a qemu "
     b"guest (vm/guest)\n", b"Demo of pointer trap by Tamsel.\nName: basenamer\n"),
    ("host", b"lab: LAB_GUEST_ROOT=host: this aarch64 machine's root holds no x86 programs "
     b"(unset it)\n", b""),
]


@pytest.mark.parametrize("asked,says,prints", ELSEWHERE, ids=["default", "host-root"])
def test_on_another_processor_every_command_goes_to_the_guests_own_root(tmp_path, asked, says,
                                                                        prints):
    (tmp_path / "uname").write_text("#!/bin/sh\necho aarch64\n")
    (tmp_path / "uname").chmod(0o755)
    env = clean_env(PATH=f"{tmp_path}:{os.environ['PATH']}")
    env.pop("LAB_GUEST_ROOT")
    env.update({"LAB_GUEST_ROOT": asked} if asked else {})
    result = subprocess.run([LAB, "run", "basenamer"], capture_output=True, env=env,
                            stdin=subprocess.DEVNULL, timeout=120, preexec_fn=as_sample)
    assert (result.stderr, result.stdout) == (says, prints)
