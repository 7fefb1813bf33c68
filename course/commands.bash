# shellcheck shell=bash
# course/commands.bash -- the course's commands of ./lab: check, hint,
# progress and measure, around course/check.py (which holds what they do).
#
# Takes, from lab: top, python, command, cmd_build and here_or_guest. Gives
# lab cmd_check, cmd_hint, cmd_progress and cmd_measure. check, hint and
# progress run here, where the learner's record is kept; check asks `./lab
# measure` what the programs show, and measure runs where the samples run (in
# the guest where this kernel runs no i386 program, after the build).

[[ -n ${top:-} && -n ${python:-} ]] || { echo "course/commands.bash: source it from lab" >&2; exit 1; }

course() { LAB_TOP=$top exec "$python" "$top/course/check.py" "$@"; }

# shellcheck disable=SC2329 # lab calls each cmd_ function by name
cmd_check() { course check "$@"; }
# shellcheck disable=SC2329
cmd_hint() { course hint "$@"; }
# shellcheck disable=SC2329
cmd_progress() { course progress "$@"; }

# shellcheck disable=SC2329
cmd_measure() {
  cmd_build >&2
  here_or_guest
  course measure "$@"
}
