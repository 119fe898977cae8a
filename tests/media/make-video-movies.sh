#!/bin/sh
# Makes the movies of the decoder library's video formats with the ffmpeg tool into OUTDIR
# (never committed), each movie's command beside it as NAME.cmd: one or more per format, small
# and short. Formats ffmpeg cannot write (Planar RGB, default palettes, 'dvh1') are built by the
# tests themselves from these. Idempotent: a stamp holding the script version skips the work.
set -eu
VERSION=2
OUT=${1:?usage: make-video-movies.sh OUTDIR}
. "$(dirname "$0")/lib.sh"
mkdir -p "$OUT"
STAMP="$OUT/.made-video-v$VERSION"
[ -f "$STAMP" ] && exit 0

V="-f lavfi -i testsrc2=size=320x180:rate=25"
CIF="-f lavfi -i testsrc2=size=352x288:rate=25"
X265="-c:v libx265 -preset ultrafast -x265-params log-level=none:bframes=3"

# HEVC Main and Main 10 with B-frames, parameter sets in 'hvcC' ('hvc1') and in band ('hev1').
make hevc-main.mp4 $V -t 0.4 $X265 -pix_fmt yuv420p -tag:v hvc1
make hevc-main-hev1.mov $V -t 0.4 $X265 -pix_fmt yuv420p -tag:v hev1
make hevc-main10.mov $V -t 0.4 $X265 -pix_fmt yuv420p10le -tag:v hvc1
make hevc-main10-hev1.mp4 $V -t 0.4 $X265 -pix_fmt yuv420p10le -tag:v hev1
# MPEG-4 part 2 with B-frames ('esds' configuration), H.263 in 3GPP ('s263').
make mpeg4.mp4 $V -t 0.4 -c:v mpeg4 -bf 2 -q:v 4
make mpeg4.mov $V -t 0.4 -c:v mpeg4 -bf 2 -q:v 4
make h263.3gp $CIF -t 0.4 -c:v h263
# AV1 ('av1C'), VP9 8-bit and profile 2 10-bit ('vpcC').
make av1.mp4 $V -t 0.4 -c:v libaom-av1 -cpu-used 8 -b:v 200k
make vp9.mp4 $V -t 0.4 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 300k
make vp9-10.mp4 $V -t 0.4 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -profile:v 2 -pix_fmt yuv420p10le -b:v 300k
make vp9-pq.mp4 $V -t 0.12 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -profile:v 2 -pix_fmt yuv420p10le \
  -color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc -color_range pc
# ProRes, every profile: the encoder's profile names the sample entry (apco apcs apcn apch
# ap4h ap4x); the 4444 ones with alpha.
for p in 0 1 2 3; do make "prores-$p.mov" $V -t 0.12 -c:v prores_ks -profile:v $p; done
for p in 4 5; do make "prores-$p.mov" $V -t 0.12 -c:v prores_ks -profile:v $p -pix_fmt yuva444p10le; done
# Photo-JPEG 4:2:0 and Motion-JPEG A 4:2:2.
make jpeg.mov $V -t 0.12 -c:v mjpeg -pix_fmt yuvj420p
make mjpa.mov $V -t 0.12 -c:v mjpeg -pix_fmt yuvj422p -tag:v mjpa
# PNG in the kinds it decodes to.
make png-rgb24.mov $V -t 0.12 -c:v png
make png-rgba.mov $V -t 0.12 -pix_fmt rgba -c:v png
make png-rgb48.mov $V -t 0.12 -pix_fmt rgb48be -c:v png
make png-pal8.mov $V -t 0.12 -vf format=pal8 -c:v png
make png-gray.mov $V -t 0.12 -pix_fmt gray -c:v png
# DV: PAL 4:2:0 ('dvcp'), NTSC 4:1:1 ('dvc '), DVCPRO50 4:2:2 ('dv5p').
make dv-pal.mov -f lavfi -i testsrc2=size=720x576:rate=25 -t 0.12 -c:v dvvideo -pix_fmt yuv420p
make dv-ntsc.mov -f lavfi -i testsrc2=size=720x480:rate=30000/1001 -t 0.12 -c:v dvvideo -pix_fmt yuv411p
make dv-50.mov -f lavfi -i testsrc2=size=720x576:rate=25 -t 0.12 -c:v dvvideo -pix_fmt yuv422p
# The classic codecs: Cinepak (RGB24), Sorenson Video 1, Video (RGB555), Graphics (8-bit, its
# colour table in the entry).
make cinepak.mov $V -t 0.2 -c:v cinepak
make svq1.mov $V -t 0.2 -c:v svq1
make rpza.mov $V -t 0.2 -vf format=rgb555le -c:v rpza
make smc.mov $V -t 0.2 -vf format=pal8 -c:v smc

touch "$STAMP"
