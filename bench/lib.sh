# Shared by the whole-run benchmarks: sourced after `here`, `build` and
# `corpus` are set. Finds the tools, makes sure the corpus exists, lists its
# files in `files`, and gives the two command lines Quellmark itself runs.
cli=$build/quellmark-cli
[ -x "$cli" ] || { echo "$0: $cli not found; build first" >&2; exit 1; }
ffmpeg=$(command -v ffmpeg) || { echo "$0: ffmpeg not found" >&2; exit 1; }
ffprobe=$(command -v ffprobe) || { echo "$0: ffprobe not found" >&2; exit 1; }

"$here/corpus.sh" "$corpus"
corpus=$(cd "$corpus" && pwd)
mapfile -d '' files < <(find "$corpus" -type f \( -name '*.flac' -o -name '*.mp3' -o -name '*.wav' \
  -o -name '*.ogg' -o -name '*.m4a' \) -print0 | sort -z)
echo "corpus: ${#files[@]} files in $corpus"

now_ns() { date +%s%N; }

probe() {
  "$ffprobe" -v error -select_streams a:0 -print_format json -show_entries \
    "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist" "$1" >/dev/null 2>&1 || true
}
measure() {
  "$ffmpeg" -nostdin -hide_banner -nostats -i "$1" -vn \
    -af "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true" -f null - >/dev/null 2>&1 || true
}

# The wall times of every tool run, timed one by one, summed and divided by
# the 2 jobs: what two-way parallelism can reach at best (nanoseconds).
tools_limit_ns() {
  local total=0 start end f
  for f in "${files[@]}"; do
    start=$(now_ns); probe "$f"; end=$(now_ns); total=$((total + end - start))
    start=$(now_ns); measure "$f"; end=$(now_ns); total=$((total + end - start))
  done
  echo $((total / 2))
}

# The same two commands per file: one after another, and under `xargs -P 2`.
loop_once() {
  local f
  for f in "${files[@]}"; do
    probe "$f"
    measure "$f"
  done
}
xargs_once() {
  export ffprobe ffmpeg
  export -f probe measure
  printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P 2 bash -c 'probe "$1"; measure "$1"' xargs
}

median() { printf "%s\n" "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }
