# shellcheck shell=bash
# vm/command.bash -- what a guest is told of the command: the files that
# vm/guest writes into a run's folder (the command as a bash script, with the
# caller's environment and folder; the run's settings), and the way to the
# caller's display with its cookie. A cold guest reads them from its run's
# folder; a warm one is sent them (vm/warm.bash).
#
# Takes, from vm/guest: projdir, top, home, stdio, root_kind, runner, run,
# guest_run, guest_net, display_host, warm, die. Gives write_run_files,
# display_target, forward_display and display_cookie.

: "${projdir?}" "${top:?}" "${home?}" "${stdio?}" "${root_kind:?}" "${runner:?}" "${run?}" "${guest_run:?}" "${guest_net:?}" "${display_host:?}"

# write_run_files COMMAND...: what the guest reads in the run's folder (vm/init
# and vm/runner.cpp say what each holds)
write_run_files() {
  command_file "$@" >"$run/cmd"
  {
    printf '%s\n' "dir=$projdir" "link=$top" "home=$home" "user=$(id -u):$(id -g)" \
      "stdio=$stdio" "net=${forward:+$guest_net}" "host=$(uname -n)"
    [[ $stdio != tty,* ]] || printf 'size=%s\n' "$(stty size)"
  } >"$run/settings"
  [[ -z $warm ]] || return 0 # (the rest: the warm guest has had it since its boot)
  [[ $root_kind == making || ! -x $runner ]] || cp "$runner" "$run/runner"
  user_lines "$run"
  : >"$run/stdout"
  : >"$run/stderr"
  : >"$run/console"
  [[ $stdio != tty,* ]] || mkfifo "$run"/{tty,ctl}.{in,out}
}

# user_lines FOLDER: on the guest's own root, which lacks them, the calling
# user's lines of passwd and group (vm/init adds them)
user_lines() {
  if [[ $root_kind == own ]] && (($(id -u) != 0)); then
    getent passwd "$(id -u)" >"$1/passwd" || true
    id -G | tr ' ' '\n' | xargs -r getent group >"$1/group" || true
  fi
}

# The calling user's environment, less what only makes sense on this host
# (its display, its desktop session, its terminal multiplexer, its folder
# for temporary files: the guest has a fresh /tmp), as bash lines.
environment() {
  local name
  for name in $(compgen -e); do
    case $name in
      BASH* | SHELLOPTS | SHLVL | PWD | OLDPWD | _ | LAB_GUEST | DISPLAY | XAUTHORITY | \
        WAYLAND_DISPLAY | DBUS_SESSION_BUS_ADDRESS | SSH_AUTH_SOCK | SSH_AGENT_PID | \
        XDG_RUNTIME_DIR | TMUX | TMUX_PANE | TMPDIR | LAB_GUEST_PACKAGES) continue ;;
    esac
    printf 'export %s=%q\n' "$name" "${!name}"
  done
  printf 'export LAB_IN_GUEST=%s\n' "$root_kind"
  if [[ -n $guest_display ]]; then
    printf 'export DISPLAY=%q\n' "$guest_display"
    [[ -s $run/Xauthority ]] && printf 'export XAUTHORITY=%q\n' "$guest_run/Xauthority"
  fi
  return 0
}

# The command file that the guest runs with bash, as root: the environment,
# the folder, then the command as the calling user.
command_file() {
  if [[ $root_kind == making ]]; then # as root, in a plain environment
    printf 'cd /\nexec'
    printf ' %q' "$@"
    printf '\n'
    return
  fi
  environment
  if [[ $root_kind == own ]]; then # a locale that the guest's own root lacks: C.UTF-8
    # shellcheck disable=SC2016 # for the guest's shell to expand
    printf '[[ -z $(locale 2>&1 >/dev/null) ]] || export LC_ALL=C.UTF-8\n'
  fi
  printf 'cd -- %q 2>/dev/null || cd -- %q\n' "$PWD" "$top"
  printf 'exec'
  if (($(id -u) != 0)); then
    printf ' setpriv --reuid=%d --regid=%d --groups=%s --' \
      "$(id -u)" "$(id -g)" "$(id -G | tr ' ' ,)"
  fi
  printf ' %q' "$@"
  printf '\n'
}

guest_display="" forward="" target="" number="" screen=""

# display_target: where the display named by DISPLAY is, as socat names it
# (target), its number and its screen; an X server must answer there
display_target() {
  local host
  [[ -n ${DISPLAY:-} ]] || die "DISPLAY is not set: there is no display to show a window on"
  [[ $DISPLAY =~ ^([A-Za-z0-9.-]*):([0-9]+)(\.[0-9]+)?$ ]] ||
    die "DISPLAY=$DISPLAY: the guest reaches a display named :N, unix:N or HOST:N only"
  host=${BASH_REMATCH[1]} number=$((10#${BASH_REMATCH[2]})) screen=${BASH_REMATCH[3]}
  if [[ -z $host || $host == unix ]]; then
    target=UNIX-CONNECT:/tmp/.X11-unix/X$number
    # where the server has no socket file, its abstract socket of that name
    [[ -S /tmp/.X11-unix/X$number ]] || target=ABSTRACT-CONNECT:/tmp/.X11-unix/X$number
  else
    target=TCP:$host:$((6000 + number))
  fi
  socat -u OPEN:/dev/null "$target,connect-timeout=5" 2>/dev/null ||
    die "DISPLAY=$DISPLAY: no X server answers there"
}

# forward_display: the cold guest's way to the display named by DISPLAY. Sets
# guest_display (the same display number and screen, at display_host) and
# forward (qemu's guestfwd rule), and writes the cookie (display_cookie).
forward_display() {
  display_target
  guest_display=$display_host:$number$screen
  forward="guestfwd=tcp:$display_host:$((6000 + number))-cmd:socat - $target"
  display_cookie
}

# display_cookie: the display's cookie, if it has one, under the guest's name
# for the display (guest_display) into $run/Xauthority
display_cookie() {
  local proto cookie
  command -v xauth >/dev/null || die "xauth is not installed: run ./lab setup"
  # xauth finds the cookie where X clients do: XAUTHORITY or ~/.Xauthority
  read -r _ proto cookie < <(xauth list "$DISPLAY" 2>/dev/null) || true
  if [[ -n ${cookie:-} ]]; then
    (umask 077 && xauth -q -f "$run/Xauthority" add "$guest_display" "$proto" "$cookie" 2>/dev/null) ||
      die "could not write the display's cookie for the guest"
  fi
}
