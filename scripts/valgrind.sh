#!/usr/bin/env bash
# Runs the integration tests under valgrind memcheck, each test case in its own process and
# network namespace, several at a time. Fails on any invalid access or leak.
#   scripts/valgrind.sh BUILD_DIR [gtest filter]
set -euo pipefail
build=$(realpath "$1")
filter=${2:-*}
root=$(cd "$(dirname "$0")/.." && pwd)
# Cases that assert wall-clock bounds (promptness, retry pauses) are left to the plain and
# sanitizer runs: under valgrind everything is ten times slower.
exclude="Prompt|SilentScanner|RefusedDataPort|StalledPeer|SlowReader|Soak"
list=()
for bin in bringup_tests link_tests supervision_tests; do
  exe="$build/tests/integration/$bin"
  while read -r name; do
    list+=("$exe $name")
  done < <("$exe" --gtest_list_tests --gtest_filter="$filter" |
           awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}' | grep -Ev "$exclude" || true)
done
printf '%s\n' "${list[@]}" | xargs -P "$(nproc)" -L 1 sh -c '
  out=$(mktemp)
  if "'"$root"'/tests/netns-run" valgrind --error-exitcode=9 --leak-check=full \
       --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect -q \
       "$0" --gtest_filter="$1" >"$out" 2>&1; then
    echo "valgrind ok: $1"; rm -f "$out"
  else
    echo "valgrind FAILED: $1"; cat "$out"; rm -f "$out"; exit 255
  fi'
echo "valgrind: ${#list[@]} passed, 0 failed"
