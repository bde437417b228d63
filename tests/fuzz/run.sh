#!/usr/bin/env bash
# Runs every fuzzer for the given number of seconds, starting from the seed
# corpus in tests/fuzz/corpus (which it leaves untouched), JOBS of them at a
# time (each runs on one core), and prints each one's executions in order.
# Fails on the first crash, leak or broken check.
# Usage: tests/fuzz/run.sh BUILD_DIR SECONDS [JOBS]
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR SECONDS [JOBS]}
seconds=${2:?usage: run.sh BUILD_DIR SECONDS [JOBS]}
jobs=${3:-1}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
targets=(apply roundtrip code_page foreign vcdiff archive dat)

# One fuzzer; what it found, or its executions, in $work/$target.said.
fuzz() {
  local target=$1 log="$work/$1.log" said="$work/$1.said"
  mkdir -p "$work/$target"
  # An LZMA entry states the dictionary its decoder reserves, up to 4 GiB:
  # address space the decoder touches only as far as it inflates, which the
  # engine bounds. Where the system will not give that much, the reservation
  # fails and the archive is refused; the archive fuzzer's allocations fail
  # the same way past 4 GiB, while what is touched stays under the RSS limit.
  local extra=()
  [ "$target" = archive ] && extra=(-malloc_limit_mb=4096)
  if ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1 \
     "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=1024 "${extra[@]}" \
       -artifact_prefix="$work/$target-" "$work/$target" "$here/corpus/$target" > "$log" 2>&1; then
    local execs
    execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "fuzz_$target: ${seconds} s, ${execs} executions, no findings" > "$said"
  else
    {
      echo "fuzz_$target: FAILED"
      tail -n 60 "$log"
      for crash in "$work/$target"-*; do
        [ -f "$crash" ] && { echo "input:"; od -An -tx1 "$crash" | head -20; }
      done
    } > "$said"
    return 1
  fi
}

running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz "$target" &
  running=$((running + 1))
done
wait || true
failed=0
for target in "${targets[@]}"; do
  [ -s "$work/$target.said" ] || echo "fuzz_$target: FAILED (it ended without a report)" > "$work/$target.said"
  cat "$work/$target.said"
  grep -q ': FAILED$' "$work/$target.said" && failed=$((failed + 1))
done
echo "fuzz: $((${#targets[@]} - failed)) passed, $failed failed"
[ "$failed" = 0 ]
