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

cli_times=() ideal_times=() loop_times=() cli_cpus=() loop_cpus=() serial_times=() par2_times=()
for round in $(seq 1 "$rounds"); do
  read -r wall cpu < <(timed cli_once 2)
  cli_times+=("$wall") cli_cpus+=("$cpu")
  ideal_times+=("$(tools_limit_ns)")
  read -r wall cpu < <(timed loop_once)
  loop_times+=("$wall") loop_cpus+=("$cpu")
  read -r wall cpu < <(timed cli_once 1)
  serial_times+=("$wall")
  read -r wall cpu < <(timed xargs_once)
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
