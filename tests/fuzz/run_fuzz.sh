#!/usr/bin/env bash
# Fuzzes the uninstaller logic for a fixed time on a scratch copy of the seed
# corpus and fails on any finding, which is kept under build/fuzz/findings.
# Usage: run_fuzz.sh [seconds (default 60)] [fuzzer binary (default: build it
# with the fuzz preset)]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
seconds=${1:-60}
fuzzer=${2:-}
if [ -z "$fuzzer" ]; then
    (cd "$repo" && { [ -f build/fuzz/CMakeCache.txt ] || cmake --preset fuzz >/dev/null; } &&
        cmake --build --preset fuzz --target uninstaller_fuzz >/dev/null) || exit 1
    fuzzer=$repo/build/fuzz/tests/fuzz/uninstaller_fuzz
fi
findings=$repo/build/fuzz/findings
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$findings"
cp "$here"/corpus/* "$work/corpus/"

"$fuzzer" -max_total_time="$seconds" -max_len=512 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work/corpus" >"$work/log" 2>&1
status=$?
stat() { sed -n "s/^stat::$1: *//p" "$work/log"; }
if [ $status -ne 0 ]; then
    grep -v -e '^#[0-9]' -e '^INFO:' "$work/log" | tail -n 60
    echo "fuzz: FAILED (status $status); reproduce with: $fuzzer <file under $findings>"
    exit 1
fi
echo "fuzz: $(stat number_of_executed_units) executions in $seconds s," \
    "$(stat average_exec_per_sec) exec/s, corpus $(ls "$here/corpus" | wc -l) -> $(ls "$work/corpus" | wc -l) inputs"
