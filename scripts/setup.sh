#!/usr/bin/env bash
# Installs what building and testing kepra needs on Debian 12 (run as root or with sudo).
# Does nothing when everything is already there.
#   scripts/setup.sh          everything
#   scripts/setup.sh --base   only what the Linux build and the Python tests need
#   scripts/setup.sh --rest   the rest: the cross compilers, Wine, clang and Chromium, which
#                             take minutes on a fresh machine (the tests install them while
#                             the Linux build runs)
set -euo pipefail

base=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libspng-dev zlib1g-dev
  libturbojpeg0-dev
  python3-venv python3-numpy python3-pytest python3-pycparser
)
rest=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64 llvm
  clang libclang-rt-14-dev
  chromium
)
case ${1:-} in
  --base) packages=("${base[@]}") ;;
  --rest) packages=("${rest[@]}") ;;
  "") packages=("${base[@]}" "${rest[@]}") ;;
  *) echo "setup.sh: unknown option '$1' (expected --base or --rest)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The browser tests run on node 20 with npm (present on the build machines); Debian's own are
# the fallback.
if [ "${1:-}" != --base ] && { ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; }; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends nodejs npm
fi
