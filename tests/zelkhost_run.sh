#!/usr/bin/env bash
# What zelkhost run and its command line tell a user: a run whose lines are
# not written ends with their count and exit status 1; a run that writes them
# all, with 0; a folder, an unknown command or option, with 2 and what is
# known. Usage: zelkhost_run.sh ZELKHOST LIBRARY [RUNNER...]
set -uo pipefail
zelkhost=$1
library=$2
shift 2
runner=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-run-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$zelkhost" "$library" "$work/"
cd "$work" || exit 1
host=./$(basename "$zelkhost")
config="${library##*/}"
config="${config%.*}.ini"
failed=0

# expect STATUS TEXT COMMAND...: COMMAND exits with STATUS and says TEXT.
expect() {
  local status=$1 text=$2
  shift 2
  local out actual
  out=$("${runner[@]}" "$host" "$@" 2>&1 </dev/null)
  actual=$?
  # Every command here says something, so a start that printed nothing at all
  # never reached zelkhost: under Wine this has been seen once in many runs
  # (status 1, no output, the prefix busy with the test before). Tried once
  # more, so the test speaks of zelkhost, not of Wine's start.
  if [ -z "$out" ] && [ ${#runner[@]} -gt 0 ]; then
    sleep 1
    out=$("${runner[@]}" "$host" "$@" 2>&1 </dev/null)
    actual=$?
  fi
  out=${out//$'\r'/}
  if [ "$actual" -ne "$status" ] || [[ "$out" != *"$text"* ]]; then
    echo "FAIL: zelkhost $*: exit $actual (expected $status), output:"
    echo "$out"
    echo "(expected to contain: $text)"
    failed=1
  fi
}

printf '1\tA1\t261208\t101010\tx\t\t\t\t\t\t1\t0\n2\tA2\t261208\t101011\tx\t\t\t\t\t\t1\t0\n' \
  > two.tsv
mkdir out
printf '[Log]\r\nFileName=trace.log\r\n[ForwardTransaction]\r\nFormat1=%%@01\r\nTarget1=out/a.txt\r\nFormat2=%%@01\r\nTarget2=missing/b.txt\r\n' \
  > "$config"
expect 1 "for this run: 2 lines written, 2 not written" run two.tsv
expect 1 "-- t[Could not open file]" run two.tsv
printf '[Log]\r\nFileName=trace.log\r\n[ForwardTransaction]\r\nFormat1=%%@01\r\nTarget1=out/a.txt\r\n' \
  > "$config"
expect 0 "for this run: 2 lines written, 0 not written" run two.tsv
# The counts hold whatever the trace log keeps: 10,000 transactions with the
# log held to its last 10 lines.
awk 'BEGIN { for (i = 1; i <= 10000; i++) printf "%d\tA%d\t261208\t101010\tx\t\t\t\t\t\t1\t0\n", i, i }' \
  > many.tsv
printf '[Log]\r\nFileName=trace.log\r\nMaxLines=10\r\n[ForwardTransaction]\r\nFormat1=%%@01\r\nTarget1=out/many.txt\r\n' \
  > "$config"
expect 0 "for this run: 10000 lines written, 0 not written, 0 spooled, 0 delivered; 10000 transactions received, 0 dropped" run many.tsv
# Every transaction dropped is a failed run.
printf '[Log]\r\nFileName=trace.log\r\n[ForwardTransaction]\r\nEnable=0\r\n' > "$config"
expect 1 "2 transactions received, 2 dropped" run two.tsv
expect 2 "is a folder; give run a file of transactions" run out
# A candidate checked in place of the live file, its relative names taken
# from the host's folder.
mkdir -p host/hostout
printf '[ForwardTransaction]\r\nFormat1=%%@01\r\nTarget1=hostout/c.txt\r\n' > candidate.ini
expect 0 "checked in place of" check --config candidate.ini --workdir host
expect 1 "candidate.ini:3:9: problem: the folder of the target hostout/c.txt does not exist" \
  check --quiet --config candidate.ini
expect 2 "The commands: run validate info check" frob
expect 2 "unknown command \"chek\"; did you mean check?" chek
expect 0 "zelkhost 1." --version
expect 2 "The options of check: --help --library --strict" check --libary x
expect 2 "cannot read nothing.tsv: No such file" run nothing.tsv
expect 2 "unknown option \"--help-none-such\"" --help-none-such
expect 0 "Exit status:" --help
[ "$failed" -eq 0 ] && echo OK
exit "$failed"
