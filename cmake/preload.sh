#!/usr/bin/env bash
# Writes what a library's configure found out about a target (its compile
# and link checks, as its CMakeCache.txt keeps them) as an initial cache
# (cmake -C), so that the next configure for that target asks none of those
# questions again. Paths, CMake's own entries and what the options set are
# left out: only the answers about the compiler and its libraries are kept.
# Usage: cmake/preload.sh BUILD/CMakeCache.txt > cmake/preload/PACKAGE-TARGET.cmake
set -euo pipefail
cache=${1:?usage: preload.sh CMakeCache.txt}
echo "# The answers of a configure for this target (cmake/preload.sh wrote them)."
grep -E '^[A-Za-z][A-Za-z0-9_]*:INTERNAL=' "$cache" |
  grep -Ev '^(CMAKE_|FIND_PACKAGE_MESSAGE_DETAILS_)|-ADVANCED:' |
  grep -v '/' |
  sed -E 's/^([^:]+):INTERNAL=(.*)$/set(\1 "\2" CACHE INTERNAL "")/' | LC_ALL=C sort
