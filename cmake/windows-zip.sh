#!/usr/bin/env bash
# Packs one Windows build: the programs, the README and the licence as
# Windows text (CR LF). Usage: windows-zip.sh BUILD_DIR win32|win64 DIST_DIR
set -euo pipefail
build=$1 name=$2 dist=$3
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(ZelkPatcher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
folder=$stage/zelkpatcher-$version-$name
mkdir -p "$folder" "$dist"
for program in zelkpatch zelkpatcher; do
  [ -f "$build/$program.exe" ] && cp "$build/$program.exe" "$folder/"
done
[ -f "$folder/zelkpatch.exe" ] || { echo "no zelkpatch.exe in $build" >&2; exit 1; }
sed 's/\r*$/\r/' README.md > "$folder/README.txt"
sed 's/\r*$/\r/' LICENSE > "$folder/LICENSE.txt"
zip="$(realpath "$dist")/zelkpatcher-$version-$name.zip"
rm -f "$zip"
(cd "$stage" && zip -qrX "$zip" "zelkpatcher-$version-$name")
echo "wrote $zip"
