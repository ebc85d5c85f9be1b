#!/usr/bin/env bash
# Runs the service under valgrind's memcheck against the simulated site for
# 1,000 scans and fails on any invalid read or write or definitely lost byte.
# Usage: scripts/memcheck.sh [BUILD_DIR] [SCANS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
scans=${2:-1000}
addr=127.0.5.2
work=$(mktemp -d /tmp/dorvane-memcheck-XXXXXX)
. "$root/scripts/site-lib.sh"
cleanup() {
    stop_all
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
printf 'port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 set\nport 12 3 ain T\n' > site.txt
write_site "$addr" "('04A1','Door1'), ('0C0C','Nobody')" <<CONF
log4cpp.rootCategory=DEBUG, F
log4cpp.appender.F=FileAppender
log4cpp.appender.F.fileName=service.log
log4cpp.appender.F.layout=PatternLayout
log4cpp.appender.F.layout.ConversionPattern=%c|%p|%m%n
CONF
start_sim "$build/tools/ulxd-sim" "$addr"
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
    --log-file=valgrind.log "$build/src/dorvane-local" > service.out 2>&1 &
svc=$!
pids+=($svc)
for _ in $(seq 600); do grep -q "opened database" service.log 2>/dev/null && break; sleep 0.1; done
grep -q "opened database" service.log || { echo "service did not start" >&2; cat valgrind.log >&2; exit 1; }
for i in $(seq "$scans"); do
    case $((i % 4)) in
        0) echo "scan 12 0C0C" ;;   # a reader without a pairing record
        1) echo "scan 12 FFFF" ;;   # an unknown code
        *) echo "scan 12 04A1" ;;   # toggles RELAY_1 and LED_1
    esac
done >&3
want=$(( (scans / 4 * 2 + (scans % 4 >= 2 ? 1 : 0) + (scans % 4 >= 3 ? 1 : 0)) * 2 ))
for _ in $(seq 1200); do
    [ "$(grep -c '^SET ' sim.out)" -ge "$want" ] && break
    sleep 0.1
done
got=$(grep -c '^SET ' sim.out || true)
sleep 1
kill -TERM "$svc"
wait "$svc" 2>/dev/null || true
echo "memcheck: $got of $want SETs applied"
grep -E "ERROR SUMMARY|definitely lost|Invalid (read|write)" valgrind.log || true
status=0
[ "$got" -eq "$want" ] || { echo "memcheck: SETs missing" >&2; status=1; }
grep -q "ERROR SUMMARY: 0 errors" valgrind.log || { cat valgrind.log >&2; status=1; }
if grep -E "definitely lost: [1-9]" valgrind.log >/dev/null; then status=1; fi
exit $status
