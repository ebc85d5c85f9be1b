#!/usr/bin/env bash
# The fleet's verdict (scripts/fleet-check.awk) on three recorded runs of
# scripts/fleet.sh (2 units, 40 s, with an outbox overflow, so that some
# scans are covered by lost events): the whole run passes; the same run with
# one access event taken out of the center's recording fails, naming the
# scan; with one unit's acknowledgements of the second set taken out, it
# fails, naming the unit and the set. Two more: one unit's acknowledgement
# saying the forged set's version (applied unsigned), two of a unit's
# events swapped (out of order), and a service whose RSS doubles over the
# last part of the run (not flat). A case's folder holds the files that
# differ from the whole run's; the long recordings (center, sent, samples)
# are kept compressed.
#
# Usage: fleet_verdict_test.sh SOURCE_DIR   (CTest: fleet_verdict)
set -uo pipefail
root=${1:?usage: fleet_verdict_test.sh SOURCE_DIR}
data=$root/tests/data/fleet
failures=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

file() {
    if [ -f "$data/$1/$2.gz" ]; then
        mkdir -p "$tmp/$1"
        gzip -dc "$data/$1/$2.gz" > "$tmp/$1/$2"
        echo "$tmp/$1/$2"
    elif [ -f "$data/$1/$2" ]; then
        echo "$data/$1/$2"
    else
        file whole "$2"
    fi
}

# check CASE STATUS TEXT: the verdict on CASE exits with STATUS and says TEXT.
check() {
    local out rc
    out=$(awk -f "$root/scripts/fleet-check.awk" "$(file "$1" plan.txt)" "$(file "$1" sent.txt)" \
        "$(file "$1" center.txt)" "$(file "$1" acks.txt)" "$(file "$1" samples.txt)")
    rc=$?
    if [ $rc -ne "$2" ] || ! grep -qF -- "$3" <<< "$out"; then
        echo "FAILED $1: status $rc (want $2), and a line with \"$3\" wanted in:"
        echo "$out"
        failures=$((failures + 1))
    else
        echo "ok $1: status $rc, \"$3\""
    fi
}

check whole 0 "fleet: passed"
check whole 0 "scans they cover 238; missing 0"
check missing 1 "u002: scans 41 to 41 (1 of 1) have no event and no lost event"
check unacked 1 "u001 never acknowledged set 2"
check forged 1 "u002 applied version 1000000, which the site did not sign"
check growing 1 "not flat: service u001 28543: RSS kB at most 11136 in the first window, at least 16320"
check reordered 1 "out of order: u001's event 0d7a99c5105dc977-100 (scan 100) came after 0d7a99c5105dc977-101"
exit $((failures > 0))
