#!/usr/bin/env bash
# Builds every configuration that the tests need and runs the whole test suite:
#   Linux (debug): the library, the virtual camera and all suites
#   Windows x64:   kepra.dll and the same API suites, run under Wine
#   Windows x86:   kepra.dll, its import libraries and the ABI checks (32-bit programs do
#                  not run on this machine)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

for preset in linux-debug win64 win32; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
