# Lesson: the x86-64 object, read without linking or running it.
#   ./lab gdb snagbox64.o
# Four stops, one for each question of the object: its functions, the call
# that get_file_id makes, the relocations that the linker has yet to fill
# in, and the macros it was compiled with. Nothing runs: gdb reads the file.
# `explain` gives the lesson's reading of a stop, `onward` goes on.

set pagination off
python
import subprocess
obj = gdb.objfiles()[0].filename
end

#: stop O1 what the object defines
#| gdb has read the object's symbols and debug information.
#|   info functions -n      the functions it knows (static: local to the object)
#| And in a shell:   nm build/bin/snagbox64.o     (T global, t local, U undefined)
#: explain
echo --- What the object defines (static: local to it):\n
info functions -n

#: stop O2 how get_file_id calls calc_md5
#|   disassemble /s get_file_id     source beside machine code
#|   ptype SECTION_HEAD             the record it hands over
#| Which registers hold calc_md5's three arguments just before the call?
#: explain
echo --- The record get_file_id hands over, with its 64-bit length:\n
ptype SECTION_HEAD
ptype ULONGLONG
echo \n--- get_file_id, source beside machine code: the length goes to calc_md5\n
echo --- in a 32-bit register (esi), the result pointer in the third (rdx):\n
disassemble /s get_file_id

#: stop O3 a call to the next instruction
#| In that disassembly each call goes to the instruction that follows it.
#| The object is not linked: what will the linker write there, and where does
#| the object say so? In a shell:   objdump -dr build/bin/snagbox64.o
#: explain
echo --- Each call's four-byte field, and the lea's, still holds a placeholder; the\n
echo --- relocations say what the linker will write there: the address of strlen,\n
echo --- of calc_md5, of the test text in .rodata (objdump -dr):\n
python
dump = subprocess.run(["objdump", "-dr", "--no-show-raw-insn", "--disassemble=get_file_id", obj],
                      capture_output=True, text=True).stdout
print(dump[dump.index("<get_file_id>:"):].rstrip())
end
echo --- Under each instruction: the offset of its field, the kind, the target.\n
echo --- Both kinds are relative: the linker writes the target's address less the\n
echo --- field's own, plus the addend -4, which makes it the distance from the next\n
echo --- instruction, the point the processor counts from. PLT32: by way of the\n
echo --- linkage table, where the target ends up in a shared library.\n

#: stop O4 which revision this is
#| The object carries the macros it was compiled with, in its debug
#| information. gdb shows them only in a linked program; in a shell:
#|   readelf --debug-dump=macro build/bin/snagbox64.o | less
#| Which one names the revision?
#: explain
echo --- The macros it was compiled with are in its debug information too:\n
python
dump = subprocess.run(["readelf", "--debug-dump=macro", obj], capture_output=True, text=True).stdout
print("\n".join(l.strip() for l in dump.splitlines() if "SNAGBOX_REVISION" in l))
end
