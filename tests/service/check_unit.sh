#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the shipped systemd unit with systemd's own tools: it loads (verify, with ExecStart on
# the built devhost since the installed one is not there) and its sandbox lets the host reach
# both its control socket and an MQTT broker, while exotic socket families stay closed.
# Usage: check_unit.sh UNIT DEVHOST
set -euo pipefail
unit=$1 devhost=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze not installed: the unit is not checked"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=/usr/bin/devhost|ExecStart=$devhost|" "$unit" >"$dir/devhost.service"

if ! out=$(systemd-analyze verify --man=no "$dir/devhost.service" 2>&1) || [[ -n $out ]]; then
  echo "systemd-analyze verify:"
  echo "$out"
  exit 1
fi

security=$(systemd-analyze security --offline=yes "$dir/devhost.service" 2>&1)
fail=0
expect() {
  if ! grep -qF "$1" <<<"$security"; then
    echo "systemd-analyze security does not say: $1"
    fail=1
  fi
}
expect "Service may allocate local sockets"
expect "Service may allocate Internet sockets"
expect "Service cannot allocate exotic sockets"
expect "Service cannot allocate packet sockets"
# No capability and a system-call allow list: the service runs as its own unprivileged user.
expect "Service has no administrator privileges"
expect "System call allow list defined for service"
((fail == 0)) || echo "$security"
grep -F 'Overall exposure level' <<<"$security" || true
exit $fail
