#!/usr/bin/env bash
# The Python package's CI step: builds the library and the virtual camera (linux-debug preset)
# if needed, installs ./python with pip into a fresh venv of Debian's interpreter (no package
# index: the build backend is in the tree), and runs the package's tests against the installed
# copy. Needs the Debian packages python3-venv python3-numpy python3-pytest python3-pycparser.
#   KEPRA_TEST_INDEX  first of four device indices the tests may use (default 14)
#   PYTEST_ARGS       extra pytest arguments
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
python=/usr/bin/python3  # Debian's: `python3` on PATH may be another interpreter
start=$(date +%s)

build=build/linux-debug
if [[ ! -x $build/virtcam/kepra-virtcam || ! -e $build/src/libkepra.so.1 ]]; then
  [[ -f $build/build.ninja || -f $build/Makefile ]] || cmake --preset linux-debug >/dev/null
fi
# Cheap when up to date; rebuilds what changed otherwise.
cmake --build --preset linux-debug --target kepra-virtcam kepra

venv=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$venv" "$work"' EXIT
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --no-index --quiet "$repo/python"

export KEPRA_TEST_INDEX=${KEPRA_TEST_INDEX:-14}
export KEPRA_LIBRARY=$repo/$build/src/libkepra.so.1
export KEPRA_BUILD_DIR=$repo/$build
export KEPRA_EXPECT_INSTALLED=1
# From a directory outside the tree, so that `import kepra` finds the installed copy.
cd "$work"
status=0
"$venv/bin/python" -m pytest -p no:cacheprovider -q "$repo/python/tests" ${PYTEST_ARGS:-} || status=$?
# pytest exits 5 when it collected no tests: that is a failure here too.
if [[ $status -ne 0 ]]; then
  echo "== python tests FAILED (pytest exit $status) after $(( $(date +%s) - start )) s"
  exit 1
fi
echo "== python tests passed in $(( $(date +%s) - start )) s"
