#!/bin/sh
# The stand-in tests' media: the generated movies (the codec ones in codec/), and ffmpeg's own decoding of them as the
# reference (frames as raw pictures, sound as raw PCM). Each reference's command is written
# beside it as NAME.cmd. Idempotent through a stamp, newer than the movies' own.
set -eu
VERSION=3
SRC=$(dirname "$0")
OUT=${1:?usage: make-references.sh OUTDIR}
. "$(dirname "$0")/../../media/lib.sh"
sh "$SRC/../../media/make-movies.sh" "$OUT"
sh "$SRC/../../media/make-codec-movies.sh" "$OUT/codec"
STAMP="$OUT/.references-v$VERSION"
# Remade when the movies were remade after the references.
if [ -f "$STAMP" ] && [ -z "$(find "$OUT" -maxdepth 1 -name '.made-v*' -newer "$STAMP")" ]; then
  exit 0
fi

video() {  # movie pixel-format
  make "$1.$2" -i "$OUT/$1" -map 0:v:0 -f rawvideo -pix_fmt "$2"
}
audio() {  # movie codec format
  make "$1.$3" -i "$OUT/$1" -map 0:a:0 -f "$3" -acodec "$2"
}

probe() {  # movie: its streams as ffprobe sees them, one key=value a line
  ffprobe -v error -show_entries \
    stream=index,codec_type,codec_tag_string,width,height,sample_rate,channels,time_base,duration_ts,nb_frames:format=duration \
    -of default=nw=1 "$OUT/$1" > "$OUT/$1.probe"
}

for movie in av2snd.mov raw24.mov rle16.mov twos.mov ima4.mov six.mov; do probe $movie; done

video av2snd.mov bgr24
video raw24.mov bgr24
video raw24.mov bgr0
video raw32.mov bgr0
video raw16.mov rgb555le
video rle24.mov bgr24
video rle32.mov bgr0
video rle16.mov rgb555le
video rle16.mov bgr24

audio twos.mov pcm_s16le s16le
audio sowt.mov pcm_s16le s16le
audio in24.mov pcm_s24le s24le
audio ulaw.mov pcm_s16le s16le
audio alaw.mov pcm_s16le s16le
audio ima4.mov pcm_s16le s16le
audio raw8.mov pcm_u8 u8
audio raw8.mov pcm_s16le s16le
audio six.mov pcm_s16le s16le

printf 'This is no movie.\n' > "$OUT/notamovie.mov"
touch "$STAMP"
