#!/usr/bin/env bash
# shot.sh BIN NAME...: a PNG of each GUI sample's window as it starts, in
# build/shots/NAME.png, on the current display or a private Xvfb.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
bin=${1:?usage: $0 BIN NAME...}
shift
# shellcheck source=tour/xsession.sh
source "$here/xsession.sh"

app=""
cleanup() {
  [[ -n $app ]] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
  x_stop
}
trap cleanup EXIT

x_start
for name in "$@"; do
  "$bin/$name" >/dev/null 2>&1 &
  app=$!
  win=$(x_window "$app")
  out=$bin/../shots/$name.png
  x_shot "$win" "$out"
  eval "$(xdotool getwindowgeometry --shell "$win")"
  printf '%s: window %sx%s -> %s\n' "$name" "$WIDTH" "$HEIGHT" "build/shots/$name.png"
  kill "$app"
  wait "$app" 2>/dev/null || true
  app=""
done
