# shellcheck shell=bash
# vm/debs.bash -- sourced by vm/guest: Debian's packages of the guest's own
# root, unpacked on the host as dpkg would unpack them, without running any
# of their code, and the script that dpkg runs in the guest to set them up.
#
# Takes from vm/own-root.bash (make_root): nothing but its arguments; the
# first four functions also run in a shell of their own (under fakeroot),
# their definitions carried there. Gives unpacking, unpack_deb, filtered,
# entered, in_guest, plain_deb and configure_script.

# unpacking ARCHIVES FETCHED ROOT INTO: each package that apt puts in
# ARCHIVES unpacked into ROOT (unpack_deb), as many at once as there are
# cores, until the file FETCHED exists and every one is done; false where
# one failed.
unpacking() {
  local archives=$1 fetched=$2 deb done=""
  local -A seen=()
  while :; do
    [[ -e $fetched ]] && done=yes
    for deb in "$archives"/*.deb; do
      [[ -e $deb && -z ${seen[$deb]:-} ]] || continue
      seen[$deb]=1
      while (($(jobs -pr | wc -l) >= $(nproc))); do wait -n || true; done
      { unpack_deb "$deb" "$3" "$4" || : >"$4/.failed"; } &
    done
    [[ -z $done ]] || break
    sleep 0.2
  done
  wait
  [[ ! -e $4/.failed ]]
}

# unpack_deb DEB ROOT INTO: into ROOT what dpkg --unpack puts there, without
# running any of the package's code: its files, each conffile as
# NAME.dpkg-new (dpkg's path filters are applied to the whole root once all
# are unpacked: filtered). INTO/DEB/ gets its control files (control/), what
# it says of itself (about: name, architecture, Multi-Arch), every path it
# holds, as tar names them (files), and its entry in dpkg's database (entered).
unpack_deb() {
  local deb=$1 root=$2 into=$3/${1##*/} path renames=()
  mkdir "$into" && dpkg-deb --control "$deb" "$into/control" || return 1
  awk -F ': ' '$1 == "Package" { p = $2 } $1 == "Architecture" { a = $2 }
               $1 == "Multi-Arch" { m = $2 } END { print p, a, m }' "$into/control/control" >"$into/about"
  if [[ -f $into/control/conffiles ]]; then
    while read -r path; do # [FLAG...] PATH
      path=${path##* }
      [[ -n $path ]] || continue
      # shellcheck disable=SC2001 # sed: a backslash before each special character
      renames+=(--transform "s,^\\.$(sed 's/[][\\.*^$,]/\\&/g' <<<"$path")\$,&.dpkg-new,")
    done <"$into/control/conffiles"
  fi
  # Decompressed side by side, unpacked one at a time: a folder that two
  # packages hold gets its owner and mode from the first, as dpkg gives it.
  dpkg-deb --fsys-tarfile "$deb" >"$into/data.tar" &&
    flock "$3/.lock" tar -C "$root" --keep-directory-symlink --no-overwrite-dir --numeric-owner \
      --quoting-style=literal "${renames[@]}" -xpvf "$into/data.tar" >"$into/files" || return 1
  rm "$into/data.tar"
  entered "$into"
}

# filtered ROOT FILTER...: ROOT less what dpkg's path filters (FILTER as in
# dpkg.cfg, the exclusions first) keep out: what an exclusion matches and no
# inclusion does, but for the folders and symbolic links on the way to an
# inclusion.
filtered() {
  local root=$1 filter out=() in=() by=()
  shift
  for filter; do
    case $filter in
      path-exclude=*) out+=(-o -path "$root${filter#*=}") ;;
      path-include=*)
        in+=(-o -path "$root${filter#*=}")
        filter=${filter#*=} filter=${filter%%[*?[]*}
        by+=(-o -path "$root${filter%/}*") ;;
    esac
  done
  find "$root" -depth \( "${out[@]:1}" \) ! \( "${in[@]:1}" \) \
    ! \( \( -type d -o -type l \) \( "${by[@]:1}" \) \) -delete
}

# in_guest UNPACKED: the packages (their files' names) that dpkg unpacks in
# the guest rather than the host: those with a preinst (it runs before their
# files are in place), with conffiles that carry flags, and those that hold
# a file that a package of another name holds too (dpkg settles which keeps
# it, by their Replaces).
in_guest() {
  local d name
  {
    for d in "$1"/*; do
      if [[ -e $d/control/preinst ]] || grep -q '^[^/]' "$d/control/conffiles" 2>/dev/null; then
        printf '%s\n' "${d##*/}"
      fi
    done
    for d in "$1"/*; do
      read -r name _ <"$d/about"
      awk -v deb="${d##*/}" -v name="$name" -v OFS='\t' '!/\/$/ { print $0, name, deb }' "$d/files"
    done | awk -F '\t' '{ debs[$1] = debs[$1] "\n" $3 }
                        !($1 in name) { name[$1] = $2 }
                        name[$1] != $2 { shared[$1] = 1 }
                        END { for (p in shared) print substr(debs[p], 2) }'
  } | sort -u
}

# entered UNPACKED/DEB: the package of DEB as dpkg --unpack enters it in
# its database, for the host to put there where dpkg in the guest need not
# unpack it: in info/, its control files named as in dpkg's info folder
# (NAME.FILE, or NAME:ARCH.FILE where it is Multi-Arch: same) and the paths
# it holds (NAME.list); its entry (entry): "unpacked", its conffiles new. dpkg
# in the guest sets it up, and notes the triggers it names.
entered() {
  local name arch multi prefix file
  read -r name arch multi <"$1/about"
  prefix=$name
  [[ $multi == same ]] && prefix=$name:$arch
  mkdir "$1/info" || return 1
  for file in "$1"/control/*; do
    [[ ${file##*/} == control ]] || cp "$file" "$1/info/$prefix.${file##*/}" || return 1
  done
  awk '$0 == "./" { print "/."; next } { sub(/^\./, ""); sub(/\/$/, ""); print }' "$1/files" \
    >"$1/info/$prefix.list" || return 1
  {
    cat "$1/control/control"
    printf 'Status: install ok unpacked\n'
    if [[ -s $1/control/conffiles ]]; then
      printf 'Conffiles:\n'
      sed 's/^\(.*\)$/ \1 newconffile/' "$1/control/conffiles"
    fi
    printf '\n'
  } >"$1/entry"
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

# configure_script: what the guest runs, as root, on the ext4 image: dpkg
# unpacks the packages left for it (/lab-first, the essential ones, first),
# then sets up the essential packages (/lab-essential), which the others'
# maintainer scripts count on, then every other package: their maintainer
# scripts and triggers. Then the whole root, less the downloads, as a tar
# stream onto the second disk.
configure_script() {
  cat <<'END'
set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 HOME=/root
export DEBIAN_FRONTEND=noninteractive DEBCONF_NONINTERACTIVE_SEEN=true
cd /var/cache/apt/archives
mapfile -t first </lab-first
mapfile -t rest < <(ls -- *.deb | grep -v -x -F -f /lab-first)
debs=("${first[@]}" "${rest[@]}")
# (no fsync for each file: a guest that fails leaves nothing that is kept)
((${#debs[@]} == 0)) || dpkg --force-depends --force-unsafe-io --unpack "${debs[@]}"
mapfile -t essential </lab-essential
dpkg --force-depends --configure "${essential[@]}"
dpkg --configure -a
[[ -z $(dpkg --audit) ]] || { dpkg --audit; echo "lab: dpkg --audit finds packages not set up"; exit 1; }
rm -rf /lab-first /lab-essential /lab-configure /var/cache/apt/archives/*.deb /var/lib/apt/lists/*
tar -C / --one-file-system --numeric-owner --exclude=./lost+found -b 2048 -cf /dev/vdb .
END
}
