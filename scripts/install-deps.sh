#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian machine. As root it
# installs whatever is missing with apt-get; otherwise it prints the exact
# install line and fails.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev libcli11-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

install_line="dpkg --add-architecture i386 && apt-get update && apt-get install -y ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  echo "  $install_line" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
dpkg --add-architecture i386
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
