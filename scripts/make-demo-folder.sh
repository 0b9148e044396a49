#!/usr/bin/env bash
# Builds a small folder of demo audio with ffmpeg's generated sources: several
# formats, loudness levels from about -30 to -10 LUFS, a file with silence at
# both ends, a tagged file, one in a subfolder and one that is not audio at all.
# Usage: scripts/make-demo-folder.sh DIR
# DIR is created; an earlier demo folder there is replaced. A folder that
# exists without the demo marker is refused, so a typo never wipes real files.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
dir=$1
marker=.quellmark-demo

if [ -e "$dir" ]; then
  if [ ! -f "$dir/$marker" ]; then
    echo "$0: $dir exists and is not a demo folder; not touching it" >&2
    exit 1
  fi
  rm -rf -- "$dir"
fi
mkdir -p -- "$dir/Album"
touch -- "$dir/$marker"

# -bitexact keeps encoder version strings out of the files, so the same
# ffmpeg always writes the same bytes.
gen() {
  local out=$1 source=$2
  shift 2
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$source" \
    -fflags +bitexact -flags:a +bitexact -map_metadata -1 "$@" "$dir/$out"
}

# A 440 Hz tone at 1/8 of full scale measures about -21 LUFS; the volume
# filter moves it to the level wanted.
gen "01 Quiet Strings.wav" "sine=frequency=440:sample_rate=44100:duration=4,volume=-9dB"
gen "02 Loud Noise.flac" "anoisesrc=color=pink:amplitude=0.8:seed=11:sample_rate=48000:duration=3"
gen "03 Talk.mp3" "sine=frequency=220:sample_rate=44100:duration=5,volume=3dB" -c:a libmp3lame -b:a 128k
gen "04 夜明けの歌.m4a" "sine=frequency=660:sample_rate=48000:duration=4,volume=-3dB" -c:a aac -b:a 128k \
  -metadata title="夜明けの歌" -metadata artist="Quellmark Demo"
gen "05 Chimes.opus" "sine=frequency=880:sample_rate=48000:duration=3,volume=11dB" -c:a libopus -b:a 96k
gen "06 Hum.ogg" "sine=frequency=110:sample_rate=44100:duration=6" -c:a libvorbis -q:a 4
# 1 s of silence, 2.5 s of tone, 1.5 s of silence.
gen "Album/07 Silence Both Ends.flac" \
  "aevalsrc=exprs='if(between(t,1,3.5),0.25*sin(2*PI*523*t),0)':sample_rate=44100:duration=5"
# Not audio: fixed pseudo-random bytes that no decoder accepts.
awk 'BEGIN { srand(7); for (i = 0; i < 3000; i++) printf "%c", 32 + int(rand() * 90) }' > "$dir/08 Broken.mp3"
