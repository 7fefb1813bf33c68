# shellcheck shell=bash
# tests/commands.bash -- ./lab test: where each group of the suite's tests
# runs (here, or in qemu guests, two side by side where they fit), and what
# --both adds (the guest on each root that the run did not use).
#
# Takes, from lab: top, python, decided, guest_reason, cmd_build, use_guest,
# here_or_guest, guests_at_once and say. Gives lab cmd_test and pytest.

[[ -n ${top:-} && -n ${python:-} ]] || { echo "tests/commands.bash: source it from lab" >&2; exit 1; }

pytest() {
  (cd "$top" && env -u DEBUGINFOD_URLS PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -q "$@")
}

# What needs no i386 kernel, run on the host where the rest runs in the guest:
# the lint (at native speed) and the tests of the guest itself.
host_tests=(tests/test_lint.py tests/vm tests/setup)
# Where i386 programs run here, `./lab test --both` (what CI runs) tries the
# guest too, as a machine that needs it would: its own tests, and these
# tests of samples inside it.
guest_check=(tests/pointer tests/heap tests/crashtrap/test_handoff.py)

# Where the tests run in guests, two of them side by side where they fit: one
# for these, one for the rest (about as long, under emulation).
guest_group=(tests/course tests/test_memcheck.py)

cmd_test() {
  local both="" status=0
  # A guest for each of the suite's commands, which none outlives (the
  # tests of the guest that stays set LAB_GUEST_IDLE themselves)
  export LAB_GUEST_IDLE=0
  [[ ${1:-} == --both ]] && { both=yes; shift; }
  cmd_build
  if use_guest && (($# == 0)); then
    say "lab: $guest_reason: the tests of i386 programs run in qemu guests (vm/guest)" >&2
    if [[ $decided == own ]]; then # the lint too: this host may lack what it needs
      # built first: the guest's own tests run the samples too
      "$top/vm/guest" "$top/lab" build || return
      # the lint with the second guest's tests (it takes about as long as they
      # do, under emulation; 9 of 12 minutes were the first guest's)
      guest_group+=(tests/test_lint.py)
      guest_tests tests/vm -- --ignore=tests/vm || status=$?
    else
      guest_tests "${host_tests[@]}" -- "${host_tests[@]/#/--ignore=}" || status=$?
    fi
  else
    here_or_guest
    pytest "$@" || status=$?
  fi
  if [[ -n $both && -z ${LAB_IN_GUEST:-} && $decided != own ]]; then
    both_roots || status=$?
  fi
  return "$status"
}

# both_roots: what --both adds to a test run that used no guest, or the guest
# on the host's root: the guest's own tests and the guest_check tests of
# samples in a guest on each root that the run did not use. The guest's own
# tests on its own root run beside the rest, with a folder for temporary
# files of their own (where vm/guest makes its runs' folders); their output
# follows once they are done. The samples in the guest are the ones built here.
both_roots() {
  local status=0 beside pid roots=host,own
  [[ $decided == here ]] && LAB_GUEST=1 "$top/lab" setup # the guest's packages and kernel
  LAB_GUEST_ROOT=own "$top/lab" setup                   # the root, made once per user
  beside=$(mktemp -d /tmp/lab-both.XXXXXX)
  say "lab: --both: the guest's own tests on its own root (LAB_GUEST_ROOT=own) run beside the rest; their output follows" >&2
  (export TMPDIR=$beside LAB_GUEST_ROOT=own LAB_GUEST_ROOTS_TRIED=$roots LAB_GUEST_TESTS=1
   pytest tests/vm) >"$beside/log" 2>&1 &
  pid=$!
  if [[ $decided == here ]]; then
    say "lab: --both: the guest's own tests, and some tests of samples in a qemu guest (vm/guest)" >&2
    LAB_GUEST_ROOT=host LAB_GUEST_ROOTS_TRIED=$roots guest_tests tests/vm -- "${guest_check[@]}" ||
      status=$?
  fi
  say "lab: --both: the same tests of samples in a qemu guest on its own root" >&2
  LAB_GUEST_ROOT=own LAB_HOST_BUILT=1 "$top/vm/guest" "$top/lab" test "${guest_check[@]}" || status=$?
  wait "$pid" || status=$?
  say "lab: --both: the guest's own tests on its own root:" >&2
  cat "$beside/log"
  rm -rf "$beside"
  return "$status"
}

# guest_tests HOST_TESTS... -- ARGS...: HOST_TESTS here, the guest's own tests
# among them; `./lab test ARGS` in a guest. Where guests fit side by side
# (vm/guest --describe), all at once: HOST_TESTS, with a folder for temporary
# files of their own (where vm/guest makes its runs' folders, which they
# count), and the guest_group tests in a second guest; the output of these
# follows that of the first guest.
guest_tests() {
  local here=() status=0 beside pids=()
  while [[ $1 != -- ]]; do here+=("$1"); shift; done
  shift
  if (($(guests_at_once) < 2)); then
    LAB_GUEST_TESTS=1 pytest "${here[@]}" || status=$?
    "$top/vm/guest" "$top/lab" test "$@" || status=$?
    return "$status"
  fi
  beside=$(mktemp -d /tmp/lab-test.XXXXXX)
  mkdir "$beside/tmp"
  TMPDIR=$beside/tmp LAB_GUEST_TESTS=1 pytest "${here[@]}" </dev/null >"$beside/here" 2>&1 &
  pids+=($!)
  "$top/vm/guest" "$top/lab" test "${guest_group[@]}" </dev/null >"$beside/group" 2>&1 &
  pids+=($!)
  "$top/vm/guest" "$top/lab" test "$@" "${guest_group[@]/#/--ignore=}" || status=$?
  wait "${pids[1]}" || status=$?
  cat "$beside/group"
  wait "${pids[0]}" || status=$?
  cat "$beside/here"
  rm -rf "$beside"
  return "$status"
}
