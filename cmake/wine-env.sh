# Sourced by ./run and cmake/wine-run: the Wine of one build tree. Each tree has a private
# prefix of its own architecture and its own persistent wineserver.
#
# wine_tree ARCH DIR   the environment for the prefix DIR/wineprefix (ARCH: win32 or win64)
# wine_boot            creates the prefix once, starts its persistent server and Wine's services
# wine_kill            ends the prefix's server (and every Wine process of that prefix)

wine_tree() {
  export WINEARCH=$1 WINEPREFIX=$2/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # Debian's wine script always takes the 32-bit loader when there is one, and its wineboot
  # goes through that script: each tree calls its own loader by path. The 64-bit server serves
  # both kinds of prefix (and runs where no 32-bit program can).
  case $1 in
    win64) export WINELOADER=/usr/lib/wine/wine64 ;;
    *) export WINELOADER=/usr/lib/wine/wine ;;
  esac
  if [ -x /usr/lib/wine/wineserver64 ]; then
    export WINESERVER=/usr/lib/wine/wineserver64
  else
    export WINESERVER=/usr/lib/wine/wineserver32
  fi
}

wine_boot() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$WINELOADER" wineboot -i </dev/null >/dev/null 2>&1 || true
    "$WINESERVER" -w
  fi
  "$WINESERVER" -p 2>/dev/null || true  # one may run already
  # Wine's services now, detached from the caller's output, so that no test's pipes are held.
  "$WINELOADER" wineboot </dev/null >/dev/null 2>&1 || true
}

wine_kill() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
}
