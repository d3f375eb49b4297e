#!/usr/bin/env bash
# Builds the module against every CPython 3.7 to 3.13 that pyenv holds and
# runs the whole suite under each, one build folder per interpreter
# (build-py3.7, ...). Each interpreter has a venv of its own
# (.cache/venv-py3.7, ...) with the package's dependencies and the test extra
# from the package index, in the newest releases that support it (numpy and
# pyarrow where the index has them for it). A missing interpreter is a failure.
# Usage: scripts/matrix.sh [3.9 3.12 ...] (default: all of 3.7 to 3.13).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
. scripts/envs.sh
minors=("$@")
[ ${#minors[@]} -gt 0 ] || minors=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)

failed=()
summary=()
for minor in "${minors[@]}"; do
  start=$SECONDS
  echo "== py$minor"
  build="build-py$minor"
  result=passed
  {
    venv=$(matrix_env "$minor") &&
    meson_build "$build" "$venv" &&
    BUCKET_BUILD_DIR="$build" "$venv/bin/python" scripts/check_build.py &&
    BUCKET_BUILD_DIR="$build" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
  } || result=FAILED
  [ "$result" = passed ] || failed+=("py$minor")
  summary+=("py$minor: $result ($(pyenv_python "$minor"), $((SECONDS - start)) s)")
done

echo "== interpreter matrix"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "matrix: FAILED on ${failed[*]} ($(( ${#minors[@]} - ${#failed[@]} ))/${#minors[@]} passed)"
  exit 1
fi
echo "matrix: passed on all ${#minors[@]} interpreters"
