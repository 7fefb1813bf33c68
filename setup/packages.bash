# shellcheck shell=bash
# setup/packages.bash -- sourced by lab: Debian's packages onto this host,
# where its apt can give them, and nothing changed where it cannot.
#
#   host_install PACKAGE...
#
# installs those of PACKAGEs (i386 ones named NAME:i386) that are missing, as
# root; a user who is not root gets the one sudo line that does the same, and
# status 1. In three steps:
#
# 1. The package lists, i386 ones too where i386 packages are asked for
#    (before dpkg learns the architecture). A list that apt cannot fetch (a
#    mirror in the middle of a sync, say) is one line, and apt goes on with
#    the lists it has. A user who is not root gets them in a folder of lab's
#    own, from a copy of the host's: the same lists that root's apt would see.
# 2. apt is asked whether the install can be done, changing nothing
#    (--print-uris). Where it can, it is done as asked.
# 3. Where it cannot and i386 packages are asked for, each multi-arch "same"
#    package of the install whose amd64 copy is installed is kept at one
#    version in both architectures: the installed one where the i386 list has
#    it, otherwise the newest that both lists carry, pinned in a preferences
#    file of lab's own, with the host's release as apt's target. A pin never
#    lowers a version that a list still offers (a security fix that the i386
#    list has not caught up with), never moves libc6 or an Essential or
#    required package, and no package is ever removed. Each version that
#    changes is one line.
#
# Where apt cannot give them even so, nothing is installed or changed, and
# cannot_give says why (the first packages whose i386 twin is missing, or
# apt's own reason); it is empty otherwise. On an Ubuntu host whose apt reads
# no list of Ubuntu's universe component (where most of the suite's packages
# are), without_universe then says how to enable it.
#
# Takes from lab: say, die, pins_file. Gives host_install, missing_packages,
# cannot_give and without_universe.

cannot_give="" without_universe=""
pins_file=""  # where the pins are written (lab sets it: the build folder)

# missing_packages PACKAGE...: those of them that are not installed, a line each
missing_packages() {
  local p
  for p in "$@"; do
    [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null) == "ii " ]] || printf '%s\n' "$p"
  done
}

apt_opts=()  # where apt finds the lists (and the architectures) to decide on
plan_opts=() # what the install needs beyond the plain one: pins, target
changes=()   # the versions that the pins change, a line each
apt_work=""  # lab's folder for apt, while host_install runs
lists_updated=""

host_install() {
  local missing=() need_arch="" status=0
  cannot_give="" without_universe="" apt_opts=() plan_opts=() native_opts=() changes=()
  if [[ " $* " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_arch=yes
    local arch
    for arch in $(dpkg --print-architecture) $(dpkg --print-foreign-architectures) i386; do
      apt_opts+=(-o "APT::Architectures::=$arch")
    done
  fi
  mapfile -t missing < <(missing_packages "$@")
  [[ -z $need_arch && ${#missing[@]} -eq 0 ]] && return 0
  say "lab: missing: ${need_arch:+the i386 architecture }${missing[*]}"
  apt_work=$(mktemp -d)
  if (($(id -u) != 0)); then
    local lists=()
    mapfile -t lists < <(private_lists lists)
    apt_opts+=("${lists[@]}")
    apt_update
  elif [[ -z $lists_updated ]]; then # once a run will do, where all were fetched
    apt_update
  fi
  if ! apt_can "${missing[@]}"; then
    cannot_give=$(apt_reason)
    [[ " ${missing[*]} " != *":i386 "* ]] || pin_pairs "${missing[@]}"
    if ((${#plan_opts[@]})); then
      if apt_can "${missing[@]}"; then cannot_give=""; else cannot_give=$(apt_reason); fi
    fi
  fi
  if [[ -n $cannot_give ]]; then
    # shellcheck disable=SC2034 # (./lab setup reads it: setup/commands.bash)
    ! ubuntu_without_universe || without_universe="this Ubuntu host's apt reads no list of \
its universe component, where the suite's packages are: enable it (sudo add-apt-repository \
universe), then run ./lab setup again"
    rm -rf "$apt_work"
    return 0
  fi
  ((${#changes[@]} == 0)) || printf '%s\n' "${changes[@]}"
  if (($(id -u) != 0)); then
    say "run: $(sudo_line "$need_arch" "${missing[@]}")"
    rm -rf "$apt_work"
    exit 1
  fi
  say "lab: installing them"
  [[ -n $need_arch ]] && dpkg --add-architecture i386
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends --no-remove \
    "${plan_opts[@]}" "${missing[@]}" || status=$?
  # an install that failed leaves dpkg the architecture only where it has
  # packages of it
  ((status == 0)) || [[ -z $need_arch ]] || dpkg --remove-architecture i386 2>/dev/null || true
  rm -rf "$apt_work"
  ((status == 0)) || die "apt-get install failed (status $status)"
}

# private_lists NAME: apt's options for lists of lab's own in the folder
# NAME, a copy of the host's to start from, where apt-get update may change
# them
private_lists() {
  local lists
  eval "$(apt-config shell lists Dir::State::lists/d)"
  mkdir -p "$apt_work/$1/partial" "$apt_work/$1.cache/archives/partial"
  find "${lists:-/var/lib/apt/lists/}" -maxdepth 1 -type f -name '*_*' \
    -exec cp -p -t "$apt_work/$1" {} + 2>/dev/null || true
  printf '%s\n' -o "Dir::State::Lists=$apt_work/$1" -o "Dir::Cache=$apt_work/$1.cache" \
    -o Debug::NoLocking=1 -o "APT::Sandbox::User=$(id -un)"
}

native_opts=() # where a list has failed: lists of the native architecture alone

# apt_update: the package lists; a list that fails is one line. apt then
# drops the whole suite of that list, the native architecture's lists too:
# these are fetched once more on their own (native_opts), so that what they
# offer still counts. Where all were fetched, lists_updated says so; where
# not, the next install (of amd64 packages only, say) fetches them again: the
# host's lists lack that whole suite until then.
apt_update() {
  local log=$apt_work/update failed count more=""
  apt-get -qq "${apt_opts[@]}" update >"$log" 2>&1 && { lists_updated=yes; return 0; }
  mapfile -t native_opts < <(private_lists native)
  native_opts+=(-o "APT::Architectures::=$(dpkg --print-architecture)")
  apt-get -qq "${native_opts[@]}" update >/dev/null 2>&1 || true
  failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' "$log" | sed 's/ *\[IP: [^]]*\]//')
  count=$(grep -c . <<<"$failed") || true
  [[ -n $failed ]] || failed=$({ grep -m 1 '^E: ' "$log" || tail -n 1 "$log"; } | sed 's/^E: //')
  ((count <= 1)) || more=" and $((count - 1)) more lists"
  say "lab: apt-get update could not fetch $(head -n 1 <<<"$failed")$more; going on with the lists apt has"
}

# apt_can PACKAGE...: true where apt would install them as planned
apt_can() {
  apt-get install --print-uris -q -y --no-install-recommends --no-remove \
    "${apt_opts[@]}" "${plan_opts[@]}" "$@" >"$apt_work/check" 2>&1
}

# ubuntu_without_universe: true where the lists that apt reads are Ubuntu's
# archive (its Release files say so), and none of them is of universe
ubuntu_without_universe() {
  # shellcheck disable=SC2016 # apt's own placeholders
  apt-get "${apt_opts[@]}" indextargets --format '$(ORIGIN) $(COMPONENT)' 'Identifier: Packages' \
    2>/dev/null | awk '$1 == "Ubuntu" { ubuntu = 1; if ($2 == "universe") universe = 1 }
                       END { exit !(ubuntu && !universe) }'
}

# apt_reason: why the last check failed, as apt says it
apt_reason() {
  local why
  why=$(grep -m 1 -E '^ +[^ ]+ : (Pre)?Depends: ' "$apt_work/check" | sed 's/^ *//') ||
    why=$(grep -m 1 '^E: ' "$apt_work/check" | cut -c 4-) || why="apt-get failed"
  printf 'apt: %s' "$why"
}

# pin_pairs PACKAGE...: the pins that keep each multi-arch pair of the
# install at one version, in plan_opts; where a pair cannot be kept so,
# cannot_give names it and plan_opts stays empty
pin_pairs() {
  local native codename="" names=() twins=() name version multiarch essential priority
  native=$(dpkg --print-architecture)
  # the host's release as the target: the base suite's versions for what
  # both architectures install new
  codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
  [[ -n $codename ]] && apt-cache "${apt_opts[@]}" -t "$codename" policy >/dev/null 2>&1 ||
    codename=""
  local target=()
  [[ -z $codename ]] || target=(-t "$codename")
  mapfile -t names < <(apt-cache "${apt_opts[@]}" "${target[@]}" depends --recurse \
    --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances "$@" |
    sed -n 's/^\([a-z0-9][a-z0-9+.-]*\):i386$/\1/p' | sort -u)
  # the pairs: those of them whose native copy is installed, multi-arch "same"
  local -A installed=() protected=() in_list=()
  while IFS='|' read -r name version multiarch essential priority; do
    [[ $multiarch == same ]] || continue
    installed[$name]=$version
    [[ $name == libc6 || $essential == yes || $priority == required ]] && protected[$name]=1
  done < <(dpkg-query -W -f='${db:Status-Abbrev}|${Package}:${Architecture}|${Version}|${Multi-Arch}|${Essential}|${Priority}\n' 2>/dev/null |
    awk -F'|' -v OFS='|' -v arch="$native" 'NR == FNR { want[$0 ":" arch] = 1; next }
      $1 == "ii " && want[$2] { sub(/:[^:]*$/, "", $2); print $2, $3, $4, $5, $6 }' \
      <(printf '%s\n' "${names[@]}") -)
  for name in "${names[@]}"; do [[ -n ${installed[$name]:-} ]] && twins+=("$name"); done
  ((${#twins[@]})) || return 0
  # the versions that each architecture's lists offer ("NAME ARCH": " V1 V2 ")
  local arch
  while IFS='|' read -r name version _; do
    name=${name// /} version=${version// /}
    arch=$native
    [[ $name == *:i386 ]] && arch=i386 name=${name%:i386}
    in_list["$name $arch"]+=" $version "
  done < <(apt-cache "${apt_opts[@]}" madison "${twins[@]/%/:$native}" "${twins[@]/%/:i386}" 2>/dev/null)
  local -A offered=() # any version that a list offers, the failed suites' native ones too
  while IFS='|' read -r name version _; do
    offered[${name// /}]+=" ${version// /} "
  done < <({ apt-cache "${apt_opts[@]}" madison "${twins[@]}"
             ((${#native_opts[@]} == 0)) || apt-cache "${native_opts[@]}" madison "${twins[@]}"
           } 2>/dev/null)

  local pins=() lacking=() have wanted common v lower=""
  for name in "${twins[@]}"; do
    have=${installed[$name]} wanted=""
    if [[ ${in_list["$name i386"]:-} == *" $have "* ]]; then
      wanted=$have
    elif [[ -z ${protected[$name]:-} ]]; then
      common="" # the newest version that both architectures' lists carry
      for v in ${in_list["$name i386"]:-}; do
        [[ ${in_list["$name $native"]:-} == *" $v "* ]] || continue
        [[ -z $common ]] || dpkg --compare-versions "$v" gt "$common" && common=$v
      done
      if [[ -n $common ]] && { dpkg --compare-versions "$common" gt "$have" ||
        [[ ${offered[$name]:-} != *" $have "* ]]; }; then
        wanted=$common
      fi
    fi
    if [[ -z $wanted ]]; then lacking+=("$name"); continue; fi
    pins+=("$name" "$wanted")
    [[ $wanted == "$have" ]] && continue
    changes+=("lab: $name $have -> $wanted, for $native and i386 alike")
    dpkg --compare-versions "$wanted" lt "$have" && lower=yes
  done
  if ((${#lacking[@]})); then
    local first more=""
    first=$(printf '%s, ' "${lacking[@]:0:4}")
    ((${#lacking[@]} <= 4)) || more=" and $((${#lacking[@]} - 4)) more"
    cannot_give="its i386 lists lack ${first%, }$more at the versions installed for $native"
    return 0
  fi
  local prefs # the host's own preferences, and the pins
  eval "$(apt-config shell prefs Dir::Etc::Preferences/f)"
  mkdir -p "${pins_file%/*}"
  { [[ ! -f $prefs ]] || cat "$prefs"
    printf 'Package: %s:any\nPin: version %s\nPin-Priority: 1001\n\n' "${pins[@]}"; } >"$pins_file"
  plan_opts=(-o "Dir::Etc::Preferences=$pins_file" "${target[@]}" ${lower:+--allow-downgrades})
}

# sudo_line NEED_ARCH PACKAGE...: the one command that a user who is not
# root runs for this install
sudo_line() {
  local need_arch=$1 script=""
  shift
  [[ -n $need_arch ]] && script="dpkg --add-architecture i386 && "
  script+="apt-get update; apt-get install -y --no-install-recommends --no-remove"
  script+=$(quoted "${plan_opts[@]}" "$@")
  printf 'sudo sh -c%s' "$(quoted "$script")"
}

# quoted WORD...: the words as sh reads them back, a blank before each
quoted() {
  local w
  for w in "$@"; do
    if [[ $w =~ ^[A-Za-z0-9_./:=+,@%-]+$ ]]; then
      printf ' %s' "$w"
    else
      printf " '%s'" "${w//\'/\'\\\'\'}"
    fi
  done
}
