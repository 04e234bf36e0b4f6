#!/usr/bin/env bash
# The main job: builds the library, starts the scanner simulator and runs the example
# application against it, in a private network namespace (the alarm port 8050 is fixed).
set -euo pipefail
cd "$(dirname "$0")"
scripts/bootstrap.sh
scripts/build.sh build -DSCANLINK_BUILD_BENCH=OFF
exec tests/netns-run scripts/demo-inside.sh build "$@"
