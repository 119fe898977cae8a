# Sourced by the media generators once OUT is set: FF, the ffmpeg command, and
#   make NAME ARGS...   ffmpeg writing OUT/NAME from ARGS, its command kept beside it as NAME.cmd
FF="ffmpeg -hide_banner -loglevel error -y -nostdin"

make() {
  name=$1; shift
  echo "$FF $*" > "$OUT/$name.cmd"
  # shellcheck disable=SC2086
  $FF "$@" "$OUT/$name"
}
