#!/bin/sh
# The installed tool starts without LD_LIBRARY_PATH, also after the tree is moved: its RUNPATH
# points from bin/ to the library beside it.
#   check_tool_install.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
mv "$tmp/prefix" "$tmp/moved"
unset LD_LIBRARY_PATH
"$tmp/moved/bin/kepra" --help >"$tmp/help"
grep -q "grab" "$tmp/help"
# No camera in an empty device directory: exit 3 from a tool that did start.
status=0
KEPRA_DEVICE_DIR="$tmp/none" "$tmp/moved/bin/kepra" -d 0 info 2>/dev/null || status=$?
test "$status" -eq 3
echo "installed kepra starts from a moved prefix"
