#!/usr/bin/env bash
# The runtime's decoder library: FFmpeg's libavcodec (decoders only, LGPL) and dav1d, built as
# Windows DLLs from Debian's own source packages, into a cache outside the tree.
#
#   build.sh ARCH          build for ARCH (win32 or win64) unless the cache has it; print its folder
#   build.sh --dir ARCH    print the folder without building
#
# The cache folder (QUORVEX_CACHE, else $XDG_CACHE_HOME/quorvex, else ~/.cache/quorvex) holds
# codeclib/KEY/{bin,include,lib,licences}, KEY naming the ffmpeg and dav1d versions, the
# architecture and a hash of everything that shapes the result (this script, which carries every
# flag, and the versions of the tools and of the static zlib). A folder appears there only
# complete: builds happen beside it and are renamed into place at the end.
set -euo pipefail

say() { printf 'codeclib: %s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

usage() { sed -n '5,6p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

mode=build
case "${1:-}" in
  --dir) mode=dir; shift ;;
  -h|--help) usage ;;
esac
[ $# -eq 1 ] || usage
arch=$1
case $arch in
  win32) cpu=i686 debcpu=i686 ffarch=x86 mesoncpu=x86 ;;
  win64) cpu=x86_64 debcpu=x86-64 ffarch=x86_64 mesoncpu=x86_64 ;;
  *) usage ;;
esac
triplet=$cpu-w64-mingw32
# The win32 thread model: its compilers link no libwinpthread-1.dll into what they build (the
# posix ones do, through avutil), and FFmpeg (w32threads) and dav1d bring their own Win32
# threading, so nothing of winpthread is needed.
cc=$triplet-gcc-win32

script=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
root=${QUORVEX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex}/codeclib

# Decoders by their FFmpeg 5.1 names. AV1 is dav1d's (libavcodec's own needs hardware); the
# PCM family is left out: the runtime decodes it itself.
video_decoders="h264 hevc mpeg4 h263 libdav1d vp9 prores mjpeg mjpegb png dvvideo cinepak svq1
  svq3 smc rpza eightbps qtrle rawvideo"
audio_decoders="aac aac_latm mp3float mp3 mp2float mp2 mp1float amrnb amrwb alac ac3 eac3 opus
  flac qdm2 mace3 mace6 gsm gsm_ms dca als adpcm_ima_qt"
decoders=$(echo $video_decoders $audio_decoders)

# What may be imported: Windows' own DLLs and the library's DLLs themselves.
system_dlls="kernel32.dll msvcrt.dll user32.dll advapi32.dll bcrypt.dll ole32.dll shell32.dll"

installed_version() { # package -> its version, or nothing
  dpkg-query -W -f='${db:Status-Status} ${Version}\n' "$1" 2>/dev/null | sed -n 's/^installed //p'
}
installed_source_version() { # package -> the version of the source package it was built from
  dpkg-query -W -f='${db:Status-Status} ${source:Version}\n' "$1" 2>/dev/null | sed -n 's/^installed //p'
}
need_version() { # package -> its version; dies when it is not installed
  local v; v=$(installed_version "$1")
  [ -n "$v" ] || die "package $1 is not installed: run ./run setup"
  printf '%s' "$v"
}

# The oracle of the tests is the system's ffmpeg: the library is built from that same source
# version. dav1d follows the system's libdav1d-dev, which the native engine links.
ffmpeg_version=$(installed_source_version ffmpeg)
[ -n "$ffmpeg_version" ] || die "package ffmpeg is not installed: run ./run setup"
dav1d_version=$(installed_source_version libdav1d-dev)
[ -n "$dav1d_version" ] || die "package libdav1d-dev is not installed: run ./run setup"

tools="gcc-mingw-w64-$debcpu-win32 binutils-mingw-w64-$debcpu mingw-w64-$debcpu-dev nasm meson
  ninja-build libz-mingw-w64-dev"
fingerprint() {
  sha256sum "$script" | cut -d' ' -f1
  echo "ffmpeg $ffmpeg_version dav1d $dav1d_version arch $arch"
  local p
  for p in $tools; do echo "$p $(need_version "$p")"; done
}
hash=$(fingerprint | sha256sum | cut -c1-12)
key=ffmpeg-${ffmpeg_version#*:}_dav1d-${dav1d_version#*:}_${arch}_$hash
dest=$root/$key

if [ $mode = dir ]; then
  printf '%s\n' "$dest"
  exit 0
fi
if [ -f "$dest/BUILDINFO" ]; then
  say "$arch: up to date in $dest"
  printf '%s\n' "$dest"
  exit 0
fi

mkdir -p "$root"
# One build of a key at a time; a second caller waits and then finds it done.
exec 8>"$root/$key.lock"
flock 8
if [ -f "$dest/BUILDINFO" ]; then
  say "$arch: built meanwhile in $dest"
  printf '%s\n' "$dest"
  exit 0
fi

# ---- Sources: Debian's source packages, fetched once for every architecture ----------------
# All of apt's state lives in the cache: the system's APT configuration is only read.
aptdir=$root/apt
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$aptdir/sources.list.d"
  -o Dir::State::Lists="$aptdir/lists" -o Dir::Cache="$aptdir/cache"
  -o Dir::State::status=/var/lib/dpkg/status -o Acquire::Languages=none
  -o APT::Sandbox::User="$(id -un)" -q)

# deb-src entries for the system's own Debian suites (CODENAME, CODENAME-updates,
# CODENAME-security ...), from its deb822 and one-line source lists.
source_entries() {
  local codename f
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || die "no VERSION_CODENAME in /etc/os-release"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v code="$codename" '
      function flush(   n, a, i, s) {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no" && uris != "") {
          n = split(suites, a, /[ \t]+/)
          s = ""
          for (i = 1; i <= n; i++)
            if (a[i] == code || index(a[i], code "-") == 1) s = s " " a[i]
          if (s != "") {
            printf "Types: deb-src\nURIs: %s\nSuites:%s\nComponents: %s\n", uris, s, comps
            if (signed != "") printf "Signed-By: %s\n", signed
            printf "\n"
          }
        }
        types = uris = suites = comps = signed = enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[A-Za-z-]+:/ {
        k = tolower(substr($0, 1, index($0, ":") - 1)); v = substr($0, index($0, ":") + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", v)
        if (k == "types") types = v; else if (k == "uris") uris = v
        else if (k == "suites") suites = v; else if (k == "components") comps = v
        else if (k == "signed-by") signed = v; else if (k == "enabled") enabled = tolower(v)
      }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    # deb [options] URI SUITE COMPONENTS...
    awk -v code="$codename" '
      $1 == "deb" {
        i = 2
        if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == code || index($(i + 1), code "-") == 1) { $1 = "deb-src"; print }
      }' "$f"
  done
}

# fetch_source PACKAGE VERSION -> prints the folder of the unpacked source package, fetched once.
fetch_source() {
  local pkg=$1 version=$2 dir tmp dsc got
  dir=$root/src/${pkg}_${version#*:}
  if [ -f "$dir/.complete" ]; then
    printf '%s' "$dir"
    return
  fi
  mkdir -p "$aptdir/sources.list.d" "$aptdir/lists/partial" "$aptdir/cache/archives/partial" \
    "$root/src"
  source_entries >"$aptdir/sources.list.d/system-deb-src.sources"
  grep -q . "$aptdir/sources.list.d/system-deb-src.sources" \
    || die "the system's APT sources name no Debian suite of its release"
  if [ ! -f "$aptdir/updated" ] || ! apt-get "${apt_opts[@]}" source --print-uris \
      "$pkg=$version" >/dev/null 2>&1; then
    say "reading the source package lists (apt-get update, private state in $aptdir)"
    apt-get "${apt_opts[@]}" update >&2 || die "apt-get update failed"
    touch "$aptdir/updated"
  fi
  tmp=$(mktemp -d "$root/src/$pkg.partial.XXXXXX")
  say "fetching Debian's source package $pkg $version"
  (cd "$tmp" && apt-get "${apt_opts[@]}" source "$pkg=$version" >&2) \
    || die "apt-get source $pkg=$version failed (is that version still in the archive?)"
  dsc=$(ls "$tmp"/*.dsc)
  got=$(sed -n 's/^Version: //p' "$dsc")
  # The library must be the same decoding code as the system's ffmpeg (the tests' oracle).
  [ "$got" = "$version" ] || die "downloaded $pkg $got, but the system has $version"
  local unpacked
  unpacked=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d)
  [ "$(echo "$unpacked" | wc -l)" = 1 ] || die "apt-get source $pkg left no single source folder"
  mv "$unpacked" "$tmp/tree"
  mkdir "$tmp/package"
  mv "$tmp"/*.dsc "$tmp"/*.tar.* "$tmp/package/"
  touch "$tmp/.complete"
  rm -rf "$dir"
  mv "$tmp" "$dir"
  printf '%s' "$dir"
}

exec 9>"$root/src.lock"
flock 9
ffmpeg_src=$(fetch_source ffmpeg "$ffmpeg_version")/tree
dav1d_src=$(fetch_source dav1d "$dav1d_version")/tree
flock -u 9

# ---- Build ---------------------------------------------------------------------------------
for p in $tools; do need_version "$p" >/dev/null; done
command -v "$cc" >/dev/null || die "$cc not found: run ./run setup"

rm -rf "$root/$key".partial.*  # left by a build that was stopped
work=$(mktemp -d "$root/$key.partial.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/stage
log=$work/build.log
: >"$log"
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2

run_logged() { # what, command... : the command's output goes to the log, shown on failure
  say "$arch: $1"
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    cp "$log" "$root/$key.failed.log"
    die "$arch: failed; whole log: $root/$key.failed.log"
  fi
}

# dav1d, a DLL of its own that avcodec imports.
cat >"$work/cross.txt" <<EOF
[binaries]
c = '$cc'
ar = '$triplet-ar'
strip = '$triplet-strip'
windres = '$triplet-windres'
nasm = 'nasm'

[host_machine]
system = 'windows'
cpu_family = '$mesoncpu'
cpu = '$cpu'
endian = 'little'
EOF
dav1d_setup=(meson setup "$work/dav1d" "$dav1d_src" --cross-file "$work/cross.txt"
  --prefix "$stage" --libdir lib --buildtype release --default-library shared
  -Dc_link_args=-static-libgcc -Denable_tools=false -Denable_tests=false -Denable_docs=false)
run_logged "dav1d ${dav1d_version}: meson setup" "${dav1d_setup[@]}"
run_logged "dav1d: build" nice -n 10 ninja -C "$work/dav1d" -j "$jobs"
run_logged "dav1d: install" ninja -C "$work/dav1d" install

# zlib (for png) goes into avcodec itself: a folder that holds only the static library, searched
# first, so that -lz cannot find the import library beside it.
mkdir "$work/zlib"
ln -s "/usr/$triplet/lib/libz.a" "$work/zlib/libz.a"

wanted_names=$("$ffmpeg_src/configure" --list-decoders | tr -s ' \t' '\n\n' | grep .)
for d in $decoders; do
  grep -qx "$d" <<<"$wanted_names" || die "FFmpeg $ffmpeg_version has no decoder named $d"
done

ffmpeg_configure=(--prefix="$stage" --target-os=mingw32 --arch=$ffarch --enable-cross-compile
  --cross-prefix=$triplet- --cc="$cc" --pkg-config=pkg-config
  --enable-shared --disable-static --disable-debug
  --disable-autodetect --enable-w32threads --disable-network
  --disable-programs --disable-doc --disable-avdevice --disable-avformat --disable-avfilter
  --disable-swscale --disable-postproc
  --disable-everything --enable-libdav1d --enable-zlib
  --extra-ldflags="-static-libgcc -L$work/zlib")
for d in $decoders; do ffmpeg_configure+=(--enable-decoder=$d); done
mkdir "$work/ffmpeg"
(
  cd "$work/ffmpeg"
  export PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig
  unset PKG_CONFIG_PATH
  run_logged "ffmpeg ${ffmpeg_version}: configure" "$ffmpeg_src/configure" "${ffmpeg_configure[@]}"
)
# configure drops what it cannot build (a missing dependency) without failing: check.
components=$work/ffmpeg/config_components.h
for d in $decoders; do
  grep -qx "#define CONFIG_${d^^}_DECODER 1" "$components" \
    || die "configure left decoder $d out (see $work/ffmpeg/ffbuild/config.log)"
done
licence=$(sed -n 's/^#define FFMPEG_LICENSE "\(.*\)"$/\1/p' "$work/ffmpeg/config.h")
[ "$licence" = "LGPL version 2.1 or later" ] || die "FFmpeg configured as '$licence'"
run_logged "ffmpeg: build" nice -n 10 make -C "$work/ffmpeg" -j "$jobs"
run_logged "ffmpeg: install" make -C "$work/ffmpeg" install

# ---- Check and finish the stage ------------------------------------------------------------
shopt -s nullglob
dlls=("$stage"/bin/*.dll)
[ ${#dlls[@]} -gt 0 ] || die "no DLL was installed"
for f in "${dlls[@]}"; do
  $triplet-strip --strip-unneeded "$f"
done
own=$(for f in "${dlls[@]}"; do basename "$f"; done | tr 'A-Z' 'a-z')
for f in "${dlls[@]}"; do
  imports=$($triplet-objdump -p "$f" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  for i in $imports; do
    case " $system_dlls $(echo $own) " in
      *" $i "*) ;;
      *) die "$(basename "$f") imports $i: only Windows' own DLLs and the library's may be imported" ;;
    esac
  done
  if $triplet-objdump -h "$f" | grep -q ' \.debug'; then
    die "$(basename "$f") still has debugging sections"
  fi
  say "$arch: $(basename "$f") $(stat -c %s "$f") bytes, imports: $(echo $imports)"
done

rm -rf "$stage/lib/pkgconfig" "$stage/share"  # build paths; nothing the runtime uses
mv "$stage"/bin/*.lib "$stage/lib/"  # dlltool's import libraries: bin/ holds the DLLs only
mkdir "$stage/licences"
cp "$ffmpeg_src/COPYING.LGPLv2.1" "$stage/licences/FFmpeg-COPYING.LGPLv2.1"
cp "$ffmpeg_src/LICENSE.md" "$stage/licences/FFmpeg-LICENSE.md"
cp "$ffmpeg_src/debian/copyright" "$stage/licences/FFmpeg-debian-copyright"
cp "$dav1d_src/COPYING" "$stage/licences/dav1d-COPYING"
cp "$dav1d_src/debian/copyright" "$stage/licences/dav1d-debian-copyright"
cp /usr/share/doc/libz-mingw-w64-dev/copyright "$stage/licences/zlib-debian-copyright"
cp "$log" "$stage/build.log"
{
  echo "arch: $arch"
  echo "ffmpeg: $ffmpeg_version (Debian source package ffmpeg)"
  echo "dav1d: $dav1d_version (Debian source package dav1d)"
  echo "zlib: $(need_version libz-mingw-w64-dev) (libz-mingw-w64-dev, linked into avcodec)"
  echo "compiler: $($cc --version | head -n 1)"
  echo "licence: FFmpeg $licence; dav1d BSD-2-Clause; zlib Zlib"
  echo "dav1d setup: ${dav1d_setup[*]}"
  echo "ffmpeg configure: ${ffmpeg_configure[*]}"
  for kind in DECODER PARSER BSF; do
    echo "${kind,,}s: $(sed -n "s/^#define CONFIG_\(.*\)_$kind 1\$/\1/p" "$components" | tr 'A-Z' 'a-z' | xargs)"
  done
  echo "fingerprint:"
  fingerprint | sed 's/^/  /'
} | sed "s|$work|BUILD|g" >"$stage/BUILDINFO"
mv "$stage" "$dest"
say "$arch: done in $((SECONDS / 60)) min $((SECONDS % 60)) s: $dest"
printf '%s\n' "$dest"
