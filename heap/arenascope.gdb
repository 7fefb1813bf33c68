# Lesson: the allocator's header words, read from gdb as the program reads them.
#   ./lab gdb arenascope
# It stops at the first printf, when the three blocks are taken and nothing
# else is; lets that printf run, to see what it takes from the heap; and stops
# again in readable(), when main has computed top and aftertop.

set pagination off
# The first printf comes after the three allocations.
break printf
run
up
echo \n--- The three blocks, and the two header words before buf1 (previous\n
echo --- size, then size with the flag bits):\n
print buf1
print buf2
print buf3
x/2wx buf1 - 8
printf "buf1 size word=%#x: chunk size %u, flags %u\n", *(unsigned *)(buf1 - 4), *(unsigned *)(buf1 - 4) & ~7, *(unsigned *)(buf1 - 4) & 7
printf "buf2 starts %u bytes after buf1\n", buf2 - buf1
printf "buf3 starts %u bytes after buf2\n", buf3 - buf2

echo \n--- The chunk after buf3's, before anything is printed: the top chunk, the rest\n
echo --- of the heap, from which the allocator carves new chunks:\n
set $after3 = buf3 - 8 + (*(unsigned *)(buf3 - 4) & ~7)
printf "after buf3: size word %#x\n", *(unsigned *)($after3 + 4)
echo \n--- Now the first printf runs. stdout has no buffer yet: it takes one from the\n
echo --- heap, as large as st_blksize of where the output goes (4096 bytes to a pipe\n
echo --- or a file, 1024 to a terminal), and keeps the line in it.\n
delete
frame 0
finish
printf "after buf3: size word %#x: a chunk in use, %u bytes\n", *(unsigned *)($after3 + 4), *(unsigned *)($after3 + 4) & ~7
python
try:
    base = gdb.parse_and_eval("(char *) stdout->_IO_buf_base")
    after3 = gdb.parse_and_eval("$after3")
    print("stdout's buffer is that chunk's block:", "yes" if int(base) == int(after3) + 8 else "no")
except gdb.error:
    print("(stdout's buffer: gdb reads it with the C library's debug information)")
end
echo --- So main's top, the chunk after buf3's, is stdout's buffer in an ordinary\n
echo --- run (size 0x1010 to a pipe, 0x410 to a terminal), and main's aftertop is the\n
echo --- top chunk. Only where stdout has no buffer is top the top chunk.\n

echo \n--- On to readable(): main has computed top and aftertop by then.\n
break readable
continue
up
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
