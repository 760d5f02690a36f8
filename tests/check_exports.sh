#!/usr/bin/env bash
# Checks what the plug-in shows its host and what it needs from the system:
# exactly the nine entry points, and (on Windows) only system DLLs imported.
# Usage: check_exports.sh posix|windows LIBRARY
set -euo pipefail
platform=$1
library=$2
expected="ExecuteService ForwardTransaction ForwardTransaction2 GetAPIVersion GetServiceName IsJobnoValid Properties SetCallback StopService"

if [ "$platform" = posix ]; then
  exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
else
  dump=$(i686-w64-mingw32-objdump -p "$library")
  # The name table, in ordinal order: [i] Name.
  exported=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[ \t]*\[ *[0-9]+\]/ {print $NF}' |
    tr '\n' ' ' | sed 's/ $//')
  imports=$(echo "$dump" | awk '/DLL Name:/ {print $3}' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
  echo "imports: $imports"
  for dll in $imports; do
    case "$dll" in
      kernel32.dll|user32.dll|shell32.dll|version.dll|msvcrt.dll|advapi32.dll|ntdll.dll) ;;
      *) echo "FAIL: imports $dll, which a bare Windows does not have"; exit 1 ;;
    esac
  done
  # Ordinals 1 to 9 in alphabetical order of the names.
  ordinals=$(echo "$dump" | sed -n '/Export Address Table/,/^\[Ordinal/p' | grep -c '+base\[')
  [ "$ordinals" -eq 9 ] || { echo "FAIL: $ordinals ordinals, expected 9"; exit 1; }
fi
echo "exports: $exported"
[ "$exported" = "$expected" ] || { echo "FAIL: expected exports: $expected"; exit 1; }
echo "OK"
