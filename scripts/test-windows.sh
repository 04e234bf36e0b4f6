#!/usr/bin/env bash
# The Windows build and its tests, from a fresh machine:
#   scripts/test-windows.sh [BUILD_DIR]   (default build-win64; build-win32 for the 32-bit link)
# Installs the Debian packages it needs, cross-builds scanlink.dll, the tests and the example
# with mingw-w64 for 64-bit Windows, links the DLL and the example for 32-bit Windows, checks
# the DLL's exports and imports, then, inside a private network namespace with one Wine server
# of its own, runs a consumer of the installed package and the test suite against the DLL.
# Ends with ctest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${1:-}" = --inside ]; then
  # Second stage, inside the namespace: Wine's server creates the programs' sockets, so it
  # must live where the tests' loopback is.
  build=$2
  consumer=$3
  sim=$4
  export WINEPREFIX="$root/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINE=/usr/lib/wine/wine64
  unset DISPLAY WAYLAND_DISPLAY
  mkdir -p "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1 </dev/null
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  "$WINE" wineboot --init >/dev/null 2>&1 </dev/null

  # What the integration tests may change, restored before each of them (tests/wine-run).
  export SCANLINK_NET_DEFAULTS="$root/$build/net-defaults"
  for f in /proc/sys/net/ipv4/icmp_echo_ignore_all /proc/sys/net/ipv4/tcp_wmem \
           /proc/sys/net/ipv4/tcp_rmem; do
    printf '%s %s\n' "$f" "$(cat "$f")"
  done >"$SCANLINK_NET_DEFAULTS"

  echo "=== consumer of the installed package, under Wine"
  "$WINE" "$consumer"

  echo "=== the scanlink command line, under Wine"
  tool="$root/$build/bin/scanlink.exe"
  "$WINE" "$tool" --help >/dev/null
  for capture in tests/captures/td-cells.scl tests/captures/wcdma-sweep.scl; do
    # The console's text mode ends lines with CR LF; the expected lines end with LF.
    "$WINE" "$tool" decode --json "$capture" | tr -d '\r' | cmp - "${capture%.scl}.jsonl"
  done
  # No simulator to start on Windows: demo says so in one line, with its own status.
  status=0
  "$WINE" "$tool" demo >/dev/null 2>"$root/$build/demo.err" || status=$?
  if [ "$status" != 7 ] || [ "$(grep -c '^scanlink: ' "$root/$build/demo.err")" != 1 ]; then
    echo "scanlink demo: status $status, $(cat "$root/$build/demo.err")" >&2
    exit 1
  fi
  # Against the native simulator; it quits when its standard input closes.
  simlog="$root/$build/sim-query.jsonl"
  rm -f "$simlog"
  exec {simin}> >(exec "$sim" --bind 127.0.0.1 --port 5000 --alarm-port 8050 --family 21 \
                    --log "$simlog" >/dev/null 2>&1)
  simpid=$!
  for _ in $(seq 100); do grep -qs '"listening"' "$simlog" && break; sleep 0.05; done
  "$WINE" "$tool" query --host 127.0.0.1 --port 5000 | tr -d '\r' >"$root/$build/query.txt"
  exec {simin}>&-
  wait "$simpid" || true
  for name in TDVersion TDScanMode Battery; do
    grep -q "$name" "$root/$build/query.txt" || { echo "scanlink query: no $name" >&2; exit 1; }
  done

  echo "=== test suite against the DLL, under Wine"
  ctest --test-dir "$build" --output-on-failure -j"${SCANLINK_TEST_JOBS:-4}"
  exit
fi

build=${1:-build-win64}
build32=build-win32
native=build-win-sim

"$root/scripts/bootstrap.sh" ccache g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
  binutils-mingw-w64-x86-64 wine64 wine googletest python3
if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache; fi

echo "=== the simulator, native, for the integration tests"
cmake -S . -B "$native" -G Ninja -DSCANLINK_BUILD_TESTS=OFF -DSCANLINK_BUILD_BENCH=OFF \
  -DSCANLINK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$native" --target scanlink-sim

echo "=== 64-bit Windows: DLL, tests, example"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$root/tests/wine-run" -DSCANLINK_BUILD_BENCH=OFF \
  -DSCANLINK_WINDOWS_SIM="$root/$native/tools/sim/scanlink-sim" >/dev/null
cmake --build "$build"

echo "=== 32-bit Windows: DLL and example, compiled and linked"
cmake -S . -B "$build32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
  -DSCANLINK_BUILD_TESTS=OFF -DSCANLINK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build32"
# cdecl: the C functions are exported without @N decoration.
dump32=$(i686-w64-mingw32-objdump -p "$build32/bin/scanlink.dll")
if grep -qE '\] _?scanlink_[a-z0-9_]+@[0-9]+$' <<<"$dump32"; then
  echo "32-bit scanlink.dll exports decorated C functions" >&2
  exit 1
fi
grep -qE '\] scanlink_open$' <<<"$dump32" ||
  { echo "32-bit scanlink.dll does not export scanlink_open" >&2; exit 1; }
c_functions=$(grep -oE 'SCANLINK_CALL scanlink_[a-z0-9_]+\(' include/scanlink/scanlink_c.h |
              sed -E 's/SCANLINK_CALL (.*)\(/\1/')
# The import library for MSVC beside each DLL: every C function, under the names an MSVC-built
# caller asks for (32-bit cdecl: one leading underscore, no @N), and a C program linked with it.
lib32=$(i686-w64-mingw32-nm "$build32/bin/scanlink.lib")
for name in $c_functions; do
  grep -qE "\] $name\$" <<<"$dump32" ||
    { echo "32-bit scanlink.dll does not export $name" >&2; exit 1; }
  grep -qE " __imp__$name\$" <<<"$lib32" ||
    { echo "32-bit scanlink.lib lacks __imp__$name" >&2; exit 1; }
done
i686-w64-mingw32-gcc-posix -std=c11 -pedantic-errors -Wall -Wextra -Werror -Iinclude \
  tests/capi/c_session.c "$build32/bin/scanlink.lib" -o "$build32/c_session_msvc_lib.exe"

echo "=== scanlink.dll: exports and imports"
dump=$(x86_64-w64-mingw32-objdump -p "$build/bin/scanlink.dll")
for name in _ZTV21CMyPcCommSocketClient _ZN21CMyPcCommSocketClientC1Ev _ZTV18CMyPcCommInterface \
            gHostAddr nTcpPort nTcpPortAlarm gFirstConnFlag gInitFinishFlag gLinkDownFlag \
            nScannerType TDorWCDMAConfig FingerTestFlag; do
  grep -qE "\] $name\$" <<<"$dump" || { echo "scanlink.dll does not export $name" >&2; exit 1; }
done
# The C interface: every function the header declares, undecorated, and in scanlink.lib.
lib64=$(x86_64-w64-mingw32-nm "$build/bin/scanlink.lib")
for name in $c_functions; do
  grep -qE "\] $name\$" <<<"$dump" || { echo "scanlink.dll does not export $name" >&2; exit 1; }
  grep -qE " __imp_$name\$" <<<"$lib64" ||
    { echo "scanlink.lib lacks __imp_$name" >&2; exit 1; }
done
imports=$(grep 'DLL Name' <<<"$dump" | awk '{print $3}' | tr '\n' ' ')
echo "imports: $imports"
if grep -qiE 'libstdc|libgcc|libwinpthread' <<<"$imports"; then
  echo "scanlink.dll needs a MinGW runtime DLL" >&2
  exit 1
fi
if grep -qE '\] _ZN8scanlink' <<<"$dump"; then
  echo "scanlink.dll exports internal symbols" >&2
  exit 1
fi

echo "=== consumer: installed headers and import library"
prefix="$root/$build/consumer/prefix"
rm -rf "$root/$build/consumer"
cmake --install "$build" --prefix "$prefix" >/dev/null
x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -I"$prefix/include" \
  tests/consumer/main.cpp -o "$root/$build/consumer/consumer.exe" \
  "$prefix/lib/libscanlink.dll.a" -static
cp "$prefix/bin/scanlink.dll" "$root/$build/consumer/"
[ -f "$prefix/bin/scanlink.lib" ] || { echo "scanlink.lib is not installed beside the DLL" >&2; exit 1; }

exec tests/netns-run "$0" --inside "$build" "$root/$build/consumer/consumer.exe" \
  "$root/$native/tools/sim/scanlink-sim"
