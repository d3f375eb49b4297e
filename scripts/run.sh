#!/usr/bin/env bash
# The main job: installs the package into .venv and encodes the sample rows.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
[ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
PIP_NO_INDEX=1 .venv/bin/python -m pip install -q --no-build-isolation .
rm -f .mesonpy-native-file.ini
cd /tmp
"$repo/.venv/bin/python" "$repo/examples/encode_rows.py" "$repo/data/titanic.csv"
