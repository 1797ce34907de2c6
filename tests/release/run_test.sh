#!/bin/sh
# scripts/run in a prefix where a shell of another's already runs: its demo
# shell shows the signs of one an intruder started, and when the script has
# ended the demo shell is gone while the other shell still runs. The script
# builds nothing here: it runs this build's programs (MURKSCOPE_RUN_BIN) in a
# prefix of the check's own (MURKSCOPE_RUN_PREFIX).
# Usage: run_test.sh SOURCE_DIR WORK_DIR REFERENCE_EXE VERSION BUILD_TYPE
set -eu
. "$(dirname "$0")/lib.sh"

prefix="$work_dir/wineprefix"
wine_run="$source_dir/cmake/wine-run"
MURKSCOPE_RUN_BIN=$(dirname "$reference")
export MURKSCOPE_RUN_PREFIX="$prefix" MURKSCOPE_RUN_BIN

# The other shell reads from a fifo this check holds, and ends with it.
mkfifo "$work_dir/other.in"
"$wine_run" "$prefix" cmd.exe <"$work_dir/other.in" >/dev/null 2>&1 &
other=$!
exec 3>"$work_dir/other.in"
trap 'exec 3>&-; WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true' EXIT

# shells FILE: the ids of the shells in a -j output, one a line.
shells() {
    sed -n 's/^{"type":"shell","host":[^,]*,"pid":\([0-9]*\),.*/\1/p' "$1"
}
tries=0
until "$wine_run" "$prefix" "$reference" -j >"$work_dir/before.jsonl" 2>/dev/null &&
    [ -n "$(shells "$work_dir/before.jsonl")" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { echo "FAIL: the other shell does not come up" >&2; exit 1; }
    sleep 0.2
done
other_id=$(shells "$work_dir/before.jsonl")

"$source_dir/scripts/run" -j >"$work_dir/run.jsonl" 2>"$work_dir/run.log" ||
    { cat "$work_dir/run.log" >&2; fail "scripts/run -j failed"; }
demo_id=$(sed -n 's/^run: demo shell: cmd.exe, pid \([0-9]*\)$/\1/p' "$work_dir/run.log")
grep "\"pid\":$demo_id," "$work_dir/run.jsonl" |
    grep -q '"signs":\["started-hidden","redirected-stdio","parent-gone"\]}$' ||
    fail "the demo shell ($demo_id) is not listed with its three signs in: $(cat "$work_dir/run.jsonl")"
[ "$(shells "$work_dir/run.jsonl" | LC_ALL=C sort | tr '\n' ' ')" = \
    "$(printf '%s\n' "$other_id" "$demo_id" | LC_ALL=C sort | tr '\n' ' ')" ] ||
    fail "scripts/run -j did not list the other shell ($other_id) and the demo shell ($demo_id)"

kill -0 "$other" 2>/dev/null || fail "the other shell's wine process has ended"
"$wine_run" "$prefix" "$reference" -j >"$work_dir/after.jsonl" 2>/dev/null || true
[ "$(shells "$work_dir/after.jsonl")" = "$other_id" ] ||
    fail "after scripts/run the shells are '$(shells "$work_dir/after.jsonl")', not the other one ($other_id)"

finish run
echo "demo shell $demo_id ended, other shell $other_id left running"
