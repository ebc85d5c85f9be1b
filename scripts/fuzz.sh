#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time. Any finding fails the run; its input is left in
# build-fuzz/findings/ to be kept under fuzz/regressions/<target>/ once fixed.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
build=build-fuzz
cmake --preset fuzz >/dev/null  # configures $build
cmake --build "$build" -j"$(nproc)" --target fuzz_wire fuzz_properties fuzz_pairing fuzz_access
mkdir -p "$build/findings"
status=0
for t in wire properties pairing access; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    echo "== fuzz_$t for ${seconds}s"
    if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
            "$corpus" "fuzz/corpus/$t" "fuzz/regressions/$t" > "$build/fuzz_$t.log" 2>&1; then
        echo "fuzz_$t found a problem:" >&2
        tail -n 40 "$build/fuzz_$t.log" >&2
        status=1
    else
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/fuzz_$t.log" || true
    fi
done
exit $status
