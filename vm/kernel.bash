# shellcheck shell=bash disable=SC2034,SC2154 # vm/guest's variables, set and used there too
# vm/kernel.bash -- sourced by vm/guest: the guest's kernel and initramfs,
# made once per user in the cache.

# The drivers the guest loads, in this order: PCI virtio, 9p over virtio,
# virtio serial ports for standard input, output and error, and the network
# card that carries the display.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
         9pnet 9pnet_virtio netfs fscache 9p virtio_console failover net_failover virtio_net)
# and on a root of its own: the disk it is on, read-only with an overlay, or
# read-write while it is made
own_modules=(virtio_blk squashfs overlay crc16 mbcache jbd2 crc32c_generic ext4)
[[ $root_kind == host ]] || modules+=("${own_modules[@]}")

# --- the kernel and the initramfs, made once per user -----------------------
#
# $cache/linux-VERSION/ holds the kernel (vmlinuz, and vmlinux unpacked), the
# modules that the guest loads, and one initramfs per recipe (initrd-HASH).
# Everything is made under a lock, in a folder of its own, and moved into
# place only when whole: what an interrupted run leaves is removed by the
# next one, never used.

kernel="" boot="" initrd="" making="" busybox=/bin/busybox disk=""

prepare() {
  [[ -n ${LAB_GUEST_CACHE:-}${XDG_CACHE_HOME:-}${HOME:-} ]] ||
    die "HOME is not set: set LAB_GUEST_CACHE to a folder for the guest's kernel"
  mkdir -p "$cache" 2>/dev/null || die "cannot make the guest's cache folder $cache (LAB_GUEST_CACHE chooses another folder)"
  [[ -O $cache ]] ||
    die "the guest's cache $cache belongs to another user (LAB_GUEST_CACHE chooses another folder)"
  exec 8>"$cache/.lock"
  flock 8
  trap '[[ -z $making ]] || rm -rf -- "$making"' EXIT
  rm -rf -- "$cache"/.making.*
  if [[ $root_kind == own ]]; then
    own_root
  else
    host_kernel
  fi
  boot=$kernel/vmlinuz
  [[ -f $kernel/vmlinux ]] && boot=$kernel/vmlinux
  initrd=$(initrd_in "$kernel")
  if [[ ! -f $initrd ]]; then
    making=$(mktemp -d "$cache/.making.XXXXXX")
    make_initrd "$making"
    rm -rf "$making"
    making=""
  fi
  trap - EXIT
  exec 8>&-
}

# host_kernel: the kernel for the host's root, fetched with the host's apt
host_kernel() {
  local version m
  version=$(kernel_package)
  kernel=$cache/linux-$version
  # apt that knows no kernel package (no package lists): the one kept, if any
  [[ -n $version ]] || kernel=$(printf '%s\n' "$cache"/linux-* | sort -V | tail -n 1)
  for m in "${modules[@]/%/.ko}"; do
    [[ -f $kernel/vmlinuz && -f $kernel/modules/$m ]] || { fetch_kernel "$version"; break; }
  done
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
  making=$(mktemp -d "$cache/.making.XXXXXX")
  chmod a+rwx "$making" # apt's own download user writes there
  say "fetching the guest's kernel, Debian's linux-image-$1 (once, about 70 MB)"
  local sandbox=() # root's own folders are closed to apt's download user
  (($(id -u) == 0)) && sandbox=(-o APT::Sandbox::User=root)
  (cd "$making" && apt-get "${sandbox[@]}" download "linux-image-$1" >&2) ||
    die "no kernel package for the guest: apt-get download linux-image-$1 failed"
  say "unpacking its kernel and the modules the guest needs"
  unpack_kernel "$making"/linux-image-*.deb "$making/kernel"
  rm -rf "$kernel"
  mv "$making/kernel" "$kernel"
  rm -rf "$making"
  making=""
  local old # kernels of earlier packages go
  for old in "$cache"/linux-*; do [[ $old == "$kernel" ]] || rm -rf -- "$old"; done
}

# unpack_kernel DEB FOLDER: the kernel and the guest's modules of the package
# DEB into FOLDER (made in its parent folder)
unpack_kernel() {
  local work=${2%/*} m at
  dpkg-deb --fsys-tarfile "$1" |
    tar -x -C "$work" --wildcards --no-anchored 'vmlinuz-*' "${modules[@]/%/.ko}"
  mkdir -p "$2/modules"
  find "$work/lib" -name '*.ko' -exec mv -t "$2/modules" {} +
  for m in "${modules[@]}"; do
    [[ -f $2/modules/$m.ko ]] || die "the guest's kernel package has no $m.ko"
  done
  mv "$work"/boot/vmlinuz-* "$2/vmlinuz"
  # The kernel uncompressed, which qemu starts directly (PVH): under TCG the
  # guest boots in half the time when the kernel need not unpack itself.
  # Debian's vmlinuz holds it as an xz stream.
  at=$(LC_ALL=C grep -obUaP -m 1 '\xfd7zXZ\x00' "$2/vmlinuz" | cut -d : -f 1) || true
  if [[ -n $at ]]; then
    xz -dc --single-stream <(tail -c +$((at + 1)) "$2/vmlinuz") >"$2/vmlinux"
  fi
}

# What the initramfs is made of: the init, then the modules it loads. A
# change to either makes another one.
initrd_recipe() {
  cat "$here/init"
  printf '# modules: %s\n' "${modules[*]}"
}

# initrd_in FOLDER: the initramfs of this recipe in FOLDER
initrd_in() { printf '%s/initrd-%s\n' "$1" "$(initrd_recipe | sha256sum | cut -c 1-16)"; }

# make_initrd WORK: the initramfs, made in the folder WORK. Its busybox is an
# x86-64 program that this host may not run: init makes its commands' links.
make_initrd() {
  local root=$1/initramfs m
  mkdir -p "$root/"{bin,modules,proc,sys,dev,newroot}
  cp "$busybox" "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"
  for m in "${modules[@]}"; do
    cp "$kernel/modules/$m.ko" "$root/modules/"
    printf '%s\n' "$m" >>"$root/modules/order"
  done
  cp "$here/init" "$root/init"
  (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$1/initrd"
  mv "$1/initrd" "$initrd"
}

