# Package installation that survives a mirror caught mid-sync. Sourced by
# install-deps.sh and fetch-sources.sh.
#
# A mirror that fails one of its lists ("File has unexpected size ... Mirror sync
# in progress?") makes `apt-get update` exit 100 although every other list loaded
# and most packages can be installed. So: go on with the lists that loaded, try
# the update once more, install everything that can be installed, and name each
# package that cannot, with apt's reason, in one line.

apt_sudo=""
[ "$(id -u)" -eq 0 ] || apt_sudo="sudo"
apt_updated=0

# apt_first_error LOG: apt's most telling complaint in LOG, on one line.
apt_first_error() {
  local line
  line=$(grep -m1 -E '^ [^ ].* : (Pre)?Depends:|has no installation candidate|Unable to locate package|^E: Failed to fetch' "$1" ||
    grep -m1 '^E:' "$1" || true)
  line=$(printf '%s' "$line" | tr -s ' ' | sed 's/^ //')
  printf '%s' "${line:-apt-get failed without saying why}"
}

# apt_update: refreshes the package lists. A list that fails is reported and the
# update tried once more; then the lists that loaded are used. Runs once per
# script: a second failure is the mirror's state, not bad luck.
apt_update() {
  [ "$apt_updated" -eq 0 ] || return 0
  apt_updated=1
  local log try
  log=$(mktemp)
  for try in 1 2; do
    if $apt_sudo apt-get update -qq -o DPkg::Lock::Timeout=600 >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    echo "install-deps: apt-get update failed (try $try of 2): $(apt_first_error "$log")"
    [ "$try" -eq 2 ] || sleep "${KELO_APT_RETRY_SECONDS:-5}"
  done
  echo "install-deps: going on with the package lists that loaded"
  rm -f "$log"
}

# apt_installed PKG: true when PKG is installed for the architecture asked for:
# "name:arch" for that architecture only, a bare name for the machine's own
# architecture (or for an architecture-independent package).
apt_installed() {
  local name=${1%%:*} arch
  if [ "$name" != "$1" ]; then
    arch=${1#*:}
  else
    arch=$(dpkg --print-architecture)
  fi
  local status
  for query in "$name:$arch" "$name:all"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$query" 2>/dev/null) || continue
    case "$status" in ii*) return 0 ;; esac
  done
  return 1
}

# apt_install PKG...: installs the packages that are missing. Those that still
# cannot be installed after a second update are printed one per line with the
# reason and appended to $apt_failed (an array). Returns 0 when all are installed.
apt_failed=()
apt_install() {
  local missing=() p
  for p in "$@"; do apt_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "install-deps: installing ${missing[*]}"
  apt_update
  local log
  log=$(mktemp)
  if DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get install -y -q -o DPkg::Lock::Timeout=600 "${missing[@]}" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  # One package held the whole set back: install one by one so that every
  # package that can be installed is.
  for p in "${missing[@]}"; do
    apt_installed "$p" && continue
    if ! DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get install -y -q -o DPkg::Lock::Timeout=600 "$p" >"$log" 2>&1 ||
      ! apt_installed "$p"; then
      echo "install-deps: cannot install $p: $(apt_first_error "$log")"
      apt_failed+=("$p")
    fi
  done
  rm -f "$log"
  [ ${#apt_failed[@]} -eq 0 ]
}

# The second road for the 32-bit libraries. A library installed for both
# architectures (Multi-Arch: same) needs one version on both. When the mirror's
# i386 list of the security suite fails, apt knows the security versions for
# amd64 only, and every i386 library whose amd64 copy came from there looks
# uninstallable. apt_install_i386 PKG:i386... then finds, for each such library
# the packages may need, an i386 .deb at the version of the amd64 copy:
#   1. in a list apt loaded (signed): apt is told that version;
#   2. in the failed i386 list, fetched directly: that list cannot be checked
#      against the signed Release any more (that is how it failed), so each .deb
#      is checked against the SHA256 the list gives;
#   3. when that list has moved past the version, in the pool directories apt
#      fetches the amd64 copies from: no list vouches for it, so dpkg's check
#      that the files it shares with the amd64 copy are the same is all there is.
# Failing those, a later version apt knows for amd64 too: from a signed list,
# else from the fetched one, and the amd64 copy moves up to it. Every fetched
# .deb must name the package, version and architecture asked for. Then one
# apt-get install (never removing a package) of the .debs, the versions and the
# packages lets apt resolve the rest. One line per library says which road it
# took. Returns 0 when every package is installed; those still missing are
# added to apt_failed.
apt_helper=${KELO_APT_HELPER:-/usr/lib/apt/apt-helper}

# apt_versions PKG:ARCH: the versions apt knows (loaded lists and installed).
apt_versions() { apt-cache show "$1" 2>/dev/null | sed -n 's/^Version: //p'; }

# apt_i386_lists DIR: fetches the i386 package lists that failed to load (those
# whose amd64 sibling loaded) into DIR, then writes DIR/index with one line per
# package: name version URL sha256.
apt_i386_lists() {
  local dir=$1 loaded uri repo n=0
  loaded=$(apt-get indextargets --format '$(URI)' 'Created-By: Packages' 'Architecture: i386')
  : >"$dir/index"
  while read -r uri repo; do
    uri=${uri/binary-amd64/binary-i386}
    grep -qxF "$uri" <<<"$loaded" && continue
    n=$((n + 1))
    if ! "$apt_helper" download-file "$uri.xz" "$dir/list$n.xz" >"$dir/log" 2>&1 ||
      ! xz -dc "$dir/list$n.xz" >"$dir/list$n"; then
      echo "install-deps: cannot fetch $uri.xz either: $(apt_first_error "$dir/log")"
      continue
    fi
    awk -v repo="$repo" '
      /^Package: /  { p = $2 } /^Version: /  { v = $2 }
      /^Filename: / { f = $2 } /^SHA256: /   { s = $2 }
      /^$/ { if (p != "" && f != "") print p, v, repo f, s; p = v = f = s = "" }
      END  { if (p != "" && f != "") print p, v, repo f, s }' "$dir/list$n" >>"$dir/index"
  done < <(apt-get indextargets --format '$(URI) $(REPO_URI)' 'Created-By: Packages' 'Architecture: amd64')
}

# apt_newest VERSION...: the highest of the versions given.
apt_newest() {
  local best="" v
  for v in "$@"; do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done
  printf '%s' "$best"
}

# apt_pool_dirs NAME: the pool directories apt fetches NAME:amd64 from.
apt_pool_dirs() {
  local v
  for v in $(apt_versions "$1:amd64"); do
    apt-get download --print-uris "$1:amd64=$v" 2>/dev/null | awk '{ print $1 }' | tr -d "'"
  done | sed 's|/[^/]*$||' | sort -u
}

# apt_fetch_deb NAME VERSION URL [SHA256] DEST: fetches the i386 .deb, checked
# against SHA256 when given and against the name, version and architecture.
apt_fetch_deb() {
  local name=$1 v=$2 url=$3 sha=$4 dest=$5
  "$apt_helper" download-file "$url" "$dest" ${sha:+"SHA256:$sha"} >"$dest.log" 2>&1 || return 1
  [ "$(dpkg-deb -f "$dest" Package Version Architecture | tr '\n' ' ')" = \
    "Package: $name Version: $v Architecture: i386 " ] && return 0
  echo "E: $url holds another package" >"$dest.log"
  return 1
}

apt_install_i386() {
  local dir name status va v url sha d amd64 i386 later deb
  local args=() bad=0 lists=0
  dir=$(mktemp -d)
  chmod 755 "$dir" # apt's download user reads the .debs
  # The Multi-Arch: same libraries among everything the packages may need.
  for name in $(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null | grep -v '^[ <]' | sed 's/:i386$//' | sort -u); do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}|${Multi-Arch}|${Version}' "$name:amd64" 2>/dev/null) || continue
    case $status in ii*'|same|'*) va=${status##*|} ;; *) continue ;; esac
    [ "$(dpkg-query -W -f='${Version}' "$name:i386" 2>/dev/null)" = "$va" ] && continue
    amd64=$(apt_versions "$name:amd64")
    i386=$(apt_versions "$name:i386")
    if grep -qxF "$va" <<<"$i386"; then
      # Told explicitly: apt would try its candidate.
      echo "install-deps: $name:i386 $va from the lists apt loaded, asked for by version"
      args+=("$name:i386=$va")
      continue
    fi
    if [ "$lists" -eq 0 ]; then
      lists=1
      apt_i386_lists "$dir"
    fi
    deb="$dir/${name}_i386.deb"
    # Road 2, then road 3, at the amd64 copy's version.
    read -r url sha < <(awk -v n="$name" -v v="$va" '$1 == n && $2 == v { print $3, $4; exit }' "$dir/index")
    if [ -n "$url" ]; then
      if apt_fetch_deb "$name" "$va" "$url" "$sha" "$deb"; then
        echo "install-deps: $name:i386 $va fetched directly from $url, SHA256 as the i386 list says (the list itself is unsigned)"
        args+=("$deb")
      else
        echo "install-deps: $name:i386 $va: $(apt_first_error "$deb.log")"
        bad=1
      fi
      continue
    fi
    for d in $(apt_pool_dirs "$name"); do
      url="$d/${name}_${va#*:}_i386.deb"
      if apt_fetch_deb "$name" "$va" "$url" "" "$deb"; then
        echo "install-deps: $name:i386 $va fetched from the pool at $url, in no list: dpkg checks the files it shares with the amd64 copy"
        args+=("$deb")
        continue 2
      fi
    done
    # A later version for both: signed, else from the fetched list.
    later=()
    for v in $i386; do
      dpkg --compare-versions "$v" gt "$va" && grep -qxF "$v" <<<"$amd64" && later+=("$v")
    done
    if [ ${#later[@]} -gt 0 ]; then
      v=$(apt_newest "${later[@]}")
      echo "install-deps: $name:i386 $v from the lists apt loaded; $name:amd64 moves there from $va"
      args+=("$name:amd64=$v" "$name:i386=$v")
      continue
    fi
    for v in $(awk -v n="$name" '$1 == n { print $2 }' "$dir/index"); do
      dpkg --compare-versions "$v" gt "$va" && grep -qxF "$v" <<<"$amd64" && later+=("$v")
    done
    v=$(apt_newest "${later[@]}")
    read -r url sha < <(awk -v n="$name" -v v="$v" '$1 == n && $2 == v { print $3, $4; exit }' "$dir/index")
    if [ -n "$v" ] && apt_fetch_deb "$name" "$v" "$url" "$sha" "$deb"; then
      echo "install-deps: $name:i386 $v fetched directly from $url, SHA256 as the i386 list says (the list itself is unsigned); $name:amd64 moves there from $va"
      args+=("$name:amd64=$v" "$deb")
      continue
    fi
    echo "install-deps: $name:i386: found neither at the amd64 version $va nor at a later one apt knows for amd64"
    bad=1
  done
  # apt's resolver may give up on a package it would install when asked by
  # name: ask for those it names, a few times.
  local log="$dir/install" try more p ok=0
  local want=("$@")
  if [ "$bad" -eq 0 ]; then
    for try in 1 2 3 4; do
      DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get install -y -q --no-remove -o DPkg::Lock::Timeout=600 \
        "${args[@]}" "${want[@]}" >"$log" 2>&1 && break
      more=$(sed -n 's/^ .*Depends: \([^ ]*:i386\).* but it is not going to be installed$/\1/p' "$log" | sort -u)
      for p in $more; do [[ " ${want[*]} " == *" $p "* ]] || want+=("$p"); done
      if [ "$try" -eq 4 ] || [ -z "$more" ]; then
        echo "install-deps: the i386 libraries at the amd64 versions: $(apt_first_error "$log")"
        break
      fi
    done
  fi
  for p in "$@"; do
    if apt_installed "$p"; then
      echo "install-deps: installed $p"
    else
      apt_failed+=("$p")
      ok=1
    fi
  done
  rm -rf "$dir"
  return $ok
}
