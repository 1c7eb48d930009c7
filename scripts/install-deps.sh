#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those that are missing; a quick no-op
# when everything is there. Needs root (or sudo) when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config binutils
  libboost-dev libjsoncpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
