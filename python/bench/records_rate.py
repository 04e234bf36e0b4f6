"""Records per second through Scanner.records(): a feeder process streams the report frames of
the regression captures as fast as the data connection takes them, and the application side
counts the records it iterates (reading one field of each, as an application would).

    python python/bench/records_rate.py [--records N] [--address 127.0.0.1] [--port 5000]

Run it in a network namespace of its own (tests/netns-run), against the build the package
finds (SCANLINK_LIBRARY, or a build folder of this tree). Prints one "figure|" line in the
format scripts/figures.sh tabulates."""
import argparse
import resource
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
GOAL = 50000


def report_frames():
    """The report frames (meant for every module) of every capture, in capture order."""
    frames = []
    for path in sorted((ROOT / "tests" / "captures").glob("*.scl")):
        data = path.read_bytes()
        while data.startswith(b"#"):  # the text header
            data = data[data.index(b"\n") + 1:]
        at = 0
        while at + 8 <= len(data) and data[at] == 0x55:
            length = 8 + int.from_bytes(data[at + 6:at + 8], "big")
            if int.from_bytes(data[at + 4:at + 6], "big") == 0xFFFF:
                frames.append(data[at:at + length])
            at += length
    return frames


def feed(address, port, alarm_port, count):
    """The scanner's side: accepts both connections, writes count report frames, then waits
    for the client to close."""
    frames = report_frames()
    block = b"".join(frames)
    listeners = []
    for p in (port, alarm_port):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, p))
        s.listen(1)
        listeners.append(s)
    print("listening", flush=True)
    alarm = []
    threading.Thread(target=lambda: alarm.append(listeners[1].accept()[0]), daemon=True).start()
    data, _ = listeners[0].accept()
    sent = 0
    while sent + len(frames) <= count:
        data.sendall(block)
        sent += len(frames)
    data.sendall(b"".join(frames[:count - sent]))
    data.recv(1)  # until the client closes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=200000)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5000)
    parser.add_argument("--read-bodies", action="store_true",
                        help="read every record's body too (parsed only when first read)")
    parser.add_argument("--feed", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    alarm_port = args.port + 1
    if args.feed:
        feed(args.address, args.port, alarm_port, args.records)
        return
    from scanlink import Scanner
    from scanlink.scanner import library_version

    feeder = subprocess.Popen([sys.executable, __file__, "--feed", "--records", str(args.records),
                               "--address", args.address, "--port", str(args.port)],
                              stdout=subprocess.PIPE, text=True)
    try:
        feeder.stdout.readline()
        n, codes, first = 0, 0, None
        with Scanner(args.address, args.port, alarm_port) as s:
            for record in s.records(timeout=5):
                if first is None:
                    first = time.perf_counter()
                codes += record.code
                if args.read_bodies:
                    record.body
                n += 1
                if n == args.records:
                    break
            elapsed = time.perf_counter() - first if first else 0
            counters = s.counters()
    finally:
        feeder.kill()
        feeder.wait()
    rate = (n - 1) / elapsed if elapsed > 0 else 0
    lost = args.records - n
    print(f"library {library_version()}, Python {sys.version.split()[0]}")
    print(f"{n} records of {args.records} in {elapsed:.2f} s: {rate:,.0f} records/s; "
          f"library: {counters['frames_received']} frames, {counters['frames_delivered']} "
          f"delivered")
    use = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (use.ru_utime + use.ru_stime) / max(n, 1) * 1e6
    print(f"whole process (start-up included): CPU {cpu:.1f} us/record (user "
          f"{use.ru_utime:.2f} s, system {use.ru_stime:.2f} s), context switches "
          f"{(use.ru_nvcsw + use.ru_nivcsw) / max(n, 1):.2f}/record; {1e3 / cpu:.1f} k records "
          f"per CPU second (what a core of its own would allow)")
    met = "yes" if rate >= GOAL and lost == 0 else "no"
    what = "records/s through Scanner.records()" + (", every body read" if args.read_bodies else "")
    print(f"figure|python_records|{what}|{rate / 1e3:.1f} k/s|"
          f"-|>= {GOAL // 1000} k/s, 0 lost|{met}")
    return 0 if n == args.records else 1


if __name__ == "__main__":
    sys.exit(main())
