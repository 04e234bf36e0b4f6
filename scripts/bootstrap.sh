#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, when it is missing, and
# the packages named on the command line. `scripts/bootstrap.sh demo` installs only what
# ./demo.sh needs.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev iproute2 util-linux pkg-config valgrind nftables
          tshark python3 libxml2-utils "$@")
# The Python package and its tests (python/).
packages+=(python3-venv python3-matplotlib python3-pandas python3-pytest)
missing=()
# The ABI check of the exported API (scripts/abi.sh).
packages+=(abigail-tools)
# The C interface from C# (tests/capi/csharp).
packages+=(mono-mcs mono-runtime)
# The live page's web libraries, and the browser its tests drive.
packages+=(libjs-leaflet libjs-chart.js chromium chromium-driver python3-selenium)
if [ "${1:-}" = demo ]; then
  packages=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev)
fi
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
