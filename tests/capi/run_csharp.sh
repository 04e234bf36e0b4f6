#!/bin/sh
# Compiles the C# program with mono's mcs and runs it against the library and two simulators
# (127.0.0.2 WCDMA, 127.0.0.3 TD), whose control inputs it is given. Exit 77 (skipped) only when
# mono is not installed.
#   run_csharp.sh SIMULATOR LIBRARY_DIR SOURCE
set -u
sim=$1 libdir=$2 source=$3
if ! command -v mcs >/dev/null || ! command -v mono >/dev/null; then
  echo "mono (mcs, mono-runtime) is not installed: scripts/bootstrap.sh installs it" >&2
  exit 77
fi
tmp=$(mktemp -d) pw= pt=
trap 'kill $pw $pt 2>/dev/null; wait 2>/dev/null; rm -rf "$tmp"' EXIT
mcs -nologo -warnaserror -out:"$tmp/TwoScanners.exe" "$source" || exit 1
mkfifo "$tmp/w.in" "$tmp/t.in"
"$sim" --bind 127.0.0.2 --port 5000 --alarm-port 8051 --family 11 --rate 50 --quiet \
  --log "$tmp/w.log" <"$tmp/w.in" &
pw=$!
exec 3>"$tmp/w.in"
"$sim" --bind 127.0.0.3 --port 5000 --alarm-port 8052 --family 21 --rate 50 --quiet \
  --log "$tmp/t.log" <"$tmp/t.in" &
pt=$!
exec 4>"$tmp/t.in"
for log in "$tmp/w.log" "$tmp/t.log"; do
  for _ in $(seq 200); do grep -qs '"listening"' "$log" && break; sleep 0.05; done
done
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" mono "$tmp/TwoScanners.exe" \
  "$tmp/w.in" "$tmp/t.in"
