#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What a shared object asks of the machine that loads it: its NEEDED libraries, the highest
# version it requires of each symbol-version family (GLIBC, GLIBCXX, CXXABI, GCC, ...) with the
# symbols that require it, and its exported symbols. Fails when a family needs more than the
# ceiling file allows, when a symbol not listed there needs the ceiling version itself, or
# when a family is not in the ceiling file at all.
#   abi_report.sh OBJDUMP READELF SHARED_OBJECT CEILING_FILE
set -euo pipefail
objdump_tool=$1 readelf_tool=$2 object=$3 ceiling_file=$4

declare -A ceiling allowed
while read -r family version symbols; do
  [[ -z "$family" || "$family" == \#* ]] && continue
  ceiling[$family]=$version
  allowed[$family]=$symbols
done <"$ceiling_file"

# "1.2.3" <= "1.10"?
version_le() { [[ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | sed -n 1p)" == "$1" ]]; }

echo "$(basename "$object"): $("$objdump_tool" -f "$object" | sed -n 's/.*file format //p')"
echo "NEEDED: $("$readelf_tool" -d "$object" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)"

# The loader checks every version the object names in .gnu.version_r, so those are the floor.
required=$("$readelf_tool" -V "$object" | sed -n 's/.*Name: \([A-Za-z_]*\)_\([0-9.]*\) .*/\1 \2/p')
# Undefined symbols with the version they ask for: "VERSION MANGLED-NAME".
undefined=$("$objdump_tool" -T "$object" | awk '$0 ~ /\*UND\*/ {
  for (i = 1; i <= NF; i++) if ($i ~ /^\(?[A-Z][A-Za-z_]*_[0-9.]+\)?$/) { gsub(/[()]/, "", $i); print $i, $NF } }')

status=0
echo "required versions (highest of each family; ceiling from $(basename "$ceiling_file")):"
for family in $(cut -d' ' -f1 <<<"$required" | sort -u); do
  highest=$(awk -v f="$family" '$1 == f {print $2}' <<<"$required" | sort -V | tail -n 1)
  pinning=$(awk -v v="${family}_$highest" '$1 == v {print $2}' <<<"$undefined" | sort -u)
  printf '  %-11s %-8s ceiling %-8s by: %s\n' "$family" "$highest" "${ceiling[$family]:-none}" \
    "$(c++filt <<<"$pinning" | paste -sd ';' | sed 's/;/; /g')"
  if [[ -z "${ceiling[$family]:-}" ]]; then
    echo "FAIL: $family is not in the ceiling file"; status=1
  elif ! version_le "$highest" "${ceiling[$family]}"; then
    echo "FAIL: ${family}_$highest is above the ceiling ${family}_${ceiling[$family]}"; status=1
  elif [[ "$highest" == "${ceiling[$family]}" && -n "${allowed[$family]}" ]]; then
    for symbol in $pinning; do
      if ! grep -qw -- "$symbol" <<<"${allowed[$family]}"; then
        echo "FAIL: $(c++filt "$symbol") also needs ${family}_$highest (not listed)"; status=1
      fi
    done
  fi
done

# Defined dynamic symbols, section symbols aside.
exports=$("$objdump_tool" -T "$object" | awk '$0 !~ /[*]UND[*]/ && $1 ~ /^[0-9a-f]+$/ && $NF !~ /^[.]/ {print $NF}')
echo "exports: $(xargs <<<"$exports")"
[[ $status -eq 0 ]] && echo "ABI floor within the ceiling"
exit $status
