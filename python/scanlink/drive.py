"""Recording a drive from the simulator (tests and the documentation's pictures)."""
import os
import subprocess
from pathlib import Path


def record_drive(sim, tool, out, scan, seconds=2.0, family="21", sim_args=(), monitor_args=()):
    """Runs ``scanlink-sim`` on 127.0.0.1 and ``scanlink monitor --record out`` against it, in a
    private network namespace (tests/netns-run) unless already inside one (SCANLINK_NETNS=1).
    Also writes ``out + '.raw'``: the bytes the simulator sent. The recording declares the
    simulator's level convention (dBm + 150) unless monitor_args give one. Returns the path."""
    out = Path(out)
    script = r'''
        sim=$1 tool=$2 out=$3 family=$4 scan=$5 seconds=$6; shift 6
        simargs=(); while [ "$1" != -- ]; do simargs+=("$1"); shift; done; shift
        "$sim" --bind 127.0.0.1 --family "$family" --quiet --ignore-stdin --record "$out.raw" \
          --log "$out.log" "${simargs[@]}" &
        pid=$!
        for _ in $(seq 100); do grep -q listening "$out.log" 2>/dev/null && break; sleep 0.05; done
        "$tool" monitor --host 127.0.0.1 --scan "$scan" --seconds "$seconds" --quiet \
          --record "$out" "$@" >/dev/null
        status=$?
        kill $pid; wait $pid 2>/dev/null
        rm -f "$out.log"
        exit $status
    '''
    if "--level-unit" not in monitor_args:
        monitor_args = ["--level-offset", "-150", "--level-unit", "dBm", *monitor_args]
    args = ["bash", "-c", script, "_", str(sim), str(tool), str(out), family, scan, str(seconds),
            *sim_args, "--", *monitor_args]
    if os.environ.get("SCANLINK_NETNS") != "1":
        args = [str(Path(__file__).resolve().parents[2] / "tests" / "netns-run")] + args
    subprocess.run(args, check=True, timeout=seconds + 30)
    return out
