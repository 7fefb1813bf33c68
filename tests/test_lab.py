"""The lab's examining commands: each gdb lesson still shows the fact it is
there to show, memcheck reports what it should, shots have the window's size,
and the deliverables the lab lists are the ones the build makes."""

import re
import shutil
import struct
import subprocess

import pytest

from harness import BIN, ROOT, as_sample, clean_env
from test_tour import deliverables


def lab(*args, timeout=120):
    return subprocess.run([str(ROOT / "lab"), *args], capture_output=True, text=True,
                          env=clean_env(), stdin=subprocess.DEVNULL, timeout=timeout,
                          preexec_fn=as_sample)


BASENAMER_OFFSET = len(str(BIN / "basenamer")) - len("basenamer")

# deliverable, arguments, what the lesson must show
LESSONS = [
    ("snagbox", ["-jit"], ["length=20", "result points at main's fileid: yes", "fileid[0]=0",
                           "#0  crash_handler (sig=3)", "<signal handler called>", "getchar ()"]),
    ("snagbox-r2", ["-jit"], ["length=20", "#0  crash_handler (sig=3)"]),
    ("snagbox-r1", [], ["length=20", "No handler was installed"]),
    ("snagbox64.o", [], ["static void crash_handler(int);", "ULONGLONG length;",
                         "mov    %ecx,%esi", "SNAGBOX_REVISION 3"]),
    ("blockrot", [], ["bytes={0, 1, 2, 3, 4, 5, 6, 7, 8, 9}"]),
    ("blockrot64", [], ["bytes={0, 1, 2, 3, 4, 5, 6, 7, 8, 9}"]),
    ("blockrot-r1", [], ["bytes={0, 1, 2, 3, 4, 5, 6, 7, 8, 9}"]),
    ("arenascope", [], ["buf1 size word=0x111: chunk size 272, flags 1",
                        "That chunk is the top chunk: it ends at the break."]),
    ("basenamer", [], [f"name = argv[0] + {BASENAMER_OFFSET}"]),
]


@pytest.mark.parametrize("name,args,facts", LESSONS, ids=[n for n, _, _ in LESSONS])
def test_gdb_lesson(name, args, facts):
    result = lab("gdb", "--batch", name, *args)
    for fact in facts:
        assert fact in result.stdout, result.stdout + result.stderr


def test_arenascope_lesson_follows_the_heap_to_the_break():
    out = lab("gdb", "--batch", "arenascope").stdout
    (brk,) = re.findall(r"the program break \(the end of the heap\) is at (0x[0-9a-f]+)", out)
    (end,) = re.findall(r"it ends at (0x[0-9a-f]+)", out)
    assert brk == end


@pytest.mark.parametrize("name,defines", [("blockrot", ["-DBLOCKROT_REVISION=2"]),
                                          ("arenascope", [])])
def test_heap_lessons_find_their_line_in_a_folder_with_blanks_and_commas(tmp_path, name, defines):
    heap = tmp_path / "my labs, v2 ü" / "heap"
    shutil.copytree(ROOT / "heap", heap)
    subprocess.run(["g++", "-m32", "-g3", *defines, "-o", heap / name, heap / f"{name}.cpp"],
                   check=True)
    out = subprocess.run(["gdb", "-q", "-nx", "-batch", "-x", heap / f"{name}.gdb", heap / name],
                         capture_output=True, text=True, env=clean_env(), timeout=120,
                         stdin=subprocess.DEVNULL, preexec_fn=as_sample).stdout
    for fact in {n: facts for n, _, facts in LESSONS}[name]:
        assert fact in out, out


@pytest.mark.parametrize("name", ["plainwin", "wavebutton", "rowswap"])
def test_gui_lessons_need_a_person(name):
    result = lab("gdb", "--batch", name)
    assert result.returncode == 1
    assert "waits for you at its window" in result.stderr


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.parametrize("name,shows", [
    ("blockrot-r1", ["definitely lost: 10 bytes in 1 blocks", "ERROR SUMMARY: 1 errors"]),
    ("blockrot", ["All heap blocks were freed", "ERROR SUMMARY: 0 errors"]),
])
def test_memcheck(name, shows):
    result = lab("memcheck", name)
    assert result.returncode == 0
    for text in shows:
        assert text in result.stderr, result.stderr


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def test_shot_all():
    result = lab("shot", "all")
    assert result.returncode == 0, result.stderr
    shots = re.findall(r"^(\w+): window (\d+)x(\d+) -> (\S+)$", result.stdout, re.M)
    assert [s[0] for s in shots] == ["plainwin", "wavebutton", "rowswap"]
    for name, width, height, path in shots:
        assert png_size(ROOT / path) == (int(width), int(height)), name
    sizes = {name: (int(w), int(h)) for name, w, h, _ in shots}
    assert sizes["rowswap"][0] >= 250 + 2 * 5  # the list's width and the box's border


def test_lab_lists_exactly_what_the_build_makes():
    assert sorted(deliverables()) == sorted(p.name for p in BIN.iterdir())


def test_run():
    result = lab("run", "basenamer", "extra")
    assert result.stdout == "Demo of pointer trap by Tamsel.\nName: basenamer\n"
    assert lab("run", "nosuch").returncode == 1
