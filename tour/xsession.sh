# X for the GUI stops and for screenshots: the current display if there is
# one, otherwise a private Xvfb with openbox as its window manager.
# shellcheck shell=bash

x_pids=()

x_start() {
  [[ -n ${DISPLAY:-} ]] && return 0
  local fifo number ready
  fifo=$(mktemp -u "${TMPDIR:-/tmp}/lab-x.XXXXXX")
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  x_pids+=($!)
  read -r number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=:$number
  ready=$(mktemp -u "${TMPDIR:-/tmp}/lab-wm.XXXXXX")
  openbox --sm-disable --startup "touch $ready" >/dev/null 2>&1 &
  x_pids+=($!)
  x_wait 30 test -e "$ready" # (seconds under emulation on a busy machine)
  rm -f "$ready"
}

x_stop() {
  local pid
  for pid in "${x_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${x_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  x_pids=()
}

# x_wait SECONDS COMMAND...: run COMMAND every 20 ms until it succeeds
x_wait() {
  local tries=$(($1 * 50))
  shift
  until "$@" >/dev/null 2>&1; do
    ((--tries > 0)) || return 1
    sleep 0.02
  done
}

# x_window PID: the visible window of a process (GTK also owns a hidden leader)
x_window() {
  local id=""
  x_wait 20 xdotool search --onlyvisible --pid "$1" || return 1
  id=$(xdotool search --onlyvisible --pid "$1" | head -n 1)
  printf '%s\n' "$id"
}

# x_managed WINDOW: the window manager has taken the window on
x_managed() {
  local id _
  while read -r id _; do
    ((id == $1)) && return 0
  done < <(wmctrl -l 2>/dev/null)
  return 1
}

# x_close WINDOW: close it as the window manager's close button does
x_close() {
  x_wait 10 x_managed "$1" || true
  wmctrl -i -c "$1"
}

x_gone() { ! xdotool search --onlyvisible --pid "$1" >/dev/null 2>&1; }

# x_dump WINDOW LOG [SECONDS]: the widget tree of a sample started with the
# tree-dump module (GTK_MODULES=build/gui/treedump.so), as the tests read it:
# asked for with a property on WINDOW, written by the module to LOG (the
# sample's standard error, or its file in LAB_TREEDUMP_DIR). Prints that
# dump's lines, "treedump: " taken off; fails if none comes in SECONDS (10).
x_dump() {
  local dumps asks
  dumps=$(grep -c '^treedump: end$' "$2") || true
  # asked again every 2 s: a request was seen to go unanswered on Debian 13
  for ((asks = (${3:-10} + 1) / 2; asks > 0; asks--)); do
    /usr/bin/python3 -c '
import sys
from Xlib import Xatom, display
d = display.Display()
w = d.create_resource_object("window", int(sys.argv[1]))
w.change_property(d.intern_atom("_LAB_TREEDUMP"), Xatom.STRING, 8, b"1")
d.flush()' "$1"
    x_wait 2 test "$(grep -c '^treedump: end$' "$2")" -gt "$dumps" && break
  done
  ((asks > 0)) || return 1
  x_dumped "$2" "$dumps"
}

# x_dumped LOG N: the lines of dump N (from 0) in LOG, "treedump: " taken off
x_dumped() {
  awk -v n="$2" '$0 == "treedump: begin" { on = (seen++ == n); next }
    $0 == "treedump: end" { on = 0 } on { print substr($0, 11) }' "$1"
}

# x_click WINDOW X Y [BUTTON]: real pointer input, through XTEST
x_click() { xdotool mousemove --window "$1" "$2" "$3" mousedown "${4:-1}" mouseup "${4:-1}"; }

# x_shot WINDOW FILE: a PNG of the window's contents, whole or not at all
# (another tour or test may read it meanwhile)
x_shot() {
  mkdir -p "$(dirname "$2")"
  sleep 0.2 # let the window draw itself
  import -window "$1" "png:$2.part" && mv "$2.part" "$2"
}
