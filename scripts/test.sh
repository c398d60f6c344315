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
# The suites use about one core and the compiler two: each configuration after the first
# builds while the one before it runs its tests (in a session of its own and niced, so that
# the tests keep their share of the machine; its output goes to build/<preset>-build.log and
# is shown when it fails).
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
# Races live in the library, its lock and the stream engine: ThreadSanitizer builds and runs the
# suites that drive them from several threads and processes; the tool and viewer suites run
# under ASan. 32-bit programs cannot run here: the win32 build checks the DLL, its import
# libraries, C callers linked against both and kepra.exe (the Windows runner workflow builds and
# runs the suites).
targets_of() {
  case $1 in
    linux-tsan) echo "${tsan_suites[@]}" ;;
    win32) echo kepra kepra_cli kepra_stdcall_client kepra_stdcall_client_lib ;;
    linux-fuzz) echo kepra_fuzzers ;;
  esac
}
build_pid=
prebuild() {  # preset...: configure and build them one after the other, in the background
  (
    for preset in "$@"; do
      cmake --preset "$preset" >/dev/null
      targets=$(targets_of "$preset")
      setsid -w nice -n 10 cmake --build --preset "$preset" ${targets:+--target $targets}
    done
  ) >"build/${1}-build.log" 2>&1 &
  build_pid=$!
  build_log="build/${1}-build.log"
}
built() {
  wait "$build_pid" || { cat "$build_log"; echo "the build of $1 failed" >&2; exit 1; }
  stamp "$1 built"
}
run_tests() {
  stamp "$1 tests"
  case $1 in
    linux-tsan) ctest --preset linux-tsan -R "^($(IFS='|'; echo "${tsan_suites[*]}"))\$" ;;
    *) ctest --preset "$1" ;;
  esac
}

stamp linux-debug
cmake --preset linux-debug >/dev/null
cmake --build --preset linux-debug
prebuild linux-asan
run_tests linux-debug
stamp python
scripts/test-python.sh
stamp "viewer (waits for setup.sh --rest)"
rest_ready
scripts/test-viewer.sh
built linux-asan

prebuild linux-tsan
run_tests linux-asan
built linux-tsan

prebuild win64
run_tests linux-tsan
built win64

prebuild win32 linux-fuzz
run_tests win64
built "win32 and linux-fuzz"
run_tests win32

stamp fuzzing
FUZZ_SECONDS=${FUZZ_SECONDS:-30} scripts/fuzz.sh
echo "== all done in $(( $(date +%s) - start )) s"
