# shellcheck shell=bash disable=SC2034,SC2154 # vm/guest's variables, set and used there too
# shellcheck disable=SC2054 # apt's options hold commas
# vm/own-root.bash -- sourced by vm/guest: the making of the guest's own root,
# for hosts whose programs are not x86-64 (or LAB_GUEST_ROOT=own).
#
# Such a host's root holds no x86 program for the guest to borrow: the guest
# boots a root of its own, Debian's amd64 packages that ./lab lists (`./lab
# packages`, or LAB_GUEST_PACKAGES), i386 ones among them, with Debian's
# essential ones, as a read-only squashfs. own_root makes sure that it is
# there, and sets kernel (its folder), busybox and disk for vm/guest.
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
# its own, downloads everything here; the host unpacks the essential
# packages, enough to start dpkg, into an ext4 image; a guest booted from
# that image installs every package with dpkg (maintainer scripts included)
# and writes the result as a tar stream to a second disk; the host packs that
# into the squashfs. The guest has no network: all it needs is on its disks.
# It is made under the cache's lock (prepare), and an interrupted or failed
# run leaves nothing half-made.
#
# Takes from vm/guest and vm/kernel.bash: cache, here, top, say, die, making,
# unpack_kernel, make_initrd, initrd_in.

root_recipe=2 # count up when the root is made otherwise
release=${LAB_GUEST_RELEASE:-trixie}

own_root() {
  local list=() hash
  [[ $release =~ ^[a-z]+$ ]] ||
    die "LAB_GUEST_RELEASE is the codename of a Debian release (trixie, bookworm, ...), not '$release'"
  mapfile -t list < <(root_packages)
  ((${#list[@]})) || die "./lab packages failed"
  hash=$(printf '%s\n' "recipe $root_recipe" "${list[@]}" | sha256sum | cut -c 1-16)
  kernel=$cache/root-$release-$hash
  [[ -f $kernel/root.squashfs ]] || make_root "${list[@]}"
  busybox=$kernel/busybox
  disk=$kernel/root.squashfs
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
    -o APT::Architecture=amd64 -o APT::Architectures=amd64,i386 -o APT::Install-Recommends=0
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

make_root() { # PACKAGE...
  local started=$SECONDS free p final=$kernel
  for p in apt-get:apt dpkg-deb:dpkg ar:binutils mke2fs:e2fsprogs tar2sqfs:squashfs-tools-ng; do
    command -v "${p%:*}" >/dev/null || die "${p#*:} is not installed: run ./lab setup"
  done
  free=$(free_mb)
  ((free >= 6000)) ||
    die "the guest's root needs 6 GB free in $cache while it is made, and $free MB are free"
  trap 'making_stopped SIGINT 130' INT
  trap 'making_stopped SIGTERM 143' TERM
  trap 'making_stopped SIGHUP 129' HUP
  making=$(mktemp -d "$cache/.making.XXXXXX")
  making_log=$making/log
  local root=$making/root made=$making/made archives
  archives=$root/var/cache/apt/archives
  mkdir -p "$made"
  root_apt_for "$root"
  say "making the guest's own root from Debian's amd64 packages of $release (once; about 10 minutes and 6 GB while made, 600 MB kept)"

  say "asking Debian's archive for the package lists of $release"
  apt-get "${root_apt[@]}" --error-on=any update >"$making_log" 2>&1 || making_failed "apt-get update"
  local essential='?and(?essential,?architecture(amd64))' base=() total version
  mapfile -t base < <(apt-get "${root_apt[@]}" -s install "$essential" usr-is-merged 2>>"$making_log" |
    sed -n 's/^Inst \([^ ]*\) .*/\1/p')
  ((${#base[@]})) || making_failed "asking for Debian's essential packages"
  # The packages' contents are decompressed here as apt brings them in, so
  # that dpkg in the guest need not do it at the emulated speed.
  decompressing "$archives" "$making/fetched" 2>>"$making_log" &
  child=$!
  # apt's own lines on what it fetches, less its lists of packages
  apt-get "${root_apt[@]}" -y --download-only install "$essential" "$@" 2>>"$making_log" |
    { grep --line-buffered -E '^(Need to get|Fetched) ' >&2 || true; }
  ((PIPESTATUS[0] == 0)) || making_failed "downloading the packages"
  : >"$making/fetched"
  wait "$child" || making_failed "decompressing the packages"
  child=""
  total=$(find "$archives" -maxdepth 1 -name '*.deb' | wc -l)
  version=$(apt-cache "${root_apt[@]}" depends linux-image-amd64 2>>"$making_log" |
    sed -n 's/^ *Depends: linux-image-\([^ ]*-amd64\)$/\1/p' | head -n 1)
  [[ -n $version ]] || making_failed "finding the kernel package"
  (cd "$making" && apt-get "${root_apt[@]}" download "linux-image-$version" >>"$making_log" 2>&1) ||
    making_failed "downloading the kernel"

  say "unpacking the kernel, busybox and the $((${#base[@]})) essential packages here"
  unpack_kernel "$making"/linux-image-*.deb "$made"
  dpkg-deb --fsys-tarfile "$archives"/busybox-static_*_amd64.deb |
    tar -x -O --wildcards '*bin/busybox' >"$made/busybox" || making_failed "unpacking busybox"
  chmod +x "$made/busybox"
  busybox=$made/busybox kernel=$made
  initrd=$(initrd_in "$made")
  make_initrd "$making"
  local d name deb
  for d in bin sbin lib lib32 lib64 libx32; do
    mkdir -p "$root/usr/$d"
    ln -s "usr/$d" "$root/$d"
  done
  # The root runs commands and is not read: no manuals, documents or
  # translations (dpkg keeps the copyright files). Left out here too, where
  # dpkg in the guest puts back the copyright files of what it installs.
  local skipped=(/usr/share/doc /usr/share/man /usr/share/info /usr/share/locale)
  mkdir -p "$root/etc/dpkg/dpkg.cfg.d"
  { printf 'path-exclude=%s/*\n' "${skipped[@]}"
    printf 'path-include=/usr/share/doc/*/copyright\n'; } >"$root/etc/dpkg/dpkg.cfg.d/lab-excludes"
  for name in "${base[@]}"; do
    for deb in "$archives/${name}"_*_amd64.deb "$archives/${name}"_*_all.deb; do
      [[ -e $deb ]] || continue
      dpkg-deb --fsys-tarfile "$deb" |
        tar -C "$root" --keep-directory-symlink "${skipped[@]/#/--exclude=.}" -xpf - 2>>"$making_log" ||
        making_failed "unpacking ${deb##*/}"
      printf '%s\n' "${deb##*/}" >>"$root/lab-base"
    done
  done
  configure_script "$(id -u)" >"$root/lab-configure"
  # no journal: a guest that fails leaves an image that is thrown away
  mke2fs -q -t ext4 -O ^has_journal -d "$root" -E root_owner=0:0 "$making/root.img" 12G \
    >>"$making_log" 2>&1 || making_failed "making the disk image"
  rm -rf "$root"
  truncate -s 8G "$making/tar.img"

  say "installing the $total packages inside a guest (most of the time goes here)"
  local shown=0 unpacked set_up status=0
  setsid "$here/guest" --making "$making" bash /lab-configure </dev/null \
    >"$making/dpkg" 2>>"$making_log" &
  child=$!
  while kill -0 "$child" 2>/dev/null; do # a line at each tenth of dpkg's work
    sleep 1
    unpacked=$(grep -c '^Unpacking ' "$making/dpkg") || true
    set_up=$(grep -c '^Setting up ' "$making/dpkg") || true
    if (((unpacked + set_up) * 10 / (2 * total) > shown)); then
      shown=$(((unpacked + set_up) * 10 / (2 * total)))
      say "unpacked $unpacked and set up $set_up of $total packages"
    fi
  done
  wait "$child" || status=$?
  child=""
  if ((status != 0)); then
    grep -a -E '^(dpkg: error|E: |lab: )' "$making/dpkg" >>"$making_log" || true
    making_failed "installing the packages in the guest"
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
  trap - INT TERM HUP
  local took=$((SECONDS - started))
  say "the guest's root is made: $total packages, $(du -sm "$kernel" | cut -f 1) MB, in $((took / 60)) min $((took % 60)) s"
}

# decompressing ARCHIVES FETCHED: each package that apt puts in ARCHIVES
# made plain (plain_deb), as many at once as there are cores, until the file
# FETCHED exists and every package is done.
decompressing() {
  local deb fetched="" running=0
  local -A seen=()
  while :; do
    [[ -e $2 ]] && fetched=yes
    for deb in "$1"/*.deb; do
      [[ -e $deb && -z ${seen[$deb]:-} ]] || continue
      seen[$deb]=1
      if ((running == $(nproc))); then
        wait -n || exit 1
        ((running--))
      fi
      plain_deb "$deb" &
      ((++running))
    done
    [[ -z $fetched ]] || break
    sleep 0.2
  done
  while ((running-- > 0)); do wait -n || exit 1; done
}

# plain_deb DEB: DEB with its contents (data.tar) no longer compressed, so
# that dpkg in the guest need not decompress them at the emulated speed.
plain_deb() {
  local work member
  work=$(mktemp -d "$1.XXXXXX")
  (
    cd "$work" && ar x "$1" || exit 1
    for member in data.tar.xz data.tar.gz; do
      [[ -f $member ]] || continue
      case $member in *.xz) xz -dc "$member" ;; *.gz) gzip -dc "$member" ;; esac >data.tar &&
        ar rc plain.deb debian-binary control.tar.* data.tar && mv plain.deb "$1" || exit 1
    done
  )
  local status=$?
  rm -rf "$work"
  return "$status"
}

# configure_script UID: what the guest runs to install the packages, as root,
# in the ext4 image. The essential ones first, as the host unpacked them
# (UID's files: the host's user unpacked them), then the rest. Then the
# whole root, less the downloads, as a tar stream onto the second disk.
configure_script() {
  cat <<END
set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 HOME=/root
export DEBIAN_FRONTEND=noninteractive DEBCONF_NONINTERACTIVE_SEEN=true
(($1 == 0)) || find / -xdev -uid $1 -exec chown -h 0:0 {} +
cd /var/cache/apt/archives
mapfile -t base </lab-base
dpkg --force-depends --install "\${base[@]}"
dpkg --force-depends --install \$(ls -- *.deb | grep -v -x -F -f /lab-base)
dpkg --configure -a
[[ -z \$(dpkg --audit) ]] || { dpkg --audit; echo "lab: dpkg --audit finds packages not set up"; exit 1; }
rm -rf /lab-base /lab-configure /var/cache/apt/archives/*.deb /var/lib/apt/lists/*
tar -C / --one-file-system --numeric-owner --exclude=./lost+found -b 2048 -cf /dev/vdb .
END
}
