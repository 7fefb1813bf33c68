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
log=$(mktemp "${TMPDIR:-/tmp}/lab-gui.XXXXXX")
app=""
cleanup() {
  [[ -n $app ]] && kill "$app" 2>/dev/null
  x_stop
  rm -f "$log"
}
trap cleanup EXIT

# launch NAME: start a sample with its output in $log; sets app and win
launch() {
  : >"$log"
  "$bin/$1" >"$log" 2>&1 &
  app=$!
  win=$(x_window "$app")
}
printed() { sed 's/^/  | /' "$log"; }
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
note "nothing ends its main loop; it is stopped from outside (Ctrl-C in a terminal):"
kill -TERM "$app"
status_of

heading "GTK+ 2: wavebutton, one button"
launch wavebutton
x_shot "$win" "$shots/wavebutton.png"
note "The button fills the window (build/shots/wavebutton.png). Closing the window"
note "twice from the window manager prints:"
x_close "$win"
x_wait 5 grep -q 'delete event occurred' "$log"
x_close "$win"
x_wait 5 test "$(grep -c 'delete event occurred' "$log")" -eq 2
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
x_click "$win" 100 73        # ListItemContainer with Label #3
x_wait 5 grep -q 'Label #3' "$log"
x_click "$win" 100 73 3      # right button: #3 moves into the frame
x_wait 5 grep -q 'Selection cleared' "$log"
x_click "$win" 100 92        # now the item in row 3: List Item with Label 9
x_wait 5 grep -q 'integrated' "$log"
x_shot "$win" "$shots/rowswap.png"
printed
note "Item 3 sits in the Prison frame (build/shots/rowswap.png); the items 5 to 9"
note "all describe themselves as \"ListItem with integrated Label\". Close:"
x_click "$win" 130 235       # the Close button
status_of
