#!/bin/sh
# Runs every libFuzzer target of a fuzz build for a bounded time, starting from its seed corpus.
# Usage: tools/run-fuzzers.sh BUILD_DIR SECONDS
# FUZZ_JOBS targets (default: one a core) run at once, each on one core.
# With FUZZ_MERGE=1 the inputs that found new coverage are merged into the committed corpus
# (tests/fuzz/corpus/NAME) afterwards, keeping only those that add coverage to it; meant for
# long campaigns run by hand, not for CI.
set -eu
build=$1
seconds=$2
merge=${FUZZ_MERGE:-0}
jobs=${FUZZ_JOBS:-$(nproc)}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
files() { find "$1" -type f | wc -l; }

# fuzz_one TARGET: one target's run (and merge); its report goes to $work/NAME.out, and
# $work/NAME.failed marks a failure.
fuzz_one() {
    target=$1
    name=$(basename "$target" _fuzz)
    corpus="$root/tests/fuzz/corpus/$name"
    log="$build/fuzz-$name.log"
    out="$work/$name.out"
    mkdir -p "$work/$name" "$corpus"
    touch "$work/$name.start"
    # New inputs go to a scratch corpus; crashes are kept in the build directory. The fuzzer's
    # progress lines go to a log beside them, shown in full only when it fails.
    if "$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-$name-" "$work/$name" "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "== $name: $seconds s, ${runs:-?} runs, $(files "$work/$name") new inputs" >"$out"
    else
        touch "$work/$name.failed"
        {
            echo "== $name: FAILED after at most $seconds s (log: $log)"
            tail -n 80 "$log"
            find "$build" -maxdepth 1 -type f -name "fuzz-$name-*" -newer "$work/$name.start" |
                while read -r artifact; do
                    echo "-- input $artifact (first 256 bytes, hex):"
                    od -A d -t x1 -N 256 "$artifact"
                done
        } >"$out"
    fi
    if [ "$merge" = 1 ] && [ "$(files "$work/$name")" -gt 0 ]; then
        before=$(files "$corpus")
        if "$target" -merge=1 "$corpus" "$work/$name" >"$build/fuzz-$name.merge.log" 2>&1; then
            echo "   merged into tests/fuzz/corpus/$name: $before -> $(files "$corpus") files" >>"$out"
        else
            touch "$work/$name.failed"
            echo "   merging into tests/fuzz/corpus/$name failed (log: $build/fuzz-$name.merge.log)" \
                >>"$out"
        fi
    fi
}

# Runs the targets in batches of $jobs; every batch takes the same time, so nothing waits long.
targets=""
for target in "$build"/tests/fuzz/*_fuzz; do
    [ -x "$target" ] && targets="$targets $target"
done
if [ -z "$targets" ]; then
    echo "no fuzz targets in $build/tests/fuzz" >&2
    exit 1
fi
running=0
for target in $targets; do
    fuzz_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait
status=0
for target in $targets; do
    name=$(basename "$target" _fuzz)
    cat "$work/$name.out"
    [ ! -e "$work/$name.failed" ] || status=1
done
exit $status
