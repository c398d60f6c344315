#!/usr/bin/env bash
# The stream, frame-format, error-text and C++-layer suites under ThreadSanitizer and, against
# the Windows DLL, under Wine. (The whole suites run in scripts/test.sh; this adds the TSan pass
# over the threaded parts.) KEPRA_TEST_INDEX picks the device index, as for every suite.
set -euo pipefail
cd "$(dirname "$0")/.."
export KEPRA_TEST_INDEX=${KEPRA_TEST_INDEX:-12}
filter='Stream*:CppWrapper*:FrameFormat*:ErrorText*:LibraryVersion*'
cmake --preset linux-tsan >/dev/null
cmake --build --preset linux-tsan --target kepra_api_tests
build/linux-tsan/tests/kepra_api_tests --gtest_brief=1 --gtest_filter="$filter"
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target kepra_api_tests
(cd build/win64 && ctest -R 'wine_server|kepra_api_tests' --output-on-failure)
