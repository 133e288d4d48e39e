#!/bin/sh
# usage: check_man.sh HARBOLT PAGE...
# Every page must format without a word from man on standard error, and harbolt(1) must describe
# every option of `harbolt --help` and every command of `harbolt ctl --help`.
program=$1
shift
if ! command -v man >/dev/null 2>&1; then
    echo "SKIP: man is missing"
    exit 0
fi
export MANWIDTH=80 LC_ALL=C.UTF-8
failed=0
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

for page in "$@"; do
    if ! man --warnings -l "$page" >"$work/text" 2>"$work/warnings" || [ -s "$work/warnings" ]; then
        echo "FAIL: man --warnings -l $page:"
        cat "$work/warnings"
        failed=1
    fi
    case $page in
    */harbolt.1) cp "$work/text" "$work/harbolt.txt" ;;
    esac
done

if [ ! -s "$work/harbolt.txt" ]; then
    echo "FAIL: no harbolt.1 among the pages"
    exit 1
fi
# The page's list items begin at column 8, bold removed: "       --headless", "       mail set".
col -b <"$work/harbolt.txt" >"$work/plain"
{
    "$program" --help | sed -n 's/^      \(--[a-z][a-z-]*\).*/\1/p'
    # ctl commands with their first lower-case word ("mail set", "proxy status", "answer yes").
    "$program" ctl --help | sed -n 's/^      \([a-z][a-z-]*\)\( [a-z][a-z-]*\)\{0,1\}.*/\1\2/p'
} >"$work/items"
[ -s "$work/items" ] || { echo "FAIL: $program --help lists nothing"; exit 1; }
while IFS= read -r item; do
    if ! grep -q -e "^       $item\( \|\$\|,\||\)" "$work/plain"; then
        echo "FAIL: harbolt.1 does not describe '$item'"
        failed=1
    fi
done <"$work/items"
exit $failed
