#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzzers", clang with ASan and UBSan) and
# runs each for SECONDS_PER_TARGET seconds (default 15) on a fresh copy of its
# seed corpus under build/fuzz, so the committed corpus never grows. Fails when
# any target reports a finding (a broken property, a sanitizer report, a
# timeout or running out of memory); the inputs that caused it are kept under
# build/fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh          about a minute in all
#   scripts/fuzz.sh 600      a longer run
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-15}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 [SECONDS_PER_TARGET]" >&2
  exit 2
fi

cmake --preset fuzzers >/dev/null
cmake --build --preset fuzzers

work=build/fuzz
# Inputs longer than these only slow a target down without reaching new code:
# a format line, a configuration file, a list line, a small text file (the
# trim target makes long files from a short header of its own).
declare -A max_len=(
  [extformat_fuzz]=1024
  [config_fuzz]=2048
  [job_field_fuzz]=256
  [trim_fuzz]=512
)
targets=(extformat_fuzz config_fuzz job_field_fuzz trim_fuzz)

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="$work/corpus/$target"
  artifacts="$work/artifacts/$target"
  log="$work/logs/$target.log"
  rm -rf "$corpus"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  cp fuzz/corpus/"$target"/* "$corpus"/
  echo "== $target: ${seconds}s"
  status=0
  "$work/fuzzers/$target" "$corpus" \
    -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    summary+=("$target: FINDING after ${executions:-?} executions (exit $status), see $log")
    grep -E -A 12 'property broken|ERROR: |runtime error|SUMMARY' "$log" | head -n 40 || true
  else
    summary+=("$target: ${executions:-?} executions, no finding")
  fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -ne 0 ]; then
  echo "findings in: ${failed[*]}" >&2
  exit 1
fi
