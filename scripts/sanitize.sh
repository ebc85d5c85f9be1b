#!/usr/bin/env bash
# Builds the project with AddressSanitizer + UndefinedBehaviorSanitizer and
# with ThreadSanitizer, and runs the test suite under each: all but the fleet
# link's tests against a broker (they run once, in make test), and of those
# the smoke ones (label "fleet-smoke"). Reports of the child processes (the
# service, the simulator, dorvanectl, the link) are collected through
# log_path and fail the run as well.
# Usage: scripts/sanitize.sh [asan|tsan]...   (default: both)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(asan tsan)

for kind in "${kinds[@]}"; do
    case $kind in
        asan) flags="address,undefined" ;;
        tsan) flags="thread" ;;
        *) echo "unknown sanitizer set: $kind" >&2; exit 2 ;;
    esac
    build="build-$kind"  # the preset's folder
    reports="$root/$build/sanitizer-reports"
    cmake --preset "$kind" >/dev/null
    cmake --build "$build" -j"$jobs"
    rm -rf "$reports" && mkdir -p "$reports"
    echo "== tests under $flags"
    export DORVANE_FLOOD_EVENTS=10000 \
        ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1" \
        UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1" \
        TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp"
    ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300 -LE fleet
    echo "== the fleet link's smoke tests under $flags"
    ctest --test-dir "$build" --output-on-failure --timeout 300 -L fleet-smoke
    if compgen -G "$reports/*" >/dev/null; then
        echo "== $flags reports from the processes under test:" >&2
        cat "$reports"/* >&2
        exit 1
    fi
done
echo "sanitizers: no findings"
