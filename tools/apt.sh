# Package installation that survives a mirror caught mid-sync. Sourced by
# install-deps.sh and fetch-libpng-source.sh.
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
  if DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  # One package held the whole set back: install one by one so that every
  # package that can be installed is.
  for p in "${missing[@]}"; do
    apt_installed "$p" && continue
    if ! DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$p" >"$log" 2>&1 ||
      ! apt_installed "$p"; then
      echo "install-deps: cannot install $p: $(apt_first_error "$log")"
      apt_failed+=("$p")
    fi
  done
  rm -f "$log"
  [ ${#apt_failed[@]} -eq 0 ]
}
