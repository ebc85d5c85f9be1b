#!/usr/bin/env bash
# The manual pages against the code: each page of BUILD/man renders with
# `man --warnings` without a warning, every configuration key the readers
# accept stands in its page, and so does every verb the tools print in their
# help. The keys come from the readers' own tables (src/settings.h,
# platform/vlog/LogKeys.h, tools/dorvane-mqtt/link_keys.h); the verbs from
# `TOOL help` (two spaces, the verb, at least two spaces, a summary). A key or verb
# counts as documented when the page's source shows it in bold (*key*, or
# within a bold name such as *log4cpp.category.*).
# Usage: scripts/check-man.sh [BUILD_DIR]   (default build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cd "$root"
status=0
fail() {
    echo "check-man: $*" >&2
    status=1
}

echo "== manual pages render without a warning"
for source in docs/man/*.scd; do
    page=$(basename "$source" .scd)
    if [ ! -s "$build/man/$page" ]; then
        fail "$build/man/$page is missing (is scdoc installed? scripts/deps.sh scdoc)"
        continue
    fi
    warnings=$(MANWIDTH=80 MAN_KEEP_FORMATTING= man --warnings -l "$build/man/$page" 2>&1 >/dev/null) ||
        fail "$page: man failed"
    [ -z "$warnings" ] || fail "$page: man --warnings says: $warnings"
done

# Whether the page's source shows name in bold: alone, or as a part of a
# dotted name (*log4cpp.appender.*_NAME_ shows "appender.").
documented() {
    local source=docs/man/$1.scd name
    name=$(sed 's/[.[\*^$/]/\\&/g' <<<"$2")
    grep -qE "\*([^* ]*\.)?$name([.=][^* ]*)?\*" "$source"
}

check_keys() {
    local page=$1 from=$2 keys=$3 count=0 key
    while read -r key; do
        [ -n "$key" ] || continue
        count=$((count + 1))
        documented "$page" "$key" || fail "$page: the key $key ($from) is not in the page"
    done <<<"$keys"
    [ "$count" -gt 0 ] || fail "no keys found in $from: has its form changed?"
    echo "$page: $count keys of $from"
}

echo "== configuration keys"
check_keys dorvane.conf.5 src/settings.h \
    "$(grep -oP '^constexpr (Key k\w+ = \{|const char\* k\w+Key = )"\K[^"]+' src/settings.h)"
check_keys dorvane.conf.5 platform/vlog/LogKeys.h \
    "$(grep -oP '^constexpr const char\* k\w+ = "\K[^"]+' platform/vlog/LogKeys.h)"
check_keys dorvane-mqtt.8 tools/dorvane-mqtt/link_keys.h \
    "$(grep -v '^//' tools/dorvane-mqtt/link_keys.h | grep -oP '"\K[A-Za-z0-9_.]+(?=")')"

# The verbs of a help text as the verb table prints them (src/verb_table.cpp):
# per line two spaces, the verb (one word or two), at least two spaces, a summary.
verbs_of() {
    sed -nE 's/^  ([a-z][a-z0-9-]*( [a-z][a-z0-9-]*)?)  .*/\1/p' | sort -u
}

echo "== verbs"
declare -A page=([dorvanectl]=dorvanectl.8 [ulxd-sim]=ulxd-sim.1 [dorvane-mqtt]=dorvane-mqtt.8)
for tool in dorvanectl ulxd-sim dorvane-mqtt; do
    bin="$build/tools/$tool"
    [ -x "$bin" ] || { fail "$bin is missing"; continue; }
    help=$("$bin" help </dev/null 2>/dev/null) || { fail "$tool: help fails"; continue; }
    verbs=$(verbs_of <<<"$help")
    count=0
    while read -r verb; do
        [ -n "$verb" ] || continue
        count=$((count + 1))
        grep -qF "*$verb*" "docs/man/${page[$tool]}.scd" ||
            fail "$tool: the verb '$verb' is not in its page"
    done <<<"$verbs"
    echo "$tool: $count verbs"
done
[ $status -eq 0 ] && echo "manual pages: clean"
exit $status
