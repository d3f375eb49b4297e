#!/usr/bin/env bash
# The main job: builds, installs the package into .venv and encodes the sample rows.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
example=examples/encode_rows.py
if [ ! -f "$example" ]; then
  echo "scripts/run.sh: $example is missing; nothing to run" >&2
  exit 1
fi
bash scripts/build.sh

# A venv made by another interpreter, or without Debian's packages, is made anew.
if [ ! -x .venv/bin/python ] ||
   ! grep -qx 'include-system-site-packages = true' .venv/pyvenv.cfg 2>/dev/null ||
   ! grep -qx 'home = /usr/bin' .venv/pyvenv.cfg 2>/dev/null; then
  rm -rf .venv
  /usr/bin/python3 -m venv --system-site-packages .venv
fi
PIP_NO_INDEX=1 .venv/bin/python -m pip install -q --no-build-isolation .
rm -f .mesonpy-native-file.ini

# From another folder, so that the installed package is imported, not the source tree.
cd /tmp
"$repo/.venv/bin/python" "$repo/$example" "$repo/data/titanic.csv"
