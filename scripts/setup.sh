#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
# Fast when all are present: one dpkg-query per package, no apt-get at all.
# Every Python package comes from the package index (scripts/envs.sh); from
# Debian come the compiler, the interpreters' venv module and headers (for
# Debian's own CPython 3.11, where pyenv has none), the debug interpreter,
# protoc, the PostgreSQL server and Chromium.
set -euo pipefail

# python3.11-dbg: the debug interpreter of scripts/leaks.sh; its headers come
# with libpython3.11-dbg, named too since the build needs them. protoc
# (protobuf-compiler): the check of the committed messages and
# scripts/messages.sh. postgresql: the tool's PostgreSQL tests. chromium: the
# tests that draw the HTML reports.
packages=(g++ python3-venv python3-dev python3.11-dbg libpython3.11-dbg
          protobuf-compiler postgresql chromium)
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
