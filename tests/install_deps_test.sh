#!/usr/bin/env bash
# What scripts/install-deps.sh and scripts/can-run-wine32.sh decide, on
# machines made of stubs: apt-get, dpkg-query and dpkg keep their state in a
# folder of the test's own, `apt-get update` fails for one index, and
# wine32:i386 (and whatever else a case names) is refused the way apt refuses
# a package whose dependencies it cannot meet. The 32-bit probe's assembler
# and linker are stubs too, making a "program" that ends as the case says.
# Needs no network and changes nothing outside its scratch folder.
# Usage: install_deps_test.sh [SOURCE_DIR]
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelk-install-deps-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

demo_packages="binutils g++ cmake ninja-build libcli11-dev nlohmann-json3-dev"
test_packages="$demo_packages libgtest-dev clang-format clang-tidy clang libclang-rt-14-dev
  googletest g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64"
held_reason="Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages."

make_stubs() {
  local bin=$1
  mkdir -p "$bin"
  cat >"$bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
simulate=false command="" packages=()
while [ $# -gt 0 ]; do
  case "$1" in
    -o) shift ;;
    -s) simulate=true ;;
    -*) ;;
    update | install) command=$1 ;;
    *) packages+=("$1") ;;
  esac
  shift
done
if [ "$command" = update ]; then
  echo "Hit:1 http://deb.debian.org/debian bookworm InRelease"
  echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 151.101.2.132 80]"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
for package in "${packages[@]}"; do
  if grep -qx "$package" "$STUB/refused"; then
    echo "The following packages have unmet dependencies:"
    echo " $package : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
    echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages."
    exit 100
  fi
done
"$simulate" || printf '%s\n' "${packages[@]}" >>"$STUB/installed"
STUB
  cat >"$bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
package=${*: -1}
if grep -qx "$package" "$STUB/installed"; then
  echo -n "install ok installed"
else
  echo "dpkg-query: no packages found matching $package" >&2
  exit 1
fi
STUB
  cat >"$bin/dpkg" <<'STUB'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STUB/calls"
case "$1" in
  --print-foreign-architectures) cat "$STUB/architectures" ;;
  --add-architecture) echo "$2" >>"$STUB/architectures" ;;
esac
STUB
  printf '#!/usr/bin/env bash\necho "$STUB_UID"\n' >"$bin/id"
  # as and ld: the probe's "program" is a script ending with $STUB_32BIT_STATUS.
  cat >"$bin/as" <<'STUB'
#!/usr/bin/env bash
while [ "$1" != -o ]; do shift; done
: >"$2"
STUB
  cat >"$bin/ld" <<'STUB'
#!/usr/bin/env bash
while [ "$1" != -o ]; do shift; done
printf '#!/bin/sh\nexit %s\n' "$STUB_32BIT_STATUS" >"$2"
chmod +x "$2"
STUB
  chmod +x "$bin"/*
}

fail() {
  echo "FAIL: $case_name: $1"
  failures=$((failures + 1))
}

expect_output() { [[ "$out" == *"$1"* ]] || fail "the output lacks \"$1\": $out"; }
expect_no_output() { [[ "$out" != *"$1"* ]] || fail "the output holds \"$1\": $out"; }
expect_call() { grep -qxF -- "$1" "$STUB/calls" || fail "no call \"$1\" in: $(cat "$STUB/calls")"; }
expect_no_call() { ! grep -qF -- "$1" "$STUB/calls" || fail "a call with \"$1\" in: $(cat "$STUB/calls")"; }
expect_count() {
  local count
  count=$(grep -cxF -- "$1" "$STUB/calls")
  [ "$count" -eq "$2" ] || fail "\"$1\" called $count times, not $2"
}
expect_installed() {
  local package
  for package in $1; do
    grep -qx "$package" "$STUB/installed" || fail "$package not installed"
  done
}

# machine NAME: a fresh stub machine, root, running 32-bit programs, with
# nothing installed, no foreign architecture, and wine32:i386 refused.
machine() {
  case_name=$1
  export STUB="$scratch/$case_name"
  make_stubs "$STUB/bin"
  : >"$STUB/calls"
  : >"$STUB/installed"
  : >"$STUB/architectures"
  echo "wine32:i386" >"$STUB/refused"
  export STUB_UID=0 STUB_32BIT_STATUS=0
}

# run SCRIPT ARGS...: the script on the stub machine; sets out and status.
run() {
  local script=$1
  shift
  out=$(env -u ZELK_SKIP_32BIT_TESTS -u ZELK_DEPS_SEEN_TO PATH="$STUB/bin:$PATH" bash "$root/scripts/$script" "$@" 2>&1)
  status=$?
}

expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, not $1: $out"; }

# This machine today: runs 32-bit programs, has everything but 32-bit Wine
# and the i386 architecture already; update would fail.
machine "everything-but-wine32"
printf '%s\n' $test_packages >"$STUB/installed"
echo i386 >"$STUB/architectures"
run install-deps.sh test
expect_status 0
expect_no_call "update"
expect_count "apt-get -q -o DPkg::Lock::Timeout=120 -o Acquire::http::Timeout=30 -o Acquire::Retries=2 install -y wine32:i386" 1
expect_output "32-bit Wine (wine32:i386) could not be installed, so the 32-bit Wine tests will not run: $held_reason"
run can-run-wine32.sh
expect_status 1
[ "$out" = "32-bit Wine (wine32:i386) cannot be installed: $held_reason" ] || fail "can-run-wine32.sh said: $out"

# A fresh machine that runs 32-bit programs: update fails for one index, the
# required packages install all the same, i386 is added for 32-bit Wine, and
# 32-bit Wine alone is left out.
machine "fresh-runs-32bit"
run install-deps.sh test
expect_status 0
expect_installed "$test_packages"
expect_output "apt-get update failed for some index (Failed to fetch"
expect_call "dpkg --add-architecture i386"
expect_count "apt-get -q -o DPkg::Lock::Timeout=120 -o Acquire::http::Timeout=30 -o Acquire::Retries=2 update" 2
expect_output "could not be installed, so the 32-bit Wine tests will not run: $held_reason"

# The same machine where 32-bit Wine installs: it is installed, and the
# 32-bit Wine tests may run.
machine "fresh-wine32-installs"
: >"$STUB/refused"
run install-deps.sh package
expect_status 0
expect_installed "wine32:i386 wine64 g++-mingw-w64-i686-posix"
run can-run-wine32.sh
expect_status 0

# A fresh machine that cannot run 32-bit programs: no i386, no 32-bit Wine.
machine "fresh-no-32bit"
export STUB_32BIT_STATUS=1
run install-deps.sh test
expect_status 0
expect_installed "$test_packages"
expect_no_call "wine32"
expect_no_call "--add-architecture"
expect_output "32-bit Wine is not installed, nor needed: this machine does not run 32-bit programs"
run can-run-wine32.sh
expect_status 1
expect_output "this machine does not run 32-bit programs"

# The demo installs only what it builds with, and never Wine.
machine "demo"
run install-deps.sh demo
expect_status 0
expect_installed "$demo_packages"
expect_no_call "wine"
expect_no_call "mingw"
expect_no_call "dpkg"

# A required package apt refuses stops the script, named in one line with
# apt's reason.
machine "required-refused"
echo "libcli11-dev" >>"$STUB/refused"
run install-deps.sh demo
expect_status 1
[ "$(printf '%s\n' "$out" | grep -c '^Cannot install')" -eq 1 ] || fail "no one line naming it: $out"
expect_output "Cannot install libcli11-dev: $held_reason"

# Not root: the exact line to run, and nothing asked of apt.
machine "not-root"
export STUB_UID=1000
run install-deps.sh demo
expect_status 1
expect_output "apt-get install -y $demo_packages"
expect_no_call "apt-get"

# Everything there: nothing asked of apt at all.
machine "nothing-missing"
printf '%s\n' $test_packages wine32:i386 >"$STUB/installed"
run install-deps.sh test
expect_status 0
[ ! -s "$STUB/calls" ] || fail "calls made: $(cat "$STUB/calls")"
[ -z "$out" ] || fail "said: $out"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "install-deps decisions OK"
