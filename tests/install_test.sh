#!/usr/bin/env bash
# Installs each package's part of the build into a staging folder and checks
# the tree: programs, manual pages that man renders without a warning,
# completion, desktop entry, icon and licence.
# Usage: install_test.sh BUILD_DIR WITH_WINDOW(0|1)
set -euo pipefail
build=$1
window=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expect_tree() {  # component, then the paths it must install and nothing else
  local component=$1; shift
  local root=$stage/$component
  cmake --install "$build" --component "$component" --prefix "$root/usr" > /dev/null
  local want have
  want=$(printf '%s\n' "$@" | sort)
  have=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
  [ "$want" = "$have" ] || fail "$component installs"$'\n'"$have"$'\n'"instead of"$'\n'"$want"
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 > /dev/null)
    [ -z "$warnings" ] || fail "man warns about $(basename "$page"): $warnings"
    LC_ALL=C.UTF-8 man -l "$page" 2> /dev/null | grep -q 'EXIT STATUS\|Exit status\|OPTIONS' ||
      fail "$(basename "$page") has no options or exit status"
  done
  cmp -s "$root/usr/share/doc/$component/copyright" "$(dirname "$0")/../data/debian/copyright" ||
    fail "$component has no licence"
}

expect_tree zelkpatch \
  usr/bin/zelkpatch \
  usr/share/man/man1/zelkpatch.1.gz \
  usr/share/bash-completion/completions/zelkpatch \
  usr/share/doc/zelkpatch/copyright \
  usr/share/doc/zelkpatch/changelog.gz
"$stage/zelkpatch/usr/bin/zelkpatch" --version | grep -q 'License: MIT' || fail "zelkpatch --version names no licence"
# The completion offers the commands, then the options of make, then the
# formats make writes, as the installed program lists them.
completion=$(PATH="$stage/zelkpatch/usr/bin:$PATH" bash -c "
  source /usr/share/bash-completion/bash_completion 2> /dev/null || true
  source '$stage/zelkpatch/usr/share/bash-completion/completions/zelkpatch'
  complete_line() {
    COMP_LINE=\$1; COMP_POINT=\${#COMP_LINE}; read -ra COMP_WORDS <<< \"\$COMP_LINE\"
    COMP_CWORD=\$((\${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _zelkpatch; echo \"\${COMPREPLY[*]}\"
  }
  complete_line 'zelkpatch ma'
  complete_line 'zelkpatch make --comment-f'
  complete_line 'zelkpatch make --format=b'
  complete_line 'zelkpatch make -f ap'")
[ "$completion" = $'make\n--comment-file=\nbps\naps aps-gba' ] || fail "completion offers: $completion"
# The manual lists every format from the program's own list.
manual=$(zcat "$stage/zelkpatch/usr/share/man/man1/zelkpatch.1.gz" | sed 's/\\-/-/g')
for key in $("$stage/zelkpatch/usr/bin/zelkpatch" --formats); do
  grep -qx -- "$key" <<< "$manual" || fail "the manual lists no format $key"
done

# The replaced file is flushed with fsync, owner, mode and attributes too:
# fdatasync would leave them to chance.
work=$stage/fsync
mkdir "$work"
printf 'ab' > "$work/a.rom"
printf 'old' > "$work/out.rom"
"$stage/zelkpatch/usr/bin/zelkpatch" make "$work/a.rom" "$work/a.rom" "$work/p.ppp" > /dev/null
if strace -f -y -e trace=fsync,fdatasync -o "$work/calls" "$stage/zelkpatch/usr/bin/zelkpatch" apply "$work/a.rom" \
    "$work/p.ppp" "$work/out.rom" > /dev/null 2>&1; then
  grep -q "^[0-9]* *fsync([0-9]*<$work/[^>]" "$work/calls" || fail "the new file is not flushed with fsync: $(cat "$work/calls")"
  ! grep -q fdatasync "$work/calls" || fail "fdatasync is used: $(cat "$work/calls")"
else
  echo "SKIPPED: the fsync check: strace cannot trace here"
fi

if [ "$window" = 1 ]; then
  expect_tree zelkpatcher \
    usr/bin/zelkpatcher \
    usr/share/man/man1/zelkpatcher.1.gz \
    usr/share/applications/zelkpatcher.desktop \
    usr/share/icons/hicolor/256x256/apps/zelkpatcher.png \
    usr/share/doc/zelkpatcher/copyright \
    usr/share/doc/zelkpatcher/changelog.gz
fi

[ "$failures" = 0 ] && echo "install tree: all checks passed"
exit "$failures"
