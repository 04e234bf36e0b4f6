#!/usr/bin/env bash
# Builds everything and runs every test (integration tests run in network namespaces of their
# own, in parallel).
set -euo pipefail
cd "$(dirname "$0")"
scripts/bootstrap.sh
scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$(( $(nproc) * 4 ))" "$@"
# The Python package against this build's library and tools, in a network namespace of its own
# (its simulators listen on 127.0.0.1).
python=$(scripts/python-venv.sh build)
tests/netns-run env SCANLINK_NETNS=1 SCANLINK_BUILD="$PWD/build" "$python" -m pytest -q python/tests
