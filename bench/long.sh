#!/usr/bin/env bash
# Day-long recordings: quellmark-cli over one 24-h file, then over a folder of
# eight of them with --jobs 8. For each run: the wall time, the rows (each must
# read ok, with the silences the file was made with at both ends, within
# 0.2 s), the peak resident memory of quellmark-cli itself (VmHWM, sampled
# while it runs) and of the largest process of the run (GNU time: quellmark-cli
# or one of its tools). Goal: ok rows, quellmark-cli <= 64 MB with 8 jobs.
# The recording is made once with ffmpeg's own sources and kept under
# BUILD/bench-long/: 5 s of silence, a 440 Hz tone, 7 s of silence, mono
# 16 kHz MP3 at 24 kb/s (about 260 MB for 24 h); the eight are hard links.
# Usage: bench/long.sh [BUILD] [HOURS]   (defaults: build, 24)
set -euo pipefail

build=${1:-build}
hours=${2:-24}
cli=$build/quellmark-cli
[ -x "$cli" ] || { echo "$0: $cli not found; build first" >&2; exit 1; }
ffmpeg=$(command -v ffmpeg) || { echo "$0: ffmpeg not found" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "$0: GNU time (/usr/bin/time) not found" >&2; exit 1; }

lead=5
trail=7
seconds=$((hours * 3600))
cache=$build/bench-long
one=$cache/one-${hours}h
eight=$cache/eight-${hours}h
file=$one/day.mp3
if [ ! -f "$file" ]; then
  mkdir -p "$one"
  echo "long: generating $hours h of audio in $file (takes minutes)" >&2
  # Written aside and renamed, so an interrupted run never leaves a file that looks complete.
  "$ffmpeg" -nostdin -loglevel error -y -f lavfi \
    -i "sine=frequency=440:sample_rate=16000:duration=$seconds,volume=volume=0:enable='lt(t,$lead)+gte(t,$((seconds - trail)))'" \
    -ac 1 -c:a libmp3lame -b:a 24k -f mp3 "$file.partial"
  mv -- "$file.partial" "$file"
fi
mkdir -p "$eight"
for i in 1 2 3 4 5 6 7 8; do
  [ -f "$eight/day-$i.mp3" ] || ln -- "$file" "$eight/day-$i.mp3" 2>/dev/null || cp -- "$file" "$eight/day-$i.mp3"
done

config=$(mktemp -d)
trap 'rm -rf -- "$config"' EXIT

# Runs quellmark-cli over folder $1 with $2 jobs; prints the figures and the rows.
run() {
  local folder=$1 jobs=$2 start end pid= hwm=0 value status=0
  rm -f -- "$folder"/volume_gains.csv*
  start=$(date +%s%N)
  XDG_CONFIG_HOME=$config /usr/bin/time -f %M -o "$config/maxrss" \
    "$cli" --full --jobs "$jobs" --quiet --ffmpeg "$ffmpeg" "$folder" >/dev/null &
  local timer=$!
  while kill -0 "$timer" 2>/dev/null; do
    [ -n "$pid" ] || pid=$(pgrep -P "$timer" || true)
    value=$([ -n "$pid" ] && awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$value" ] && hwm=$value
    sleep 0.5
  done
  wait "$timer" || status=$?
  end=$(date +%s%N)
  awk -v ns=$((end - start)) -v hwm="$hwm" -v all="$(tail -n 1 "$config/maxrss")" -v jobs="$jobs" -v status="$status" \
    'BEGIN { printf "jobs %d: wall %.1f s, exit %d, peak RSS quellmark-cli %.1f MB, largest process of the run %.1f MB\n",
             jobs, ns / 1e9, status, hwm / 1024, all / 1024 }'
  awk -F, -v lead="$lead" -v trail="$trail" -v len="$seconds" 'NR > 1 {
    ok = $9 == "ok" && ($10 - lead) ^ 2 < 0.04 && ($11 - trail) ^ 2 < 0.04 && ($5 - len) ^ 2 < 1
    print "  " $0 (ok ? "" : "   <-- expected ok, " lead " s and " trail " s of silence, " len " s")
    bad += !ok
  } END { if (bad) exit 1 }' "$folder/volume_gains.csv"
}

echo "long: $(du -h "$file" | cut -f1) file of $hours h, load $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
run "$one" 1 || status=1
run "$eight" 8 || status=1
echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
