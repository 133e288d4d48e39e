#!/bin/sh
# Runs every libFuzzer target of a fuzz build for a bounded time, starting from its seed corpus.
# Usage: tools/run-fuzzers.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
status=0
for target in "$build"/tests/fuzz/*_fuzz; do
    name=$(basename "$target" _fuzz)
    mkdir -p "$work/$name"
    echo "== $name: $seconds s"
    # New inputs go to a scratch corpus; crashes are kept in the build directory.
    if ! "$target" -max_total_time="$seconds" -artifact_prefix="$build/fuzz-$name-" \
        "$work/$name" "$root/tests/fuzz/corpus/$name"; then
        status=1
    fi
done
exit $status
