# Lesson: the x86-64 object, read without linking or running it.
#   ./lab gdb snagbox64.o

set pagination off
echo --- What the object defines (static: local to it):\n
info functions -n
echo \n--- The record get_file_id hands over, with its 64-bit length:\n
ptype SECTION_HEAD
ptype ULONGLONG
echo \n--- get_file_id, source beside machine code: the length goes to calc_md5\n
echo --- in a 32-bit register (esi), the result pointer in the third (rdx):\n
disassemble /s get_file_id
echo \n--- The macros it was compiled with are in its debug information too:\n
python
import subprocess
dump = subprocess.run(["readelf", "--debug-dump=macro", gdb.objfiles()[0].filename],
                      capture_output=True, text=True).stdout
print("\n".join(l.strip() for l in dump.splitlines() if "SNAGBOX_REVISION" in l))
end
