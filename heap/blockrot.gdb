# Lesson: one heap block, filled and released.
#   ./lab gdb blockrot            (also blockrot64, blockrot-r1)

set pagination off
# Stop where the block is released; blockrot-r1 has no code there and keeps
# its block, so gdb stops at the line that follows, its final return.
python
src = gdb.lookup_global_symbol("main").symtab.fullname()
line = next(n for n, text in enumerate(open(src), 1) if text.strip() == "free(p);")
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
echo \n--- Step over the release and look again: the allocator has put its own\n
echo --- bookkeeping into the first bytes of the free block.\n
