#!/usr/bin/env bash
# Quellmark against other ways of doing the same work on the bench corpus.
#   cli       quellmark-cli --full --jobs 2
#   limit     the wall times of every ffprobe and ffmpeg run (Quellmark's own
#             command lines), timed one by one and summed, divided by 2 jobs
#   loop      a plain sequential shell loop of the same two commands per file
#   xargs     the same two commands per file under `xargs -P 2`
#   loudgain  Debian's loudgain, one process per file under `xargs -P 2`,
#             report only (`-s s`: no tags written)
#   bs1770    Debian's bs1770gain, integrated loudness and true peak, 2 threads,
#             report only (no -o/--overwrite: nothing written)
# The two outside scanners are yardsticks only, for speed and for agreement of
# the integrated loudness; they run on a copy of the corpus so that the files
# Quellmark reads are never touched. They are installed with apt-get when
# missing; nothing in the project depends on them.
# Rounds alternate all six so that load from elsewhere hits each alike; the
# medians are compared.
# Usage: bench/race.sh [BUILD] [ROUNDS]   (defaults: build, 3)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
rounds=${2:-3}
corpus=${QUELLMARK_BENCH_CORPUS:-$here/corpus}
if ! command -v loudgain >/dev/null || ! command -v bs1770gain >/dev/null; then
  apt-get install -y loudgain bs1770gain >/dev/null
fi

# shellcheck source=bench/lib.sh
source "$here/lib.sh"

scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
config=$scratch/config
copy=$scratch/copy
mkdir -p "$config" "$copy"
for f in "${files[@]}"; do
  rel=${f#"$corpus"/}
  mkdir -p -- "$copy/$(dirname -- "$rel")"
  cp -- "$f" "$copy/$rel"
done
mapfile -d '' copies < <(find "$copy" -type f -print0 | sort -z)

# Prints the wall time of a command in nanoseconds; its output is discarded.
timed() {
  local start end
  start=$(now_ns)
  "$@" >/dev/null 2>&1
  end=$(now_ns)
  echo $((end - start))
}

cli_once() { XDG_CONFIG_HOME=$config "$cli" --full --jobs 2 --quiet --ffmpeg "$ffmpeg" "$corpus"; }

# Each loudgain prints a header and one tab-separated line per file; the lines
# are short enough to be written whole, so two processes never mix them.
loudgain_once() {
  printf '%s\0' "${copies[@]}" | xargs -0 -n 1 -P 2 loudgain -s s -q -O >"$scratch/loudgain.txt" 2>/dev/null || true
}

# With --threads bs1770gain prints nothing and writes no log, so its readings
# come from one extra untimed sequential run after the rounds.
bs1770_once() { bs1770gain -i -t --threads=2 "$copy" || true; }


# Each round starts one contestant later than the round before, so that no
# one always runs first (on a cold cache) or right after the heaviest.
contestants=(cli limit loop xargs loudgain bs1770gain)
declare -A times
for round in $(seq 1 "$rounds"); do
  line="round $round:"
  for ((k = 0; k < ${#contestants[@]}; k++)); do
    name=${contestants[$(((k + round - 1) % ${#contestants[@]}))]}
    case $name in
      cli) t=$(timed cli_once); cp -- "$corpus/volume_gains.csv" "$scratch/quellmark.csv" ;;
      limit) t=$(tools_limit_ns) ;;
      loop) t=$(timed loop_once) ;;
      xargs) t=$(timed xargs_once) ;;
      loudgain) t=$(timed loudgain_once) ;;
      bs1770gain) t=$(timed bs1770_once) ;;
    esac
    times[$name]+=" $t"
    line+=" $name $(seconds "$t") s,"
  done
  echo "$line load $(cut -d' ' -f1-3 /proc/loadavg)"
done
med() { read -ra all <<<"${times[$1]}"; median "${all[@]}"; }

awk -v c="$(med cli)" -v i="$(med limit)" -v l="$(med loop)" \
  -v x="$(med xargs)" -v g="$(med loudgain)" -v b="$(med bs1770gain)" 'BEGIN {
  printf "median: cli %.2f s, limit %.2f s, loop %.2f s, xargs %.2f s, loudgain %.2f s, bs1770gain %.2f s\n",
    c / 1e9, i / 1e9, l / 1e9, x / 1e9, g / 1e9, b / 1e9
  printf "cli / limit      = %.3f (target <= 1.03)\n", c / i
  printf "loop / cli       = %.3f (target >= 1.9)\n", l / c
  printf "xargs / cli      = %.3f (target >= 1.2)\n", x / c
  printf "cli / loudgain   = %.3f (in-process decoder, one process per file)\n", c / g
  printf "cli / bs1770gain = %.3f (in-process decoder, one process in all)\n", c / b
}'

# Agreement of integrated loudness, file by file, matched by file name (the
# corpus names are unique). Quellmark's CSV: file_name is column 2,
# measured_lufs column 6; no corpus name holds a comma or a quote.
awk -F, 'NR > 1 && $6 != "" { print $2 "\t" $6 }' "$scratch/quellmark.csv" | LC_ALL=C sort >"$scratch/q.tsv"
awk -F'\t' '$1 != "File" { n = split($1, p, "/"); sub(/ LUFS$/, "", $2); print p[n] "\t" $2 }' \
  "$scratch/loudgain.txt" | LC_ALL=C sort >"$scratch/lg.tsv"
bs1770gain -i -t -f "$scratch/bs.log" "$copy" >/dev/null 2>&1 || true
awk '
  /^\[[0-9]+\/[0-9]+\] / { name = $0; sub(/^\[[0-9]+\/[0-9]+\] /, "", name) }
  /integrated/ && name != "" { for (k = 1; k < NF; k++) if ($(k + 1) == "LUFS") v = $k; print name "\t" v; name = "" }' \
  "$scratch/bs.log" | LC_ALL=C sort >"$scratch/bs.tsv"
# A reading of -70 LUFS or below is a scanner's floor, not a measurement:
# bs1770gain 0.8.6 decodes this corpus's WAV files as silence and reports
# exactly -70. Such files are counted apart, not folded into the difference.
compare() {
  LC_ALL=C join -t $'\t' "$scratch/q.tsv" "$2" | awk -F'\t' -v peer="$1" -v total="${#files[@]}" '
    $3 <= -70 { floor++; floored = floored " " $1; next }
    { d = $2 - $3; if (d < 0) d = -d; if (d > worst) { worst = d; at = $1 }; n++ }
    END {
      printf "largest |cli - %s| integrated loudness: %.2f LU (%s), %d of %d files compared\n", peer, worst, at, n, total
      if (floor) printf "  %s read %d files at its -70 LUFS floor (left out):%s\n", peer, floor, floored
    }'
}
compare loudgain "$scratch/lg.tsv"
compare bs1770gain "$scratch/bs.tsv"
