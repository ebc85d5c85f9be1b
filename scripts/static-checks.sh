#!/usr/bin/env bash
# The checks that need no test run: every tracked C++ file formatted as
# .clang-format says, no source file outside tests over 500 lines, each
# header's include guard named for its path, and the
# clang-tidy set of .clang-tidy (which also holds functions to 60 lines) clean.
# clang-tidy reads the compile commands of the clang build (build-clang,
# configured here; nothing is built).
# Usage: scripts/static-checks.sh [FILE.cpp...]   (default: the whole tree;
# given files, clang-tidy looks at those only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh clang clang-format clang-tidy
status=0

echo "== formatting (clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1))"
if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror; then
    echo "formatting: run clang-format -i on the files above" >&2
    status=1
fi

echo "== source files of at most 500 lines"
while read -r lines file; do
    if [ "$lines" -gt 500 ]; then
        echo "$file: $lines lines (at most 500)" >&2
        status=1
    fi
done < <(git ls-files '*.cpp' '*.h' ':!tests/*' | xargs wc -l | grep -v ' total$')

echo "== header guards named for their path"
for h in $(git ls-files '*.h'); do
    guard=DORVANE_$(tr 'a-z/.-' 'A-Z___' <<<"$h")
    if ! grep -qx "#ifndef $guard" "$h" || ! grep -qx "#define $guard" "$h"; then
        echo "$h: the include guard is not $guard" >&2
        status=1
    fi
done

build=build-clang
cmake --preset clang >/dev/null  # configured again, so that new files are seen
if [ $# -gt 0 ]; then
    files=$(printf '%s\n' "$@")
else
    # One entry per source file (the service's sources build twice).
    files=$(python3 -c 'import json, sys
print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1]))})))' \
        "$build/compile_commands.json")
fi
echo "== clang-tidy ($(wc -l <<<"$files") files)"
if ! xargs -P"$(nproc)" -n4 clang-tidy -p "$build" --quiet <<<"$files" 2>/dev/null; then
    echo "clang-tidy: fix the findings above, or suppress one with" \
         "NOLINTNEXTLINE(check): and the reason" >&2
    status=1
fi
[ $status -eq 0 ] && echo "static checks: clean"
exit $status
