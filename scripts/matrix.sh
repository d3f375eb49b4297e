#!/usr/bin/env bash
# Builds the module against every CPython 3.7 to 3.13 that pyenv holds and
# runs the whole suite under each, one build folder per interpreter
# (build-py3.7, ...). The interpreters see only Debian's pure-Python test
# packages (scripts/pure_packages.sh). A missing interpreter is a failure.
# Usage: scripts/matrix.sh [3.9 3.12 ...] (default: all of 3.7 to 3.13).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
pure=$(bash scripts/pure_packages.sh)
. scripts/pyenv_build.sh
versions_dir=$(pyenv_versions_dir)
minors=("$@")
[ ${#minors[@]} -gt 0 ] || minors=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)

failed=()
summary=()
for minor in "${minors[@]}"; do
  start=$SECONDS
  version=$(pyenv_version "$minor")
  python="$versions_dir/$version/bin/python"
  if [ -z "$version" ] || [ ! -x "$python" ]; then
    echo "== py$minor: no interpreter in $versions_dir" >&2
    failed+=("py$minor")
    summary+=("py$minor: FAILED (no interpreter)")
    continue
  fi
  echo "== py$minor: CPython $version"
  build="build-py$minor"
  result=passed
  {
    pyenv_build "$minor" "$python" "$pure" &&
    BUCKET_BUILD_DIR="$build" PYTHONPATH="$pure" PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION=python \
      "$python" scripts/check_build.py &&
    BUCKET_BUILD_DIR="$build" PYTHONPATH="$pure" PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION=python \
      "$python" -m pytest -q -p no:cacheprovider tests
  } || result=FAILED
  [ "$result" = passed ] || failed+=("py$minor")
  summary+=("py$minor: $result (CPython $version, $((SECONDS - start)) s)")
done

echo "== interpreter matrix"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "matrix: FAILED on ${failed[*]} ($(( ${#minors[@]} - ${#failed[@]} ))/${#minors[@]} passed)"
  exit 1
fi
echo "matrix: passed on all ${#minors[@]} interpreters"
