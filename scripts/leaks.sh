#!/usr/bin/env bash
# Leak checks: builds the module against Debian's debug interpreter
# (python3.11-dbg: /usr/bin/python3.11d, headers in /usr/include/python3.11d)
# in build-dbg, warnings as errors, rebuilding what is stale, and runs the
# whole suite under that interpreter. There tests/test_leaks.py measures the
# growth of the reference and block counts, and fails instead of skipping.
# A module built against the release headers would load as well, but its own
# reference counting would go uncounted: the script refuses it. The
# interpreter's venv (.cache/venv-dbg) holds only what the index has in pure
# Python for it: pytest, hypothesis, protobuf (its Python implementation) and
# the build tools; the tool's tests skip there.
# Extra arguments go to pytest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
. scripts/envs.sh
debug=/usr/bin/python3.11d
start=$SECONDS

suffix=$("$debug" -c 'import sys, sysconfig; print(sys.abiflags, sysconfig.get_config_var("EXT_SUFFIX"))')
case "$suffix" in
  "d .cpython-"*"d-"*".so") ;;
  *) echo "leaks: $debug is no debug interpreter (abiflags and suffix: $suffix)" >&2; exit 1 ;;
esac

mapfile -t reqs < <(requirements --build --extra test --only protobuf,pytest,hypothesis,meson,ninja)
venv=.cache/venv-dbg
ensure_venv "$venv" "$debug" "${reqs[@]}"
# Unoptimised, so that the debug interpreter's own checks see every step.
meson_build build-dbg "$venv" -Dbuildtype=debug

export BUCKET_BUILD_DIR=build-dbg PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION=python
# The modules imported are the ones just built, for this interpreter's suffix.
"$venv/bin/python" scripts/check_build.py
BUCKET_LEAK_TESTS_REQUIRED=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
echo "leaks: passed (debug build in build-dbg, $((SECONDS - start)) s)"
