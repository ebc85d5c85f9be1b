# The soak's driver (scripts/soak.sh); sourced, never run. The caller has
# written the site (site.txt, pairs.xml, access.db, expect.txt, dorvane.conf)
# in the current folder and set root, sim_bin, svc_bin, host, ncodes,
# nunknown and make_db.
#
# Files it leaves: sent.txt ("batch FIRST LAST STATE GEN" per batch of
# scans, STATE up, restarting or down; "gen G AFTER" when generation G of the
# database took over after scan AFTER was sent), samples.txt ("sample T RSS_KB
# FDS THREADS" every second), sim.N.out (daemon run N), trail.log,
# service.log, service.err.

pids=()
svc_pid=0
sim_pid=0
sim_run=0
state=down
serial=0
gen=0
restarts=0
hups=0

now_us() { echo "${EPOCHREALTIME/./}"; }

stop_all() {
    exec 3>&- 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}

# Waits up to $2 tenths of a second for a line matching $1 in file $3.
wait_line() {
    local n=0
    until grep -q -- "$1" "$3" 2>/dev/null; do
        n=$((n + 1))
        [ $n -le "$2" ] || return 1
        sleep 0.1
    done
}

# A new run of the daemon, its commands on descriptor 3.
sim_start() {
    sim_run=$((sim_run + 1))
    [ -p sim.in ] || mkfifo sim.in
    "$sim_bin" --host "$host" --site site.txt < sim.in > "sim.$sim_run.out" 2>&1 &
    sim_pid=$!
    pids+=("$sim_pid")
    exec 3> sim.in
    wait_line '^LISTENING' 100 "sim.$sim_run.out" ||
        { echo "soak: the daemon did not listen on $host" >&2; cat "sim.$sim_run.out" >&2; exit 1; }
}

# Stops the daemon as a site's would be: every scan it was given is sent
# first ("quit" comes after them), then it ends and drops the connection.
sim_stop() {
    local n=0
    echo quit >&3 || true
    exec 3>&-
    while kill -0 "$sim_pid" 2>/dev/null && [ $n -lt 100 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    kill -KILL "$sim_pid" 2>/dev/null && echo "soak: the daemon did not quit; killed" >&2
    wait "$sim_pid" || true
}

sample() {
    local rss threads fds
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$svc_pid/status")
    threads=$(awk '/^Threads:/ { print $2 }' "/proc/$svc_pid/status")
    fds=$(ls "/proc/$svc_pid/fd" | wc -l)
    echo "sample $1 $rss $fds $threads" >> samples.txt
}

# Sends (or, with the daemon down, only counts) the scans up to number $1.
send_scans() {
    local last=$1 s lines="" code
    [ "$last" -gt "$serial" ] || return 0
    if [ "$state" != down ]; then
        for ((s = serial + 1; s <= last; s++)); do
            code=$((s % (ncodes + nunknown)))
            if [ $code -lt "$ncodes" ]; then
                printf -v code 'C%03d' $code
            else
                printf -v code 'X%03d' $((code - ncodes))
            fi
            lines+="scan $s $code"$'\n'
        done
        printf '%s' "$lines" >&3 || true
    fi
    echo "batch $((serial + 1)) $last $state $gen" >> sent.txt
    serial=$last
}

# The database of the next generation takes over by rename; the one after
# it is made in the background meanwhile.
next_database() {
    wait "$db_maker" || { echo "soak: could not make a database" >&2; exit 1; }
    mv -f access.db.next access.db
    gen=$((gen + 1))
    echo "gen $gen $serial" >> sent.txt
    make_db $((gen + 1)) access.db.next &
    db_maker=$!
}

restart_daemon() {
    local t0=$1 rate=$2
    sim_stop
    state=down
    sim_start
    # What fell due while it was down was never sent.
    send_scans $((($(now_us) - t0) * rate / 1000000))
    state=restarting
    restarts=$((restarts + 1))
}

# soak_run MINUTES RATE
soak_run() {
    local minutes=$1 rate=$2 t0 el end rc next_hup=10 next_restart=30 next_db=60 next_sample=1
    "$svc_bin" > /dev/null 2> service.err &
    svc_pid=$!
    pids+=("$svc_pid")
    sim_start
    wait_line 'start-up finished' 600 service.log ||
        { echo "soak: the service did not finish start-up" >&2; exit 1; }
    # The service may try the daemon before it listens, and then finds the
    # outputs only after start-up (a second per output): the run's scans
    # are counted from when it knows them.
    if grep -q 'start-up finished.*discovery pending' service.log; then
        wait_line 'discovery found' 600 service.log ||
            { echo "soak: the service found no outputs after start-up" >&2; exit 1; }
    fi
    state=restarting
    sample 0
    make_db 1 access.db.next &
    db_maker=$!
    t0=$(now_us)
    end=$((t0 + minutes * 60000000))
    echo "soak: $minutes min at $rate scans/s, service pid $svc_pid, daemon on $host"
    while [ "$(now_us)" -lt $end ]; do
        if ! kill -0 "$svc_pid" 2>/dev/null; then
            wait "$svc_pid" && rc=0 || rc=$?
            echo "soak: FAILED: the service ended, status $rc (see service.err)" >&2
            exit 1
        fi
        el=$((($(now_us) - t0) / 1000000))
        if [ $el -ge $next_db ]; then next_database; next_db=$((next_db + 60)); fi
        if [ $el -ge $next_hup ]; then
            kill -HUP "$svc_pid"
            hups=$((hups + 1))
            next_hup=$((next_hup + 10))
        fi
        if [ $el -ge $next_restart ]; then
            restart_daemon "$t0" "$rate"
            next_restart=$((next_restart + 30))
        fi
        if [ $state = restarting ] && grep -q '^CONNECTED' "sim.$sim_run.out"; then state=up; fi
        send_scans $((($(now_us) - t0) * rate / 1000000))
        if [ $el -ge $next_sample ]; then sample $el; next_sample=$((el + 1)); fi
        sleep 0.05
    done
    soak_drain "$el"
}

# Waits until the trail has stopped growing for two seconds, then stops
# the service and the daemon.
soak_drain() {
    local size=-1 still=0 n=0
    while [ $still -lt 4 ] && [ $n -lt 240 ]; do
        sleep 0.5
        n=$((n + 1))
        if [ "$(stat -c %s trail.log 2>/dev/null || echo 0)" = "$size" ]; then
            still=$((still + 1))
        else
            still=0
            size=$(stat -c %s trail.log 2>/dev/null || echo 0)
        fi
    done
    sample "$1"
    kill -TERM "$svc_pid"
    wait "$svc_pid" || true
    sim_stop
    wait "$db_maker" || true
}

soak_report() {
    echo "soak: daemon restarted $restarts times, $hups reloads asked" \
        "($(grep -c '|reload: pairing file' service.log || true) logged)," \
        "$gen database replacements"
    local i
    for ((i = 1; i <= sim_run; i++)); do cat "sim.$i.out"; done > sim.out  # in run order
    awk -v ncodes="$ncodes" -v nunknown="$nunknown" -f "$root/scripts/soak-check.awk" site.txt expect.txt sent.txt samples.txt \
        trail.log sim.out
}
