#!/bin/sh
# run-bench.sh BUILD_DIR: the pins' benchmark. Makes 640x480 'raw ' and 'rle ' movies, H.264
# ProRes and HEVC HLG movies, a PCM sound movie and an AAC one with ffmpeg, runs pin_bench (the filter in
# Wine's graph, its fill step, a seek's latency, the start-up, and Wine's GStreamer parser in the
# same host when that architecture's plugins are installed; the runtime's decoder library first,
# then the system's decoders first) and ffmpeg decoding the same files, in the same run, and
# prints each figure as a ratio to its peer.
set -eu
BUILD=$(cd "${1:?usage: run-bench.sh BUILD_DIR}" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
WORK="$BUILD/bench/pins/media"
mkdir -p "$WORK"
FF="ffmpeg -hide_banner -loglevel error -y -nostdin"
V="-f lavfi -i testsrc2=size=640x480:rate=25"
[ -f "$WORK/raw.mov" ] || $FF $V -t 4 -c:v rawvideo -pix_fmt rgb24 "$WORK/raw.mov"
[ -f "$WORK/rle.mov" ] || $FF $V -t 8 -c:v qtrle -pix_fmt rgb24 -g 25 "$WORK/rle.mov"
[ -f "$WORK/sound.mov" ] || $FF -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*650*t):s=44100:d=120" \
  -c:a pcm_s16be "$WORK/sound.mov"
[ -f "$WORK/aac.mp4" ] || $FF -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*650*t):s=44100:d=60" \
  -c:a aac -b:a 128k "$WORK/aac.mp4"
# H.264: 640x480, and 1080p with two-second groups of pictures; ProRes 422 1080p.
X264="-c:v libx264 -preset veryfast -pix_fmt yuv420p -profile:v high"
HD="-f lavfi -i testsrc2=size=1920x1080:rate=25"
[ -f "$WORK/h264.mp4" ] || $FF $V -t 8 $X264 -g 50 "$WORK/h264.mp4"
[ -f "$WORK/h264hd.mp4" ] || $FF $HD -t 8 $X264 -g 50 "$WORK/h264hd.mp4"
[ -f "$WORK/prores.mov" ] || $FF $HD -t 4 -c:v prores_ks -profile:v 2 -pix_fmt yuv422p10le "$WORK/prores.mov"
# HEVC Main 10 with HLG in BT.2020, as phones record it.
[ -f "$WORK/hlg.mov" ] || $FF $HD -t 4 -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -tag:v hvc1 \
  -x265-params log-level=error:keyint=50 -color_primaries bt2020 -color_trc arib-std-b67 -colorspace bt2020nc \
  "$WORK/hlg.mov"

# The runtime's decoder library first (the default), then the system's decoders first.
out=$("$SRC/cmake/wine-run" "$BUILD/bench/pins/pin_bench.exe" "$BUILD/standin/default/QuickTime.qts" \
  "$WORK/raw.mov" "$WORK/rle.mov" "$WORK/h264.mp4" "$WORK/h264hd.mp4" --seek "$WORK/h264hd.mp4" \
  --startup "$WORK/h264hd.mp4" --audio "$WORK/sound.mov" "$WORK/aac.mp4" --no-peer "$WORK/prores.mov" "$WORK/hlg.mov")
system=$(QUORVEX_DECODERS=system "$SRC/cmake/wine-run" "$BUILD/bench/pins/pin_bench.exe" \
  "$BUILD/standin/default/QuickTime.qts" --no-peer "$WORK/h264.mp4" "$WORK/h264hd.mp4" \
  --seek "$WORK/h264hd.mp4" --startup "$WORK/h264hd.mp4")

# Best of three runs of a peer command, in seconds.
best() {
  b=
  for i in 1 2 3; do
    t0=$(date +%s.%N)
    sh -c "$1" >/dev/null
    t1=$(date +%s.%N)
    b=$(awk -v a="$t0" -v c="$t1" -v b="$b" 'BEGIN { t = c - a; print (b == "" || t < b) ? t : b }')
  done
  echo "$b"
}
# The GStreamer peer's line: label, the field counted, its scale, the target.
gst() {
  ours=$(echo "$out" | grep "^graph .*/$1 " || true)
  peer=$(echo "$out" | grep "^gstreamer .*/$1 samples" || true)
  if [ -z "$peer" ]; then
    echo "  $2 against Wine's GStreamer parser: unavailable (gstreamer1.0-plugins-base/-good/-libav of this architecture)"
    return
  fi
  awk -v a="$(field "$ours" "$3")" -v s="$(field "$ours" seconds)" -v b="$(field "$peer" "$3")" \
    -v t="$(field "$peer" seconds)" -v k="$4" -v l="$2" -v r="${5:-1.0}" 'BEGIN {
    printf "%-34s ours %8.1f  gstreamer %8.1f  ratio %.2fx (target >= %s)\n", l, a / s / k, b / t / k, (a / s) / (b / t), r }'
  echo "  peer: File Source (Async) -> {F9D8D64E-A144-47DC-8EE0-F53498372C29} -> the same sink, in pin_bench"
}
field() {  # line key: the value after key
  echo "$1" | awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }'
}

echo "pins against their peers (ratio = ours / peer; higher is better, but the copy line)"
for m in raw rle; do
  line=$(echo "$out" | grep "^graph .*$m.mov")
  frames=$(field "$line" samples) secs=$(field "$line" seconds)
  peer_cmd="ffmpeg -v error -i $WORK/$m.mov -f rawvideo -pix_fmt bgr0 -y /dev/null"
  peer=$(best "$peer_cmd")
  awk -v f="$frames" -v s="$secs" -v p="$peer" -v m="$m" 'BEGIN {
    printf "frames/s 640x480 %-5s RGB32  ours %8.1f  peer %8.1f  ratio %.2fx (target >= 0.9)\n",
      "\x27" m "\x27", f / s, f / p, p / s }'
  echo "  peer: $peer_cmd"
  gst "$m.mov" "frames/s 640x480 '$m' RGB32" samples 1
  fill=$(echo "$out" | grep "^fill .*$m.mov")
  awk -v a="$(field "$fill" fill_ns)" -v d="$(field "$fill" draw_ns)" -v o="$(field "$fill" own_ns)" \
    -v c="$(field "$fill" copy_ns)" -v m="$m" 'BEGIN {
    if (o < 0) o = 0
    printf "per-frame work %-5s fill %.0f ns, drawing the decoded frame %.0f ns, own (median difference) %.0f ns; one copy %.0f ns; own / copy %.2fx (target <= 2.5)\n",
      "\x27" m "\x27", a, d, o, c, o / c }'
done
# H.264: against ffmpeg on its default threads and on one, and Wine's parser; through the
# runtime's decoder library, then through the system's decoders.
h264() {  # file label
  many="ffmpeg -v error -i $WORK/$1 -f rawvideo -pix_fmt bgr0 -y /dev/null"
  one="ffmpeg -v error -threads 1 -i $WORK/$1 -f rawvideo -pix_fmt bgr0 -y /dev/null"
  pn=$(best "$many") p1=$(best "$one")
  for decoders in library system; do
    if [ $decoders = library ]; then line=$(echo "$out" | grep "^graph .*/$1 "); else line=$(echo "$system" | grep "^graph .*/$1 "); fi
    frames=$(field "$line" samples) secs=$(field "$line" seconds)
    awk -v f="$frames" -v s="$secs" -v p="$pn" -v l="$2, $decoders" -v t="$([ $decoders = library ] && echo "target >= 1.0" || echo "reported")" 'BEGIN {
      printf "frames/s %-31s ours %8.1f  ffmpeg threads   %8.1f  ratio %.2fx (%s)\n", l, f / s, f / p, p / s, t }'
    awk -v f="$frames" -v s="$secs" -v p="$p1" -v l="$2, $decoders" 'BEGIN {
      printf "frames/s %-31s ours %8.1f  ffmpeg -threads 1 %8.1f  ratio %.2fx (reported)\n", l, f / s, f / p, p / s }'
  done
  echo "  peers: $many; $one"
  gst "$1" "frames/s $2, library" samples 1 1.5
}
h264 h264.mp4 "640x480 H.264 RGB32"
h264 h264hd.mp4 "1920x1080 H.264 RGB32"
line=$(echo "$out" | grep "^graph .*/prores.mov ")
peer_cmd="ffmpeg -v error -i $WORK/prores.mov -f rawvideo -pix_fmt bgr0 -y /dev/null"
peer=$(best "$peer_cmd")
awk -v f="$(field "$line" samples)" -v s="$(field "$line" seconds)" -v p="$peer" 'BEGIN {
  printf "frames/s %-31s ours %8.1f  ffmpeg threads   %8.1f  ratio %.2fx (target >= 1.0)\n", "1920x1080 ProRes 422 RGB32", f / s, f / p, p / s }'
echo "  peer: $peer_cmd"
# HLG tone-mapped to SDR: ffmpeg's chain of the same steps as the engine's (linear light, BT.2020
# to BT.709 primaries, Mobius, BT.709 transfer).
line=$(echo "$out" | grep "^graph .*/hlg.mov ")
peer_cmd="ffmpeg -v error -i $WORK/hlg.mov -vf zscale=agamma=0:tin=arib-std-b67:pin=2020:min=2020_ncl:rin=limited:t=linear:p=2020:npl=100,format=gbrpf32le,zscale=agamma=0:p=709,tonemap=tonemap=mobius:param=0.3:desat=0:peak=10,zscale=agamma=0:t=bt709:r=full,format=bgr0 -f rawvideo -y /dev/null"
peer=$(best "$peer_cmd")
awk -v f="$(field "$line" samples)" -v s="$(field "$line" seconds)" -v p="$peer" 'BEGIN {
  printf "frames/s %-31s ours %8.1f  ffmpeg threads   %8.1f  ratio %.2fx (target >= 0.8)\n", "1920x1080 HEVC Main 10 HLG RGB32", f / s, f / p, p / s }'
echo "  peer: $peer_cmd"
fill=$(echo "$out" | grep "^fill .*h264hd.mp4")
awk -v d="$(field "$fill" draw_ns)" -v c="$(field "$fill" copy_ns)" 'BEGIN {
  printf "colour conversion of a decoded 1920x1080 frame into the world %.0f ns; one copy %.0f ns; ratio %.2fx (target <= 2)\n", d, c, d / c }'
for decoders in library system; do
  if [ $decoders = library ]; then o=$out; else o=$system; fi
  seek=$(echo "$o" | grep "^seek ")
  echo "seek to the first frame delivered, 1080p H.264, 2 s groups, $decoders: median $(field "$seek" median_ms) ms, worst $(field "$seek" max_ms) ms (reported)"
  start=$(echo "$o" | grep "^startup ")
  echo "start-up, Run to the first frame, 1080p H.264, $decoders: median $(field "$start" median_ms) ms, worst $(field "$start" max_ms) ms (target <= 100 on the library)"
done

line=$(echo "$out" | grep "^graph .*sound.mov")
bytes=$(field "$line" bytes) secs=$(field "$line" seconds)
peer_cmd="ffmpeg -v error -i $WORK/sound.mov -f s16le -acodec pcm_s16le -y /dev/null"
peer=$(best "$peer_cmd")
awk -v b="$bytes" -v s="$secs" -v p="$peer" 'BEGIN {
  printf "audio MB/s 120 s stereo 16-bit     ours %8.1f  peer %8.1f  ratio %.2fx (target >= 0.9)\n",
    b / s / 1e6, b / p / 1e6, p / s }'
echo "  peer: $peer_cmd"
gst sound.mov "audio MB/s" bytes 1000000
# AAC: the runtime's decoder library behind the pin, against ffmpeg decoding to 16 bits.
line=$(echo "$out" | grep "^graph .*aac.mp4")
secs=$(field "$line" seconds)
peer_cmd="ffmpeg -v error -i $WORK/aac.mp4 -f s16le -y /dev/null"
peer=$(best "$peer_cmd")
awk -v s="$secs" -v p="$peer" 'BEGIN {
  printf "AAC s of sound/s 60 s stereo 44.1k  ours %8.1f  peer %8.1f  ratio %.2fx (target >= 0.9)\n",
    60 / s, 60 / p, p / s }'
echo "  peer: $peer_cmd"
echo "  ours: pin_bench (in-process graph: Run to end-of-stream, best of 3; ffmpeg's times include its start)"
