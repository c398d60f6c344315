#!/usr/bin/env bash
# Builds every configuration that the tests need and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== Linux (debug)"
cmake --preset linux-debug >/dev/null
cmake --build --preset linux-debug
ctest --preset linux-debug
