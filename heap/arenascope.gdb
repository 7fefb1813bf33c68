# Lesson: the allocator's header words, read from gdb as the program reads them.
#   ./lab gdb arenascope
# It stops at the first printf, when the three blocks are taken and nothing
# else is; then at the chunk after buf3's, as that printf is about to run; and
# last in readable(), when main has computed top and aftertop. Each stop names
# its question and what helps; `explain` gives the lesson's reading, `onward`
# goes on.

set pagination off
# The first printf comes after the three allocations.
break printf
run
up

#: stop A1 the header words before the blocks
#| main has taken its three blocks; nothing is printed yet. The two words
#| before a block are the allocator's: the previous size at block - 8, the
#| size word, with three flag bits, at block - 4.
#|   x/2xw buf1 - 8          (also buf2, buf3)
#|   print/x *(unsigned *) (buf1 - 4) & ~7      the size proper
#|   print buf2 - buf1       how far apart two blocks are (question A2)
#: explain
print buf1
print buf2
print buf3
x/2wx buf1 - 8
printf "buf1 size word=%#x: chunk size %u, flags %u\n", *(unsigned *)(buf1 - 4), *(unsigned *)(buf1 - 4) & ~7, *(unsigned *)(buf1 - 4) & 7
printf "buf2 starts %u bytes after buf1\n", buf2 - buf1
printf "buf3 starts %u bytes after buf2\n", buf3 - buf2
echo --- The chunks lie one after the other, each block 8 bytes into its chunk.\n

#: stop A3 the chunk after buf3's, before and after the first printf
set $after3 = buf3 - 8 + (*(unsigned *)(buf3 - 4) & ~7)
#| $after3 is the chunk after buf3's, where main's top will be. Its two header
#| words now, before anything is printed:   x/2xw $after3
#| Now let the first printf run:   frame 0, then finish
#| and look at the same two words again. Who took that chunk?
#|   print (void *) stdout->_IO_buf_base     stdout's buffer, once it has one
#: explain
python
if gdb.newest_frame().name() not in ("main", None):  # printf has not run yet
    gdb.execute("printf \"after buf3, before the printf: size word %#x\\n\", *(unsigned *)($after3 + 4)")
    gdb.execute("frame 0")
    gdb.execute("finish")
end
printf "after buf3: size word %#x: a chunk in use, %u bytes\n", *(unsigned *)($after3 + 4), *(unsigned *)($after3 + 4) & ~7
python
try:
    base = gdb.parse_and_eval("(char *) stdout->_IO_buf_base")
    after3 = gdb.parse_and_eval("$after3")
    print("stdout's buffer is that chunk's block:", "yes" if int(base) == int(after3) + 8 else "no")
except gdb.error:
    print("(stdout's buffer: gdb reads it with the C library's debug information)")
end
echo --- Before the printf, the chunk after buf3's was the top chunk, the rest of the\n
echo --- heap. The first printf took stdout's buffer from it, as large as st_blksize\n
echo --- of where the output goes: so main's top is that buffer in an ordinary run.\n

#: stop A3 aftertop and the end of the heap
delete
break readable
continue
up
#| main has computed top and aftertop:   print top    print aftertop
#| The end of the heap is the program break:   print (char *) sbrk(0)
#| Is aftertop the end of the heap, or a chunk of its own? Its size word:
#|   x/2xw aftertop
#: explain
printf "top=%p aftertop=%p\n", top, aftertop
set $break = (char *) sbrk(0)
printf "the program break (the end of the heap) is at %p\n", $break
if aftertop == $break
  echo --- aftertop is the end of the heap: nothing is mapped there to read.\n
  echo --- top was the top chunk: nothing was taken after buf3.\n
else
  printf "aftertop is a chunk of its own, size word %#x; it ends at %p\n", *(unsigned *)(aftertop + 4), aftertop + (*(unsigned *)(aftertop + 4) & ~7)
  echo --- That chunk is the top chunk: it ends at the break.\n
end
