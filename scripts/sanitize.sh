#!/usr/bin/env bash
# The whole test suite against a build of the module with AddressSanitizer
# and UndefinedBehaviorSanitizer (build-asan), loaded into the test
# environment's interpreter (.cache/venv-test, with numpy and pyarrow). Any
# report stops the process with a failure. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
. scripts/envs.sh
venv=$(test_env)
dir=build-asan

# b_lundef=false: the extension's Python symbols come from the interpreter at load time.
meson_build "$dir" "$venv" -Dbuildtype=debugoptimized -Db_sanitize=address,undefined -Db_lundef=false \
  -Dcpp_args="-fno-omit-frame-pointer -fno-sanitize-recover=all"

# A build without the runtime linked in would pass without checking anything.
# ldd's output is taken whole first: grep -q stopping early would break its
# pipe, which pipefail reports as a failed check.
for so in $(extension_modules "$dir"); do
  linked=$(ldd "$so")
  grep -q libasan <<<"$linked" || { echo "sanitize.sh: $so is not linked with libasan" >&2; exit 1; }
  grep -q libubsan <<<"$linked" || { echo "sanitize.sh: $so is not linked with libubsan" >&2; exit 1; }
done

# The runtime must come first in the process, so it is preloaded for the
# interpreter alone. PYTHONMALLOC=malloc lets it see object memory, and
# Arrow's memory pool is the system's allocator for the same reason. pytest's
# capture of fd 2 would swallow a report, hence -s; -p no:faulthandler leaves
# the fatal signals to the sanitizer.
LD_PRELOAD=$(g++ -print-file-name=libasan.so) \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:exitcode=86 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87 \
PYTHONMALLOC=malloc ARROW_DEFAULT_MEMORY_POOL=system BUCKET_BUILD_DIR="$dir" \
  "$venv/bin/python" -m pytest -q -s -p no:cacheprovider -p no:faulthandler tests "$@"
