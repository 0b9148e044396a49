#!/bin/sh
# Pictures of the window for a look by eye, written to BUILD/screenshots/:
# every state rendered offscreen, and the real program in a virtual X server.
# Usage: scripts/screenshots.sh [BUILD]   (default: build)
set -eu
build=${1:-build}
out="$build/screenshots"
mkdir -p "$out"
cmake --build "$build" -j2 --target ui_screenshots quellmark >/dev/null
QT_QPA_PLATFORM=offscreen "$build/src/ui/ui_screenshots" "$out"

if command -v xvfb-run >/dev/null 2>&1 && command -v import >/dev/null 2>&1; then
    # A throw-away settings folder, so the real window starts from defaults
    # and nothing of the user's settings is read or written.
    config=$(mktemp -d)
    music=$(mktemp -d)
    trap 'rm -rf "$config" "$music"' EXIT
    shoot() {
        XDG_CONFIG_HOME="$config" xvfb-run -a -s "-screen 0 1024x800x24" sh -c '
            "$1" & pid=$!
            sleep 3
            import -window root "$2"
            kill "$pid"; wait "$pid" 2>/dev/null || true
        ' sh "$build/src/ui/quellmark" "$out/$1"
        echo "$out/$1"
    }
    shoot 11-real-window-xvfb.png
    # The second start offers the last folder, whose previous CSV (one line of
    # it damaged) fills the results view before any run.
    {
        echo "relative_path,file_name,title,artist,duration_sec,measured_lufs,true_peak_dbfs,gain_db,status,leading_silence_sec,trailing_silence_sec"
        for i in $(seq 1 24); do
            echo "Album/$i Lied.flac,$i Lied.flac,Lied $i,Chor,$((120 + i)).5,-$((8 + i % 17)).4,-1.2,$(( (i % 17) - 10 )).4,ok,0.2,1.1"
        done
        echo "Album/kaputt.mp3,kaputt.mp3,kaputt,,,,,0,error:decode_failed,0,0"
        echo "eine beschädigte Zeile"
    } > "$music/volume_gains.csv"
    mkdir -p "$config/quellmark"
    printf '{"folder":"%s","geometry":""}' "$music" > "$config/quellmark/quellmark.window"
    shoot 12-real-window-previous-results-xvfb.png
else
    echo "xvfb-run or import missing: no real-window picture" >&2
fi
