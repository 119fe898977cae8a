#!/bin/sh
# run-bench.sh BUILD_DIR: the pins' benchmark. Makes 640x480 'raw ' and 'rle ' movies, a
# sound movie and an AAC one with ffmpeg, runs pin_bench (the filter in Wine's graph, its fill step, and Wine's
# GStreamer parser in the same host when its 32-bit plugins are installed) and ffmpeg decoding
# the same files, in the same run, and prints each figure as a ratio to its peer.
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

out=$("$SRC/cmake/wine-run" "$BUILD/bench/pins/pin_bench.exe" "$BUILD/standin/default/QuickTime.qts" \
  "$WORK/raw.mov" "$WORK/rle.mov" --audio "$WORK/sound.mov" "$WORK/aac.mp4")

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
# The GStreamer peer's line: label, the field counted, its scale.
gst() {
  ours=$(echo "$out" | grep "^graph .*/$1 " || true)
  peer=$(echo "$out" | grep "^gstreamer .*/$1 samples" || true)
  if [ -z "$peer" ]; then
    echo "  $2 against Wine's GStreamer parser: unavailable (32-bit gstreamer1.0-plugins-base/-good/-libav)"
    return
  fi
  awk -v a="$(field "$ours" "$3")" -v s="$(field "$ours" seconds)" -v b="$(field "$peer" "$3")" \
    -v t="$(field "$peer" seconds)" -v k="$4" -v l="$2" 'BEGIN {
    printf "%-34s ours %8.1f  gstreamer %8.1f  ratio %.2fx (target >= 1.0)\n", l, a / s / k, b / t / k, (a / s) / (b / t) }'
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
line=$(echo "$out" | grep "^graph .*sound.mov")
bytes=$(field "$line" bytes) secs=$(field "$line" seconds)
peer_cmd="ffmpeg -v error -i $WORK/sound.mov -f s16le -acodec pcm_s16le -y /dev/null"
peer=$(best "$peer_cmd")
awk -v b="$bytes" -v s="$secs" -v p="$peer" 'BEGIN {
  printf "audio MB/s 120 s stereo 16-bit     ours %8.1f  peer %8.1f  ratio %.2fx (target >= 0.9)\n",
    b / s / 1e6, b / p / 1e6, p / s }'
echo "  peer: $peer_cmd"
gst sound.mov "audio MB/s" bytes 1000000
# AAC: the operating system's decoder behind the pin, against ffmpeg decoding to 16 bits.
line=$(echo "$out" | grep "^graph .*aac.mp4")
secs=$(field "$line" seconds)
peer_cmd="ffmpeg -v error -i $WORK/aac.mp4 -f s16le -y /dev/null"
peer=$(best "$peer_cmd")
awk -v s="$secs" -v p="$peer" 'BEGIN {
  printf "AAC s of sound/s 60 s stereo 44.1k  ours %8.1f  peer %8.1f  ratio %.2fx (target >= 0.9)\n",
    60 / s, 60 / p, p / s }'
echo "  peer: $peer_cmd"
echo "  ours: pin_bench (in-process graph: Run to end-of-stream, best of 3; ffmpeg's times include its start)"
