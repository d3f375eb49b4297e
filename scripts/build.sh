#!/usr/bin/env bash
# In-place development build in build/, warnings as errors, for the
# interpreter of the test environment (.cache/venv-test, made when missing);
# rebuilds what is stale.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
. scripts/envs.sh
venv=$(test_env)
meson_build build "$venv"
modules=$(extension_modules build)
[ -n "$modules" ] || { echo "build.sh: build/ holds no extension module" >&2; exit 1; }
for module in $modules; do
  bash scripts/no_cxx_runtime.sh "$module"
done
