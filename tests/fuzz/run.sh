#!/usr/bin/env bash
# Runs every fuzzer for the given number of seconds, starting from the seed
# corpus in tests/fuzz/corpus (which it leaves untouched), and prints each
# one's executions. Fails on the first crash, leak or broken check.
# Usage: tests/fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
failed=0
targets=(apply roundtrip code_page foreign vcdiff archive)
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  log="$work/$target.log"
  # An LZMA entry states the dictionary its decoder reserves, up to 4 GiB:
  # address space the decoder touches only as far as it inflates, which the
  # engine bounds. Where the system will not give that much, the reservation
  # fails and the archive is refused; the archive fuzzer's allocations fail
  # the same way past 4 GiB, while what is touched stays under the RSS limit.
  extra=()
  [ "$target" = archive ] && extra=(-malloc_limit_mb=4096)
  if ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1 \
     "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=1024 "${extra[@]}" \
       -artifact_prefix="$work/$target-" "$work/$target" "$here/corpus/$target" > "$log" 2>&1; then
    execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "fuzz_$target: ${seconds} s, ${execs} executions, no findings"
  else
    echo "fuzz_$target: FAILED"
    tail -n 60 "$log"
    for crash in "$work/$target"-*; do
      [ -f "$crash" ] && { echo "input:"; od -An -tx1 "$crash" | head -20; }
    done
    status=1
    failed=$((failed + 1))
  fi
done
echo "fuzz: $((${#targets[@]} - failed)) passed, $failed failed"
exit $status
