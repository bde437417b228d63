#!/usr/bin/env bash
# zelkpatch.exe as a user runs it: file names in Cyrillic through the command
# line, the comment's bytes under a Russian Windows (ANSI code page 1251,
# the same bytes as on Linux) and a Western one (1252: '?' for Cyrillic),
# UTF-8 on redirected output, and the exit statuses.
# Usage: windows_program_test.sh EMULATOR... ZELKPATCH_EXE
set -uo pipefail
exe=${!#}
emulator=("${@:1:$#-1}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
win() { printf 'Z:%s' "${1//\//\\}"; }  # a Linux path as Windows programs under Wine see it
run() { LC_ALL=$locale "${emulator[@]}" "$exe" "$@"; }

printf '\x01\x02\x03\x04' > "$work/оригинал.rom"
printf '\x01\x09\x03\x04\x05' > "$work/изменённый.rom"
comment=$'Коментарий к патчу сделанному из \nD:\\TEMP\\a\\test.rom и \nD:\\TEMP\\a\\test1.rom'
# What Linux writes for the same comment: Windows-1251 with CR LF.
printf '%s' "$comment" | sed 's/$/\r/; $ s/\r$//' | iconv -f UTF-8 -t WINDOWS-1251 > "$work/expected-1251"
printf '%s' "$comment" | sed 's/$/\r/; $ s/\r$//' | perl -CS -pe 's/\p{Cyrillic}/?/g' > "$work/expected-1252"

for page in 1251 1252; do
  locale=$([ $page = 1251 ] && echo ru_RU.UTF-8 || echo en_US.UTF-8)
  patch="$work/патч-$page.ppp"
  out=$(run make "$(win "$work/оригинал.rom")" "$(win "$work/изменённый.rom")" "$(win "$patch")" --comment "$comment")
  status=$?
  [ $status = 0 ] || fail "make under $locale ended with $status: $out"
  # Under 1252 the Cyrillic letters read as '?', and a line before "Done" names them.
  said=$(printf '%s' "$out" | tr -d '\r')
  if [ $page = 1251 ]; then
    [ "$said" = "Done ZelkPatch generation!" ] || fail "make under $locale said: $out"
  else
    [ "$said" = $'The comment holds characters the code page it is stored in lacks (К, о, м, е, н, т, а, р, и, й and 8 more): they will read as "?"\nDone ZelkPatch generation!' ] ||
      fail "make under $locale said: $out"
  fi
  # 19-byte header, block (1, 9), tail block (4, 5): 19 + 9 + 9 bytes before the comment.
  tail -c +38 "$patch" | cmp -s - "$work/expected-$page" || fail "comment bytes under $locale: $(tail -c +38 "$patch" | od -c | head -3)"
  head -c 37 "$patch" | od -An -tx1 | tr -d ' \n' | grep -q '^5a656c6b205061746368207631' || fail "no magic under $locale"
done

# Applying shows the comment, as UTF-8 where output is redirected, then writes the result.
locale=ru_RU.UTF-8
out=$(run apply "$(win "$work/оригинал.rom")" "$(win "$work/патч-1251.ppp")" "$(win "$work/результат.rom")")
[ $? = 0 ] || fail "apply ended with an error: $out"
printf '%s' "$out" | tr -d '\r' | grep -q '^Коментарий к патчу сделанному из $' || fail "apply printed: $out"
cmp -s "$work/результат.rom" "$work/изменённый.rom" || fail "the applied result differs"

# Exit statuses: 1 for a stop, 2 for wrong usage, and a missing file named.
err=$(run apply "$(win "$work/нет.rom")" "$(win "$work/патч-1251.ppp")" "$(win "$work/x.rom")" 2>&1 > /dev/null)
[ $? = 1 ] || fail "a missing original does not end with 1"
printf '%s' "$err" | grep -q "нету файла Z:.*нет.rom" || fail "the missing file is not named: $err"
run make only-one > /dev/null 2>&1
[ $? = 2 ] || fail "wrong usage does not end with 2"
[ -z "$(ls -A "$work" | grep zelk-)" ] || fail "temporary files were left"

# A reader that stops early: the run ends quietly, as on Linux.
for i in $(seq 1 3000); do printf '\x00\x00\x00\x00\x01\x00\x00\x00\x07'; done > "$work/blocks"
{ printf 'Zelk Patch v1.0\x8c\x69\x00\x00'; cat "$work/blocks"; } > "$work/many.ppp"
run info "$(win "$work/many.ppp")" 2> "$work/info-err" | head -1 > /dev/null
err=$(cat "$work/info-err")
[ -z "$err" ] || fail "info | head -1 said: $err"

# xdelta3's patches, made here on Linux by Debian's xdelta3, applied by the
# Windows program byte for byte; one from another original refused; and the
# Windows program's own xdelta patches applied by xdelta3.
if command -v xdelta3 > /dev/null; then
  perl -e 'srand(7); print pack("C*", map { int(rand(256)) } 1 .. 1048576)' > "$work/x.rom"
  perl -e 'srand(8); local $/; $_ = <STDIN>; for my $i (1 .. 300) { substr($_, int(rand(length)), 1) = chr(int(rand(256))) }
           substr($_, 300000, 0) = pack("C*", map { int(rand(256)) } 1 .. 70000); print' < "$work/x.rom" > "$work/x-new.rom"
  for option in "" "-S none" "-S djw" "-S fgk" "-n" "-S fgk -B 524288 -W 16384" "-S djw -B 524288 -W 16384"; do
    xdelta3 -e -f $option -s "$work/x.rom" "$work/x-new.rom" "$work/x.xdelta"
    rm -f "$work/x-out.rom"
    out=$(run apply "$(win "$work/x.rom")" "$(win "$work/x.xdelta")" "$(win "$work/x-out.rom")" 2>&1)
    [ $? = 0 ] || fail "xdelta3 $option: apply ended with an error: $out"
    cmp -s "$work/x-out.rom" "$work/x-new.rom" || fail "xdelta3 $option: the applied result differs"
  done
  xdelta3 -e -f -s "$work/x.rom" "$work/x-new.rom" "$work/x.xdelta"
  printf 'old' > "$work/x-out.rom"
  out=$(run apply "$(win "$work/x-new.rom")" "$(win "$work/x.xdelta")" "$(win "$work/x-out.rom")" 2>&1)
  [ $? = 1 ] || fail "xdelta applied to another original does not end with 1: $out"
  [ "$(cat "$work/x-out.rom")" = old ] || fail "xdelta applied to another original replaced the output"
  [ -z "$(ls -A "$work" | grep zelk-)" ] || fail "applying xdelta left temporary files"
  # And the other way: both forms made by the Windows program, applied by xdelta3.
  for form in xdelta xdelta-lzma; do
    out=$(run make --format=$form "$(win "$work/x.rom")" "$(win "$work/x-new.rom")" "$(win "$work/made.xdelta")" 2>&1)
    [ $? = 0 ] || fail "make --format=$form ended with an error: $out"
    xdelta3 -d -f -s "$work/x.rom" "$work/made.xdelta" "$work/x-out.rom" || fail "xdelta3 cannot apply the $form patch made under Wine"
    cmp -s "$work/x-out.rom" "$work/x-new.rom" || fail "xdelta3 made another result of the $form patch made under Wine"
  done
else
  echo "SKIPPED: xdelta3's patches under Wine: xdelta3 is not installed"
fi

[ $failures = 0 ] && echo "zelkpatch.exe: all checks passed"
exit $failures
