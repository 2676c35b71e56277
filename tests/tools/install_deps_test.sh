#!/usr/bin/env bash
# The package installer against a stand-in apt: a mirror that fails one list,
# a package that cannot be installed, a package present for another
# architecture only. Each case runs tools/install-deps.sh with fake apt-get,
# dpkg and dpkg-query first on PATH and checks its exit status and what it said.
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cases=0
failed_cases=()
fail() {
  echo "FAIL: $case_name: $*"
  [[ " ${failed_cases[*]} " == *" $case_name "* ]] || failed_cases+=("$case_name")
}

mkdir -p "$work/bin"
# The stand-ins keep the installed packages ("name:arch" per line) in $FAKE_DB and
# log every apt-get call to $FAKE_LOG. FAKE_UPDATE_FAILS=1 makes every update fail
# on one list; FAKE_BROKEN names packages whose installation fails.
cat >"$work/bin/apt-get" <<'SH'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in
  *" update "*)
    if [ "${FAKE_UPDATE_FAILS:-0}" = 1 ]; then
      echo "Err:4 http://mirror/debian-security bookworm-security/main i386 Packages"
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    exit 0 ;;
esac
pkgs=()
for a in "$@"; do case $a in -*|install|DPkg::*) ;; *) pkgs+=("$a") ;; esac; done
for p in "${pkgs[@]}"; do
  for b in ${FAKE_BROKEN:-}; do
    if [ "$p" = "$b" ]; then
      echo "The following packages have unmet dependencies:"
      echo " $p : Depends: zlib1g:i386 (= 1:1.2.13.dfsg-1) but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
  done
done
for p in "${pkgs[@]}"; do
  case $p in *:*) echo "$p" ;; *) echo "$p:amd64" ;; esac >>"$FAKE_DB"
done
SH
cat >"$work/bin/dpkg" <<'SH'
#!/usr/bin/env bash
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) echo i386 ;;
esac
SH
cat >"$work/bin/dpkg-query" <<'SH'
#!/usr/bin/env bash
name=${!#}
grep -qx "$name" "$FAKE_DB" 2>/dev/null || exit 1
printf 'ii '
SH
chmod +x "$work/bin/"*

# run_case NAME: runs the installer; sets status and out.
run_case() {
  case_name=${1// /_}
  cases=$((cases + 1))
  : >"$FAKE_LOG"
  out=$(PATH="$work/bin:$PATH" KELO_DEPS_DIR="$work/deps" KELO_DEPS_NO_SOURCES=1 \
    KELO_APT_RETRY_SECONDS=0 "$here/tools/install-deps.sh" 2>&1)
  status=$?
}
export FAKE_DB="$work/db" FAKE_LOG="$work/log"

# A list fails on both tries: the installer goes on with the lists that loaded.
: >"$FAKE_DB"
FAKE_UPDATE_FAILS=1 run_case "a failing list does not stop the installation"
[ "$status" -eq 0 ] || fail "exit status $status: $out"
[ "$(grep -c ' update' "$FAKE_LOG")" -eq 2 ] || fail "expected one update and one retry"
grep -q "going on with the package lists that loaded" <<<"$out" || fail "no word of going on"
grep -qx "cmake:amd64" "$FAKE_DB" && grep -qx "zlib1g-dev:i386" "$FAKE_DB" || fail "packages not installed"

# Everything present: nothing is asked of apt.
run_case "an installed machine asks nothing"
[ "$status" -eq 0 ] && [ ! -s "$FAKE_LOG" ] || fail "status $status, apt log: $(cat "$FAKE_LOG")"

# A 32-bit library that cannot be installed: named with its reason in one line,
# everything else installed, exit 3 and the list for the test command.
: >"$FAKE_DB"
FAKE_BROKEN="zlib1g-dev:i386" run_case "a 32-bit library that cannot be installed"
[ "$status" -eq 3 ] || fail "exit status $status, expected 3"
grep -qx "install-deps: cannot install zlib1g-dev:i386: zlib1g-dev:i386 : Depends: zlib1g:i386 (= 1:1.2.13.dfsg-1) but it is not going to be installed" <<<"$out" ||
  fail "no one-line reason: $out"
[ "$(cat "$work/deps/missing-i386")" = "zlib1g-dev:i386" ] || fail "missing list: $(cat "$work/deps/missing-i386")"
grep -qx "libpng-dev:i386" "$FAKE_DB" && grep -qx "cmake:amd64" "$FAKE_DB" || fail "the others were not installed"

# A native package that cannot be installed fails the run.
: >"$FAKE_DB"
FAKE_BROKEN="lv2-dev" run_case "a native package that cannot be installed"
[ "$status" -eq 1 ] || fail "exit status $status, expected 1"
grep -q "^install-deps: cannot install lv2-dev: " <<<"$out" || fail "not named: $out"

# Installed for another architecture only: still missing for the one asked.
run_case "fill the machine"
sed -i 's/^libpng-dev:amd64$/libpng-dev:i386/' "$FAKE_DB"
sort -u -o "$FAKE_DB" "$FAKE_DB"
run_case "a package installed for i386 only counts as missing for amd64"
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q "install .*libpng-dev\( \|$\)" "$FAKE_LOG" || fail "libpng-dev was not installed: $(cat "$FAKE_LOG")"

echo "$((cases - ${#failed_cases[@]})) passed, ${#failed_cases[@]} failed"
[ ${#failed_cases[@]} -eq 0 ]
