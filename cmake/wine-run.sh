#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build's own, made on
# first use, so tests never touch the user's own.
# Usage: wine-run.sh PREFIX win32|win64 PROGRAM ARGS...
export WINEPREFIX="$1" WINEARCH="$2"
shift 2
bits=$([ "$WINEARCH" = win32 ] && echo 32 || echo 64)
loader=/usr/lib/wine/wine$([ "$bits" = 64 ] && echo 64)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# One process makes the prefix; others started meanwhile wait for it.
(
  flock 9
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    "$loader" wineboot --init > /dev/null 2>&1 && /usr/lib/wine/wineserver$bits --wait && touch "$WINEPREFIX/.ready"
  fi
) 9> "$WINEPREFIX/.lock"
exec "$loader" "$@"
