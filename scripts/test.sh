#!/usr/bin/env bash
# The whole test suite: against the in-place build, then against the package
# installed with pip into a fresh virtual environment. Extra arguments go to pytest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/build.sh

echo "== tests of the in-place build"
BUCKET_BUILD_DIR=build BUCKET_PACKAGING_TESTS=1 /usr/bin/python3 -m pytest -q -rs -p no:cacheprovider tests "$@"

echo "== the suite against a build with every fast path forced off"
if [ ! -f build-plain/build.ninja ] || [ ! -f build-plain/meson-private/coredata.dat ]; then
  rm -rf build-plain
  /usr/bin/meson setup build-plain -Dwerror=true -Dplain_lookups=true >/dev/null
fi
/usr/bin/meson compile -C build-plain >/dev/null
BUCKET_BUILD_DIR=build-plain /usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"

echo "== tests of the installed package"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
PIP_NO_INDEX=1 "$work/venv/bin/python" -m pip install -q --no-build-isolation "$repo"
rm -f "$repo/.mesonpy-native-file.ini"
# Outside the repository: python -m puts the current folder first on sys.path,
# which from the root would import the source package without its compiled parts.
cd "$work"
unset BUCKET_BUILD_DIR
"$work/venv/bin/python" -c 'import tarvello.custom.model_data.bucket, tarvello.custom.model_data.extractor, tarvello.custom.model_data.row_handler_proto.row_handler_pb2'
"$work/venv/bin/python" -m pytest -q -rs -p no:cacheprovider "$repo/tests" "$@"

echo "== the installed command, without arguments (Titanic, checked)"
"$work/venv/bin/tarvello-prepare" --quiet

echo "== mypy: the typed example and the tool against the installed stubs"
tool=$("$work/venv/bin/python" -c 'import os, tarvello.prepare; print(os.path.dirname(tarvello.prepare.__file__))')
"$work/venv/bin/python" -m mypy --config-file "$repo/examples/mypy.ini" --cache-dir "$work/.mypy_cache" \
  "$repo/examples/typed_buckets.py" "$tool"
