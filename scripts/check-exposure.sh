#!/usr/bin/env bash
# The exposure gate: `systemd-analyze security --offline=yes` rates every
# unit the packages ship, as the build made it, at most 1.5 (0 is a unit that
# can do nothing, 10 one that can do anything). Prints each unit's figure;
# fails when one is higher or cannot be read.
# Usage: scripts/check-exposure.sh [BUILD_DIR]   (default build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
limit=1.5
status=0
for unit in "$build/packaging/dorvane.service" \
    "$root/packaging/dorvane-mqtt/dorvane-mqtt.service" \
    "$root/packaging/dorvane-mqtt/dorvane-mqtt-apply.service"; do
    name=${unit##*/}
    score=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>/dev/null |
        sed -n "s/.*exposure level for ${name//./\\.}: \([0-9.]*\).*/\1/p")
    if [ -z "$score" ]; then
        echo "exposure: $name: no figure from systemd-analyze" >&2
        status=1
    elif awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s > l) }'; then
        echo "exposure: $name: $score, above $limit" >&2
        status=1
    else
        echo "exposure: $name: $score (at most $limit)"
    fi
done
exit $status
