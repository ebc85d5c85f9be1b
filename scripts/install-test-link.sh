# The fleet link's part of the install test (sourced by install-test.sh, in
# the same clean Debian 12 root): the package dorvane-mqtt beside the
# service's, a broker of the test's own, and a scan's event arriving at a
# central consumer's session. Uses fail, ok, scan_toggles and $W from there.

# The broker: mosquitto on a loopback address of the test's own (the root's
# network is its own too), never 127.0.0.1:1883.
BROKER=127.31.0.1
BPORT=18831
SITE=site1
UNIT=door3
TOPIC=dorvane/$SITE/$UNIT
LINKDOC=/usr/share/doc/dorvane-mqtt

# Started by this script, ended by its pid.
broker_pid=

# The center's sample configuration, its first part as shipped (persistence,
# no queue limits), with a listener of the test's own that lets anonymous
# clients in. $1: "fresh" drops what an earlier broker saved.
broker_start() {
    [ "${1:-}" = fresh ] && rm -f /var/lib/mosquitto/mosquitto.db
    sed '/^# ---- Part two/q' $LINKDOC/mosquitto-center.conf > $W/mosquitto.conf
    printf 'listener %s %s\nallow_anonymous true\n' $BPORT $BROKER >> $W/mosquitto.conf
    chmod 644 $W/mosquitto.conf
    mosquitto -c $W/mosquitto.conf >> $W/mosquitto.out 2>&1 &
    broker_pid=$!
    n=0
    until mosquitto_sub -h $BROKER -p $BPORT -t probe -E 2>/dev/null; do
        [ $n -lt 100 ] || fail "the broker did not start: $(tail -3 $W/mosquitto.out)"
        sleep 0.1
        n=$((n + 1))
    done
}

# SIGTERM: mosquitto saves its database as it stops.
broker_stop() {
    [ -n "$broker_pid" ] || return 0
    kill "$broker_pid" 2>/dev/null || true
    wait "$broker_pid" 2>/dev/null || true
    broker_pid=
}

# MQTT 5 clients of the broker; $1 the client id of a session that outlives
# its connection (a central consumer's), then mosquitto_sub's own options.
sub() {
    id=$1
    shift
    mosquitto_sub -V mqttv5 -h $BROKER -p $BPORT -c -i "$id" -q 1 "$@"
}

# The service writes an outbox; the link is configured from its sample:
# plain MQTT to the loopback broker, the unit's names.
configure_link() {
    grep -q '^outbox=' /etc/ulx/dorvane.conf ||
        echo "outbox=/var/spool/dorvane/outbox" >> /etc/ulx/dorvane.conf
    sed -e "s/^broker=.*/broker=$BROKER/" -e "s/^#port=.*/port=$BPORT/" \
        -e '/^caFile=/d' -e '/^certFile=/d' -e '/^keyFile=/d' \
        -e "s/^site=.*/site=$SITE/" -e "s/^unit=.*/unit=$UNIT/" \
        $LINKDOC/dorvane-mqtt.conf > /etc/ulx/dorvane-mqtt.conf
}

# A scan of 04A1 toggles, and its event reaches the consumer's session $1
# (made before the scan): one access event with the trail's facts.
event_arrives() {
    scan_toggles yes
    sub "$1" -t "$TOPIC/events" -C 1 -W 30 > $W/event.json ||
        fail "$2: no event within 30 s ($(cat $W/event.json))"
    for field in '"type":"access"' '"code":"04A1"' '"reader":"Door1"' '"result":"toggled"'; do
        grep -qF "$field" $W/event.json || fail "$2: the event lacks $field: $(cat $W/event.json)"
    done
}

link_installed() {
    getent passwd dorvane-mqtt >/dev/null || fail "no user dorvane-mqtt"
    [ "$(stat -c %U:%G:%a /var/spool/dorvane/outbox)" = "dorvane:dorvane-mqtt:2770" ] ||
        fail "outbox folder: $(stat -c %U:%G:%a /var/spool/dorvane/outbox), not dorvane:dorvane-mqtt:2770"
}

link_purged() {
    ! getent passwd dorvane-mqtt >/dev/null || fail "purge left user dorvane-mqtt"
    ! getent group dorvane-mqtt >/dev/null || fail "purge left group dorvane-mqtt"
    [ ! -e /var/lib/dorvane-mqtt ] || fail "purge left /var/lib/dorvane-mqtt"
    [ "$(stat -c %U:%G /var/spool/dorvane/outbox)" = dorvane:dorvane ] ||
        fail "purge left the outbox's group $(stat -c %G /var/spool/dorvane/outbox)"
}

link_pids() { ps -o pid=,stat= -C dorvane-mqtt | awk '$2 !~ /^Z/ { print $1 }'; }

# Without systemd: the init script starts nothing unconfigured, starts the
# link as its own user, refuses a configuration it refuses, stops it.
link_sysv() {
    dpkg -i $W/old-mqtt.deb >/dev/null
    broker_start fresh
    link_installed
    ls /etc/rc2.d/S*dorvane-mqtt >/dev/null 2>&1 || fail "link: not enabled for runlevel 2"
    [ -z "$(link_pids)" ] || fail "link: started without its configuration"
    ok "link install: user, outbox folder dorvane:dorvane-mqtt 2770, enabled, not started unconfigured"

    configure_link
    /etc/init.d/dorvane restart >/dev/null
    sub center -t "$TOPIC/events" -E
    /etc/init.d/dorvane-mqtt start >/dev/null || fail "link: start failed: $(tail -3 /var/log/ulx/dorvane-mqtt.out)"
    pid=$(cat /run/dorvane-mqtt.pid)
    [ "$(link_pids)" = "$pid" ] || fail "link: the pid file does not name the link"
    [ "$(ps -o user= -p "$pid")" = dorvane-mqtt ] || fail "link: not running as dorvane-mqtt"
    /etc/init.d/dorvane-mqtt status >/dev/null || fail "link: status says not running"
    event_arrives center "sysv"
    ok "init script: the link runs as dorvane-mqtt; a scan's event arrives at the broker"

    /etc/init.d/dorvane-mqtt stop >/dev/null
    [ -z "$(link_pids)" ] || fail "link: stop left it running"
    cp /etc/ulx/dorvane-mqtt.conf $W/link.conf
    echo "colour=blue" >> /etc/ulx/dorvane-mqtt.conf
    ! /etc/init.d/dorvane-mqtt start >/dev/null 2>&1 || fail "link: a refused configuration started"
    grep -q "unknown key colour" /var/log/ulx/dorvane-mqtt.out ||
        fail "link: the refusal is not said: $(tail -2 /var/log/ulx/dorvane-mqtt.out)"
    cp $W/link.conf /etc/ulx/dorvane-mqtt.conf
    ok "init script: stop leaves none; a refused configuration fails the start with its line"

    dpkg -r dorvane-mqtt >/dev/null
    dpkg -P dorvane-mqtt >/dev/null
    link_purged
    ! ls /etc/rc2.d/S*dorvane-mqtt >/dev/null 2>&1 || fail "link: purge left rc links"
    rm -f /etc/ulx/dorvane-mqtt.conf
    broker_stop
    ok "link remove and purge: user, group, state and links gone, outbox back to the service's group"
}

# Under systemd: the hardened unit, ready with a status line, the event and
# the unit's state at the broker, the event kept by the broker across its
# restart, exit status 2 not restarted, upgrade, remove, purge.
link_systemd() {
    dpkg -i $W/old-mqtt.deb >/dev/null
    broker_start fresh
    link_installed
    [ "$(systemctl is-enabled dorvane-mqtt)" = enabled ] || fail "link: not enabled on install"
    ! systemctl is-active -q dorvane-mqtt || fail "link: active without its configuration"
    [ "$(systemctl show -p ConditionResult --value dorvane-mqtt)" = no ] ||
        fail "link: its start was not held back by ConditionPathExists"
    ok "link install: user, outbox folder dorvane:dorvane-mqtt 2770, enabled, not started unconfigured"
    for unit in dorvane-mqtt dorvane-mqtt-apply; do
        score=$(systemd-analyze security --offline=yes --no-pager /lib/systemd/system/$unit.service |
            sed -n "s/.*exposure level for $unit.service: \([0-9.]*\).*/\1/p")
        echo "systemd-analyze security $unit.service: $score"
        awk "BEGIN { exit !($score <= 1.5) }" || fail "link: $unit exposure $score above 1.5"
    done

    configure_link
    systemctl restart dorvane
    settle
    sub center -t "$TOPIC/events" -E
    sub watch -t "$TOPIC/events" -E
    systemctl start dorvane-mqtt || fail "link: start failed: $(journalctl -u dorvane-mqtt -n 3 -o cat)"
    pid=$(systemctl show -p MainPID --value dorvane-mqtt)
    [ "$(ps -o user= -p "$pid")" = dorvane-mqtt ] || fail "link: not running as dorvane-mqtt"
    echo "status line: $(systemctl show -p StatusText --value dorvane-mqtt)"
    event_arrives center "systemd"
    mosquitto_sub -V mqttv5 -h $BROKER -p $BPORT -t "$TOPIC/status" -C 1 -W 10 > $W/status.json ||
        fail "link: no retained state"
    grep -qF '"state":"online"' $W/status.json || fail "link: the state is not online: $(cat $W/status.json)"
    ok "hardened link unit: ready as dorvane-mqtt; a scan's event and the unit's state online arrive"

    # The second scan's event reaches the broker (the watcher has it) while the
    # consumer is away; the broker stops and starts; the consumer still gets it.
    sub watch -t "$TOPIC/events" -C 1 -W 1 >/dev/null 2>&1 || true
    scan_toggles yes
    sub watch -t "$TOPIC/events" -C 1 -W 30 > $W/watch.json || fail "link: the second event did not arrive"
    broker_stop
    broker_start
    sub center -t "$TOPIC/events" -C 1 -W 30 > $W/kept.json || fail "broker: the consumer's event was lost in a restart"
    cmp -s $W/watch.json $W/kept.json || fail "broker: kept $(cat $W/kept.json), not $(cat $W/watch.json)"
    ok "the center's sample configuration keeps a consumer's event across a broker restart"

    echo "colour=blue" >> /etc/ulx/dorvane-mqtt.conf
    ! systemctl restart dorvane-mqtt 2>/dev/null || fail "link: a refused configuration started"
    [ "$(systemctl show -p ActiveState --value dorvane-mqtt)" = failed ] &&
        [ "$(systemctl show -p ExecMainStatus --value dorvane-mqtt)" = 2 ] ||
        fail "link: exit status 2 is restarted ($(systemctl show -p ActiveState -p ExecMainStatus dorvane-mqtt | tr '\n' ' '))"
    journalctl -u dorvane-mqtt -o cat | grep -q "unknown key colour" || fail "link: the refusal is not in the journal"
    configure_link
    systemctl reset-failed dorvane-mqtt
    systemctl start dorvane-mqtt || fail "link: no start after the configuration was mended"
    ok "a refused configuration: exit status 2, one line in the journal, not restarted"

    pid=$(systemctl show -p MainPID --value dorvane-mqtt)
    dpkg -i $W/new-mqtt.deb >/dev/null
    new=$(systemctl show -p MainPID --value dorvane-mqtt)
    systemctl is-active -q dorvane-mqtt && [ "$new" != "$pid" ] || fail "link: upgrade did not restart it"
    ok "link upgrade restarts it (MainPID $pid, then $new)"

    dpkg -r dorvane-mqtt >/dev/null
    ! systemctl is-active -q dorvane-mqtt || fail "link: remove left it active"
    [ -z "$(link_pids)" ] || fail "link: remove left a process"
    dpkg -P dorvane-mqtt >/dev/null
    link_purged
    [ ! -e /etc/systemd/system/multi-user.target.wants/dorvane-mqtt.service ] ||
        fail "link: purge left the enablement link"
    rm -f /etc/ulx/dorvane-mqtt.conf
    broker_stop
    ok "link remove stops it; purge removes user, group, state and links; outbox back to the service's group"
}
