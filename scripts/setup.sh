#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
# Fast when all are present: one dpkg-query per package, no apt-get at all.
set -euo pipefail

# python3.11-dbg: the debug interpreter of scripts/leaks.sh; its headers come
# with libpython3.11-dbg, named too since the build needs them. numpy, tqdm,
# psycopg2, postgresql and python3-distributed (Dask): the preparation tool
# and its tests; mypy: the check of the type stubs.
packages=(meson ninja-build python3-mesonpy python3-venv python3-dev g++
          protobuf-compiler python3-protobuf python3-pytest python3-hypothesis
          python3.11-dbg libpython3.11-dbg
          python3-numpy python3-tqdm python3-psycopg2 postgresql python3-distributed mypy)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/setup.sh: installing packages needs root; run it as root or install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -q
apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
