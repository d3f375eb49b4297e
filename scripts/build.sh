#!/usr/bin/env bash
# In-place development build in build/, warnings as errors; rebuilds what is stale.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ ! -f build/build.ninja ]; then
  rm -rf build
  meson setup build -Dwerror=true >/dev/null
fi
meson compile -C build
