#!/usr/bin/env bash
# Unpacks every package in DIR into a fresh folder and, from there, runs the
# commands its INSTALL.txt gives for trying it, as they stand, on the example
# configuration it carries: the Linux package natively, the zips under Wine.
# Where this machine cannot run 32-bit programs, or 32-bit Wine is not
# installed, the 32-bit package is only unpacked and looked at, and the script
# says why; it fails only for what it could run.
# Usage: package_test.sh DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$(cd "$1" && pwd)
failed=0

no_32bit=$(bash "$root/scripts/can-run-wine32.sh") && no_32bit=""

fail() {
  echo "FAIL: $1: $2"
  failed=1
  package_failed=1
}

# test_package FILE RUNNER...: what an administrator does first with it.
test_package() {
  local package=$1
  shift
  local runner=("$@")
  local name
  name=$(basename "$package")
  name=${name%.zip}
  name=${name%.tar.gz}
  package_failed=0
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-package-XXXXXX")
  (cd "$work" && cmake -E tar xf "$package") || { fail "$name" "cannot be unpacked"; return; }
  local folder="$work/$name"
  for file in zelkforward.ini jobs.txt transactions.tsv INSTALL.txt README.txt \
    docs/configuration.md docs/trace-log.md docs/architecture.md; do
    [ -f "$folder/$file" ] || fail "$name" "lacks $file"
  done
  [ -d "$folder/out" ] || fail "$name" "lacks the folder out/"
  # What an administrator opens on Windows has CR LF line ends throughout.
  if [[ "$name" == *windows* ]]; then
    for file in zelkforward.ini jobs.txt transactions.tsv INSTALL.txt README.txt \
      docs/configuration.md docs/trace-log.md docs/architecture.md; do
      [ -f "$folder/$file" ] && grep -q $'[^\r]$\|^$' "$folder/$file" &&
        fail "$name" "$file has a line without CR LF"
    done
  fi
  local host=./zelkhost
  [ -f "$folder/zelkhost.exe" ] && host=./zelkhost.exe
  [ -f "$folder/$host" ] || fail "$name" "lacks $host"
  # The Linux binaries carry their C++ runtime, as INSTALL.txt says.
  if [ "$host" = ./zelkhost ]; then
    local needed
    needed=$(objdump -p "$folder/zelkhost" "$folder/zelkforward.so" | grep NEEDED)
    [[ "$needed" != *libstdc++* && "$needed" != *libgcc_s* ]] ||
      fail "$name" "its binaries need the C++ runtime of the machine: $needed"
  fi
  if [ "${runner[0]:-}" = "not-run" ]; then
    echo "$name: unpacked and complete; its programs not run: ${runner[*]:1}"
    rm -rf "$work"
    return
  fi
  cd "$folder"
  # Every command of INSTALL.txt that needs no installed library, pasted as it
  # stands (./zelkhost ... or .\zelkhost.exe ...), must succeed; so must its
  # check of a new configuration, with this folder standing for the host's
  # plug-in and working folders and the example copied as the new file.
  cp zelkforward.ini zelkforward.new.ini
  local commands=0 line out
  while IFS= read -r line; do
    line=${line%$'\r'}
    [[ "$line" =~ ^\ +(\./zelkhost|\.\\zelkhost\.exe)\ (.*)$ ]] || continue
    local arguments=${BASH_REMATCH[2]}
    if [[ "$arguments" == check\ *--library* ]]; then
      arguments=${arguments//\/opt\/host\/plugins\//.\/}
      arguments=${arguments//C:\\Host\\Plugins\\/.\\}
      arguments=${arguments//--workdir \/opt\/host/--workdir .}
      arguments=${arguments//--workdir C:\\Host/--workdir .}
    fi
    [[ "$arguments" == *--library* && "$arguments" != check\ * ]] && continue
    commands=$((commands + 1))
    # shellcheck disable=SC2086  # the arguments as a shell splits them
    out=$("${runner[@]}" "$host" $arguments 2>&1 </dev/null) ||
      fail "$name" "INSTALL.txt's \"$line\" failed: $out"
    case "$arguments" in
      info) [[ "$out" == *"Quillet Zelk v[1.05rc12]"* ]] || fail "$name" "zelkhost info: $out" ;;
      *--quiet*) [ -z "$out" ] || fail "$name" "zelkhost $arguments: $out" ;;
      check*) [[ "$out" == *"No problems found."* ]] || fail "$name" "zelkhost $arguments: $out" ;;
      run*)
        [[ "$out" == *" transactions sent, 0 lines skipped"* && "$out" == *", 0 not written"* ]] ||
          fail "$name" "zelkhost run: $out"
        ;;
    esac
  done < INSTALL.txt
  [ "$commands" -ge 6 ] || fail "$name" "INSTALL.txt gives $commands commands to try, not 6"
  local files
  files=$(find out -name '*.txt' | wc -l)
  [ "$files" -gt 0 ] && grep -q -- '-- SUCCESS' trace.log || fail "$name" "zelkhost run wrote no targets"
  [ "$package_failed" -eq 0 ] &&
    echo "$name: info, check and run passed ($files target files, $(wc -l < trace.log) log lines)"
  cd "$root"
  rm -rf "$work"
}

if [ -f "$dist/SHA256SUMS" ]; then
  (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "dist" "SHA256SUMS does not match the packages"
fi
shopt -s nullglob
packages=("$dist"/zelkforward-*)
[ ${#packages[@]} -eq 3 ] || fail "dist" "expected 3 packages, found ${#packages[@]}"
for package in "${packages[@]}"; do
  case "$package" in
    *-linux-*) test_package "$package" ;;
    *-windows-x64.zip)
      test_package "$package" "$root/cmake/wine-run.sh" win64 "$root/build/windows64/wineprefix" ;;
    *-windows-x86.zip)
      if [ -n "$no_32bit" ]; then
        echo "The 32-bit package's programs do not run on this machine: $no_32bit"
        test_package "$package" not-run "$no_32bit"
      else
        test_package "$package" "$root/cmake/wine-run.sh" win32 "$root/build/windows/wineprefix"
      fi
      ;;
    *) fail "$(basename "$package")" "is no package of ours" ;;
  esac
done
[ "$failed" -eq 0 ] && echo "packages OK"
exit "$failed"
