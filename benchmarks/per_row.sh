#!/usr/bin/env bash
# The per-row benchmark (benchmarks/bench_per_row.py) under one interpreter:
# builds what it needs when missing or stale (the module, and the tests'
# plain-Python model compiled with Debian's cython3 for that interpreter in
# .cache/bench-<version>/), then prints its tables.
# Usage: benchmarks/per_row.sh [--python PY] [bench_per_row.py options]
#   PY: a minor version that pyenv holds (3.7, 3.13: the matrix build
#   build-py3.7 in its venv .cache/venv-py3.7, ...), or by default the test
#   environment's CPython 3.11 with the in-place build in build/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

minor=
bench_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --python)
      [ $# -ge 2 ] || { echo "benchmarks/per_row.sh: --python needs a value" >&2; exit 2; }
      minor=$2
      shift 2 ;;
    --python=*) minor=${1#--python=}; shift ;;
    *) bench_args+=("$1"); shift ;;
  esac
done

bash scripts/setup.sh
if [ "$(dpkg-query -W -f='${Status}' cython3 2>/dev/null || true)" != "install ok installed" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "benchmarks/per_row.sh: installing cython3 needs root; run it as root or install cython3" >&2
    exit 1
  fi
  echo "installing: cython3"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q cython3
fi

. scripts/envs.sh
# The build's output is shown only when it fails, so that the tables stand alone.
if [ -z "$minor" ]; then
  built=$(bash scripts/build.sh 2>&1) || { echo "$built" >&2; exit 1; }
  python="$(test_env)/bin/python"
  export BUCKET_BUILD_DIR=build
else
  [[ $minor =~ ^[0-9]+\.[0-9]+$ ]] || { echo "benchmarks/per_row.sh: --python takes a minor version such as 3.7" >&2; exit 2; }
  built=$(venv=$(matrix_env "$minor") && meson_build "build-py$minor" "$venv" 2>&1) || { echo "$built" >&2; exit 1; }
  python="$PWD/.cache/venv-py$minor/bin/python"
  export BUCKET_BUILD_DIR="build-py$minor"
fi

# The model compiled as it is, against this interpreter's headers.
read -r full include suffix < <("$python" -c 'import platform, sysconfig
print(platform.python_version(), sysconfig.get_paths()["include"], sysconfig.get_config_var("EXT_SUFFIX"))')
cache=".cache/bench-$full"
compiled="$cache/bucket_model$suffix"
mkdir -p "$cache"
if [ ! -f "$compiled" ] || [ tests/bucket_model.py -nt "$compiled" ]; then
  rm -f "$compiled"
  if ! { cython3 -3 -o "$cache/bucket_model.c" tests/bucket_model.py &&
         gcc -O2 -DNDEBUG -fwrapv -fno-strict-aliasing -fPIC -shared -I"$include" \
           "$cache/bucket_model.c" -o "$compiled"; } >"$cache/build.log" 2>&1; then
    rm -f "$compiled"
  fi
fi
if [ -f "$compiled" ]; then
  model_args=(--compiled-model "$compiled")
else
  # Debian's Cython 0.29 writes C that reaches into CPython's internals of its day.
  reason=$(grep -m 1 ': error: ' "$cache/build.log" | sed -E 's/^.*: error: //' || true)
  model_args=(--compiled-model-missing "cython3 $(cython3 --version 2>&1 | awk '{print $3}') does not build for CPython $full: ${reason:-see $cache/build.log}")
fi

"$python" benchmarks/bench_per_row.py "${model_args[@]}" ${bench_args[@]+"${bench_args[@]}"}
