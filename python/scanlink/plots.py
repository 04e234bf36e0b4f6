"""Pictures of recordings with matplotlib: the sweep waterfall and the route map."""
import csv
import math
from datetime import datetime

from .frames import VERDICTS, report_rows
from .records import Record

# Fixed colour limits of level maps in dBm, so drives compare at a glance; raw levels (no
# declared unit) use the drive's own range.
DBM_RANGE = (-120.0, -40.0)

VERDICT_COLOURS = {"found": "#2ca02c", "unchecked": "#7f7f7f", "not-listed": "#ff7f0e",
                   "delay-mismatch": "#d62728"}


def _pyplot():
    import matplotlib

    if matplotlib.get_backend().lower() not in ("agg", "svg", "pdf") and not _interactive():
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _interactive():
    try:
        return get_ipython() is not None  # noqa: F821 (defined inside notebooks)
    except NameError:
        return False


def _dicts(records):
    return [r.to_dict() if isinstance(r, Record) else r for r in records]


def _unit(dicts):
    units = {d.get("body", {}).get("levelUnit", "raw") for d in dicts}
    return units.pop() if len(units) == 1 else "mixed units"


def _when(dicts):
    """"2026-12-10 14:03 UTC" of the first timed record, or None."""
    for d in dicts:
        if d.get("time"):
            return datetime.fromisoformat(d["time"].replace("Z", "+00:00")).strftime(
                "%Y-%m-%d %H:%M UTC")
    return None


def _source(dicts, scanner):
    """Who and when, for titles: "scanner 10.0.0.7, 2026-12-10 14:03 UTC"."""
    if scanner is None:
        scanner = next((d["connection"] for d in dicts if d.get("connection")), None)
    parts = [f"scanner {scanner}" if scanner else None, _when(dicts)]
    return ", ".join(p for p in parts if p)


def sweeps(records):
    """(times, frequencies in MHz, levels) of the sweep reports: one row of levels per sweep, in
    time order, in the recording's declared unit (raw numbers where it declares none; see
    ``sweep_unit``); times are datetimes, or sweep numbers when a recording has none."""
    out = []
    for d in _dicts(records):
        body = d.get("body", {})
        if d.get("kind") == "report" and body.get("points"):
            out.append(d)
    if not out:
        raise ValueError("no sweep reports among the records")
    first = out[0]["body"]
    same = [d for d in out if (d["body"]["start"], d["body"]["step"], len(d["body"]["points"]))
            == (first["start"], first["step"], len(first["points"]))]
    freqs = [(first["start"] + i * first["step"]) / 1000.0 for i in range(len(first["points"]))]
    levels = [list(d["body"].get("levels", d["body"]["points"])) for d in same]
    if all("time" in d for d in same):
        times = [datetime.fromisoformat(d["time"].replace("Z", "+00:00")) for d in same]
    else:
        times = list(range(1, len(same) + 1))
    return times, freqs, levels


def plot_sweeps(records, path=None, title=None, scanner=None):
    """The sweeps as a waterfall (time down, frequency across, colour = level) under the latest
    sweep and the max-hold trace; levels in the recording's declared unit. The waterfall is a
    raster image even in an .svg, so its size does not grow with the number of sweeps. Saves to
    ``path`` (.png or .svg) when given; returns the figure."""
    import numpy as np

    plt = _pyplot()
    times, freqs, levels = sweeps(records)
    dicts = [d for d in _dicts(records) if d.get("kind") == "report" and
             d.get("body", {}).get("points")]
    unit = _unit(dicts)
    z = np.array(levels, dtype=float)
    step = freqs[1] - freqs[0] if len(freqs) > 1 else 0.1
    edges_f = np.concatenate([[freqs[0] - step / 2], np.array(freqs) + step / 2])
    timed = not isinstance(times[0], int)
    if timed:
        import matplotlib.dates as mdates

        t = mdates.date2num(times)
        dt = (t[-1] - t[0]) / max(len(t) - 1, 1) or 1 / 86400
        edges_t = np.concatenate([[t[0] - dt / 2], t + dt / 2])
    else:
        edges_t = np.arange(len(times) + 1) + 0.5

    fig, (top, fall) = plt.subplots(2, 1, sharex=True, figsize=(8, 7), layout="constrained",
                                    gridspec_kw={"height_ratios": [1, 2]})
    top.plot(freqs, z.max(axis=0), color="#d62728", lw=1.2, label="max hold")
    top.plot(freqs, z[-1], color="#1f77b4", lw=1.2, label=f"latest (sweep {len(z)})")
    top.set_ylabel(f"level ({unit})")
    top.grid(True, alpha=0.3)
    low, high = z.min(), z.max()
    top.set_ylim(low - 2, high + (high - low) * 0.25 + 2)  # room for the legend above the data
    top.legend(loc="upper right", ncol=2, fontsize="small")
    source = _source(dicts, scanner)
    top.set_title(title or (f"{source}\n" if source else "") +
                  f"{len(z)} sweeps, {freqs[0]:.1f}–{freqs[-1]:.1f} MHz, {step * 1000:g} kHz steps")
    mesh = fall.pcolormesh(edges_f, edges_t, z, cmap="viridis", shading="flat", rasterized=True)
    fall.set_xlabel("frequency (MHz)")
    if timed:
        fall.yaxis_date()
        fall.yaxis.set_major_formatter(mdates.DateFormatter("%H:%M:%S"))
        fall.set_ylabel("time (UTC)")
    else:
        fall.set_ylabel("sweep number")
    fall.invert_yaxis()  # the latest sweep at the bottom, as a waterfall runs
    fall.set_xlim(edges_f[0], edges_f[-1])
    fall.ticklabel_format(axis="x", useOffset=False)
    fig.colorbar(mesh, ax=fall, label=f"level ({unit})")
    if path:
        fig.savefig(path, dpi=110)
    return fig


def read_stations(path):
    """Base stations of a list file (CSV name,key1,key2,longitude,latitude, header optional)."""
    out = []
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.reader(f):
            if not row or row[0].startswith("#"):
                continue
            try:
                out.append({"name": row[0], "key": f"{int(row[1])}/{int(row[2])}",
                            "longitude": float(row[3]), "latitude": float(row[4])})
            except (ValueError, IndexError):
                if out:
                    raise ValueError(f"{path}: unreadable line {row!r}") from None
    return out


def _nice(length):
    """The largest 1, 2 or 5 times a power of ten not above length."""
    p = 10 ** math.floor(math.log10(length))
    return max(m * p for m in (1, 2, 5) if m * p <= length)


def _scale_bar(ax, lat0, points):
    """A scale bar in a bottom corner with no route point or station under it; when both
    corners have some, the map grows a free band at the bottom for it."""
    metres_per_deg = 111320.0 * math.cos(math.radians(lat0))
    for _ in range(2):
        x0, x1 = ax.get_xlim()
        y0, y1 = ax.get_ylim()
        metres = _nice((x1 - x0) * metres_per_deg / 4)
        width = metres / metres_per_deg
        y = y0 + (y1 - y0) * 0.05

        def covered(x):
            return sum(1 for px, py in points
                       if x - (x1 - x0) * 0.03 <= px <= x + width + (x1 - x0) * 0.03
                       and py <= y0 + (y1 - y0) * 0.12)

        x = min((x0 + (x1 - x0) * 0.05, x1 - (x1 - x0) * 0.05 - width), key=covered)
        if not covered(x):
            break
        ax.set_ylim(y0 - (y1 - y0) * 0.14, y1)
        ax.figure.canvas.draw()
    ax.plot([x, x + width], [y, y], color="black", lw=3, solid_capstyle="butt", zorder=5)
    label = f"{metres / 1000:g} km" if metres >= 1000 else f"{metres:g} m"
    ax.annotate(label, (x + width / 2, y), xytext=(0, 4), textcoords="offset points",
                ha="center", va="bottom", fontsize="small", zorder=5)


def _place_labels(ax, fig, stations):
    """Labels beside each station, each at the first of eight positions that overlaps neither
    an earlier label nor a station marker."""
    from matplotlib.transforms import Bbox

    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    inside = ax.get_window_extent(renderer)
    taken = [ax.get_legend().get_window_extent(renderer)] if ax.get_legend() else []
    taken += [t.get_window_extent(renderer) for t in ax.texts]  # the scale bar's
    for s in stations:
        px, py = ax.transData.transform((s["longitude"], s["latitude"]))
        taken.append(Bbox.from_extents(px - 6, py - 6, px + 6, py + 6))
    offsets = [(8, 8), (8, -14), (-8, 8), (-8, -14), (0, 12), (0, -18), (12, -3), (-12, -3)]
    for s in stations:
        best = None
        for dx, dy in offsets:
            text = ax.annotate(f"{s['name']} ({s['key']})", (s["longitude"], s["latitude"]),
                               xytext=(dx, dy), textcoords="offset points", fontsize="small",
                               ha="left" if dx > 0 else "right" if dx < 0 else "center",
                               bbox={"boxstyle": "round,pad=0.2", "fc": "white", "alpha": 0.8,
                                     "lw": 0})
            box = text.get_window_extent(renderer)
            fits = inside.contains(box.x0, box.y0) and inside.contains(box.x1, box.y1)
            if (fits and not any(box.overlaps(t) for t in taken)) or (dx, dy) == offsets[-1]:
                best = box
                break
            text.remove()
        taken.append(best)


def plot_route(records, path=None, colour="level", stations=None, title=None, level_range=None,
               scanner=None):
    """The route: one point per positioned report, coloured by ``colour`` ("level": the best
    cell's level, or "verdict": the strongest cell's GPS verdict), base stations (a list file
    path or read_stations() output) labelled, a legend and a scale bar clear of the route;
    longitude scaled by the cosine of the latitude so distances look right. Level colours span
    ``level_range`` (default DBM_RANGE for levels in dBm, the drive's own range for raw ones).
    The title names the scanner (``scanner``, else the records' connection) and the date.
    Saves to ``path`` when given."""
    if colour not in ("level", "verdict"):
        raise ValueError(f"colour must be 'level' or 'verdict', not {colour!r}")
    plt = _pyplot()
    dicts = _dicts(records)
    rows = [r for r in report_rows(dicts) if r["latitude"] is not None]
    if not rows:
        raise ValueError("no positioned reports among the records")
    if isinstance(stations, (str, bytes)) or hasattr(stations, "__fspath__"):
        stations = read_stations(stations)
    stations = stations or []
    lats = [r["latitude"] for r in rows] + [s["latitude"] for s in stations]
    lat0 = (min(lats) + max(lats)) / 2

    fig, ax = plt.subplots(figsize=(8, 7), layout="constrained")
    lon = [r["longitude"] for r in rows]
    lat = [r["latitude"] for r in rows]
    ax.plot(lon, lat, color="0.75", lw=1, zorder=1)
    if colour == "level":
        import numpy as np

        values = np.array([np.nan if r["level_max"] is None else r["level_max"]
                           for r in rows], dtype=float)
        units = {r["level_unit"] for r in rows if r["level_max"] is not None}
        unit = units.pop() if len(units) == 1 else "raw"
        if level_range is not None:
            low, high = level_range
        elif unit == "dBm":
            low, high = DBM_RANGE
        else:
            low, high = ((np.nanmin(values), np.nanmax(values)) if np.isfinite(values).any()
                         else (None, None))
        points = ax.scatter(lon, lat, c=values, cmap="viridis", s=18, zorder=2, vmin=low,
                            vmax=high, plotnonfinite=True, label="report (colour: best level)")
        fig.colorbar(points, ax=ax, label=f"best cell level ({unit})", shrink=0.8,
                     extend="both")
    else:
        for v in VERDICTS + sorted({r["best_verdict"] or "none" for r in rows} - set(VERDICTS)):
            sel = [r for r in rows if (r["best_verdict"] or "none") == v]
            if sel:
                ax.scatter([r["longitude"] for r in sel], [r["latitude"] for r in sel], s=18,
                           zorder=2, color=VERDICT_COLOURS.get(v, "#9467bd"),
                           label=f"strongest cell {v} ({len(sel)})")
    if stations:
        ax.scatter([s["longitude"] for s in stations], [s["latitude"] for s in stations],
                   marker="^", s=90, color="black", zorder=3, label="base station")
    ax.set_aspect(1 / math.cos(math.radians(lat0)), adjustable="datalim")
    ax.set_xlabel("longitude (°E)")
    ax.set_ylabel("latitude (°N)")
    ax.ticklabel_format(useOffset=False)
    ax.grid(True, alpha=0.3)
    ax.margins(0.12)
    ax.legend(loc="upper right", fontsize="small", framealpha=0.9)
    source = _source(dicts, scanner)
    interpolated = sum(1 for r in rows if r["position"] == "interpolated")
    ax.set_title(title or (f"{source}: " if source else "") + f"route, {len(rows)} reports" +
                 (f" ({interpolated} placed between fixes)" if interpolated else ""))
    fig.canvas.draw()
    _scale_bar(ax, lat0, list(zip(lon, lat)) +
               [(s["longitude"], s["latitude"]) for s in stations])
    if stations:
        _place_labels(ax, fig, stations)
    if path:
        fig.savefig(path, dpi=110)
    return fig
