#!/usr/bin/env bash
# scripts/abi.sh check tells a change of the exported layout from a change of internal code: on a
# copy of the tree, a member added to an exported struct fails the check (the counters' structs
# already fail the build), a virtual operation added to the exported client class fails it, and a
# member added to an internal struct passes.
#
#   tests/packaging/abi_check.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "abi_check: $*" >&2; exit 1; }

tree=$work/tree
mkdir -p "$tree"
(cd "$root" && git ls-files -z -- CMakeLists.txt cmake include src abi scripts/abi.sh |
   xargs -0 cp --parents -t "$tree")
export SCANLINK_ABI_BUILD=$work/build

# One edit at a time on the pristine copy; the check's exit status is what is returned.
check_with() {
  local file=$1 anchor=$2 line=$3
  cp "$tree/$file" "$work/saved"
  grep -q -F "$anchor" "$tree/$file" || fail "anchor not found in $file: $anchor"
  awk -v a="$anchor" -v l="$line" '{ print } index($0, a) && !done { print l; done = 1 }' \
    "$work/saved" >"$tree/$file"
  local status=0
  "$tree/scripts/abi.sh" check >"$work/out" 2>&1 || status=$?
  cp "$work/saved" "$tree/$file"
  return $status
}

"$tree/scripts/abi.sh" check >"$work/out" 2>&1 || { cat "$work/out"; fail "the pristine copy fails the check"; }

if check_with include/scanlink/scanlink_c.h "uint64_t partial_bytes;" "  uint64_t added;"; then
  fail "a member added to scanlink_decode_stats went unnoticed"
fi
grep -q "scanlink_decode_stats" "$work/out" || fail "the report does not name the changed type"

# The counters' structs are held against the counter list when the library builds, so a member
# added to one alone stops the build before the comparison.
if check_with include/scanlink/scanlink.h "uint64_t queueHighWater;" "  uint64_t added;"; then
  fail "a member added to ScanlinkCounters went unnoticed"
fi

if check_with include/scanlink/scanlink.h "virtual ~CMyPcCommSocketClient();" \
  "  virtual int AddedOperation() { return 0; }"; then
  fail "a virtual operation added to the client went unnoticed"
fi

check_with src/transport/library_state.h "struct Counters {" \
  "  std::atomic<uint64_t> added{0};" || { cat "$work/out"; fail "an internal change failed the check"; }

echo "abi_check: 5 passed, 0 failed"
