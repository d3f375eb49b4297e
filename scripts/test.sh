#!/usr/bin/env bash
# The whole test suite: against the in-place build (build/, for the test
# environment .cache/venv-test: the newest releases the package admits), against
# a build with every fast path off, then against the wheel installed with pip
# into a fresh virtual environment with its dependencies and extras from the
# package index (protobuf at the lowest release the package admits).
# Then the installed command and mypy. Extra arguments go to pytest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/build.sh
. scripts/envs.sh
venv=$(test_env)
python="$venv/bin/python"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== the wheel, built by pip with the build requirements from the index"
pip_run "$python" wheel --no-deps -w "$work/dist" "$repo"
wheel=$(ls "$work"/dist/tarvello_bucket-*.whl)

protobuf() { "$1" -c 'import google.protobuf as p; from google.protobuf.internal import api_implementation as a
print("protobuf %s (%s)" % (p.__version__, a.Type()))'; }

echo "== tests of the in-place build, $(protobuf "$python")"
BUCKET_BUILD_DIR=build BUCKET_WHEEL="$wheel" "$python" -m pytest -q -rs -p no:cacheprovider tests "$@"

echo "== the suite against a build with every fast path forced off"
meson_build build-plain "$venv" -Dplain_lookups=true >/dev/null
BUCKET_BUILD_DIR=build-plain "$python" -m pytest -q -p no:cacheprovider tests "$@"

installed="$work/venv/bin/python"
"$(python311)" -m venv "$work/venv"
# Another release than the test environment's: protobuf's lowest (its Python
# implementation).
requirements --lowest protobuf > "$work/constraints.txt"
extras_list=$(IFS=,; echo "${extras[*]}")
pip_run "$installed" install -c "$work/constraints.txt" "$wheel[$extras_list]"
echo "== tests of the installed package, $(protobuf "$installed")"
# Outside the repository: python -m puts the current folder first on sys.path,
# which from the root would import the source package without its compiled parts.
cd "$work"
unset BUCKET_BUILD_DIR
"$installed" -c 'import tarvello.custom.model_data.bucket, tarvello.custom.model_data.extractor, tarvello.custom.model_data.row_handler_proto.row_handler_pb2'
"$installed" -m pytest -q -rs -p no:cacheprovider "$repo/tests" "$@"

echo "== the installed command, without arguments (Titanic, checked)"
"$work/venv/bin/tarvello-prepare" --quiet

echo "== mypy: the typed examples and the tool against the stubs as the wheel installs them"
# Installed into a folder of their own: given a folder in the venv's
# site-packages, mypy would take every package there for a module of ours.
pip_run "$installed" install --no-deps --target "$work/typed" "$wheel"
"$installed" -m mypy --config-file "$repo/examples/mypy.ini" --cache-dir "$work/.mypy_cache" \
  "$repo/examples/typed_buckets.py" "$repo/examples/fit_apply.py" "$work/typed/tarvello/prepare"
