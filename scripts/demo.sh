#!/usr/bin/env bash
# The demo: builds the Linux library and the host driver when needed (preset
# "demo": no tests, so it installs only g++, CMake, Ninja and CLI11), then
# drives the library with zelkhost on the example configuration in a scratch
# folder and shows the target files and the trace log it produced.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo --target zelkhost zelkforward

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/out"
cp build/demo-native/bin/zelkhost build/demo-native/bin/zelkforward.so "$demo/"
cp examples/zelkforward.ini examples/jobs.txt examples/transactions.tsv "$demo/"
cd "$demo"

show() { printf '\n\033[1m$ %s\033[0m\n' "$*"; "$@" || true; }
show ./zelkhost info
show ./zelkhost check
show ./zelkhost run transactions.tsv
show ./zelkhost validate 100200 a12345 999999
show ./zelkhost validate --async 100201 B77310 nope
for file in out/*.txt trace.log; do
  printf '\n\033[1m== %s ==\033[0m\n' "$file"
  tr -d '\r' < "$file"
done
echo
echo "The demo's files are in build/demo."
