#!/bin/sh
# The pin tests' media: the generated movies (the codec ones in codec/), a few of our own (a 6000 Hz track, a long sound
# for counting buffers, a video at ffmpeg's default media scale), ffmpeg's decoding of each as the reference and ffprobe's view of the
# video streams (their sample grid). Each file's command is written beside it as NAME.cmd.
# Idempotent through a stamp newer than the movies'.
set -eu
VERSION=19
SRC=$(dirname "$0")
OUT=${1:?usage: make-references.sh OUTDIR}
. "$(dirname "$0")/../../media/lib.sh"
sh "$SRC/../../media/make-movies.sh" "$OUT"
sh "$SRC/../../media/make-codec-movies.sh" "$OUT/codec"
sh "$SRC/../../media/make-sound-movies.sh" "$OUT/codec"
sh "$SRC/../../media/make-video-movies.sh" "$OUT/video"
STAMP="$OUT/.pin-references-v$VERSION"
if [ -f "$STAMP" ] && [ -z "$(find "$OUT" "$OUT/codec" "$OUT/video" -maxdepth 1 -name '.made-*v*' -newer "$STAMP")" ]; then
  exit 0
fi
# shift_fragments FILE SECONDS TIMESCALE...: moves every fragment's decode time ('tfdt', version
# 1) of FILE that many seconds later, in the time scale of its track (track n takes the n-th),
# as a recording that joined a live stream late has them.
shift_fragments() {
  f=$1 secs=$2
  shift 2
  for at in $(grep -obUa tfdt "$f" | cut -d: -f1); do
    hd=$(head -c "$at" "$f" | grep -obUa tfhd | tail -n 1 | cut -d: -f1)
    id=$(od -An -tu1 -j $((hd + 8)) -N4 "$f" | awk '{print $1*16777216+$2*65536+$3*256+$4}')
    ts=$(echo "$@" | cut -d' ' -f"$id")
    old=$(od -An -tu1 -j $((at + 8)) -N8 "$f" | awk '{v=0; for(i=1;i<=8;i++) v=v*256+$i; print v}')
    new=$((old + secs * ts)) bytes=
    for sh in 56 48 40 32 24 16 8 0; do bytes="$bytes\\$(printf %o $(((new >> sh) & 255)))"; done
    printf "$bytes" | dd of="$f" bs=1 seek=$((at + 8)) conv=notrunc status=none
  done
}
video() {  # movie stream pixel-format [output options]
  m=$1 v=$2 f=$3
  shift 3
  # Every frame once, as decoded (no frames repeated or dropped to a constant rate).
  make "$m.v$v.$f" -i "$OUT/$m" -map "0:v:$v" "$@" -fps_mode passthrough -f rawvideo -pix_fmt "$f"
  # The frames shown (an edit list leaves samples out), counted by decoding.
  ffprobe -v error -count_frames -select_streams "v:$v" \
    -show_entries stream=time_base,duration_ts,nb_read_frames,width,height -of default=nw=1 "$OUT/$m" |
    sed 's/^nb_read_frames=/nb_frames=/' > "$OUT/$m.v$v.probe"
  # Each frame's presentation time and duration in the stream's time base, in decoding output
  # order (the order of the raw frames).
  ffprobe -v error -select_streams "v:$v" -show_entries frame=best_effort_timestamp,pkt_duration \
    -of csv=p=0 "$OUT/$m" > "$OUT/$m.v$v.times"
}
audio() {  # movie stream format
  make "$1.a$2.$3" -i "$OUT/$1" -map "0:a:$2" -f "$3" -acodec "pcm_$3"
}

make snd6k.mov -f lavfi -i "sine=frequency=440:sample_rate=6000:d=1" -c:a pcm_s16be
make grid12800.mov -f lavfi -i testsrc2=size=320x240:rate=25 -t 0.8 -c:v qtrle -pix_fmt rgb24 -g 5
make long.mov -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*650*t):s=44100:d=9" -c:a pcm_s16be
# H.264 (through the system's decoder): B-frame pyramid at 640x360; no B-frames in a .mov; an
# .mp4 cut without decoding at a frame's start, whose edit list skips the samples before it.
X264="-c:v libx264 -preset veryfast -pix_fmt yuv420p"
make h264.mp4 -f lavfi -i testsrc2=size=640x360:rate=25 -t 2 $X264 -profile:v high -bf 3 -x264-params b-pyramid=normal -g 25
make h264nob.mov -f lavfi -i testsrc2=size=320x240:rate=30 -t 1 $X264 -profile:v baseline -bf 0 -g 15
make h264long.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -t 4 $X264 -profile:v high -bf 3 -g 25
make h264cut.mp4 -ss 1.36 -i "$OUT/h264long.mp4" -c copy
# BT.709 in full range, said in the VUI alone.
make h264full.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -t 1 $X264 -profile:v high \
  -x264-params colorprim=bt709:transfer=bt709:colormatrix=bt709:fullrange=on
# H.264 and AAC, long enough for the concurrency tests' seeks.
make h264aac.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "sine=frequency=500:sample_rate=44100" -t 9 \
  $X264 -profile:v high -bf 2 -g 25 -c:a aac -b:a 96k
# Frames at their own times. H.264 video of 2 s in 3 s of AAC sound; a fragmented one, as screen
# recorders write (B-frames: its first frame is shown at 80 ms, with no edit), and the same cut
# short at 70 % of its bytes; 30000/1001 frames a second in a movie counting milliseconds (what
# most encoders write) and in one counting 1/600 s; variable frame durations (20, 40, 10 and
# 30 ms in turn, at 90000 units a second, as phones write); an empty edit before the video of a
# movie with sound.
make av25.mp4 -f lavfi -t 2 -i testsrc2=size=160x120:rate=25 -f lavfi -t 3 -i "sine=frequency=500:sample_rate=44100" \
  $X264 -profile:v high -bf 2 -g 25 -c:a aac -b:a 64k
make frag.mp4 -f lavfi -t 2 -i testsrc2=size=160x120:rate=25 -f lavfi -t 2.08 -i "sine=frequency=500:sample_rate=44100" \
  $X264 -profile:v high -bf 2 -g 25 -c:a aac -b:a 64k -movflags frag_keyframe+empty_moov+default_base_moof
head -c $(( $(stat -c %s "$OUT/frag.mp4") * 7 / 10 )) "$OUT/frag.mp4" > "$OUT/fragcut.mp4"
echo "head -c 70% of frag.mp4" > "$OUT/fragcut.mp4.cmd"
# Baseline at 30 frames a second without an edit list (a grid of whole milliseconds showed each
# frame one frame late).
make baseline30.mp4 -f lavfi -i testsrc2=size=320x240:rate=30 -t 1 $X264 -profile:v baseline -use_editlist 0
make ntsc1000.mp4 -f lavfi -i testsrc2=size=160x120:rate=30000/1001 -t 3 $X264 -g 30
make ntsc600.mov -f lavfi -i testsrc2=size=160x120:rate=30000/1001 -t 3 -c:v qtrle -pix_fmt rgb24 -movie_timescale 600
make vfr.mp4 -f lavfi -i testsrc2=size=160x120:rate=100 -t 2 -fps_mode passthrough -video_track_timescale 90000 \
  -vf "setpts='(floor(N/4)*0.1+if(eq(mod(N\,4)\,1)\,0.02\,if(eq(mod(N\,4)\,2)\,0.06\,if(eq(mod(N\,4)\,3)\,0.07\,0))))/TB'" \
  $X264 -bf 0 -g 30
make emptyedit.mov -f lavfi -t 2 -i "sine=frequency=500:sample_rate=44100" -f lavfi -t 1 -i testsrc2=size=160x120:rate=25 \
  -map 1:v -map 0:a -vf setpts=PTS+0.5/TB -c:v qtrle -pix_fmt rgb24 -c:a pcm_s16le
# Non-square pixels: 320x240 pictures of 4:3 pixels in a track 426.67 wide, with sound; and a
# slow-motion clip as phones write it (90000 units a second, frames 9 units apart, an empty
# edit of 0.1 s in front).
make anamorphic.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "sine=frequency=500:sample_rate=44100" -t 1 \
  -vf setsar=4/3 $X264 -bf 2 -c:a aac -b:a 64k
make slowmo.mp4 -f lavfi -i testsrc2=size=320x240:rate=10000 -frames:v 30 -vf setpts=PTS+0.1/TB $X264 \
  -video_track_timescale 90000
# A recording of a live stream joined at 10 s: the first fragment's decode time is 10 s (video
# and sound), with no edit list; 30 frames a second.
make late10.mp4 -f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i "sine=frequency=500" -t 2 $X264 -bf 0 -g 30 \
  -c:a aac -movflags frag_keyframe+empty_moov+default_base_moof
shift_fragments "$OUT/late10.mp4" 10 15360 44100
echo "shift_fragments late10.mp4 10 15360 44100 (make-references.sh)" >> "$OUT/late10.mp4.cmd"
# An action camera's stream: full-range BT.709 said only by the parameter sets it repeats with
# each key frame; the tests put it in a movie whose 'avcC' holds the plain stream's parameter
# sets (saying nothing of colour) and no 'colr'. The reference: its decoded planes.
CAM="-f lavfi -i testsrc2=size=320x240:rate=25 -t 1 $X264 -profile:v high -bf 0 -g 10"
make cam.h264 $CAM -x264-params repeat-headers=1:fullrange=on:colorprim=bt709:transfer=bt709:colormatrix=bt709 -f h264
make camplain.h264 $CAM -x264-params repeat-headers=1 -f h264
make cam.mp4.v0.nv12 -i "$OUT/cam.h264" -vf scale=in_range=full:out_range=full -f rawvideo -pix_fmt nv12
# Half an hour at 29.97 in a movie counting milliseconds, small: the last frame's time.
make long30.mov -f lavfi -i color=c=navy:size=64x64:rate=30000/1001 -t 1800 -c:v qtrle -pix_fmt rgb24 -g 30000
ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp,pkt_duration -of csv=p=0 \
  "$OUT/long30.mov" | tail -n 1 > "$OUT/long30.mov.last"
# Photo-JPEG, 4:4:4 (through WIC).
make jpeg.mov -f lavfi -i testsrc2=size=320x240:rate=10 -t 1 -c:v mjpeg -pix_fmt yuvj444p -q:v 3
# FFV1, which no decoder of the runtime takes.
make ffv1.mov -f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -c:v ffv1
# HEVC, which the runtime's decoder library takes and no decoder of Wine does.
make hevc.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=none

for m in raw24 raw32 rle24 rle32 av2snd grid12800; do video $m.mov 0 bgr0; done
for m in raw16 rle16 raw24 rle24; do video $m.mov 0 rgb555le; done
video twovideo.mov 0 bgr0
video twovideo.mov 1 bgr0
for m in h264.mp4 h264nob.mov h264cut.mp4 av25.mp4 frag.mp4 fragcut.mp4 ntsc1000.mp4 vfr.mp4 slowmo.mp4 \
         late10.mp4 baseline30.mp4; do
  video $m 0 nv12
done
# The anamorphic pictures as ffmpeg scales them to the track's box, bilinear, in RGB.
video anamorphic.mp4 0 bgr0 -vf format=bgr0,scale=426:240:flags=bilinear
for m in ntsc600.mov emptyedit.mov; do video $m 0 bgr0; done
video h264full.mp4 0 nv12 -vf scale=in_range=full:out_range=full  # the decoded planes, not made limited
video jpeg.mov 0 bgr0
# A movie of each family of the runtime's decoder library, decoded as it is (planar YUV in its
# own subsampling and depth, or RGB).
for m in hevc-main10.mov:yuv420p10le av1.mp4:yuv420p vp9.mp4:yuv420p prores-4.mov:yuv444p12le \
         mpeg4.mp4:yuv420p h263.3gp:yuv420p dv-ntsc.mov:yuv411p svq1.mov:yuv410p jpeg.mov:yuvj420p \
         png-rgb24.mov:bgr0 cinepak.mov:bgr0 smc.mov:bgr0 rpza.mov:rgb555le; do
  video "video/${m%%:*}" 0 "${m#*:}"
done

for m in twos sowt ulaw alaw ima4 six snd6k long; do audio $m.mov 0 s16le; done
audio in24.mov 0 s24le
audio raw8.mov 0 u8
audio raw8.mov 0 s16le
audio in24.mov 0 s16le
audio av2snd.mov 0 s16le
audio av2snd.mov 1 s16le
# Compressed sound, as ffmpeg decodes it: through the edit list (AAC as 32-bit integers from
# its float, MP3 as 16 bits) for the movie-level path, and the media whole for the per-track
# path, which plays a track's media without its edits. NAME.a0.count and NAME.a0.media-count
# hold ffprobe's sample counts of the two (ffmpeg's decoding runs on past the edit's end, to
# the end of the last packet).
compressed() {  # movie movie-level-format
  m=codec/$1
  audio "$m" 0 "$2"
  make "$m.a0.media.s16le" -ignore_editlist 1 -i "$OUT/$m" -map 0:a:0 -f s16le -acodec pcm_s16le
  ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts -of default=nw=1:nk=1 "$OUT/$m" > "$OUT/$m.a0.count"
  ffprobe -v error -ignore_editlist 1 -select_streams a:0 -show_entries stream=duration_ts -of default=nw=1:nk=1 \
    "$OUT/$m" > "$OUT/$m.a0.media-count"
}
for m in aac-mono-44.mp4 aac-mono-48.mov aac-stereo-44.mov aac-stereo-48.mp4 aac-51-48.mp4 aac-51-44.mov \
         aac-stereo-44.m4a aac-51-tones.mp4 h264-aac-cut.mp4; do
  compressed $m s32le
done
for m in mp3-44.mp4 mp3-44.mov mp3-22.mov; do compressed $m s16le; done
# The decoder library's formats: lossy ones as 32-bit integers from their float, lossless ones
# and speech at their 16 bits. A raw AMR file has no edit list, and its count is its frames'.
for m in ac3-51-whole.mp4 opus-stereo.mp4; do compressed $m s32le; done
for m in gsm.mov mp3-24.mov; do compressed $m s16le; done
for m in flac.mp4 alac-16.m4a; do compressed $m s16le; done
audio codec/amr-nb.amr 0 s16le
cp "$OUT/codec/amr-nb.amr.a0.s16le" "$OUT/codec/amr-nb.amr.a0.media.s16le"
for n in count media-count; do
  echo $(($(stat -c %s "$OUT/codec/amr-nb.amr.a0.s16le") / 2)) > "$OUT/codec/amr-nb.amr.a0.$n"
done
# A tone per channel: ffmpeg's decoding through the edit list as WAV, whose channel mask says
# where ffmpeg puts each channel.
for m in aac-30-tones.mp4 aac-40-tones.mp4 aac-50-tones.mp4 aac-51-tones.mp4 aac-71-tones.mp4 aac-c12-tones.mp4; do
  make "codec/$m.a0.wav" -i "$OUT/codec/$m" -map 0:a:0 -acodec pcm_s32le
done
touch "$STAMP"
