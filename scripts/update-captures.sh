#!/usr/bin/env bash
# Regression captures (tests/captures): rebuilds the expected JSON Lines of every capture with
# `scanlink decode --json`, after a deliberate change of the decoder or of the output.
#
#   scripts/update-captures.sh [BUILD]           expected files only (BUILD defaults to build)
#   scripts/update-captures.sh --record [BUILD]  first records the simulator captures again
#
# Captures from a real scanner are kept as they are; only the simulator's are re-recorded.
set -euo pipefail
cd "$(dirname "$0")/.."
record=0
if [ "${1:-}" = --record ]; then record=1; shift; fi
build=${1:-build}
scanlink=$build/tools/scanlink/scanlink
sim=$build/tools/sim/scanlink-sim
cmake --build "$build" --target scanlink-tool >/dev/null
dir=tests/captures

# NAME FAMILY FINGER "SCAN OPERATION" "NOTES" [SIM OPTIONS...]
scenario() {
  local name=$1 family=$2 finger=$3 scan=$4 notes=$5; shift 5
  local raw; raw=$(mktemp)
  tests/netns-run bash -c '
    sim=$1 scanlink=$2 raw=$3 family=$4 scan=$5; shift 5
    "$sim" --bind 127.0.0.1 --family "$family" --rate 20 --quiet --record "$raw" \
      --log "$raw.log" --ignore-stdin "$@" &
    pid=$!
    for _ in $(seq 50); do grep -q listening "$raw.log" 2>/dev/null && break; sleep 0.1; done
    "$scanlink" monitor --host 127.0.0.1 --scan "$scan" --seconds 1 >/dev/null
    kill $pid; wait $pid 2>/dev/null || true
  ' _ "$sim" "$scanlink" "$raw" "$family" "$scan" "$@"
  {
    echo "# scanlink capture: the bytes a scanner sent on the data connection"
    echo "# source: scanlink-sim --family $family $* (scanlink monitor --scan \"$scan\")"
    echo "# date: $(date -u +%Y-%m-%d)"
    echo "# notes: $notes"
    echo "# finger-test: $finger"
    if [[ " $* " == *" --bs-list "* ]]; then echo "# bs-list: stations.csv"; echo "# gps-limit: 5"; fi
    cat "$raw"
  } > "$dir/$name.scl"
  rm -f "$raw" "$raw.log"
}

if [ $record = 1 ]; then
  scenario td-cells 21 1 "td-cells 10054/1,10055/2,10071/3,10080/4,20001/7 1" \
    "TD cell-list scan with finger test; every second listed station reports a delay 40 quarter chips off; 20001/7 is not in the list" \
    --bs-list "$dir/stations.csv" --bad-cell-every 2 --delay-error 40 --speed 30
  scenario td-sweep 21 0 "td-sa 2010000 2012000 1 100 0 0 0 0" "TD SA scan: sweep reports 0xF026"
  scenario td-profile 22 0 "dpch 0 0 1 2 3 4 5 6 00 00" "TD DPCH scan: profile reports 0xF100"
  scenario td-values 21 0 "td-freqs 10054,10055,10071" "TD frequency-list scan: value lists 0xF027"
  scenario wcdma-sweep 11 0 "w-mode 4 2110000 2114000 200 0 0 0 0 0 0 0 0 0 0 0" \
    "WCDMA mode 4: sweep reports 73"
  scenario wcdma-cells 12 0 "w-mode 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0" "WCDMA mode 1: cell records 41"
  scenario wcdma-list 11 0 "w-cells 0 0 0 100/1,200/2,300/3" "WCDMA cell list: cell records 40"
fi

for capture in "$dir"/*.scl; do
  "$scanlink" decode --json "$capture" > "${capture%.scl}.jsonl"
  echo "$(basename "$capture"): $(wc -l < "${capture%.scl}.jsonl") records"
done
