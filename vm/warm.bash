# shellcheck shell=bash
# vm/warm.bash -- the warm guest: the first command through the guest boots
# one that stays, and the next commands run in it (vm/warm.py sends each one
# there; vm/server.cpp runs it). It ends by itself once no command has run
# for LAB_GUEST_IDLE seconds (600 by default; 0: a cold guest for each
# command, as vm/guest's one run), or at once with vm/guest --stop.
#
# There is one for each user, root (host or own) and project folder. Its
# folder, /tmp/lab-UID/ROOT-HASH (private to the user), holds: pid (qemu's),
# port (the one on this host's loopback that qemu forwards to the guest's
# server), mark (what it boots: a guest that boots anything else is
# replaced), the file display.N for each display slot N (where the guest's
# X display N leads), qemu.err, and share, the guest's run folder (its
# settings, its console, idle once it has ended by itself, the secret that a command's connection must begin with,
# the runner and the server). Only the user can read the folder, and the
# server runs nothing for a connection without the secret.
#
# Takes, from vm/guest: here, projdir, root_kind, runner, boot, initrd, disk,
# memory, accel, home, run, stdio, bound, guest_net, display_host, err, say,
# die, failed, qemu_args, write_run_files, display_target, display_cookie,
# user_lines. Gives warm, warm_wanted, warm_run and
# warm_stop.

: "${here:?}" "${projdir:?}" "${top:?}" "${root_kind:?}" "${runner:?}" "${home?}" "${run?}" "${bound?}" "${guest_net:?}" "${display_host:?}" "${err:?}" "${boot_bound?}" "${started_at:?}" "${how?}"
: "${boot?}" "${initrd?}" "${disk?}" "${memory?}" "${accel?}" "${target?}" "${screen?}"

warm="" state="" server=$projdir/build/vm/server
idle=${LAB_GUEST_IDLE:-600}
guest_port=7000 # the server's, in the guest
display_slots=8 # displays that commands of one guest reach at once
# the client's python: the system's, where it has one (not a shim of a
# python version manager, which starts a shell or two first)
client_python=/usr/bin/python3
[[ -x $client_python ]] || client_python=python3

# warm_wanted: true where this command runs in a warm guest
warm_wanted() {
  [[ $idle =~ ^[0-9]+$ ]] || die "LAB_GUEST_IDLE is a number of seconds, not '$idle'"
  ((idle > 0)) && [[ -x $runner && -x $server ]] && command -v "$client_python" >/dev/null
}

# state_of ROOT: the folder of this project's warm guest on ROOT
state_of() {
  local base
  base=/tmp/lab-$(id -u)
  [[ -e $base ]] || mkdir -m 0700 "$base" 2>/dev/null || true
  [[ -d $base && ! -L $base && -O $base ]] || die "$base is not a folder of this user's: the warm guest cannot be kept there"
  chmod 0700 "$base"
  printf '%s/%s-%s\n' "$base" "$1" "$(printf '%s' "$projdir" | md5sum | cut -c 1-12)"
}

# alive: true where the guest in $state runs
alive() {
  local pid
  pid=$(cat "$state/pid" 2>/dev/null) && [[ -f $state/share/ready ]] &&
    grep -q -F -- "$state/share" "/proc/$pid/cmdline" 2>/dev/null
}

# mark: what the guest boots, and how: a guest that differs is replaced
mark() {
  printf '%s\n' "$boot" "$initrd" "$disk" "$memory" "$accel" "$home" "$(id -u):$(id -g) $(id -G)"
  stat -L -c '%n %s %Y' "$here/init" "$boot" "$initrd" ${disk:+"$disk"} "$runner" "$server"
}

# warm_up: a guest that runs, what it boots as now: this one, or one booted
# for it (the lock keeps two commands from booting two)
warm_up() {
  local lock why=""
  exec {lock}>"$state.lock"
  flock "$lock"
  if [[ -d $state ]]; then
    if [[ -e $state/share/idle ]]; then
      why=idle # (it ended by itself)
    elif ! alive; then
      why="the guest had ended (killed from outside, or short of memory?)"
    elif [[ $(mark) != "$(cat "$state/mark")" ]]; then
      why="what the guest boots has changed (its kernel, init, runner or root)"
    fi
    if [[ -n $why ]]; then
      [[ $why == idle ]] || say "$why: booting a new one"
      stop_guest "$state"
    fi
  fi
  [[ -d $state ]] || warm_boot
  exec {lock}>&-
}

# warm_boot: boot the guest of $state, detached from this command, and wait
# until its server listens
warm_boot() {
  local share=$state/share tries
  # shellcheck disable=SC2034 # (vm/guest's finish removes it, if it fails)
  warm_booting=$state
  mkdir -m 0700 "$state" "$share"
  cp "$runner" "$server" "$share/"
  (umask 077 && head -c 24 /dev/urandom | od -A n -t x1 | tr -d ' \n' >"$share/secret")
  printf '%s\n' "dir=$projdir" "link=$top" "home=$home" "user=$(id -u):$(id -g)" "net=$guest_net" \
    "host=$(uname -n)" "warm=$guest_port" "idle=$idle" >"$share/settings"
  user_lines "$share"
  mark >"$state/mark"
  run=$share
  for ((tries = 0; ; tries++)); do
    local port=$((20000 + RANDOM % 40000)) slot
    forward="hostfwd=tcp:127.0.0.1:$port-:$guest_port"
    for ((slot = 0; slot < display_slots; slot++)); do
      # (qemu splits the command into words as a shell would, and runs it)
      forward+=",guestfwd=tcp:$display_host:$((6000 + slot))-cmd:sh -c 'exec socat - \"\$(cat $state/display.$slot)\"'"
    done
    qemu_args ${disk:+"$disk" readonly=on}
    rm -f "$state/pid"
    # shellcheck disable=SC2154 # args: set by qemu_args (vm/qemu.bash)
    (detached qemu-system-x86_64 "${args[@]}" </dev/null >"$state/qemu.err" 2>&1 &)
    until [[ -s $state/pid ]]; do sleep 0.01; done
    qemu_pid=$(<"$state/pid")
    echo "$port" >"$state/port"
    wait_for_server && break
    # a port that another program took meanwhile: another one
    if ! grep -q -i forward "$state/qemu.err" || ((tries >= 5)); then failed "the guest did not boot$how"; fi
  done
  # shellcheck disable=SC2034 # (vm/guest's finish removes a guest that it boots)
  qemu_pid="" warm_booting="" boot_line=""
}

# detached COMMAND...: COMMAND, in a session of its own, with none of this
# command's descriptors (a pipe that waits for their end is not held open),
# its pid in $state/pid; started in the background of a subshell that ends at
# once, so that it is no child of this command's
detached() {
  local fd
  for fd in /proc/self/fd/*; do
    fd=${fd##*/}
    ((fd <= 2)) || eval "exec $fd>&-"
  done
  echo "$BASHPID" >"$state/pid.new" && mv "$state/pid.new" "$state/pid"
  exec setsid "$@"
}

# wait_for_server: until the guest's server listens (false: qemu ended)
wait_for_server() {
  local deadline=$((${EPOCHREALTIME//[!0-9]/} + boot_bound * 1000000))
  if [[ -t $err ]]; then
    boot_line=yes
    printf 'lab: booting the guest, which stays %s s after the last command (Ctrl-C ends it) ...' "$idle" >&"$err"
  fi
  until [[ -e $state/share/ready ]]; do
    if ! kill -0 "$qemu_pid" 2>/dev/null; then
      how=$(sed -n '1s/^/: /p' "$state/qemu.err")
      return 1
    fi
    ((${EPOCHREALTIME//[!0-9]/} < deadline)) || failed "the guest did not boot within $boot_bound s"
    sleep 0.05
  done
  [[ -z $boot_line ]] || printf '\r\033[K' >&"$err"
  boot_line=""
  [[ -z ${LAB_GUEST_TIMES:-} ]] || say "$(awk -v s="$started_at" -v e="$EPOCHREALTIME" \
    'BEGIN { printf "booted in %.2f s (to the server'"'"'s start)", e - s }')"
}

# warm_display: the command's way to the display named by DISPLAY: the slot
# that leads there already, or a free one (or the oldest), as guest_display
warm_display() {
  local slot chosen="" file
  display_target
  for ((slot = 0; slot < display_slots; slot++)); do
    file=$state/display.$slot
    if [[ -f $file && $(cat "$file") == "$target" ]]; then chosen=$slot; break; fi
    [[ -n $chosen || -f $file ]] || chosen=$slot
  done
  if [[ -z $chosen ]]; then
    # shellcheck disable=SC2012 # the names are ours: display.N
    chosen=$(ls -t "$state"/display.* | tail -n 1)
    chosen=${chosen##*.}
  fi
  file=$state/display.$chosen
  [[ -f $file && $(cat "$file") == "$target" ]] ||
    { printf '%s\n' "$target" >"$file.new" && mv "$file.new" "$file"; }
  touch "$file"
  # shellcheck disable=SC2034 # (the command's environment names it: vm/command.bash)
  guest_display=$display_host:$chosen$screen
  display_cookie
}

# warm_run [--display] COMMAND...: the command, in this project's warm guest
warm_run() {
  local display=""
  [[ $1 != --display ]] || { display=yes; shift; }
  # shellcheck disable=SC2034 # (write_run_files writes less for a warm guest)
  warm=yes
  state=$(state_of "$root_kind")
  end_on_signals
  trap 'finish exit 1' EXIT
  warm_up
  open_run # (the command's folder, once the guest is up)
  [[ -z $display ]] || warm_display
  write_run_files "$@"
  trap - EXIT
  # (the client removes the run's folder; where the guest ends before it
  # takes the command, it runs vm/guest again with the same arguments)
  exec "$client_python" -I "$here/warm.py" "$state" "$run" "$bound" "$here/guest" ${display:+--display} "$@"
}

# stop_guest STATE: that guest ended, its folder gone
stop_guest() {
  local pid
  pid=$(cat "$1/pid" 2>/dev/null) || true
  if [[ -n $pid ]] && grep -q -F -- "$1/share" "/proc/$pid/cmdline" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -rf "$1"
}

# warm_stop: this project's warm guests ended at once: on the root that
# LAB_GUEST_ROOT names, or on either
warm_stop() {
  local root
  for root in ${LAB_GUEST_ROOT:-host own}; do
    state=$(state_of "$root")
    [[ ! -d $state ]] || stop_guest "$state"
  done
}
