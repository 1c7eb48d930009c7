#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The plug-in exports get_providers and nothing else, and does not need the host
# library: its host symbols are resolved by the process that loads it.
set -euo pipefail
nm_tool=$1 readelf_tool=$2 plugin=$3
status=0
exports=$("$nm_tool" -D --defined-only "$plugin" | c++filt)
if ! grep -qE ' T get_providers$' <<<"$exports"; then
  echo "FAIL: get_providers is not exported under its plain name"; status=1
fi
# Nothing else: no device class, and none of the template code or type information of the C++
# and Boost headers (src/do3008ra/exports.map).
if grep -vE ' T get_providers$' <<<"$exports"; then
  echo "FAIL: more than get_providers is exported (above)"; status=1
fi
if "$readelf_tool" -d "$plugin" | grep NEEDED | grep -q hostfw; then
  echo "FAIL: the plug-in links the host library"; status=1
fi
undefined=$("$nm_tool" -D --undefined-only "$plugin" | c++filt)
if ! grep -q 'SPModbus::' <<<"$undefined"; then
  echo "FAIL: host framework symbols are not left for the loader"; status=1
fi
[[ $status -eq 0 ]] && echo "exports: get_providers only; host symbols undefined; no host NEEDED"
exit $status
