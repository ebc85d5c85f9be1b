#!/usr/bin/env bash
# The manual pages against the code: each page of BUILD/man renders with
# `man --warnings` without a warning, every configuration key the readers
# accept stands in its page, and so does every verb the tools print in their
# help. The keys come from the readers' own tables (src/settings.h,
# platform/vlog/LogKeys.h, tools/dorvane-mqtt/link_keys.h); the verbs from
# `TOOL help` (two spaces, the verb, at least two spaces, a summary), or
# `TOOL --help` where `help` is not a verb of the tool. A key or verb
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
pages=(dorvane.8 dorvane.conf.5 dorvanectl.8 ulxd-sim.1 dorvane-mqtt.8)
for page in "${pages[@]}"; do
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

# The verbs of a help text: per line "  VERB  summary" (an older form puts
# the tool's name first, may leave the summary to the next line, and writes
# "a | b" for two verbs); the verb is the leading words of lower-case
# letters, digits and '-', up to the first other word.
verbs_of() {
    local tool=$1
    awk -v tool="$tool" '
        /^  [^ ]/ {
            line = substr($0, 3)
            gap = index(line, "  ")
            if (gap > 0) line = substr(line, 1, gap - 1)
            else if (index(line, tool " ") != 1) next  # no summary: not a verb line
            n = split(line, alternatives, / \| /)
            for (a = 1; a <= n; a++) {
                w = split(alternatives[a], words, / +/)
                verb = ""
                for (i = 1; i <= w; i++) {
                    if (i == 1 && words[i] == tool) continue
                    if (words[i] !~ /^[a-z][a-z0-9-]*$/) break
                    verb = verb == "" ? words[i] : verb " " words[i]
                }
                if (verb != "") print verb
            }
        }' | sort -u
}

echo "== verbs"
declare -A page=([dorvanectl]=dorvanectl.8 [ulxd-sim]=ulxd-sim.1 [dorvane-mqtt]=dorvane-mqtt.8)
for tool in dorvanectl ulxd-sim dorvane-mqtt; do
    bin="$build/tools/$tool"
    [ -x "$bin" ] || { fail "$bin is missing"; continue; }
    help=$("$bin" help </dev/null 2>/dev/null) || help=$("$bin" --help </dev/null 2>/dev/null) ||
        { fail "$tool: neither help nor --help works"; continue; }
    verbs=$(verbs_of "$tool" <<<"$help")
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
