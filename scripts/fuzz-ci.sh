#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one on its committed seed
# corpus, then prints executions, coverage and findings per target.
#
#   scripts/fuzz-ci.sh                 every target for 60 s
#   FUZZ_SECONDS=600 scripts/fuzz-ci.sh
#
# Fails when a target crashes, trips a sanitizer or one of its checks, spends more than
# FUZZ_TIMEOUT seconds (10) on one input, or runs out of memory. New inputs that libFuzzer finds go
# to build-fuzz/fuzz-work/<target>/corpus, reproducers to build-fuzz/fuzz-work/<target>/artifacts;
# neither is committed. FUZZ_PARALLEL targets run at once (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
timeout=${FUZZ_TIMEOUT:-10}
build=${FUZZ_BUILD_DIR:-build-fuzz}
parallel=${FUZZ_PARALLEL:-$(nproc)}
targets=(fuzz_framer fuzz_decode fuzz_encode fuzz_text)
# Room for the longest meaningful input of each: several largest frames, a prefix and a full
# payload, a prefix and a full TD list body, a short text.
declare -A max_len=([fuzz_framer]=8192 [fuzz_decode]=2100 [fuzz_encode]=2200 [fuzz_text]=512)

echo "--- building fuzz targets in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DSCANLINK_SANITIZE=address -DSCANLINK_BUILD_FUZZ=ON -DSCANLINK_BUILD_TESTS=OFF \
  -DSCANLINK_BUILD_TOOLS=OFF -DSCANLINK_BUILD_BENCH=OFF -DSCANLINK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz

work=$build/fuzz-work
rm -rf "$work"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_target() {
  local t=$1 dir=$work/$1
  mkdir -p "$dir/corpus" "$dir/artifacts"
  local rc=0
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 \
    -max_len="${max_len[$t]}" -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
    "$dir/corpus" "fuzz/corpus/$t" >"$dir/log" 2>&1 || rc=$?
  echo "$rc" >"$dir/status"
}

echo "--- running ${#targets[@]} targets for ${seconds} s each, $parallel at a time"
for t in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= parallel)); do wait -n || true; done
  run_target "$t" &
done
wait

failed=0
printf '\n%-12s %-6s %12s %8s %8s %6s  %s\n' target result executions cov ft new findings
for t in "${targets[@]}"; do
  dir=$work/$t
  rc=$(cat "$dir/status")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n1)
  stats=$(grep -E '(DONE|INITED|NEW|REDUCE|pulse).*cov: ' "$dir/log" | tail -n1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$stats")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$stats")
  found=$(find "$dir/artifacts" -type f | wc -l)
  result=ok
  if [ "$rc" != 0 ] || [ "$found" != 0 ]; then result=FAIL; failed=1; fi
  printf '%-12s %-6s %12s %8s %8s %6s  %s\n' "$t" "$result" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "$(find "$dir/corpus" -type f | wc -l)" "$found"
done

if [ "$failed" != 0 ]; then
  for t in "${targets[@]}"; do
    dir=$work/$t
    if [ "$(cat "$dir/status")" != 0 ] || [ -n "$(find "$dir/artifacts" -type f)" ]; then
      echo
      echo "=== $t failed (exit $(cat "$dir/status")); reproducers:"
      find "$dir/artifacts" -type f
      echo "--- end of $dir/log"
      tail -n 60 "$dir/log"
    fi
  done
  echo
  echo "Reproduce with: $build/fuzz/<target> <reproducer>"
  exit 1
fi
echo "all fuzz targets passed"
