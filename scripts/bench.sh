#!/usr/bin/env bash
# Builds the release configuration of the benchmark suite and runs it: every figure beside its
# floor, then the summary table that bench/README.md keeps. Extra arguments go to kepra_bench,
# e.g. scripts/bench.sh --benchmark_filter=Frames
#
# The camera's lock mutex is machine-wide: set KEPRA_TEST_INDEX when others run tests at once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target kepra_bench
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')," \
     "$(uname -sr), $(c++ --version | head -1)"
exec build/linux-release/bench/kepra_bench --benchmark_repetitions=5 "$@"
