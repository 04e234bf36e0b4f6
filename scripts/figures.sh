#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench), runs each one in a private network namespace
# and prints one table of figures, baselines and goals, with the machine they were measured on.
#
#   scripts/figures.sh [--quick]      --quick: shorter runs, for a smoke test of the table
#
# The throughput figure's baseline is one thread doing the per-report work the API requires (read,
# cut, zeroed record, decode, callback) over the same traffic; bench_throughput's report also
# breaks the CPU cost per report down by step, and this script prints that block again at the end.
# bench_vanish drops every segment of the data connection with nftables (the scanner vanishes)
# and times the loss and return notices at the default link timeout; it takes about three minutes.
# The machine's load is printed too: on a shared machine the rates move with it, the CPU costs
# per report much less.
#
# python/bench/records_rate.py measures the Python package's records per second through
# Scanner.records() the same way.
#
# Each program's full report is kept in build-bench/figures/<program>.txt. The exit status is
# non-zero only when a program could not be built or produced no figures; goals missed show as
# "no" in the table.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-bench
quick=0
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
  esac
done

programs=(bench_latency bench_throughput bench_memory bench_idle bench_bringup bench_vanish bench_burst
          bench_decode)
args_bench_decode="--benchmark_min_time=0.2 --benchmark_color=false"
if [ "$quick" = 1 ]; then
  args_bench_latency="--round-trips 2000 --warmup 200"
  args_bench_throughput="--frames 100000"
  args_bench_memory="--frames 100000"
  args_bench_idle="--seconds 2 --baseline-seconds 1"
  args_bench_bringup="--runs 5"
  args_bench_vanish="--runs 1 --link-timeout 2000 --away 1000"
  args_bench_burst="--seconds 3"
  args_bench_decode="--benchmark_min_time=0.02 --benchmark_color=false"
else
  args_bench_latency=""
  args_bench_throughput=""
  args_bench_memory=""
  args_bench_idle=""
  args_bench_bringup=""
  args_bench_vanish=""
  args_bench_burst=""
fi

echo "== building in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSCANLINK_BUILD_TESTS=OFF \
  -DSCANLINK_BUILD_TOOLS=OFF -DSCANLINK_BUILD_EXAMPLES=OFF -DSCANLINK_BUILD_BENCH=ON >/dev/null \
  || exit 1
cmake --build "$build" -j"$(nproc)" || exit 1
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

out=$build/figures
mkdir -p "$out"
rm -f "$out"/*.txt "$out"/all.figures
failed=0
for p in "${programs[@]}"; do
  var=args_$p
  if [ "$p" = bench_decode ] && [ ! -x "$build/bench/$p" ]; then
    echo; echo "== $p not built (no Google Benchmark)"; continue
  fi
  echo
  echo "== $p ${!var}"
  # shellcheck disable=SC2086  # the arguments are meant to split
  "$root/tests/netns-run" "$build/bench/$p" ${!var} >"$out/$p.txt" 2>&1
  status=$?
  grep -v '^figure|' "$out/$p.txt"
  if ! grep -q '^figure|' "$out/$p.txt"; then
    echo "$p produced no figures (exit status $status)"
    failed=1
  fi
done

# The Python package's record path, against the library just built (the system's Python 3).
args_python="--records 200000"
[ "$quick" = 1 ] && args_python="--records 20000"
echo
echo "== python records_rate $args_python"
# shellcheck disable=SC2086  # the arguments are meant to split
"$root/tests/netns-run" env SCANLINK_LIBRARY="$build" python3 "$root/python/bench/records_rate.py" \
  $args_python >"$out/python_records.txt" 2>&1
grep -v '^figure|' "$out/python_records.txt"
grep -q '^figure|' "$out/python_records.txt" || { echo "records_rate produced no figures"; failed=1; }
programs+=(python_records)

echo
echo "== figures ($(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')$(git -C "$root" diff --quiet HEAD 2>/dev/null || echo '+local changes'))"
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "load average before the runs: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$quick" = 1 ] && echo "(--quick: shortened runs; not figures to quote)"
echo
for p in "${programs[@]}"; do grep '^figure|' "$out/$p.txt" 2>/dev/null; done >"$out/all.figures"
awk -F'|' '
  BEGIN { n = 0; split("benchmark|figure|value|baseline|goal|met?", head, "|")
          for (i = 1; i <= 6; i++) w[i] = length(head[i]) }
  { n++; for (i = 1; i <= 6; i++) { cell[n, i] = $(i + 1); if (length($(i + 1)) > w[i]) w[i] = length($(i + 1)) } }
  function row(c1, c2, c3, c4, c5, c6,   v, i, s) {
    v[1] = c1; v[2] = c2; v[3] = c3; v[4] = c4; v[5] = c5; v[6] = c6; s = ""
    for (i = 1; i <= 6; i++) s = s sprintf("%-" w[i] "s  ", v[i])
    sub(/ +$/, "", s); print s
  }
  END {
    row(head[1], head[2], head[3], head[4], head[5], head[6])
    rule = ""; for (i = 1; i <= 6; i++) { d = ""; for (k = 0; k < w[i]; k++) d = d "-"; rule = rule d "  " }
    sub(/ +$/, "", rule); print rule
    for (r = 1; r <= n; r++) row(cell[r, 1], cell[r, 2], cell[r, 3], cell[r, 4], cell[r, 5], cell[r, 6])
  }' "$out/all.figures"
if [ -f "$out/bench_throughput.txt" ]; then
  echo
  sed -n '/CPU per report, ns/,/context switches/p' "$out/bench_throughput.txt"
fi
goals=$(awk -F'|' '$7 != "info"' "$out/all.figures" | wc -l)
met=$(awk -F'|' '$7 == "yes"' "$out/all.figures" | wc -l)
echo
echo "goals met: $met of $goals"
exit $failed
