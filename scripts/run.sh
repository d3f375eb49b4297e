#!/usr/bin/env bash
# The main job: installs the package with pip into .venv (CPython 3.11, its
# dependencies and build requirements from the package index) and runs the
# preparation tool without arguments: the bundled Titanic passenger list,
# encoded into out/titanic and checked. Extra arguments go to the tool.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
. scripts/envs.sh
python=$(python311)

# A venv of another interpreter, or one that sees Debian's packages, is made anew.
if [ "$(.venv/bin/python -c 'import os, sys; print(os.path.realpath(sys._base_executable))' 2>/dev/null)" != \
     "$(readlink -f "$python")" ] ||
   ! grep -qx 'include-system-site-packages = false' .venv/pyvenv.cfg 2>/dev/null; then
  rm -rf .venv
  "$python" -m venv .venv
fi
pip_run .venv/bin/python install "$repo"

# The installed command, from the output folder's parent.
mkdir -p out
cd out
"$repo/.venv/bin/tarvello-prepare" "$@"
