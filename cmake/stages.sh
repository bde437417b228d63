#!/usr/bin/env bash
# Keeps the time each stage of "make test" took, so that a slow run says
# where its time went: set-up, each suite, each library built (a library
# taken from the cache costs nothing and is not listed).
#   stages.sh start LOG                 empties LOG and notes the time
#   stages.sh run LOG NAME COMMAND...   runs COMMAND, then adds "NAME TIME" to LOG
#   stages.sh add LOG NAME SECONDS      adds a line measured elsewhere
#   stages.sh report LOG                prints the lines and the whole so far
# A stage that fails is listed as failed, and its status is passed on.
set -uo pipefail
verb=${1:?usage: stages.sh run|add|report LOG ...}
log=${2:?usage: stages.sh run|add|report LOG ...}

line() { # NAME SECONDS [NOTE]
  printf '%-44s %3d min %02d s%s\n' "$1" $(($2 / 60)) $(($2 % 60)) "${3:+  $3}" >> "$log"
}

case $verb in
  start)
    mkdir -p "$(dirname "$log")"
    date +%s > "$log.start"
    : > "$log"
    ;;
  run)
    name=${3:?usage: stages.sh run LOG NAME COMMAND...}
    shift 3
    start=$(date +%s)
    "$@"
    status=$?
    line "$name" $(($(date +%s) - start)) "$([ $status = 0 ] || echo "(failed)")"
    exit $status
    ;;
  add)
    line "${3:?}" "${4:?}" "${5:-}"
    ;;
  report)
    [ -s "$log" ] || exit 0
    echo "Where the time went (an indented line ran behind or beside the others, in the order they ended):"
    sed 's/^/  /' "$log"
    if [ -f "$log.start" ]; then
      whole=$(($(date +%s) - $(cat "$log.start")))
      printf '  %-44s %3d min %02d s\n' "the whole run" $((whole / 60)) $((whole % 60))
    fi
    ;;
  *) echo "stages.sh: run, add or report" >&2; exit 2 ;;
esac
