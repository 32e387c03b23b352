#!/usr/bin/env bash
# Installs the Debian packages that building (and, with "test", testing) orvctl needs, if any
# are missing. Uses sudo when not run as root.
set -euo pipefail

packages=(cmake make g++ pkg-config libbcm2835-dev libasound2-dev zlib1g-dev)
if [ "${1:-}" = test ]; then
  packages+=(libgtest-dev)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
