#!/bin/sh
# on-xvfb.sh DEPTH WINE_RUN PREFIX_DIR PROGRAM [ARGS...]: runs PROGRAM through WINE_RUN with
# Wine on a private Xvfb display of DEPTH bits (Wine reports the display's depth as the
# screen's), and stops that server however the program ends. Xvfb picks a free display itself.
# The run has a Wine prefix of its own under PREFIX_DIR: a prefix's desktop takes the display
# of the process that started it, so one shared with headless tests would stay at 32 bits.
set -u
DEPTH=$1 WINE_RUN=$2 PREFIX_DIR=$3
shift 3
mkdir -p "$PREFIX_DIR" || exit 1
command -v Xvfb >/dev/null 2>&1 || { echo "Xvfb is missing (./run setup installs xvfb)" >&2; exit 1; }
fifo=$(mktemp -u)
mkfifo "$fifo" || exit 1
Xvfb -displayfd 3 -screen 0 "640x480x$DEPTH" -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
# The prefix's wineserver, which WINE_RUN leaves running, goes with the display.
trap 'WINEPREFIX="$PREFIX_DIR/wineprefix" wineserver -k 2>/dev/null; kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$fifo"' EXIT
trap 'exit 1' INT TERM
# The display number arrives once the server listens; give up after 20 s.
display=$(timeout 20 head -n 1 "$fifo")
if [ -z "$display" ]; then
  echo "Xvfb did not start" >&2
  exit 1
fi
DISPLAY=":$display" WINE_KEEP_DISPLAY=1 WINE_BUILD_DIR="$PREFIX_DIR" "$WINE_RUN" "$@"
