#!/bin/sh
# Truncated and corrupted copies of generated movies, for replay by the fuzz target.
# usage: make-bad-corpus.sh MEDIADIR OUTDIR
set -eu
MEDIA=$1
OUT=$2
rm -rf "$OUT"
mkdir -p "$OUT"
for name in rle16.mov ima4.mov av2snd.mov in24.mov aac.m4a twovideo.mov; do
  f="$MEDIA/$name"
  size=$(wc -c < "$f")
  for part in 1 2 3 5 8 13 21 34 55 89 97 99; do
    head -c $((size * part / 100)) "$f" > "$OUT/cut$part-$name"
  done
  # The movie header sits at the end of ffmpeg's files: overwrite bytes near it.
  for back in 16 64 200 400 700; do
    [ "$back" -lt "$size" ] || continue
    cp "$f" "$OUT/bad$back-$name"
    printf '\377\377\377\377\000\000\000\001' | dd of="$OUT/bad$back-$name" bs=1 seek=$((size - back)) conv=notrunc 2>/dev/null
  done
done
# Fragmented movies: the same cuts, and bytes overwritten inside the first fragments' headers
# (track fragment header, decode time, sample runs).
for name in frag.mov fragmoof.mov; do
  f="$MEDIA/$name"
  size=$(wc -c < "$f")
  for part in 1 3 21 55 97; do
    head -c $((size * part / 100)) "$f" > "$OUT/cut$part-$name"
  done
  for moof in $(grep -obUa moof "$f" | head -3 | cut -d: -f1); do
    for at in 12 28 44 60 76 100 140; do
      cp "$f" "$OUT/bad$moof-$at-$name"
      printf '\377\377\377\377\000\000\000\001' | dd of="$OUT/bad$moof-$at-$name" bs=1 seek=$((moof + at)) conv=notrunc 2>/dev/null
    done
  done
done
# The fields after the type of the first of some atoms (version and flags, counts, the first
# entries), which the overwrites above seldom reach.
for spec in rle16.mov:stss rle16.mov:stsz ima4.mov:stsd ima4.mov:stts frag.mov:tfhd frag.mov:trun; do
  name=${spec%%:*}
  atom=${spec#*:}
  f="$MEDIA/$name"
  at=$(grep -obUa "$atom" "$f" | head -1 | cut -d: -f1)
  [ -n "$at" ] || continue
  for field in 4 8 12; do
    cp "$f" "$OUT/$atom$field-$name"
    printf '\377\377\377\377\000\000\000\001' | dd of="$OUT/$atom$field-$name" bs=1 seek=$((at + field)) conv=notrunc 2>/dev/null
  done
done
# Not a movie at all, and an AMR header with junk frames.
printf 'hello' > "$OUT/tiny"
printf '#!AMR\n\074\377\377\377\377\377\377\377\377\377\377\377\377\044' > "$OUT/amr"
