#!/usr/bin/env bash
# The ABI of libscanlink.so: its exported symbols and the public types they reach (those declared
# under include/scanlink only), recorded with abidw and compared with abidiff.
#
#   scripts/abi.sh check     build the library, compare it with abi/libscanlink.abi; non-zero exit
#                            on any change (a type's layout, a symbol added or removed)
#   scripts/abi.sh update    build the library and rewrite abi/libscanlink.abi: after a deliberate
#                            change of the exported API, commit the new file with that change
#
# Beside it, abi/enums.txt holds every enumerator of the public headers with its value: abidw
# records no enum that no exported function names, and a renumbered constant breaks a compiled
# caller all the same. check fails when one is added, removed or renumbered.
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
# Exported interfaces only, the public types they reach only, and only our own symbols (see
# abi/exported.suppr); source paths made relative to the tree.
abidw --headers-dir "$root/include/scanlink" --drop-private-types --exported-interfaces-only \
  --suppressions "$root/abi/exported.suppr" --no-corpus-path --no-comp-dir-path --no-show-locs \
  --no-elf-needed --type-id-style hash --out-file "$current" "$library"
sed -i "s|path='$root/|path='|" "$current"

# Every enumerator of the public headers, as the compiler evaluates it.
enums=$(mktemp) probe=$(mktemp -d)
trap 'rm -rf "$current" "$enums" "$probe"' EXIT
{
  echo '#include <cstdio>'
  echo '#include "scanlink/scanlink.h"'
  echo '#include "scanlink/scanlink_c.h"'
  echo 'int main() {'
  grep -ohE '\bSCANLINK_[A-Z0-9_]+ *=' "$root"/include/scanlink/*.h | tr -d ' =' | sort -u |
    while read -r name; do echo "  std::printf(\"%s %lld\\n\", \"$name\", (long long)$name);"; done
  echo '}'
} >"$probe/enums.cpp"
${CXX:-c++} -std=c++17 -I"$root/include" "$probe/enums.cpp" -o "$probe/enums"
"$probe/enums" >"$enums"

if [ "$mode" = update ]; then
  cp "$current" "$baseline"
  cp "$enums" "$root/abi/enums.txt"
  echo "abi: $baseline rewritten from $(basename "$library") ($(grep -c '<elf-symbol ' "$baseline") symbols)"
  exit 0
fi

[ -f "$baseline" ] || { echo "abi: no baseline $baseline (run $0 update)" >&2; exit 1; }
if ! diff -u "$root/abi/enums.txt" "$enums" >&2; then
  echo "abi: the public enumerators differ from abi/enums.txt; if deliberate, run '$0 update'." >&2
  exit 1
fi
status=0
abidiff --no-default-suppression --suppressions "$root/abi/exported.suppr" "$baseline" "$current" \
  || status=$?
if [ "$status" != 0 ]; then
  echo "abi: the exported ABI differs from abi/libscanlink.abi (abidiff status $status)." >&2
  echo "abi: if the change is deliberate, run 'scripts/abi.sh update' and commit the result." >&2
  exit 1
fi
echo "abi: exported ABI unchanged ($(grep -c '<elf-symbol ' "$baseline") symbols)"
