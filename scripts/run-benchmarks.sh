#!/usr/bin/env bash
# `make bench`: every benchmark executable built from bench/*.cpp, then the
# whole-run benchmark of quellmark-cli. By hand only: figures need a quiet machine.
# Usage: scripts/run-benchmarks.sh BUILD
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
status=0
for source in "$root"/bench/*.cpp; do
  [ -e "$source" ] || continue
  name=$(basename "$source" .cpp)
  if [ -x "$build/$name" ]; then
    echo "== $name"
    "$build/$name" || status=1
  fi
done
echo "== run_bench.sh"
"$root/bench/run_bench.sh" "$build" || status=1
exit "$status"
