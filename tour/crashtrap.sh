#!/usr/bin/env bash
# Tour stop: the crash-trap sample, its revisions, and one real hand-off to gdb.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=tour/common.sh
source "$here/common.sh"

heading "Crash trap: four revisions of one source"
note "Each computes a file id and waits for a key; the key's code is the exit status."
show $'\n' snagbox-r1
show $'a\n' snagbox-r1 -h
note "Revision 2 knows -jit; any other first argument prints the usage text."
show $'\n' snagbox-r2 -jitx
note "Revision 4 prints the usage text only for an argument holding -h."
show $'\n' snagbox -jitx
show $'\n' snagbox --help
show '' snagbox -jit
note "(end of input: getchar returns EOF, and the status is 255)"
note "snagbox64.o is revision 3, for x86-64, not linked (T global, t local, U undefined):"
for kind in T t U; do
  printf '  | %s: %s\n' "$kind" "$(nm "$bin/snagbox64.o" | awk -v k="$kind" '$(NF-1) == k { printf "%s ", $NF }')"
done

heading "Crash trap: the just-in-time hand-off, in a terminal"
note "snagbox -jit waits for its key; Ctrl-\\ sends SIGQUIT; the handler starts gdb,"
note "which attaches to the sleeping process. Then: bt, kill, y."
sock="lab-tour-$$"
tmux=(tmux -L "$sock" -f /dev/null)
trap '"${tmux[@]}" kill-server 2>/dev/null || true' EXIT
"${tmux[@]}" new-session -d -x 110 -y 60 "$bin/snagbox -jit"
"${tmux[@]}" set-option -t 0 remain-on-exit on >/dev/null

screen() { "${tmux[@]}" capture-pane -p -t 0 2>/dev/null || true; }
wait_screen() { # wait_screen TEXT SECONDS
  local i
  for ((i = 0; i < $2 * 20; i++)); do
    screen | grep -qF -- "$1" && return 0
    sleep 0.05
  done
  printf 'lab tour: "%s" did not appear\n' "$1" >&2
  screen >&2
  return 1
}

wait_screen "jit debug handler registered" 10
"${tmux[@]}" send-keys -t 0 "C-\\"
wait_screen "(gdb)" 60
"${tmux[@]}" send-keys -t 0 bt Enter
wait_screen "in main (" 20
"${tmux[@]}" send-keys -t 0 kill Enter
wait_screen "(y or n)" 10
"${tmux[@]}" send-keys -t 0 y Enter
wait_screen "Pane is dead" 10 || true
screen | grep -v -E '^$|^(Copyright|License|This is free|There is NO|Type "show|This GDB|Find the GDB|<http|For help|Type "apropos|For bug)' |
  sed 's/^/  | /'
note "The frame below <signal handler called> is the getchar the signal interrupted."
