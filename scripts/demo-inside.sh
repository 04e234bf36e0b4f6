#!/usr/bin/env bash
# Runs inside the demo's network namespace: simulator in the background, example in front.
set -euo pipefail
build=$1; shift
"$build/tools/sim/scanlink-sim" --bind 127.0.0.1 --port 5000 --family 21 --rate 5 --quiet \
  --log /dev/null < <(sleep 3600) &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
sleep 0.3
"$build/examples/scanlink-example" 127.0.0.1 5000 "$@"
