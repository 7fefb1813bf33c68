"""Every deliverable: its processor, its kind, and exactly the libraries it
needs -- nothing of the C++ runtime in any of them."""

import subprocess

import pytest

from harness import sample

LIBC = ["libc.so.6"]

# name -> (ELF class, machine, type, NEEDED)
DELIVERABLES = {
    "snagbox-r1": ("ELF32", "Intel 80386", "DYN", LIBC),
    "snagbox-r2": ("ELF32", "Intel 80386", "DYN", LIBC),
    "snagbox64.o": ("ELF64", "Advanced Micro Devices X86-64", "REL", []),
    "snagbox": ("ELF32", "Intel 80386", "DYN", LIBC),
    "blockrot-r1": ("ELF32", "Intel 80386", "DYN", LIBC),
    "blockrot": ("ELF32", "Intel 80386", "DYN", LIBC),
    "blockrot64": ("ELF64", "Advanced Micro Devices X86-64", "DYN", LIBC),
    "arenascope": ("ELF32", "Intel 80386", "DYN", LIBC),
    "basenamer": ("ELF32", "Intel 80386", "DYN", LIBC),
}


def header_field(header, key):
    for line in header.splitlines():
        if line.strip().startswith(key + ":"):
            return line.split(":", 1)[1].strip()
    raise KeyError(key)


@pytest.mark.parametrize("name", DELIVERABLES)
def test_deliverable(name):
    elf_class, machine, kind, needed = DELIVERABLES[name]
    out = subprocess.run(["readelf", "-h", "-d", sample(name)], capture_output=True,
                         text=True, check=True).stdout
    assert header_field(out, "Class") == elf_class
    assert header_field(out, "Machine") == machine
    assert header_field(out, "Type").split()[0] == kind
    libs = [l.split("[")[1].rstrip("]") for l in out.splitlines() if "(NEEDED)" in l]
    assert libs == needed
