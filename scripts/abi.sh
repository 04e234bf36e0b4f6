#!/usr/bin/env bash
# The ABI of libscanlink.so: its exported symbols and the public types they reach (those declared
# under include/scanlink only), recorded with abidw and compared with abidiff.
#
#   scripts/abi.sh check     build the library, compare it with abi/libscanlink.abi; non-zero exit
#                            on any change (a type's layout, a symbol added or removed)
#   scripts/abi.sh update    build the library and rewrite abi/libscanlink.abi: after a deliberate
#                            change of the exported API, commit the new file with that change
#
# The record holds the symbols of the exported classes, functions and variables and the types
# declared under include/scanlink that they reach; internal code may change freely. The library is
# built in build-abi as RelWithDebInfo (-O2 -g), tools, tests, benchmarks and
# examples off. The record leaves out paths, source lines and DT_NEEDED entries, so the same
# compiler gives the same file on any machine. Needs abigail-tools (scripts/bootstrap.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
baseline=$root/abi/libscanlink.abi
build=${SCANLINK_ABI_BUILD:-$root/build-abi}

mode=${1:-}
case $mode in
  check | update) ;;
  *) echo "usage: $0 check|update" >&2; exit 2 ;;
esac
for tool in abidw abidiff; do
  command -v "$tool" >/dev/null || { echo "$tool not found: install abigail-tools" >&2; exit 2; }
done

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()
# No compiler launcher: a cache that rewrites paths would hide where the public types are declared.
unset CMAKE_CXX_COMPILER_LAUNCHER
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER_LAUNCHER= \
  -DSCANLINK_SANITIZE= -DSCANLINK_BUILD_TOOLS=OFF -DSCANLINK_BUILD_TESTS=OFF \
  -DSCANLINK_BUILD_BENCH=OFF -DSCANLINK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target scanlink >/dev/null
library=$(readlink -f "$build/libscanlink.so")

current=$(mktemp)
trap 'rm -f "$current"' EXIT
# Exported interfaces only, the public types they reach only, and only our own symbols (see
# abi/exported.suppr); source paths made relative to the tree.
abidw --headers-dir "$root/include/scanlink" --drop-private-types --exported-interfaces-only \
  --suppressions "$root/abi/exported.suppr" --no-corpus-path --no-comp-dir-path --no-show-locs \
  --no-elf-needed --type-id-style hash --out-file "$current" "$library"
sed -i "s|path='$root/|path='|" "$current"

if [ "$mode" = update ]; then
  cp "$current" "$baseline"
  echo "abi: $baseline rewritten from $(basename "$library") ($(grep -c '<elf-symbol ' "$baseline") symbols)"
  exit 0
fi

[ -f "$baseline" ] || { echo "abi: no baseline $baseline (run $0 update)" >&2; exit 1; }
status=0
abidiff --no-default-suppression --suppressions "$root/abi/exported.suppr" "$baseline" "$current" \
  || status=$?
if [ "$status" != 0 ]; then
  echo "abi: the exported ABI differs from abi/libscanlink.abi (abidiff status $status)." >&2
  echo "abi: if the change is deliberate, run 'scripts/abi.sh update' and commit the result." >&2
  exit 1
fi
echo "abi: exported ABI unchanged ($(grep -c '<elf-symbol ' "$baseline") symbols)"
