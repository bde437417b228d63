#!/bin/sh
# Runs one Windows build's tests under Wine on a virtual screen, so that
# nothing can keep them waiting: each test has a time limit, the suite has
# one, and whatever Wine leaves running is ended afterwards, pass or fail.
# One Wine server (and its desktop) serves the whole suite. Left to itself,
# the server is started by whichever test comes first when none runs, holds
# that test's output open (so ctest waits for it) until it ends again a few
# seconds after the last program, and keeps being stopped and started while
# two tests run side by side.
# Usage: wine-suite.sh BUILD_DIR win32|win64 JOBS TEST_SECONDS SUITE_SECONDS
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${ZELK_WINE_SCREEN:-}" ]; then
  sh "$here/wine-run.sh" "$PWD/wineprefix" "$2" --server || exit 125
  exec ctest -j"$3" --timeout "$4" --repeat after-timeout:2 --output-on-failure
fi
cd "$1" || exit 1
ZELK_WINE_SCREEN=1 timeout --kill-after=30 "$5" \
  xvfb-run -a -s "-screen 0 1024x768x24" sh "$here/wine-suite.sh" "$@"
status=$?
[ $status = 124 ] && echo "wine-suite.sh: the $2 tests did not end within $5 s" >&2
WINEPREFIX=$PWD/wineprefix /usr/lib/wine/wineserver -k 2> /dev/null
exit $status
