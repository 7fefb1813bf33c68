#!/usr/bin/env bash
# Tour stop: the heap samples -- statistics around one block, and the
# allocator's header words read from the program's own heap.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=tour/common.sh
source "$here/common.sh"

# side_by_side NAME: the two reports of NAME in two columns, changes marked
side_by_side() {
  printf '\n$ %s\n' "$1"
  "$bin/$1" | awk '
    NR <= 10 { label[NR] = substr($0, 1, 39); before[NR] = substr($0, 40) + 0; next }
    { after[NR - 10] = substr($0, 40) + 0 }
    END {
      printf "  %-39s %10s %10s\n", "", "before", "after"
      for (i = 1; i <= 10; i++) {
        d = after[i] - before[i]
        printf "  %s %10d %10d%s\n", label[i], before[i], after[i], d ? sprintf("   <- %+d", d) : ""
      }
    }'
}

heading "Heap: a 10-byte block, filled and kept"
show '' blockrot-r1
note "blockrot-r1 writes nothing and keeps its block to the end; memcheck finds it:"
valgrind --leak-check=full "$bin/blockrot-r1" 2>&1 | grep -E 'definitely lost:|ERROR SUMMARY' | sed 's/^==[0-9]*==/  |/'

heading "Heap: the allocator's statistics before and after malloc(10)"
side_by_side blockrot
note "The first report comes before anything was allocated: the heap is not there yet."
note "The second counts every chunk taken since: the 10-byte block's (16 bytes on i386,"
note "32 on x86-64); stdout's buffer, which the first printf took (4096 bytes to this"
note "pipe, 1024 to a terminal: a 4112-byte chunk here); and the allocator's per-thread"
note "cache, taken at the first malloc (400 bytes and 8 of alignment on i386, 656 on"
note "x86-64)."
side_by_side blockrot64

# read_out: print arenascope's output, each size word taken apart under its line
read_out() {
  local line name word size flags
  while IFS= read -r line; do
    printf '  | %s\n' "$line"
    [[ $line =~ ^(buf[123]|top):\ +[0-9A-F]{8}\ ([0-9A-F]{8})$ ]] || continue
    name=${BASH_REMATCH[1]} word=$((16#${BASH_REMATCH[2]}))
    size=$((word & ~7)) flags=""
    ((word & 1)) && flags+=" PREV_INUSE"
    ((word & 2)) && flags+=" IS_MMAPPED"
    ((word & 4)) && flags+=" NON_MAIN_ARENA"
    printf '      %-5s chunk size %#x (%d bytes), flags:%s\n' "$name" "$size" "$size" "${flags:- none}"
  done
}

heading "Heap: arenascope reads the header words before its three blocks"
note "Each line: the word at block-8 (previous size) and at block-4 (size | flags)."
printf '\n$ arenascope\n'
"$bin/arenascope" | read_out
note "buf1's chunk is the heap's first. The others follow chunks in use, so their"
note "previous-size words are the last words of those blocks, which nobody wrote."
note "top is the chunk after buf3: with output to a pipe, that is the stdio buffer"
note "(0x1010) taken by the first printf; aftertop is the chunk after it, the top chunk."

preload=$bin/../tests/labpreload-i386.so
if [[ -f $preload ]]; then
  printf '\n$ LD_PRELOAD=build/tests/labpreload-i386.so LAB_UNBUFFERED_STDOUT=1 arenascope\n'
  # LD_PRELOAD splits its list at blanks: it names the library, found in the
  # folder that LD_LIBRARY_PATH gives as it stands
  LD_LIBRARY_PATH=${preload%/*} LD_PRELOAD=${preload##*/} LAB_UNBUFFERED_STDOUT=1 "$bin/arenascope" |
    read_out
  note "With stdout unbuffered nothing is allocated after buf3: top is the top chunk,"
  note "aftertop is the end of the heap (the program break), and nothing is mapped there."
fi
