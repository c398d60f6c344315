#!/usr/bin/env bash
# Builds kepra, starts a virtual camera and shows a session with the kepra tool against it:
# list, info, set exposure and frame rate, grab frames to PNG; then the first-contact sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset linux-release >/dev/null
# Only what the demo runs: the library, the virtual camera, the tool and the sample.
cmake --build --preset linux-release --target kepra-virtcam kepra_cli first_contact

build=build/linux-release
export KEPRA_DEVICE_DIR="$(mktemp -d /tmp/kepra-demo-XXXXXX)"
"$build/virtcam/kepra-virtcam" --dir "$KEPRA_DEVICE_DIR" --camera 0:4 >/dev/null &
virtcam=$!
trap 'kill $virtcam 2>/dev/null; wait $virtcam 2>/dev/null; rm -rf "$KEPRA_DEVICE_DIR"' EXIT
for _ in $(seq 50); do
  [ -S "$KEPRA_DEVICE_DIR/90bcde2c-e6de-4cf2-b43c-d0850c4d4700" ] && break
  sleep 0.1
done

kepra="$build/tools/kepra/kepra"
frames="$(mktemp -d /tmp/kepra-frames-XXXXXX)"
run() {
  echo
  echo "\$ kepra $*"
  "$kepra" "$@"
}
echo "== the kepra tool against the virtual camera in $KEPRA_DEVICE_DIR"
run list
run info
run set exposure-ms 10
run set frame-rate 25
run grab -n 5 --depth 16 -o "$frames/frame_%04d.png"
echo
echo "== frames written to $frames:"
ls -l "$frames"

echo
echo "== first_contact against the same camera"
"$build/examples/first_contact" 0
