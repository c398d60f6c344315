#!/usr/bin/env bash
# Builds every configuration that the tests need and runs the whole test suite:
#   Linux (debug): the library, the virtual camera and all suites
#   Linux (ASan+UBSan, TSan): the same suites under the sanitizers (LeakSanitizer included)
#   Windows x64:   kepra.dll and the same API suites, run under Wine
#   Windows x86:   kepra.dll, its import libraries and the ABI checks (32-bit programs do
#                  not run on this machine)
#   Python:        the kepra package installed offline into a venv, its tests against
#                  kepra-virtcam (after the Linux debug build)
#   Viewer:        kepra view's unit tests and its page in headless Chromium (puppeteer-core)
#   Fuzzing:       the libFuzzer targets side by side for FUZZ_SECONDS (default 60) each
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
start=$(date +%s)
# Seconds since the start, so that the log shows where CI time goes.
stamp() { echo "== $1 ($(( $(date +%s) - start )) s)"; }

for preset in linux-debug linux-asan linux-tsan win64 win32; do
  stamp "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  if [[ $preset == linux-debug ]]; then
    stamp python
    scripts/test-python.sh
    stamp viewer
    scripts/test-viewer.sh
  fi
done

stamp linux-fuzz
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz
scripts/fuzz.sh
echo "== all done in $(( $(date +%s) - start )) s"
