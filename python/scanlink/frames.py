"""Records as pandas data frames, one row per report, ready for groupby."""
from .records import LEVEL_OFFSET, Record

# The order of GPS verdicts from good to bad, for the worst verdict of a report.
VERDICTS = ["found", "unchecked", "not-listed", "delay-mismatch"]


def _cells(body):
    """(cell key, level fields, delay, verdict) of each cell a report measured."""
    out = []
    for c in body.get("cells", []) or []:  # TD cell reports
        values = c.get("cellValues", [])
        out.append((f"{c['cellKey1']}/{c['cellKey2']}",
                    max(values) if values else None, c.get("measuredDelay"), c.get("verdict")))
    for r in body.get("records", []) or []:  # WCDMA cell records
        if "value3" in r:
            out.append((f"{r['value1']}/{r['value2']}", r["value3"], None, None))
    return out


def _levels(body):
    """Every level field of a report (sweep points, channel powers, cell levels)."""
    if "points" in body:
        return list(body["points"])
    if "values" in body:
        return list(body["values"])
    return [c[1] for c in _cells(body) if c[1] is not None]


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
            "level_max_dbm": max(levels) - LEVEL_OFFSET if levels else None,
            "level_mean_dbm": sum(levels) / len(levels) - LEVEL_OFFSET if levels else None,
            "cells": len(cells),
        }
        best = max((c for c in cells if c[1] is not None), key=lambda c: c[1], default=None)
        row["best_cell"] = best[0] if best else None
        row["best_verdict"] = best[3] if best else None
        verdicts = [c[3] for c in cells if c[3]]
        row["worst_verdict"] = max(verdicts, key=lambda v: VERDICTS.index(v)
                                   if v in VERDICTS else len(VERDICTS)) if verdicts else None
        for key, level, delay, verdict in cells:
            row[f"level_dbm {key}"] = level - LEVEL_OFFSET if level is not None else None
            if delay is not None:
                row[f"delay {key}"] = delay
            if verdict is not None:
                row[f"verdict {key}"] = verdict
        if "points" in body:
            row["start_khz"], row["step_khz"] = body.get("start"), body.get("step")
        rows.append(row)
    return rows


def to_dataframe(records):
    """A pandas DataFrame with one row per report: ``time`` (UTC, NaT when unknown), ``code``,
    ``name``, ``latitude``, ``longitude``, ``level_max_dbm``, ``level_mean_dbm``, ``cells``,
    ``best_cell`` (the strongest), ``best_verdict`` (its GPS verdict), ``worst_verdict``, and per cell ``level_dbm KEY``, ``delay KEY`` and
    ``verdict KEY`` (KEY as "10054/1"). Levels are in dBm."""
    import pandas as pd

    rows = report_rows(records)
    base = ["time", "code", "name", "latitude", "longitude", "level_max_dbm", "level_mean_dbm",
            "cells", "best_cell", "best_verdict", "worst_verdict"]
    frame = pd.DataFrame(rows, columns=None if rows else base)
    frame["time"] = pd.to_datetime(frame["time"], utc=True, errors="coerce")
    return frame


def cells_dataframe(records):
    """The long form: one row per cell per report (``report`` numbers the report), with
    ``cell``, ``level_dbm``, ``delay`` and ``verdict``: for ``groupby("cell")``."""
    import pandas as pd

    rows = []
    for n, row in enumerate(report_rows(records)):
        for key in [k[len("level_dbm "):] for k in row if k.startswith("level_dbm ")]:
            rows.append({"report": n, "time": row["time"], "latitude": row["latitude"],
                         "longitude": row["longitude"], "name": row["name"], "cell": key,
                         "level_dbm": row[f"level_dbm {key}"], "delay": row.get(f"delay {key}"),
                         "verdict": row.get(f"verdict {key}")})
    frame = pd.DataFrame(rows, columns=["report", "time", "latitude", "longitude", "name", "cell",
                                        "level_dbm", "delay", "verdict"])
    frame["time"] = pd.to_datetime(frame["time"], utc=True, errors="coerce")
    return frame
