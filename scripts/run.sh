#!/usr/bin/env bash
# The main job: builds, installs the package into .venv and runs the
# preparation tool without arguments: the bundled Titanic passenger list,
# encoded into out/titanic and checked. Extra arguments go to the tool.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
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

# The installed command, from the output folder's parent.
mkdir -p out
cd out
"$repo/.venv/bin/tarvello-prepare" "$@"
