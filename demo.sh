#!/usr/bin/env bash
# The main job: builds the library, the simulator and the scanlink command line (nothing else),
# then runs `scanlink demo`, which starts the simulator on a free loopback address and drives
# it through the library. Built unoptimised and with the tools' units batched (SCANLINK_UNITY):
# compiling dominates, the demo needs no speed.
# Options go to `scanlink demo` (see build-demo/tools/scanlink/scanlink demo --help).
set -euo pipefail
cd "$(dirname "$0")"
scripts/bootstrap.sh demo
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=None -DSCANLINK_BUILD_TESTS=OFF \
  -DSCANLINK_BUILD_BENCH=OFF -DSCANLINK_BUILD_EXAMPLES=OFF -DSCANLINK_UNITY=ON >/dev/null
cmake --build build-demo --target scanlink-tool
exec build-demo/tools/scanlink/scanlink demo "$@"
