#!/usr/bin/env bash
# v7scan.sh FILE: fails (exit 1) when the ARM object FILE holds an
# instruction beyond ARMv6 with VFPv2 in ARM mode, or any Thumb code; prints
# the offending lines. Exit 0: nothing found.
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: v7scan.sh FILE" >&2; exit 2; }
objdump=arm-linux-gnueabihf-objdump
listing=$($objdump -d --no-show-raw-insn "$1")
[ -n "$listing" ] || { echo "$1: no code to scan" >&2; exit 2; }
insn='^ +[0-9a-f]+:[[:space:]]+'
# ARMv6T2/v7 integer instructions, NEON data types, VFPv3 immediates and the
# registers d16-d31 that VFPv2 lacks, as operands of a VFP instruction (a bare
# d16... elsewhere is a hex address).
found=$(printf '%s\n' "$listing" | grep -E -i \
  -e "${insn}(movw|movt|dmb|dsb|isb|sdiv|udiv|bfi|bfc|ubfx|sbfx|rbit|mls|ldrex[bhd]|strex[bhd]|clrex|pli|cbn?z|it[te]{0,3}|yield|wfe|wfi|sev)([[:space:]]|$)" \
  -e "${insn}v[a-z0-9]*\.(i|s|u|p)(8|16|32|64)" \
  -e "${insn}vmov\.f(32|64)[[:space:]]+[sd][0-9]+, #" \
  -e "${insn}v[a-z0-9.]*[[:space:]]+([^<]*[[:space:],{-])?d(1[6-9]|2[0-9]|3[01])([,}-]|$|[[:space:]])" || true)
if [ -n "$found" ]; then
  echo "$1: instructions beyond armv6:"
  printf '%s\n' "$found" | head -n 20
  exit 1
fi
# Mapping symbols $t mark Thumb code.
if $objdump -t "$1" | grep -q ' \$t'; then
  echo "$1: Thumb code present"
  exit 1
fi
echo "$1: armv6 ARM code only"
