#!/usr/bin/env bash
# In-place development build in build/, warnings as errors; rebuilds what is stale.
# Debian's meson is named outright: it runs under /usr/bin/python3, and the
# python it runs under is the one the module is built for.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
meson=/usr/bin/meson

# Warnings as errors, and no C++ exceptions (the project's default, which an
# older build folder may predate).
options_as_wanted() {
  "$meson" introspect build --buildoptions 2>/dev/null | /usr/bin/python3 -c '
import json, sys
options = {o["name"]: o["value"] for o in json.load(sys.stdin)}
sys.exit(0 if options.get("werror") is True and options.get("cpp_eh") == "none" else 1)'
}

if [ ! -f build/build.ninja ] || [ ! -f build/meson-private/coredata.dat ] || ! options_as_wanted; then
  # Missing, half made (an interrupted setup) or configured otherwise by
  # hand: start afresh, since meson 1.0 keeps a folder's first options.
  rm -rf build
  "$meson" setup build -Dwerror=true >/dev/null
fi
"$meson" compile -C build
bash scripts/no_cxx_runtime.sh build/tarvello/custom/model_data/bucket.cpython-*.so
