#!/usr/bin/env bash
# Builds dorvane for the site unit (armhf), runs the test suite under
# qemu-arm and builds the armhf package. The fleet link's tests against a
# broker run once, natively (make test); here only the smoke ones (label
# "fleet-smoke": the link, the service and the simulator under qemu-arm,
# this machine's broker). The sysroot is made from Debian's armhf packages under the build
# tree, and made again when the list of packages changes.
# Usage: scripts/cross.sh [BUILD_DIR]   (default build-armhf)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh crossbuild-essential-armhf qemu-user mmdebstrap file
build=${1:-build-armhf}
mkdir -p "$build"
build=$(cd "$build" && pwd)
sysroot="$build/sysroot"
packages=libc6-dev,libstdc++-12-dev,libxml2-dev,libsqlite3-dev,liblog4cpp5-dev,libgtest-dev,libsodium-dev,libmosquitto-dev
if [ "$(cat "$sysroot/.complete" 2>/dev/null)" != "$packages" ]; then
    rm -rf "$sysroot"
    echo "== making the armhf sysroot in $sysroot"
    mmdebstrap --quiet --variant=extract --architectures=armhf --include="$packages" \
        bookworm "$sysroot" http://deb.debian.org/debian
    echo "$packages" > "$sysroot/.complete"
fi
export DORVANE_SYSROOT="$sysroot"
cmake --preset armhf -B "$build" -DDORVANE_SYSROOT="$sysroot" >/dev/null
cmake --build "$build" -j"$(nproc)"
file "$build/src/dorvane" | grep -q "ARM" || { echo "not an ARM binary" >&2; exit 1; }
# The stripped sizes against their budgets (scripts/size-budgets), every
# binary in one table, before the slow tests: a binary over its budget fails.
echo "== stripped sizes against their budgets (scripts/size-budgets)"
over=0
printf '%-12s %10s %10s %6s\n' binary bytes budget used
while read -r b budget; do
    case $b in ''|'#'*) continue ;; esac
    stripped="$build/$(basename "$b").stripped"
    arm-linux-gnueabihf-strip -o "$stripped" "$build/$b"
    size=$(stat -c %s "$stripped")
    verdict=""
    if [ "$size" -gt "$budget" ]; then
        verdict="  OVER BUDGET"
        over=1
    fi
    printf '%-12s %10d %10d %5d%%%s\n' "$(basename "$b")" "$size" "$budget" \
        $((size * 100 / budget)) "$verdict"
done < scripts/size-budgets
if [ "$over" -ne 0 ]; then
    echo "a stripped binary is over its budget (scripts/size-budgets)" >&2
    exit 1
fi
echo "== tests for armhf under qemu-arm"
DORVANE_FLOOD_EVENTS=${DORVANE_FLOOD_EVENTS:-5000} \
    ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600 -LE fleet
echo "== the fleet link's smoke tests under qemu-arm"
ctest --test-dir "$build" --output-on-failure --timeout 600 -L fleet-smoke
scripts/package.sh "$build" --no-install-test
