#!/usr/bin/env bash
# Runs the runnable command blocks of the documentation, so that they cannot
# drift from the code. Usage: scripts/doc-blocks.sh [FILE...]
# (default: README.md and docs/*.md). Run after `make build`.
#
# Which blocks run is said by the fence's info string:
#   ```sh          runs here: every such block of a file, in order, in one
#                  `bash -euo pipefail` per file. Each block starts in the
#                  repository's root; variables and background processes
#                  carry over to the file's later blocks (a block that starts
#                  one records its pid, and a later block ends it).
#   ```sh-setup    the README's two set-up commands (make demo, make test):
#                  not run here, since CI runs them as steps of their own.
#   ```sh-slow     runs here but for minutes (make bench, make cross, ...):
#                  not run here; CI runs them as steps of their own or not.
#   ```sh-on-unit  needs a real unit (ssh, dpkg -i, systemctl, journalctl).
#   ```sh-center   needs the fleet's center (its broker, the signing key).
#   anything else  (text, ini, json, xml, ...) example output or a fragment.
# A fence may be indented by up to three spaces (inside a list item); its
# lines lose that indentation.
# Each file's shell is a process group of its own with a time limit
# (DOC_BLOCKS_TIMEOUT seconds, default 120); the group is ended when the file
# is done, so nothing a page starts outlives it. Each block's first line and
# its result are printed; the first block that fails stops the run, named by
# file and line, with exit status 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
limit=${DOC_BLOCKS_TIMEOUT:-120}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -eq 0 ]; then
    set -- README.md docs/*.md
fi

# The file's sh blocks as one bash script; each block announces itself and
# writes its line number to STATE, so that a failure or the time limit can
# name it. A fence left open is said on standard error (exit status 3).
extract() {
    awk -v file="$1" -v state="$2" -v root="$root" '
    function q(s) { gsub(/\047/, "\047\\\047\047", s); return "\047" s "\047" }
    BEGIN {
        print "set -euo pipefail"
        print "__doc_begin() { cd " q(root) "; printf %s \"$1\" > " q(state) ";"
        print "    printf \"== %s:%s: %s\\n\" " q(file) " \"$1\" \"$2\"; }"
        print "__doc_end() { printf \"   ok\\n\"; }"
    }
    fence == "" && /^ ? ? ?```/ {
        match($0, /^ */); ind = RLENGTH
        fence = substr($0, ind + 4); sub(/[ \t]+$/, "", fence)
        if (fence == "") fence = "(none)"
        start = NR; first = 1
        if (fence == "sh-setup") { printf "printf \"   skipped (sh-setup): %%s:%%s\\n\" %s %d\n", q(file), NR }
        next
    }
    fence != "" && /^ ? ? ?```[ \t]*$/ {
        if (fence == "sh") print "__doc_end"
        fence = ""; next
    }
    fence == "sh" {
        for (i = 0; i < ind && substr($0, 1, 1) == " "; i++) $0 = substr($0, 2)
        if (first) { printf "__doc_begin %d %s\n", NR, q($0); first = 0 }
        print; next
    }
    END {
        if (fence != "") { printf "%s:%d: a fence (%s) is never closed\n", file, start, fence > "/dev/stderr"; exit 3 }
    }' "$1"
}

for file in "$@"; do
    if [ ! -f "$file" ]; then
        echo "doc-blocks: $file: no such file" >&2
        exit 1
    fi
    script="$work/blocks.sh" state="$work/state"
    extract "$file" "$state" > "$script" || exit 1
    : > "$state"
    if ! grep -q '^__doc_begin ' "$script"; then
        echo "== $file: no sh block"
        continue
    fi
    # setsid: the page's shell and all it starts form a group of their own,
    # which is ended below whatever happens.
    setsid bash "$script" < /dev/null &
    page=$!
    sleep "$limit" &
    timer=$!
    ended=""
    rc=0
    wait -n -p ended "$page" "$timer" || rc=$?
    if [ "$ended" = "$timer" ]; then
        rc=124
    else
        kill "$timer" 2>/dev/null || true
    fi
    kill -TERM -- "-$page" 2>/dev/null || true
    sleep 0.2
    kill -KILL -- "-$page" 2>/dev/null || true
    wait "$page" "$timer" 2>/dev/null || true
    line=$(cat "$state")
    if [ "$rc" -eq 124 ]; then
        echo "doc-blocks: $file:${line:-?}: the block did not end within the time limit (${limit} s)" >&2
        exit 1
    elif [ "$rc" -ne 0 ]; then
        echo "doc-blocks: $file:${line:-?}: the block failed (exit status $rc)" >&2
        exit 1
    fi
done
echo "doc-blocks: every sh block ran"
