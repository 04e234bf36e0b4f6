#!/usr/bin/env bash
# Builds everything and runs every test (integration tests run in network namespaces of their
# own, in parallel).
set -euo pipefail
cd "$(dirname "$0")"
scripts/bootstrap.sh
scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$(( $(nproc) * 4 ))" "$@"
