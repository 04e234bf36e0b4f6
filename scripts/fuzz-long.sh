#!/usr/bin/env bash
# The long fuzz run: every target for at least 10 minutes (FUZZ_SECONDS, default 600) on its seed
# corpus, as many at once as there are cores; prints executions, coverage (cov/ft from libFuzzer's
# final stats), the inputs it added and its findings per target, and fails on any finding.
# The other settings are those of fuzz-ci.sh.
set -euo pipefail
export FUZZ_SECONDS=${FUZZ_SECONDS:-600}
exec "$(dirname "$0")/fuzz-ci.sh" "$@"
