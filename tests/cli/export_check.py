"""Reads an export of `scanlink export` with a parser for its format, checks its structure, and
compares every report's position, levels, delays and verdicts with what `scanlink decode --json`
printed for the same recording. Prints the number of reports compared; exits 1 on a difference.

    export_check.py DECODED.jsonl FORMAT FILE"""
import csv
import json
import sys
import xml.etree.ElementTree as ET

KML = "{http://www.opengis.net/kml/2.2}"
GPX = "{http://www.topografix.com/GPX/1/1}"
EXT = "{urn:x-scanlink:gpx:1}"


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def expected(path):
    """Per positioned report: (longitude, latitude, unit, {key: (level, delay, verdict)})."""
    out = []
    for line in open(path, encoding="utf-8"):
        d = json.loads(line)
        body = d.get("body", {})
        if d.get("kind") != "report" or not body.get("position"):
            continue
        cells = {}
        for c in body.get("cells", []):
            cells[f"{c['cellKey1']}/{c['cellKey2']}"] = (c["level"], c["measuredDelay"],
                                                         c["verdict"])
        for r in body.get("records", []):
            if "level" in r:
                cells[f"{r['value1']}/{r['value2']}"] = (r["level"], None, None)
        for i, v in enumerate(body.get("levels", []) if "values" in body else []):
            cells[f"value {i + 1}"] = (v, None, None)
        out.append((body["position"]["longitude"], body["position"]["latitude"],
                    body.get("levelUnit", "raw"), cells))
    return out


def number(text):
    return None if text in (None, "") else float(text)


def same(want, got, what):
    for (lon, lat, unit, cells), (glon, glat, gcells) in zip(want, got):
        if abs(lon - glon) > 1e-6 or abs(lat - glat) > 1e-6:
            fail(f"{what}: position {glon},{glat} is not {lon},{lat}")
        if set(gcells) != set(cells):
            fail(f"{what}: cells {sorted(gcells)} are not {sorted(cells)}")
        for key, (level, delay, verdict) in cells.items():
            glevel, gdelay, gverdict = gcells[key]
            if glevel is None or abs(glevel - level) > 1e-3:
                fail(f"{what}: {key} level {glevel} is not {level} {unit}")
            if delay is not None and gdelay != delay:
                fail(f"{what}: {key} delay {gdelay} is not {delay}")
            if verdict is not None and gverdict != verdict:
                fail(f"{what}: {key} verdict {gverdict} is not {verdict}")
    if len(got) != len(want):
        fail(f"{what}: {len(got)} reports, {len(want)} decoded")


def csv_wide(path, unit):
    rows = list(csv.DictReader(open(path, newline="", encoding="utf-8")))
    got = []
    for r in rows:
        cells = {}
        for column, value in r.items():
            if column.startswith(f"level_{unit} ") and value != "":
                key = column.split(" ", 1)[1]
                delay = number(r.get(f"delay_chips {key}"))
                cells[key] = (float(value), None if delay is None else round(delay * 4),
                              r.get(f"verdict {key}") or None)
        got.append((float(r["longitude"]), float(r["latitude"]), cells))
    return got


def csv_long(path, unit):
    got = {}
    for r in csv.DictReader(open(path, newline="", encoding="utf-8")):
        report = got.setdefault(r["report"], (float(r["longitude"]), float(r["latitude"]), {}))
        if r["key"]:
            report[2][r["key"]] = (number(r[f"level_{unit}"]), number(r["delay_quarter_chips"]),
                                   r["verdict"] or None)
    return list(got.values())


def geojson(path, unit):
    d = json.load(open(path, encoding="utf-8"))
    if d.get("type") != "FeatureCollection" or "crs" in d:
        fail("geojson: not an RFC 7946 FeatureCollection")
    got = []
    for f in d["features"]:
        g = f["geometry"]
        if f["type"] != "Feature" or g["type"] != "Point" or len(g["coordinates"]) != 2:
            fail(f"geojson: not a Point feature: {f}")
        lon, lat = g["coordinates"]
        if not (-180 <= lon <= 180 and -90 <= lat <= 90):
            fail("geojson: coordinates out of range")
        cells = {c["key"]: (c[f"level_{unit}"], c["delay_quarter_chips"], c["verdict"])
                 for c in f["properties"]["cells"]}
        got.append((lon, lat, cells))
    return got


def in_order(element, order, what):
    """The children's tags follow the schema's sequence."""
    seen = [child.tag for child in element]
    ranks = [order.index(t) for t in seen if t in order]
    if ranks != sorted(ranks):
        fail(f"{what}: children {seen} are not in the order {order}")


def kml(path, unit):
    root = ET.parse(path).getroot()
    if root.tag != KML + "kml":
        fail("kml: the root is not kml in the KML 2.2 namespace")
    document = root.find(KML + "Document")
    styles = {s.get("id") for s in document.findall(KML + "Style")}
    order = [KML + t for t in ("name", "description", "TimeStamp", "styleUrl", "ExtendedData",
                               "Point", "LineString")]
    got = []
    for p in document.findall(KML + "Placemark"):
        in_order(p, order, "kml Placemark")
        if p.findtext(KML + "styleUrl", "").lstrip("#") not in styles:
            fail("kml: a placemark's style is not defined")
        point = p.find(KML + "Point")
        if point is None:
            continue
        lon, lat = map(float, point.findtext(KML + "coordinates").split(","))
        data = {d.get("name"): d.findtext(KML + "value")
                for d in p.iter(KML + "Data")}
        best = data.get("best")
        cells = {best: (number(data.get(f"best_level_{unit}")), None,
                        data.get("best_verdict"))} if best else {}
        got.append((lon, lat, cells))
    return got


def gpx(path, unit):
    root = ET.parse(path).getroot()
    if root.tag != GPX + "gpx" or root.get("version") != "1.1":
        fail("gpx: the root is not gpx 1.1 in its namespace")
    order = [GPX + t for t in ("ele", "time", "name", "cmt", "desc", "src", "link", "sym",
                               "type", "extensions")]
    got = []
    for w in root.findall(GPX + "wpt"):
        in_order(w, order, "gpx wpt")
        cells = {}
        for c in w.iter(EXT + "cell"):
            delay = c.get("delay_quarter_chips")
            cells[c.get("key")] = (number(c.get(f"level_{unit}")),
                                   None if delay is None else int(delay), c.get("verdict"))
        got.append((float(w.get("lon")), float(w.get("lat")), cells))
    if len(root.findall(f"{GPX}trk/{GPX}trkseg/{GPX}trkpt")) != len(got):
        fail("gpx: the track has not a point per waypoint")
    return got


def main():
    decoded, form, path = sys.argv[1:4]
    want = expected(decoded)
    unit = want[0][2] if want else "raw"
    got = {"csv": csv_wide, "csv-long": csv_long, "geojson": geojson, "kml": kml,
           "gpx": gpx}[form](path, unit)
    if form == "kml":  # the strongest cell of each report only (the first of equals)
        def best(cells):
            key = max(cells, key=lambda k: cells[k][0]) if cells else None
            return {key: (cells[key][0], None, cells[key][2])} if key else {}
        want = [(lon, lat, u, best(cells)) for lon, lat, u, cells in want]
    same(want, got, form)
    print(len(got))


main()
