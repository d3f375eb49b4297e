#!/usr/bin/env bash
# Makes .cache/pure: links to Debian's pure-Python test packages (pytest,
# hypothesis, protobuf and what they need) without any compiled module, so
# that interpreters other than Debian's own can run the suite. Debian's .so
# files are built for its 3.11 only; another 3.11 would load them.
# Prints the folder. Kept between runs; rebuilt when missing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
pure="$repo/.cache/pure"
if [ -f "$pure/.complete" ]; then
  echo "$pure"
  exit 0
fi

packages=(python3-pytest python3-hypothesis python3-protobuf python3-exceptiongroup
          python3-importlib-metadata python3-zipp python3-typing-extensions
          python3-more-itertools python3-tomli python3-setuptools)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q >&2
  apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}" >&2
fi

dist=/usr/lib/python3/dist-packages
tmp="$pure.tmp.$$"
rm -rf "$tmp"
mkdir -p "$tmp"
# pytest's own py.py shim, not python3-py's py/; the *-info folders carry the
# entry point through which hypothesis's pytest plugin loads.
for n in pytest _pytest py.py pluggy iniconfig packaging exceptiongroup tomli attr attrs \
         hypothesis _hypothesis_pytestplugin.py _hypothesis_ftz_detector.py sortedcontainers \
         google importlib_metadata zipp.py typing_extensions.py more_itertools; do
  cp -rs "$dist/$n" "$tmp/"
done
for m in pytest pluggy iniconfig packaging exceptiongroup tomli attrs hypothesis sortedcontainers \
         importlib_metadata zipp typing_extensions more_itertools protobuf; do
  info=("$dist/$m"-[0-9]*.*-info)
  [ -e "${info[0]}" ] || { echo "no metadata for $m in $dist" >&2; exit 1; }
  cp -rs "${info[@]}" "$tmp/"
done
find "$tmp" -name '*.so' -delete
find "$tmp" -name __pycache__ -prune -exec rm -rf {} +
# meson 1.0 asks the interpreter for distutils, which 3.12 dropped.
mkdir -p "$tmp/.distutils-shim"
ln -s "$dist/setuptools/_distutils" "$tmp/.distutils-shim/distutils"
touch "$tmp/.complete"
rm -rf "$pure"
mv "$tmp" "$pure"
echo "$pure"
