#!/usr/bin/env bash
# Builds both platforms from this tree and runs every test on both: natively
# (plain, under ASan with UBSan, and under TSan, plus a short run of every
# fuzzer), and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== native (Linux) =="
cmake --preset native
cmake --build --preset native
ctest --preset native

echo "== native under AddressSanitizer and UndefinedBehaviorSanitizer =="
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

echo "== native under ThreadSanitizer =="
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

echo "== fuzzers, a short run of each =="
bash scripts/fuzz.sh 15

echo "== windows (mingw-w64 i686, under Wine) =="
cmake --preset windows
cmake --build --preset windows
export ZELK_WINEPREFIX="$PWD/build/windows/wineprefix"
# The first start of a prefix takes a while; do it once, before the tests.
WINEPREFIX="$ZELK_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32 \
  wineboot -i >/dev/null 2>&1 || true
ctest --preset windows
