#!/bin/sh
# The decoder tests' media: compressed movies made with ffmpeg, and ffmpeg's own decoding of each
# as the reference (every picture in display order, edits ignored, as raw NV12 or B,G,R rows).
# Each file's command is written beside it as NAME.cmd. Idempotent through a stamp.
set -eu
VERSION=3
OUT=${1:?usage: make-media.sh OUTDIR}
. "$(dirname "$0")/../../media/lib.sh"
mkdir -p "$OUT"
STAMP="$OUT/.made-v$VERSION"
[ -f "$STAMP" ] && exit 0
ref() {  # movie pixel-format [output options]
  m=$1 f=$2
  shift 2
  make "$m.$f" -ignore_editlist 1 -i "$OUT/$m" -map 0:v:0 -vsync passthrough "$@" -f rawvideo -pix_fmt "$f"
}

SRC="-f lavfi -i testsrc2=size=640x360:rate=25"
X264="-c:v libx264 -preset veryfast -pix_fmt yuv420p"
# High profile with pyramid B-frames, 640x360 (not a multiple of 16 high), two GOPs.
make bframes.mp4 $SRC -t 2 $X264 -profile:v high -bf 3 -x264-params b-pyramid=normal -g 25
# No B-frames, in the other containers.
make nob.mov -f lavfi -i testsrc2=size=320x240:rate=30 -t 1 $X264 -profile:v baseline -bf 0 -g 15
make nob.m4v -i "$OUT/nob.mov" -c copy -f mp4
make nob.3gp -i "$OUT/nob.mov" -c copy
make hd.mp4 -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 0.6 $X264 -profile:v high -bf 2 -g 12
# Colours a GStreamer pipeline would convert: BT.709 full range said in the VUI, 720 lines unsaid.
make full709.mp4 $SRC -t 0.6 $X264 -profile:v high -x264-params colorprim=bt709:transfer=bt709:colormatrix=bt709:fullrange=on
make hd720.mp4 -f lavfi -i testsrc2=size=1280x720:rate=25 -t 0.6 $X264 -profile:v main
# An edit list from cutting without decoding (the first samples lie before the edit).
make long.mp4 $SRC -t 4 $X264 -profile:v high -bf 3 -g 25
make edited.mp4 -ss 1.35 -i "$OUT/long.mp4" -c copy
# Non-square pixels (4:3) said in the VUI; the track is wider than the pictures.
make sar.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -vf setsar=4/3 $X264 -bf 2
# Photo-JPEG in a QuickTime movie, 4:4:4 (WIC's 4:2:0 upsampling differs from ffmpeg's).
make jpeg.mov -f lavfi -i testsrc2=size=320x240:rate=10 -t 1 -c:v mjpeg -pix_fmt yuvj444p -q:v 3

for m in bframes.mp4 nob.mov nob.m4v nob.3gp hd.mp4 hd720.mp4 edited.mp4 sar.mp4; do ref $m nv12; done
ref full709.mp4 nv12 -vf scale=in_range=full:out_range=full  # the decoded planes, not made limited
ref jpeg.mov bgr24
touch "$STAMP"
