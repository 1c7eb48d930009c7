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
host_pid=""
trap 'for pid in $host_pid $sim_pid; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"' EXIT
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
# devhost plot needs gnuplot: apt installs what a package recommends.
grep -q 'gnuplot' <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends does not name gnuplot"
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
  usr/share/doc/devhost/changelog.gz usr/share/doc/devhost/control-protocol.md \
  usr/share/doc/devhost/tls-setup.md usr/share/man/man1/devhost.1.gz \
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
  # Tags that were put right; an override names why one cannot be.
  grep -E '^[EW]: .*(maintscript-calls-ldconfig)' "$work/lintian.log" && fail "lintian: see above"
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
# Its pseudo-terminal handed to a group, as for a service that runs as another user.
"${emulator[@]}" "$root/usr/bin/do3008ra-sim" --link "$work/tty" --pty-group "$(id -gn)" --static \
  >"$work/sim.log" 2>&1 &
sim_pid=$!
# 10 s for the link, stretched as the tests stretch their waits under the emulator.
for _ in $(seq $((200 * ${E2E_TIME_SCALE:-1}))); do [[ -e "$work/tty" ]] && break; sleep 0.05; done
[[ -e "$work/tty" ]] || fail "the simulator made no link in $((10 * ${E2E_TIME_SCALE:-1})) s: $(
  kill -0 "$sim_pid" 2>/dev/null && echo running || echo exited); $(tail -n 5 "$work/sim.log")"
# The shipped configuration gives the control socket to group devhost, which the package makes;
# where the package is not installed (or for a user who may not give it that group), a copy
# gives it to this user's group instead.
config=$root/etc/devhost/devhost.json
socket_group=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["controlSocketGroup"])' "$config")
[[ $socket_group == devhost ]] || fail "the shipped configuration's controlSocketGroup is '$socket_group'"
if [[ $(id -u) != 0 ]] || ! getent group "$socket_group" >/dev/null; then
  socket_group=$(id -gn)
  sed "s/\"controlSocketGroup\": \"devhost\"/\"controlSocketGroup\": \"$socket_group\"/" \
    "$root/etc/devhost/devhost.json" >"$work/devhost.json"
  config=$work/devhost.json
fi
# Every group the unit gives the service is one the package makes (systemd refuses to start a
# unit naming a group that does not exist), and the secrets' group is not the operators' one.
for group in $(sed -n 's/^SupplementaryGroups=//p' "$root/lib/systemd/system/devhost.service"); do
  [[ $group == dialout ]] || grep -q "addgroup --system $group" "$work/control/postinst" ||
    fail "the unit names group $group, which postinst does not make"
  [[ $group != devhost ]] || fail "the service's secrets are readable by the operators' group"
done

# Everything below runs the installed programs with the installed configuration and no
# --plugin-dir: the plug-in is found where its package puts it.
installed_host() { "${emulator[@]}" "$root/usr/bin/devhost" "$1" --port "$work/tty" \
  --db "$work/devhost.db" --plugin-log "$work/plugin.log" "${@:2}"; }
[[ "$(stat -L -c '%a %G' "$work/tty")" == "660 $(id -gn)" ]] ||
  fail "the simulator's pseudo-terminal: $(stat -L -c '%a %G' "$work/tty")"
out=$(installed_host run --cycles 2 "$config" 2>&1) || fail "the packaged host did not store 2 cycles: $out"
grep -q 'summary  1     cycles 2  errors 0' <<<"$out" || fail "no clean summary: $out"
# As in a journal: no line per cycle at the default level, the start line instead.
grep -q '^[0-9:]* cycle ' <<<"$out" && fail "a cycle line without --log-level detail: $out"
grep -q "devhost $version started: configuration" <<<"$out" || fail "no start line: $out"

# An operator's status through the running service's socket, which is 0660 in the group. Not
# started through the function, so that $! is the host itself (or its emulator).
"${emulator[@]}" "$root/usr/bin/devhost" run --port "$work/tty" --db "$work/devhost.db" \
  --plugin-log "$work/plugin.log" "$config" >"$work/host.log" 2>&1 &
host_pid=$!
for _ in $(seq $((200 * ${E2E_TIME_SCALE:-1}))); do [[ -S "$work/devhost.sock" ]] && break; sleep 0.05; done
[[ "$(stat -c '%a %G' "$work/devhost.sock" 2>&1)" == "660 $socket_group" ]] ||
  fail "control socket: $(stat -c '%a %G' "$work/devhost.sock" 2>&1); $(tail -n 5 "$work/host.log")"
out=$(installed_host status "$config" 2>&1) || fail "status through the running host: $out"
kill "$host_pid" && wait "$host_pid" || fail "the running host did not end cleanly on SIGTERM"
host_pid=""

# Commissioning with the service stopped: the command runs its own host on the line.
out=$(installed_host readdress "$config" 1 7 2>&1) || fail "readdress with the service stopped: $out"
grep -q 'now at address 7' <<<"$out" || fail "readdress did not verify address 7: $out"
[[ $status -eq 0 ]] && echo "package: devhost runs from its installed paths, 2 cycles stored, status through its socket, readdress with it stopped"
exit $status
