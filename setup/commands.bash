# shellcheck shell=bash
# setup/commands.bash -- ./lab setup (what the chosen path needs, installed
# with apt where the host has it, or named in one line where it has not) and
# ./lab root export (the guest's own root as one file, for a class).
#
# Takes, from lab: top, build, packages, guest_packages, own_root_packages,
# own_root_record, apt_reason, guest_reason, decided, say, die, own_root,
# use_guest, and host_install with cannot_give and
# without_universe (setup/packages.bash). Gives
# lab cmd_setup, cmd_root, debian_tools, no_debian_reason and
# apt_chose_own_root.

: "${top:?}" "${build:?}" "${own_root_record:?}" "${apt_reason:?}" "${packages[*]:?}"
: "${guest_packages[*]:?}" "${own_root_packages[*]:?}"

no_debian_reason="this host has no Debian package tools (apt-get, dpkg-query)"

# debian_tools: true where this host installs with Debian's package tools
debian_tools() { command -v apt-get >/dev/null && command -v dpkg-query >/dev/null; }

# install PACKAGE...: those of them that are missing (setup/packages.bash);
# where apt cannot give them, one line, status 1
install() {
  host_install "$@"
  [[ -z $cannot_give ]] || die "apt cannot install what the suite needs ($cannot_give)${without_universe:+: $without_universe}"
}

cmd_setup() {
  [[ -n ${LAB_IN_GUEST:-} ]] && return 0 # the host has set everything up
  local root_file=""
  case $#:${1:-} in
    2:--root) root_file=$2 ;;
    0:) ;;
    *) die "usage: ./lab setup [--root FILE]" ;;
  esac
  # a root from a file first: it is kept whatever path this host takes, and
  # the guest's own root is not made here
  [[ -z $root_file ]] || "$top/vm/guest" --import "$root_file"
  if ! own_root; then
    # the host first, each time: where its apt cannot give the i386
    # packages, the guest's own root instead
    host_install "${packages[@]}"
    if [[ -n $cannot_give ]]; then apt_chose_own_root; else rm -f "$own_root_record"; fi
  fi
  if own_root; then # everything runs in the guest: the host needs only that
    if debian_tools; then
      install "${guest_packages[@]}" "${own_root_packages[@]}"
    else
      say "lab: $no_debian_reason: every command runs in a qemu guest with a root of its own (vm/guest)"
      need_commands
    fi
    LAB_GUEST_ROOT=own "$top/vm/guest" --prepare
    if [[ $guest_reason == "$apt_reason"* ]]; then
      mkdir -p "$build"
      say "$guest_reason" >"$own_root_record"
    fi
    return
  fi
  if use_guest; then
    install "${guest_packages[@]}"
    LAB_GUEST_ROOT=host "$top/vm/guest" --prepare
  fi
}

# cmd_root export FILE: the guest's own root (made first, where it is not)
# as one file that ./lab setup --root FILE takes on another machine
cmd_root() {
  [[ ${1:-} == export && -n ${2:-} && $# -eq 2 ]] || die "usage: ./lab root export FILE"
  LAB_GUEST_ROOT=own "$top/vm/guest" --export "$2"
}

# What the guest's own root needs of a host without Debian's package tools,
# and the package that gives each command under the package managers that
# lab knows (named from their indexes; not tried on those systems).
host_commands=(qemu-system-x86_64 socat xauth python3 setpriv flock tar sha256sum)
declare -A command_package=(
  [dnf:qemu-system-x86_64]=qemu-system-x86-core [dnf:xauth]=xorg-x11-xauth
  [pacman:qemu-system-x86_64]=qemu-system-x86 [pacman:xauth]=xorg-xauth [pacman:python3]=python
  [zypper:qemu-system-x86_64]=qemu-x86
)

# need_commands: the commands that the guest's own root needs of this host;
# where some are missing, one line that names them, and how to install them
# where lab knows the host's package manager
need_commands() {
  local c missing=() manager="" names=() hint=""
  for c in "${host_commands[@]}"; do command -v "$c" >/dev/null || missing+=("$c"); done
  ((${#missing[@]})) || return 0
  for c in dnf zypper pacman brew; do command -v "$c" >/dev/null && { manager=$c; break; }; done
  for c in "${missing[@]}"; do
    case $c in
      setpriv | flock) c=util-linux ;;
      sha256sum) c=coreutils ;;
    esac
    names+=("${command_package[$manager:$c]:-$c}")
  done
  mapfile -t names < <(printf '%s\n' "${names[@]}" | sort -u)
  case $manager in
    dnf) hint="; install them with: sudo dnf install ${names[*]}" ;;
    zypper) hint="; install them with: sudo zypper install ${names[*]}" ;;
    pacman) hint="; install them with: sudo pacman -S --needed ${names[*]}" ;;
    brew) hint="; on macOS the suite runs inside a Debian VM (docs/platforms.md)" ;;
  esac
  die "missing: ${missing[*]}$hint"
}

# apt_chose_own_root: where ./lab setup finds that this host's apt cannot
# give the i386 packages (cannot_give says why), the guest's own root, as on
# a machine that runs no x86 code; where LAB_GUEST_ROOT=host or LAB_GUEST=0
# forbids it, one line
apt_chose_own_root() {
  local why="$apt_reason ($cannot_give)"
  # there, the host's own packages are one command away
  [[ -z $without_universe ]] || die "$why: $without_universe"
  [[ $guest_reason != LAB_GUEST_ROOT=host ]] ||
    die "$why, and LAB_GUEST_ROOT=host keeps lab from the guest's own root"
  [[ ${LAB_GUEST:-} != 0 ]] || die "$why, and LAB_GUEST=0 keeps lab from the guest's own root"
  # shellcheck disable=SC2034 # (lab's route reads it)
  decided=own guest_reason="$why; ./lab setup tries again"
  export LAB_GUEST_ROOT=own
  say "lab: $why: lab uses a qemu guest with a root of its own, as on a machine that runs no x86 code (vm/guest)"
}
