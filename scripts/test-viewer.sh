#!/bin/sh
# CI step for kepra view: its unit tests, the server in-process against the rig, then the page
# in headless Chromium against kepra-virtcam. Needs the apt packages chromium,
# libturbojpeg0-dev and libspng-dev (the tests' independent JPEG and PNG decoders), node 20 and
# npm. (Under Wine, kepra_view_server_tests runs with the win64 preset's ctest.)
#   KEPRA_VIEW_PRESET   CMake preset to build with (default linux-debug)
#   KEPRA_VIEW_INDEX    first of the four device indices the tests use (default 23)
set -eu
cd "$(dirname "$0")/.."
preset=${KEPRA_VIEW_PRESET:-linux-debug}

missing=""
command -v chromium >/dev/null 2>&1 || missing="$missing chromium"
pkg-config --exists libturbojpeg 2>/dev/null || missing="$missing libturbojpeg0-dev"
pkg-config --exists spng 2>/dev/null || missing="$missing libspng-dev"
if [ -n "$missing" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y $missing
fi

[ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset"
cmake --build --preset "$preset" --target kepra_cli kepra-virtcam kepra_view_tests \
  kepra_view_server_tests
"build/$preset/tools/kepra/view/kepra_view_tests" --gtest_brief=1
KEPRA_TEST_INDEX=${KEPRA_TEST_INDEX:-${KEPRA_VIEW_INDEX:-23}} \
  "build/$preset/tests/view/kepra_view_server_tests" --gtest_brief=1

cd tests/view
npm ci --no-audit --no-fund
KEPRA_VIEW_BUILD="$(cd ../.. && pwd)/build/$preset" npm test
