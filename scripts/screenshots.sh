#!/bin/sh
# Pictures of the window for a look by eye, written to BUILD/screenshots/:
# every state rendered offscreen, and the real program in a virtual X server.
# Usage: scripts/screenshots.sh [BUILD]   (default: build)
set -eu
build=${1:-build}
out="$build/screenshots"
mkdir -p "$out"
cmake --build "$build" -j2 --target ui_screenshots quellmark >/dev/null
QT_QPA_PLATFORM=offscreen "$build/tests/ui/ui_screenshots" "$out"

if command -v xvfb-run >/dev/null 2>&1 && command -v import >/dev/null 2>&1; then
    # A throw-away settings folder, so the real window starts from defaults
    # and nothing of the user's settings is read or written.
    config=$(mktemp -d)
    trap 'rm -rf "$config"' EXIT
    XDG_CONFIG_HOME="$config" xvfb-run -a -s "-screen 0 800x600x24" sh -c '
        "$1" & pid=$!
        sleep 3
        import -window root "$2"
        kill "$pid"; wait "$pid" 2>/dev/null || true
    ' sh "$build/src/ui/quellmark" "$out/11-real-window-xvfb.png"
    echo "$out/11-real-window-xvfb.png"
else
    echo "xvfb-run or import missing: no real-window picture" >&2
fi
