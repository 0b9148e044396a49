#!/usr/bin/env bash
# How close a whole run of quellmark-cli comes to the tools' own cost.
#   cli   quellmark-cli --full --jobs 2 over the corpus
#   ideal the wall times of every ffprobe and ffmpeg run (the command lines
#         Quellmark uses), timed one by one and summed, divided by 2 jobs
#   loop  a plain sequential shell loop running the same two commands per file
#   cli1  quellmark-cli --jobs 1: against the loop, what Quellmark itself costs
#         per file, whatever the machine's parallel capacity
#   par2  the same two commands per file under `xargs -P 2`: what two-way
#         parallelism gives on this machine at this moment
# Rounds alternate the three so that load from elsewhere hits each alike; the
# medians are compared. Targets: cli <= 1.05 x ideal, loop >= 1.8 x cli.
# Usage: bench/run_bench.sh [BUILD] [ROUNDS]   (defaults: build, 3)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
rounds=${2:-3}
corpus=${QUELLMARK_BENCH_CORPUS:-$here/corpus}

# shellcheck source=bench/lib.sh
source "$here/lib.sh"

config=$(mktemp -d)
trap 'rm -rf -- "$config"' EXIT

# Prints "wall-ns cpu-seconds": bash's `time` also counts the CPU of every
# descendant that was waited for, so the tools' share is included. CPU time
# hardly moves with load from elsewhere, which the wall times do.
timed() {
  local TIMEFORMAT='%U %S' start end cpu
  start=$(now_ns)
  cpu=$({ time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.2f", $1 + $2 }')
  end=$(now_ns)
  echo "$((end - start)) $cpu"
}

cli_once() { XDG_CONFIG_HOME=$config "$cli" --full --jobs "$1" --quiet --ffmpeg "$ffmpeg" "$corpus"; }

run_ideal() {
  local total=0 start end f
  for f in "${files[@]}"; do
    start=$(now_ns); probe "$f"; end=$(now_ns); total=$((total + end - start))
    start=$(now_ns); measure "$f"; end=$(now_ns); total=$((total + end - start))
  done
  echo $((total / 2))
}

par2_once() {
  printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P 2 bash -c \
    'ffprobe_bin=$1 ffmpeg_bin=$2 f=$3
     "$ffprobe_bin" -v error -select_streams a:0 -print_format json -show_entries \
       "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist" "$f" >/dev/null 2>&1
     "$ffmpeg_bin" -nostdin -hide_banner -nostats -i "$f" -vn \
       -af "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true" -f null - >/dev/null 2>&1
     exit 0' par2 "$ffprobe" "$ffmpeg"
}

loop_once() {
  local f
  for f in "${files[@]}"; do
    probe "$f"
    measure "$f"
  done
}


cli_times=() ideal_times=() loop_times=() cli_cpus=() loop_cpus=() serial_times=() par2_times=()
for round in $(seq 1 "$rounds"); do
  read -r wall cpu < <(timed cli_once 2)
  cli_times+=("$wall") cli_cpus+=("$cpu")
  ideal_times+=("$(run_ideal)")
  read -r wall cpu < <(timed loop_once)
  loop_times+=("$wall") loop_cpus+=("$cpu")
  read -r wall cpu < <(timed cli_once 1)
  serial_times+=("$wall")
  read -r wall cpu < <(timed par2_once)
  par2_times+=("$wall")
  echo "round $round: cli $(seconds "${cli_times[-1]}") s (cpu ${cli_cpus[-1]} s)," \
    "ideal $(seconds "${ideal_times[-1]}") s, loop $(seconds "${loop_times[-1]}") s (cpu ${loop_cpus[-1]} s)," \
    "cli1 $(seconds "${serial_times[-1]}") s, par2 $(seconds "${par2_times[-1]}") s, load $(cut -d' ' -f1 /proc/loadavg)"
done

cli_ns=$(median "${cli_times[@]}")
ideal_ns=$(median "${ideal_times[@]}")
loop_ns=$(median "${loop_times[@]}")
serial_ns=$(median "${serial_times[@]}")
par2_ns=$(median "${par2_times[@]}")
cli_cpu=$(median "${cli_cpus[@]}")
loop_cpu=$(median "${loop_cpus[@]}")
awk -v c="$cli_ns" -v i="$ideal_ns" -v l="$loop_ns" -v cc="$cli_cpu" -v lc="$loop_cpu" -v s="$serial_ns" -v p="$par2_ns" 'BEGIN {
  printf "median: cli %.2f s, ideal %.2f s, loop %.2f s, cli1 %.2f s, par2 %.2f s\n", c / 1e9, i / 1e9, l / 1e9, s / 1e9, p / 1e9
  printf "cli / ideal = %.3f (target <= 1.05)\n", c / i
  printf "loop / cli  = %.3f (target >= 1.8)\n", l / c
  printf "cli1 / loop = %.3f (sequential: Quellmark against the bare tools)\n", s / l
  printf "cli / par2  = %.3f (against xargs -P 2 under the same load)\n", c / p
  printf "cpu: cli %.2f s, loop %.2f s, cli / loop = %.3f (what Quellmark adds to the tools)\n", cc, lc, cc / lc
}'
