#!/usr/bin/env bash
# revisions.sh N [M]: the crash trap's revision N as the preprocessor leaves
# snagbox.cpp for the compiler: only the lines that its #if blocks select,
# comments and macro names as written, the headers it includes left out.
# With M, the difference from revision N to revision M:
#   crashtrap/revisions.sh 1 2     what revision 2 adds to revision 1
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

usage() { printf 'usage: %s N [M]   (revisions 1 to 4)\n' "$0" >&2; exit 2; }
(($# == 1 || $# == 2)) || usage
for n in "$@"; do [[ $n == [1-4] ]] || usage; done

# own N: snagbox.cpp's own lines in revision N (-fdirectives-only: the
# directives are carried out, the macros are not expanded), runs of blank
# lines squeezed into one
own() {
  (cd "$here" && g++ -E -fdirectives-only -DSNAGBOX_REVISION="$1" snagbox.cpp) |
    awk '/^# [0-9]+ "/ { mine = ($3 == "\"snagbox.cpp\""); next } mine' | cat -s
}

if (($# == 1)); then
  own "$1"
else
  diff -u --label "revision $1" --label "revision $2" <(own "$1") <(own "$2") || (($? == 1))
fi
