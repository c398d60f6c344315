#!/bin/sh
# kepra view's figures: 1280x1024 at 30 fps delivered to headless Chromium, the server's CPU and
# the grab-to-canvas latency, beside their goals. Builds the release preset first.
#   scripts/bench-viewer.sh [SECONDS]   (KEPRA_VIEW_INDEX: device index, default 23)
set -eu
cd "$(dirname "$0")/.."
[ -f build/linux-release/CMakeCache.txt ] || cmake --preset linux-release
cmake --build --preset linux-release --target kepra_cli kepra-virtcam
cd tests/view
[ -d node_modules/puppeteer-core ] || npm ci --no-audit --no-fund
KEPRA_VIEW_BUILD="$(cd ../.. && pwd)/build/linux-release" node bench.mjs "${1:-20}"
