#!/bin/sh
# refused-library.sh SRC OUT OTHER_ARCH TESTS.exe MODULE.ax QUICKTIME.qts MEDIA_DIR: the runtime
# beside a decoder library it must refuse, in two folders of OUT (the other architecture's DLLs;
# a DLL of this architecture that is not the library, under avcodec's name), each running the
# pin tests that check that the system's decoders still play what they take.
set -eu
src=$1 out=$2 other=$3 tests=$4 module=$5 qts=$6 media=$7
here=$(dirname "$qts")
rm -rf "$out"
mkdir -p "$out/not-the-library"
cp "$qts" "$here/avutil-57.dll" "$out/not-the-library/"
cp "$here/libdav1d.dll" "$out/not-the-library/avcodec-59.dll"
folders="$out/not-the-library"
otherdir=$("$src/standin/codeclib/build.sh" --dir "$other")
if [ -f "$otherdir/bin/avcodec-59.dll" ]; then
  mkdir -p "$out/other-architecture"
  cp "$qts" "$otherdir/bin/"*.dll "$out/other-architecture/"
  folders="$folders $out/other-architecture"
else
  echo "no $other build of the decoder library in $otherdir: that case is not run"
fi
for f in $folders; do
  echo "runtime in $f"
  QUORVEX_TEST_LIBRARY=refused "$src/cmake/wine-run" "$tests" "$module" "$f/QuickTime.qts" "$media" \
    --gtest_filter='RefusedLibrary.*'
done
