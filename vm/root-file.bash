# shellcheck shell=bash
# vm/root-file.bash -- sourced by vm/guest: the guest's own root as one file,
# for a class: made once (./lab root export FILE), taken by every machine
# (./lab setup --root FILE) with no network from then on.
#
# The file is a tar: first "lab-root", which says what it holds (the line
# "lab guest root 1", the release, the root's folder name) and the SHA-256
# of each of its files; then that folder as the cache keeps it (the squashfs,
# the kernel and its modules, busybox, the initramfs). A file is taken only
# where it is whole (every sum holds, nothing more, nothing but plain files
# and folders) and its root is the one that this checkout boots (the same
# name: the same packages and recipe). Either way it is written beside its
# place first and moved there whole: an interrupted or refused run leaves
# nothing.
#
# Takes from vm/guest, vm/kernel.bash and vm/own-root.bash: cache, release,
# say, die, own_root_name and kernel (the root's folder, which
# prepare has made). Gives export_root and import_root.
: "${cache:?}" "${release:?}" "${kernel?}"

root_file_mark="lab guest root 1"

# export_root FILE: this checkout's own root (prepare has made it) as FILE
export_root() {
  local file=$1 work name=${kernel##*/}
  [[ -n $file ]] || die "usage: ./lab root export FILE"
  work=$(mktemp -d "$cache/.giving-root.XXXXXX")
  # shellcheck disable=SC2064 # the names, as they are now
  trap "rm -rf -- '$work' '$file.part'" EXIT
  say "writing the guest's own root ($release, $(du -sh "$kernel" | cut -f 1)) to $file"
  {
    printf '%s\n' "$root_file_mark" "release=$release" "name=$name" "sums:"
    (cd "$kernel" && find . -type f -printf '%P\0' | sort -z | xargs -0 sha256sum)
  } >"$work/lab-root" || die "cannot read $kernel"
  tar -c -f "$file.part" --owner=0 --group=0 --numeric-owner -C "$work" lab-root -C "$cache" "$name" ||
    die "$file was not written"
  mv -f -- "$file.part" "$file"
  rm -rf -- "$work"
  trap - EXIT
  say "$file: $(du -h "$file" | cut -f 1), SHA-256 $(sha256sum <"$file" | cut -c 1-64)"
}

# import_root FILE: FILE's root into the cache (locked), where it is whole and
# the one that this checkout boots; otherwise one line, and nothing kept
import_root() {
  local file=$1 work name want why file_release
  [[ -f $file && -r $file ]] || die "$file: there is no such file to read"
  work=$(mktemp -d "$cache/.taking-root.XXXXXX")
  # shellcheck disable=SC2064 # the name, as it is now
  trap "rm -rf -- '$work'" EXIT
  if ! tar -x -f "$file" -C "$work" --occurrence=1 --no-same-owner lab-root 2>/dev/null ||
    [[ $(head -n 1 "$work/lab-root") != "$root_file_mark" ]]; then
    refused "$file" "it is no root file of this suite"
  fi
  file_release=$(sed -n 's/^release=//p' "$work/lab-root")
  name=$(sed -n 's/^name=//p' "$work/lab-root")
  [[ $file_release =~ ^[a-z]+$ && $name =~ ^root-[a-z]+-[0-9a-f]{16}$ ]] ||
    refused "$file" "what it says of itself is damaged"
  want=$(own_root_name "$file_release")
  [[ $name == "$want" ]] || refused "$file" "it holds another root ($name) than this checkout boots ($want):" \
    "its packages differ; take one exported from this version of the suite"
  say "taking the guest's own root ($file_release) from $file"
  if ! why=$(tar -x -f "$file" -C "$work" --no-same-owner "$name" 2>&1); then
    why=$(head -n 1 <<<"$why")
    refused "$file" "${why#tar: }"
  fi
  root_whole "$work" "$name" || refused "$file" "it is damaged or incomplete ($why_not)"
  chmod -R go-w "$work/$name"
  rm -rf -- "${cache:?}/$name"
  mv -- "$work/$name" "$cache/$name"
  rm -rf -- "$work"
  trap - EXIT
  say "the guest's own root is kept in $cache/$name"
  [[ $file_release == "$release" ]] || say "it is Debian's $file_release: LAB_GUEST_RELEASE=$file_release boots it"
}

# refused FILE WHY...: the one line of a file not taken (the trap removes
# what was unpacked)
refused() { die "$1 was not taken: ${*:2}; nothing was kept"; }

# root_whole WORK NAME: true where the folder WORK/NAME holds exactly the
# files that WORK/lab-root sums, each as summed (why_not says what is wrong)
why_not=""
root_whole() {
  local sums names
  sums=$(sed -n '/^sums:$/,$p' "$1/lab-root" | tail -n +2)
  names=$(cut -c 67- <<<"$sums" | sort)
  why_not="a link or device among its files"
  [[ -z $(find "$1/$2" ! -type f ! -type d) ]] || return 1
  why_not="its files are not those that it lists"
  [[ $(cd "$1/$2" && find . -type f -printf '%P\n' | sort) == "$names" ]] || return 1
  why_not="no root.squashfs"
  grep -q -x 'root\.squashfs' <<<"$names" || return 1
  why_not="a file's SHA-256 is not the one listed"
  (cd "$1/$2" && sha256sum --quiet --strict -c - <<<"$sums" >/dev/null 2>&1)
}
