"""The guest's kernel taken from a Debian kernel package as the package
describes it, in the layout of either release: the initramfs holds the
modules that the guest's drivers need, decompressed, each after what it
needs, none that the kernel builds in; the kernel comes uncompressed too.
The packages are made here, with modules that export and call functions as
a kernel's modules do, so that kmod reads their dependencies."""

import functools
import lzma
import os
import struct
import subprocess
import tempfile
from pathlib import Path

import pytest

from guest import GUEST, ROOTS, only_on_the_host
from guest import nothing_left_behind  # noqa: F401 -- autouse: no guest left
from harness import as_sample, clean_env

pytestmark = [only_on_the_host,
              pytest.mark.skipif("host" not in ROOTS, reason="the kernel of the host's root")]

VMLINUX = b"\x7fELF" + bytes(range(256)) * 64


def zstd(data):
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


# modules' tree, their suffix and compression, the kernel's compression,
# the modules (name: what it needs), the drivers it builds in
LAYOUTS = {
    "debian12": ("lib", ".ko", None, lzma.compress, {
        "virtio_ring": [], "virtio": ["virtio_ring"], "virtio_pci": ["virtio"],
        "virtio_console": ["virtio"], "9pnet": [], "9pnet_virtio": ["9pnet", "virtio"],
        "9p": ["9pnet"], "failover": [], "virtio_net": ["virtio", "failover"]}, []),
    "debian13": ("usr/lib", ".ko.xz", lzma.compress, zstd, {
        "netfs": [], "9pnet": ["netfs"], "9pnet_virtio": ["9pnet"], "9p": ["9pnet", "netfs"],
        "failover": [], "virtio_net": ["failover"]}, ["virtio_pci", "virtio_console"]),
}


@functools.cache
def module(name, needs):
    """A module as kmod reads one: its name, what it exports, what it calls."""
    asm = [r'.section .modinfo,"a"', f'.asciz "name={name}"', r'.section __ksymtab_strings,"a"',
           f'.asciz "lab_{name}"', f".globl lab_{name}", ".data", f"lab_{name}: .quad 0",
           *(f".quad lab_{n}" for n in needs)]
    with tempfile.NamedTemporaryFile() as made:
        subprocess.run(["as", "-o", made.name, "-"], input="\n".join(asm).encode(), check=True)
        return Path(made.name).read_bytes()


def bzimage(payload):
    """A kernel image whose setup header (boot protocol 2.15) says where its
    payload is: right after four sectors of setup code."""
    image = bytearray(5 * 512)
    image[0x1f1] = 4
    image[0x202:0x208] = b"HdrS" + struct.pack("<H", 0x20f)
    image[0x248:0x250] = struct.pack("<II", 0, len(payload))
    return bytes(image) + payload


def kernel_package(folder, version, layout):
    tree, suffix, compress_module, compress_kernel, modules, builtin = layout
    pkg = folder / "pkg"
    base = pkg / tree / "modules" / version
    for name, needs in modules.items():
        path = base / "kernel" / f"{name}{suffix}"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes((compress_module or bytes)(module(name, tuple(needs))))
    (base / "modules.builtin").write_text("".join(f"kernel/{n}.ko\n" for n in builtin))
    (pkg / "boot").mkdir()
    (pkg / "boot" / f"vmlinuz-{version}").write_bytes(
        bzimage(compress_kernel(VMLINUX) + struct.pack("<I", len(VMLINUX))))
    (pkg / "DEBIAN").mkdir()
    (pkg / "DEBIAN" / "control").write_text(
        f"Package: linux-image-{version}\nVersion: 1\nArchitecture: amd64\n"
        "Maintainer: lab <lab@localhost>\nDescription: a kernel for the test\n")
    deb = folder / f"linux-image-{version}_1_amd64.deb"
    subprocess.run(["dpkg-deb", "-Znone", "--root-owner-group", "--build", pkg, deb],
                   capture_output=True, check=True)
    return deb


def fake_apt(folder, version, deb):
    """apt whose linux-image-amd64 depends on the kernel package `deb`."""
    bindir = folder / "bin"
    bindir.mkdir()
    (bindir / "apt-cache").write_text(
        f"#!/bin/sh\n[ \"$1\" = depends ] && echo '  Depends: linux-image-{version}'\nexit 0\n")
    (bindir / "apt-get").write_text(f"#!/bin/sh\ncp '{deb}' .\n")
    for tool in bindir.iterdir():
        tool.chmod(0o755)
    return f"{bindir}:{os.environ['PATH']}"


def prepare(tmp_path, layout, without=()):
    version = "6.99.0-1-amd64"
    layout = (*layout[:4], {n: d for n, d in layout[4].items() if n not in without}, layout[5])
    deb = kernel_package(tmp_path, version, layout)
    env = clean_env(LAB_GUEST_ROOT="host", LAB_GUEST_CACHE=tmp_path / "cache",
                    PATH=fake_apt(tmp_path, version, deb))
    result = subprocess.run([GUEST, "--prepare"], capture_output=True, env=env,
                            stdin=subprocess.DEVNULL, timeout=120, preexec_fn=as_sample)
    return result, tmp_path / "cache" / f"linux-{version}"


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_the_initramfs_loads_each_module_after_what_it_needs(tmp_path, layout):
    modules, builtin = layout[4], layout[5]
    result, made = prepare(tmp_path, layout)
    assert result.returncode == 0, result.stderr
    (initrd,) = made.glob("initrd-*")
    unpacked = tmp_path / "initramfs"
    unpacked.mkdir()
    subprocess.run(["busybox", "cpio", "-i", "-d"], stdin=initrd.open("rb"), cwd=unpacked,
                   capture_output=True, check=True)
    order = (unpacked / "modules" / "order").read_text().split()
    assert sorted(order) == sorted(modules) and not set(order) & set(builtin)
    for name in order:
        assert all(order.index(n) < order.index(name) for n in modules[name]), order
        plain = (unpacked / "modules" / f"{name}.ko").read_bytes()
        assert plain == module(name, tuple(modules[name]))
    assert (made / "vmlinux").read_bytes() == VMLINUX


def test_a_driver_the_kernel_lacks_is_named(tmp_path):
    result, made = prepare(tmp_path, LAYOUTS["debian13"], without=["virtio_net"])
    lines = result.stderr.decode().splitlines()
    assert result.returncode == 1 and all(line.startswith("lab: ") for line in lines), lines
    assert lines[-1] == ("lab: the guest's kernel 6.99.0-1-amd64 has no driver virtio_net: "
                         "it is neither a module nor built in")
    assert not made.exists() and not list(made.parent.glob(".making*"))
