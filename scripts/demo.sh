#!/usr/bin/env bash
# Builds kepra, starts a virtual camera and runs the first-contact sample against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset linux-release >/dev/null
cmake --build --preset linux-release

export KEPRA_DEVICE_DIR="$(mktemp -d /tmp/kepra-demo-XXXXXX)"
build/linux-release/virtcam/kepra-virtcam --dir "$KEPRA_DEVICE_DIR" --camera 0:4 --debug &
virtcam=$!
trap 'kill $virtcam 2>/dev/null; wait $virtcam 2>/dev/null; rm -rf "$KEPRA_DEVICE_DIR"' EXIT
for _ in $(seq 50); do
  [ -S "$KEPRA_DEVICE_DIR/90bcde2c-e6de-4cf2-b43c-d0850c4d4700" ] && break
  sleep 0.1
done

echo "== first_contact against the virtual camera in $KEPRA_DEVICE_DIR"
build/linux-release/examples/first_contact 0
