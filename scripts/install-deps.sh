#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the project needs, and only those that are missing; a quick no-op
# when everything is there. Needs root (or sudo) when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config binutils
  libboost-dev libjsoncpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # The reference host and the simulated sensor: Modbus-RTU, and the host's store.
  libmodbus-dev libsqlite3-dev
  # The MQTT bridge (libmosquitto), and the broker and clients its tests start on their own port.
  libmosquitto-dev mosquitto mosquitto-clients
  # The Prometheus endpoint (libmicrohttpd), and the server and promtool its test starts on its
  # own port.
  libmicrohttpd-dev prometheus
  # TLS: the host checks its TLS files with OpenSSL; the tests make their CA and certificates
  # with the openssl program and run a client with setpriv (util-linux, below).
  libssl-dev openssl
  # devhost plot draws its pictures with gnuplot (no X11 needed for SVG and PNG).
  gnuplot-nox
  # Instruction counts of the benchmarks, and the general-purpose Modbus poller that the
  # reference host is compared with (scripts/callgrind.sh, scripts/bench.sh); the store's system
  # calls per cycle (scripts/store-syscalls.sh).
  valgrind mbpoll strace
  # Fuzz targets (libFuzzer with ASan and UBSan) are built with clang.
  clang-14 libclang-rt-14-dev
  # The 32-bit ARM board: cross compiler, user-mode emulator for the tests, and the armhf
  # builds of what the plug-in, the host library and the tests link.
  g++-arm-linux-gnueabihf qemu-user
  libboost-dev:armhf libjsoncpp-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
  # The reference host and the simulator for the board. Multi-Arch: same, so they sit beside the
  # amd64 ones; apt keeps both at one version.
  libmodbus-dev:armhf libsqlite3-dev:armhf libmosquitto-dev:armhf libssl-dev:armhf
  libmicrohttpd-dev:armhf
  # A second ARM toolchain, standing in for a board vendor's SDK (scripts/test-vendor-arm.sh);
  # dpkg-dev (dpkg-shlibdeps) and file for packaging the plug-in with CPack.
  g++-11-arm-linux-gnueabihf dpkg-dev file
  # The package tests check the devhost and plug-in packages with Debian's own checker.
  lintian
  # The manual pages are written in scdoc (docs/man) and made into roff by it; the package test
  # reads them with man.
  scdoc man-db
  # Number texts of the plug-in: fmt, used header-only so the board needs no library for it.
  libfmt-dev libfmt-dev:armhf
  # The soak's checker reads the database with Python's own sqlite3 module; util-linux has the
  # unshare and mount that the full-disk test uses for a tmpfs of its own.
  python3 util-linux
  # The retention test runs a host on a clock started wrong and corrected meanwhile.
  faketime libfaketime
)

native_arch=$(dpkg --print-architecture)

# Installed for the named architecture (the native one when none is named); a package of
# architecture "all" serves every one. A -dev package may be installed for several.
installed() {
  local name=${1%%:*} arch=$native_arch
  [[ "$1" != *:* ]] || arch=${1#*:}
  dpkg-query -W -f='${Status} ${Architecture}\n' "$name" 2>/dev/null |
    grep -qE "^install ok installed ($arch|all)\$"
}

# Depends of the named packages, recursively, as apt names them ("name" or "name:arch").
closure() {
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "$@" 2>/dev/null | grep -E '^[a-z0-9]' | sort -u
}

# "name:arch=version name:native=version" for every Multi-Arch: same library the foreign
# packages need whose candidate differs from the native one's, at the foreign candidate when the
# native index has that version too.
aligned_versions() {
  local foreign same
  foreign=$(closure $(printf '%s\n' "$@" | grep ':') | grep ':')
  [[ -n $foreign ]] || return 0
  same=$(apt-cache show $foreign 2>/dev/null | awk '/^Package:/ { p = $2 }
    /^Architecture:/ { a = $2 } /^Multi-Arch: same$/ { print p ":" a }' | sort -u)
  [[ -n $same ]] || return 0
  apt-cache policy $same $(sed "s/:.*/:$native_arch/" <<<"$same") |
    awk -v native="$native_arch" -v foreign="$same" '
      /^[^ ].*:$/ { p = substr($0, 1, length($0) - 1); if (p !~ /:/) p = p ":" native }
      /^  Candidate:/ { candidate[p] = $2 }
      /^ (\*\*\*|   ) [^ ]+ [0-9]+$/ { has[p, $(NF - 1)] = 1 }
      END {
        n = split(foreign, list, "\n")
        for (i = 1; i <= n; i++) {
          f = list[i]; name = f; sub(/:.*/, "", name); v = candidate[f]; nat = name ":" native
          if (v == "" || v == "(none)" || v == candidate[nat] || !has[nat, v]) continue
          print f "=" v; print nat "=" v
        }
      }'
}

missing=()
foreign_archs=()
for package in "${packages[@]}"; do
  installed "$package" && continue
  missing+=("$package")
  [[ "$package" != *:* ]] || foreign_archs+=("${package#*:}")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
for arch in $(printf '%s\n' "${foreign_archs[@]}" | sort -u); do
  dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
# A mirror in the middle of a sync may serve one index that does not match its release file;
# apt then keeps the lists it had or got. Try again once, then install from what it has: a
# package that is really missing still fails the install below.
if ! $sudo apt-get update -qq; then
  sleep 10
  $sudo apt-get update -qq ||
    echo "install-deps: apt-get update reported errors; installing from the lists it has" >&2
fi
# The broker and Prometheus packages would start system services (ports 1883 and 9090); the
# tests start their own on a free port and nothing here needs a system one, so services stay
# stopped during the install
# (Debian's policy-rc.d, honoured by invoke-rc.d and deb-systemd-invoke), unless a policy exists.
policy=/usr/sbin/policy-rc.d
if [[ ! -e $policy ]]; then
  trap '$sudo rm -f "$policy"' EXIT
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
fi
apt_install() { $sudo apt-get install -y -qq --no-install-recommends "$@"; }
apt_install "${missing[@]}" && exit 0
((${#foreign_archs[@]} > 0)) || exit 1
# A library of both architectures (Multi-Arch: same) must be installed at one version. When one
# architecture's index could not be fetched (a mirror serving a stale or broken list), the
# other's candidates may be versions the first does not have, and the install fails. Try once
# more with each such library pinned, for both architectures, to the foreign candidate.
echo "install-deps: retrying with libraries aligned across architectures" >&2
apt_install --allow-downgrades "${missing[@]}" $(aligned_versions "${missing[@]}")
