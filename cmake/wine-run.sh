#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly and without the Mono and Gecko
# installers, in a prefix of its own per architecture.
#   wine-run.sh win32|win64 PREFIX PROGRAM [ARGS...]
# win32 runs 32-bit programs with Wine's 32-bit loader, win64 runs 64-bit
# programs with wine64 alone, so the 64-bit tests need nothing 32-bit.
set -euo pipefail
arch=$1
export WINEPREFIX=$2
shift 2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=$arch
case "$arch" in
  win32) exec wine "$@" ;;
  win64)
    export WINELOADER=/usr/lib/wine/wine64
    exec "$WINELOADER" "$@"
    ;;
  *) echo "wine-run.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
