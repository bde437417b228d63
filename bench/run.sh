#!/usr/bin/env bash
# Times zelkpatch against the limits of the machine (cmp for make, cp for
# apply) and against xdelta3 and bsdiff, on generated ROM-like pairs, and
# writes docs/PERFORMANCE.md. Usage: bench/run.sh BUILD_DIR [SIZES_MIB...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: bench/run.sh BUILD_DIR [SIZES_MIB...]}
shift
sizes=(16 256 1024)
[ $# -gt 0 ] && sizes=("$@")
zelk=$(realpath "$build/zelkpatch")
gen=$(realpath "$build/zelk-bench-gen")
data=bench/data
results=$data/results
mkdir -p "$results"
rm -f "$results"/*

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
  o=$data/$name.orig; m=$data/$name.changed
  stamp="$size $permille 1048576 1"
  if [ ! -f "$data/$name.stamp" ] || [ "$(cat "$data/$name.stamp")" != "$stamp" ]; then
    echo "generating $name"
    "$gen" $size $permille 1048576 $((size + permille)) "$o" "$m"
    cp "$o" "$o.copy"
    echo "$stamp" > "$data/$name.stamp"
  fi
  runs=10; [ "$size" -ge 1024 ] && runs=5
  p=$data/$name.ppp; x=$data/$name.xd; b=$data/$name.bsd
  "$zelk" make "$o" "$m" "$p" > /dev/null
  xdelta3 -e -f -s "$o" "$m" "$x"
  make_cmds=("$zelk make $o $m $p" "cmp $o $o.copy" "xdelta3 -e -f -s $o $m $x")
  apply_cmds=("$zelk apply $o $p $data/$name.out" "cp $o $data/$name.cp" "xdelta3 -d -f -s $o $x $data/$name.xout")
  if [ "$size" -le 16 ]; then
    bsdiff "$o" "$m" "$b"
    make_cmds+=("bsdiff $o $m $b")
    apply_cmds+=("bspatch $o $data/$name.bout $b")
  fi
  echo "== $name: make"
  hyperfine -N --warmup 1 --runs $runs --prepare sync --export-json "$results/$name.make.json" "${make_cmds[@]}"
  echo "== $name: apply"
  hyperfine -N --warmup 1 --runs $runs --prepare sync --export-json "$results/$name.apply.json" "${apply_cmds[@]}"
  cmp "$data/$name.out" "$m"
  {
    for cmd in "${make_cmds[@]}" "${apply_cmds[@]}"; do
      # shellcheck disable=SC2086
      printf '%s\t%s\n' "$cmd" "$(peak $cmd)"
    done
  } > "$results/$name.mem.tsv"
  printf 'zelkpatch\t%s\nxdelta3\t%s\n' "$(stat -c %s "$p")" "$(stat -c %s "$x")" > "$results/$name.sizes.tsv"
  [ -f "$b" ] && [ "$size" -le 16 ] && printf 'bsdiff\t%s\n' "$(stat -c %s "$b")" >> "$results/$name.sizes.tsv"
  rm -f "$data/$name.out" "$data/$name.cp" "$data/$name.xout" "$data/$name.bout"
done

names=()
for c in "${cases[@]}"; do names+=("${c%% *}"); done
python3 bench/report.py "$results" "${names[@]}" > docs/PERFORMANCE.md.new
mv docs/PERFORMANCE.md.new docs/PERFORMANCE.md
echo "wrote docs/PERFORMANCE.md"
