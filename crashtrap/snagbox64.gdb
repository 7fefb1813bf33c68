# Lesson: the x86-64 object, read without linking or running it.
#   ./lab gdb snagbox64.o
# Its functions and types, get_file_id's machine code beside its source, the
# relocations that the linker has yet to fill in, and the macros it was
# compiled with.

set pagination off
echo --- What the object defines (static: local to it):\n
info functions -n
echo \n--- The record get_file_id hands over, with its 64-bit length:\n
ptype SECTION_HEAD
ptype ULONGLONG
echo \n--- get_file_id, source beside machine code: the length goes to calc_md5\n
echo --- in a 32-bit register (esi), the result pointer in the third (rdx):\n
disassemble /s get_file_id
echo \n--- The object is not linked yet: each call above goes to the instruction that\n
echo --- follows it, and the lea reads 0x0(%rip). Their four-byte fields still hold\n
echo --- placeholders; the relocations say what the linker will write there: the\n
echo --- address of strlen, of calc_md5, of the test text in .rodata (objdump -dr):\n
python
import subprocess
obj = gdb.objfiles()[0].filename
dump = subprocess.run(["objdump", "-dr", "--no-show-raw-insn", "--disassemble=get_file_id", obj],
                      capture_output=True, text=True).stdout
print(dump[dump.index("<get_file_id>:"):].rstrip())
end
echo --- Under each instruction: the offset of its field, the kind, the target.\n
echo --- Both kinds are relative: the linker writes the target's address less the\n
echo --- field's own, plus the addend -4, which makes it the distance from the next\n
echo --- instruction, the point the processor counts from. PLT32: by way of the\n
echo --- linkage table, where the target ends up in a shared library.\n
echo \n--- The macros it was compiled with are in its debug information too:\n
python
dump = subprocess.run(["readelf", "--debug-dump=macro", obj], capture_output=True, text=True).stdout
print("\n".join(l.strip() for l in dump.splitlines() if "SNAGBOX_REVISION" in l))
end
