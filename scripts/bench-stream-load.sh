#!/usr/bin/env bash
# Runs the stream benchmarks beside N busy loops, so that their figures under load can be
# reproduced: scripts/bench-stream-load.sh N [kepra_bench arguments]
# (default: --benchmark_filter=Stream). Each loop is a shell spinning at nice 0 in a session
# of its own (as another user's program would be, so the kernel's per-session grouping does
# not charge it to the benchmark). Prints the load average before and after. Runs the release
# build (scripts/bench.sh builds it), or the kepra_bench that KEPRA_BENCH names.
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:?usage: $0 N [kepra_bench arguments]}
shift
[ $# -gt 0 ] || set -- --benchmark_filter=Stream
bench=${KEPRA_BENCH:-build/linux-release/bench/kepra_bench}
[ -x "$bench" ] || { echo "$bench not built: run scripts/bench.sh first" >&2; exit 2; }
pids=()
stop() { [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true; }
trap stop EXIT
for _ in $(seq 1 "$n"); do
  setsid sh -c 'while :; do :; done' &
  pids+=($!)
done
sleep 5  # let the load average start to show them
echo "busy loops: $n; before: $(uptime)"
status=0
"$bench" "$@" || status=$?
echo "busy loops: $n; after: $(uptime)"
exit $status
