"""python3 -m scanlink plot sweeps|route RECORDING -o PICTURE.png|svg [options]"""
import argparse
import sys

from .records import read_jsonl, read_records


def load(path, bs_list=None):
    if str(path).endswith((".jsonl", ".json")):
        return read_jsonl(path)
    return read_records(path, bs_list=bs_list)


def recorded_scanner(path):
    """"host:port" of the scanner a recording of ``monitor --record`` was made from, or None."""
    from .recording import RecordingError, read_recording

    if str(path).endswith((".jsonl", ".json")):
        return None
    try:
        header = read_recording(path).header
    except (OSError, RecordingError):
        return None
    host, port = header.get("scanner"), header.get("port")
    return f"{host}:{port}" if host and port else host


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m scanlink",
                                     description="Pictures of scanner recordings.")
    commands = parser.add_subparsers(dest="command", required=True)
    plot = commands.add_parser("plot", help="draw a recording (pcapng, pcap, .scl, or JSON Lines)")
    plot.add_argument("kind", choices=["sweeps", "route"],
                      help="sweeps: waterfall with latest and max-hold; route: the map")
    plot.add_argument("recording")
    plot.add_argument("-o", "--output", required=True, help="picture file, .png or .svg")
    plot.add_argument("--colour", "--color", choices=["level", "verdict"], default="level",
                      help="route points coloured by the best cell level or the worst verdict")
    plot.add_argument("--bs-list", help="base-station list (CSV) to draw and check against")
    plot.add_argument("--title")
    plot.add_argument("--level-range", nargs=2, type=float, metavar=("LOW", "HIGH"),
                      help="route colour limits (default -120 -40 for dBm, else the drive's own)")
    plot.add_argument("--scanner", help="scanner named in the title (default: the records')")
    args = parser.parse_args(argv)
    if not args.output.lower().endswith((".png", ".svg")):
        parser.error("the picture file must end in .png or .svg")
    from . import plots

    try:
        records = load(args.recording, args.bs_list)
        scanner = args.scanner or recorded_scanner(args.recording)
        if args.kind == "sweeps":
            plots.plot_sweeps(records, args.output, title=args.title, scanner=scanner)
        else:
            plots.plot_route(records, args.output, colour=args.colour, stations=args.bs_list,
                             title=args.title, level_range=args.level_range,
                             scanner=scanner)
    except (OSError, ValueError, RuntimeError) as e:
        print(f"scanlink plot: {e}", file=sys.stderr)
        return 1
    print(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
