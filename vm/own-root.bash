# shellcheck shell=bash
# vm/own-root.bash -- sourced by vm/guest: the making of the guest's own root,
# for hosts whose programs are not x86-64 (or LAB_GUEST_ROOT=own).
#
# Such a host's root holds no x86 program for the guest to borrow: the guest
# boots a root of its own, Debian's amd64 packages that ./lab lists (`./lab
# packages`, or LAB_GUEST_PACKAGES), i386 ones among them, with Debian's
# essential ones, as a read-only squashfs. own_root makes sure that it is
# there, and sets kernel (its folder) for vm/guest.
# $cache/root-RELEASE-HASH/ holds it with the kernel of the same release, its
# modules, busybox and the initramfs; HASH names the list, so a new list makes
# a new root of that release, and each release keeps its own.
#
# The release is Debian 13 (trixie) whatever the host runs; LAB_GUEST_RELEASE
# names another by its codename. The packages come from the Debian archive
# that the host's apt sources name, that release in place of the host's (its
# updates and security suites too), or from LAB_GUEST_MIRROR; their
# signatures are checked against Debian's keyring package.
#
# No x86 code runs on the host while it is made. apt, on a configuration of
# its own, downloads everything here, and the host unpacks each package as
# it comes in (dpkg-deb and tar, as root or under fakeroot), where dpkg
# would, and enters it in dpkg's database as dpkg --unpack does:
# "unpacked". What runs code of the packages is left to dpkg in a guest
# booted from the ext4 image of that root: it unpacks the packages with a
# preinst (and the few that only dpkg unpacks right), then dpkg --configure
# -a runs the maintainer scripts and triggers. The guest writes the result
# as a tar stream to a second disk; the host packs that into the squashfs.
# The guest has no network: all it needs is on its disks. It is made under
# the cache's lock (prepare), and an interrupted or failed run leaves
# nothing half-made.
#
# Takes from vm/guest and vm/kernel.bash: cache, here, top, say, die, making,
# unpack_kernel, make_initrd, initrd_in; from vm/debs.bash, how each package
# is unpacked (unpacking, filtered, entered, in_guest, plain_deb) and set up
# (configure_script). Gives own_root, which sets kernel
# to the folder that holds the root (root.squashfs), its kernel, modules and
# initramfs, and busybox; release, the root's Debian release; and root_name
# and own_root_name, the names of roots' folders.
: "${cache:?}" "${here:?}" "${top:?}"

root_recipe=3 # count up when the root is made otherwise
release=${LAB_GUEST_RELEASE:-trixie}

own_root() {
  local list=()
  [[ $release =~ ^[a-z]+$ ]] ||
    die "LAB_GUEST_RELEASE is the codename of a Debian release (trixie, bookworm, ...), not '$release'"
  mapfile -t list < <(root_packages)
  ((${#list[@]})) || die "./lab packages failed"
  kernel=$cache/$(root_name "$release" "${list[@]}")
  [[ -f $kernel/root.squashfs ]] || make_root "${list[@]}"
}

# root_name RELEASE PACKAGE...: the name of the folder of a root of RELEASE
# made of these packages, the same wherever it is made
root_name() {
  printf 'root-%s-%s\n' "$1" "$(printf '%s\n' "recipe $root_recipe" "${@:2}" | sha256sum | cut -c 1-16)"
}

# own_root_name RELEASE: the name of this checkout's root of RELEASE
own_root_name() {
  local list=()
  mapfile -t list < <(root_packages)
  root_name "$1" "${list[@]}"
}

# root_packages: the root's packages, a line each: lab's list, busybox for
# the initramfs, and usr-is-merged (which keeps apt from choosing usrmerge)
root_packages() {
  local list=() lab
  if [[ -n ${LAB_GUEST_PACKAGES+set} ]]; then
    read -r -a list <<<"$LAB_GUEST_PACKAGES"
  else
    lab=$("$top/lab" packages) || return 0
    mapfile -t list <<<"$lab"
  fi
  printf '%s\n' "${list[@]}" busybox-static usr-is-merged | sort -u
}

# host_debian_sources: the host's apt sources that are Debian's archive, a
# line each: URI SUITE COMPONENT. An archive is Debian's where its Release
# file says so (Origin: Debian), and where apt has not fetched that file, by
# its path (.../debian/ or .../debian-security/).
host_debian_sources() {
  # shellcheck disable=SC2016 # apt's own placeholders
  { apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(ORIGIN)' \
      'Identifier: Packages' 2>/dev/null
    apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(COMPONENT) -' \
      'Identifier: Packages' 2>/dev/null
  } | awk '!seen[$1 " " $2 " " $3]++ && ($4 == "Debian" || ($4 == "-" && $1 ~ /\/debian(-security)?\/$/)) {
             print $1, $2, $3 }'
}

# root_sources KEYRING: the root's apt sources, in one-line form: the
# release, its updates and its security suite from the archives that the
# host's sources name (LAB_GUEST_MIRROR in place of the main one)
root_sources() {
  local uri suite component kind found=""
  local -A seen=()
  while read -r uri suite component; do
    case $suite in
      */updates | *-security) kind=-security ;;
      *-updates) kind=-updates ;;
      *-* | */*) continue ;; # backports, proposed updates: not for the root
      *) kind="" ;;
    esac
    [[ $kind == -security || -z ${LAB_GUEST_MIRROR:-} ]] || continue
    [[ $kind == -security ]] || found=yes
    [[ -z ${seen[$uri$kind $component]:-} ]] || continue
    seen[$uri$kind $component]=1
    printf 'deb [signed-by=%s] %s %s %s\n' "$1" "$uri" "$release$kind" "$component"
  done < <(host_debian_sources)
  if [[ -n ${LAB_GUEST_MIRROR:-} ]]; then
    printf 'deb [signed-by=%s] %s %s main\n' "$1" "$LAB_GUEST_MIRROR" "$release" \
      "$1" "$LAB_GUEST_MIRROR" "$release-updates"
  elif [[ -z $found ]]; then
    die "the guest's root was not made: this host's apt sources name no Debian archive (LAB_GUEST_MIRROR names one, e.g. http://deb.debian.org/debian)"
  fi
}

root_apt=()

# apt on a configuration of its own: the root's sources (root_sources) and
# the host's proxy; the root's package lists, database and downloads; amd64,
# with i386 beside it.
root_apt_for() { # ROOT
  local keyring sources=${1%/*}/apt
  keyring=$(dpkg-query -L debian-archive-keyring 2>/dev/null |
    grep -E '/keyrings/debian-archive-keyring\.(gpg|pgp)$' | sort | head -n 1) || true
  [[ -n $keyring ]] || die "debian-archive-keyring is not installed: run ./lab setup"
  mkdir -p "$sources/parts" "$1"/var/lib/dpkg/{info,updates} "$1"/var/lib/apt/lists/partial \
    "$1"/var/cache/apt/archives/partial
  root_sources "$keyring" >"$sources/sources.list"
  : >"$1/var/lib/dpkg/status"
  : >"$1/var/lib/dpkg/available"
  printf '%s\n' amd64 i386 >"$1/var/lib/dpkg/arch"
  root_apt=(-o "Dir=$1/" -o Dir::Etc=/etc/apt/ -o "Dir::State::status=$1/var/lib/dpkg/status"
    -o "Dir::Etc::SourceList=$sources/sources.list" -o "Dir::Etc::SourceParts=$sources/parts"
    -o "Dir::Etc::Preferences=$sources/preferences" -o "Dir::Etc::PreferencesParts=$sources/parts"
    -o APT::Architecture=amd64 -o "APT::Architectures=amd64,i386" -o APT::Install-Recommends=0
    -o Debug::NoLocking=1 -o quiet=1)
  (($(id -u) == 0)) && root_apt+=(-o APT::Sandbox::User=root)
  return 0
}

making_log="" child=""

free_mb() { df -Pm "$cache" | awk 'NR == 2 { print $4 }'; }

# making_failed WHAT: end, with the cause: a full disk, or what the log says
making_failed() {
  local free why=""
  free=$(free_mb)
  if ((free < 100)); then
    die "the guest's root was not made: $1 failed, the disk is full ($free MB free in $cache)"
  fi
  if [[ -n $making_log ]]; then
    why=$(grep -a -m 1 -E '^(E: |W: Failed|dpkg: error|tar: |mke2fs: |lab: )' "$making_log") || true
  fi
  [[ -n $why ]] || why=$(tail -n 1 "$making_log" 2>/dev/null)
  die "the guest's root was not made: $1 failed${why:+ ($why)}"
}

# shellcheck disable=SC2317 # called from the traps
making_stopped() { # SIGNAL CODE
  [[ -n $child ]] && kill -TERM "$child" 2>/dev/null
  wait
  say "stopped by $1: the guest's root was not made (the next ./lab setup starts over)"
  exit "$2"
}

# The root runs commands and is not read: no manuals, documents or
# translations, but each package's copyright file. dpkg's path filters say
# it, for dpkg in the guest (dpkg.cfg) and for the host (filtered).
root_filters=(path-exclude=/usr/share/doc/\* path-exclude=/usr/share/man/\*
  path-exclude=/usr/share/info/\* path-exclude=/usr/share/locale/\*
  path-include=/usr/share/doc/\*/copyright)

make_root() { # PACKAGE...
  local started=$SECONDS free p final=$kernel
  if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
    die "the guest's own root is made with Debian's package tools (apt, dpkg), and this host has none: take one made on a machine that has them (./lab root export FILE there, ./lab setup --root FILE here)"
  fi
  for p in ar:binutils mke2fs:e2fsprogs tar2sqfs:squashfs-tools-ng; do
    command -v "${p%:*}" >/dev/null || die "${p#*:} is not installed: run ./lab setup"
  done
  free=$(free_mb)
  ((free >= 6000)) ||
    die "the guest's root needs 6 GB free in $cache while it is made, and $free MB are free"
  trap 'making_stopped SIGINT 130' INT
  trap 'making_stopped SIGTERM 143' TERM
  trap 'making_stopped SIGHUP 129' HUP
  trap 'making_stopped SIGQUIT 131' QUIT
  making=$(mktemp -d "$cache/.making-own.XXXXXX")
  making_log=$making/log
  local root=$making/root made=$making/made unpacked=$making/unpacked archives
  archives=$root/var/cache/apt/archives
  mkdir -p "$made" "$unpacked"
  # The files keep their owners where the host's user is not root: fakeroot
  # notes them as tar sets them, and mke2fs reads them back.
  local as_root=() owned=()
  if (($(id -u) != 0)); then
    command -v fakeroot >/dev/null || die "fakeroot is not installed: run ./lab setup"
    as_root=(fakeroot -s "$making/owners" --) owned=(fakeroot -i "$making/owners" --)
  fi
  root_apt_for "$root"
  say "making the guest's own root from Debian's amd64 packages of $release (once; 5 to 10 minutes and 6 GB while made, 600 MB kept)"

  say "asking Debian's archive for the package lists of $release"
  apt-get "${root_apt[@]}" --error-on=any update >"$making_log" 2>&1 || making_failed "apt-get update"
  local essential='?and(?essential,?architecture(amd64))' base=() total version
  mapfile -t base < <(apt-get "${root_apt[@]}" -s install "$essential" usr-is-merged 2>>"$making_log" |
    sed -n 's/^Inst \([^ ]*\) .*/\1/p')
  ((${#base[@]})) || making_failed "asking for Debian's essential packages"
  local d
  for d in bin sbin lib lib32 lib64 libx32; do
    mkdir -p "$root/usr/$d"
    ln -s "usr/$d" "$root/$d"
  done
  mkdir -p "$root/etc/dpkg/dpkg.cfg.d"
  printf '%s\n' "${root_filters[@]}" >"$root/etc/dpkg/dpkg.cfg.d/lab-excludes"
  # Each package is unpacked here as apt brings it in, while it brings the
  # next; the functions travel in the command (fakeroot's shell would drop
  # them from the environment).
  # shellcheck disable=SC2016 # for that shell to expand
  "${as_root[@]}" bash -c "$(declare -f unpacking unpack_deb entered filtered)"'
    set -o pipefail; unpacking "$@" && filtered "$3" "${@:5}"' - \
    "$archives" "$making/fetched" "$root" "$unpacked" "${root_filters[@]}" 2>>"$making_log" &
  child=$!
  # apt's own lines on what it fetches, less its lists of packages
  apt-get "${root_apt[@]}" -y --download-only install "$essential" "$@" 2>>"$making_log" |
    { grep --line-buffered -E '^(Need to get|Fetched) ' >&2 || true; }
  ((PIPESTATUS[0] == 0)) || making_failed "downloading the packages"
  : >"$making/fetched"
  wait "$child" || making_failed "unpacking the packages"
  child=""
  total=$(find "$archives" -maxdepth 1 -name '*.deb' | wc -l)
  version=$(apt-cache "${root_apt[@]}" depends linux-image-amd64 2>>"$making_log" |
    sed -n 's/^ *Depends: linux-image-\([^ ]*-amd64\)$/\1/p' | head -n 1)
  [[ -n $version ]] || making_failed "finding the kernel package"
  (cd "$making" && apt-get "${root_apt[@]}" download "linux-image-$version" >>"$making_log" 2>&1) ||
    making_failed "downloading the kernel"

  unpack_kernel "$making"/linux-image-*.deb "$made"
  dpkg-deb --fsys-tarfile "$archives"/busybox-static_*_amd64.deb |
    tar -x -O --wildcards '*bin/busybox' >"$made/busybox" || making_failed "unpacking busybox"
  chmod +x "$made/busybox"
  make_initrd "$making" "$made" "$made/busybox"
  # dpkg in the guest unpacks the packages that need it (in_guest), the
  # essential ones first as apt orders them, the others after; the others
  # go into dpkg's database as the host prepared them (entered).
  local guest=() first=() essentials=() entries=() infos=() deb name arch multi
  mapfile -t guest < <(in_guest "$unpacked")
  local -A by_guest=()
  for deb in "${guest[@]}"; do by_guest[$deb]=1; done
  for name in "${base[@]}"; do
    for deb in "$archives/${name}"_*_amd64.deb "$archives/${name}"_*_all.deb; do
      [[ -e $deb ]] || continue
      [[ -z ${by_guest[${deb##*/}]:-} ]] || first+=("${deb##*/}")
      read -r name arch multi <"$unpacked/${deb##*/}/about" # as dpkg names it
      if [[ $multi == same ]]; then essentials+=("$name:$arch"); else essentials+=("$name"); fi
    done
  done
  : >"$root/lab-first"
  ((${#first[@]} == 0)) || printf '%s\n' "${first[@]}" >"$root/lab-first"
  printf '%s\n' "${essentials[@]}" >"$root/lab-essential"
  for deb in "$unpacked"/*; do
    [[ -n ${by_guest[${deb##*/}]:-} ]] && continue
    entries+=("$deb/entry") infos+=("$deb"/info/*)
    rm -f "$archives/${deb##*/}"
  done
  printf '1\n' >"$root/var/lib/dpkg/info/format"
  { cat /dev/null "${entries[@]}" >"$root/var/lib/dpkg/status" &&
    { ((${#infos[@]} == 0)) || mv -t "$root/var/lib/dpkg/info" "${infos[@]}"; }; } ||
    making_failed "filling dpkg's database"
  # what dpkg in the guest unpacks, no longer compressed: the host is faster at it
  local pids=()
  for deb in "${guest[@]}"; do
    plain_deb "$archives/$deb" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || making_failed "decompressing the packages"; done
  configure_script >"$root/lab-configure"
  rm -rf "$archives/partial" # apt's, here: the apt package has one of its own
  # no journal: a guest that fails leaves an image that is thrown away
  "${owned[@]}" mke2fs -q -t ext4 -O ^has_journal -d "$root" -E root_owner=0:0 "$making/root.img" 12G \
    >>"$making_log" 2>&1 || making_failed "making the disk image"
  # (only now: under fakeroot, a file made in the room of one removed
  # before would take on its owner and kind)
  rm -rf "$root" "$unpacked"
  truncate -s 8G "$making/tar.img"

  say "setting up the $total packages inside a guest, ${#guest[@]} of them unpacked there (most of the time goes here)"
  local shown=0 got set_up status=0 steps=$((${#guest[@]} + total))
  setsid "$here/guest" --making "$making" bash /lab-configure </dev/null \
    >"$making/dpkg" 2>>"$making_log" &
  child=$!
  while kill -0 "$child" 2>/dev/null; do # a line at each tenth of dpkg's work
    sleep 1
    got=$(grep -c '^Unpacking ' "$making/dpkg") || true
    set_up=$(grep -c '^Setting up ' "$making/dpkg") || true
    if (((got + set_up) * 10 / steps > shown)); then
      shown=$(((got + set_up) * 10 / steps))
      say "unpacked $got of ${#guest[@]} and set up $set_up of $total packages"
    fi
  done
  wait "$child" || status=$?
  child=""
  if ((status != 0)); then
    grep -a -E '^(dpkg: error|E: |lab: )' "$making/dpkg" >>"$making_log" || true
    making_failed "setting up the packages in the guest"
  fi

  say "packing the root into a squashfs"
  rm -f "$making/root.img"
  # zstd's level 6: ten times as fast as its default, for a tenth more room
  tar2sqfs -q -c zstd -X level=6 -j "$(nproc)" "$made/root.squashfs" <"$making/tar.img" 2>>"$making_log" ||
    making_failed "packing the root"
  rm -f "$making/tar.img"
  kernel=$final
  mv "$made" "$kernel"
  rm -rf "$making"
  making=""
  local old # this release's roots of other lists go, and those named as before releases
  for old in "$cache"/root-*; do
    case ${old#"$cache"/root-} in
      "$release"-* | ????????????????) [[ $old == "$kernel" ]] || rm -rf -- "$old" ;;
    esac
  done
  trap - INT TERM HUP QUIT
  local took=$((SECONDS - started))
  say "the guest's root is made: $total packages, $(du -sm "$kernel" | cut -f 1) MB, in $((took / 60)) min $((took % 60)) s"
}
