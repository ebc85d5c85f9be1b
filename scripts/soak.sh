#!/usr/bin/env bash
# The soak: the real service against the simulated site daemon for MINUTES
# minutes at RATE scans a second, while the daemon is stopped and started
# again every 30 s, the pairing file is reloaded (SIGHUP) every 10 s and the
# access database is replaced by rename every minute (each replacement names
# other readers for the same codes). Then scripts/soak-check.awk accounts for
# every scan: each one the service received has exactly one trail line, with
# the reader of the database in force when it was handled and the SETs its
# own output states call for, and those SETs, in that order, are what the
# daemon applied. Scans due while the daemon was down, or sent before the
# service had connected to it again, are counted apart. RSS, descriptors and
# threads of the service are sampled every second and reported (start, end,
# maximum). Exits non-zero on a lost or doubled trail line or a wrong door.
#
# Usage: scripts/soak.sh MINUTES RATE [BUILD_DIR]   (run by make soak)
# Everything is kept under BUILD_DIR/soak. When it may, it runs in a network
# namespace of its own (nothing else meets its daemon); otherwise on
# SOAK_HOST (default 127.0.0.9).
set -euo pipefail

minutes=${1:?usage: soak.sh MINUTES RATE [BUILD_DIR]}
rate=${2:?usage: soak.sh MINUTES RATE [BUILD_DIR]}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${3:-$root/build}" && pwd)
[[ $minutes =~ ^[0-9]+$ && $rate =~ ^[0-9]+$ && $minutes -ge 1 && $rate -ge 1 ]] ||
    { echo "soak.sh: MINUTES and RATE must be whole numbers of at least 1" >&2; exit 2; }

if [ -z "${DORVANE_SOAK_NETNS:-}" ] && unshare --net true 2>/dev/null; then
    "$root/scripts/deps.sh" iproute2
    exec unshare --net -- env DORVANE_SOAK_NETNS=1 bash -c \
        'ip link set lo up && exec "$0" "$@"' "$0" "$minutes" "$rate" "$build"
fi
host=${SOAK_HOST:-127.0.0.9}
sim_bin="$build/tools/ulxd-sim"
svc_bin="$build/src/dorvane-local"
dir="$build/soak"
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"

# The site: device 12 with a relay and an LED per door; the gate's relay
# label is on two devices, so that one label toggles two outputs.
readers=(Door0 Door1 Door2 Door3 Door4 Door5 Gate Lobby)  # Lobby: no pairing record
ncodes=32   # C000..C031, each naming one of the readers, shifted by one a generation
nunknown=4  # X000..X003: in no database
write_site() {
    local i
    {
        for i in 0 1 2 3 4 5; do
            printf 'port 12 %d dout RELAY_%d clear\nport 12 %d dout LED_%d clear\n' \
                $((2 * i + 1)) "$i" $((2 * i + 2)) "$i"
        done
        printf 'port 13 1 dout GATE clear\nport 14 1 dout GATE set\nport 13 2 dout LED_G clear\n'
        printf 'port 13 3 din DOORBELL\n'
    } > site.txt
}

# The pairing file: the doors and the gate, three readers the loader drops
# (no LED label, a misspelt attribute, no name) and 5,000 readers of no
# output of this site, so that every reload has a real file to swap.
write_pairs() {
    {
        echo '<?xml version="1.0"?>'
        echo '<scl_connections>'
        for i in 0 1 2 3 4 5; do
            printf '  <Reader name="Door%d"><IOlabel value="RELAY_%d"/><LEDlabel value="LED_%d"/></Reader>\n' \
                "$i" "$i" "$i"
        done
        echo '  <Reader name="Gate"><IOlabel value="GATE"/><LEDlabel value="LED_G"/></Reader>'
        echo '  <Reader name="Broken1"><IOlabel value="RELAY_0"/></Reader>'
        echo '  <Reader name="Broken2"><IOlabel value="RELAY_0"/><LEDlabel valeu="LED_0"/></Reader>'
        echo '  <Reader><IOlabel value="RELAY_0"/><LEDlabel value="LED_0"/></Reader>'
        seq -f '  <Reader name="Far%g"><IOlabel value="FAR_IO"/><LEDlabel value="FAR_LED"/></Reader>' 5000
        echo '</scl_connections>'
    } > pairs.xml.new
    mv -f pairs.xml.new pairs.xml
}

# make_db GEN FILE: the database of generation GEN (code i names reader
# (i + GEN) mod 8) plus 10,000 codes of the far readers; its mapping goes
# to expect.txt for the check.
make_db() {
    local gen=$1 file=$2 i values=""
    for ((i = 0; i < ncodes; i++)); do
        values+="$(printf "('C%03d','%s')," "$i" "${readers[$(((i + gen) % ${#readers[@]}))]}")"
        printf 'map %d C%03d %s\n' "$gen" "$i" "${readers[$(((i + gen) % ${#readers[@]}))]}" >> expect.txt
    done
    rm -f "$file"
    sqlite3 "$file" < "$root/share/codes.sql"
    sqlite3 "$file" "INSERT INTO codes VALUES ${values%,};
        WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)
        INSERT INTO codes SELECT printf('F%05d', i), 'Far' || (i % 5000 + 1) FROM n;"
}

write_site
write_pairs
: > expect.txt
for r in Door0 Door1 Door2 Door3 Door4 Door5; do
    printf 'pair %s RELAY_%s LED_%s\n' "$r" "${r#Door}" "${r#Door}" >> expect.txt
done
echo 'pair Gate GATE LED_G' >> expect.txt
make_db 0 access.db
cat > dorvane.conf <<CONF
host=$host
ioPairFile=pairs.xml
dblocal=access.db
log4cpp.rootCategory=INFO, LOG
log4cpp.appender.LOG=FileAppender
log4cpp.appender.LOG.fileName=service.log
log4cpp.appender.LOG.layout=PatternLayout
log4cpp.appender.LOG.layout.ConversionPattern=%c|%p|%m%n
log4cpp.category.DorvaneAccess=INFO, TRAIL
log4cpp.additivity.DorvaneAccess=false
log4cpp.appender.TRAIL=FileAppender
log4cpp.appender.TRAIL.fileName=trail.log
log4cpp.appender.TRAIL.layout=PatternLayout
log4cpp.appender.TRAIL.layout.ConversionPattern=%m%n
CONF

. "$root/scripts/soak-lib.sh"
trap stop_all EXIT
soak_run "$minutes" "$rate"
soak_report
