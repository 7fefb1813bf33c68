"""snagbox64.o: an x86-64 relocatable object whose symbol table reads as the
source names it, with macros in its debug information, that links with a C
md5 module of the reader's own."""

import subprocess

import pytest

from harness import run, sample

C_MD5 = r"""
#include <stdio.h>
int calc_md5(const char *data, unsigned length, unsigned *result)
{
    printf("calc_md5: %u bytes of \"%.*s\"\n", length, (int)length, data);
    result[0] = 0x12345678;
    return 0;
}
"""


def tool(*argv):
    return subprocess.run(argv, capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def symbols():
    """{name: nm type letter}"""
    table = {}
    for line in tool("nm", sample("snagbox64.o")).splitlines():
        *_, kind, name = line.split()
        if kind != "n":  # skip the macro sections' own entries
            table[name] = kind
    return table


def test_is_an_x86_64_relocatable_object_with_debug_information():
    header = tool("readelf", "-h", sample("snagbox64.o"))
    assert "ELF64" in header
    assert "REL (Relocatable file)" in header
    assert "Advanced Micro Devices X86-64" in header
    sections = tool("readelf", "-S", "-W", sample("snagbox64.o"))
    for name in (".debug_info", ".debug_line", ".debug_macro"):
        assert name in sections


def test_debug_information_carries_the_macros():
    macros = tool("readelf", "--debug-dump=macro", sample("snagbox64.o"))
    assert "SNAGBOX_REVISION 3" in macros


def test_symbol_table_reads_as_the_source(symbols):
    defined = {n: k for n, k in symbols.items() if k != "U"}
    globals_ = {n for n, k in defined.items() if k == "T"}
    assert globals_ == {"get_file_id", "register_jit_gdb", "help", "main"}
    assert defined["crash_handler"] == "t"
    assert not [n for n in symbols if n.startswith("_Z")], "C++-mangled names"


def test_undefined_are_calc_md5_and_the_c_library(symbols):
    libc = tool("nm", "-D", "--defined-only", "/lib/x86_64-linux-gnu/libc.so.6")
    provided = {line.split()[-1].split("@")[0] for line in libc.splitlines()}
    undefined = {n for n, k in symbols.items() if k == "U"}
    assert "calc_md5" in undefined
    assert undefined - {"calc_md5"} <= provided


def test_links_with_a_c_md5_module(tmp_path):
    (tmp_path / "md5.c").write_text(C_MD5)
    program = tmp_path / "snagbox64"
    subprocess.run(["gcc", "-o", str(program), sample("snagbox64.o"),
                    str(tmp_path / "md5.c")], check=True)
    result = run([str(program), "-jit"], stdin=b"q")
    assert result.stdout == (b"running...\njit debug handler registered\n"
                             b'calc_md5: 20 bytes of "testing data-xxxxxxx"\n')
    assert result.returncode == ord("q")
