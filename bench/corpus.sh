#!/usr/bin/env bash
# A fixed benchmark corpus: 40 files of 30 to 90 s in flac, mp3, wav, ogg and
# m4a, loudness from about -35 to -8 LUFS, some with silence at both ends,
# nested folders and non-ASCII names. Generated once; a complete corpus is
# reused as it is (delete DIR to regenerate).
# Usage: bench/corpus.sh [DIR]   (default bench/corpus)
set -euo pipefail

dir=${1:-"$(dirname "$0")/corpus"}
if [ -f "$dir/.complete" ]; then
  exit 0
fi

# Built beside the target and renamed at the end, so an interrupted run never
# leaves a corpus that looks complete.
work="$dir.partial"
rm -rf -- "$work"
mkdir -p -- "$work"

formats=(flac mp3 wav ogg m4a)
artists=("Artist One" "Café Müller" "夜の楽団" "Ünïcödé Ensemble")
titles=("Intro" "Nocturne" "夜想曲" "Señorita" "Über den Wolken" "Finale" "Étude" "静かな朝")

codec_args() {
  case $1 in
    mp3) echo "-c:a libmp3lame -b:a 192k" ;;
    ogg) echo "-c:a libvorbis -q:a 5" ;;
    m4a) echo "-c:a aac -b:a 160k" ;;
    *) echo "" ;;
  esac
}

echo "corpus: generating 40 files in $dir (takes a minute or two)" >&2
for i in $(seq 0 39); do
  format=${formats[$((i % 5))]}
  artist=${artists[$((i % 4))]}
  album="Album $((i / 10 + 1))"
  title=${titles[$((i % 8))]}
  seconds=$((30 + (i * 37) % 61))
  # Levels spread evenly from -35 to -8 LUFS (in tenths, to stay in integers).
  level_tenths=$((-350 + (270 * i) / 39))
  if [ "$level_tenths" -lt -140 ]; then
    # Pink noise at amplitude 0.1 measures about -31.6 LUFS on two channels.
    gain_tenths=$((level_tenths + 316))
    source="anoisesrc=color=pink:seed=$((i + 1)):amplitude=0.1:sample_rate=44100:duration=$seconds"
  else
    # Loud files are tones, which reach -8 LUFS without clipping; a 1/8-scale
    # tone of these frequencies measures about -18 LUFS on two channels.
    gain_tenths=$((level_tenths + 180))
    source="sine=frequency=$((330 + 20 * i)):sample_rate=44100:duration=$seconds"
  fi
  gain_db=$(printf '%d.%d' $((gain_tenths / 10)) $(((gain_tenths < 0 ? -gain_tenths : gain_tenths) % 10)))
  [ "$gain_tenths" -lt 0 ] && [ "$gain_tenths" -gt -10 ] && gain_db="-$gain_db"
  filter="volume=${gain_db}dB,pan=stereo|c0=c0|c1=c0"
  if [ $((i % 5)) -eq 2 ]; then
    filter="$filter,adelay=1500:all=1,apad=pad_dur=2"
  fi
  folder="$work/$artist/$album"
  mkdir -p -- "$folder"
  out="$folder/$(printf '%02d' $((i + 1))) $title.$format"
  # shellcheck disable=SC2046
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$source" -af "$filter" \
    -fflags +bitexact -flags:a +bitexact -map_metadata -1 \
    -metadata title="$title" -metadata artist="$artist" $(codec_args "$format") "$out"
done
touch -- "$work/.complete"
rm -rf -- "$dir"
mv -- "$work" "$dir"
