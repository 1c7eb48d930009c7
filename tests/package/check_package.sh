#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The plug-in's Debian package as a board would get it: made with cpack from this build,
# unpacked into a temporary root, its plug-in stripped and loadable (under the emulator for a
# cross build), its version string the project's, its exports and ABI floor as guarded, its
# Depends from dpkg-shlibdeps, and its debug symbols in the -dbgsym package, found by build-id.
#   check_package.sh CPACK BUILD_DIR VERSION OBJDUMP READELF CEILING LOADING_TEST [EMULATOR...]
set -euo pipefail
cpack=$1 build_dir=$2 version=$3 objdump_tool=$4 readelf_tool=$5 ceiling=$6 loading_test=$7
shift 7
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# The plug-in's package alone; the devhost package has a test of its own.
if ! (cd "$build_dir" && "$cpack" -G DEB -B "$work/out" -D CPACK_COMPONENTS_ALL=plugin \
  --config CPackConfig.cmake) \
  >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$(find "$work/out" -maxdepth 1 -name "do3008ra_${version}_*.deb")
ddeb=$(find "$work/out" -maxdepth 1 -name "do3008ra-dbgsym_${version}_*.ddeb")
[[ -f "$deb" && -f "$ddeb" ]] || { ls "$work/out"; echo "FAIL: no do3008ra_${version} package pair"; exit 1; }
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes; $(basename "$ddeb"): $(stat -c %s "$ddeb") bytes"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libc6 libstdc++6 libjsoncpp25; do
  grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$ddeb" "$root"
plugin=$root/usr/lib/do3008ra/do3008ra.so
[[ -f "$plugin" ]] || { find "$root"; echo "FAIL: no /usr/lib/do3008ra/do3008ra.so"; exit 1; }
for example in mode1.json mode5.json ini/13.ini; do
  [[ -f "$root/usr/share/doc/do3008ra/examples/$example" ]] || fail "example $example missing"
done

# Stripped: no symbol table and no debug sections; the debug file's name in .gnu_debuglink.
sections=$("$readelf_tool" -S -W "$plugin")
grep -qE '\.symtab|\.debug_info' <<<"$sections" && fail "the plug-in is not stripped"
grep -q '\.gnu_debuglink' <<<"$sections" || fail "the plug-in has no .gnu_debuglink"
build_id=$("$readelf_tool" -n "$plugin" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
debug_file=$root/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
if [[ -z "$build_id" || ! -f "$debug_file" ]]; then
  fail "no debug file for build-id '$build_id'"
else
  [[ "$("$readelf_tool" -n "$debug_file" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')" == "$build_id" ]] ||
    fail "the debug file has another build-id"
  # Read whole before grep: grep -q leaving early would fail the reader under pipefail.
  debug_sections=$("$readelf_tool" -S -W "$debug_file")
  grep -q '\.debug_info' <<<"$debug_sections" || fail "the debug file has no DWARF"
  # A crash address resolves to a function of ours through the debug file alone.
  debug_symbols=$("$readelf_tool" -s -W "$debug_file")
  grep -q ' get_providers$' <<<"$debug_symbols" || fail "the debug file lacks the plug-in's symbols"
  debuglink=$("$readelf_tool" -p .gnu_debuglink "$plugin")
  grep -q "${build_id:2}.debug" <<<"$debuglink" || fail "the debuglink does not name the debug file"
fi

found=$(strings "$plugin" | sed -n 's/^do3008ra version //p')
[[ "$found" == "$version" ]] || fail "version string '$found', project version $version"
echo "version string: do3008ra version $found"

"$here/../abi/abi_report.sh" "$objdump_tool" "$readelf_tool" "$plugin" "$ceiling" || status=1

# The unpacked plug-in, loaded the way the controller loads it.
DO3008RA_PLUGIN=$plugin "$@" "$loading_test" --gtest_brief=1 || fail "the packaged plug-in does not load"
[[ $status -eq 0 ]] && echo "package: plug-in stripped, loads, version $version, debug file by build-id"
exit $status
