#!/usr/bin/env bash
# The burst benchmark against the Windows DLL under Wine: the scanner is the native bench_burst
# (--serve, outside Wine), the application bench_burst_app.exe on scanlink.dll. Each run prints
# the application's figure lines (false link losses: 0 is the goal).
#
#   scripts/bench-windows.sh [--runs N] [--native] [--scanner 'bench_burst options'] [app options]
#
# --native runs the native bench_burst_app against the native library in the same setup, for
# comparison. The scanner's options default to bench_burst's (--burst-kib 256, 64-byte reports);
# the application's to bench_burst_app's (1 KiB every 200 us for 10 s). One private network
# namespace (buffers, MTU and packet size capped by bench_burst) and one Wine server for all the
# runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${1:-}" = --inside ]; then
  scanner=$2 app=$3 runs=$4 scanner_args=$5
  shift 5
  runner=()
  if [[ $app == *.exe ]]; then
    export WINEPREFIX="$root/build-win64-bench/wineprefix" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 </dev/null
    runner=(/usr/lib/wine/wine64)
  fi
  log=$(mktemp)
  status=0
  for run in $(seq "$runs"); do
    echo "=== run $run of $runs"
    # The scanner serves until its standard input closes.
    # shellcheck disable=SC2086
    exec {scanner_in}> >(exec "$scanner" --serve 5000 $scanner_args >"$log" 2>&1)
    scanner_pid=$!
    for _ in $(seq 100); do grep -qs '^listening' "$log" && break; sleep 0.05; done
    "${runner[@]}" "$app" --port 5000 "$@" | tr -d '\r' || status=1
    exec {scanner_in}>&-
    wait "$scanner_pid" || true
  done
  rm -f "$log"
  exit "$status"
fi

runs=3
native=0
scanner_args=""
app_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --native) native=1; shift ;;
    --scanner) scanner_args=$2; shift 2 ;;
    *) app_args+=("$1"); shift ;;
  esac
done

if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DSCANLINK_BUILD_TESTS=OFF -DSCANLINK_BUILD_TOOLS=OFF
         -DSCANLINK_BUILD_EXAMPLES=OFF -DSCANLINK_BUILD_BENCH=ON)
echo "=== the scanner, native: bench_burst"
cmake -S . -B build-bench "${options[@]}" >/dev/null
cmake --build build-bench --target bench_burst bench_burst_app
if [ "$native" = 1 ]; then
  app=$root/build-bench/bench/bench_burst_app
else
  "$root/scripts/bootstrap.sh" ccache g++-mingw-w64-x86-64-posix wine64
  echo "=== the application, 64-bit Windows: bench_burst_app.exe on scanlink.dll"
  cmake -S . -B build-win64-bench -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    "${options[@]}" >/dev/null
  cmake --build build-win64-bench --target bench_burst_app
  app=$root/build-win64-bench/bin/bench_burst_app.exe
fi
exec tests/netns-run "$0" --inside "$root/build-bench/bench/bench_burst" "$app" "$runs" \
  "$scanner_args" "${app_args[@]}"
