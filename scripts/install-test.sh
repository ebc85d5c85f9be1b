#!/bin/sh
# The install test, run inside the clean Debian 12 root that scripts/package.sh
# makes: "sysv" in a chroot (no service manager: the init script, with
# Debian's and with BusyBox's start-stop-daemon), "systemd" in the same root
# booted as a container. /root/install-test holds the two packages (old.deb, new.deb, a
# higher version) in /root/install-test. Every check prints one line; the first failure ends it.
# The fleet link's package (old-mqtt.deb, new-mqtt.deb) is proven in
# install-test-link.sh, beside it.
set -eu
# The packages, this script and its files (nspawn mounts a fresh /tmp).
W=/root/install-test

fail() { echo "FAIL: $*"; exit 1; }
ok() { echo "ok: $*"; }

# A site of two outputs, the sample pairing file's Door1, and a database the
# site owns: root's, read-only to everyone else, in SQLite's default mode.
prepare_site() {
    printf 'port 12 1 dout RELAY_1\nport 12 2 dout LED_1\n' > $W/site.txt
    rm -rf /var/ulx && mkdir -m 755 /var/ulx
    sqlite3 /var/ulx/access.db "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);
        INSERT INTO codes VALUES ('04A1', 'Door1');"
    chmod 644 /var/ulx/access.db
}

# The simulated site daemon on 127.0.0.1:60000, up before the package is
# installed (and the service started); commands through fd 3.
sim_start() {
    dpkg-deb --fsys-tarfile $W/old.deb | tar -xO ./usr/bin/ulxd-sim > $W/ulxd-sim
    chmod 755 $W/ulxd-sim
    rm -f $W/sim.in && mkfifo $W/sim.in
    $W/ulxd-sim --site $W/site.txt < $W/sim.in > $W/sim.out 2>&1 &
    exec 3> $W/sim.in
}

sets() { grep -c '^SET ' $W/sim.out || true; }

# Scans 04A1 and waits (start-up included) for both outputs to be set: $1 says
# whether they must (yes) or must not (no) toggle.
scan_toggles() {
    before=$(sets)
    echo "scan 12 04A1" >&3
    n=0
    while [ $n -lt 100 ] && [ "$(sets)" -lt $((before + 2)) ]; do
        sleep 0.1
        n=$((n + 1))
    done
    if [ "$1" = yes ]; then
        [ "$(sets)" -ge $((before + 2)) ] || fail "a scan of 04A1 toggled nothing"
    else
        [ "$(sets)" -eq "$before" ] || fail "a scan of 04A1 toggled outputs"
    fi
}

# The services running (one that has ended, not yet reaped, is none).
service_pids() { ps -o pid=,stat= -C dorvane | awk '$2 !~ /^Z/ { print $1 }'; }
count() { service_pids | wc -l; }

# Two starts at the same moment, again and again: one service, and the pid
# file names it. A service started beside it stops with its line; so does
# one the init script starts when the pid file is lost, and the pid file
# then names the service that runs.
start_race() {
    impl=$1
    i=0
    while [ $i -lt 10 ]; do
        /etc/init.d/dorvane stop >/dev/null
        /etc/init.d/dorvane start >/dev/null &
        a=$!
        /etc/init.d/dorvane start >/dev/null &
        b=$!
        wait $a || fail "$impl: a start failed in round $i"
        wait $b || fail "$impl: a start failed in round $i"
        [ "$(count)" -eq 1 ] || fail "$impl: two starts at once: $(count) services (round $i)"
        [ "$(service_pids)" = "$(cat /run/dorvane.pid)" ] ||
            fail "$impl: the pid file does not name the service (round $i)"
        i=$((i + 1))
    done
    pid=$(cat /run/dorvane.pid)
    set +e
    out=$(timeout 10 /usr/sbin/dorvane 2>&1)
    rc=$?
    set -e
    [ $rc -ne 0 ] && [ $rc -ne 124 ] && [ "$out" = "dorvane: another service already runs with the configuration file /etc/ulx/dorvane.conf; this one stops" ] ||
        fail "$impl: a second service by hand: status $rc, said: $out"
    rm /run/dorvane.pid
    /etc/init.d/dorvane start >/dev/null || fail "$impl: a start with the pid file lost failed"
    [ "$(cat /run/dorvane.pid)" = "$pid" ] && [ "$(service_pids)" = "$pid" ] ||
        fail "$impl: with the pid file lost, a start changed the service or named another"
    ok "$impl: two starts at once run one service, 10 times; a second service is refused; a lost pid file names the service again"
}

sysv_checks() {
    impl=$1
    /etc/init.d/dorvane stop >/dev/null
    /etc/init.d/dorvane start >/dev/null
    /etc/init.d/dorvane start >/dev/null
    [ "$(count)" -eq 1 ] || fail "$impl: start twice: $(count) services running"
    /etc/init.d/dorvane status >/dev/null || fail "$impl: status says not running"
    pid=$(cat /run/dorvane.pid)
    [ "$(ps -o user= -p "$pid")" = dorvane ] || fail "$impl: not running as dorvane"
    scan_toggles yes
    start_race "$impl"
    /etc/init.d/dorvane stop >/dev/null
    [ "$(count)" -eq 0 ] || fail "$impl: stop left $(count) running"
    set +e
    /etc/init.d/dorvane status >/dev/null
    rc=$?
    set -e
    [ $rc -eq 3 ] || fail "$impl: status after stop exits $rc, not 3"
    ok "$impl start-stop-daemon: start twice runs one, a scan toggles, stop leaves none, status 0/3"
}

sysv() {
    prepare_site
    sim_start
    # No service manager: the maintainer scripts go through invoke-rc.d, which
    # asks runlevel(8); a SysV unit in runlevel 2 answers so.
    # (here a link to systemctl, put back at the end).
    printf '#!/bin/sh\necho N 2\n' > $W/runlevel && chmod 755 $W/runlevel
    runlevel_was=$(readlink /sbin/runlevel)
    ln -sf $W/runlevel /sbin/runlevel
    dpkg -i $W/old.deb >/dev/null
    getent passwd dorvane >/dev/null || fail "no user dorvane"
    ls /etc/rc2.d/S*dorvane >/dev/null 2>&1 || fail "not enabled for runlevel 2"
    [ -L /etc/systemd/system/multi-user.target.wants/dorvane.service ] || fail "unit not enabled"
    [ "$(stat -c %U:%a /var/ulx /var/ulx/access.db)" = "root:755
root:644" ] || fail "/var/ulx or the database changed owner or mode"
    [ "$(count)" -eq 1 ] || fail "install: $(count) services running"
    [ "$(stat -c %U:%G:%a /var/spool/dorvane/outbox)" = dorvane:dorvane:2770 ] ||
        fail "the outbox folder is $(stat -c %U:%G:%a /var/spool/dorvane/outbox)"
    ok "install: user, enabled (rc2.d and unit), started, /var/ulx untouched, outbox folder"
    scan_toggles yes
    ok "the service reads a root-owned 644 database in a root-owned 755 /var/ulx"

    sysv_checks Debian
    # BusyBox's start-stop-daemon (and flock, when it has one) in place of Debian's.
    mount --bind $W/busybox-ssd /usr/sbin/start-stop-daemon
    # Without one, a flock that locks nothing: the invocations are not
    # serialised, and the service's own lock must keep it to one.
    if $W/busybox-ssd --list | grep -qx flock; then
        mount --bind $W/busybox-ssd /usr/bin/flock
        echo "note: BusyBox's flock"
    else
        printf '#!/bin/sh\nexit 0\n' > $W/noflock && chmod 755 $W/noflock
        mount --bind $W/noflock /usr/bin/flock
        echo "note: this BusyBox has no flock: the init script's invocations are not serialised"
    fi
    sysv_checks BusyBox
    umount /usr/bin/flock
    umount /usr/sbin/start-stop-daemon
    link_sysv

    /etc/init.d/dorvane start >/dev/null
    old=$(cat /run/dorvane.pid)
    dpkg -i $W/new.deb >/dev/null
    new=$(cat /run/dorvane.pid)
    [ "$(count)" -eq 1 ] && [ "$old" != "$new" ] || fail "upgrade: not restarted ($old, $new)"
    ok "upgrade restarts the service (pid $old, then $new)"

    echo hello >> /var/log/ulx/dorvane.out
    logrotate -f /etc/logrotate.d/dorvane
    [ -f /var/log/ulx/dorvane.out.1 ] && [ ! -s /var/log/ulx/dorvane.out ] ||
        fail "logrotate did not rotate dorvane.out"
    ok "logrotate rotates dorvane.out (copytruncate)"

    dpkg -r dorvane >/dev/null
    [ "$(count)" -eq 0 ] || fail "remove: $(count) still running"
    dpkg -P dorvane >/dev/null
    ! getent passwd dorvane >/dev/null || fail "purge left user dorvane"
    ! ls /etc/rc2.d/S*dorvane >/dev/null 2>&1 || fail "purge left rc links"
    [ ! -e /var/log/ulx/dorvane.out ] && [ -f /var/ulx/access.db ] ||
        fail "purge: output file left or database removed"
    [ ! -e /var/spool/dorvane ] || fail "purge left /var/spool/dorvane"
    ok "remove stops it; purge removes user, links, output, outbox; the database stays"
    ln -sf "$runlevel_was" /sbin/runlevel
}

# Type=simple is active before it has connected: a scan sent then is lost.
settle() { [ "$notify" = yes ] || sleep 4; }

systemd_checks() {
    prepare_site
    sim_start
    dpkg-deb --fsys-tarfile $W/old.deb | tar -xO ./usr/sbin/dorvane > $W/dorvane
    chmod 755 $W/dorvane
    notify=yes
    if ! grep -q NOTIFY_SOCKET $W/dorvane; then
        # A service that does not speak the readiness protocol yet.
        mkdir -p /etc/systemd/system/dorvane.service.d
        printf '[Service]\nType=simple\nWatchdogSec=0\n' \
            > /etc/systemd/system/dorvane.service.d/simple.conf
        echo "note: the service does not speak the readiness protocol: tested as Type=simple"
        notify=no
    fi
    dpkg -i $W/old.deb >/dev/null
    settle
    [ "$(systemctl is-enabled dorvane)" = enabled ] || fail "not enabled on install"
    systemctl is-active -q dorvane || fail "not active after install"
    ok "install: enabled and active under systemd"
    scan_toggles yes
    ok "hardened unit: the service connects, discovers and toggles"
    score=$(systemd-analyze security --offline=yes --no-pager /lib/systemd/system/dorvane.service | sed -n 's/.*exposure level for dorvane.service: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security dorvane.service: $score"
    awk "BEGIN { exit !($score <= 1.5) }" || fail "exposure $score above 1.5"

    pid=$(systemctl show -p MainPID --value dorvane)
    if [ $notify = yes ]; then
        systemctl reload dorvane
        sleep 1
        [ "$(systemctl show -p MainPID --value dorvane)" = "$pid" ] || fail "reload restarted"
        scan_toggles yes
        ok "reload keeps the service (pid $pid) and its connection"
    fi

    # A database left in WAL mode cannot be read without its -shm file, which
    # a read-only reader cannot create: scans fail closed until the
    # provisioning tool returns it to rollback mode.
    sqlite3 /var/ulx/access.db "PRAGMA journal_mode=WAL;" >/dev/null
    systemctl restart dorvane
    settle
    scan_toggles no
    sqlite3 /var/ulx/access.db "PRAGMA journal_mode=DELETE;" >/dev/null
    scan_toggles yes
    ok "WAL without -shm: nothing toggles; back in rollback mode: toggles, no restart"
    link_systemd

    pid=$(systemctl show -p MainPID --value dorvane)
    dpkg -i $W/new.deb >/dev/null
    new=$(systemctl show -p MainPID --value dorvane)
    systemctl is-active -q dorvane && [ "$new" != "$pid" ] || fail "upgrade: not restarted"
    ok "upgrade restarts the service (MainPID $pid, then $new)"

    dpkg -r dorvane >/dev/null
    ! systemctl is-active -q dorvane || fail "remove: still active"
    [ "$(count)" -eq 0 ] || fail "remove: a process is left"
    dpkg -P dorvane >/dev/null
    ! getent passwd dorvane >/dev/null || fail "purge left user dorvane"
    [ ! -e /etc/systemd/system/multi-user.target.wants/dorvane.service ] ||
        fail "purge left the enablement link"
    ok "remove stops it; purge removes user and links"
}

. $W/install-test-link.sh

case "${1:-}" in
    sysv)
        # Process 1 of a pid namespace, inside the root: invoke-rc.d sees no
        # chroot and runs the init script.
        mount -t proc proc /proc
        sysv ;;
    systemd)
        # Run as a unit of the booted root, which powers it off after.
        rc=0
        systemd_checks > $W/systemd-test.out 2>&1 || rc=$?
        echo "exit=$rc" >> $W/systemd-test.out
        exec 3>&- ;;
    *) echo "usage: $0 sysv|systemd" >&2; exit 2 ;;
esac
