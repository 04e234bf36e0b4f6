#!/usr/bin/env python3
"""The dissector on streams a scanner should never send: made-up captures of one TCP connection
with frames cut at every byte, bytes without a frame start, oversized frames, payloads shorter or
longer than their layout, counts beyond the payload or beyond the receiver's slots, impossible
sweeps. Every case must be shown with its warning and no Lua error, and the frames after it must
still be found where the receiver finds them (skipping byte by byte to the next plausible header).
Also: the data port preference, "Decode As", the alarm port showing frame-like bytes as raw bytes,
and a recording written by the capture library's Recorder (pseudo-header, every unit named,
requests paired with their replies, texts and times).

malformed_check.py --lua scanlink.lua --recorder make_recording --work DIR
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

CLIENT_PORT = 40000
SCANNER = "10.0.0.2"
CLIENT = "10.0.0.1"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def frame(code, trans, payload, module=20, length=None):
    n = len(payload) if length is None else length
    return struct.pack(">BBHHH", 0x55, module, code, trans, n) + payload


def gps_header(header_byte=1):
    return bytes([header_byte]) + b"$GPGGA,1".ljust(119, b"\0")


class Pcap:
    """One TCP connection, written as Ethernet/IPv4/TCP packets (checksums left at zero)."""

    def __init__(self, port):
        self.port = port
        self.packets = []
        self.seq = {"c": 1000, "s": 5000}
        self._tcp("c", 0x02, b"")  # SYN
        self.seq["c"] += 1
        self._tcp("s", 0x12, b"")  # SYN-ACK
        self.seq["s"] += 1
        self._tcp("c", 0x10, b"")

    def _tcp(self, side, flags, data):
        other = "s" if side == "c" else "c"
        sport, dport = (CLIENT_PORT, self.port) if side == "c" else (self.port, CLIENT_PORT)
        src, dst = (CLIENT, SCANNER) if side == "c" else (SCANNER, CLIENT)
        tcp = struct.pack(">HHIIBBHHH", sport, dport, self.seq[side], self.seq[other], 5 << 4, flags,
                          65535, 0, 0)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(data), 0, 0x4000, 64, 6, 0,
                         bytes(map(int, src.split("."))), bytes(map(int, dst.split("."))))
        eth = b"\0" * 12 + b"\x08\x00"
        self.packets.append(eth + ip + tcp + data)
        self.seq[side] += len(data)

    def send(self, side, data):
        self._tcp(side, 0x18, data)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
            for i, p in enumerate(self.packets):
                f.write(struct.pack("<IIII", i, 0, len(p), len(p)) + p)


def dissect(lua, pcap, *options):
    out = subprocess.run(["tshark", "-r", pcap, "-X", "lua_script:" + lua,
                          "-o", "tcp.desegment_tcp_streams:TRUE", "-T", "pdml"] + list(options),
                         capture_output=True, text=True, timeout=120)
    if out.returncode != 0 or "Lua" in out.stderr or "rror" in out.stderr:
        fail("tshark: rc %d, %s" % (out.returncode, out.stderr))
    frames, alarm = [], []
    for packet in ET.fromstring(out.stdout).iter("packet"):
        for f in packet.iter("field"):
            name = f.get("name", "")
            if name == "_ws.malformed" or (name.startswith("_ws.lua") and name != "_ws.lua.fake"):
                fail("malformed or Lua error: " + f.get("showname", name))
        for p in packet.findall("proto[@name='scanlink']"):
            code = p.find("field[@name='scanlink.code']")
            experts = sorted({x.get("name")[len("scanlink.ex."):] for x in p.iter("field")
                              if x.get("name", "").startswith("scanlink.ex.")})
            frames.append((None if code is None else int(code.get("show"), 0), experts, p))
        for p in packet.findall("proto[@name='scanlink_alarm']"):
            alarm.append(p.find("field[@name='scanlink_alarm.data']").get("value"))
    return frames, alarm


def field(p, name):
    e = p.find(".//field[@name='scanlink.%s']" % name)
    return None if e is None else e.get("show")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lua", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--recorder", help="make_recording: writes a recording to check")
    args = ap.parse_args()
    if shutil.which("tshark") is None:
        print("SKIP: tshark not installed (apt-get install tshark)")
        sys.exit(77)
    os.makedirs(args.work, exist_ok=True)

    # (bytes from the scanner, cut points or None, expected (code, warnings) per frame)
    cases = []
    battery = frame(0xF031, 7, b"\x00\x64\x01")
    cases.append(("a frame cut at every byte", battery, range(1, len(battery)),
                  [(0xF031, [])]))
    cases.append(("bytes without a frame start, then a frame in the next segment",
                  b"\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99", None, [(None, ["nosync"])]))
    cases.append(("", frame(3, 8, b"\x00\x00"), None, [(3, [])]))
    big = frame(0xF100, 0xFFFF, bytes(3000))
    # Skipped byte by byte: each segment's share of the run shows on its own.
    cases.append(("an oversized header is skipped byte by byte and the next frame found",
                  big + frame(3, 9, b"\x00\x01"), [100, 2000, 3007, 3010],
                  [(None, ["oversized"])] + [(None, ["nosync"])] * 3 + [(3, [])]))
    cases.append(("a frame after a few damaged bytes in the same segment is a frame",
                  b"\x01\x55\x02" + frame(0xF031, 13, b"\x00\x64\x01"), None,
                  [(None, ["nosync"]), (0xF031, [])]))
    cases.append(("a payload shorter than its layout", frame(0xF031, 10, b"\x00"), None,
                  [(0xF031, ["short"])]))
    cases.append(("an empty payload on a reply with a layout", frame(44, 11, b""), None,
                  [(44, ["short"])]))
    cases.append(("bytes after the layout", frame(3, 12, b"\x00\x00\xAA\xBB"), None,
                  [(3, ["trailing"])]))
    values = gps_header() + struct.pack(">IIIH", 1, 2, 3, 10) + struct.pack(">HH", 5, 6)
    cases.append(("a count beyond the payload", frame(36, 0xFFFF, values), None, [(36, ["short"])]))
    values = gps_header() + struct.pack(">IIIH", 1, 2, 3, 60) + bytes(120)
    cases.append(("a count above the receiver's 50 slots", frame(36, 0xFFFF, values), None,
                  [(36, ["slots"])]))
    short_values = struct.pack(">HI", 21, 9) + bytes(42) + b"\x07"
    cases.append(("a short value list above its 20 slots", frame(38, 0xFFFF, short_values), None,
                  [(38, ["slots"])]))
    records = (gps_header() + struct.pack(">IIBBI", 1, 2, 0, 1, 3) +
               struct.pack(">IHHHHHB", 1, 2, 3, 4, 5, 6, 200) + bytes(12))
    cases.append(("a cell record whose entry count runs past the payload", frame(259, 0xFFFF, records),
                  None, [(259, ["short", "slots"])]))
    for start, end, step in ((10, 20, 0), (20, 10, 5), (10, 20, 5)):
        sweep = struct.pack(">III", start, end, step) + struct.pack(">HH", 1, 2)
        cases.append(("sweep %d..%d by %d with 2 points" % (start, end, step),
                      frame(73, 0xFFFF, sweep), None, [(73, ["sweep"])]))
    sweep = struct.pack(">III", 10, 20, 5) + struct.pack(">HHH", 1, 2, 3) + b"\x09"
    cases.append(("a sweep with an odd byte", frame(0xF026, 0xFFFF, sweep), None,
                  [(0xF026, ["trailing"])]))
    td = gps_header() + struct.pack(">IIBB", 1, 0, 0, 2) + bytes(70)
    cases.append(("TD cells fitting neither record size", frame(0xF025, 0xFFFF, td), None,
                  [(0xF025, ["finger", "short"])]))
    td = gps_header() + struct.pack(">IIBB", 1, 0, 0, 2) + bytes(2 * 118)
    cases.append(("TD cells with fingers, known by their size", frame(0xF025, 0xFFFF, td), None,
                  [(0xF025, [])]))
    profiles = gps_header() + bytes(20) + b"\x00\x00\x04" + bytes(3 * 595)
    cases.append(("four profiles announced, three in a full frame", frame(0xF100, 0xFFFF, profiles),
                  None, [(0xF100, ["short"])]))
    cases.append(("a reply code in the report table", frame(3, 0xFFFF, b"\x00\x01"), None,
                  [(3, ["body"])]))

    pcap = Pcap(5000)
    pcap.send("c", frame(0x0777, 1, b"\x01\x02") + frame(0xF004, 2, b""))
    expected = [(0x0777, ["body"]), (0xF004, [])]
    for _, data, cuts, frames in cases:
        if cuts is None:
            pcap.send("s", data)
        else:
            points = [0] + list(cuts) + [len(data)]
            for a, b in zip(points, points[1:]):
                pcap.send("s", data[a:b])
        expected += frames
    path = os.path.join(args.work, "malformed.pcap")
    pcap.write(path)
    got, _ = dissect(args.lua, path)
    summary = [(c, e) for c, e, _ in got]
    if summary != expected:
        for i, (g, w) in enumerate(zip(summary + [None] * len(expected), expected + [None] * len(summary))):
            if g != w:
                fail("frame %d: dissector shows %s, expected %s\n all: %s" % (i, g, w, summary))
    battery_item = got[2][2]
    if field(battery_item, "battery.value1") != "100" or field(battery_item, "battery.value2") != "1":
        fail("the frame cut at every byte lost its fields")

    # Another data port, through the preference and through "Decode As"; the default port then
    # is not ours.
    pcap = Pcap(6000)
    pcap.send("c", frame(43, 1, bytes(32)))
    pcap.send("s", frame(44, 1, b"\x00\x00\x00\x15"))
    path = os.path.join(args.work, "port6000.pcap")
    pcap.write(path)
    for how, options in (("preference", ["-o", "scanlink.port:6000"]),
                         ("Decode As", ["-d", "tcp.port==6000,scanlink"])):
        got, _ = dissect(args.lua, path, *options)
        kinds = [(c, field(p, "kind")) for c, _, p in got]
        if kinds != [(43, "command"), (44, "reply")]:
            fail("port 6000 by %s: %s" % (how, kinds))
        if field(got[1][2], "family.family") != "21":
            fail("port 6000 by %s: family value not decoded" % how)
    if dissect(args.lua, path)[0]:
        fail("port 6000 dissected without being asked to")

    # The alarm link carries raw bytes, even ones that look like a frame.
    pcap = Pcap(8050)
    pcap.send("c", frame(43, 1, bytes(4)))
    pcap.send("s", b"\x55\x00")
    path = os.path.join(args.work, "alarm.pcap")
    pcap.write(path)
    got, alarm = dissect(args.lua, path)
    if got or alarm != [frame(43, 1, bytes(4)).hex(), "5500"]:
        fail("alarm link: frames %s, raw %s" % ([c for c, _, _ in got], alarm))
    if args.recorder:
        check_recording(args.lua, args.recorder, os.path.join(args.work, "recording.pcapng"))
    print("ok: %d frames of odd streams, the data port settings, the alarm link%s" %
          (len(expected), ", a recording" if args.recorder else ""))


def check_recording(lua, recorder, path):
    subprocess.run([recorder, path], check=True, timeout=60)
    out = subprocess.run(["tshark", "-2", "-r", path, "-X", "lua_script:" + lua, "-T", "pdml"],
                         capture_output=True, text=True, timeout=120)
    if out.returncode != 0 or "Lua" in out.stderr or "rror" in out.stderr:
        fail("tshark on the recording: rc %d, %s" % (out.returncode, out.stderr))
    units = []
    for packet in ET.fromstring(out.stdout).iter("packet"):
        rec = packet.find("proto[@name='scanlink_rec']")
        if rec is None:
            fail("a recording packet without the pseudo-header shown")
        def show(name, where=packet):
            e = where.find(".//field[@name='%s']" % name)
            return None if e is None else e.get("show")
        frames = packet.findall("proto[@name='scanlink']")
        alarm = packet.find("proto[@name='scanlink_alarm']")
        if show("scanlink_rec.event") is not None:
            units.append({"dir": show("scanlink_rec.direction"), "code": "event " +
                          show("scanlink_rec.event"), "alarm": False,
                          "connection": show("scanlink_rec.connection"), "show": show})
            continue
        if len(frames) + (alarm is not None) != 1:
            fail("packet %s: %d units" % (show("frame.number"), len(frames)))
        code = None if not frames else show("scanlink.code", frames[0])
        units.append({"dir": show("scanlink_rec.direction"), "channel": show("scanlink_rec.channel"),
                      "code": None if code is None else int(code, 0), "alarm": alarm is not None,
                      "skipped": bool(frames) and show("scanlink.skipped", frames[0]) is not None,
                      "time": show("frame.time_epoch"), "p": packet, "show": show,
                      "connection": show("scanlink_rec.connection")})
    # Events: 2 connection ends, 3 link lost, 1 connection begins, 4 link restored.
    want = [("1", 43), ("0", 44), ("1", 0xF004), ("0", 0xF006), ("0", 36), ("0", None), ("0", 37),
            ("0", "alarm"), ("1", "alarm"), ("0", None), ("2", "event 2"), ("2", "event 3"),
            ("2", "event 1"), ("0", 37), ("2", "event 4")]
    got = [(u["dir"], "alarm" if u["alarm"] else u["code"]) for u in units]
    if got != want:
        fail("recording units: %s, expected %s" % (got, want))
    if not (units[5]["skipped"] and units[9]["skipped"]):
        fail("recording: damaged bytes and the cut frame not shown as skipped")
    if [u["connection"] for u in units[9:]] != ["0", "0", "0", "1", "1", "1"]:
        fail("recording: connections %s" % [u["connection"] for u in units[9:]])
    s = [u["show"] for u in units]
    checks = [
        (s[0]("scanlink.response_in"), "2", "the login's reply"),
        (s[1]("scanlink.response_to"), "1", "the reply's request"),
        (s[1]("scanlink.response_time"), "0.012500000", "the login's response time"),
        (s[3]("scanlink.response_time"), "0.004000000", "the start's response time"),
        (s[0]("scanlink.login.text1"), "fieldeng", "the login name"),
        (s[2]("scanlink.start.when"), "2025-12-09 17:07:30", "the start time"),
        (s[4]("scanlink.values.gpsText"), "$GPGGA,170800.00,3954.0000,N,11624.0600,E,1,08",
         "the GPS text"),
        (units[1]["time"], "1765300000.012500000", "the receive time"),
    ]
    for value, expected_value, what in checks:
        if value != expected_value:
            fail("recording: %s is %r, expected %r" % (what, value, expected_value))


if __name__ == "__main__":
    main()
