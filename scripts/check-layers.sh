#!/bin/sh
# The include check of the layers (scripts/check-layers.py), and a check of the check: in a
# scratch copy of the sources, includes that cross the layers the wrong way must each be
# reported. Needs python3 only.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

python3 "$here/check-layers.py" --root "$root"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for dir in src virtcam tools examples include; do cp -R "$root/$dir" "$scratch/$dir"; done
# One wrong include per rule family: upward in the library, flash into the public API, a
# pure file into a device layer, the virtual camera into the library, a tool into src/.
printf '#include "api/export.h"\n' >>"$scratch/src/core/gain.cpp"
printf '#include "kepra/kepra.h"\n' >>"$scratch/src/flash/spi_flash.cpp"
printf '#include "device/device.h"\n' >>"$scratch/src/core/gain_math.cpp"
printf '#include "core/gain_math.h"\n' >>"$scratch/virtcam/frames.cpp"
printf '#include "driver/request.h"\n' >>"$scratch/tools/kepra/common.cpp"
printf '#include "platform/posix/handles.h"\n' >>"$scratch/src/protocol/protocol.h"
printf 'target_sources(kepra_vcam PRIVATE ${PROJECT_SOURCE_DIR}/src/core/gain_math.cpp)\n' \
  >>"$scratch/virtcam/CMakeLists.txt"
if python3 "$here/check-layers.py" --root "$scratch" >"$scratch/report" 2>&1; then
  echo "check-layers.sh: the check passed sources with forbidden includes" >&2
  exit 1
fi
for expected in "src/core/gain.cpp:.*src/core may not include src/api" \
                "src/flash/spi_flash.cpp:.*src/flash may not include public" \
                "src/core/gain_math.cpp:.*math may not include src/device" \
                "virtcam/frames.cpp:.*virtcam may not include math" \
                "tools/kepra/common.cpp:.*tools may not include src/driver" \
                "src/protocol/protocol.h:.*src/protocol may not include src/platform" \
                "virtcam/CMakeLists.txt:.*compiles the library's src/core/gain_math.cpp"; do
  if ! grep -q "$expected" "$scratch/report"; then
    echo "check-layers.sh: not reported: $expected" >&2
    cat "$scratch/report" >&2
    exit 1
  fi
done
echo "check-layers.sh: planted forbidden includes are reported"
