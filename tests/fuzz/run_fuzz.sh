#!/bin/sh
# run_fuzz.sh BUILD_DIR SECONDS [CORPUS_DIR]
# Builds the environment-block fuzzer natively (clang, libFuzzer, address and
# undefined-behaviour sanitizers) into BUILD_DIR/fuzz-native and runs it for
# SECONDS. Without CORPUS_DIR it works on a fresh copy of the committed
# starting inputs, so every run starts alike; with CORPUS_DIR it keeps what it
# finds there (the folder is filled from the committed inputs when new).
# Fails on a crash, a sanitizer report or a difference from the model.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS [CORPUS_DIR]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work="$1/fuzz-native"
seconds=$2
mkdir -p "$work"

clangxx=${CLANGXX:-clang++}
if ! command -v "$clangxx" >/dev/null 2>&1; then
    echo "run_fuzz.sh: $clangxx not found (Debian packages clang and libclang-rt-14-dev)" >&2
    exit 1
fi

# Native build: nothing of the Windows build takes part, only the walk.
fuzzer="$work/envblock_fuzz"
"$clangxx" -std=c++17 -O1 -g -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I "$root/src/scanner" \
    "$here/envblock_fuzz.cpp" "$root/src/scanner/envblock.cpp" -o "$fuzzer"

if [ $# -ge 3 ]; then
    corpus=$3
    mkdir -p "$corpus"
    if [ -z "$(ls -A "$corpus")" ]; then
        cp "$here"/corpus/*.bin "$corpus"/
    fi
else
    corpus="$work/corpus-run"
    rm -rf "$corpus"
    mkdir -p "$corpus"
    cp "$here"/corpus/*.bin "$corpus"/
fi
start_count=$(ls "$corpus" | wc -l)

log="$work/fuzz.log"
rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
status=0
started=$(date +%s)
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$corpus" >"$log" 2>&1 || status=$?

elapsed=$(($(date +%s) - started))
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
end_count=$(ls "$corpus" | wc -l)
echo "fuzz: ran $elapsed s of $seconds, ${executions:-?} executions, corpus $start_count -> $end_count files"
[ -n "$final" ] && echo "fuzz: $final"

if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error:|MISMATCH' "$log"; then
    echo "fuzz: FAILED (exit status $status); log $log" >&2
    grep -nE 'MISMATCH|block of|ERROR:|runtime error:|SUMMARY:|Test unit written' "$log" >&2 || tail -n 40 "$log" >&2
    for artifact in "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-*; do
        [ -e "$artifact" ] && echo "fuzz: input kept in $artifact ($(od -An -tx1 "$artifact" | head -n 2 | tr -s ' '))" >&2
    done
    exit 1
fi
exit 0
