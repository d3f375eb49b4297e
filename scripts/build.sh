#!/usr/bin/env bash
# In-place development build in build/, warnings as errors; rebuilds what is stale.
# Debian's meson is named outright: it runs under /usr/bin/python3, and the
# python it runs under is the one the module is built for.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
meson=/usr/bin/meson

werror_on() {
  "$meson" introspect build --buildoptions 2>/dev/null | /usr/bin/python3 -c '
import json, sys
sys.exit(0 if any(o["name"] == "werror" and o["value"] is True for o in json.load(sys.stdin)) else 1)'
}

if [ ! -f build/build.ninja ] || [ ! -f build/meson-private/coredata.dat ]; then
  # Missing or half made (an interrupted setup): start afresh.
  rm -rf build
  "$meson" setup build -Dwerror=true >/dev/null
elif ! werror_on; then
  # Configured by hand without -Dwerror=true.
  "$meson" setup --reconfigure build -Dwerror=true >/dev/null
fi
"$meson" compile -C build
