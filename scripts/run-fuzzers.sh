#!/usr/bin/env bash
# Runs every libFuzzer target of BUILD for SECONDS each, on a corpus seeded from
# tests/fuzz/seeds and the captured reports in tests/data. Fails on a crash.
set -euo pipefail
build=${1:?usage: run-fuzzers.sh BUILD SECONDS}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
data=$root/tests/data

seed() {  # seed TARGET GLOB...
    local target=$1; shift
    local corpus=$build/corpus/$target
    mkdir -p "$corpus"
    if [ -d "$root/tests/fuzz/seeds/$target" ]; then cp -n "$root/tests/fuzz/seeds/$target"/* "$corpus"/ 2>/dev/null || true; fi
    for pattern in "$@"; do
        for f in $data/$pattern; do [ -f "$f" ] && cp -n "$f" "$corpus"/ || true; done
    done
}

seed csv_fuzz '*.csv'
seed meta_fuzz '*.json' '*.journal'
seed settings_fuzz 'settings*.json'
seed probe_fuzz 'ffprobe*'
seed report_fuzz 'ffmpeg*'

status=0
for target in csv_fuzz meta_fuzz settings_fuzz probe_fuzz report_fuzz; do
    [ -x "$build/tests/fuzz/$target" ] || { echo "fuzz: $target not built" >&2; status=1; continue; }
    echo "== $target (${seconds}s)"
    mkdir -p "$build/artifacts/$target"
    if ! "$build/tests/fuzz/$target" "$build/corpus/$target" -max_total_time="$seconds" \
        -artifact_prefix="$build/artifacts/$target/" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
        >"$build/$target.log" 2>&1; then
        tail -n 40 "$build/$target.log"
        status=1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$build/$target.log" || true
done
exit $status
