# Lesson: the allocator's header words, read from gdb as the program reads them.
#   ./lab gdb arenascope

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

echo \n--- On to the last line: top and aftertop are computed by then.\n
delete
python
src = gdb.lookup_global_symbol("main").symtab.fullname()
line = next(n for n, text in enumerate(open(src), 1) if "readable(aftertop, 8)" in text)
gdb.Breakpoint(source=src, line=line)  # a path with blanks or commas as it is
end
continue
printf "top=%p aftertop=%p\n", top, aftertop
set $break = (char *) sbrk(0)
printf "the program break (the end of the heap) is at %p\n", $break
if aftertop == $break
  echo --- aftertop is the end of the heap: nothing is mapped there to read.\n
else
  printf "aftertop is a chunk of its own, size word %#x; it ends at %p\n", *(unsigned *)(aftertop + 4), aftertop + (*(unsigned *)(aftertop + 4) & ~7)
  echo --- That chunk is the top chunk: it ends at the break.\n
end
