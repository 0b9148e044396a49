#!/usr/bin/env bash
# `make demo`: builds a demo folder under BUILD/demo, analyses it with
# quellmark-cli and prints the resulting volume_gains.csv.
# Usage: scripts/run-demo.sh BUILD
set -euo pipefail

build=${1:-build}
cli=$build/quellmark-cli
demo=$build/demo
if [ ! -x "$cli" ]; then
  echo "$0: $cli not found; build first (make build)" >&2
  exit 1
fi

"$(dirname "$0")/make-demo-folder.sh" "$demo"
echo "Analysing $demo ..."
status=0
"$cli" --full "$demo" || status=$?
if [ -f "$demo/volume_gains.csv" ]; then
  echo
  echo "== $demo/volume_gains.csv"
  cat "$demo/volume_gains.csv"
fi
exit "$status"
