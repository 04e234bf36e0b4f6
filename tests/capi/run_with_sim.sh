#!/bin/sh
# Starts the simulator on ADDRESS, data port 5000 and alarm port 8051, runs the rest of the
# command line with ADDRESS 5000 8051 appended, and stops the simulator.
#   run_with_sim.sh SIMULATOR ADDRESS PROGRAM [ARGS...]
set -u
sim=$1 address=$2
shift 2
log=$(mktemp)
"$sim" --bind "$address" --port 5000 --alarm-port 8051 --ignore-stdin --quiet --log "$log" &
pid=$!
for _ in $(seq 200); do grep -qs '"listening"' "$log" && break; sleep 0.05; done
status=0
"$@" "$address" 5000 8051 || status=$?
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
rm -f "$log"
exit "$status"
