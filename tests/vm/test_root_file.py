"""The guest's own root as one file for a class: ./lab root export FILE writes
it, ./lab setup --root FILE (vm/guest --import) takes it into another cache
whole, or refuses it in one line and keeps nothing. The roots here are small
stand-ins, made in the tests' own caches: nothing is booted."""

import io
import os
import re
import shutil
import subprocess
import tarfile

import pytest

from guest import GUEST, only_on_the_host
from harness import clean_env

pytestmark = only_on_the_host

PACKAGES = "alpha beta"


def guest(cache, *args, packages=PACKAGES):
    return subprocess.run([GUEST, *args], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=clean_env(LAB_GUEST_CACHE=cache, LAB_GUEST_PACKAGES=packages,
                                        LAB_GUEST_ROOT="own"), timeout=120)


def own_name(cache, packages=PACKAGES):
    described = guest(cache, "--describe", packages=packages).stdout
    return re.search(r"^own=(.*)$", described, re.M).group(1)


def files(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """A stand-in root in a cache of its own, exported: (its folder, the file)."""
    base = tmp_path_factory.mktemp("exported")
    root = base / "cache" / own_name(base / "cache")
    (root / "modules").mkdir(parents=True)
    (root / "root.squashfs").write_bytes(os.urandom(1 << 20))
    (root / "vmlinuz").write_bytes(b"kernel" * 1000)
    (root / "modules" / "order").write_text("")
    (root / "modules" / "late").write_text("")
    shutil.copy(shutil.which("busybox"), root / "busybox")
    result = guest(base / "cache", "--export", base / "class.root")
    assert result.returncode == 0, result.stderr
    assert re.search(r"class\.root: .*, SHA-256 [0-9a-f]{64}$", result.stderr), result.stderr
    return root, base / "class.root"


def test_a_root_file_is_taken_whole(exported, tmp_path):
    root, file = exported
    result = guest(tmp_path / "cache", "--import", file)
    assert result.returncode == 0, result.stderr
    assert files(tmp_path / "cache" / root.name) == files(root)
    assert "kept in" in result.stderr.splitlines()[-1]


def damaged(data):
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        squashfs = next(m for m in tar.getmembers() if m.name.endswith("/root.squashfs"))
    at = squashfs.offset_data + squashfs.size // 2
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


def with_a_link(data):
    out = io.BytesIO()
    with tarfile.open(fileobj=io.BytesIO(data)) as old, tarfile.open(fileobj=out, mode="w") as new:
        for member in old.getmembers():
            new.addfile(member, old.extractfile(member) if member.isfile() else None)
        name = old.getmembers()[1].name.split("/")[0]
        link = tarfile.TarInfo(f"{name}/passwd")
        link.type, link.linkname = tarfile.SYMTYPE, "/etc/passwd"
        new.addfile(link)
    return out.getvalue()


# What a learner might be handed instead of the file, and what lab says.
REFUSED = [
    ("foreign", lambda data: b"<html>not found</html>\n" * 100, "it is no root file of this suite"),
    ("truncated", lambda data: data[:len(data) // 2], "(?i).*(unexpected|EOF|damaged|incomplete).*"),
    ("damaged", damaged, r"it is damaged or incomplete \(a file's SHA-256 is not the one listed\)"),
    ("a link inside", with_a_link, r"it is damaged or incomplete \(a link or device among its files\)"),
]


@pytest.mark.parametrize("how, change, why", REFUSED, ids=[r[0] for r in REFUSED])
def test_a_bad_root_file_is_refused_in_one_line(exported, tmp_path, how, change, why):
    bad = tmp_path / "class.root"
    bad.write_bytes(change(exported[1].read_bytes()))
    result = guest(tmp_path / "cache", "--import", bad)
    lines = [line for line in result.stderr.splitlines() if "was not taken" in line]
    assert result.returncode == 1 and len(lines) == 1, result.stderr
    assert re.search(why, lines[0]) and lines[0].endswith("nothing was kept"), lines[0]
    assert not [p for p in (tmp_path / "cache").iterdir() if not p.name.startswith(".lock")]


def test_a_root_of_another_list_is_refused(exported, tmp_path):
    result = guest(tmp_path / "cache", "--import", exported[1], packages="alpha gamma")
    assert result.returncode == 1
    assert "another root" in result.stderr and "nothing was kept" in result.stderr
    assert not list((tmp_path / "cache").glob("root-*"))
