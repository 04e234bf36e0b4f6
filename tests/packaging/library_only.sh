#!/usr/bin/env bash
# The library builds with nothing but a compiler and CMake:
#  1. default generator, tools/tests/benchmarks/examples off: configures, builds, installs the
#     library, its headers and its CMake and pkg-config files, and nothing else;
#  2. every part left on while the tools' and the tests' packages are hidden: the configure
#     succeeds, says which parts it switched off and why, and everything else builds;
#  3. only GoogleTest hidden: the tests are switched off, the tools stay on.
#
#   tests/packaging/library_only.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
unset CMAKE_GENERATOR  # the plain default generator, whatever the caller prefers
jobs=$(nproc)
fail() { echo "library_only: $*" >&2; exit 1; }
# CMake wraps its messages: search the log as one line.
said() { tr -s ' \n' '  ' <"$1" | grep -F "$2" >/dev/null; }

# 1
cmake -S "$root" -B "$work/lib" -DSCANLINK_BUILD_TOOLS=OFF -DSCANLINK_BUILD_TESTS=OFF \
  -DSCANLINK_BUILD_BENCH=OFF -DSCANLINK_BUILD_EXAMPLES=OFF >"$work/lib.log" 2>&1 \
  || { cat "$work/lib.log"; fail "library-only configure failed"; }
grep -q '^CMAKE_GENERATOR:INTERNAL=Unix Makefiles$' "$work/lib/CMakeCache.txt" \
  || fail "not configured with the default generator"
cmake --build "$work/lib" -j"$jobs" >"$work/lib-build.log" 2>&1 \
  || { tail -40 "$work/lib-build.log"; fail "library-only build failed"; }
cmake --install "$work/lib" --prefix "$work/prefix" >/dev/null
for f in include/scanlink/scanlink.h include/scanlink/records.h include/scanlink/export.h \
         lib/libscanlink.so lib/libscanlink.so.1 lib/cmake/scanlink/scanlinkConfig.cmake \
         lib/cmake/scanlink/scanlinkConfigVersion.cmake lib/cmake/scanlink/scanlinkTargets.cmake \
         lib/pkgconfig/scanlink.pc; do
  test -e "$work/prefix/$f" || fail "not installed: $f"
done
extra=$(cd "$work/prefix" && find . -type f -o -type l | grep -v -E '^\./(include/scanlink/|lib/)' || true)
[ -z "$extra" ] || fail "installed beyond the library: $extra"

# 2
hide_all=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON
          -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
cmake -S "$root" -B "$work/bare" "${hide_all[@]}" >"$work/bare.log" 2>&1 \
  || { cat "$work/bare.log"; fail "configure without the optional packages failed"; }
said "$work/bare.log" 'the tools are not built: missing CLI11 (libcli11-dev), nlohmann-json'  \
  || fail "no message about the tools being switched off"
said "$work/bare.log" 'the tests are not built: missing GoogleTest'  \
  || fail "no message about the tests being switched off"
cmake --build "$work/bare" -j"$jobs" >"$work/bare-build.log" 2>&1 \
  || { tail -40 "$work/bare-build.log"; fail "build without the optional packages failed"; }
test -x "$work/bare/examples/scanlink-example" || fail "the example was not built"
test -x "$work/bare/bench/bench_throughput" || fail "the benchmarks were not built"
test ! -e "$work/bare/bench/bench_decode" || fail "bench_decode built without Google Benchmark"

# 3
cmake -S "$root" -B "$work/notest" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  >"$work/notest.log" 2>&1 || { cat "$work/notest.log"; fail "configure without GoogleTest failed"; }
said "$work/notest.log" 'the tests are not built'  || fail "tests not reported as off"
if said "$work/notest.log" 'the tools are not built'; then fail "tools switched off needlessly"; fi
[ ! -e "$work/notest/CTestTestfile.cmake" ] || ! grep -q 'subdirs("tests")' "$work/notest/CTestTestfile.cmake" \
  || fail "the tests were configured without GoogleTest"

echo "library_only: 3 passed, 0 failed"
