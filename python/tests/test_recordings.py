"""Recordings into records, data frames and pictures."""
import json
import math
import subprocess
import sys

import pytest

import scanlink
from scanlink import plots
from conftest import CAPTURES
from scanlink.recording import TO_SCANNER, RecordingError, read_recording

CAPTURE_NAMES = sorted(p.stem for p in CAPTURES.glob("*.scl"))


@pytest.mark.parametrize("name", CAPTURE_NAMES)
def test_records_equal_the_decoders_json(name):
    records = scanlink.read_records(CAPTURES / f"{name}.scl")
    expected = scanlink.read_jsonl(CAPTURES / f"{name}.jsonl")
    assert len(records) == len(expected) > 0
    assert records == expected


def test_records_have_named_fields():
    r = next(r for r in scanlink.read_jsonl(CAPTURES / "td-cells.jsonl") if r.kind == "report")
    assert (r.name, r.code) == ("TDCellReport", 0xF025)
    assert r.body.position.latitude == pytest.approx(39.9)
    assert r.body.cells[0].cellKey1 == 10054 and r.body.cells[0].verdict == "found"
    assert r.time is None  # a raw stream carries no arrival times
    with pytest.raises(AttributeError):
        r.body.nonexistent


def test_data_frame_one_row_per_report_with_verdicts():
    records = scanlink.read_jsonl(CAPTURES / "td-cells.jsonl")
    reports = [r for r in records if r.kind == "report"]
    frame = scanlink.to_dataframe(records)
    assert len(frame) == len(reports)
    for column in ["time", "code", "name", "latitude", "longitude", "position", "level_unit",
                   "level_max", "best_cell", "worst_verdict", "level 10054/1",
                   "level_raw 10054/1", "verdict 10055/2", "delay 20001/7"]:
        assert column in frame.columns
    cells = frame[frame.name == "TDCellReport"]
    assert set(cells["verdict 10055/2"]) == {"delay-mismatch"}
    assert set(cells["worst_verdict"]) == {"delay-mismatch"}
    first = reports[0].body.cells[0]
    # The capture declares the simulator's convention: the mean of the samples, in dBm.
    mean = sum(first.cellValues) / len(first.cellValues)
    assert cells["level 10054/1"].iloc[0] == pytest.approx(mean - 150, abs=1e-3)
    assert cells["level_raw 10054/1"].iloc[0] == pytest.approx(mean)
    assert set(cells["level_unit"]) == {"dBm"} and set(cells["position"]) == {"reported"}
    assert frame.groupby("name").size()["TDCellReport"] == len(cells)
    long = scanlink.cells_dataframe(records)
    assert len(long) == sum(len(r.body.cells) for r in reports if "cells" in r.body)
    assert long.groupby("cell").size()["10071/3"] == len(cells)


def test_sweep_waterfall(tmp_path):
    records = scanlink.read_jsonl(CAPTURES / "td-sweep.jsonl")
    sweeps = [r for r in records if r.name == "TDSweepReport"]
    fig = scanlink.plot_sweeps(records, tmp_path / "s.png")
    top, fall = fig.axes[0], fig.axes[1]
    mesh = fall.collections[0]
    assert mesh.get_array().size == len(sweeps) * 21
    assert mesh.get_array().max() == max(max(s.body.points) for s in sweeps) - 150
    assert [line.get_label() for line in top.lines] == ["max hold", f"latest (sweep {len(sweeps)})"]
    assert fall.get_xlabel() == "frequency (MHz)" and "(dBm)" in top.get_ylabel()
    assert fig.axes[2].get_ylabel() == "level (dBm)"  # the colour bar
    assert fall.get_xlim() == pytest.approx((2009.95, 2012.05))
    # Many sweeps: the waterfall is one raster image in an SVG, not a path per cell.
    many = [r.to_dict() for r in sweeps] * 200
    scanlink.plot_sweeps(many, tmp_path / "s.svg")
    assert (tmp_path / "s.png").stat().st_size > 10000
    svg = (tmp_path / "s.svg").read_text()
    assert svg.count("<svg") == 1 and svg.count("<image") == 2  # and the colour bar
    assert len(svg) < 400_000
    # Without a declared convention the levels stay raw and say so.
    raw = [dict(r, body={k: v for k, v in r["body"].items() if not k.startswith("level")})
           for r in many]
    assert scanlink.plot_sweeps(raw).axes[2].get_ylabel() == "level (raw)"


@pytest.mark.parametrize("colour", ["level", "verdict"])
def test_route_map(tmp_path, colour):
    records = scanlink.read_jsonl(CAPTURES / "td-cells.jsonl")
    positioned = [r for r in records if r.kind == "report" and "position" in r.body]
    fig = scanlink.plot_route(records, tmp_path / "r.png", colour=colour,
                              stations=CAPTURES / "stations.csv")
    ax = fig.axes[0]
    points = sum(len(c.get_offsets()) for c in ax.collections)
    assert points == len(positioned) + 4  # and the four base stations
    assert ax.get_xlabel() == "longitude (°E)" and ax.get_ylabel() == "latitude (°N)"
    assert ax.get_aspect() == pytest.approx(1 / math.cos(math.radians((39.9 + 39.912) / 2)), rel=1e-3)
    labels = [t for t in ax.texts if "(" in t.get_text()]
    assert len(labels) == 4 and any(t.get_text() == "500 m" for t in ax.texts)
    # The scale bar lies clear of the route and the stations.
    bar = next(line for line in ax.lines if line.get_linewidth() == 3)
    (x0, x1), y = sorted(bar.get_xdata()), bar.get_ydata()[0]
    near = (ax.get_ylim()[1] - ax.get_ylim()[0]) * 0.02
    route = [p for c in ax.collections for p in c.get_offsets()]
    assert not any(x0 <= px <= x1 and abs(py - y) < near for px, py in route)
    if colour == "level":  # fixed limits in dBm, so drives compare
        assert fig.axes[1].get_ylabel() == "best cell level (dBm)"
        assert ax.collections[0].get_clim() == plots.DBM_RANGE
    r = fig.canvas.get_renderer()
    boxes = [t.get_window_extent(r) for t in labels] + [ax.get_legend().get_window_extent(r)]
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:])
    assert (tmp_path / "r.png").stat().st_size > 10000


def test_command_line_plots(tmp_path):
    out = tmp_path / "route.svg"
    run = subprocess.run([sys.executable, "-m", "scanlink", "plot", "route",
                          str(CAPTURES / "td-cells.scl"), "-o", str(out), "--colour", "verdict",
                          "--bs-list", str(CAPTURES / "stations.csv")], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "latitude (°N)" in out.read_text()
    bad = subprocess.run([sys.executable, "-m", "scanlink", "plot", "sweeps",
                          str(CAPTURES / "td-cells.scl"), "-o", str(tmp_path / "x.png")],
                         capture_output=True, text=True)
    assert bad.returncode == 1 and "no sweep reports" in bad.stderr


def test_bad_input_gives_clear_exceptions(tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError, match="no recording"):
        scanlink.read_records(tmp_path / "missing.pcapng")
    (tmp_path / "bad.pcapng").write_bytes(b"\x0a\x0d\x0d\x0a" + b"\x00" * 30)
    with pytest.raises(scanlink.DecodeError):
        scanlink.read_records(tmp_path / "bad.pcapng")
    with pytest.raises(ValueError, match="colour"):
        scanlink.plot_route(scanlink.read_jsonl(CAPTURES / "td-cells.jsonl"), colour="red")
    with pytest.raises(ValueError, match="no positioned reports"):
        scanlink.plot_route(scanlink.read_jsonl(CAPTURES / "td-sweep.jsonl"))
    monkeypatch.setenv("SCANLINK_LIBRARY", str(tmp_path / "nowhere" / "libscanlink.so"))
    monkeypatch.setattr("scanlink._library._loaded", None)
    with pytest.raises(scanlink.LibraryNotFound, match="SCANLINK_LIBRARY"):
        scanlink.load_library()


def test_reading_recordings(td_drive):
    scl = read_recording(CAPTURES / "td-cells.scl")
    assert scl.format == "stream" and scl.header["finger-test"] == "1"
    raw = (CAPTURES / "td-cells.scl").read_bytes()
    assert raw.endswith(scl.scanner_stream()) and scl.scanner_stream()[:1] == b"\x55"

    drive = read_recording(td_drive)
    assert drive.format == "pcapng" and drive.header["scanner"] == "127.0.0.1"
    assert not drive.warnings
    sent = read_recording(td_drive.parent / (td_drive.name + ".raw")).scanner_stream()
    stream = drive.scanner_stream()
    assert len(stream) > 1000 and sent.startswith(stream)
    commands = [p for p in drive.packets if p.direction == TO_SCANNER]
    assert commands and all(p.time_us > 1.7e15 for p in drive.packets)
    times = [p.time_us for p in drive.packets]
    assert times == sorted(times)

    records = scanlink.read_records(td_drive)
    frame = scanlink.to_dataframe(records)
    cells = frame[frame.name == "TDCellReport"]
    assert len(cells) > 10 and cells.time.notna().all() and cells.time.is_monotonic_increasing
    assert set(cells["verdict 10055/2"]) == {"delay-mismatch"}
    assert set(cells["verdict 10054/1"]) == {"found"}


def test_the_level_convention_travels_from_the_simulators_recording(td_drive, tmp_path):
    """The simulator declares "dBm + 150" in its recording, monitor records the convention it
    was given: the command line, JSON, export and data frame all read the levels alike."""
    from conftest import TOOL

    for path in [td_drive.parent / (td_drive.name + ".raw"), td_drive]:
        assert read_recording(path).header["level-unit"] == "dBm"
        text = subprocess.run([str(TOOL), "decode", str(path)], capture_output=True,
                              text=True).stdout
        assert " dBm" in text and " raw" not in text
        records = scanlink.read_records(path)
        cells = [c for r in records if r.kind == "report" for c in r.body.get("cells", [])]
        assert cells and all(c.levels == [v - 150 for v in c.cellValues] for c in cells)
        frame = scanlink.to_dataframe(records)
        assert set(frame.level_unit.dropna()) == {"dBm"}
        first = cells[0]
        key = f"{first.cellKey1}/{first.cellKey2}"
        assert frame[f"level {key}"].iloc[0] == pytest.approx(first.level)
        out = tmp_path / "drive.csv"
        subprocess.run([str(TOOL), "export", "--format", "csv-long", str(path), "-o", str(out)],
                       check=True)
        import csv

        rows = list(csv.DictReader(out.open(newline="")))
        assert float(rows[0]["level_dBm"]) == pytest.approx(first.level, abs=1e-3)
        assert float(rows[0]["level_raw"]) == pytest.approx(first.level + 150, abs=1e-3)
    # Declared nothing: raw, never dBm.
    bare = tmp_path / "bare.scl"
    bare.write_bytes(read_recording(td_drive).scanner_stream())
    records = scanlink.read_records(bare)
    assert {r.body.levelUnit for r in records if "levelUnit" in r.body} == {"raw"}
    assert set(scanlink.to_dataframe(records).level_unit.dropna()) == {"raw"}


def test_sweeps_are_placed_between_the_fixes_around_them():
    def report(time, body):
        return {"kind": "report", "name": "x", "code": 0, "time": time, "body": body}

    fix = {"position": {"latitude": 40.0, "longitude": 116.0}, "values": [60], "levels": [-90]}
    later = dict(fix, position={"latitude": 40.2, "longitude": 116.4})
    sweep = {"start": 1, "step": 1, "points": [50, 60], "levels": [-100, -90],
             "levelUnit": "dBm"}
    frame = scanlink.to_dataframe([
        report("2026-12-10T10:00:00Z", fix), report("2026-12-10T10:00:05Z", sweep),
        report("2026-12-10T10:00:10Z", later), report("2026-12-10T10:01:00Z", sweep)])
    assert list(frame.position) == ["reported", "interpolated", "reported", None]
    assert frame.latitude[1] == pytest.approx(40.1) and frame.longitude[1] == pytest.approx(116.2)
    assert frame.level_max[1] == -90 and frame.level_unit[1] == "dBm"


def test_unreadable_recordings(tmp_path):
    (tmp_path / "bad.pcapng").write_bytes(b"\x0a\x0d\x0d\x0a\x1c\x00\x00\x00" + b"\x00" * 24)
    with pytest.raises(RecordingError, match="byte-order magic"):
        read_recording(tmp_path / "bad.pcapng")
    (tmp_path / "short.pcap").write_bytes(b"\xd4\xc3\xb2\xa1" + b"\x00" * 8)
    with pytest.raises(RecordingError, match="shorter than its header"):
        read_recording(tmp_path / "short.pcap")


def test_a_packet_capture_of_a_session_gives_the_scanners_stream(tmp_path):
    """dumpcap on the loopback while the tool talks to the simulator: the data connection's
    stream, reassembled, is exactly what the simulator sent."""
    import os
    import shutil

    from conftest import SIM, TOOL
    from scanlink.drive import record_drive

    if os.environ.get("SCANLINK_NETNS") != "1" or not shutil.which("dumpcap"):
        pytest.skip("needs dumpcap and a private network namespace (./test.sh)")
    capture = tmp_path / "capture.pcapng"
    dumpcap = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-w", str(capture)],
                               stderr=subprocess.PIPE, text=True)
    if "Capturing on" not in dumpcap.stderr.readline():
        dumpcap.kill()
        dumpcap.wait()
        pytest.skip("dumpcap cannot capture here")
    try:
        # Capturing once a probe datagram has reached the file (the banner comes earlier).
        import socket
        import time

        probe, empty, deadline = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), None, 0
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            size = capture.stat().st_size if capture.exists() else 0
            empty = size if empty is None and size else empty
            if empty and size > empty:
                break
            probe.sendto(b"probe", ("127.0.0.1", 9))
            time.sleep(0.05)
        probe.close()
        drive = record_drive(SIM, TOOL, tmp_path / "drive.pcapng", "td-cells 10054/1 1",
                             seconds=1, sim_args=["--rate", "20"])
    finally:
        dumpcap.send_signal(2)
        dumpcap.wait(timeout=10)
    sent = read_recording(tmp_path / "drive.pcapng.raw").scanner_stream()
    tcp = read_recording(capture)
    assert tcp.format == "pcapng" and not tcp.warnings
    ours = read_recording(drive)
    # The stream from its first byte on (dumpcap may miss the last segments as it stops).
    stream = tcp.scanner_stream()
    assert sent.startswith(stream) and len(stream) > len(sent) * 0.9, (len(stream), len(sent))
    commands = [p.data for p in tcp.packets if p.direction == TO_SCANNER]
    assert commands == [p.data for p in ours.packets if p.direction == TO_SCANNER][:len(commands)]

    def untimed(path, **levels):
        return [{k: v for k, v in r.to_dict().items() if k != "time"}
                for r in scanlink.read_records(path, **levels)]

    # A packet capture declares no level convention: given the one the tool recorded.
    from_capture = untimed(capture, level_offset=-150, level_unit="dBm")
    from_tool = untimed(drive)
    assert len(from_capture) > 10 and from_capture == from_tool[:len(from_capture)]
