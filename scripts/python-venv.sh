#!/usr/bin/env bash
# Creates (once) a virtual environment in BUILD/venv with the Python package installed from
# python/ (editable), over Debian's matplotlib, pandas and pytest; nothing is fetched.
#   scripts/python-venv.sh [BUILD]      prints the environment's python
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(realpath -m "${1:-build}")/venv
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import scanlink' 2>/dev/null; then
  # Debian's interpreter: the one its python3-* packages are built for.
  py=/usr/bin/python3; [ -x "$py" ] || py=python3
  "$py" -m venv --system-site-packages "$venv" >&2
  "$venv/bin/pip" install --quiet --no-build-isolation --no-deps --no-index -e python >&2
fi
echo "$venv/bin/python"
