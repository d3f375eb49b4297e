# Sourced by the scripts: the interpreters, their virtual environments (with
# everything from the package index, kept in .cache/ between runs and remade
# when what they should hold changes) and the meson builds made with them.
# Run from the repository root.

pyenv_versions_dir() {
  if command -v pyenv >/dev/null; then
    echo "$(pyenv root)/versions"
  else
    echo "${PYENV_ROOT:-$HOME/.pyenv}/versions"
  fi
}

# pyenv_python MINOR: the newest patch release of MINOR that pyenv holds, or nothing.
pyenv_python() {
  local version
  version=$(ls "$(pyenv_versions_dir)" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" |
            sort -t. -k3,3n | tail -n 1 || true)
  if [ -n "$version" ] && [ -x "$(pyenv_versions_dir)/$version/bin/python" ]; then
    echo "$(pyenv_versions_dir)/$version/bin/python"
  fi
}

# python311: the CPython 3.11 of the project's own environments, pyenv's or
# else Debian's (whose packages its venvs do not see).
python311() {
  local python
  python=$(pyenv_python 3.11)
  if [ -z "$python" ] && [ -x /usr/bin/python3.11 ]; then
    python=/usr/bin/python3.11
  fi
  [ -n "$python" ] || { echo "no CPython 3.11: neither pyenv's nor /usr/bin/python3.11" >&2; return 1; }
  echo "$python"
}

# pip_run PYTHON COMMAND ARGS...: PYTHON's pip, quietly. A pip configuration
# may name an index folder that is absent, and pip warns of it at every
# package: those lines are dropped.
pip_run() {
  local python=$1
  shift
  "$python" -m pip -q --disable-pip-version-check "$@" \
    2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}

# ensure_venv DIR PYTHON REQUIREMENT...: DIR is a venv of PYTHON (without
# any system packages) holding the requirements. Kept while the interpreter
# and the requirements stay the same; remade otherwise, or when half made.
ensure_venv() {
  local dir=$1 python=$2
  shift 2
  local want
  want=$(printf '%s\n' "$("$python" -c 'import sys; print(sys.executable, sys.version)')" "$@") || return 1
  if [ -x "$dir/bin/python" ] && [ "$(cat "$dir/.holds" 2>/dev/null)" = "$want" ]; then
    return 0
  fi
  echo "== making $dir"
  rm -rf "$dir"
  "$python" -m venv "$dir" &&
    pip_run "$dir/bin/python" install "$@" &&
    printf '%s\n' "$want" > "$dir/.holds"
}

# requirements ARGS...: scripts/requirements.py ARGS (see there), one a line.
requirements() {
  "$(python311)" scripts/requirements.py "$@"
}

# The package's extras, all of which the tests use.
extras=(test postgresql dask sklearn)

# test_env: makes .cache/venv-test, CPython 3.11 with the package's
# dependencies, every extra and the build tools; prints its folder.
test_env() {
  local venv=.cache/venv-test reqs
  mapfile -t reqs < <(requirements --build "${extras[@]/#/--extra=}") &&
    [ ${#reqs[@]} -gt 0 ] || return 1
  ensure_venv "$venv" "$(python311)" "${reqs[@]}" >&2 || return 1
  echo "$PWD/$venv"
}

# matrix_env MINOR: makes .cache/venv-pyMINOR with pyenv's CPython MINOR, the
# package's dependencies (where that interpreter has releases of them), the
# test extra and the build tools; prints its folder.
matrix_env() {
  local minor=$1 venv=.cache/venv-py$1 python reqs
  python=$(pyenv_python "$minor")
  [ -n "$python" ] || { echo "no CPython $minor in $(pyenv_versions_dir)" >&2; return 1; }
  mapfile -t reqs < <(requirements --build --extra test) && [ ${#reqs[@]} -gt 0 ] || return 1
  ensure_venv "$venv" "$python" "${reqs[@]}" >&2 || return 1
  echo "$PWD/$venv"
}

# meson_build DIR VENV [OPTION...]: configures DIR with VENV's meson for
# VENV's interpreter, warnings as errors, unless it already is with these
# options (meson keeps a folder's first ones), and compiles what is stale.
meson_build() {
  local dir=$1 venv=$2
  shift 2
  local want
  want=$(printf '%s\n' "$("$venv/bin/python" -c 'import sys; print(sys.executable, sys.version)')" \
           "$("$venv/bin/meson" --version)" "$@") || return 1
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.configured" 2>/dev/null)" != "$want" ]; then
    rm -rf "$dir"
    PATH="$venv/bin:$PATH" "$venv/bin/meson" setup "$dir" -Dwerror=true "$@" >/dev/null || return 1
    printf '%s\n' "$want" > "$dir/.configured"
  fi
  PATH="$venv/bin:$PATH" "$venv/bin/meson" compile -C "$dir"
}

# extension_modules DIR: the extension modules a build folder holds.
extension_modules() {
  find "$1/tarvello" -name '*.so' -not -path '*.p/*' | sort
}
