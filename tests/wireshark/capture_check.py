#!/usr/bin/env python3
"""The dissector against live traffic: a capture of a whole session with the simulator (every
command code it knows, every reply and report layout it sends, frames split across segments and
several frames in one segment, both directions, and the alarm link), dissected by tshark with the
dissector loaded, must show each frame with the header, name and fields that the simulator logged.

Run inside a private network namespace (tests/netns-run): it captures on lo and uses the fixed
alarm port.

capture_check.py --sim SIM --sim-fields SIM_FIELDS --lua scanlink.lua --work DIR
"""
import argparse
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

DATA_PORT = 5000
ALARM_PORT = 8050
MODULE = 20
UNSOLICITED = 0xFFFF
HEADER_FIELDS = {"sync", "module", "code", "trans", "length", "kind", "name", "payload", "skipped",
                 "response_in", "response_to", "response_time"}
WAIT = 15.0  # bound on every wait for an event


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def frame(code, trans, payload=b"", module=MODULE):
    return struct.pack(">BBHHH", 0x55, module, code, trans, len(payload)) + payload


def wait_until(predicate, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(0.01)
    fail("timed out waiting for " + what)


class Capture:
    """dumpcap on lo writing pcap to a pipe (flushed per packet), collected in memory."""

    def __init__(self):
        self.proc = subprocess.Popen(["dumpcap", "-q", "-P", "-i", "lo", "-w", "-"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.data = bytearray()
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def contains(self, marker):
        with self.lock:
            return marker in self.data

    def mark(self, name):
        """Sends a marker datagram until the capture holds it: everything sent before is in."""
        marker = ("scanlink-capture-" + name).encode()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            deadline = time.monotonic() + WAIT
            while not self.contains(marker):
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    fail("capture never saw marker " + name + ": " +
                         self.proc.stderr.read().decode(errors="replace"))
                s.sendto(marker, ("127.0.0.1", 9))
                time.sleep(0.02)

    def finish(self, path):
        self.proc.terminate()
        self.proc.wait(timeout=WAIT)
        with self.lock, open(path, "wb") as f:
            f.write(self.data)


class Simulator:
    def __init__(self, path, args):
        self.proc = subprocess.Popen([path] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        self.events = []
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        self.seq = 0

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.events.append(json.loads(line))

    def find(self, predicate, start=0):
        with self.lock:
            for e in self.events[start:]:
                if predicate(e):
                    return e
        return None

    def wait(self, predicate, what, start=0):
        return wait_until(lambda: self.find(predicate, start), what)

    def control(self, line):
        self.seq += 1
        seq = self.seq
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        e = self.wait(lambda e: e["event"] == "control" and e["seq"] == seq, "control " + line)
        if not e["ok"]:
            fail("control %r: %s" % (line, e.get("error")))


class Client:
    """The client end of the data link; sends in the pieces it is given, one segment each."""

    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", DATA_PORT), timeout=WAIT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.frames = []
        self.trans = 0

    def next_trans(self):
        self.trans += 1
        return self.trans

    def send(self, *pieces):
        for p in pieces:
            self.sock.sendall(p)

    def _pump(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            fail("simulator closed the data connection")
        self.buf += chunk
        while len(self.buf) >= 8:
            if self.buf[0] != 0x55:
                fail("client lost the frame start")
            length = struct.unpack(">H", self.buf[6:8])[0]
            if len(self.buf) < 8 + length:
                break
            module, code, trans = struct.unpack(">BHH", self.buf[1:6])
            self.frames.append((module, code, trans, self.buf[8:8 + length]))
            self.buf = self.buf[8 + length:]

    def wait_frame(self, predicate, what, start=0):
        deadline = time.monotonic() + WAIT
        while True:
            for i in range(start, len(self.frames)):
                if predicate(self.frames[i]):
                    return i
            if time.monotonic() > deadline:
                fail("client timed out waiting for " + what)
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                self._pump()
            except socket.timeout:
                pass

    def command(self, code, payload=b"", replies=(), pieces=None):
        """Sends one command (in the given cut points) and waits for the replies' codes."""
        t = self.next_trans()
        data = frame(code, t, payload)
        cuts = [0] + list(pieces or []) + [len(data)]
        self.send(*[data[a:b] for a, b in zip(cuts, cuts[1:])])
        for r in replies:
            self.wait_frame(lambda f, r=r: f[1] == r and f[2] == t, "reply 0x%04X" % r)
        return t


def text16(s):
    return s.encode().ljust(16, b"\0")


def td_header(mode, finger=0, selector=0, selector_value=16):
    return struct.pack(">BBBH", mode, finger, selector, selector_value)


def w_general(mode, start=2110000, end=2120000, step=5000):
    return struct.pack(">BIIIHHBBHBBBhBI", mode, start, end, step, 4, 5, 6, 7, 8, 9, 10, 1, -11,
                       12, 13)


def run_session(args):
    sim = Simulator(args.sim, ["--bind", "127.0.0.1", "--port", str(DATA_PORT), "--log", "-",
                               "--quiet", "--log-payloads", "--chunk", "100", "--rate", "100",
                               "--status-every", "2", "--cells-per-report", "3"])
    sim.wait(lambda e: e["event"] == "listening", "the simulator to listen")
    c = Client()
    alarm = socket.create_connection(("127.0.0.1", ALARM_PORT), timeout=WAIT)
    sim.wait(lambda e: e["event"] == "alarm-connected", "the alarm connection")

    # Several frames in one segment: three commands in one write.
    t1, t2, t3 = c.next_trans(), c.next_trans(), c.next_trans()
    c.send(frame(43, t1, text16("admin") + text16("secret")) + frame(20, t2) + frame(0xF014, t3))
    for code, t in ((44, t1), (21, t2), (0xF015, t3)):
        c.wait_frame(lambda f, code=code, t=t: f[1] == code and f[2] == t, "reply %d" % code)

    # Commands without a scan, some cut inside their header or payload.
    c.command(46, text16("secret") + text16("new"), pieces=[3])
    c.command(81, struct.pack(">I", 0xC0000201), pieces=[8])
    c.command(84, bytes([0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F]))
    c.command(87, struct.pack(">h", -2), replies=[89])
    c.command(97, struct.pack(">Hh", 3, -4), replies=[99])
    c.command(22, struct.pack(">IB", 7, 8) + bytes(range(10)) + bytes(range(10, 20)), replies=[23, 24],
              pieces=[5, 20])
    c.command(113)
    c.command(0xF030, replies=[0xF031, 0xF032])
    c.command(0xF040, struct.pack(">HH", 1, 2), replies=[0xF042])
    c.command(0x0777, b"\x01\x02\x03")  # a code nobody knows, with a body
    c.command(0xF001, replies=[0xF003])  # a TD mode without fields goes out empty
    c.command(0xF001, td_header(7), replies=[0xF003])
    c.command(0xF00A, replies=[0xF00B, 0xF00C])
    c.command(10, replies=[11, 12])
    c.command(18)
    c.command(0xF012)

    # Every scan mode, started, until its report (and a status frame) arrives.
    start_time = struct.pack(">HBBBBB", 126, 11, 8, 13, 30, 0)
    scans = [
        (1, w_general(0), 4, start_time, 6, 36),
        (1, w_general(1), 4, start_time, 6, 41),
        (1, w_general(2), 4, start_time, 6, 257),
        (1, w_general(3), 4, start_time, 6, 259),
        (1, w_general(4), 4, start_time, 6, 73),
        (1, w_general(5), 4, start_time, 6, 38),
        (1, struct.pack(">BBHBB", 7, 1, 2, 3, 2) + struct.pack(">IHIH", 10054, 1, 10055, 2), 4,
         start_time, 6, 40),
        (1, struct.pack(">BBHBB", 8, 1, 2, 3, 3) + struct.pack(">III", 10700, 10725, 10750), 4,
         start_time, 6, 36),
        (0xF001, td_header(1, finger=1) + struct.pack(">BIHIHB", 2, 10054, 1, 10055, 2, 3), 0xF004,
         b"", 0xF006, 0xF025),
        (0xF001, td_header(1, finger=0) + struct.pack(">BIHB", 1, 10054, 1, 3), 0xF004, start_time,
         0xF006, 0xF025),
        (0xF001, td_header(2, finger=1) + struct.pack(">BHII", 1, 2, 3, 4), 0xF004, b"", 0xF006,
         0xF025),
        (0xF001, td_header(3) + struct.pack(">IIIBBh", 2010000, 2012000, 500, 4, 1, -5), 0xF004,
         b"", 0xF006, 0xF026),
        (0xF001, td_header(4) + struct.pack(">BIHIHB", 2, 10054, 0xFFFF, 10080, 0xFFFF, 0), 0xF004,
         b"", 0xF006, 0xF027),
        (0xF001, td_header(5) + struct.pack(">IH", 2010000, 6), 0xF004, b"", 0xF006, 0xF102),
        (0xF001, td_header(6) + struct.pack(">IIHBBB", 1, 2, 3, 4, 5, 6) + bytes(range(16)) +
         bytes(range(16, 32)), 0xF004, b"", 0xF006, 0xF100),
        (0xF001, td_header(8) + struct.pack(">IBH", 1, 2, 3), 0xF004, b"", 0xF006, 0xF102),
    ]
    for set_code, body, start_code, start_body, start_result, report in scans:
        c.command(set_code, body, replies=[set_code + 2], pieces=[len(body) // 2 + 8])
        mark = len(c.frames)
        c.command(start_code, start_body, replies=[start_result])
        c.wait_frame(lambda f, report=report: f[1] == report and f[2] == UNSOLICITED,
                     "report 0x%04X" % report, start=mark)
        status = 37 if start_code == 4 else 0xF028
        c.wait_frame(lambda f, status=status: f[1] == status and f[2] == UNSOLICITED,
                     "status 0x%04X" % status, start=mark)
        get_code = 10 if set_code == 1 else 0xF00A
        c.command(get_code, replies=[get_code + 1, get_code + 2])  # the mode, in its own layout
    c.command(0xF007, replies=[0xF009])
    c.command(7, replies=[9])

    # Replies the simulator has no command for, and a link status frame, injected as frames.
    injected = [
        (25, 900, "00000005"),
        (51, 901, "00000001" "00000002" "0003"),
        (0xF02A, 902, "07" + b"$GPGGA,1".hex().ljust(238, "0") + "00000009" "0000000a"),
        (0xF02B, 903, "0001"),
        (0xFFEE, UNSOLICITED, "0002"),
    ]
    for code, trans, payload in injected:
        sim.control("frame %d %d %s %d" % (code, trans, payload, MODULE))
        c.wait_frame(lambda f, code=code: f[1] == code, "injected 0x%04X" % code)

    # The alarm link both ways.
    alarm.sendall(b"\x01\x02alarm")
    sim.wait(lambda e: e["event"] == "alarm-bytes", "alarm bytes at the simulator")
    sim.control("alarm 0a0b0c")
    got = b""
    while len(got) < 3:
        got += alarm.recv(16)

    c.sock.close()
    alarm.close()
    sim.wait(lambda e: e["event"] == "data-closed", "the data connection to close")
    sim.control("quit")
    sim.proc.wait(timeout=WAIT)
    return sim.events


def leaf_value(el):
    show = el.get("show", "")
    try:
        return int(show, 0)
    except ValueError:
        return show.replace(":", "").lower()


def norm(v):
    if isinstance(v, str):
        return v.replace(":", "").lower()
    if isinstance(v, list):
        return [norm(x) for x in v]
    if isinstance(v, dict):
        return {k: norm(x) for k, x in v.items()}
    if isinstance(v, bool):
        return int(v)
    return v


def fields_of(el):
    """The dissector's tree below a layout item, shaped like the simulator's decoded fields."""
    obj = {}
    for child in el:
        name = child.get("name", "")
        if child.tag != "field" or name.startswith("_ws") or not name.startswith("scanlink."):
            continue
        key = name.rsplit(".", 1)[1]
        if key == "reserved":
            continue
        kids = [k for k in child if k.tag == "field" and not k.get("name", "").startswith("_ws")]
        if not kids and child.get("show") == "" and child.get("value", "") == "":
            obj[key] = []  # a list container with no elements
        elif kids:
            obj[key] = [fields_of(k) if any(g.tag == "field" for g in k) else leaf_value(k)
                        for k in kids]
        else:
            obj[key] = leaf_value(child)
    return obj


def dissect(args, pcap):
    out = subprocess.run(["tshark", "-r", pcap, "-X", "lua_script:" + args.lua,
                          "-o", "tcp.desegment_tcp_streams:TRUE", "-T", "pdml"],
                         capture_output=True, text=True, timeout=120)
    if out.returncode != 0 or "Lua" in out.stderr or "rror" in out.stderr:
        fail("tshark: rc %d, %s" % (out.returncode, out.stderr))
    root = ET.fromstring(out.stdout)
    pdus = {"to": [], "from": []}
    alarm = {"to": [], "from": []}
    split = {"to": 0, "from": 0}
    multi = {"to": 0, "from": 0}
    for packet in root.iter("packet"):
        names = {f.get("name") for f in packet.iter("field")} | {p.get("name") for p in packet.iter("proto")}
        if "_ws.malformed" in names or any(n and n.startswith("_ws.lua") and n != "_ws.lua.fake"
                                           for n in names):
            fail("malformed or Lua error in packet %s" % packet.find("proto/field[@name='num']").get("show"))
        tcp = packet.find("proto[@name='tcp']")
        if tcp is None:
            continue
        dport = int(tcp.find("field[@name='tcp.dstport']").get("show"))
        sport = int(tcp.find("field[@name='tcp.srcport']").get("show"))
        for a in packet.findall("proto[@name='scanlink_alarm']"):
            data = a.find("field[@name='scanlink_alarm.data']").get("value")
            alarm["to" if dport == ALARM_PORT else "from"].append(data)
        frames = packet.findall("proto[@name='scanlink']")
        if not frames:
            continue
        direction = "to" if dport == DATA_PORT else "from"
        assert dport == DATA_PORT or sport == DATA_PORT
        if "tcp.segments" in names or "tcp.reassembled.length" in names:
            split[direction] += 1
        if len(frames) > 1:
            multi[direction] += 1
        for f in frames:
            def get(n, f=f):
                return f.find("field[@name='scanlink.%s']" % n)
            body = [ch for ch in f if ch.tag == "field" and ch.get("name", "").startswith("scanlink.")
                    and ch.get("name").split(".", 1)[1] not in HEADER_FIELDS]
            payload = get("payload")
            pdus[direction].append({
                "module": int(get("module").get("show"), 0),
                "code": int(get("code").get("show"), 0),
                "trans": int(get("trans").get("show"), 0),
                "length": int(get("length").get("show"), 0),
                "kind": get("kind").get("show"),
                "name": get("name").get("show"),
                "payload": "" if payload is None else payload.get("value"),
                "fields": fields_of(body[0]) if body else {},
                "experts": [x.get("name") for x in f.iter("field")
                            if x.get("name", "").startswith("scanlink.ex.")],
            })
    return pdus, alarm, split, multi


def check(args, events, pdus, alarm, split, multi):
    commands = [e for e in events if e["event"] == "command"]
    sent = [e for e in events if e["event"] == "sent"]
    sim_fields = subprocess.run([args.sim_fields], input="\n".join(json.dumps(e) for e in events),
                                capture_output=True, text=True, check=True).stdout.splitlines()
    sim_fields = [json.loads(x) for x in sim_fields]
    if len(sim_fields) != len(sent):
        fail("sim_fields gave %d lines for %d sent frames" % (len(sim_fields), len(sent)))
    expected_injected = {
        25: {"value": 5},
        51: {"value1": 1, "value2": 2, "value3": 3},
        0xF02A: {"headerByte": 7, "gpsText": "$GPGGA,1", "headerValue1": 9, "headerValue2": 10},
        0xF02B: {"value": 1},
        0xFFEE: {"status0": 0, "status1": 2},
    }

    def compare(direction, logged, want_fields):
        got = pdus[direction]
        if len(got) != len(logged):
            fail("%s the scanner: dissector shows %d frames, simulator logged %d" %
                 (direction, len(got), len(logged)))
        for i, (g, e) in enumerate(zip(got, logged)):
            where = "%s the scanner, frame %d (code 0x%04X)" % (direction, i, e["code"])
            for k in ("module", "code", "trans", "length", "payload"):
                if g[k] != e[k]:
                    fail("%s: %s is %r in the dissector, %r in the log" % (where, k, g[k], e[k]))
            if e["name"] not in ("Raw",) and g["name"] != e["name"]:
                fail("%s: named %r, the simulator says %r" % (where, g["name"], e["name"]))
            want_kind = "command" if direction == "to" else (
                "report" if e["trans"] == UNSOLICITED else "reply")
            if g["kind"] != want_kind:
                fail("%s: kind %s, expected %s" % (where, g["kind"], want_kind))
            want = want_fields(i, e)
            if norm(g["fields"]) != norm(want):
                fail("%s: fields differ\n dissector: %s\n simulator: %s" %
                     (where, json.dumps(g["fields"])[:2000], json.dumps(want)[:2000]))
            allowed = ["scanlink.ex.body"] if g["name"] == "Unknown" and g["length"] else []
            if g["experts"] != allowed:
                fail("%s: expert items %s" % (where, g["experts"]))

    def command_fields(i, e):
        # The login texts are shown as text (up to the first NUL), the simulator logs their bytes.
        f = dict(e["fields"] or {})
        if e["code"] in (43, 46):
            for k in ("text1", "text2"):
                f[k] = bytes.fromhex(f[k]).split(b"\0")[0].decode("ascii", "replace")
        if e["code"] in (4, 0xF004) and "year" in f:
            f["when"] = "%04d-%02d-%02d %02d:%02d:%02d" % (f["year"] + 1900, f["month"] + 1, f["day"],
                                                        f["hour"], f["minute"], f["second"])
        return f

    compare("to", commands, command_fields)

    def sent_fields(i, e):
        if sim_fields[i]["fields"] is not None:
            return sim_fields[i]["fields"]
        return expected_injected.get(e["code"], {})
    compare("from", sent, sent_fields)

    # Coverage: everything the simulator knows went over the wire and was dissected.
    seen_commands = {(p["code"], p["fields"].get("mode") if p["code"] in (1, 0xF001) else None)
                     for p in pdus["to"]}
    want_commands = {1, 4, 7, 10, 18, 20, 22, 43, 46, 81, 84, 87, 97, 113, 0xF001, 0xF004, 0xF007,
                     0xF00A, 0xF012, 0xF014, 0xF030, 0xF040}
    missing = want_commands - {c for c, _ in seen_commands}
    if missing:
        fail("command codes never dissected: %s" % sorted(missing))
    for family, modes in ((1, [0, 1, 2, 3, 4, 5, 7, 8]), (0xF001, [1, 2, 3, 4, 5, 6, 7, 8])):
        for m in modes:
            if (family, m) not in seen_commands:
                fail("scan mode %d of code 0x%04X never dissected" % (m, family))
    seen_from = {(p["code"], p["trans"] == UNSOLICITED) for p in pdus["from"]}
    want_replies = {3, 5, 6, 9, 11, 12, 21, 23, 24, 25, 44, 51, 89, 99, 0xF003, 0xF006, 0xF009,
                    0xF00B, 0xF00C, 0xF015, 0xF02A, 0xF02B, 0xF031, 0xF032, 0xF042}
    want_reports = {36, 37, 38, 40, 41, 257, 259, 73, 0xF025, 0xF026, 0xF027, 0xF028, 0xF100,
                    0xF102, 0xFFEE}
    missing = {c for c in want_replies if (c, False) not in seen_from} | \
              {c for c in want_reports if (c, True) not in seen_from}
    if missing:
        fail("reply/report codes never dissected: %s" % sorted(missing))
    td_cells = {"cells" in p["fields"] and bool(p["fields"]["cells"]) and "fingers" in p["fields"]["cells"][0]
                for p in pdus["from"] if p["code"] == 0xF025}
    if td_cells != {True, False}:
        fail("TD cell reports with and without fingers were not both dissected")

    # The point of the exercise: reassembly and several frames per segment, both ways.
    for d in ("to", "from"):
        if split[d] == 0:
            fail("no frame %s the scanner was split across segments" % d)
        if multi[d] == 0:
            fail("no segment %s the scanner held several frames" % d)

    alarm_log = {"to": [e["hex"] for e in events if e["event"] == "alarm-bytes"],
                 "from": [e["hex"] for e in events if e["event"] == "alarm-sent"]}
    for d in ("to", "from"):
        if "".join(alarm[d]) != "".join(alarm_log[d]):
            fail("alarm bytes %s the scanner: dissector %s, log %s" % (d, alarm[d], alarm_log[d]))

    print("ok: %d frames to and %d from the scanner compared; %d/%d split, %d/%d multi-frame segments"
          % (len(pdus["to"]), len(pdus["from"]), split["to"], split["from"], multi["to"], multi["from"]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sim", required=True)
    ap.add_argument("--sim-fields", required=True)
    ap.add_argument("--lua", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    missing = [t for t in ("tshark", "dumpcap") if shutil.which(t) is None]
    if missing:
        print("SKIP: %s not installed (apt-get install tshark)" % " and ".join(missing))
        sys.exit(77)
    os.makedirs(args.work, exist_ok=True)
    pcap = os.path.join(args.work, "session.pcap")

    cap = Capture()
    cap.mark("start")
    events = run_session(args)
    cap.mark("end")
    cap.finish(pcap)
    with open(os.path.join(args.work, "sim-log.jsonl"), "w") as f:
        f.write("\n".join(json.dumps(e) for e in events) + "\n")
    pdus, alarm, split, multi = dissect(args, pcap)
    check(args, events, pdus, alarm, split, multi)
    check_levels(args, pcap)


def check_levels(args, pcap):
    """Under a declared level convention every level field of a report shows its value in the
    unit beside the raw one (here every value of the TD cell and sweep reports)."""
    out = subprocess.run(["tshark", "-r", pcap, "-X", "lua_script:" + args.lua,
                          "-o", "scanlink.level_unit:dBm", "-o", "scanlink.level_offset:-150",
                          "-Y", "scanlink.code == 0xF025 || scanlink.code == 0xF026",
                          "-T", "fields", "-E", "occurrence=a", "-e", "scanlink.u16",
                          "-e", "scanlink.level"], capture_output=True, text=True, timeout=120)
    rows = [line.split("\t") for line in out.stdout.splitlines() if line.strip()]
    if out.returncode != 0 or not rows:
        fail("tshark with a level convention: rc %d, %s" % (out.returncode, out.stderr))
    for raw, level in rows:
        if [int(v) - 150 for v in raw.split(",")] != [int(float(v)) for v in level.split(",")]:
            fail("levels %s are not the raw values %s less 150" % (level, raw))


if __name__ == "__main__":
    main()
