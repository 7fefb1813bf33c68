# Lesson: one heap block, filled and released.
#   ./lab gdb blockrot            (also blockrot64, blockrot-r1)
# It stops where the block is released (the line marked "lesson stop: release"
# in blockrot.cpp), shows the ten bytes the fill left and the chunk that holds
# them, then steps over the release and shows what the allocator wrote into
# the freed block.  (The program's two reports are not shown here: to a pipe,
# stdio keeps them until the program ends. ./lab run blockrot shows them.)

set pagination off
# blockrot-r1 has no code on the marked line and keeps its block: gdb stops at
# the next line that has code, its final return.
python
src = gdb.lookup_global_symbol("main").symtab.fullname()
line = next(n for n, text in enumerate(open(src), 1) if "lesson stop: release" in text)
gdb.Breakpoint(source=src, line=line)  # a path with blanks or commas as it is
end
run

echo \n--- The block's address and its ten bytes, as the fill left them:\n
print p
print i
printf "bytes="
output/d *p@10
echo \n
x/10xb p

python
released = gdb.selected_frame().find_sal().line == line
gdb.set_convenience_variable("released", int(released))
end

echo \n--- The chunk that holds the block: the allocator's size word just before it,\n
echo --- the low bit set (the chunk before is in use), the size a multiple of 16:\n
printf "size word %#lx: a chunk of %lu bytes for 10\n", ((unsigned long *) p)[-1], ((unsigned long *) p)[-1] & ~7
if $released
  echo --- The second report's uordblks counts that chunk and all else taken since the\n
  echo --- first report: stdout's buffer, which the first printf took (as large as\n
  echo --- st_blksize of where the output goes: 4096 bytes to a pipe or a file, 1024\n
  echo --- to a terminal), and the allocator's per-thread cache, taken at the first\n
  echo --- malloc of all (blockrot.cpp's opening comment adds them up).\n
  python
try:
    size = int(gdb.parse_and_eval("stdout->_IO_buf_end - stdout->_IO_buf_base"))
    print(f"stdout's buffer: {size} bytes")
except gdb.error:
    print("(stdout's buffer: gdb reads its size with the C library's debug information)")
  end
end

if $released
  echo \n--- Over the release, and the block's first two words again (on x86-64, words\n
  echo --- of 8 bytes). The block is free now, and the allocator keeps it for the next\n
  echo --- malloc of its size, in a list; the first two words of a block there are its own:\n
  next
  if sizeof(void *) == 4
    x/2wx p
  else
    x/2gx p
  end
  echo --- The first word links to the next block in that list, stored mangled: glibc 2.32\n
  echo --- and later XOR a link with its own address shifted right by 12 bits\n
  echo --- ("safe-linking"), so that a stray write cannot plant a usable address there.\n
  printf "first word XOR (p >> 12) = %#lx: no next block, the list holds this one alone\n", *(unsigned long *) p ^ ((unsigned long) p >> 12)
  echo --- The second word is the allocator's key, a random value chosen once per process.\n
  echo --- free() looks for a block that already holds it in the list, and so catches a\n
  echo --- second release: "free(): double free detected in tcache 2", and SIGABRT.\n
else
  echo \n--- This revision never releases the block: it stays, 0 to 9, until the process\n
  echo --- ends, and memcheck reports it lost (./lab memcheck blockrot-r1).\n
end
