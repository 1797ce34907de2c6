#!/bin/sh
# scripts/run beside a shell it did not start, with this build's programs
# (nothing built) in a prefix of the check's own: its demo shell is listed
# with the signs of a hidden one; afterwards it is gone and the other runs on.
# Usage: run_test.sh SOURCE_DIR WORK_DIR REFERENCE_EXE VERSION BUILD_TYPE
set -eu
. "$(dirname "$0")/lib.sh"
prefix="$work_dir/wineprefix"
export MURKSCOPE_RUN_PREFIX="$prefix" MURKSCOPE_RUN_BIN="${reference%/*}"
shells() {
    "$source_dir/cmake/wine-run" "$prefix" "$reference" -j 2>/dev/null |
        sed -n 's/^{"type":"shell","host":[^,]*,"pid":\([0-9]*\),.*/\1/p'
}

mkfifo "$work_dir/other.in"
"$source_dir/cmake/wine-run" "$prefix" cmd.exe <"$work_dir/other.in" >/dev/null 2>&1 &
other=$!
exec 3>"$work_dir/other.in"
trap 'exec 3>&-; WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true' EXIT
tries=0
until other_id=$(shells) && [ -n "$other_id" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { echo "FAIL: the other shell does not come up" >&2; exit 1; }
    sleep 0.2
done

"$source_dir/scripts/run" -j >"$work_dir/run.jsonl" 2>"$work_dir/run.log" || fail "scripts/run -j: $(cat "$work_dir/run.log")"
demo_id=$(sed -n 's/^run: demo shell: cmd.exe, pid \([0-9]*\)$/\1/p' "$work_dir/run.log")
grep "\"pid\":$demo_id," "$work_dir/run.jsonl" | grep -q '"signs":\["started-hidden","no-window","redirected-stdio","parent-gone"\]}$' ||
    fail "the demo shell ($demo_id) is not listed with its four signs: $(cat "$work_dir/run.jsonl")"
kill -0 "$other" 2>/dev/null || fail "the other shell's wine process has ended"
[ "$(shells)" = "$other_id" ] || fail "after scripts/run the shells are '$(shells)', not the other one ($other_id)"
finish run
