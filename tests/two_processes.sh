#!/usr/bin/env bash
# Two host processes forward to the same target and write the same trace log:
# no line is lost and none is torn. Usage: two_processes.sh ZELKHOST LIBRARY [RUNNER...]
# (RUNNER... runs a Windows program, e.g. the Wine wrapper and its arguments;
# nothing natively).
set -euo pipefail
zelkhost=$1
library=$2
shift 2
runner=("$@")
per_process=3000

work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-two-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$zelkhost" "$library" "$work/"
cd "$work"
host=./$(basename "$zelkhost")
config="${library##*/}"
config="${config%.*}.ini"
printf '[Log]\r\nFileName=trace.log\r\nMaxLines=-1\r\n[ForwardTransaction]\r\nTarget1=shared.txt\r\nFormat1=%%@03 %%@01 %%@03\r\n' > "$config"
for process in a b; do
  awk -v p=$process -v n=$per_process 'BEGIN { for (i = 0; i < n; i++)
    printf "%d\tJ1\t261208\t101010\t%s\t\t\t\t\t\t1\t0\n", i, p }' > "$process.tsv"
done
"${runner[@]}" "$host" run a.tsv > a.out &
first=$!
"${runner[@]}" "$host" run b.tsv > b.out
wait "$first"

expected=$((2 * per_process))
lines=$(tr -d '\r' < shared.txt | sort -u | wc -l)
whole=$(tr -d '\r' < shared.txt | grep -c -E '^([ab]) [0-9]+ \1$' || true)
successes=$(grep -c -- '-- SUCCESS' trace.log || true)
torn=$(tr -d '\r' < trace.log | grep -v -c -E '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}-[.*]-' || true)
echo "target: $lines distinct lines, $whole whole; trace log: $successes SUCCESS lines, $torn torn"
[ "$lines" -eq "$expected" ] && [ "$whole" -eq "$expected" ] && [ "$successes" -eq "$expected" ] &&
  [ "$torn" -eq 0 ] || { echo "FAIL: expected $expected of each"; exit 1; }
echo OK
