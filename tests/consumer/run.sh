#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds against it: a consumer with CMake's
# find_package and with pkg-config, and the example application (examples/) as a project of its
# own.
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/scanlink/scanlink.h"
test -f "$work/prefix/lib/cmake/scanlink/scanlinkConfig.cmake"
test -f "$work/prefix/lib/pkgconfig/scanlink.pc"

cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror "$here/main.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs scanlink)
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer-pc"
# The example application, configured on its own with find_package(scanlink). Without arguments
# it prints its usage and exits with 2, which also shows it loads the installed library.
cmake -S "$root/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" >/dev/null
status=0
LD_LIBRARY_PATH="$work/prefix/lib" "$work/example/scanlink-example" >/dev/null 2>"$work/usage" || status=$?
if [ "$status" != 2 ] || ! grep -q '^usage: ' "$work/usage"; then
  echo "the example built against the installed package did not run (status $status)" >&2
  exit 1
fi

# Only the API is exported from the shared object.
if nm -DC "$work/prefix/lib/libscanlink.so" | grep -E ' T .*scanlink::' ; then
  echo "internal symbols are exported" >&2
  exit 1
fi
echo "consumer: 3 passed, 0 failed"
