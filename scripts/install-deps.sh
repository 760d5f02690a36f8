#!/usr/bin/env bash
# Installs on a Debian machine what one of the project's commands needs:
#   install-deps.sh demo      the Linux build: g++ with the assembler and
#                             linker, CMake, Ninja, CLI11
#   install-deps.sh lint      that, GoogleTest (the native preset configures the
#                             tests too), clang-format and clang-tidy
#   install-deps.sh package   the native and both Windows builds, wine64, and
#                             32-bit Wine where it can be used
#   install-deps.sh bench     the Linux build and Google Benchmark
#   install-deps.sh test      (the default) everything the test command runs
#
# The packages a command needs are required: the script installs the missing
# ones (as root; otherwise it prints the exact line to run and fails) and stops
# only when one of them cannot be installed, naming it with apt's reason in
# one line. 32-bit Wine is wanted only where scripts/can-run-32bit.sh finds
# that this machine runs 32-bit programs; when it cannot be installed the
# script says why and succeeds, and the 32-bit Wine tests are not run
# (scripts/can-run-wine32.sh tells them). apt-get update runs only when there
# is something to install, and an index that fails to download does not stop
# it: apt installs from the lists it has, and the install decides.
set -uo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/apt-common.sh
. "$scripts/apt-common.sh"

purpose=${1:-test}
# The test command sees to everything once, before its stages; the commands
# it runs as stages (lint, package) then need not ask apt again.
[ "${ZELK_DEPS_SEEN_TO:-}" = test ] && exit 0
base=(binutils g++ cmake ninja-build libcli11-dev nlohmann-json3-dev)
windows=(googletest g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64)
lint=(libgtest-dev clang-format clang-tidy)
case "$purpose" in
  demo) required=("${base[@]}") ;;
  lint) required=("${base[@]}" "${lint[@]}") ;;
  package) required=("${base[@]}" libgtest-dev "${windows[@]}") ;;
  bench) required=("${base[@]}" libbenchmark-dev python3) ;;
  test) required=("${base[@]}" "${lint[@]}" clang libclang-rt-14-dev "${windows[@]}") ;;
  *)
    echo "usage: $0 [demo|lint|package|bench|test]" >&2
    exit 2
    ;;
esac
case "$purpose" in
  package | test) wants_wine32=true ;;
  *) wants_wine32=false ;;
esac

# apt's waits are bounded: a lock held by another apt, a stalled mirror.
apt_options=(-q -o DPkg::Lock::Timeout=120 -o Acquire::http::Timeout=30 -o Acquire::Retries=2)
export DEBIAN_FRONTEND=noninteractive
updated=false

if ! command -v dpkg-query >/dev/null; then
  echo "No dpkg here: this script installs with apt on Debian. Install by hand: ${required[*]}" >&2
  exit 1
fi

missing_of() {
  local package
  for package in "$@"; do
    is_installed "$package" || printf '%s\n' "$package"
  done
}

# An index that fails to download ("Mirror sync in progress?") leaves the
# others updated; the install that follows decides whether it mattered.
update_lists() {
  "$updated" && return 0
  updated=true
  local log
  log=$(mktemp)
  if ! timeout 600 apt-get "${apt_options[@]}" update 2>&1 | tee "$log"; then
    echo "apt-get update failed for some index ($(apt_reason <"$log")); installing from the lists apt has."
  fi
  rm -f "$log"
}

# install SECONDS PACKAGE...: prints apt's output and ends as apt did, or
# with status 124 after SECONDS.
install() {
  local seconds=$1
  shift
  timeout "$seconds" apt-get "${apt_options[@]}" install -y "$@" 2>&1
}

# Which of the packages apt cannot install, by trying each without
# installing; prints "PACKAGE: REASON" for the first, or nothing.
first_refused() {
  local package output
  for package in "$@"; do
    if ! output=$(timeout 120 apt-get "${apt_options[@]}" -s install "$package" 2>&1); then
      echo "$package: $(apt_reason <<<"$output")"
      return
    fi
  done
}

mapfile -t missing < <(missing_of "${required[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root with:" >&2
    echo "  apt-get update; apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  update_lists
  log=$(mktemp)
  if ! install 1800 "${missing[@]}" | tee "$log"; then
    refused=$(first_refused "${missing[@]}")
    [ -n "$refused" ] || refused="${missing[*]}: $(apt_reason <"$log")"
    rm -f "$log"
    echo "Cannot install $refused" >&2
    exit 1
  fi
  rm -f "$log"
fi

"$wants_wine32" || exit 0
is_installed "$wine32_package" && exit 0
if ! no_32bit=$(bash "$scripts/can-run-32bit.sh"); then
  echo "32-bit Wine is not installed, nor needed: $no_32bit."
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "32-bit Wine is not installed, so the 32-bit Wine tests will not run. As root:"
  echo "  dpkg --add-architecture i386; apt-get update; apt-get install -y $wine32_package"
  exit 0
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture for 32-bit Wine"
  dpkg --add-architecture i386
  updated=false # the lists hold no i386 packages yet
  update_lists
fi
echo "Installing: $wine32_package"
log=$(mktemp)
# Bounded tighter: the tests do without it.
install 300 "$wine32_package" >"$log"
status=$?
if [ "$status" -eq 0 ]; then
  echo "Installed $wine32_package"
else
  reason=$(apt_reason <"$log")
  [ "$status" -eq 124 ] && reason="apt-get did not finish within 300 s"
  echo "32-bit Wine ($wine32_package) could not be installed, so the 32-bit Wine tests will not run: $reason"
fi
rm -f "$log"
exit 0
