# Shared by the tour's stops: headings, and running a sample as a reader would.
# shellcheck shell=bash

bin=${1:?usage: $0 BUILD_BIN_DIR}

heading() { printf '\n=== %s\n' "$*"; }
note() { printf '    %s\n' "$@"; }

# show KEYS NAME [ARGS...]: run a sample with KEYS on its standard input and
# print the command line, its output and its exit status.
show() {
  local keys=$1 codes=()
  shift
  printf '\n$ %s' "$*"
  [[ -n $keys ]] && printf '   (typed: %q)' "$keys"
  printf '\n'
  { printf '%s' "$keys" | "$bin/$1" "${@:2}" | sed 's/^/  | /'; codes=("${PIPESTATUS[@]}"); } || true
  printf '  exit status %s\n' "${codes[1]}"
}
