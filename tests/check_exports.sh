#!/usr/bin/env bash
# Checks what the plug-in shows its host and what it needs from the system,
# without running it: exactly the nine entry points; on Windows also their
# ordinals, only system DLLs imported, and the version resource.
# Usage: check_exports.sh posix LIBRARY
#        check_exports.sh windows LIBRARY OBJDUMP OBJCOPY VERSION VERSION_TEXT
# (OBJDUMP and OBJCOPY of the library's own architecture; VERSION a.b.c.d.)
set -euo pipefail
platform=$1
library=$2
expected="ExecuteService ForwardTransaction ForwardTransaction2 GetAPIVersion GetServiceName IsJobnoValid Properties SetCallback StopService"

fail() { echo "FAIL: $*"; exit 1; }

# The bytes of TEXT as UTF-16 LE, in lowercase hex without spaces.
utf16_hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n' | sed 's/\(..\)/\100/g'; }

# A 32-bit number as little-endian hex bytes.
le32_hex() { printf '%08x' "$1" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/'; }

# The version resource: the fixed record's file version a.b.c.d and the texts
# a host or the service reads from it.
check_version_resource() {
  local objcopy=$1 version=$2 version_text=$3
  local a b c d
  IFS=. read -r a b c d <<<"$version"
  local resources
  resources=$(mktemp)
  trap 'rm -f "$resources"' RETURN
  "$objcopy" -O binary --only-section=.rsrc "$library" "$resources"
  local hex
  hex=$(od -An -v -tx1 "$resources" | tr -d ' \n')
  # VS_FIXEDFILEINFO: signature 0xFEEF04BD, structure version 1.0, then the
  # file version's most and least significant words.
  local fixed
  fixed="bd04effe$(le32_hex 0x00010000)$(le32_hex $(((a << 16) | b)))$(le32_hex $(((c << 16) | d)))"
  [[ "$hex" == *"$fixed"* ]] || fail "no fixed file-version record for $version"
  for text in "$version_text" "In conformance with 'Zelk API v[1.00] v[1.01] v[1.02]'"; do
    [[ "$hex" == *"$(utf16_hex "$text")"* ]] || fail "version resource lacks the text: $text"
  done
  echo "version resource: $version, \"$version_text\""
}

if [ "$platform" = posix ]; then
  exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
else
  objdump=$3
  dump=$("$objdump" -p "$library")
  # The name table, in ordinal order: [i] Name.
  exported=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[ \t]*\[ *[0-9]+\]/ {print $NF}' |
    tr '\n' ' ' | sed 's/ $//')
  imports=$(echo "$dump" | awk '/DLL Name:/ {print $3}' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
  echo "imports: $imports"
  for dll in $imports; do
    case "$dll" in
      kernel32.dll|user32.dll|shell32.dll|version.dll|msvcrt.dll|advapi32.dll|ntdll.dll) ;;
      *) fail "imports $dll, which a bare Windows does not have" ;;
    esac
  done
  # Ordinals 1 to 9 in alphabetical order of the names.
  ordinals=$(echo "$dump" | sed -n '/Export Address Table/,/^\[Ordinal/p' | grep -c '+base\[')
  [ "$ordinals" -eq 9 ] || fail "$ordinals ordinals, expected 9"
  check_version_resource "$4" "$5" "$6"
fi
echo "exports: $exported"
[ "$exported" = "$expected" ] || fail "expected exports: $expected"
echo "OK"
