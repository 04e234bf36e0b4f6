"""Records as pandas data frames, one row per report, ready for groupby."""
from datetime import datetime

from .records import Record

# The order of GPS verdicts from good to bad, for the worst verdict of a report.
VERDICTS = ["found", "unchecked", "not-listed", "delay-mismatch"]

# Reports further than this from a GPS fix on either side in time get no interpolated position.
MAX_FIX_GAP_S = 30.0


def _converted(body, raws, key):
    """The converted levels the decoder put beside raw ones; raw ones where it put none."""
    return body[key] if key in body else list(raws)


def _cells(body):
    """(cell key, level, raw level, delay, verdict) of each cell a report measured."""
    out = []
    for c in body.get("cells", []) or []:  # TD cell reports: the mean of the cell's samples
        values = c.get("cellValues", [])
        raw = sum(values) / len(values) if values else None
        out.append((f"{c['cellKey1']}/{c['cellKey2']}", c.get("level", raw), raw,
                    c.get("measuredDelay"), c.get("verdict")))
    for r in body.get("records", []) or []:  # WCDMA cell records
        if "value3" in r:
            out.append((f"{r['value1']}/{r['value2']}", r.get("level", r["value3"]), r["value3"],
                        None, None))
    return out


def _levels(body):
    """Every level of a report (sweep points, channel powers, cell levels), converted."""
    if "points" in body:
        return _converted(body, body["points"], "levels")
    if "values" in body:
        return _converted(body, body["values"], "levels")
    return [c[1] for c in _cells(body) if c[1] is not None]


def _time(text):
    return datetime.fromisoformat(text.replace("Z", "+00:00")) if text else None


def _interpolate(rows):
    """Positions for measurements that carry none (sweeps), between the fixes around them in
    time."""
    fixes = sorted((_time(r["time"]), r["latitude"], r["longitude"]) for r in rows
                   if r["position"] == "reported" and r["time"])
    for r in rows:
        t = _time(r["time"])
        if r["position"] or t is None or r["level_max"] is None:  # status frames measure nothing
            continue
        before = [f for f in fixes if f[0] <= t]
        after = [f for f in fixes if f[0] >= t]
        if not before or not after:
            continue
        a, b = before[-1], after[0]
        span = (b[0] - a[0]).total_seconds()
        if span > MAX_FIX_GAP_S:
            continue
        k = (t - a[0]).total_seconds() / span if span else 0.0
        r["latitude"] = a[1] + k * (b[1] - a[1])
        r["longitude"] = a[2] + k * (b[2] - a[2])
        r["position"] = "interpolated"


def report_rows(records):
    """One dict per report: what ``to_dataframe`` tabulates."""
    rows = []
    for r in records:
        d = r.to_dict() if isinstance(r, Record) else r
        if d.get("kind") != "report":
            continue
        body = d.get("body", {})
        pos = body.get("position") or {}
        cells = _cells(body)
        levels = _levels(body)
        row = {
            "time": d.get("time"),
            "code": d.get("code"),
            "name": d.get("name"),
            "latitude": pos.get("latitude"),
            "longitude": pos.get("longitude"),
            "position": "reported" if pos else None,
            "level_unit": body.get("levelUnit", "raw" if levels else None),
            "level_max": max(levels) if levels else None,
            "level_mean": sum(levels) / len(levels) if levels else None,
            "cells": len(cells),
        }
        best = max((c for c in cells if c[1] is not None), key=lambda c: c[1], default=None)
        row["best_cell"] = best[0] if best else None
        row["best_verdict"] = best[4] if best else None
        verdicts = [c[4] for c in cells if c[4]]
        row["worst_verdict"] = max(verdicts, key=lambda v: VERDICTS.index(v)
                                   if v in VERDICTS else len(VERDICTS)) if verdicts else None
        for key, level, raw, delay, verdict in cells:
            row[f"level {key}"] = level
            row[f"level_raw {key}"] = raw
            if delay is not None:
                row[f"delay {key}"] = delay
            if verdict is not None:
                row[f"verdict {key}"] = verdict
        if "points" in body:
            row["start_khz"], row["step_khz"] = body.get("start"), body.get("step")
        rows.append(row)
    _interpolate(rows)
    return rows


BASE_COLUMNS = ["time", "code", "name", "latitude", "longitude", "position", "level_unit",
                "level_max", "level_mean", "cells", "best_cell", "best_verdict", "worst_verdict"]


def to_dataframe(records):
    """A pandas DataFrame with one row per report: ``time`` (UTC, NaT when unknown), ``code``,
    ``name``, ``latitude``, ``longitude``, ``position`` ("reported", "interpolated" between the
    GPS fixes around a report that carries none, or None), ``level_unit`` (the recording's
    declared unit, "raw" when it declares none), ``level_max``, ``level_mean``, ``cells``,
    ``best_cell`` (the strongest), ``best_verdict`` (its GPS verdict), ``worst_verdict``, and per
    cell ``level KEY``, ``level_raw KEY``, ``delay KEY`` (quarter chips) and ``verdict KEY``
    (KEY as "10054/1")."""
    import pandas as pd

    rows = report_rows(records)
    frame = pd.DataFrame(rows, columns=None if rows else BASE_COLUMNS)
    frame["time"] = pd.to_datetime(frame["time"], utc=True, errors="coerce")
    return frame


def cells_dataframe(records):
    """The long form: one row per cell per report (``report`` numbers the report), with
    ``cell``, ``level``, ``level_raw``, ``level_unit``, ``delay`` and ``verdict``: for
    ``groupby("cell")``."""
    import pandas as pd

    rows = []
    for n, row in enumerate(report_rows(records)):
        for key in [k[len("level "):] for k in row if k.startswith("level ")]:
            rows.append({"report": n, "time": row["time"], "latitude": row["latitude"],
                         "longitude": row["longitude"], "position": row["position"],
                         "name": row["name"], "cell": key, "level": row[f"level {key}"],
                         "level_raw": row[f"level_raw {key}"], "level_unit": row["level_unit"],
                         "delay": row.get(f"delay {key}"), "verdict": row.get(f"verdict {key}")})
    frame = pd.DataFrame(rows, columns=["report", "time", "latitude", "longitude", "position",
                                        "name", "cell", "level", "level_raw", "level_unit",
                                        "delay", "verdict"])
    frame["time"] = pd.to_datetime(frame["time"], utc=True, errors="coerce")
    return frame
