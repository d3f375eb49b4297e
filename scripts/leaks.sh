#!/usr/bin/env bash
# Leak checks: builds the module against Debian's debug interpreter
# (python3.11-dbg: /usr/bin/python3.11d, headers in /usr/include/python3.11d)
# in build-dbg, warnings as errors, rebuilding what is stale, and runs the
# whole suite under that interpreter. There tests/test_leaks.py measures the
# growth of the reference and block counts, and fails instead of skipping.
# A module built against the release headers would load as well, but its own
# reference counting would go uncounted: the script refuses it. Debian's
# compiled modules are release builds too, so the interpreter gets only the
# pure-Python test packages (scripts/pure_packages.sh).
# Extra arguments go to pytest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
pure=$(bash scripts/pure_packages.sh)
meson=/usr/bin/meson
python=/usr/bin/python3.11d
build=build-dbg
start=$SECONDS

suffix=$("$python" -c 'import sys, sysconfig; print(sys.abiflags, sysconfig.get_config_var("EXT_SUFFIX"))')
case "$suffix" in
  "d .cpython-"*"d-"*".so") suffix=${suffix#d } ;;
  *) echo "leaks: $python is no debug interpreter (abiflags and suffix: $suffix)" >&2; exit 1 ;;
esac

native="$repo/.cache/native-dbg.ini"
mkdir -p "$repo/.cache"
printf "[binaries]\npython = '%s'\n" "$python" > "$native.new"
if cmp -s "$native.new" "$native"; then rm "$native.new"; else mv "$native.new" "$native"; rm -rf "$build"; fi
if [ ! -f "$build/build.ninja" ] || [ ! -f "$build/meson-private/coredata.dat" ]; then
  # Missing or half made: start afresh. Unoptimised, so that the debug
  # interpreter's own checks see every step.
  rm -rf "$build"
  "$meson" setup "$build" --native-file "$native" -Dbuildtype=debug -Dwerror=true >/dev/null
fi
"$meson" compile -C "$build"
module="$build/tarvello/custom/model_data/bucket$suffix"
[ -f "$module" ] || { echo "leaks: the debug build made no $module" >&2; exit 1; }

export BUCKET_BUILD_DIR="$build" PYTHONPATH="$pure" PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION=python
# The module imported is the one just built, for this interpreter's suffix.
"$python" scripts/check_build.py
BUCKET_LEAK_TESTS_REQUIRED=1 "$python" -m pytest -q -p no:cacheprovider tests "$@"
echo "leaks: passed (debug build $module, $((SECONDS - start)) s)"
