#!/usr/bin/env bash
# Tour stop: the program-name sample, started three ways.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=tour/common.sh
source "$here/common.sh"

heading "Program name: argv[0] is whatever the starter put there"
printf '\n$ cd build/bin && ./basenamer\n'
(cd "$bin" && ./basenamer) | sed 's/^/  | /'
printf '\n$ %s\n' "$bin/basenamer"
"$bin/basenamer" | sed 's/^/  | /'
printf '\n$ PATH=build/bin basenamer      (found on the search path: argv[0] has no slash)\n'
PATH=$bin basenamer | sed 's/^/  | /'
printf '\n$ (exec -a some/folder/ build/bin/basenamer)   (a name that ends in a slash)\n'
(exec -a some/folder/ "$bin/basenamer") | sed 's/^/  | /'
note "The name is a pointer into argv[0] itself: in gdb, print name - argv[0]."
