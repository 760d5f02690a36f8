#!/usr/bin/env bash
# Builds every platform from this tree and runs every test: natively (plain,
# under ASan with UBSan, and under TSan, plus a short run of every fuzzer), the
# lint (clang-format, clang-tidy), the 32-bit Windows build under 32-bit Wine
# and the 64-bit Windows build under wine64; then the three release packages
# are made and tried unpacked.
#
# First it installs what is missing (scripts/install-deps.sh test): it stops
# only when a package that a stage below needs cannot be installed. 32-bit Wine
# is the one package it may do without: where it cannot be installed, or the
# machine cannot execute 32-bit programs at all, the 32-bit Wine stage is not
# run, with the reason.
#
# Every stage runs even when an earlier one failed, and the summary at the end
# names each stage as passed, failed or not run (with the reason). The command
# fails when any stage failed. A machine that cannot execute 32-bit programs at
# all still builds the 32-bit DLL and checks what needs no execution (exports,
# ordinals, imports, version resource); only its programs are not run there.
# ZELK_SKIP_32BIT_TESTS=1 rehearses that case on any machine.
# A line of the summary reads "passed   NAME (SECONDS s)", "FAILED   NAME
# (SECONDS s)" or "not run  NAME: REASON".
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test || exit 1
export ZELK_DEPS_SEEN_TO=test

results=()
failed=0

# stage NAME COMMAND...: runs COMMAND (a function of this script) and records
# how it ended and how long it took. Inside an "if", bash ignores errexit, so
# every function below chains its steps with &&.
stage() {
  local name=$1
  shift
  echo
  echo "== $name =="
  local started=$SECONDS
  if "$@"; then
    results+=("passed   $name ($((SECONDS - started)) s)")
  else
    results+=("FAILED   $name ($((SECONDS - started)) s)")
    failed=1
  fi
}

not_run() {
  echo
  echo "== $1 =="
  echo "NOT RUN: $2"
  results+=("not run  $1: $2")
}

preset() { cmake --preset "$1" && cmake --build --preset "$1"; }

# A Wine prefix per architecture, under its build folder, started once per run
# before the tests (the first start of a prefix takes a while).
start_wine() {
  WINEDEBUG=-all cmake/wine-run.sh "$1" "$PWD/build/$2/wineprefix" wineboot -i >/dev/null 2>&1 || true
}

# The test programs run side by side, one per processor: each works in a
# scratch folder of its own.
tests() { ctest --preset "$1" --parallel "$(nproc)"; }

native() { preset native && tests native; }
# The sanitizer builds compile at -O1 with line tables only (their presets):
# a third of the time -O2 with full debug information takes, the same findings.
asan() { preset asan && tests asan; }
tsan() { preset tsan && tests tsan; }
fuzz() { bash scripts/fuzz.sh 15; }
lint() { bash scripts/lint.sh; }
# Where its test programs cannot run, the 32-bit build makes only what ships
# (the DLL and zelkhost), which the static checks read; the test programs are
# the same sources the 64-bit build compiles and runs.
windows_x86_build() {
  if [ -z "$no_wine32" ]; then
    preset windows
  else
    cmake --preset windows && cmake --build --preset windows --target zelkforward zelkhost
  fi && ctest --preset windows-static
}
windows_x86_wine() { start_wine win32 windows && tests windows; }
windows_x64() { preset windows64 && start_wine win64 windows64 && tests windows64; }
packages() { bash scripts/package.sh; }

stage "Linux" native
stage "lint: clang-format over every C++ file, clang-tidy over src/ and tools/" lint
stage "Linux under AddressSanitizer and UndefinedBehaviorSanitizer" asan
stage "Linux under ThreadSanitizer" tsan
stage "fuzzers, a short run of each" fuzz

no_wine32=$(bash scripts/can-run-wine32.sh) && no_wine32=""
stage "32-bit Windows: build, exports, imports, version resource" windows_x86_build
if [ -z "$no_wine32" ]; then
  stage "32-bit Windows under Wine" windows_x86_wine
else
  echo
  echo "The 32-bit Windows tests do not run on this machine: $no_wine32"
  not_run "32-bit Windows under Wine" "$no_wine32"
fi
stage "64-bit Windows under wine64" windows_x64
stage "release packages, unpacked and tried" packages

echo
echo "== summary =="
printf '  %s\n' "${results[@]}"
echo "  total $SECONDS s"
exit "$failed"
