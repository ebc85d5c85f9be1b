#!/usr/bin/env bash
# Builds the Debian package of a build tree and, for the native (amd64) one,
# proves it on a clean Debian 12: a fresh root made with mmdebstrap under the
# build tree, dpkg -i, then the service binary started as its own user.
# Usage: scripts/package.sh [BUILD_DIR] [--no-install-test]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cd "$build"
rm -f dorvane_*.deb
cpack -G DEB >/dev/null
deb=$(ls dorvane_*.deb)
echo "== package $build/$deb"
dpkg-deb -f "$deb" Package Version Architecture Depends
[ "${2:-}" = "--no-install-test" ] && exit 0
case "$deb" in *_amd64.deb) ;; *) exit 0 ;; esac

"$root/scripts/deps.sh" mmdebstrap
target="$build/debian12-root"
rm -rf "$target"
echo "== installing into a clean Debian 12 root"
mmdebstrap --quiet --variant=minbase \
    --include=libxml2,libsqlite3-0,liblog4cpp5v5,adduser,procps \
    --customize-hook="copy-in '$build/$deb' /tmp" \
    --customize-hook="chroot \"\$1\" dpkg -i /tmp/$deb" \
    --customize-hook="chroot \"\$1\" sh -c 'getent passwd dorvane && test -d /var/ulx && test -f /etc/ulx/dorvane.conf'" \
    --customize-hook="chroot \"\$1\" sh -c 'dorvanectl --help >/dev/null'" \
    --customize-hook="chroot --userspec=dorvane:dorvane \"\$1\" sh -c 'cd /tmp; timeout 4 /usr/sbin/dorvane > /tmp/dorvane.out 2>&1; echo exit=\$? >> /tmp/dorvane.out'" \
    --customize-hook="copy-out /tmp/dorvane.out '$build'" \
    bookworm "$target" http://deb.debian.org/debian
cat "$build/dorvane.out"
# Still running when stopped after four seconds (124), having started its
# discovery: the service started.
grep -q "Getting Device" "$build/dorvane.out"
grep -q "exit=124" "$build/dorvane.out"
rm -rf "$target"
echo "package: installs on a clean Debian 12 and the service starts"
