"""Reading recordings: our pcapng, tcpdump's pcap and pcapng (each TCP connection's streams
reassembled on their own), and the old raw stream files with "# key: value" header lines."""
import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List

FROM_SCANNER, TO_SCANNER, EVENT = 0, 1, 2
DATA, ALARM = 0, 1
CONNECTION_BEGINS, CONNECTION_ENDS, LINK_LOST, LINK_RESTORED = 1, 2, 3, 4
_USER0 = 147          # our link type: a 4-byte pseudo-header, then the unit's bytes
_ALARM_PORT = 8050


@dataclass
class Packet:
    time_us: int        # UTC microseconds since 1970, -1 when unknown
    direction: int      # FROM_SCANNER, TO_SCANNER or EVENT (data: a note in UTF-8)
    channel: int        # DATA or ALARM
    data: bytes
    connection: int = 0  # frames never span two connections; index into Recording.connections
    event: int = 0       # EVENT packets: CONNECTION_BEGINS, CONNECTION_ENDS, LINK_LOST, ...


@dataclass
class Recording:
    format: str                                   # "pcapng", "pcap" or "stream"
    header: Dict[str, str] = field(default_factory=dict)
    packets: List[Packet] = field(default_factory=list)
    warnings: List[str] = field(default_factory=list)
    connections: List[dict] = field(default_factory=list)  # captures: {"scanner", "client", "channel"}
    notes: List[str] = field(default_factory=list)         # what was passed over, and why

    def scanner_stream(self):
        """The bytes the scanner sent on the data connections, in order (joined: cut frames from
        scanner_streams() instead)."""
        return b"".join(self.scanner_streams())

    def scanner_streams(self):
        """The bytes the scanner sent, one stream per data connection, in order of their start."""
        streams = {}
        for p in self.packets:
            if p.direction == FROM_SCANNER and p.channel == DATA:
                streams.setdefault(p.connection, []).append(p.data)
        return [b"".join(parts) for parts in streams.values()]


class RecordingError(ValueError):
    """A file that is not a readable recording."""


def _header_line(line, header):
    key, colon, value = line.strip().partition(":")
    if colon:
        header[key.strip()] = value.strip()


def _ours(data, time_us, rec, state):
    event = len(data) > 4 and data[1] == EVENT and 1 <= data[4] <= 4
    if len(data) < 4 or data[0] != 1 or (data[1] > 1 and not event) or data[2] > 1:
        rec.warnings.append(f"packet {len(rec.packets) + 1}: not a scanlink unit, passed over")
        return
    # The pseudo-header's last byte counts connections modulo 256.
    state["connection"] += (data[3] - state["connection"]) % 256
    rec.packets.append(Packet(time_us, data[1], data[2], bytes(data[5 if event else 4:]),
                              state["connection"], data[4] if event else 0))


def _carries_frames(packets, start_seen):
    """A whole frame at the stream's start (or within its first bytes when the start was not
    captured), or one begun there and cut off: this protocol."""
    b = b"".join(p.data for p in packets)[:8192]
    if b[:1] == b"\x55" and (len(b) < 8 or 8 + struct.unpack(">H", b[6:8])[0] > len(b)):
        return True  # a frame begun at the start, cut off by the capture
    for i in range(len(b)) if not start_seen else range(min(1, len(b))):
        if b[i] == 0x55 and len(b) - i >= 8:
            n = 8 + struct.unpack(">H", b[i + 6:i + 8])[0]
            if n <= 2056 and n <= len(b) - i and (n == len(b) - i or b[i + n] == 0x55):
                return True
    return False


class _Tcp:
    """IPv4 TCP segments of a capture, reassembled per direction by sequence number."""

    def __init__(self):
        self.segments = {}  # ((src, sport), (dst, dport)) -> [(seq, time, payload, syn)]
        self.servers = {}   # connection -> its server (address, port)
        self.first = {}     # connection -> time of its first segment
        self.ends = {}      # connection -> time of its first FIN or RST

    def add(self, link, d, time_us):
        if link == 1:
            at = 12
            while d[at:at + 2] in (b"\x81\x00", b"\x88\xa8"):
                at += 4
            ip = d[at + 2:] if d[at:at + 2] == b"\x08\x00" else None
        elif link == 113:
            ip = d[16:] if d[14:16] == b"\x08\x00" else None
        elif link == 276:
            ip = d[20:] if d[0:2] == b"\x08\x00" else None
        elif link in (101, 228):
            ip = d
        elif link in (0, 108):
            ip = d[4:] if len(d) >= 4 and (d[0] == 2 or d[3] == 2) else None
        else:
            ip = None
        if not ip or len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != 6:
            return
        ihl, total = (ip[0] & 15) * 4, struct.unpack(">H", ip[2:4])[0]
        if struct.unpack(">H", ip[6:8])[0] & 0x3FFF or ihl < 20 or total < ihl:
            return
        tcp = ip[ihl:total]
        if len(tcp) < 20:
            return
        sport, dport, seq = struct.unpack(">HHI", tcp[:8])
        syn = bool(tcp[13] & 2)
        payload = tcp[(tcp[12] >> 4) * 4:]
        src, dst = (bytes(ip[12:16]), sport), (bytes(ip[16:20]), dport)
        conn = frozenset((src, dst))
        if syn and not tcp[13] & 0x10:
            self.servers[conn] = dst  # a connection's start names its server
        self.first.setdefault(conn, time_us)
        if tcp[13] & 0x05:
            self.ends.setdefault(conn, time_us)
        self.segments.setdefault((src, dst), []).append((seq, time_us, bytes(payload), syn))

    @staticmethod
    def _reassemble(segs, direction, channel, warnings):
        base = segs[0][0]
        offset = [(s[0] - base + 2**31) % 2**32 - 2**31 for s in segs]
        syn = [o for o, s in zip(offset, segs) if s[3]]
        expected = syn[0] + 1 if syn else min(offset)
        out, time_us, missing = [], -1, 0
        for o, (seq, t, payload, is_syn) in sorted(zip(offset, segs), key=lambda x: x[0]):
            start = o + (1 if is_syn else 0)
            end = start + len(payload)
            if not payload or end <= expected:
                continue
            if start > expected:
                missing += start - expected
                expected = start
            time_us = max(time_us, t)
            out.append(Packet(time_us, direction, channel, payload[expected - start:]))
            expected = end
        if missing:
            warnings.append(f"{missing} bytes missing from a TCP stream of the capture")
        return out

    def read(self, host, port, rec):
        def name(address, p):
            return ".".join(str(x) for x in address) + f":{p}"

        chosen, scanners = [], set()
        conns = sorted({frozenset(k) for k in self.segments}, key=lambda c: self.first.get(c, 0))
        for want_alarm in (False, True):
            for conn in conns:
                a, b = sorted(conn) if len(conn) == 2 else (next(iter(conn)),) * 2
                alarm = _ALARM_PORT in (a[1], b[1])
                if alarm != want_alarm:
                    continue
                server = self.servers.get(conn)
                if server is None:
                    known = _ALARM_PORT if alarm else port
                    server = ((a if a[1] == known else b) if known and known in (a[1], b[1])
                              else (a if a[1] < b[1] else b))
                if host and ".".join(str(x) for x in server[0]) != host:
                    continue
                if (server[0] not in scanners) if alarm else (port and server[1] != port):
                    continue
                chosen.append((conn, server, b if server == a else a, alarm))
                if not alarm:
                    scanners.add(server[0])
        data_connections = 0
        for conn, server, client, alarm in chosen:
            label = f"{'alarm' if alarm else 'data'} connection {name(*server)} - {name(*client)}"
            channel = ALARM if alarm else DATA
            found, parts = [], []
            for src, dst, direction in ((server, client, FROM_SCANNER), (client, server, TO_SCANNER)):
                segs = self.segments.get((src, dst))
                parts.append(self._reassemble(segs, direction, channel, found) if segs else [])
            if not parts[0] and not parts[1]:
                continue
            start_seen = conn in self.servers
            if not alarm and not any(_carries_frames(p, start_seen) for p in parts):
                rec.notes.append(f"{label}: not scanlink, passed over")
                continue
            rec.warnings += found
            data_connections += not alarm
            index = len(rec.connections)
            rec.connections.append({"scanner": name(*server), "client": name(*client),
                                    "channel": channel})
            rec.packets.append(Packet(self.first.get(conn, -1), EVENT, channel, label.encode(),
                                      index, CONNECTION_BEGINS))
            for p in parts[0] + parts[1]:
                p.connection = index
                rec.packets.append(p)
            if conn in self.ends:
                rec.packets.append(Packet(self.ends[conn], EVENT, channel, label.encode(), index,
                                          CONNECTION_ENDS))
        if not data_connections:
            rec.warnings.append("no scanlink data connection in the capture")
        rec.packets.sort(key=lambda p: p.time_us)


def _pcapng(f, host, data_port, rec):
    rec.format = "pcapng"
    state = {"connection": 0}
    tcp, at, endian, interfaces, foreign = _Tcp(), 0, "<", [], False
    while at < len(f):
        if len(f) - at < 12:
            rec.warnings.append(f"file ends inside a block at byte {at}")
            break
        if f[at:at + 4] == b"\x0a\x0d\x0d\x0a":
            magic = f[at + 8:at + 12]
            if magic not in (b"\x4d\x3c\x2b\x1a", b"\x1a\x2b\x3c\x4d"):
                raise RecordingError("a pcapng section without its byte-order magic")
            endian, interfaces = ("<" if magic == b"\x4d\x3c\x2b\x1a" else ">"), []
        kind, length = struct.unpack(endian + "II", f[at:at + 8])
        if length < 12 or length % 4 or length > len(f) - at:
            if at == 0:
                raise RecordingError("not a readable pcapng file")
            rec.warnings.append(f"unreadable block at byte {at}, the rest passed over")
            break
        block = f[at:at + length]

        def options(start):
            o = start
            while o + 4 <= length - 4:
                code, size = struct.unpack(endian + "HH", block[o:o + 4])
                if code == 0 or o + 4 + size > length - 4:
                    return
                yield code, block[o + 4:o + 4 + size]
                o += 4 + (size + 3) // 4 * 4

        if kind == 0x0A0D0D0A and length >= 28:
            for code, value in options(24):
                if code == 1:
                    for line in value.decode("utf-8", "replace").splitlines():
                        _header_line(line, rec.header)
        elif kind == 1 and length >= 20:
            iface = {"link": struct.unpack(endian + "H", block[8:10])[0], "res": 6, "off": 0}
            for code, value in options(16):
                if code == 9 and value:
                    iface["res"] = value[0]
                elif code == 14 and len(value) >= 8:
                    iface["off"] = struct.unpack(endian + "q", value[:8])[0]
            interfaces.append(iface)
        elif kind in (3, 6):
            start = 28 if kind == 6 else 16
            iface_id = struct.unpack(endian + "I", block[8:12])[0] if kind == 6 else 0
            if length < start + 4 or iface_id >= len(interfaces):
                rec.warnings.append(f"packet block at byte {at} without its interface, passed over")
            else:
                iface = interfaces[iface_id]
                captured = struct.unpack(endian + "I", block[20:24] if kind == 6 else block[8:12])[0]
                data = block[start:start + min(captured, length - 4 - start)]
                time_us = -1
                if kind == 6:
                    hi, lo = struct.unpack(endian + "II", block[12:20])
                    ticks, res = hi << 32 | lo, iface["res"]
                    time_us = (int(ticks * 1_000_000 / 2 ** (res & 0x7F)) if res & 0x80
                               else ticks * 10 ** (6 - res) if res <= 6
                               else ticks // 10 ** (res - 6)) + iface["off"] * 1_000_000
                if iface["link"] == _USER0:
                    _ours(data, time_us, rec, state)
                else:
                    foreign = True
                    tcp.add(iface["link"], data, time_us)
        at += length
    if foreign:
        tcp.read(host, data_port, rec)


def _pcap(f, host, data_port, rec):
    rec.format = "pcap"
    state = {"connection": 0}
    if len(f) < 24:
        raise RecordingError("pcap file shorter than its header")
    endian = "<" if f[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    nano = struct.unpack(endian + "I", f[:4])[0] == 0xA1B23C4D
    link = struct.unpack(endian + "I", f[20:24])[0] & 0xFFFF
    tcp, at = _Tcp(), 24
    while at < len(f):
        if len(f) - at < 16:
            rec.warnings.append(f"file ends inside a packet header at byte {at}")
            break
        sec, frac, captured = struct.unpack(endian + "III", f[at:at + 12])
        if captured > 262144 or captured > len(f) - at - 16:
            rec.warnings.append(f"unreadable or cut packet at byte {at}, the rest passed over")
            break
        time_us = sec * 1_000_000 + (frac // 1000 if nano else frac)
        data = f[at + 16:at + 16 + captured]
        if link == _USER0:
            _ours(data, time_us, rec, state)
        else:
            tcp.add(link, data, time_us)
        at += 16 + captured
    if link != _USER0:
        tcp.read(host, data_port, rec)


def read_recording(path, data_port=0, host=None):
    """A Recording of the file: our pcapng (or pcap), a tcpdump capture (each TCP connection that
    carries frames on its own, labelled in ``connections``; ``host`` and ``data_port`` choose the
    scanner; port 8050 is an alarm connection), or an old raw stream (one packet, time unknown).
    Raises RecordingError on an unreadable file, OSError when unopenable."""
    f = Path(path).read_bytes()
    rec = Recording("stream")
    try:
        if f[:4] == b"\x0a\x0d\x0d\x0a":
            _pcapng(f, host, data_port, rec)
        elif f[:4] in (b"\xa1\xb2\xc3\xd4", b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\x3c\x4d",
                       b"\x4d\x3c\xb2\xa1"):
            _pcap(f, host, data_port, rec)
        else:
            at = 0
            while at < len(f) and f[at:at + 1] == b"#":
                end = f.find(b"\n", at)
                end = len(f) if end < 0 else end
                _header_line(f[at + 1:end].decode("utf-8", "replace"), rec.header)
                at = min(end + 1, len(f))
            rec.packets.append(Packet(-1, FROM_SCANNER, DATA, f[at:]))
    except (struct.error, IndexError) as e:
        raise RecordingError(f"{path}: unreadable ({e})") from None
    except RecordingError as e:
        raise RecordingError(f"{path}: {e}") from None
    return rec
