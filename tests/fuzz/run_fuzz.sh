#!/bin/sh
# run_fuzz.sh TARGET BUILD_DIR SECONDS [CORPUS_DIR]
# run_fuzz.sh --list
# Builds one fuzzer natively (clang, libFuzzer, address and
# undefined-behaviour sanitizers) into BUILD_DIR/fuzz-native and runs it for
# SECONDS. Without CORPUS_DIR it works on a fresh copy of the committed
# starting inputs (tests/fuzz/corpus/TARGET), so every run starts alike; with
# CORPUS_DIR it keeps what it finds there (the folder is filled from the
# committed inputs when new). Fails on a crash, a sanitizer report or a
# difference from the target's own check. --list names every target.
# FUZZ_RUNS=N runs N executions instead (the long runs: SECONDS is then
# only the ceiling), FUZZ_MAX_LEN=N sets libFuzzer's -max_len.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

# Each target: its harness and the tool's own files it parses with.
TARGETS="envblock versiondata listwalk jsontext enginepipe"
sources_of() {
    case "$1" in
        envblock) echo "$here/envblock_fuzz.cpp $root/src/scanner/envblock.cpp" ;;
        versiondata) echo "$here/versiondata_fuzz.cpp $root/src/scanner/versiondata.cpp" ;;
        listwalk) echo "$here/listwalk_fuzz.cpp $root/src/scanner/listwalk.cpp" ;;
        jsontext) echo "$here/jsontext_fuzz.cpp $root/src/scanner/jsontext.cpp" ;;
        enginepipe) echo "$here/enginepipe_fuzz.cpp $root/src/scanner/enginepipe.cpp" ;;
        *) return 1 ;;
    esac
}

if [ "${1:-}" = --list ]; then
    echo "$TARGETS"
    exit 0
fi
if [ $# -lt 3 ] || ! sources_of "$1" >/dev/null; then
    echo "usage: $0 TARGET BUILD_DIR SECONDS [CORPUS_DIR] (TARGET: $TARGETS), or $0 --list" >&2
    exit 2
fi
target=$1
shift
work="$1/fuzz-native/$target"
seconds=$2
mkdir -p "$work"

clangxx=${CLANGXX:-clang++}
if ! command -v "$clangxx" >/dev/null 2>&1; then
    echo "run_fuzz.sh: $clangxx not found (Debian packages clang and libclang-rt-14-dev)" >&2
    exit 1
fi

# Native build: nothing of the Windows build takes part, only the walk.
fuzzer="$work/${target}_fuzz"
# shellcheck disable=SC2046
"$clangxx" -std=c++17 -O1 -g -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I "$root/src/scanner" \
    $(sources_of "$target") -o "$fuzzer"

if [ $# -ge 3 ]; then
    corpus=$3
    mkdir -p "$corpus"
    if [ -z "$(ls -A "$corpus")" ]; then
        cp "$here/corpus/$target"/*.bin "$corpus"/
    fi
else
    corpus="$work/corpus-run"
    rm -rf "$corpus"
    mkdir -p "$corpus"
    cp "$here/corpus/$target"/*.bin "$corpus"/
fi
start_count=$(ls "$corpus" | wc -l)

log="$work/fuzz.log"
rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
status=0
started=$(date +%s)
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    "$fuzzer" -max_total_time="$seconds" ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} ${FUZZ_MAX_LEN:+-max_len=$FUZZ_MAX_LEN} \
    -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$corpus" >"$log" 2>&1 || status=$?

elapsed=$(($(date +%s) - started))
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
end_count=$(ls "$corpus" | wc -l)
echo "fuzz $target: ran $elapsed s of $seconds, ${executions:-?} executions, corpus $start_count -> $end_count files"
coverage=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 || true)
[ -n "$final" ] && echo "fuzz $target: $final"
[ -n "$coverage" ] && echo "fuzz $target: $coverage"

if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error:|MISMATCH' "$log"; then
    echo "fuzz: FAILED (exit status $status); log $log" >&2
    grep -nE 'MISMATCH|block of|ERROR:|runtime error:|SUMMARY:|Test unit written' "$log" >&2 || tail -n 40 "$log" >&2
    for artifact in "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-*; do
        [ -e "$artifact" ] && echo "fuzz: input kept in $artifact ($(od -An -tx1 "$artifact" | head -n 2 | tr -s ' '))" >&2
    done
    exit 1
fi
exit 0
