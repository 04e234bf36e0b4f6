#!/usr/bin/env python3
"""Draws docs/images/sweeps.png and route.png from simulator drives:
python3 docs/images/make.py [BUILD]   (the package on the path, e.g. build/venv/bin/python)."""
import sys
import tempfile
from pathlib import Path

root = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(root / "python"))
import scanlink  # noqa: E402
from scanlink.drive import record_drive  # noqa: E402

build = Path(sys.argv[1] if len(sys.argv) > 1 else root / "build").resolve()
sim, tool = build / "tools/sim/scanlink-sim", build / "tools/scanlink/scanlink"
stations = root / "tests/captures/stations.csv"
here = Path(__file__).resolve().parent
with tempfile.TemporaryDirectory() as tmp:
    # The simulator drives at town speeds in real time: the route map takes four minutes.
    sweeps = record_drive(sim, tool, Path(tmp) / "sweeps.pcapng",
                          "w-mode 4 2105000 2135000 200 0 0 0 0 0 0 0 0 0 0 0", seconds=30,
                          family="11", sim_args=["--rate", "5"])
    scanlink.plot_sweeps(scanlink.read_records(sweeps), here / "sweeps.png",
                         title="WCDMA sweep, simulator drive (30 s)")
    route = record_drive(sim, tool, Path(tmp) / "route.pcapng",
                         "td-cells 10054/1,10055/2,10071/3,10080/4 1", seconds=240,
                         sim_args=["--rate", "2", "--bs-list", str(stations),
                                   "--bad-cell-every", "2", "--delay-error", "40"],
                         monitor_args=["--bs-list", str(stations), "--gps-limit", "5"])
    records = scanlink.read_records(route)
    scanlink.plot_route(records, here / "route.png", stations=stations,
                        title="TD cell scan, simulator drive: strongest cell level")
    scanlink.plot_route(records, here / "route-verdict.png", colour="verdict", stations=stations,
                        title="TD cell scan, simulator drive: GPS check of the strongest cell")
