# Lesson: one heap block, filled and released.
#   ./lab gdb blockrot            (also blockrot64, blockrot-r1)
# It stops where the block is released (the line marked "lesson stop: release"
# in blockrot.cpp), with the ten bytes filled, and then just after the
# release. At each stop it names the question you can answer there and what
# helps; `explain` gives its own reading, `onward` goes on.

set pagination off
# blockrot-r1 has no code on the marked line and keeps its block: gdb stops at
# the next line that has code, its final return.
python
src = gdb.lookup_global_symbol("main").symtab.fullname()
line = next(n for n, text in enumerate(open(src), 1) if "lesson stop: release" in text)
gdb.Breakpoint(source=src, line=line)  # a path with blanks or commas as it is
end
run
python
released = gdb.selected_frame().find_sal().line == line
gdb.set_convenience_variable("released", int(released))
end
echo \n--- The block's address and its ten bytes, as the fill left them:\n
print p
printf "bytes="
output/d *p@10
echo \n
x/10xb p

#: stop B2 what the second report counts
#| The block is filled and not yet released; both reports are written (to a
#| pipe they still wait in stdio's buffer). uordblks counts every chunk in use.
#| Three were taken before the second report. Find each one's size:
#|   - the block's own chunk: its size word is question B3;
#|   - stdout's buffer, which the first printf took:
#|       print stdout->_IO_buf_end - stdout->_IO_buf_base
#|   - the allocator's per-thread cache, taken at the very first malloc:
#|       print tcache      then its chunk's size word, just before it:
#|       print/x ((unsigned long *) tcache)[-1]
#| (gdb reads these with the C library's own debug information.) Add the
#| chunks up, and compare with the second report's uordblks.
#: explain
python
try:
    size = int(gdb.parse_and_eval("stdout->_IO_buf_end - stdout->_IO_buf_base"))
    print(f"stdout's buffer: {size} bytes")
    word = int(gdb.parse_and_eval("((unsigned long *) tcache)[-1]"))
    print(f"the per-thread cache's chunk: size word {word:#x}, {word & ~7} bytes")
except gdb.error:
    print("(gdb reads stdout's buffer and the cache with the C library's debug information)")
end
echo --- A chunk of the buffer is 8 or 16 bytes larger than the buffer: its size\n
echo --- word, rounded up. On i386 the heap's first chunk also starts 8 bytes in,\n
echo --- for alignment. The buffer is as large as st_blksize of where stdout goes:\n
echo --- a pipe or a file and a terminal differ.\n

#: stop B3 the block's chunk
#| p is the block. Just before it lies the allocator's size word for the
#| block's chunk: the 4 bytes before p on i386, the 8 before it on x86-64.
#|   print/x ((unsigned long *) p)[-1]     the size word
#|   x/4xw p - 8                           (i386: the two header words, the block)
#|   x/2xg p - 16                          (x86-64: the header words)
#| Which part of the word is a size, which bits are flags? (print/t shows bits)
#: explain
printf "size word %#lx: a chunk of %lu bytes for 10\n", ((unsigned long *) p)[-1], ((unsigned long *) p)[-1] & ~7
echo --- A chunk holds the block and its size word, rounded up to a multiple of 16.\n
echo --- The lowest bit, PREV_INUSE, says that the chunk before this one is in use.\n

#: stop B4 the block after its release
if $released
  next
  echo \n
end
#| Step over the release (the lesson has done it, where there is one: blockrot-r1
#| never releases its block). The block is free now, in a list of the
#| allocator's, and its first two words are the allocator's own:
#|   x/2xw p            (x86-64: x/2xg p)
#|   print/x (unsigned long) p >> 12
#| What is each word? Compare the first with p >> 12 (print/x a ^ b: XOR).
#: explain
if $released
  printf "first word XOR (p >> 12) = %#lx: no next block, the list holds this one alone\n", *(unsigned long *) p ^ ((unsigned long) p >> 12)
  echo --- The first word links to the next free block of this size, stored mangled:\n
  echo --- glibc 2.32 and later XOR a link with its own address shifted right by 12\n
  echo --- bits ("safe-linking"), so that a stray write cannot plant a usable address.\n
  echo --- The second word is the allocator's key, a random value chosen once per\n
  echo --- process: free() looks for a block that already holds it in the list, and so\n
  echo --- catches a second release.\n
else
  echo --- This revision never releases the block: it stays, 0 to 9, until the process\n
  echo --- ends, and memcheck reports it lost (./lab memcheck blockrot-r1).\n
end
