"""Every deliverable: its processor, its kind, and exactly the libraries it
needs -- nothing of the C++ runtime in any of them."""

import subprocess

import pytest

from harness import sample

LIBC = ["libc.so.6"]
GTK = ["libgtk-x11-2.0.so.0"]
GOBJECT_GLIB = ["libgobject-2.0.so.0", "libglib-2.0.so.0"]

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
    "plainwin": ("ELF32", "Intel 80386", "DYN", GTK + LIBC),
    "wavebutton": ("ELF32", "Intel 80386", "DYN", GTK + GOBJECT_GLIB + LIBC),
    "rowswap": ("ELF32", "Intel 80386", "DYN", GTK + GOBJECT_GLIB + LIBC),
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


# Names that other code (gdb, a GTK module, a C caller) reaches by their plain names.
C_NAMES = {
    "wavebutton": {"hello": "T", "delete_event": "T", "destroy": "T"},
    "rowswap": {"list_item_data_key": "D", "sigh_print_selection": "t", "sigh_button_event": "t"},
    "blockrot": {"display_mallinfo": "t"},
    "basenamer": {"get_name": "T"},
    "snagbox": {"crash_handler": "t", "register_jit_gdb": "T", "get_file_id": "T",
                "help": "T", "calc_md5": "T"},
}


@pytest.mark.parametrize("name", C_NAMES)
def test_names_are_not_mangled(name):
    out = subprocess.run(["nm", sample(name)], capture_output=True, text=True, check=True).stdout
    table = {line.split()[-1]: line.split()[-2] for line in out.splitlines() if len(line.split()) >= 2}
    assert {n: table.get(n) for n in C_NAMES[name]} == C_NAMES[name]
