#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, quietly and
# without the Mono and Gecko installers. ZELK_WINEPREFIX names the prefix.
export WINEPREFIX="${ZELK_WINEPREFIX:-${TMPDIR:-/tmp}/zelkforward-wine}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
exec wine "$@"
