#!/bin/sh
# Makes the movies of the sound-format tests into OUTDIR (never committed), each movie's command
# beside it as NAME.cmd: what ffmpeg encodes, and for the formats it has no encoder for, streams
# built here of valid frame headers over noise (any payload decodes, deterministically), which
# ffmpeg then puts into movies by stream copy. Idempotent through a stamp of the version.
set -eu
VERSION=3
OUT=${1:?usage: make-sound-movies.sh OUTDIR}
. "$(dirname "$0")/lib.sh"
mkdir -p "$OUT"
STAMP="$OUT/.made-sound-v$VERSION"
[ -f "$STAMP" ] && exit 0

tone() {  # rate seconds
  echo "-f lavfi -i sine=frequency=440:sample_rate=$1:duration=$2"
}
# A tone of its own in each of 8 channels; the first N as a layout's channels.
tones() {  # layout channels rate
  f="0.1*sin(2*PI*300*t)|0.2*sin(2*PI*500*t)|0.3*sin(2*PI*700*t)|0.4*sin(2*PI*90*t)"
  f="$f|0.5*sin(2*PI*1100*t)|0.6*sin(2*PI*1300*t)|0.3*sin(2*PI*1700*t)|0.2*sin(2*PI*1900*t)"
  echo "-f lavfi -i aevalsrc=$(echo "$f" | cut -d'|' -f1-"$2"):s=$3:d=0.3:c=$1"
}

# Apple Lossless of 16 and 24 bits; AC-3 and E-AC-3 5.1 ('dac3', 'dec3'); Opus stereo (family 0)
# and 5.1 (family 1) and FLAC in .mp4 ('dOps', 'dfLa').
make alac-16.m4a $(tone 44100 0.3) -ac 2 -c:a alac -sample_fmt s16p
make alac-24.mov $(tone 48000 0.3) -ac 2 -c:a alac -sample_fmt s32p
make ac3-51.mp4 $(tones 5.1 6 48000) -c:a ac3 -b:a 384k
# The same AC-3 without an edit list: ffmpeg's track header of the one above lasts 1 ms longer
# than its edit (the packets' end), which players count differently.
make ac3-51-whole.mp4 -i "$OUT/ac3-51.mp4" -c copy -use_editlist 0
make eac3-51.mp4 $(tones 5.1 6 48000) -c:a eac3 -b:a 384k
make opus-stereo.mp4 $(tone 48000 0.3) -ac 2 -c:a libopus -b:a 96k
make opus-51.mp4 $(tones 5.1 6 48000) -c:a libopus -mapping_family 1 -b:a 256k
make flac.mp4 $(tone 44100 0.3) -ac 2 -c:a flac -strict -2
# Layouts up to 7.1, a tone per channel.
make alac-71.m4a $(tones 7.1\(wide\) 8 48000) -c:a alac -sample_fmt s16p
make flac-71.mp4 $(tones 7.1 8 48000) -c:a flac -strict -2
make opus-71.mp4 $(tones 7.1 8 48000) -c:a libopus -mapping_family 1 -b:a 384k
# MPEG audio: layer II in a .mov, and MPEG-2 layer III at 24 kHz.
make mp2.mov $(tone 48000 0.5) -ac 2 -c:a mp2 -b:a 192k
make mp3-24.mov $(tone 24000 0.5) -ac 1 -c:a libmp3lame -b:a 32k
# AAC-LC mono at 24 kHz as ADTS: the core of the tests' HE-AAC movies (ffmpeg has no SBR encoder).
make aac-mono-24.adts $(tone 24000 0.5) -ac 1 -c:a aac -b:a 32k -f adts
# GSM 06.10 ('agsm').
make gsm.mov $(tone 8000 0.5) -c:a libgsm

# Pseudo-random bytes from ffmpeg's seeded noise, for payloads.
noise() {  # bytes seed
  $FF -f lavfi -i "anoisesrc=seed=$2:amplitude=1:sample_rate=8000:duration=$(( $1 / 8000 + 1 ))" -f u8 - 2>/dev/null |
    head -c "$1"
}
be32() { printf "\\$(printf %o $(($1 >> 24 & 255)))\\$(printf %o $(($1 >> 16 & 255)))\\$(printf %o $(($1 >> 8 & 255)))\\$(printf %o $(($1 & 255)))"; }
be16() { printf "\\$(printf %o $(($1 >> 8 & 255)))\\$(printf %o $(($1 & 255)))"; }
# AMR: 50 frames, each its table-of-contents byte (12.2 kbit/s for AMR-NB, 23.85 kbit/s for
# AMR-WB) and noise for its speech bits.
amr() {  # name magic toc payload-bytes seed
  noise $((50 * $4)) "$5" > "$OUT/$1.noise"
  { printf "$2"; i=0; while [ $i -lt 50 ]; do
      printf "$3"; tail -c +$((i * $4 + 1)) "$OUT/$1.noise" | head -c "$4"; i=$((i + 1)); done; } > "$OUT/$1"
  rm -f "$OUT/$1.noise"
  echo "AMR frames over noise (make-sound-movies.sh)" > "$OUT/$1.cmd"
}
amr amr-nb.amr '#!AMR\n' '\074' 31 18
amr amr-wb.awb '#!AMR-WB\n' '\104' 60 19
make amr-nb.mov -i "$OUT/amr-nb.amr" -c copy
make amr-wb.3gp -i "$OUT/amr-wb.awb" -c copy
# MACE: an AIFF-C of noise at 22050 Hz (MACE 3:1 stereo, 6:1 mono), copied into a .mov.
aifc() {  # name type channels bytes frames seed
  noise "$4" "$6" > "$OUT/$1.noise"
  {
    printf FORM; be32 $((4 + 12 + 8 + 24 + 8 + 8 + $4)); printf AIFC
    printf FVER; be32 4; be32 2726318400
    printf COMM; be32 24; be16 "$3"; be32 "$5"; be16 8
    printf '\100\015\254\104\000\000\000\000\000\000'; printf "$2"; be16 0
    printf SSND; be32 $((8 + $4)); be32 0; be32 0; cat "$OUT/$1.noise"
  } > "$OUT/$1.aifc"
  rm -f "$OUT/$1.noise"
  make "$1" -i "$OUT/$1.aifc" -c copy
}
aifc mace3.mov MAC3 2 6000 9000 20
aifc mace6.mov MAC6 1 3000 18000 21

touch "$STAMP"
