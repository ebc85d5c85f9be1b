#!/usr/bin/env bash
# The demo: writes a small site under BUILD/demo, starts the simulated site
# daemon and the service, makes a few scans, shows what happened, and stops
# both. It fails unless the access trail holds the lines the README shows.
# Usage: scripts/demo.sh BUILD_DIR [ADDRESS]
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
# Not the service's default 127.0.0.1, which tests of the defaults expect
# silent; 127.250.x.y is where the documentation's runnable blocks run.
addr=${2:-127.250.0.2}
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$build/demo"
sim_bin="$build/tools/ulxd-sim"
svc_bin="$build/src/dorvane-local"
. "$root/scripts/site-lib.sh"

rm -rf "$demo"
mkdir -p "$demo"
cd "$demo"

cat > site.txt <<SITE
# The demo site: one controller (serial 12) with four discrete outputs and
# an analog input.
port 12 1 dout RELAY_1 clear
port 12 2 dout LED_1   clear
port 12 3 dout RELAY_2 set
port 12 4 dout LED_2   clear
port 12 5 ain  TEMP_1
SITE
write_site "$addr" "('04A1','Door1'), ('04B2','Door2'), ('0C0C','Lobby')" <<CONF
log4cpp.rootCategory=DEBUG, TERM
log4cpp.appender.TERM=ConsoleAppender
log4cpp.appender.TERM.layout=PatternLayout
log4cpp.appender.TERM.layout.ConversionPattern=log %-5p %c: %m%n
log4cpp.category.DorvaneAccess=INFO, TRAIL
log4cpp.appender.TRAIL=RollingFileAppender
log4cpp.appender.TRAIL.fileName=trail.log
log4cpp.appender.TRAIL.maxFileSize=1048576
log4cpp.appender.TRAIL.maxBackupIndex=2
log4cpp.appender.TRAIL.layout=PatternLayout
log4cpp.appender.TRAIL.layout.ConversionPattern=%d{%H:%M:%S} %m%n
CONF

# The README's block after the line "<!-- demo-trail" holds the trail the
# demo must leave; its lines and trail.log's are compared without their time
# stamps. The service may still be writing: wait for the last line (10 s).
check_trail() {
    local want got
    want=$(awk '/^<!-- demo-trail/ { m = 1; next }
                m && /^```/ { if (b) exit; b = 1; next }
                b { print }' "$1" | sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2} //')
    if [ -z "$want" ]; then
        echo "demo: $1 shows no demo trail (a block after <!-- demo-trail -->)" >&2
        exit 1
    fi
    for _ in $(seq 100); do
        [ "$(wc -l < "$2")" -ge "$(wc -l <<< "$want")" ] && break
        sleep 0.1
    done
    sed 's/^/  /' "$2"
    got=$(sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2} //' "$2")
    if [ "$got" != "$want" ]; then
        echo "demo: the access trail is not the one $1 shows:" >&2
        diff <(echo "$want") <(echo "$got") >&2 || true
        exit 1
    fi
    echo "  (the lines $1 shows, time stamps aside)"
}

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
trap stop_all EXIT

start_sim "$sim_bin" "$addr"
for _ in $(seq 50); do grep -q LISTENING sim.out && break; sleep 0.1; done
if ! grep -q LISTENING sim.out; then
    cat sim.out >&2
    echo "The simulated site could not listen on $addr port 60000; try: scripts/demo.sh $1 127.0.0.3" >&2
    exit 1
fi
sed -u 's/^/  [ulxd-sim] /' < <(tail -n +1 -f sim.out) &
pids+=($!)

say "Starting dorvane: it loads pairs.xml and asks the site for its discrete outputs (one second per output)"
"$svc_bin" > service.out 2>&1 &
svc=$!
pids+=($svc)
sed -u 's/^/  [dorvane]  /' < <(tail -n +1 -f service.out) &
pids+=($!)
for _ in $(seq 150); do grep -q "opened database" service.out && break; sleep 0.1; done
sleep 0.3

scan() {
    say "$1"
    echo "scan 12 $2" >&3
    sleep 0.8
}
scan "Scan 04A1 (reader Door1): RELAY_1 and LED_1 toggle from clear to set" 04A1
scan "Scan 04A1 again: they toggle back to clear" 04A1
scan "Scan 04B2 (reader Door2): RELAY_2 goes from set to clear, LED_2 to set" 04B2
scan "Scan FFFF, a code the database does not know: nothing toggles" FFFF
scan "Scan 0C0C (reader Lobby, no pairing record): nothing toggles, two info lines" 0C0C

say "The outputs as the simulated site holds them now"
echo states >&3
sleep 0.5
echo quit >&3
sleep 0.2
say "The access trail: one line per scan, also in a file of its own (trail.log)"
check_trail "$root/README.md" trail.log
say "Done. The demo site is in $demo; to try your own codes on it, see the README, \"Try your own codes\""
