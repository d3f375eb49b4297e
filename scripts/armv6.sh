#!/usr/bin/env bash
# Cross-builds the module for 32-bit ARM Linux, armv6 with hard float
# (arm-linux-gnueabihf, -march=armv6 -mfpu=vfp -mfloat-abi=hard -marm), in
# build-armv6, checks that the module is armv6 code with VFP argument
# passing, and runs the whole suite under qemu-arm with Debian's armhf
# CPython. The armhf sysroot (.cache/armhf-sysroot) is unpacked from Debian's
# packages without installing any of them; the test packages
# (.cache/armhf-packages: pytest, hypothesis and protobuf, pure Python) come
# from the package index through the host's pip. Both are kept between runs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
. scripts/envs.sh
venv=$(test_env)
cache="$repo/.cache"
sysroot="$cache/armhf-sysroot"
build=build-armv6
start=$SECONDS
step() { echo "== armv6: $*"; }

packages=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user pkg-config)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
fi

if [ ! -f "$sysroot/.complete" ]; then
  step "unpacking Debian's armhf CPython into $sysroot"
  debs="$cache/armhf-debs"
  rm -rf "$sysroot" "$debs"
  mkdir -p "$debs"
  added=no
  undo_arch() {
    if [ "$added" = yes ]; then
      dpkg --remove-architecture armhf
      apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
      added=no
    fi
  }
  trap undo_arch EXIT
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    added=yes
  fi
  apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
  # The interpreter, its standard library, headers and C++ runtime with all
  # they depend on; the tools that only installing would need are left out.
  pkgs=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
           --no-replaces --no-enhances --no-pre-depends python3.11-minimal:armhf \
           libpython3.11-stdlib:armhf libpython3.11-dev:armhf libstdc++6:armhf |
         grep -E '^[a-z0-9].*:armhf$' |
         grep -vE '^(dpkg|install-info|tar|libc-dev-bin|rpcsvc-proto):' | sort -u)
  # meson reads the interpreter's settings through distutils.
  if ! (cd "$debs" && apt-get download -q $pkgs python3-distutils python3-lib2to3) > "$debs.log" 2>&1; then
    cat "$debs.log" >&2
    echo "armv6: downloading the armhf packages failed" >&2
    exit 1
  fi
  rm -f "$debs.log"
  undo_arch
  trap - EXIT
  for d in "$debs"/*.deb; do dpkg -x "$d" "$sysroot"; done
  [ -x "$sysroot/usr/bin/python3.11" ] && [ -f "$sysroot/usr/include/python3.11/Python.h" ] ||
    { echo "armv6: the sysroot lacks the armhf interpreter or its headers" >&2; exit 1; }
  rm -rf "$debs"
  touch "$sysroot/.complete"
fi

# meson takes a single program as the interpreter, and expands no variables
# in its files: a wrapper script, and a cross file with the absolute sysroot.
python="$cache/armhf-python3.11"
printf '#!/bin/sh\nexec qemu-arm -L "%s" "%s/usr/bin/python3.11" "$@"\n' "$sysroot" "$sysroot" > "$python.new"
chmod +x "$python.new"
mv "$python.new" "$python"
cross="$cache/armv6.ini"
cat > "$cross.new" <<INI
[constants]
sysroot = '$sysroot'
arch = ['-march=armv6', '-mfpu=vfp', '-mfloat-abi=hard', '-marm']

[binaries]
cpp = 'arm-linux-gnueabihf-g++'
strip = 'arm-linux-gnueabihf-strip'
pkgconfig = 'pkg-config'
python = '$python'
exe_wrapper = ['qemu-arm', '-L', sysroot]

[built-in options]
# -idirafter: the sysroot's glibc headers must not hide the toolchain's own.
cpp_args = arch + ['-idirafter', sysroot / 'usr/include']
cpp_link_args = arch

[properties]
sys_root = sysroot
# Else meson takes the build machine's Python include folder.
pkg_config_libdir = sysroot / 'usr/lib/arm-linux-gnueabihf/pkgconfig'

[host_machine]
system = 'linux'
cpu_family = 'arm'
cpu = 'armv6'
endian = 'little'
INI
if cmp -s "$cross.new" "$cross"; then rm "$cross.new"; else mv "$cross.new" "$cross"; rm -rf "$build"; fi

# The boards' packages, pure Python, for the armhf interpreter: the host's pip
# takes only wheels that fit any platform.
packages="$cache/armhf-packages"
mapfile -t reqs < <(requirements --extra test --only protobuf,pytest,hypothesis)
if [ "$(cat "$packages/.holds" 2>/dev/null)" != "$(printf '%s\n' "${reqs[@]}")" ]; then
  step "the test packages for the armhf interpreter into $packages"
  rm -rf "$packages"
  pip_run "$venv/bin/python" install --target "$packages" --only-binary=:all: --implementation cp \
    --python-version 3.11 --abi cp311 --platform linux_armv7l "${reqs[@]}"
  printf '%s\n' "${reqs[@]}" > "$packages/.holds"
fi

step "cross build in $build"
meson_build "$build" "$venv" --cross-file "$cross"
modules=$(extension_modules "$build")
[ -n "$modules" ] || { echo "armv6: $build holds no extension module" >&2; exit 1; }

failures=0
expect() {
  if printf '%s\n' "$1" | grep -qE "$2"; then
    echo "ok: $3"
  else
    echo "FAILED: $3"
    failures=$((failures + 1))
  fi
}
for module in $modules; do
  step "checking $module"
  attrs=$(arm-linux-gnueabihf-readelf -A "$module")
  flags=$(arm-linux-gnueabihf-readelf -h "$module" | grep Flags)
  expect "$attrs" 'Tag_CPU_arch: v6$' "Tag_CPU_arch is v6"
  expect "$attrs" 'Tag_ARM_ISA_use: Yes' "ARM instruction set"
  expect "$attrs" 'Tag_FP_arch: VFPv2$' "Tag_FP_arch is VFPv2"
  expect "$attrs" 'Tag_ABI_VFP_args: VFP registers' "floating-point arguments in VFP registers"
  expect "$flags" 'hard-float ABI' "ELF header: hard-float ABI"
  if printf '%s\n' "$attrs" | grep -q 'Thumb-2'; then
    echo "FAILED: Thumb-2 in the attributes"
    failures=$((failures + 1))
  fi
  bash scripts/v7scan.sh "$module" || failures=$((failures + 1))
  bash scripts/no_cxx_runtime.sh "$module" arm-linux-gnueabihf-nm || failures=$((failures + 1))
done
[ "$failures" = 0 ] || { echo "armv6: FAILED ($failures checks of the modules)"; exit 1; }

step "whole suite under qemu-arm"
export QEMU_LD_PREFIX="$sysroot"
BUCKET_BUILD_DIR="$build" PYTHONPATH="$packages" PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION=python \
  "$python" scripts/check_build.py
BUCKET_BUILD_DIR="$build" PYTHONPATH="$repo/scripts:$packages" PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION=python \
  BUCKET_TEST_PYTHON="$python" "$python" -m pytest -q -p no:cacheprovider -p hypothesis_emulated tests "$@"
echo "armv6: passed (module checks and suite under qemu-arm, $((SECONDS - start)) s)"
