#!/usr/bin/env bash
# The simulated fleet: one mosquitto broker configured as the sample for the
# center (share/mosquitto-center.conf's first part), UNITS units (each the
# simulated site daemon, the service, the link and the code-set applier,
# with its own loopback address, folders and the site's public key), and a
# central consumer with a persistent session (dorvane-mqtt events) that
# records every event, and a recorder of every unit's codes/applied. For
# MINUTES minutes RATE scans a second are spread across the units while, on
# a schedule (fractions of the run):
#   0.1 (at most 20 s)  a signed site-wide set of FLEET_SET_CODES codes
#   0.15                a set signed with a key no unit holds, on one unit's topic
#   0.2, 0.75           links killed with SIGKILL (every third unit), restarted 1 s later
#   0.3                 unit 1's link stopped (SIGSTOP), cut off from the broker until
#                       15 s after its outbox (bound 64 KiB) overflowed (past the
#                       100 events the link has in flight), at most until 0.8
#   0.4                 the broker restarted (SIGTERM, start again)
#   0.5                 the central consumer restarted
#   0.6                 the next signed set
# Then it waits for the last events and acknowledgements, and the verdict
# (scripts/fleet-check.awk) accounts for every scan, every set and every
# process's memory, descriptors and threads; its status is the script's.
#
# Usage: scripts/fleet.sh UNITS MINUTES RATE [BUILD_DIR]   (make fleet)
# Loopback addresses of 127.240.0.0/16 only (FLEET_NET=127.240). The run's
# folder is a new temporary one (FLEET_DIR to choose it), kept and named at
# the end; every process it starts ends with it (on success, failure or
# Ctrl-C).
set -euo pipefail

usage="usage: fleet.sh UNITS MINUTES RATE [BUILD_DIR]"
units=${1:?$usage}
minutes=${2:?$usage}
rate=${3:?$usage}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${4:-$root/build}" && pwd)
[[ $units =~ ^[0-9]+$ && $minutes =~ ^[0-9]+$ && $rate =~ ^[0-9]+$ ]] &&
    [ "$units" -ge 1 ] && [ "$units" -le 1000 ] && [ "$minutes" -ge 1 ] && [ "$rate" -ge 1 ] ||
    { echo "fleet.sh: UNITS (1 to 1000), MINUTES and RATE must be whole numbers of at least 1" >&2; exit 2; }
"$root/scripts/deps.sh" mosquitto-clients  # mosquitto_pub and mosquitto_sub
set_codes=${FLEET_SET_CODES:-100000}
seconds=${FLEET_SECONDS:-$((minutes * 60))}  # FLEET_SECONDS: a run shorter than a minute
net=${FLEET_NET:-127.240}
bhost=$net.0.1
port=1883
site=fleet
cut_unit=1
sim_bin="$build/tools/ulxd-sim"
svc_bin="$build/src/dorvane-local"
link_bin="$build/tools/dorvane-mqtt"
ctl_bin="$build/tools/dorvanectl"
for b in "$sim_bin" "$svc_bin" "$link_bin" "$ctl_bin"; do
    [ -x "$b" ] || { echo "fleet.sh: $b is missing: make build first" >&2; exit 2; }
done
dir=${FLEET_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/dorvane-fleet.XXXXXX")}
mkdir -p "$dir/log"
dir=$(cd "$dir" && pwd)

. "$root/scripts/fleet-lib.sh"
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

signify-openbsd -G -n -p "$dir/site.pub" -s "$dir/site.sec"
signify-openbsd -G -n -p "$dir/forger.pub" -s "$dir/forger.sec"
{
    echo code,reader
    for ((c = 0; c < 32; c++)); do printf 'C%03d,Door%d\n' $c $((c % 2 + 1)); done
} > "$dir/doors.csv"
{
    cat "$dir/doors.csv"
    seq -f 'F%07g,Far' 1 $((set_codes > 32 ? set_codes - 32 : 0)) 2>/dev/null || true
} > "$dir/set.csv"
: > "$dir/plan.txt"
: > "$dir/sent.txt"
: > "$dir/samples.txt"
: > "$dir/center.txt"
: > "$dir/acks.txt"

broker_config
broker_start
sample_all  # the broker alone: the base of its memory per session
center_start
acks_start
for ((i = 1; i <= units; i++)); do
    make_unit "$i"
    start_unit "$i"
    echo "unit $(unit_name "$i")" >> "$dir/plan.txt"
done
for ((i = 1; i <= units; i++)); do
    wait_lines '^CONNECTED' 600 "$dir/$(unit_name "$i")/sim.out" ||
        { echo "fleet: the service of $(unit_name "$i") did not connect to its daemon" >&2; exit 1; }
done
echo "fleet: $units units, ${seconds} s at $rate scans/s, folder $dir"

# kill_links SET: SIGKILL the links of the units of a residue (every third),
# or of the last unit when there is none; started again a second later.
kill_links() {
    local i picked=()
    for ((i = 1; i <= units; i++)); do
        [ "$i" -eq "$cut_unit" ] || [ $((i % 3)) -ne "$1" ] || picked+=("$i")
    done
    [ ${#picked[@]} -gt 0 ] || picked=("$units")
    for i in "${picked[@]}"; do
        stop "link-$(unit_name "$i")" KILL 2>/dev/null  # without bash's "Killed"
        echo "kill $(unit_name "$i") $(now_us)" >> "$dir/plan.txt"
    done
    sleep 1
    for i in "${picked[@]}"; do link_start "$i"; done
}

# Sends the scans due by now, round robin across the units; each unit's
# scans are numbered (their device serial) from 1.
declare -a serial names
for ((i = 1; i <= units; i++)); do serial[i]=0 names[i]=$(unit_name "$i"); done
scans=0
send_scans() {
    local due=$1 k u lines=() count=() t code
    [ "$due" -gt "$scans" ] || return 0
    for ((k = scans + 1; k <= due; k++)); do
        u=$(((k - 1) % units + 1))
        serial[u]=$((serial[u] + 1))
        count[u]=$((${count[u]:-0} + 1))
        printf -v code 'C%03d' $((serial[u] % 32))
        lines[u]+="scan ${serial[u]} $code"$'\n'
    done
    t=${EPOCHREALTIME/./}
    for u in "${!lines[@]}"; do
        printf '%s' "${lines[u]}" >&"${sim_fd[u]}"
        echo "sent ${names[u]} $((serial[u] - count[u] + 1)) ${serial[u]} $t" >> "$dir/sent.txt"
    done
    scans=$due
}

cut_pid=""
cut_state=0  # 0 not yet, 1 stopped, 2 let go
cut_check() {
    local d
    d="$dir/$(unit_name "$cut_unit")"
    if grep -qs '"type":"lost"' "$d/outbox/current" "$d"/outbox/closed-*; then
        [ -n "${lost_seen:-}" ] || lost_seen=$(($(now_us) + 15000000))
    fi
    if [ -n "${lost_seen:-}" ] && [ "$(now_us)" -ge "$lost_seen" ] || [ "$1" -ge "$2" ]; then
        kill -CONT "$cut_pid" 2>/dev/null || true
        echo "cut $(unit_name "$cut_unit") $cut_from $(now_us)" >> "$dir/plan.txt"
        cut_state=2
    fi
}

t0=$(now_us)
echo "run $t0 $((t0 + seconds * 1000000))" >> "$dir/plan.txt"
end=$((t0 + seconds * 1000000))
at() { echo $((t0 + seconds * $1 * 10000)); }  # the time at $1 percent of the run
at_set1=$(($(at 10) < t0 + 20000000 ? $(at 10) : t0 + 20000000))
declare -A due_at=([set1]=$at_set1 [forged]=$(at 15) [kill1]=$(at 20) [cut]=$(at 30)
    [broker]=$(at 40) [center]=$(at 50) [set2]=$(at 60) [kill2]=$(at 75))
next_sample=0
next_cut_check=0
while now=${EPOCHREALTIME/./} && [ "$now" -lt $end ]; do
    send_scans $(((now - t0) * rate / 1000000))
    for e in "${!due_at[@]}"; do
        [ "$now" -ge "${due_at[$e]}" ] || continue
        unset "due_at[$e]"
        case $e in
            set1) publish_set 1 site "dorvane/$site/codes" signed ;;
            forged) publish_set 1000000 forger "dorvane/$site/$(unit_name "$units")/codes" forged ;;
            kill1) kill_links 2 ;;
            kill2) kill_links 0 ;;
            cut)
                cut_pid=${procs[link-$(unit_name "$cut_unit")]}
                cut_from=$now
                kill -STOP "$cut_pid"
                cut_state=1
                ;;
            broker)
                stop broker
                echo "broker-restart $(now_us)" >> "$dir/plan.txt"
                broker_start
                ;;
            center)
                stop center
                echo "center-restart $(now_us)" >> "$dir/plan.txt"
                sleep 1
                center_start
                ;;
            set2) publish_set 2 site "dorvane/$site/codes" signed ;;
        esac
    done
    if [ $cut_state -eq 1 ] && [ "$now" -ge $next_cut_check ]; then
        cut_check "$now" $((cut_from + seconds * 500000))
        next_cut_check=$((now + 1000000))
    fi
    if [ "$now" -ge $next_sample ]; then
        sample_all
        next_sample=$((now + 2000000))
    fi
    sleep 0.1
done
send_scans $(((end - t0) * rate / 1000000))
[ $cut_state -ne 1 ] || cut_check 1 0
[ -n "${lost_seen:-}" ] ||
    echo "fleet: note: $(unit_name "$cut_unit")'s outbox did not overflow while it was cut off (raise RATE)"
echo "scans $(now_us) $scans" >> "$dir/plan.txt"

# The last events and acknowledgements: until the recording has not grown
# for 5 s and every unit acknowledged the last set, at most 3 minutes.
size=-1 still=0 n=0
while [ $n -lt 360 ]; do
    sleep 0.5
    n=$((n + 1))
    [ $((n % 4)) -ne 0 ] || sample_all
    s=$(stat -c %s "$dir/center.txt")
    if [ "$s" = "$size" ]; then still=$((still + 1)); else still=0 size=$s; fi
    acks=$(grep '/codes/applied {"v":1,"applied":{"version":2,' "$dir/acks.txt" | cut -d' ' -f2 |
        sort -u | wc -l)
    [ $still -lt 10 ] || [ "$acks" -lt "$units" ] || break
done
sample_all
echo "end $(now_us)" >> "$dir/plan.txt"
stop_all
trap - EXIT
status=0
awk -f "$root/scripts/fleet-check.awk" "$dir/plan.txt" "$dir/sent.txt" "$dir/center.txt" \
    "$dir/acks.txt" "$dir/samples.txt" | tee "$dir/verdict.txt" || status=$?
echo "fleet: the run's files are in $dir"
exit $status
