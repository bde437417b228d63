#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build's own, made on
# first use, so tests never touch the user's own.
# Usage: wine-run.sh PREFIX win32|win64 PROGRAM ARGS...
#        wine-run.sh PREFIX win32|win64 --server   (make the prefix and keep
#        its Wine server running until "wineserver -k")
export WINEPREFIX="$1" WINEARCH="$2"
shift 2
loader=/usr/lib/wine/wine$([ "$WINEARCH" = win64 ] && echo 64)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# One process makes the prefix; others started meanwhile wait for it.
# Wine's crash dialog is turned off: on a screen nobody looks at it would
# keep a crashed test waiting forever, where the debugger's backtrace on
# standard error tells what went wrong and the test fails at once.
(
  flock 9
  if [ ! -f "$WINEPREFIX/.made" ]; then
    "$loader" wineboot --init > /dev/null 2>&1 &&
      "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f > /dev/null 2>&1 &&
      /usr/lib/wine/wineserver --wait && touch "$WINEPREFIX/.made"
  fi
) 9> "$WINEPREFIX/.lock"
[ -f "$WINEPREFIX/.made" ] || { echo "wine-run.sh: cannot make the Wine prefix $WINEPREFIX" >&2; exit 125; }
# The server and Wine's own programs keep the output of whoever started
# them open for as long as they live, so they get none.
if [ "$1" = --server ]; then
  /usr/lib/wine/wineserver64 -p < /dev/null > /dev/null 2>&1 && exec "$loader" wineboot < /dev/null > /dev/null 2>&1
fi
exec "$loader" "$@"
