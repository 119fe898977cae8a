#!/bin/sh
# The dump tests' media: the generated test movies, ffmpeg's own decoding of them (frames as
# bgr0, sound as little-endian PCM) as the reference, and the bad inputs. Each reference's
# command is written beside it as NAME.cmd. Idempotent through a stamp.
set -eu
VERSION=4
SRC=$(dirname "$0")
OUT=${1:?usage: make-media.sh OUTDIR}
. "$(dirname "$0")/../../media/lib.sh"
sh "$SRC/../../media/make-movies.sh" "$OUT"
STAMP="$OUT/.dump-media-v$VERSION"
[ -f "$STAMP" ] && exit 0

for m in raw24 rle24 av2snd; do
  make "$m.mov.bgr0" -i "$OUT/$m.mov" -map 0:v:0 -f rawvideo -pix_fmt bgr0
done
# 16-bit sources: ffmpeg widens 5-bit channels otherwise than QuickTime, so the reference
# stays at the source's depth and the test compares the top five bits.
for m in raw16 rle16; do
  make "$m.mov.rgb555le" -i "$OUT/$m.mov" -map 0:v:0 -f rawvideo -pix_fmt rgb555le
done
for m in twos sowt ulaw alaw ima4 six in24 raw8; do
  make "$m.mov.s16le" -i "$OUT/$m.mov" -map 0:a:0 -f s16le -acodec pcm_s16le
done
make in24.mov.s24le -i "$OUT/in24.mov" -map 0:a:0 -f s24le -acodec pcm_s24le
make raw8.mov.u8 -i "$OUT/raw8.mov" -map 0:a:0 -f u8 -acodec pcm_u8

# Real-world shapes: fragmented, cut short, turned by the track matrix, edited.
for m in frag fragmoof fragnotfdt whole rot90 rot180 rot270; do
  make "$m.mov.bgr0" -i "$OUT/$m.mov" -map 0:v:0 -f rawvideo -pix_fmt bgr0
done
for m in frag fragmoof fragnotfdt whole cutmdat cutsample edited; do
  make "$m.mov.s16le" -i "$OUT/$m.mov" -map 0:a:0 -f s16le -acodec pcm_s16le
done
make edited.mov.media.s16le -ignore_editlist 1 -i "$OUT/edited.mov" -map 0:a:0 -f s16le -acodec pcm_s16le
# How many of the whole movie's video samples lie inside each cut copy.
for m in cutmdat cutsample headeronly; do
  size=$(stat -c %s "$OUT/$m.mov")
  ffprobe -v error -select_streams v -show_entries packet=pos,size -of csv=p=0 "$OUT/whole.mov" |
    awk -F, -v size="$size" '$1 + $2 <= size { n++ } END { print n + 0 }' > "$OUT/$m.mov.inside"
done
# The edited movie's video: in milliseconds of movie time, the start of the sample that shows at
# 1 s through its edit (the video's is the file's first 'elst' and 'mdhd'; version 0 fields).
at() { grep -obUa "$1" "$OUT/edited.mov" | head -1 | cut -d: -f1; }
u32() { od -An -tu4 --endian=big -j "$1" -N4 "$OUT/edited.mov" | tr -d ' '; }
m0=$(u32 $(($(at elst) + 16)))
scale=$(u32 $(($(at mdhd) + 16)))
ffprobe -v error -ignore_editlist 1 -select_streams v -show_entries packet=pts,duration -of csv=p=0 "$OUT/edited.mov" |
  awk -F, -v m0="$m0" -v scale="$scale" 'BEGIN { m = m0 + scale }
    $1 <= m && m < $1 + $2 { t = ($1 - m0) * 1000; s = int(t / scale); if (s * scale < t) s++; print s }' \
  > "$OUT/edited.mov.at1"

# Bad inputs: a text file named like a movie, a movie with nothing but a text track, a file
# of an extension no filter is registered for, and a good movie under a Cyrillic name.
# Damaged H.264 + AAC movies: bytes overwritten inside the media data at three places, an 'avcC'
# whose NAL length size is 3 and one whose first parameter set runs past its box, an 'esds'
# overwritten, sample sizes far past the file.
$FF -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "sine=frequency=500:sample_rate=44100" -t 2 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 2 -g 12 -c:a aac "$OUT/hav.mp4"
size=$(stat -c %s "$OUT/hav.mp4")
poke() {  # name offset count byte: a copy of hav.mp4 with count bytes at offset set to byte
  cp "$OUT/hav.mp4" "$OUT/$1"
  head -c "$3" /dev/zero | tr '\000' "\\$4" | dd of="$OUT/$1" bs=1 seek="$2" conv=notrunc status=none
}
box() { grep -obUa "$1" "$OUT/hav.mp4" | head -1 | cut -d: -f1; }
for p in 30 55 80; do poke "dmg-mdat$p.mp4" $((size * p / 100)) 256 377; done
poke dmg-avcc3.mp4 $(($(box avcC) + 8)) 1 376
poke dmg-avccsps.mp4 $(($(box avcC) + 10)) 2 377
poke dmg-esds.mp4 $(($(box esds) + 12)) 24 377
poke dmg-stsz.mp4 $(($(box stsz) + 16)) 64 177

echo "not a movie at all" > "$OUT/notmovie.mov"
printf '1\n00:00:00,000 --> 00:00:00,500\nhello\n' > "$OUT/subtitles.srt"
$FF -i "$OUT/subtitles.srt" -c:s mov_text "$OUT/textonly.mov"
cp "$OUT/raw24.mov" "$OUT/raw24.unknownext"
cp "$OUT/raw24.mov" "$OUT/фильм.mov"
touch "$STAMP"
