#!/bin/sh
# Makes the movies of the codec-configuration and colour tests with the ffmpeg tool into
# OUTDIR (never committed), each movie's command beside it as NAME.cmd. Idempotent: a stamp
# holding the script version lets a second run skip the work.
set -eu
VERSION=9
OUT=${1:?usage: make-codec-movies.sh OUTDIR}
. "$(dirname "$0")/lib.sh"
mkdir -p "$OUT"
STAMP="$OUT/.made-codec-v$VERSION"
[ -f "$STAMP" ] && exit 0

V640="-f lavfi -i testsrc2=size=640x360:rate=25"
X264="-c:v libx264 -preset veryfast -pix_fmt yuv420p"
BT601="-color_primaries smpte170m -color_trc smpte170m -colorspace smpte170m"
BT709="-color_primaries bt709 -color_trc bt709 -colorspace bt709"

# H.264: High with B-frames and baseline without; 640x360 is coded as 640x368 and cropped.
make h264-high.mp4 $V640 -t 1 $X264 -profile:v high -bf 3
# Groups of 12 pictures, closed (each decoder may start at any of them) and open (leading
# pictures of a group refer to the group before).
make h264-groups.mp4 $V640 -t 3 $X264 -profile:v high -bf 3 -x264-params b-pyramid=normal -g 12
make h264-opengop.mp4 $V640 -t 3 $X264 -profile:v high -bf 3 -x264-params open-gop=1 -g 12
# Closed groups of 10 at another size, in BT.709 full range: a track's second sample description,
# its groups taking turns with those of h264-groups.mp4 (the picture stress test writes that
# track; the checking decoders' grey differs in full range).
make h264-groups-709.mp4 -f lavfi -i testsrc2=size=320x180:rate=25 -t 3 $X264 -profile:v main -bf 2 -g 10 $BT709 -color_range pc
make h264-base.mov $V640 -t 1 $X264 -profile:v baseline $BT601 -color_range tv
make h264-1080.mp4 -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 0.2 $X264 -profile:v high $BT709 -color_range tv
# Full range: 'nclx' in .mp4 says so; QuickTime's 'nclc' cannot, only the stream's VUI does.
make h264-full.mp4 $V640 -t 0.2 $X264 $BT709 -color_range pc
make h264-full.mov $V640 -t 0.2 $X264 $BT709 -color_range pc
# Colour in the VUI alone (no 'colr'), and a 'colr' that disagrees with the VUI.
make h264-vui.mp4 $V640 -t 0.2 $X264 -x264-params colorprim=bt709:transfer=bt709:colormatrix=bt709:fullrange=on
make h264-range.mp4 $V640 -t 0.2 $X264 -x264-params fullrange=on
make h264-clash.mov $V640 -t 0.2 $X264 $BT709 -x264-params colorprim=smpte170m:transfer=smpte170m:colormatrix=smpte170m
# Non-square pixels (4:3): the VUI carries the aspect ratio, the track is 426.67 wide.
make h264-sar.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -t 0.4 -vf setsar=4/3 $X264
make hevc.mp4 $V640 -t 0.4 -c:v libx265 -preset ultrafast -pix_fmt yuv420p -tag:v hvc1 -x265-params log-level=none
# HDR as phones record it: HEVC Main 10, BT.2020 and HLG in .mov, PQ in .mp4; and BT.2020 SDR.
# testsrc2's RGB, through the BT.2020 matrix, stands for the signal: its white is the peak.
HEVC10="-c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -tag:v hvc1 -vf scale=out_color_matrix=bt2020:out_range=tv"
hevc10() {  # name transfer
  make "$1" $V640 -t 0.2 $HEVC10 -x265-params "log-level=none:colorprim=bt2020:transfer=$2:colormatrix=bt2020nc" \
    -color_primaries bt2020 -color_trc "$2" -colorspace bt2020nc
}
hevc10 hevc-hlg.mov arib-std-b67
hevc10 hevc-pq.mp4 smpte2084
hevc10 hevc-2020.mov bt2020-10

# AAC-LC: mono, stereo and 5.1 at 44.1 and 48 kHz; in .mov the 'esds' sits inside 'wave'.
aac() {
  name=$1 layout=$2 rate=$3
  make "$name" -f lavfi -i "sine=frequency=440:sample_rate=$rate:duration=0.3" -af "aformat=channel_layouts=$layout" -c:a aac -b:a 96k
}
aac aac-mono-44.mp4 mono 44100
aac aac-mono-48.mov mono 48000
aac aac-stereo-44.mov stereo 44100
aac aac-stereo-48.mp4 stereo 48000
aac aac-51-48.mp4 5.1 48000
aac aac-51-44.mov 5.1 44100
aac aac-stereo-44.m4a stereo 44100
# 5.1 with a tone of its own in each channel, so that an order mistaken shows.
make aac-51-tones.mp4 -f lavfi -i "aevalsrc=0.1*sin(2*PI*300*t)|0.2*sin(2*PI*500*t)|0.3*sin(2*PI*700*t)|0.4*sin(2*PI*90*t)|0.5*sin(2*PI*1100*t)|0.6*sin(2*PI*1300*t):s=48000:d=0.3:c=5.1" -c:a aac -b:a 192k
# Every channel configuration ffmpeg writes, a tone of its own in each channel (a low one in
# the LFE, which the encoder cuts above 120 Hz): 3.0, 4.0 (a back centre), 5.0, and 7.1, which
# it writes as configuration 7.
tones() {  # name layout channels
  f="0.1*sin(2*PI*300*t)|0.2*sin(2*PI*500*t)|0.3*sin(2*PI*700*t)|0.4*sin(2*PI*90*t)"
  f="$f|0.5*sin(2*PI*1100*t)|0.6*sin(2*PI*1300*t)|0.3*sin(2*PI*1700*t)|0.2*sin(2*PI*1900*t)"
  make "$1" -f lavfi -i "aevalsrc=$(echo "$f" | cut -d'|' -f1-"$3"):s=48000:d=0.3:c=$2" -c:a aac -b:a 256k
}
tones aac-30-tones.mp4 3.0 3
tones aac-40-tones.mp4 4.0 4
tones aac-50-tones.mp4 5.0 5
tones aac-71-tones.mp4 7.1 8
# Configurations ffmpeg does not write, by rewriting the 'esds' AudioSpecificConfig in place
# (LC, 48 kHz, the configuration, zeros after): 12 and 14 over the 7.1 stream (12 has its
# elements, 14 its channel count), 11 over a 7-channel one.
asc() {  # source name configuration
  cp "$OUT/$1" "$OUT/$2"
  at=$(($(grep -obUa esds "$OUT/$2" | head -1 | cut -d: -f1) + 4))
  at=$(($(tail -c +$((at + 1)) "$OUT/$2" | grep -obUa "$(printf '\005\200\200\200')" | head -1 | cut -d: -f1) + at))
  n=$(od -An -tu1 -j $((at + 4)) -N1 "$OUT/$2" | tr -d ' ')
  v=$(((2 << 11) | (3 << 7) | ($3 << 3)))
  { printf "\\$(printf %o $((v >> 8)))\\$(printf %o $((v & 255)))"; head -c $((n - 2)) /dev/zero; } |
    dd of="$OUT/$2" bs=1 seek=$((at + 5)) conv=notrunc status=none
  echo "cp $1 $2, its AudioSpecificConfig set to configuration $3 (make-codec-movies.sh)" > "$OUT/$2.cmd"
}
asc aac-71-tones.mp4 aac-c12-tones.mp4 12
asc aac-71-tones.mp4 aac-c14-tones.mp4 14
make aac-61-tones.mp4 -f lavfi -i "aevalsrc=0.1*sin(2*PI*300*t)|0.2*sin(2*PI*500*t)|0.3*sin(2*PI*700*t)|0.4*sin(2*PI*90*t)|0.5*sin(2*PI*1100*t)|0.6*sin(2*PI*1300*t)|0.3*sin(2*PI*1700*t):s=48000:d=0.3:c=6.1(back)" -c:a aac -b:a 256k
asc aac-61-tones.mp4 aac-c11.mp4 11
# The 5.1 stream's packets, for movies with a program config element of the tests' own.
make aac-51-tones.adts -i "$OUT/aac-51-tones.mp4" -c copy -f adts
# A longer stereo track for the speed measurement.
make aac-long.mp4 -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=60" -ac 2 -c:a aac -b:a 128k
# H.264 with AAC, then cut by stream copy: the cut keeps the packets before the cut point and
# an edit list that starts each track at it.
make h264-aac.mp4 $V640 -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=3" -t 3 $X264 -g 25 -c:a aac -b:a 96k
echo "$FF -ss 1.35 -i $OUT/h264-aac.mp4 -c copy" > "$OUT/h264-aac-cut.mp4.cmd"
$FF -ss 1.35 -i "$OUT/h264-aac.mp4" -c copy "$OUT/h264-aac-cut.mp4"

# MP3: MPEG-1 in .mp4 ('mp4a' with an 'esds'), MPEG-2 mono in .mov ('.mp3').
make mp3-44.mp4 -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.3" -ac 2 -c:a libmp3lame -b:a 128k
make mp3-22.mov -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=0.3" -ac 1 -c:a libmp3lame -b:a 32k
make mp3-44.mov -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.3" -ac 2 -c:a libmp3lame -b:a 128k
# Raw MPEG audio streams whose frames follow one another: layer II, and MPEG-2.5 layer III.
make mp2-48.mp2 -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.5" -ac 2 -c:a mp2 -b:a 192k
make mp3-8.mp3 -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.5" -ac 1 -c:a libmp3lame -b:a 16k -id3v2_version 0 -write_xing 0

touch "$STAMP"
