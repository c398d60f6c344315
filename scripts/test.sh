#!/usr/bin/env bash
# Builds every configuration that the tests need and runs the whole test suite:
#   Linux (debug): the library, the virtual camera and all suites
#   Linux (ASan+UBSan, TSan): the same suites under the sanitizers (LeakSanitizer included)
#   Windows x64:   kepra.dll and the same API suites, run under Wine
#   Windows x86:   kepra.dll, its import libraries and the ABI checks (32-bit programs do
#                  not run on this machine)
#   Fuzzing:       each libFuzzer target for FUZZ_SECONDS (default 30) from its seed corpus
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
start=$(date +%s)

for preset in linux-debug linux-asan linux-tsan win64 win32; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== linux-fuzz"
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in fuzz_exports fuzz_vcam_requests; do
  # The committed corpus is the seed; what the run adds stays in a scratch copy.
  mkdir -p "$work/$target"
  cp fuzz/corpus/$target/* "$work/$target/"
  # Per-input leak checks are off: the virtual camera's connection threads end after the
  # input that closed them and would be reported; the ASan suites check the library for leaks.
  build/linux-fuzz/fuzz/$target -max_total_time="${FUZZ_SECONDS:-30}" -detect_leaks=0 \
    -print_final_stats=1 "$work/$target" >"$work/$target.log" 2>&1 ||
    { tail -n 60 "$work/$target.log"; exit 1; }
  grep -E '^stat::number_of_executed_units' "$work/$target.log"
done
echo "== all done in $(( $(date +%s) - start )) s"
