#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The devhost package as a machine would get it: made with cpack from this build beside the
# plug-in's, its control data (Depends from dpkg-shlibdeps, the conffile, the maintainer scripts),
# its files, lintian's verdict where lintian is installed, and then the unpacked programs run from
# their installed paths (under the emulator for a cross build): --version, and a short run of the
# packaged configuration against the packaged simulator.
#   check_devhost_package.sh CPACK BUILD_DIR VERSION READELF [EMULATOR...]
set -euo pipefail
cpack=$1 build_dir=$2 version=$3 readelf_tool=$4
shift 4
work=$(mktemp -d)
sim_pid=""
trap '[[ -z $sim_pid ]] || kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! (cd "$build_dir" && "$cpack" -G DEB -B "$work/out" --config CPackConfig.cmake) \
  >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$(find "$work/out" -maxdepth 1 -name "devhost_${version}_*.deb")
plugin_deb=$(find "$work/out" -maxdepth 1 -name "do3008ra_${version}_*.deb")
[[ -f "$deb" && -f "$plugin_deb" ]] || { ls "$work/out"; echo "FAIL: no devhost_${version} package"; exit 1; }
arch=$(dpkg-deb -f "$deb" Architecture)
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libc6 libstdc++6 libjsoncpp25 libmodbus5 libsqlite3-0 libmosquitto1 adduser \
  "do3008ra (= $version)"; do
  grep -qF "$needed" <<<"$depends" || fail "Depends lacks $needed"
done
dpkg-deb -e "$deb" "$work/control"
[[ "$(cat "$work/control/conffiles")" == /etc/devhost/devhost.json ]] ||
  fail "conffiles: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
  [[ -x "$work/control/$script" ]] || fail "no executable $script"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$plugin_deb" "$root"
for file in usr/bin/devhost usr/bin/do3008ra-sim usr/lib/devhost/libhostfw.so \
  lib/systemd/system/devhost.service etc/devhost/devhost.json usr/share/doc/devhost/copyright \
  usr/share/doc/devhost/changelog.gz usr/share/man/man1/devhost.1.gz \
  usr/share/man/man5/devhost.json.5.gz usr/share/man/man1/do3008ra-sim.1.gz; do
  [[ -f "$root/$file" ]] || fail "/$file missing"
done
# The program is the package's architecture.
machine=$("$readelf_tool" -h "$root/usr/bin/devhost" | sed -n 's/^ *Machine: *//p')
case "$arch/$machine" in
  armhf/ARM | amd64/*X86-64) echo "/usr/bin/devhost: $machine" ;;
  *) fail "a $arch package holds a devhost for $machine" ;;
esac
# The manual pages read as man shows them, without a formatter's complaint, and carry the
# version; the unit starts the packaged program and configuration.
for page in man1/devhost.1 man5/devhost.json.5 man1/do3008ra-sim.1; do
  text=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/$page.gz" 2>"$work/man.err") ||
    fail "man cannot show $page"
  [[ ! -s "$work/man.err" ]] || fail "man warns on $page: $(cat "$work/man.err")"
  grep -q "devhost $version" <<<"$text" || fail "$page does not name version $version"
done
exec_start=$(sed -n 's/^ExecStart=//p' "$root/lib/systemd/system/devhost.service")
for path in $exec_start; do
  [[ $path != /* || -e "$root$path" ]] || fail "the unit's $path is not in the packages"
done

if command -v lintian >/dev/null; then
  # Errors fail the package; warnings and notes are listed, and explained in docs/board.md. A
  # tree compiled with dpkg-buildflags' flags (DO3008RA_DEB_BUILDFLAGS=ON) has each program and
  # library bound at start and fortified: a note that one is not fails it.
  lintian --fail-on error --display-info --tag-display-limit 0 "$deb" "$plugin_deb" \
    >"$work/lintian.log" 2>&1 || fail "lintian reports errors"
  cat "$work/lintian.log"
  echo "lintian: $(grep -c '^E: ' "$work/lintian.log") errors, $(grep -c '^W: ' "$work/lintian.log") warnings"
  if [[ ${DO3008RA_DEB_BUILDFLAGS:-OFF} == ON ]]; then
    grep -E 'hardening-no-(bindnow|fortify-functions|relro)' "$work/lintian.log" &&
      fail "a binary lacks the hardening of dpkg-buildflags"
  fi
fi

emulator=("$@")
run() { "${emulator[@]}" "$@"; }
found=$(run "$root/usr/bin/devhost" --version) || fail "devhost --version failed"
[[ "$found" == "devhost $version" ]] || fail "devhost --version says '$found'"
echo "$found"

# Started without the function, so that $! is the simulator itself (or its emulator) and the
# trap stops it.
"${emulator[@]}" "$root/usr/bin/do3008ra-sim" --link "$work/tty" --static >"$work/sim.log" 2>&1 &
sim_pid=$!
# 10 s for the link, stretched as the tests stretch their waits under the emulator.
for _ in $(seq $((200 * ${E2E_TIME_SCALE:-1}))); do [[ -e "$work/tty" ]] && break; sleep 0.05; done
[[ -e "$work/tty" ]] || fail "the simulator made no link in $((10 * ${E2E_TIME_SCALE:-1})) s: $(
  kill -0 "$sim_pid" 2>/dev/null && echo running || echo exited); $(tail -n 5 "$work/sim.log")"
out=$(run "$root/usr/bin/devhost" run --cycles 2 --port "$work/tty" --db "$work/devhost.db" \
  --plugin-dir "$root/usr/lib/do3008ra" --plugin-log "$work/plugin.log" \
  "$root/etc/devhost/devhost.json" 2>&1) || fail "the packaged host did not store 2 cycles: $out"
grep -q 'summary  1     cycles 2  errors 0' <<<"$out" || fail "no clean summary: $out"
# As in a journal: no line per cycle at the default level, the start line instead.
grep -q '^[0-9:]* cycle ' <<<"$out" && fail "a cycle line without --log-level detail: $out"
grep -q "devhost $version started: configuration" <<<"$out" || fail "no start line: $out"
[[ $status -eq 0 ]] && echo "package: devhost runs from its installed paths, 2 cycles stored"
exit $status
