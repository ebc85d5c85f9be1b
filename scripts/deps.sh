#!/usr/bin/env bash
# Makes sure the Debian packages the build, the tests and the demo need are
# installed. As root it installs what is missing; otherwise it prints the one
# apt-get line to run and fails.
set -euo pipefail

# mosquitto: the fleet link's tests start the broker themselves (never
# Debian's system one); python3: the tests' strict JSON check of the events;
# scdoc: the manual pages.
packages=(cmake make g++ pkg-config libxml2-dev libsqlite3-dev liblog4cpp5-dev
          libgtest-dev sqlite3 libsodium-dev signify-openbsd libmosquitto-dev
          mosquitto python3 scdoc)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
    echo "Missing Debian packages. Run:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
fi
