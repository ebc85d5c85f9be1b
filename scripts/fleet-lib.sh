# The fleet's parts (scripts/fleet.sh); sourced, never run. The caller has
# set root, build, dir (the run's folder), net (the first two bytes of the
# loopback block), site, bhost and port.
#
# Every process is started by spawn in a session (and process group) of its
# own, its pid kept in procs; stop_all ends each by its group, TERM and then
# KILL, so nothing outlives the script, whatever ends it.

declare -A procs=()  # name -> pid
sim_fd=()            # unit index -> the descriptor of its simulator's commands

now_us() { echo "${EPOCHREALTIME/./}"; }

# spawn NAME FOLDER OUT CMD...: CMD in FOLDER, its standard output appended
# to OUT, its errors to log/NAME.err.
spawn() {
    local name=$1 in=$2 out=$3
    shift 3
    (cd "$in" && exec setsid "$@" >> "$out" 2>> "$dir/log/$name.err" < /dev/null) &
    procs[$name]=$!
}

# stop NAME [SIGNAL]: signals the process's group and waits for it.
stop() {
    local p=${procs[$1]:-} n=0
    [ -n "$p" ] || return 0
    kill -"${2:-TERM}" -- "-$p" 2>/dev/null || true
    while kill -0 "$p" 2>/dev/null && [ $n -lt 50 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    kill -KILL -- "-$p" 2>/dev/null || true
    { wait "$p"; } 2>/dev/null || true
    unset "procs[$1]"
}

stop_all() {
    local name
    for fd in "${sim_fd[@]}"; do eval "exec $fd>&-" 2>/dev/null || true; done
    for name in "${!procs[@]}"; do kill -TERM -- "-${procs[$name]}" 2>/dev/null || true; done
    sleep 0.5
    for name in "${!procs[@]}"; do stop "$name"; done
}

# Waits up to $2 tenths of a second until file $3 holds at least $4 (default
# 1) lines matching $1.
wait_lines() {
    local n=0 c
    until c=$(grep -c -- "$1" "$3" 2>/dev/null) || true; [ "${c:-0}" -ge "${4:-1}" ]; do
        n=$((n + 1))
        [ $n -le "$2" ] || return 1
        sleep 0.1
    done
}

unit_name() { printf 'u%03d' "$1"; }
unit_host() { echo "$net.$(($1 / 250 + 1)).$(($1 % 250 + 1))"; }

# The broker: the sample center configuration's first part (persistence,
# no queue limit), listening on bhost only, as this user.
broker_config() {
    mkdir -p "$dir/broker"
    {
        echo "listener $port $bhost"
        echo "allow_anonymous true"
        echo "user $(id -un)"
        sed -n '/^# ---- Part two/q; /^persistence_location/d; p' "$root/share/mosquitto-center.conf"
        echo "persistence_location $dir/broker/"
    } > "$dir/broker/mosquitto.conf"
}

broker_start() {
    local before
    before=$(grep -c ' running' "$dir/log/broker.err" 2>/dev/null || true)
    spawn broker "$dir/broker" "$dir/log/broker.out" /usr/sbin/mosquitto -c "$dir/broker/mosquitto.conf"
    wait_lines ' running' 100 "$dir/log/broker.err" $((${before:-0} + 1)) ||
        { echo "fleet: the broker did not start" >&2; cat "$dir/log/broker.err" >&2; exit 1; }
}

# The center: the link's own consumer with a persistent MQTT 5 session at
# QoS 1 (dorvane-mqtt events --json --session), each line it prints ("UNIT
# EVENT") stamped with the time it was read, in center.txt. The stamping
# shell ignores TERM and INT, so that it writes every line the consumer
# printed before it stopped (a stop reaches the whole group).
center_start() {
    printf 'broker=%s\nport=%s\nsite=%s\n' "$bhost" "$port" "$site" > "$dir/center.conf"
    spawn center "$dir" "$dir/center.txt" bash -c 'trap "" TERM INT
        "$0" events --json --session fleet-center --config center.conf |
            while IFS= read -r l; do printf "%s %s\n" "$EPOCHREALTIME" "$l"; done' "$link_bin"
}

# Every unit's codes/applied as "TIME TOPIC PAYLOAD" lines in acks.txt
# (retained: a subscriber that comes late still gets each unit's last).
acks_start() {
    spawn acks "$dir" "$dir/acks.txt" stdbuf -oL mosquitto_sub -h "$bhost" -p "$port" -V mqttv5 \
        -q 1 -F '%U %t %p' -t "dorvane/$site/+/codes/applied"
}

# make_unit I: the unit's folder: its site (two doors), pairing file,
# database of the door codes, the service's and the link's configuration
# and its keys folder with the site's public key.
make_unit() {
    local i=$1 u host limit=16777216 d
    u=$(unit_name "$i")
    host=$(unit_host "$i")
    d="$dir/$u"
    [ "$i" -ne "$cut_unit" ] || limit=65536  # the unit that is cut off overflows
    mkdir -p "$d/keys"
    chmod 755 "$d/keys"
    install -m 644 "$dir/site.pub" "$d/keys/site.pub"
    printf 'port 1 1 dout RELAY_1 clear\nport 1 2 dout LED_1 clear\nport 1 3 dout RELAY_2 clear\nport 1 4 dout LED_2 clear\n' > "$d/site.txt"
    printf '%s\n' '<?xml version="1.0"?>' '<scl_connections>' \
        '  <Reader name="Door1"><IOlabel value="RELAY_1"/><LEDlabel value="LED_1"/></Reader>' \
        '  <Reader name="Door2"><IOlabel value="RELAY_2"/><LEDlabel value="LED_2"/></Reader>' \
        '</scl_connections>' > "$d/pairs.xml"
    sqlite3 "$d/access.db" < "$root/share/codes.sql"
    awk -F, 'NR > 1 { printf "INSERT INTO codes VALUES (\x27%s\x27, \x27%s\x27);\n", $1, $2 }' "$dir/doors.csv" |
        sqlite3 "$d/access.db"
    cat > "$d/dorvane.conf" <<CONF
host=$host
ioPairFile=pairs.xml
dblocal=access.db
outbox=$d/outbox
outboxLimit=$limit
log4cpp.rootCategory=INFO, LOG
log4cpp.appender.LOG=FileAppender
log4cpp.appender.LOG.fileName=service.log
log4cpp.appender.LOG.layout=PatternLayout
log4cpp.appender.LOG.layout.ConversionPattern=%d|%c|%p|%m%n
CONF
    cat > "$d/link.conf" <<CONF
broker=$bhost
port=$port
site=$site
unit=$u
stateDir=$d/state
serviceConfig=$d/dorvane.conf
codesKeys=$d/keys
CONF
}

# start_unit I: the simulator (its commands on a descriptor kept in
# sim_fd), the service, connected to it, the link and the applier.
start_unit() {
    local i=$1 u d fd
    u=$(unit_name "$i")
    d="$dir/$u"
    mkfifo "$d/sim.in"
    (cd "$d" && exec setsid "$sim_bin" --host "$(unit_host "$i")" --site site.txt < sim.in > sim.out 2>&1) &
    procs[sim-$u]=$!
    exec {fd}> "$d/sim.in"
    sim_fd[$i]=$fd
    wait_lines '^LISTENING' 100 "$d/sim.out" || { echo "fleet: $u's simulator did not listen" >&2; exit 1; }
    spawn "service-$u" "$d" /dev/null "$svc_bin"
    link_start "$i"
    spawn "applier-$u" "$d" "$dir/log/applier-$u.out" "$ctl_bin" --config dorvane.conf codes apply-signed \
        --watch --link-config link.conf
}

link_start() {
    local u
    u=$(unit_name "$1")
    spawn "link-$u" "$dir/$u" "$dir/log/link-$u.out" "$link_bin" --config link.conf
}

# publish_set VERSION KEY TOPIC KIND: packs the site-wide set (doors.csv and
# the filler codes), signs it with KEY, publishes it retained and notes it
# in plan.txt as KIND (signed, or forged: a key no unit holds).
publish_set() {
    local v=$1 key=$2 topic=$3 kind=$4
    "$ctl_bin" codes pack --site "$site" --unit '*' --version "$v" --force -o "$dir/set-$v.msg" \
        "$dir/set.csv" 2>> "$dir/log/pack.err"
    signify-openbsd -S -e -s "$dir/$key.sec" -m "$dir/set-$v.msg" -x "$dir/set-$v.sig"
    echo "set $v $(now_us) $kind $topic $(stat -c %s "$dir/set-$v.sig")" >> "$dir/plan.txt"
    mosquitto_pub -h "$bhost" -p "$port" -V mqttv5 -r -q 1 -t "$topic" -f "$dir/set-$v.sig"
}

# sample_one KIND UNIT PID: one line of samples.txt, read from /proc with
# the shell's own reads (no process per sample): RSS kB, descriptors,
# threads, CPU ticks (user + system).
sample_one() {
    local p=$3 k v rss=0 thr=0 st
    local -a f a
    { while read -r k v _; do
        case $k in VmRSS:) rss=$v ;; Threads:) thr=$v ;; esac
    done < "/proc/$p/status"; } 2>/dev/null || return 0
    f=("/proc/$p/fd/"*)
    { read -r st < "/proc/$p/stat"; } 2>/dev/null || return 0
    read -r -a a <<< "${st##*) }"
    echo "sample $(now_us) $1 $2 $p $rss ${#f[@]} $thr $((a[11] + a[12]))" >> "$dir/samples.txt"
}

# The pid of the consumer under the center's stamping shell (its child named
# dorvane-mqtt), found by the parent pid in /proc.
center_tool() {
    local f st
    for f in /proc/[0-9]*/stat; do
        { read -r st < "$f"; } 2>/dev/null || continue
        [[ $st == *"(dorvane-mqtt) "?" ${procs[center]} "* ]] && echo "${f//[^0-9]/}" && return 0
    done
    return 0
}

sample_all() {
    local name
    for name in "${!procs[@]}"; do
        case $name in
            center)
                [ -n "${center_pid:-}" ] && [ -d "/proc/$center_pid" ] || center_pid=$(center_tool)
                [ -z "$center_pid" ] || sample_one center - "$center_pid"
                ;;
            broker | acks) sample_one "$name" - "${procs[$name]}" ;;
            *) sample_one "${name%%-*}" "${name#*-}" "${procs[$name]}" ;;
        esac
    done
}
