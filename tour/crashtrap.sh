#!/usr/bin/env bash
# Tour stop: the crash-trap sample, its revisions, and one real hand-off to gdb.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=tour/common.sh
source "$here/common.sh"

heading "Crash trap: four revisions of one source"
note "Each computes a file id and waits for a key; the key's code is the exit status."
note "The same first argument, three revisions side by side (Enter typed each time;"
note "each output line is shown between slashes):"
printf '\n  %-8s| %-32s| %-32s| %s\n' "argument" "snagbox-r1" "snagbox-r2" "snagbox"
for arg in "" -h -jitx --help -jit; do
  row=$(printf '  %-8s' "${arg:-(none)}")
  for rev in snagbox-r1 snagbox-r2 snagbox; do
    text=$(printf '\n' | "$bin/$rev" ${arg:+"$arg"} | sed 's/Stuntman for kiv by Tamsel (rev1.0)/<banner>/; s/Header trap sample by Tamsel Quendry/<usage>/; s/jit debug handler registered/<jit>/; /^ \[-jit\]$/d' | paste -sd/) || true
    row+=$(printf '| %-32s' "/$text/")
  done
  printf '%s\n' "${row%"${row##*[! ]}"}"
done
note "<banner>: \"Stuntman for kiv by Tamsel (rev1.0)\"; <jit>: \"jit debug handler registered\";"
note "<usage>: the two-line usage text. Only -jit, exactly, installs the handler."
note "The source's #if blocks make the difference. What revision 4 has that revision 2"
note "has not, as the preprocessor leaves snagbox.cpp (crashtrap/revisions.sh 2 4):"
"$here/../crashtrap/revisions.sh" 2 4 | sed 's/^/  | /'
show $'a\n' snagbox
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
# the program and its argument apart: tmux then starts it with no shell, which
# would split a path with blanks
"${tmux[@]}" new-session -d -x 110 -y 60 "$bin/snagbox" -jit
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
note "The handler wrote --pid=N and a NUL byte (which the terminal shows as nothing)"
note "and no newline: gdb's banner goes on from the same line. Below <signal handler"
note "called>: the read in getchar, called from main, that the signal interrupted."
