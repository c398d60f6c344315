#!/usr/bin/env bash
# Builds every configuration that the tests need and runs the whole test suite:
#   Layers:        no source includes a folder its layer may not use (scripts/check-layers.sh)
#   Linux (debug): the library, the virtual camera and all suites
#   Linux (ASan+UBSan): the same suites under the sanitizers (LeakSanitizer included)
#   Linux (TSan):  the library's suites (API, unit, allocation failure, stress)
#   Windows x64:   kepra.dll and the same API suites, run under Wine
#   Windows x86:   kepra.dll, its import libraries, kepra.exe and the ABI checks (32-bit
#                  programs do not run on this machine)
#   Python:        the kepra package installed offline into a venv, its tests against
#                  kepra-virtcam (after the Linux debug build)
#   Viewer:        kepra view's unit tests and its page in headless Chromium (puppeteer-core)
#   Fuzzing:       the libFuzzer targets side by side for FUZZ_SECONDS (default here 30) each
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
# Seconds since the start, so that the log shows where CI time goes.
stamp() { echo "== $1 ($(( $(date +%s) - start )) s)"; }

# The cross compilers, Wine, clang and Chromium take minutes to fetch and unpack on a fresh
# machine: they install in the background while the Linux build and its tests run.
stamp setup
scripts/setup.sh --base
mkdir -p build
scripts/setup.sh --rest >build/setup-rest.log 2>&1 &
rest_pid=$!
rest_ready() {
  wait "$rest_pid" || { cat build/setup-rest.log; echo "setup.sh --rest failed" >&2; exit 1; }
}

stamp layers
scripts/check-layers.sh

tsan_suites=(kepra_api_tests kepra_unit_tests kepra_alloc_tests kepra_stress_tests)
for preset in linux-debug linux-asan linux-tsan win64 win32; do
  stamp "$preset"
  cmake --preset "$preset" >/dev/null
  case $preset in
    win32)
      # 32-bit programs cannot run here: the DLL, its import libraries, C callers linked
      # against both and kepra.exe are what this build checks (the Windows runner workflow
      # builds and runs the suites).
      cmake --build --preset win32 --target kepra kepra_cli kepra_stdcall_client \
        kepra_stdcall_client_lib
      ctest --preset win32
      ;;
    linux-tsan)
      # Races live in the library, its lock and the stream engine: the suites that drive them
      # from several threads and processes. The tool and viewer suites run under ASan.
      cmake --build --preset linux-tsan --target "${tsan_suites[@]}"
      ctest --preset linux-tsan -R "^($(IFS='|'; echo "${tsan_suites[*]}"))\$"
      ;;
    *)
      cmake --build --preset "$preset"
      ctest --preset "$preset"
      ;;
  esac
  if [[ $preset == linux-debug ]]; then
    stamp python
    scripts/test-python.sh
    stamp "viewer (waits for setup.sh --rest)"
    rest_ready
    scripts/test-viewer.sh
  fi
done

stamp linux-fuzz
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz --target kepra_fuzzers
FUZZ_SECONDS=${FUZZ_SECONDS:-30} scripts/fuzz.sh
echo "== all done in $(( $(date +%s) - start )) s"
