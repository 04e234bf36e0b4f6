"""Records as Python objects with named fields, from the library's JSON rendering."""
import json
import os
import shutil
import subprocess
from datetime import datetime
from pathlib import Path

# The simulator's level fields carry dBm + 150 (40 is -110 dBm). A scanner's may differ: records
# decoded from a recording carry converted levels ("levels", "level") and their "levelUnit" as
# the recording declares them, and raw numbers labelled "raw" where it declares nothing.
SIMULATOR_LEVEL_OFFSET = -150


def level_dbm(raw, offset=SIMULATOR_LEVEL_OFFSET):
    """A level field in dBm under a convention "dBm = raw + offset" (the simulator's by
    default)."""
    return raw + offset


def _level(value):
    return int(value) if float(value).is_integer() else round(value, 3)


def add_levels(records, level_unit=None, level_offset=0):
    """Records with converted levels beside their raw level fields, as ``scanlink decode``
    writes them under a level convention ("unit = raw + offset"; raw without a unit): for
    records decoded elsewhere, e.g. by ``scanlink.decode``."""
    declared = level_unit not in (None, "", "raw")
    offset = level_offset if declared else 0

    def convert(raw):
        return _level(raw + offset)

    out = []
    for r in records:
        d = r.to_dict() if isinstance(r, Record) else json.loads(json.dumps(r))
        body = d.get("body", {})
        code = d.get("code")
        if d.get("kind") != "report":
            pass
        elif code in (36, 38, 0xF027, 73, 0xF026):
            body["levels"] = [convert(v) for v in body.get("values", body.get("points", []))]
        elif code in (40, 41, 257, 259):
            for rec in body.get("records", []):
                rec["level"] = convert(rec["value3"])
        elif code == 0xF025:
            for c in body.get("cells", []):
                samples = c.get("cellValues", [])
                c["levels"] = [convert(v) for v in samples]
                c["level"] = convert(round(sum(samples) / len(samples), 3)) if samples else None
        if d.get("kind") == "report" and code in (36, 38, 0xF027, 73, 0xF026, 40, 41, 257, 259,
                                                    0xF025):
            body["levelUnit"] = level_unit if declared else "raw"
            body["levelOffset"] = _level(offset)
        out.append(Record(d))
    return out


class Record:
    """One record: the JSON object's keys as attributes (nested objects too), e.g.
    ``r.kind``, ``r.code``, ``r.name``, ``r.body.position.latitude``. ``r.time`` is a
    datetime (UTC) when the record's arrival time is known, else None."""

    __slots__ = ("_data", "_body")

    def __init__(self, data, body=None):
        object.__setattr__(self, "_data", data)
        # The body's JSON text while it has not been read: most of a record's text is its body,
        # and an application that never reads a record's body never pays for parsing it.
        object.__setattr__(self, "_body", body)

    @classmethod
    def from_json(cls, text):
        return cls(json.loads(text))

    def _all(self):
        body = self._body
        if body is not None:
            self._data["body"] = json.loads(body)
            object.__setattr__(self, "_body", None)
        return self._data

    def __getattr__(self, key):
        data = self._all() if key == "body" else self._data
        try:
            value = data[key]
        except KeyError:
            if key == "time":
                return None
            raise AttributeError(key) from None
        if key == "time" and isinstance(value, str):
            return datetime.fromisoformat(value.replace("Z", "+00:00"))
        return _wrap(value)

    def __getitem__(self, key):
        return _wrap(self._all()[key])

    def __contains__(self, key):
        return key in self._all()

    def get(self, key, default=None):
        return _wrap(self._all().get(key, default))

    def __setattr__(self, key, value):
        raise AttributeError("records are read-only")

    def __eq__(self, other):
        return isinstance(other, Record) and self._all() == other._all()

    def __repr__(self):
        data = self._all()
        name = data.get("name") or data.get("kind", "record")
        return f"<Record {name} {json.dumps(data)[:80]}...>"

    def to_dict(self):
        """The record as plain dicts and lists (a copy)."""
        return json.loads(json.dumps(self._all()))

    def __dir__(self):
        return list(self._all())


def _wrap(value):
    if isinstance(value, dict):
        return Record(value)
    if isinstance(value, list):
        return [_wrap(v) for v in value]
    return value


def read_jsonl(path):
    """Records from JSON Lines (the output of ``scanlink decode --json`` or ``monitor --json``)."""
    with open(path, encoding="utf-8") as f:
        return [Record.from_json(line) for line in f if line.strip()]


def _tool():
    """The command-line tool: $SCANLINK_TOOL, the build folder of this source tree, or PATH."""
    given = os.environ.get("SCANLINK_TOOL")
    if given:
        return given
    root = Path(__file__).resolve().parents[2]
    for build in sorted(root.glob("build*")):
        candidate = build / "tools" / "scanlink" / "scanlink"
        if candidate.exists():
            return str(candidate)
    found = shutil.which("scanlink")
    if found:
        return found
    raise FileNotFoundError("the scanlink command-line tool was not found; set SCANLINK_TOOL")


class DecodeError(RuntimeError):
    """A recording could not be read or decoded; the message is the decoder's."""


def read_records(path, bs_list=None, gps_limit=None, finger=None, level_offset=None,
                 level_unit=None):
    """Every record of a recording (our pcapng, a tcpdump pcap/pcapng of the data connection,
    or an old ``.scl`` stream), decoded by the library's decoder exactly as ``scanlink decode``
    does, with each record's arrival time where the recording has one. Levels follow the
    recording's declared convention unless ``level_unit`` (with ``level_offset``) says
    otherwise; ``gps_limit`` is in chips."""
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no recording at {path}")
    args = [_tool(), "decode", "--json", str(path)]
    if bs_list is not None:
        args += ["--bs-list", str(bs_list)]
    if gps_limit is not None:
        args += ["--gps-limit", str(gps_limit)]
    if finger is not None:
        args += ["--finger", "1" if finger else "0"]
    if level_unit is not None:
        args += ["--level-unit", str(level_unit)]
        if level_offset is not None:
            args += ["--level-offset", str(level_offset)]
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        raise DecodeError(done.stderr.strip() or f"decode failed with status {done.returncode}")
    return [Record.from_json(line) for line in done.stdout.splitlines() if line.startswith("{")]
