#!/usr/bin/env bash
# Builds the Debian packages of a build tree (the service's, dorvane, and the
# fleet link's, dorvane-mqtt) and, for the native (amd64) ones,
# proves it on a clean Debian 12 root made with mmdebstrap under the build
# tree (scripts/install-test.sh holds the checks):
#  - in a chroot, without a service manager: install through invoke-rc.d, the
#    init script with Debian's and BusyBox's start-stop-daemon, upgrade,
#    logrotate, remove, purge;
#  - the same root booted with systemd-nspawn: install (enabled, started),
#    the hardened unit connecting and toggling, its exposure figure, a WAL
#    database, upgrade, remove, purge;
#  - in both, the link's package (scripts/install-test-link.sh): a broker in
#    the root, a scan's event arriving at a consumer's session.
# Both run in namespaces of their own (network, pid, mounts): nothing is left
# running or mounted. Usage: scripts/package.sh [BUILD_DIR] [--no-install-test]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cd "$build"
# The manual pages the packages hold, against the code (native builds: the
# check runs the tools), and the units' exposure.
for source in "$root"/docs/man/*.scd; do
    page=$(basename "$source" .scd)
    [ -s "man/$page.gz" ] || { echo "package: man/$page.gz is missing: install scdoc and build again" >&2; exit 1; }
done
"$root/scripts/deps.sh" lintian man-db
if grep -q '^DORVANE_SYSROOT:' CMakeCache.txt; then
    echo "== manual pages: checked in the native build (the tools here are armhf)"
else
    "$root/scripts/check-man.sh" "$build"
fi
"$root/scripts/check-exposure.sh" "$build"
rm -f dorvane_*.deb dorvane-mqtt_*.deb
cpack -G DEB >/dev/null
deb=$(ls dorvane_*.deb)
linkdeb=$(ls dorvane-mqtt_*.deb)
for d in "$deb" "$linkdeb"; do
    echo "== package $build/$d"
    dpkg-deb -f "$d" Package Version Architecture Pre-Depends Depends
done
echo "== lintian"
# Debian 12's lintian; the overrides it honours are in the packages
# (usr/share/lintian/overrides), each with the reason it is right here.
lintian --fail-on error,warning --tag-display-limit 0 "$deb" "$linkdeb"
[ "${2:-}" = "--no-install-test" ] && exit 0
case "$deb" in *_amd64.deb) ;; *) exit 0 ;; esac

"$root/scripts/deps.sh" mmdebstrap systemd-container iproute2
echo "== the unit: systemd-analyze"
# The unit as the build made it from packaging/dorvane.service.
systemd-analyze verify "$build/packaging/dorvane.service" 2>&1 |
    grep -v "Command /usr/sbin/dorvane is not executable" || true

target="$build/debian12-root"
rm -rf "$target"
echo "== a clean Debian 12 root"
mmdebstrap --quiet --variant=minbase \
    --include=systemd,systemd-sysv,libxml2,libsqlite3-0,liblog4cpp5v5,libsodium23,adduser,procps,sqlite3,logrotate,busybox,libmosquitto1,mosquitto,mosquitto-clients \
    bookworm "$target" http://deb.debian.org/debian
w="$target/root/install-test"
mkdir -p "$w"
# Each package as built, and one version up for the upgrade.
version_up() {
    cp "$1" "$w/old$2.deb"
    rm -rf "$build/deb-next" && dpkg-deb -R "$1" "$build/deb-next"
    sed -i 's/^Version: \(.*\)$/Version: \1+1/' "$build/deb-next/DEBIAN/control"
    dpkg-deb -b --root-owner-group "$build/deb-next" "$w/new$2.deb" >/dev/null
    rm -rf "$build/deb-next"
}
version_up "$deb" ""
version_up "$linkdeb" -mqtt
install -m 755 "$root/scripts/install-test.sh" "$w/install-test.sh"
install -m 644 "$root/scripts/install-test-link.sh" "$w/install-test-link.sh"
# Debian's broker would start at boot on the root's own 127.0.0.1:1883 and
# share /var/lib/mosquitto with the test's broker: masked.
ln -sf /dev/null "$target/etc/systemd/system/mosquitto.service"
cp "$target/bin/busybox" "$w/busybox-ssd"

echo "== chroot, no service manager: install, init script, upgrade, remove, purge"
unshare --net -- sh -ec 'ip link set lo up
    exec unshare --pid --fork --mount -- chroot "$1" /root/install-test/install-test.sh sysv' sh "$target"

echo "== the root booted with systemd: install, hardened unit, upgrade, remove, purge"
cat > "$target/etc/systemd/system/install-test.service" <<'UNIT'
[Unit]
Description=dorvane install test
[Service]
Type=oneshot
ExecStart=/root/install-test/install-test.sh systemd
ExecStopPost=/bin/systemctl --no-block poweroff
UNIT
ln -s ../install-test.service "$target/etc/systemd/system/multi-user.target.wants/"
timeout 240 systemd-nspawn -q --private-network --register=no --keep-unit -D "$target" \
    --boot </dev/null >"$build/nspawn.log" 2>&1 || true
cat "$w/systemd-test.out" 2>/dev/null || { tail -20 "$build/nspawn.log"; exit 1; }
grep -q '^exit=0$' "$w/systemd-test.out"
rm -rf "$target"
echo "package: installs on a clean Debian 12; init script and systemd unit proven"
