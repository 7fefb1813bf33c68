# shellcheck shell=bash
# vm/kernel.bash -- sourced by vm/guest: what a guest boots, made once per
# user in the cache and kept there.
#
# prepare makes sure that the kernel, its modules and the initramfs of this
# run's root are there, and sets what vm/guest hands to qemu: boot (the
# kernel), initrd, and disk (the root's image, on the guest's own root). For
# the host's root, $cache/linux-VERSION/ holds the kernel of the Debian
# package that linux-image-amd64 depends on, fetched with the host's apt; the
# guest's own root (vm/own-root.bash) keeps its own kernel beside it.
#
# unpack_kernel takes any Debian kernel package as it describes itself: its
# modules wherever it keeps them, compressed or not; the drivers the guest
# needs and all they depend on, in the order its module dependencies give,
# the ones it builds in left out. Everything is made under a lock (one for
# each kind of root, so that a root being made holds up no run on the
# host's), in a folder of its own, and moved into place only when whole:
# what an interrupted run leaves is removed by the next one, never used.
# Whatever fails ends in one line naming the cause.
#
# Takes from vm/guest: cache (the folder), here (vm/), root_kind (host or
# own), say, die; from vm/own-root.bash: own_root, which sets kernel to the
# folder of the own root, its kernel, modules, busybox and root.squashfs.
# Gives lock_cache, and prepare, which sets kernel, boot, initrd and disk (for vm/guest's
# qemu), and, for vm/own-root.bash, unpack_kernel, make_initrd, initrd_in.
: "${cache:?}" "${here:?}" "${root_kind:?}"

# The drivers the guest needs: PCI virtio, 9p over virtio, virtio serial ports
# for standard input, output and error, the network card that carries the
# display; and on a root of its own, the disk it is on, read-only with an
# overlay, or read-write while it is made. The kernel package tells what
# they depend on.
# The network card's driver and what it alone needs load only where the guest
# has the display's connection (a fifth of the boot's module loading).
drivers=(virtio_pci 9pnet_virtio 9p virtio_console)
[[ $root_kind == host ]] || drivers+=(virtio_blk squashfs overlay ext4)
late_drivers=(virtio_net)

kernel="" initrd="" boot="" disk="" making=""

prepare() {
  lock_cache
  trap '[[ -z $making ]] || rm -rf -- "$making"' EXIT
  rm -rf -- "$cache"/.making-"$root_kind".*
  local busybox=/bin/busybox
  if [[ $root_kind == own ]]; then
    own_root
    busybox=$kernel/busybox
  else
    host_kernel
  fi
  # what vm/guest hands to qemu: the kernel, uncompressed where it could be,
  # and the own root's image
  # shellcheck disable=SC2034 # (read there)
  {
    boot=$kernel/vmlinuz disk=""
    [[ ! -f $kernel/vmlinux ]] || boot=$kernel/vmlinux
    [[ $root_kind != own ]] || disk=$kernel/root.squashfs
  }
  initrd=$(initrd_in "$kernel")
  if [[ ! -f $initrd ]]; then
    making=$(mktemp -d "$cache/.making-$root_kind.XXXXXX")
    make_initrd "$making" "$kernel" "$busybox"
    rm -rf "$making"
    making=""
  fi
  trap - EXIT
  exec 8>&-
}

# lock_cache: the cache is there, and this command alone makes what it keeps
# for this kind of root, until it closes descriptor 8
lock_cache() {
  [[ -n ${LAB_GUEST_CACHE:-}${XDG_CACHE_HOME:-}${HOME:-} ]] ||
    die "HOME is not set: set LAB_GUEST_CACHE to a folder for the guest's kernel"
  mkdir -p "$cache" 2>/dev/null || die "cannot make the guest's cache folder $cache (LAB_GUEST_CACHE chooses another folder)"
  [[ -O $cache ]] ||
    die "the guest's cache $cache belongs to another user (LAB_GUEST_CACHE chooses another folder)"
  exec 8>"$cache/.lock-$root_kind"
  flock 8
}

# host_kernel: the kernel for the host's root, fetched with the host's apt,
# and fetched again where it was unpacked for other drivers
host_kernel() {
  local version
  version=$(kernel_package)
  kernel=$cache/linux-$version
  # apt that knows no kernel package (no package lists): the one kept, if any
  [[ -n $version ]] || kernel=$(printf '%s\n' "$cache"/linux-* | sort -V | tail -n 1)
  [[ -f $kernel/vmlinuz && $(cat "$kernel/modules/drivers" 2>/dev/null) == "${drivers[*]} | ${late_drivers[*]}" ]] ||
    fetch_kernel "$version"
}

# kernel_package: the version of the kernel package that linux-image-amd64
# depends on. Asking apt takes a second where it keeps no binary cache, so
# the answer is kept, and asked again once apt's package lists have changed.
kernel_package() {
  local answer=$cache/.linux-image-amd64 lists=/var/lib/apt/lists
  if [[ ! -s $answer || $lists -nt $answer ]]; then
    apt-cache depends linux-image-amd64 2>/dev/null |
      sed -n 's/^ *Depends: linux-image-\([^ ]*-amd64\)$/\1/p' | head -n 1 >"$answer"
  fi
  cat "$answer"
}

fetch_kernel() { # VERSION
  [[ -n $1 ]] ||
    die "no kernel package for the guest: apt knows no linux-image-amd64 (run ./lab setup)"
  making=$(mktemp -d "$cache/.making-$root_kind.XXXXXX")
  chmod a+rwx "$making" # apt's own download user writes there
  local size parts
  mapfile -t parts < <(kernel_parts "$1")
  size=$(apt-cache show --no-all-versions "${parts[@]}" 2>/dev/null |
    awk '/^Size: / { s += $2 } END { if (s) print s }')
  say "fetching the guest's kernel, Debian's ${parts[*]} (once${size:+, $((size >> 20)) MB})"
  local sandbox=() # root's own folders are closed to apt's download user
  (($(id -u) == 0)) && sandbox=(-o APT::Sandbox::User=root)
  (cd "$making" && apt-get -q "${sandbox[@]}" download "${parts[@]}" >"$making/log" 2>&1) ||
    die "no kernel package for the guest: apt-get download ${parts[*]} failed$(cause "$making/log")"
  say "unpacking its kernel and the modules the guest needs"
  unpack_kernel "$making"/linux-*.deb "$making/kernel"
  rm -rf "$kernel"
  mv "$making/kernel" "$kernel"
  rm -rf "$making"
  making=""
  local old # kernels of earlier packages go
  for old in "$cache"/linux-*; do [[ $old == "$kernel" ]] || rm -rf -- "$old"; done
}

# kernel_parts VERSION: the packages that make the kernel VERSION, as its
# linux-image package says: itself, and where it is split (Debian 14 puts the
# image and the modules in packages of their own), each package of that same
# kernel that it depends on
kernel_parts() {
  printf 'linux-image-%s\n' "$1"
  apt-cache show --no-all-versions "linux-image-$1" 2>/dev/null | sed -n 's/^Depends: //p' |
    tr ',' '\n' | awk -v v="-$1" '!/\|/ && $1 ~ /^linux-/ &&
      substr($1, length($1) - length(v) + 1) == v { print $1 }'
}

# cause LOG: the first line of LOG that tells what went wrong, as " (LINE)"
cause() {
  local why
  why=$(grep -a -m 1 -i -E '^(E: |dpkg-deb|tar: |depmod: (ERROR|FATAL)|modprobe: |xz: |zstd: |gzip: )|error' "$1" ||
    tail -n 1 "$1") 2>/dev/null || true
  [[ -z $why ]] || printf ' (%s)' "$why"
}

# unpack_kernel DEB... FOLDER: the kernel of the packages DEB (one, or the
# parts of a split one) into FOLDER (made beside it): vmlinuz, vmlinux where it can be unpacked, and in modules/ each
# module that the guest loads, decompressed, with their names in load order
# (order), those of them that only late_drivers need (late), and the drivers
# they were chosen for (drivers).
unpack_kernel() {
  local debs=("${@:1:$#-1}") deb
  set -- "${debs[0]}" "${*: -1}"
  local work=${2%/*}/package log=${2%/*}/unpack.log images version tree base line name
  mkdir -p "$work" "$2/modules" "$work.modprobe.d"
  for deb in "${debs[@]}"; do
    dpkg-deb --extract "$deb" "$work" 2>"$log" ||
      die "the guest's kernel was not made: dpkg-deb could not unpack ${deb##*/}$(cause "$log")"
  done
  # boot/vmlinuz-VERSION, or (Debian 14) usr/lib/modules/VERSION/vmlinuz
  images=("$work"/boot/vmlinuz-*)
  version=${images[0]##*/vmlinuz-}
  if [[ ! -f ${images[0]} ]]; then
    images=("$(find "$work" -path '*/lib/modules/*/vmlinuz' -print -quit)")
    version=${images[0]%/vmlinuz} version=${version##*/}
  fi
  [[ -f ${images[0]} ]] ||
    die "the guest's kernel was not made: ${debs[*]##*/} hold no boot/vmlinuz-* or lib/modules/*/vmlinuz"
  # its modules' tree: lib/modules/VERSION or usr/lib/modules/VERSION
  tree=$(find "$work" -type d -path "*/lib/modules/$version" -print -quit)
  [[ -n $tree ]] || die "the guest's kernel was not made: ${1##*/} holds no modules for $version"
  base=${tree%/lib/modules/"$version"}
  command -v depmod >/dev/null || die "kmod is not installed: run ./lab setup"
  # (a module whose symbols it cannot read is an error it does not fail on)
  if ! depmod -b "$base" "$version" 2>>"$log" || grep -q '^depmod: ERROR' "$log"; then
    die "the guest's kernel was not made: depmod failed on ${1##*/}$(cause "$log")"
  fi
  # in load order, what each needs first; none of this host's modprobe settings
  local show=(modprobe -C "$work.modprobe.d" -d "$base" -S "$version" -a --show-depends)
  "${show[@]}" "${drivers[@]}" "${late_drivers[@]}" >"$work.load" 2>>"$log" || true
  name=$(sed -n 's/.*Module \([^ ]*\) not found.*/\1/p' "$log" | head -n 1)
  [[ -z $name ]] ||
    die "the guest's kernel $version has no driver $name: it is neither a module nor built in"
  while IFS= read -r line; do
    [[ $line == "insmod "* ]] || continue # "builtin NAME": nothing to load
    line=${line#insmod } line=${line% }
    name=${line##*/} name=${name%%.ko*}
    [[ -e $2/modules/$name.ko ]] && continue # needed twice: loaded once
    case $line in
      *.ko) cat -- "$line" ;;
      *.ko.xz) xz -dc -- "$line" ;;
      *.ko.zst) zstd -dcq -- "$line" ;;
      *.ko.gz) gzip -dc -- "$line" ;;
      *) die "the guest's kernel was not made: ${line##*/} is compressed in a way lab does not know" ;;
    esac >"$2/modules/$name.ko" 2>>"$log" ||
      die "the guest's kernel was not made: ${line##*/} could not be decompressed$(cause "$log")"
    printf '%s\n' "$name" >>"$2/modules/order"
  done <"$work.load"
  [[ -s $2/modules/order ]] || die "the guest's kernel was not made: modprobe found no module to load$(cause "$log")"
  "${show[@]}" "${drivers[@]}" 2>/dev/null | sed -n 's|^insmod .*/\([^/.]*\)\.ko.*|\1|p' |
    grep -v -x -F -f - "$2/modules/order" >"$2/modules/late" || true
  printf '%s\n' "${drivers[*]} | ${late_drivers[*]}" >"$2/modules/drivers"
  mv "${images[0]}" "$2/vmlinuz"
  uncompressed_kernel "$2/vmlinuz" "$2/vmlinux" || rm -f "$2/vmlinux"
  rm -rf "$work" "$work.modprobe.d" "$work.load"
}

# uncompressed_kernel VMLINUZ VMLINUX: the kernel that VMLINUZ unpacks, which
# qemu starts directly (PVH): under TCG the guest boots in half the time when
# the kernel need not unpack itself. The image's setup header (boot protocol
# 2.08 and later) tells where its payload is; the payload's first bytes tell
# how it is compressed, and its last four the size unpacked, which tells a
# whole kernel from a cut one. False where none of this is found.
uncompressed_kernel() {
  local sects start length size
  [[ $(tail -c +515 "$1" | head -c 4) == HdrS ]] || return 1
  (($(od -An -tu2 -j 518 -N 2 "$1") >= 0x208)) || return 1
  sects=$(($(od -An -tu1 -j 497 -N 1 "$1")))
  ((sects > 0)) || sects=4
  start=$(((sects + 1) * 512 + $(od -An -tu4 -j 584 -N 4 "$1")))
  length=$(($(od -An -tu4 -j 588 -N 4 "$1")))
  size=$(($(od -An -tu4 -j $((start + length - 4)) -N 4 "$1")))
  local unpack
  case $(od -An -tx1 -j "$start" -N 6 "$1" | tr -d ' ') in
    1f8b*) unpack=(gzip -dc) ;;
    fd377a585a00) unpack=(xz -dc) ;;
    28b52ffd*) unpack=(zstd -dcq) ;;
    425a68*) unpack=(bzip2 -dc) ;;
    5d0000*) unpack=(xz --format=lzma -dc) ;;
    02214c18*) unpack=(lz4 -dcq) ;;
    894c5a4f*) unpack=(lzop -dc) ;;
    *) return 1 ;;
  esac
  command -v "${unpack[0]}" >/dev/null || return 1
  # (tail ends early, once head has what it takes: the size tells the rest)
  tail -c +$((start + 1)) "$1" | head -c $((length - 4)) | "${unpack[@]}" >"$2" 2>/dev/null || true
  [[ $(stat -c %s "$2") == "$size" && $(head -c 4 "$2") == $'\x7fELF' ]]
}

# What the initramfs of the kernel in FOLDER is made of: the init, then the
# modules it loads. A change to either makes another one.
initrd_recipe() { # FOLDER
  cat "$here/init"
  printf '# modules: %s\n' "$(tr '\n' ' ' <"$1/modules/order")"
  printf '# late: %s\n' "$(tr '\n' ' ' <"$1/modules/late")"
}

# initrd_in FOLDER: the initramfs of this recipe in FOLDER
initrd_in() { printf '%s/initrd-%s\n' "$1" "$(initrd_recipe "$1" | sha256sum | cut -c 1-16)"; }

# make_initrd WORK FOLDER BUSYBOX: the initramfs of the kernel in FOLDER,
# made in the folder WORK, with the busybox BUSYBOX: an x86-64 program that
# this host may not run (init makes its commands' links).
make_initrd() { # WORK FOLDER BUSYBOX
  local root=$1/initramfs m
  # Packed with the host's busybox (or cpio, where a host without Debian's
  # package tools took the guest's own root from a file). On the host's root
  # the guest also runs that busybox as it is, which must be the static one;
  # the guest's own root brings its own.
  local cpio=(busybox cpio)
  command -v busybox >/dev/null || cpio=(cpio)
  command -v "${cpio[0]}" >/dev/null || die "busybox (or cpio) is not installed: run ./lab setup"
  if [[ $root_kind == host ]]; then
    dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q 'ok installed' ||
      die "busybox-static is not installed: run ./lab setup"
  fi
  mkdir -p "$root/"{bin,modules,proc,sys,dev,newroot}
  cp "$3" "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"
  while IFS= read -r m; do cp "$2/modules/$m.ko" "$root/modules/"; done <"$2/modules/order"
  cp "$2/modules/order" "$2/modules/late" "$root/modules/"
  cp "$here/init" "$root/init"
  (cd "$root" && find . | "${cpio[@]}" -o -H newc 2>/dev/null) >"$1/initrd" ||
    die "the guest's initramfs was not made: ${cpio[*]} failed"
  mv "$1/initrd" "$(initrd_in "$2")"
}
