#!/bin/sh
# kepra view's figures: 1280x1024 at 30 fps delivered to headless Chromium, the server's CPU and
# the grab-to-canvas latency, beside their goals. Builds the release preset first.
#   scripts/bench-viewer.sh [SECONDS]   (KEPRA_VIEW_INDEX: device index, default 23)
set -eu
cd "$(dirname "$0")/.."
[ -f build/linux-release/CMakeCache.txt ] || cmake --preset linux-release
cmake --build --preset linux-release --target kepra_cli kepra-virtcam kepra_view_bench
# What one frame costs each stage, in CPU time (independent of the machine's load).
build/linux-release/tools/kepra/view/kepra_view_bench
[ -d tests/view/node_modules/puppeteer-core ] || (cd tests/view && npm ci --no-audit --no-fund)
uptime
KEPRA_VIEW_BUILD="$(pwd)/build/linux-release" node bench/view/bench.mjs "${1:-20}"
uptime
