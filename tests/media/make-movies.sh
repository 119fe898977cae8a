#!/bin/sh
# Makes the engine's test movies with the ffmpeg tool into OUTDIR (never committed).
# Each movie's command is written beside it as NAME.cmd. Idempotent: a stamp holding the
# script version lets a second run skip the work.
set -eu
VERSION=8
OUT=${1:?usage: make-movies.sh OUTDIR}
. "$(dirname "$0")/lib.sh"
mkdir -p "$OUT"
STAMP="$OUT/.made-v$VERSION"
[ -f "$STAMP" ] && exit 0

V320="-f lavfi -i testsrc2=size=320x240:rate=25"
V321="-f lavfi -i testsrc2=size=321x243:rate=30000/1001"
TONE="sine=frequency=440:sample_rate"
# Two different tones per channel pair so that channel order is visible.
ST44="-f lavfi -i aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*650*t):s=44100:d=1"

make raw24.mov $V320 -t 0.4 -c:v rawvideo -pix_fmt rgb24 -video_track_timescale 600
make raw16.mov $V321 -t 0.4 -c:v rawvideo -pix_fmt rgb555be
make raw32.mov $V320 -t 0.4 -c:v rawvideo -pix_fmt argb -video_track_timescale 600
make rle24.mov $V320 -t 1 -c:v qtrle -pix_fmt rgb24 -g 10 -video_track_timescale 600
make rle16.mov $V321 -t 1 -c:v qtrle -pix_fmt rgb555be -g 10
make rle32.mov $V320 -t 1 -c:v qtrle -pix_fmt argb -g 10 -video_track_timescale 600

make twos.mov $ST44 -c:a pcm_s16be
make sowt.mov $ST44 -c:a pcm_s16le
make in24.mov $ST44 -c:a pcm_s24be
make in32.mov $ST44 -c:a pcm_s32be
make fl32.mov $ST44 -c:a pcm_f32be
# Little-endian variants: an 'enda' atom inside 'wave' says so.
make in24le.mov $ST44 -c:a pcm_s24le
make fl32le.mov $ST44 -c:a pcm_f32le
make fl64.mov $ST44 -c:a pcm_f64be
make ulaw.mov $ST44 -c:a pcm_mulaw
make alaw.mov $ST44 -c:a pcm_alaw
make ima4.mov $ST44 -c:a adpcm_ima_qt
make raw8.mov -f lavfi -i "$TONE=22050:d=1" -c:a pcm_u8
make six.mov -f lavfi -i "aevalsrc=0.1*sin(2*PI*300*t)|0.2*sin(2*PI*400*t)|0.3*sin(2*PI*500*t)|0.4*sin(2*PI*600*t)|0.5*sin(2*PI*700*t)|0.6*sin(2*PI*800*t):s=48000:d=1" -c:a pcm_s16le -channel_layout 5.1

# Several tracks: video + two sound tracks of different rates; two video tracks.
make av2snd.mov $V320 -f lavfi -i "$TONE=22050:d=1" -f lavfi -i "aevalsrc=0.3*sin(2*PI*900*t)|0.3*sin(2*PI*1200*t):s=44100:d=0.6" \
  -map 0:v -map 1:a -map 2:a -t 1 -c:v qtrle -pix_fmt rgb24 -g 10 -c:a pcm_s16be -video_track_timescale 600 -disposition:a:0 default -disposition:a:1 default
make twovideo.mov $V320 -f lavfi -i "testsrc=size=160x120:rate=25" -map 0:v -map 1:v -t 0.6 -c:v qtrle -pix_fmt rgb24 -g 5 -disposition:v:0 default -disposition:v:1 default

# Other containers: the engine opens them and reports their (undecoded) formats.
make aac.m4a -f lavfi -i "$TONE=44100:d=1" -c:a aac -b:a 64k
make mpeg4.mp4 $V320 -f lavfi -i "$TONE=44100:d=0.4" -t 0.4 -c:v mpeg4 -c:a aac
make h263.3gp -f lavfi -i testsrc2=size=176x144:rate=15 -f lavfi -i "$TONE=8000:d=0.4" -t 0.4 -c:v h263 -c:a aac -ar 8000 -ac 1

# Real-world shapes. Fragmented movies: 'moof'/'mdat' pairs after an empty 'moov', with data
# offsets from the base data offset or from the 'moof', and one without decode times ('tfdt'
# renamed to 'free', which any reader skips).
AV="-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i aevalsrc=0.5*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=22050:d=2 -t 2 -c:v qtrle -pix_fmt rgb24 -g 10 -c:a pcm_s16be -video_track_timescale 600"
make frag.mov $AV -movflags frag_keyframe+empty_moov
make fragmoof.mov $AV -movflags frag_keyframe+empty_moov+default_base_moof
LC_ALL=C sed 's/tfdt/free/g' "$OUT/frag.mov" > "$OUT/fragnotfdt.mov"
echo "LC_ALL=C sed 's/tfdt/free/g' frag.mov > fragnotfdt.mov" > "$OUT/fragnotfdt.mov.cmd"
# The same movie whole, its 'moov' first, and cut short: inside 'mdat', at the start of a video
# sample, and before 'mdat' (header only). Its 'moov' last and cut inside the 'moov'.
make whole.mov $AV -movflags faststart
make moovlast.mov $AV
size=$(stat -c %s "$OUT/whole.mov")
first=$(ffprobe -v error -show_entries packet=pos -of csv=p=0 "$OUT/whole.mov" | sort -n | head -1)
sample=$(ffprobe -v error -select_streams v -show_entries packet=pos -of csv=p=0 "$OUT/whole.mov" | sed -n 20p)
cut() { head -c "$2" "$OUT/whole.mov" > "$OUT/$1"; echo "head -c $2 whole.mov > $1" > "$OUT/$1.cmd"; }
cut cutmdat.mov $((size * 3 / 5 + 7))
cut cutsample.mov "$sample"
cut headeronly.mov $((first - 8))
msize=$(stat -c %s "$OUT/moovlast.mov")
head -c $((msize - 200)) "$OUT/moovlast.mov" > "$OUT/cutmoov.mov"
echo "head -c $((msize - 200)) moovlast.mov > cutmoov.mov" > "$OUT/cutmoov.mov.cmd"
# Track matrices: ffmpeg's 'rotate' metadata turns the picture by quarter turns.
make upright.mov -f lavfi -i testsrc2=size=96x64:rate=10 -t 0.5 -c:v qtrle -pix_fmt rgb24 -video_track_timescale 600
for r in 90 180 270; do
  make rot$r.mov -i "$OUT/upright.mov" -c copy -metadata:s:v:0 rotate=$r
done
# An edit list: the copy of a 3 s movie from 1.35 s starts its video at the sync sample before.
make av3.mov -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "$TONE=44100:d=3" -t 3 -c:v qtrle -pix_fmt rgb24 -g 10 -c:a pcm_s16le
make edited.mov -ss 1.35 -i "$OUT/av3.mov" -c copy
# Raw AMR as phones record it (the storage format: a magic line, then 20 ms frames), built by
# hand since ffmpeg has no AMR encoder here: frames cycling through the given frame types,
# each its header byte (type << 3, quality bit) and that type's speech bytes. AMR-WB under
# both of its names; multi-channel files, whose magic lines say so, which are not played.
amr() {  # name magic frames "type:bytes ..."
  f=$OUT/$1 n=$3 types=$4
  printf 'amr %s %s %s "%s" (make-movies.sh)\n' "$1" "$2" "$3" "$4" > "$f.cmd"
  printf '%b' "$2" > "$f"
  i=0
  set -- $types
  while [ "$i" -lt "$n" ]; do
    for tb in "$@"; do
      [ "$i" -lt "$n" ] || break
      printf "\\$(printf %o $((${tb%:*} * 8 + 4)))" >> "$f"
      head -c "${tb#*:}" /dev/zero | tr '\000' 'U' >> "$f"
      i=$((i + 1))
    done
  done
}
WB="0:17 1:23 2:32 3:36 4:40 5:46 6:50 7:58 8:60 9:5 15:0"  # the nine modes, SID, no data
amr amrwb.awb '#!AMR-WB\n' 73 "$WB"
amr amrwb.amr '#!AMR-WB\n' 50 "8:60 2:32 15:0 9:5"
amr amrnb.amr '#!AMR\n' 61 "0:12 1:13 2:15 3:17 4:19 5:20 6:26 7:31 8:5 15:0"
amr amrmc.amr '#!AMR_MC1.0\n\000\000\000\002' 20 "7:31"
amr amrwbmc.awb '#!AMR-WB_MC1.0\n\000\000\000\002' 20 "8:60"
# Not a movie: a raw MPEG-4 part 2 video stream, as .m4v files sometimes are.
make raw.m4v -f lavfi -i testsrc2 -t 1 -c:v mpeg4 -f m4v
touch "$STAMP"

