#!/bin/sh
# Installs the build into a scratch prefix and builds an application against it twice: with
# CMake's find_package and with pkg-config. Then the installed tool starts without
# LD_LIBRARY_PATH from the moved tree: its RUNPATH points from bin/ to the library beside it.
#   check_install.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$source/tests/install" -B "$tmp/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
libdir=$(dirname "$(find "$tmp/prefix" -name 'libkepra.so.1' | head -n1)")
PKG_CONFIG_PATH="$libdir/pkgconfig" cc -o "$tmp/app" "$source/tests/abi/stdcall_client.c" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kepra)
# Both link the installed library, found through its soname.
LD_LIBRARY_PATH="$libdir" ldd "$tmp/app" | grep -q "libkepra.so.1 => $libdir"
LD_LIBRARY_PATH="$libdir" ldd "$tmp/consumer/consumer" | grep -q "libkepra.so.1 => $libdir"
echo "installed kepra found by find_package and pkg-config"
mv "$tmp/prefix" "$tmp/moved"
unset LD_LIBRARY_PATH
"$tmp/moved/bin/kepra" --help | grep -q "grab"
# No camera in an empty device directory: exit 3 from a tool that did start.
status=0
KEPRA_DEVICE_DIR="$tmp/none" "$tmp/moved/bin/kepra" -d 0 info 2>/dev/null || status=$?
test "$status" -eq 3
echo "installed kepra starts from a moved prefix"
