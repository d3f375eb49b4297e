#!/usr/bin/env bash
# no_cxx_runtime.sh MODULE [NM]: fails (exit 1) when the extension MODULE
# needs anything of the C++ runtime: the module is built without exceptions,
# and a C++ exception must never unwind through the interpreter's frames, so
# nothing it calls may throw one (operator new, std::string, ...).
set -euo pipefail
[ $# -ge 1 ] && [ -f "$1" ] || { echo "usage: no_cxx_runtime.sh MODULE [NM]" >&2; exit 2; }
nm=${2:-nm}
found=$("$nm" -D --undefined-only "$1" | awk '{print $NF}' |
        grep -E '^(_Z|__cxa_|__gxx_personality|_Unwind_)' | grep -v '^__cxa_finalize' || true)
if [ -n "$found" ]; then
  echo "$1 needs the C++ runtime, which may throw through the interpreter:" >&2
  printf '  %s\n' $found >&2
  exit 1
fi
