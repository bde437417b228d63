#!/usr/bin/env bash
# Times zelkpatch against the limits of the machine and against xdelta3 and
# bsdiff on generated ROM-like pairs, and writes docs/PERFORMANCE.md.
#   make: against cmp of two identical files (reading both is the least it does)
#   apply: against a durable copy, dd conv=fsync ("Done" means on disk), and
#          without its flush against cp
#   check: against cat of the original and the patch (reading both once),
#          and against the slowest of the hashes it takes, alone
#   other formats: apply of linear BPS, IPS32 and UPS patches of the same
#          change, and of the PPF, APS (both forms) and RUP patches zelkpatch
#          makes of it, against applying the ZelkPatch (256 MiB), and CRC-32 speed
#   BPS and xdelta making: on pairs whose data moved (edits, an insertion, a
#          longer tail), size against xdelta3 -9 (-S none where ours has no
#          compression) and time against xdelta3 -9; xdelta also where data
#          moved far (512 MiB), and its memory at 4 GiB
# Every command starts with no old output in place and after a sync, so none
# pays for freeing or writing back what the run before left.
#   the page: make and apply against the time the browser needs to read
#          their inputs in 16 MiB slices (FileReaderSync, as the page reads)
# Usage: bench/run.sh BUILD_DIR [SIZES_MIB...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: bench/run.sh BUILD_DIR [SIZES_MIB...]}
shift
sizes=(16 256 1024)
[ $# -gt 0 ] && sizes=("$@")
zelk=$(realpath "$build/zelkpatch")
run=$(realpath "$build/zelk-bench-run")
gen=$(realpath "$build/zelk-bench-gen")
foreign=$(realpath "$build/zelk-bench-foreign")
data=bench/data
results=$data/results
mkdir -p "$results"
rm -f "$results"/*

# The machine the figures belong to.
{
  lscpu | grep -E '^(Model name|L1d cache|L2 cache|L3 cache):' | sed 's/  */ /g'
  for level in LEVEL1_DCACHE_SIZE LEVEL2_CACHE_SIZE LEVEL3_CACHE_SIZE; do
    echo "$level: $(getconf $level 2>/dev/null || echo unknown)"
  done
  echo "Kernel: $(uname -sr)"
  echo "File system: $(df -T "$data" | awk 'NR==2 {print $2}') on $(df "$data" | awk 'NR==2 {print $1}')"
  echo "Memory: $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "Cores: $(nproc)"
  echo "Chosen buffers (KiB, scan stream): $("$run" sizes)"
} > "$results/machine.txt"
"$run" crc > "$results/crc.tsv"

# name size_mib permille_changed
cases=()
for s in "${sizes[@]}"; do cases+=("rom$s $s 5"); done
for s in "${sizes[@]}"; do [ "$s" = 256 ] && cases+=("dense$s $s 100"); done

peak() {  # peak resident memory in KiB of one run of a command
  /usr/bin/time -f %M -o "$results/.mem" "$@" > /dev/null 2>&1 || true
  cat "$results/.mem"
}

for c in "${cases[@]}"; do
  read -r name size permille <<< "$c"
  o=$data/$name.orig; m=$data/$name.changed; p=$data/$name.ppp; x=$data/$name.xd; b=$data/$name.bsd
  stamp="$size $permille 1048576 1"
  if [ ! -f "$data/$name.stamp" ] || [ "$(cat "$data/$name.stamp")" != "$stamp" ]; then
    echo "generating $name"
    "$gen" $size $permille 1048576 $((size + permille)) "$o" "$m"
    cp "$o" "$o.copy"
    echo "$stamp" > "$data/$name.stamp"
  fi
  runs=10; [ "$size" -ge 1024 ] && runs=5
  "$zelk" make "$o" "$m" "$p" > /dev/null
  xdelta3 -e -f -s "$o" "$m" "$x"
  out=$data/$name.out
  clean="rm -f $out.*; sync"
  make_cmds=(-n zelkpatch "$zelk make $o $m $out.ppp" -n cmp "cmp $o $o.copy" -n xdelta3 "xdelta3 -e -f -s $o $m $out.xd")
  apply_cmds=(-n zelkpatch "$zelk apply $o $p $out.z" -n dd "dd if=$o of=$out.dd bs=1M conv=fsync status=none"
              -n zelkpatch-noflush "$run 0 0 nosync apply $o $p $out.nf" -n cp "cp $o $out.cp"
              -n xdelta3 "xdelta3 -d -f -s $o $x $out.x")
  if [ "$size" -le 16 ]; then
    bsdiff "$o" "$m" "$b"
    make_cmds+=(-n bsdiff "bsdiff $o $m $out.bsd")
    apply_cmds+=(-n bspatch "bspatch $o $out.b $b")
  fi
  echo "== $name: make"
  hyperfine -N --warmup 1 --runs $runs --prepare "sh -c '$clean'" --export-json "$results/$name.make.json" "${make_cmds[@]}"
  echo "== $name: check"
  hyperfine -N --warmup 1 --runs $runs --export-json "$results/$name.check.json" \
    -n zelkpatch "$zelk check $o $p" -n cat "cat $o $p" -n md5sum "md5sum $o" -n sha1sum "sha1sum $o"
  echo "== $name: apply"
  hyperfine -N --warmup 1 --runs $runs --prepare "sh -c '$clean'" --export-json "$results/$name.apply.json" "${apply_cmds[@]}"
  # The outputs were removed before each run: check one of each again.
  "$zelk" apply "$o" "$p" "$out.z" > /dev/null && cmp "$out.z" "$m"
  "$run" 0 0 nosync apply "$o" "$p" "$out.nf" > /dev/null && cmp "$out.nf" "$m"
  printf 'make\t%s\napply\t%s\n' "$(peak "$zelk" make "$o" "$m" "$out.ppp")" "$(peak "$zelk" apply "$o" "$p" "$out.z")" \
    > "$results/$name.mem.tsv"
  printf 'zelkpatch\t%s\nxdelta3\t%s\n' "$(stat -c %s "$p")" "$(stat -c %s "$x")" > "$results/$name.sizes.tsv"
  [ -f "$b" ] && [ "$size" -le 16 ] && printf 'bsdiff\t%s\n' "$(stat -c %s "$b")" >> "$results/$name.sizes.tsv"
  rm -f "$out".*

  # xdelta3's own patch of the change, applied here and by xdelta3; at 256 MiB
  # also its DJW and FGK forms (xdelta3 -d cannot read back its own FGK
  # patches of many windows: that row stands alone).
  if [ "$permille" = 5 ]; then
    xcmds=(-n zelkpatch "$zelk apply $o $x $out.zx" -n xdelta3 "xdelta3 -d -f -s $o $x $out.x")
    kinds=(""); [ "$size" = 256 ] && kinds+=(djw fgk)
    for k in "${kinds[@]:1}"; do
      xdelta3 -e -f -S "$k" -s "$o" "$m" "$x.$k"
      xcmds+=(-n "zelkpatch-$k" "$zelk apply $o $x.$k $out.z$k")
      if xdelta3 -d -f -s "$o" "$x.$k" "$out.t" 2> /dev/null && cmp -s "$out.t" "$m"; then
        xcmds+=(-n "xdelta3-$k" "xdelta3 -d -f -s $o $x.$k $out.x$k")
      fi
    done
    echo "== $name: xdelta"
    hyperfine -N --warmup 1 --runs $runs --prepare "sh -c '$clean'" --export-json "$results/$name.xdelta.json" "${xcmds[@]}"
    : > "$results/$name.xdelta.mem.tsv"
    for k in "${kinds[@]}"; do
      f=$x${k:+.$k}
      "$zelk" apply "$o" "$f" "$out.zx" > /dev/null && cmp "$out.zx" "$m"
      printf 'zelkpatch%s\t%s\n' "${k:+-$k}" "$(peak "$zelk" apply "$o" "$f" "$out.zx")" >> "$results/$name.xdelta.mem.tsv"
    done
    rm -f "$out".*
  fi

  # The same change as a linear BPS, an IPS32 and a UPS patch, and as the
  # PPF, APS, APS (GBA) and RUP patches made here.
  if [ "$size" = 256 ] && [ "$permille" = 5 ]; then
    "$foreign" "$o" "$m" "$data/$name"
    for f in ppf aps rup; do "$zelk" make "$o" "$m" "$data/$name.$f" > /dev/null; done
    "$zelk" make --format=aps-gba "$o" "$m" "$data/$name.gba" > /dev/null
    kinds=(bps:bps ips32:ips ups:ups ppf:ppf aps:aps aps-gba:gba rup:rup)
    cmds=(-n zelkpatch "$zelk apply $o $p $out.z")
    for k in "${kinds[@]}"; do cmds+=(-n "${k%%:*}" "$zelk apply $o $data/$name.${k#*:} $out.${k#*:}"); done
    echo "== $name: other formats"
    hyperfine -N --warmup 1 --runs $runs --prepare "sh -c '$clean'" --export-json "$results/$name.formats.json" "${cmds[@]}"
    : > "$results/$name.formats.mem.tsv"
    for k in "${kinds[@]}"; do
      f=${k#*:}
      "$zelk" apply "$o" "$data/$name.$f" "$out.$f" > /dev/null && cmp "$out.$f" "$m"
      printf '%s\t%s\n' "${k%%:*}" "$(peak "$zelk" apply "$o" "$data/$name.$f" "$out.$f")" >> "$results/$name.formats.mem.tsv"
    done
    rm -f "$out".*

    # The same BPS patch applied to the original as downloaded: zipped
    # (deflated, with a readme beside it), which is unpacked once into a
    # scratch file before the patch reads it by position.
    [ -f "$data/$name.zip" ] || python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("readme.txt", "the original")
    z.write(sys.argv[2], "Game (World).rom")' "$data/$name.zip" "$o"
    echo "== $name: the original zipped"
    hyperfine -N --warmup 1 --runs $runs --prepare "sh -c '$clean'" --export-json "$results/$name.zipped.json" \
      -n plain "$zelk apply $o $data/$name.bps $out.b" -n zipped "$zelk apply $data/$name.zip $data/$name.bps $out.zb"
    "$zelk" apply "$data/$name.zip" "$data/$name.bps" "$out.zb" > /dev/null && cmp "$out.zb" "$m"
    printf 'plain\t%s\nzipped\t%s\n' "$(peak "$zelk" apply "$o" "$data/$name.bps" "$out.b")" \
      "$(peak "$zelk" apply "$data/$name.zip" "$data/$name.bps" "$out.zb")" > "$results/$name.zipped.mem.tsv"
    rm -f "$out".*
  fi

  # The page, in headless Chromium, beside the browser's own read time.
  if [ "$size" -ge 256 ] && [ "$permille" = 5 ]; then
    echo "== $name: the page"
    node bench/web_bench.mjs "$(realpath dist/web)" "$o" "$m" "$p" 3 > "$results/$name.web.json"
  fi

  # The curve the buffer sizes rest on: each size alone, the other at its default.
  if [ "$name" = rom256 ]; then
    scans=(); streams=()
    for k in 8 16 32 64 128 256 512 1024; do scans+=(-n "$k" "$run $k 256 sync make $o $m $out.ppp"); done
    for k in 32 64 128 256 512 1024 2048 4096; do streams+=(-n "$k" "$run 64 $k sync apply $o $p $out.z"); done
    echo "== $name: buffer sizes"
    hyperfine -N --warmup 1 --runs $runs --prepare "sh -c '$clean'" --export-json "$results/buffers.make.json" "${scans[@]}"
    hyperfine -N --warmup 1 --runs $runs --prepare "sh -c '$clean'" --export-json "$results/buffers.apply.json" "${streams[@]}"
    rm -f "$out".*
  fi
done

# BPS making, where data moved: about 20,000 edits at 256 MiB (scaled
# down with the size), 256 KiB inserted in the middle, 1 MiB appended.
for s in "${sizes[@]}"; do
  [ "$s" -le 256 ] || continue
  name=moved$s; o=$data/$name.orig; m=$data/$name.changed
  stamp="$s 2.5 1048576 262144 1"
  if [ ! -f "$data/$name.stamp" ] || [ "$(cat "$data/$name.stamp")" != "$stamp" ]; then
    echo "generating $name"
    "$gen" "$s" 2.5 1048576 $((s + 7)) "$o" "$m" 262144
    echo "$stamp" > "$data/$name.stamp"
  fi
  out=$data/$name.out
  echo "== $name: making BPS and xdelta"
  hyperfine -N --warmup 1 --runs 5 --prepare "sh -c 'rm -f $out.*; sync'" --export-json "$results/$name.bps.json" \
    -n zelkpatch "$zelk make $o $m $out.bps" -n zelkpatch-xdelta "$zelk make $o $m $out.xdelta" \
    -n zelkpatch-xdelta-lzma "$zelk make -f xdelta-lzma $o $m $out.lzma" \
    -n xdelta3-9-S-none "xdelta3 -e -9 -S none -f -s $o $m $out.xdn" -n xdelta3-9 "xdelta3 -e -9 -f -s $o $m $out.xd"
  "$zelk" make "$o" "$m" "$out.bps" > /dev/null
  "$zelk" apply "$o" "$out.bps" "$out.check" > /dev/null && cmp "$out.check" "$m"
  # xdelta3 applies both forms of our xdelta patch, as we apply its own.
  "$zelk" make "$o" "$m" "$out.xdelta" > /dev/null
  "$zelk" make -f xdelta-lzma "$o" "$m" "$out.lzma" > /dev/null
  for f in xdelta lzma; do xdelta3 -d -f -s "$o" "$out.$f" "$out.check" && cmp "$out.check" "$m"; done
  xdelta3 -e -9 -S none -f -s "$o" "$m" "$out.xdn"
  xdelta3 -e -9 -f -s "$o" "$m" "$out.xd"
  printf 'zelkpatch\t%s\nxdelta3-9-S-none\t%s\nxdelta3-9\t%s\nzelkpatch-peak\t%s\nxdelta3-peak\t%s\n' \
    "$(stat -c %s "$out.bps")" "$(stat -c %s "$out.xdn")" "$(stat -c %s "$out.xd")" \
    "$(peak "$zelk" make "$o" "$m" "$out.bps")" "$(peak xdelta3 -e -9 -f -s "$o" "$m" "$out.xd")" > "$results/$name.bps.tsv"
  printf 'xdelta\t%s\nxdelta-lzma\t%s\nxdelta-peak\t%s\nxdelta-lzma-peak\t%s\n' \
    "$(stat -c %s "$out.xdelta")" "$(stat -c %s "$out.lzma")" "$(peak "$zelk" make "$o" "$m" "$out.xdelta")" \
    "$(peak "$zelk" make -f xdelta-lzma "$o" "$m" "$out.lzma")" > "$results/$name.xdelta-make.tsv"
  rm -f "$out".*
done

# Making xdelta where data moved far: a 512 MiB image whose two halves
# traded places, with about 3,000 small edits; xdelta3 -9 once (it takes
# minutes: it looks for moved data only within its 64 MiB source window).
# And at 4 GiB and a bit more, past 2^32 bytes, the memory our maker needs,
# and xdelta3 -d applying what it made.
far=$data/far512
if [ ! -f "$far.stamp" ] || [ "$(cat "$far.stamp")" != "512 0.2 1" ]; then
  echo "generating far512"
  "$gen" 512 0.2 0 11 "$far.orig" "$far.edited"
  python3 -c 'import sys
d = open(sys.argv[1], "rb").read(); h = len(d) // 2
open(sys.argv[2], "wb").write(d[h:] + d[:h])' "$far.edited" "$far.changed"
  rm -f "$far.edited"
  echo "512 0.2 1" > "$far.stamp"
fi
echo "== far512: making xdelta"
hyperfine -N --warmup 1 --runs 3 --prepare "sh -c 'rm -f $far.out.*; sync'" --export-json "$results/far512.json" \
  -n zelkpatch-xdelta-lzma "$zelk make -f xdelta-lzma $far.orig $far.changed $far.out.lzma"
"$zelk" make -f xdelta-lzma "$far.orig" "$far.changed" "$far.out.lzma" > /dev/null
xdelta3 -d -f -s "$far.orig" "$far.out.lzma" "$far.out.check" && cmp "$far.out.check" "$far.changed"
/usr/bin/time -f '%e\t%M' -o "$results/.x3" xdelta3 -e -9 -f -s "$far.orig" "$far.changed" "$far.out.xd"
printf 'xdelta-lzma\t%s\nxdelta3-9\t%s\nxdelta-lzma-peak\t%s\nxdelta3-9-ms\t%.0f\nxdelta3-peak\t%s\n' \
  "$(stat -c %s "$far.out.lzma")" "$(stat -c %s "$far.out.xd")" \
  "$(peak "$zelk" make -f xdelta-lzma "$far.orig" "$far.changed" "$far.out.lzma")" \
  "$(awk '{print $1 * 1000}' "$results/.x3")" "$(awk '{print $2}' "$results/.x3")" > "$results/far512.tsv"
rm -f "$far".out.*

huge=$data/huge4096
if [ ! -f "$huge.stamp" ] || [ "$(cat "$huge.stamp")" != "4096 0.01 1048576 1" ]; then
  echo "generating huge4096"
  "$gen" 4096 0.01 1048576 13 "$huge.orig" "$huge.changed" 65536
  echo "4096 0.01 1048576 1" > "$huge.stamp"
fi
echo "== huge4096: making xdelta"
/usr/bin/time -f '%e\t%M' -o "$results/.huge" "$zelk" make -f xdelta-lzma "$huge.orig" "$huge.changed" "$huge.out.lzma" > /dev/null
xdelta3 -d -f -s "$huge.orig" "$huge.out.lzma" "$huge.out.check" && cmp "$huge.out.check" "$huge.changed"
printf 'size\t%s\npatch\t%s\nms\t%.0f\npeak\t%s\n' "$(stat -c %s "$huge.changed")" "$(stat -c %s "$huge.out.lzma")" \
  "$(awk '{print $1 * 1000}' "$results/.huge")" "$(awk '{print $2}' "$results/.huge")" > "$results/huge4096.tsv"
rm -f "$huge".out.*

# Naming a ROM from a DAT of 100,000 entries, as large as No-Intro's
# largest: check with it beside check without, and the memory of each.
# The user's own DATs are kept out.
export XDG_DATA_HOME=$data/no-dats
dat=$data/dat100k.dat
[ -f "$dat" ] || python3 bench/make_dat.py 100000 "$data/rom16.orig" "$dat"
textdat=$data/dat100k.txt.dat
[ -f "$textdat" ] || python3 bench/make_dat.py 100000 "$data/rom16.orig" "$textdat"
echo "== a 100,000-entry DAT"
hyperfine -N --warmup 1 --runs $runs --export-json "$results/dat.json" -n plain "$zelk check $data/rom16.orig" \
  -n dat "$zelk check $data/rom16.orig --dat $dat" -n text "$zelk check $data/rom16.orig --dat $textdat"
for d in "$dat" "$textdat"; do "$zelk" check "$data/rom16.orig" --dat "$d" | grep -q '^Name: .*The Benchmark Game'; done
printf 'size\t%s\npeak\t%s\nplain\t%s\ntextsize\t%s\ntextpeak\t%s\n' "$(stat -c %s "$dat")" \
  "$(peak "$zelk" check "$data/rom16.orig" --dat "$dat")" "$(peak "$zelk" check "$data/rom16.orig")" \
  "$(stat -c %s "$textdat")" "$(peak "$zelk" check "$data/rom16.orig" --dat "$textdat")" > "$results/dat.tsv"

names=()
for c in "${cases[@]}"; do names+=("${c%% *}"); done
for s in "${sizes[@]}"; do [ "$s" -le 256 ] && names+=("moved$s"); done
python3 bench/report.py "$results" "${names[@]}" > docs/PERFORMANCE.md.new
mv docs/PERFORMANCE.md.new docs/PERFORMANCE.md
echo "wrote docs/PERFORMANCE.md"
