#!/usr/bin/env bash
# Two host processes keep lines for the same away target in one spool folder;
# when it is back, zelkhost spool --deliver brings every line once, each
# process's lines in their order. Usage: two_processes_spool.sh ZELKHOST
# LIBRARY [RUNNER...] (RUNNER... runs a Windows program, e.g. the Wine wrapper
# and its arguments; nothing natively).
set -euo pipefail
zelkhost=$1
library=$2
shift 2
runner=("$@")
per_process=300

work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-two-spool-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$zelkhost" "$library" "$work/"
cd "$work"
mkdir spool
host=./$(basename "$zelkhost")
config="${library##*/}"
config="${config%.*}.ini"
printf '[Log]\r\nFileName=trace.log\r\nMaxLines=-1\r\n[ForwardTransaction]\r\nTarget1=away/shared.txt\r\nFormat1=%%@03 %%@01\r\nSpoolFolder=spool\r\n' > "$config"
for process in a b; do
  awk -v p=$process -v n=$per_process 'BEGIN { for (i = 1; i <= n; i++)
    printf "%d\tJ1\t261208\t101010\t%s\t\t\t\t\t\t1\t0\n", i, p }' > "$process.tsv"
done
"${runner[@]}" "$host" run a.tsv > a.out &
first=$!
"${runner[@]}" "$host" run b.tsv > b.out
wait "$first"
[ ! -e away ] || { echo "FAIL: the target's folder appeared"; exit 1; }
mkdir away
"${runner[@]}" "$host" spool --deliver > deliver.out || { cat deliver.out; echo "FAIL: lines still wait"; exit 1; }

expected=$((2 * per_process))
lines=$(tr -d '\r' < away/shared.txt | sort -u | wc -l)
total=$(tr -d '\r' < away/shared.txt | wc -l)
# Each process's numbers 1, 2, ... in file order.
ordered=$(tr -d '\r' < away/shared.txt | awk '{ if ($2 != last[$1] + 1) bad++; last[$1] = $2 }
  END { print (bad == 0 && last["a"] == n && last["b"] == n) ? "yes" : "no" }' n=$per_process)
spooled=$(grep -c -- '-- SPOOLED' trace.log || true)
echo "target: $total lines, $lines distinct, in order: $ordered; $spooled SPOOLED lines"
[ "$lines" -eq "$expected" ] && [ "$total" -eq "$expected" ] && [ "$ordered" = yes ] &&
  [ "$spooled" -eq "$expected" ] && [ -z "$(ls spool)" ] || { echo "FAIL"; exit 1; }
echo OK
