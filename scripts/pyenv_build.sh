# Sourced by scripts/matrix.sh and benchmarks/per_row.sh: finds pyenv's
# interpreters and builds the module for one of them in build-py<minor>.

pyenv_versions_dir() {
  if command -v pyenv >/dev/null; then
    echo "$(pyenv root)/versions"
  else
    echo "${PYENV_ROOT:-$HOME/.pyenv}/versions"
  fi
}

# pyenv_version MINOR: the newest patch release of MINOR that pyenv holds, or nothing.
pyenv_version() {
  ls "$(pyenv_versions_dir)" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -t. -k3,3n | tail -n 1 || true
}

# pyenv_build MINOR PYTHON PURE: configures build-py<MINOR> for PYTHON if it is
# not yet, and compiles what is stale. Run from the repository root.
pyenv_build() {
  local minor=$1 python=$2 pure=$3
  local build="build-py$minor" env_path="$pure"
  # meson 1.0 reads the interpreter's settings through distutils, gone in 3.12.
  "$python" -c 'import distutils' 2>/dev/null || env_path="$pure/.distutils-shim:$pure"
  if [ ! -f "$build/build.ninja" ]; then
    rm -rf "$build"
    local native="$PWD/.cache/native-py$minor.ini"
    mkdir -p .cache
    printf "[binaries]\npython = '%s'\n" "$python" > "$native"
    PYTHONPATH="$env_path" meson setup "$build" --native-file "$native" -Dwerror=true >/dev/null || return 1
  fi
  PYTHONPATH="$env_path" meson compile -C "$build"
}
