#!/usr/bin/env bash
# Runs a part of "make test" behind the others and waits for it later: the
# Windows and page set-up (package downloads, then building the libraries
# for three targets, mostly one configure step at a time) goes on while the
# Linux suites keep the cores busy.
#   background.sh start DIR COMMAND...   starts COMMAND, its output in DIR/log
#   background.sh wait DIR               waits for it; fails as it failed, with its output
set -uo pipefail
verb=${1:?usage: background.sh start|wait DIR ...}
dir=${2:?usage: background.sh start|wait DIR ...}
case $verb in
  start)
    shift 2
    rm -rf "$dir"
    mkdir -p "$dir"
    # Its own session, so that it outlives the make that starts it; its status
    # is written last, when it ends.
    setsid bash -c '"$@" > "$0/log" 2>&1 < /dev/null; echo $? > "$0/status"' "$dir" "$@" &
    echo $! > "$dir/pid"
    ;;
  wait)
    [ -d "$dir" ] || { echo "background.sh: nothing was started in $dir" >&2; exit 1; }
    while [ ! -s "$dir/status" ]; do
      # Ended without a word (killed): failed.
      kill -0 "$(cat "$dir/pid")" 2> /dev/null || { sleep 1; [ -s "$dir/status" ] || echo 1 > "$dir/status"; }
      sleep 2
    done
    status=$(cat "$dir/status")
    if [ "$status" != 0 ]; then
      echo "background.sh: what ran in the background failed; its output:" >&2
      tail -n 80 "$dir/log" >&2
    fi
    exit "$status"
    ;;
  *) echo "background.sh: start or wait" >&2; exit 2 ;;
esac
