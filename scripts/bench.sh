#!/usr/bin/env bash
# Builds every benchmark in release mode, runs each program once (each
# benchmark beside its floor, in the same run) and prints one table: the
# benchmark, its floor, their median times and the ratio, against the target.
#   bash scripts/bench.sh            the table on standard output
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh bench
command -v python3 >/dev/null || { echo "python3 is needed for the table" >&2; exit 1; }
cmake --preset bench >/dev/null
cmake --build --preset bench

out=build/bench/results
mkdir -p "$out"
for program in build/bench/bench/*_bench; do
  name=$(basename "$program")
  echo "running $name ..." >&2
  "$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=json > "$out/$name.json"
done
python3 scripts/bench_table.py "$out"
