#!/usr/bin/env bash
# Tour stop: the three GTK+ 2 windows, driven as a person would, with a
# screenshot of each in build/shots/.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=tour/common.sh
source "$here/common.sh"
# shellcheck source=tour/xsession.sh
source "$here/xsession.sh"

shots=$bin/../shots
# the tree-dump module: where the tour clicks, it finds the list's rows and
# the button as window and the tests do, from the widget tree
treedump=$bin/../gui/treedump.so
log=$(mktemp "${TMPDIR:-/tmp}/lab-gui.XXXXXX")
errlog=$(mktemp "${TMPDIR:-/tmp}/lab-gui-err.XXXXXX")
app=""
cleanup() {
  [[ -n $app ]] && kill "$app" 2>/dev/null
  x_stop
  rm -f "$log" "$errlog"
}
trap cleanup EXIT

# launch NAME: start a sample with its output in $log, its standard error in
# $errlog, the tree-dump module loaded; sets app and win
launch() {
  : >"$log"
  : >"$errlog"
  GTK_MODULES=$treedump "$bin/$1" >"$log" 2>"$errlog" &
  app=$!
  win=$(x_window "$app")
}
# what the sample wrote, the tree dumps left out
printed() { { cat "$log"; grep -v '^treedump: ' "$errlog" || true; } | sed 's/^/  | /'; }

# row_y LABEL: the height of the list's row with that label in the window
row_y() {
  local kind y text
  while read -r kind _ y _ text; do
    [[ $kind == item && ${text%%|*} == "$1" ]] && { printf '%s\n' "$y"; return 0; }
  done < <(x_dump "$win" "$errlog")
  printf 'lab tour: no row "%s" in the list\n' "$1" >&2
  return 1
}

# click_row LABEL [BUTTON]: a click in the middle of that row, left of any
# scroll bar
click_row() { x_click "$win" 100 "$(row_y "$1")" "${2:-1}"; }
# close_until N: close the window from the window manager until the sample
# has been asked N times (openbox 3.6 was seen to drop a close that came
# right after another, on Debian 13)
close_until() {
  local tries
  for ((tries = 0; tries < 5; tries++)); do
    x_close "$win"
    x_wait 1 test "$(grep -c 'delete event occurred' "$log")" -ge "$1" && return 0
  done
  return 1
}
status_of() {
  local status=0
  wait "$app" || status=$?
  app=""
  printf '  exit status %s\n' "$status"
}

x_start
heading "GTK+ 2: plainwin, an empty window"
launch plainwin
x_shot "$win" "$shots/plainwin.png"
note "The window is up (build/shots/plainwin.png). Close it from the window manager:"
x_close "$win"
x_wait 10 x_gone "$app"
note "the window has gone, yet the process still runs: $(ps -o stat=,args= -p "$app")"
note "nothing ends its main loop; it is stopped from outside, here with SIGTERM (kill),"
note "which makes the status 128 + 15 (Ctrl-C in a terminal sends SIGINT: 130):"
kill -TERM "$app"
status_of

heading "GTK+ 2: wavebutton, one button"
launch wavebutton
x_shot "$win" "$shots/wavebutton.png"
note "The button fills the window (build/shots/wavebutton.png). Closing the window"
note "twice from the window manager prints:"
close_until 1
close_until 2
printed
note "delete_event returned TRUE, so the window stays. A click on the button:"
eval "$(xdotool getwindowgeometry --shell "$win")"
x_click "$win" $((WIDTH / 2)) $((HEIGHT / 2))
x_wait 5 grep -q 'Hello World' "$log"
printed
status_of

heading "GTK+ 2: rowswap, a list and its prison"
launch rowswap
note "Click item 3, then release the right button over the list, then click item 9:"
click_row "ListItemContainer with Label #3"
x_wait 5 grep -q 'Label #3' "$log"
click_row "ListItemContainer with Label #3" 3 # right button: #3 moves into the frame
x_wait 5 grep -q 'Selection cleared' "$log"
click_row "List Item with Label 9"
x_wait 5 grep -q 'integrated' "$log"
x_shot "$win" "$shots/rowswap.png"
printed
note "Item 3 sits in the Prison frame (build/shots/rowswap.png); the items 5 to 9"
note "all describe themselves as \"ListItem with integrated Label\". Close:"
read -r _ x y < <(x_dump "$win" "$errlog" | grep '^button ')
x_click "$win" "$x" "$y" # the Close button
status_of
