#!/usr/bin/env bash
# The Windows window as Wine draws it, for the README. Run on an X display
# (xvfb-run). Usage: windows-snapshot.sh BUILD_DIR OUTPUT.png
set -euo pipefail
build=$(realpath "$1")
out=$2
"$(dirname "$0")/wine-run.sh" "$build/wineprefix" win64 "$build/zelkpatcher.exe" &
program=$!
sleep 8  # the prefix, then the window
import -window root "$out.tmp.png"
kill "$program" 2> /dev/null || true
WINEPREFIX="$build/wineprefix" /usr/lib/wine/wineserver64 -k 2> /dev/null || true
# The root window is black around Wine's window.
convert "$out.tmp.png" -trim +repage "$out"
rm -f "$out.tmp.png"
echo "wrote $out"
