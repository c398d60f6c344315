#!/usr/bin/env bash
# Runs the libFuzzer targets side by side, each from a scratch copy of its committed seed
# corpus, and prints each target's executions and rate. Build first: the linux-fuzz preset.
#   scripts/fuzz.sh                          FUZZ_SECONDS (default 60) per target
#   FUZZ_RUNS=10000000 scripts/fuzz.sh       until ten million executions per target
#   scripts/fuzz.sh fuzz_exports             one target only
# A crash, leak or hang (a single input running over 25 s) fails the run; its input is kept in
# the scratch directory named in the output and printed in base64 by the fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/linux-fuzz/fuzz
work=$(mktemp -d /tmp/kepra-fuzz-run.XXXXXX)
limit=(-max_total_time="${FUZZ_SECONDS:-60}")
[[ -n "${FUZZ_RUNS:-}" ]] && limit=(-runs="$FUZZ_RUNS")

targets=("$@")
[[ $# == 0 ]] && targets=(fuzz_exports fuzz_vcam_requests fuzz_view_messages fuzz_view_jpeg)
pids=()
for target in "${targets[@]}"; do
  # The committed corpus is the seed; what the run adds stays in the scratch copy.
  mkdir -p "$work/$target"
  cp fuzz/corpus/$target/* "$work/$target/"
  (cd "$work" && exec "$OLDPWD/$bin/$target" "${limit[@]}" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "$target" >"$target.log" 2>&1) &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target.log")
    echo "$target: $runs executions, $rate per second, no finding"
  else
    echo "$target: FAILED (log and input in $work)"
    tail -n 60 "$work/$target.log"
    failed=1
  fi
done
[[ $failed == 0 ]] && rm -rf "$work"
exit $failed
