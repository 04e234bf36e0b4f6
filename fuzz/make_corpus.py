#!/usr/bin/env python3
"""Writes the hand-made seed corpora into fuzz/corpus/<target>/.

Each seed is built from the wire layouts with the input prefix its target expects (see the comment
at the top of each fuzz_*.cpp). Run it again after changing a prefix; the files are committed.
"""
import os
import shutil
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def u16(v):
    return struct.pack(">H", v & 0xFFFF)


def u32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def frame(code, payload, trans=7, module=20, sync=0x55, length=None):
    n = len(payload) if length is None else length
    return bytes([sync, module]) + u16(code) + u16(trans) + u16(n) + payload


def write(target, seeds):
    folder = os.path.join(ROOT, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


# --- framer: [count-1 of chunk sizes][sizes...][stream] -------------------------------------
# A size byte of 0 is a 4096-byte read, 1..127 that many bytes, 0x80|k (k+1)*32 bytes.
def framer_input(sizes, stream):
    return bytes([len(sizes) - 1]) + bytes(sizes) + stream


def framer_seeds():
    small = frame(3, b"\x12\x34")
    empty = frame(0xF028, b"")
    big = frame(0xF100, bytes(i & 0xFF for i in range(992)))  # 1000-byte frame
    largest = frame(0xF025, bytes(2048))
    oversized = frame(40, b"\xAA" * 2100)  # payload above 2048: stepped over
    return {
        "one_frame": framer_input([0], small),
        "two_frames": framer_input([0], small + empty),
        "empty_payload": framer_input([0], empty),
        "largest_frame": framer_input([0], largest),
        "header_split_5": framer_input([5, 0], small + small),
        "body_split_608": framer_input([0x80 | 18, 0], big + small),
        "byte_by_byte": framer_input([1], small + empty + small),
        "three_reads": framer_input([3, 7, 11], small + big + empty),
        "oversized_then_frame": framer_input([0], oversized + small),
        "oversized_split_header": framer_input([3, 0x80 | 40], oversized + small),
        "wrong_sync": framer_input([0], b"\x54" + small[1:] + small),
        "wrong_sync_next_read": framer_input([len(small), 0], small + b"\x00" * 9 + small),
        "short_tail": framer_input([0], small + b"\x55\x14\x00"),
        "short_garbage": framer_input([0], b"\x01\x02\x03"),
        "max_declared": framer_input([0x7F, 0], frame(3, b"", length=0xFFFF) + small),
    }


# --- decode: [code sel][code hi][code lo][trans sel][flags][claimed hi][claimed lo][payload] --
# code sel 0: the code is bytes 1-2; trans sel bit 0: 0xFFFF, else (sel >> 1) * 9.
REPORT, REPLY = 1, 2  # trans selectors: 0xFFFF, 9


def decode_input(code, payload, trans=REPLY, finger=0, claimed=None, limit=1):
    flags = finger | (limit << 4)
    if claimed is not None:
        flags |= 4
    return bytes([0]) + u16(code) + bytes([trans, flags]) + u16(claimed or 0) + payload


GPS = b"$GPGGA,092750.000,3954.0000,N,11624.0000,E,1,8,1.03,61.7,M,55.2,M,,*76".ljust(119, b"\0")


def td_cell(key1, key2, delay, fingers=False):
    rec = u32(key1) + u16(key2) + b"".join(u16(k) for k in range(21)) + u16(delay)
    if fingers:
        rec += u32(9) + b"".join(u32(f * 4 + k) for f in range(4) for k in range(4))
    return rec


def cell_record(entries):
    rec = u32(1) + u16(2) + u16(3) + u16(4) + u16(5) + u16(6) + bytes([entries])
    return rec + b"".join(u32(100 + j) + u16(j) for j in range(entries))


def profile(short):
    head = bytes([1]) + (u16(2) + u32(3) if short else u32(2) + u32(3) + u32(4) + u16(5) + u32(6))
    return head + b"".join(u16(k) for k in range(288))


def decode_seeds():
    header = bytes([1]) + GPS
    td_head = header + u32(1) + u32(0) + bytes([5])
    return {
        "reply_3": decode_input(3, b"\x12\x34"),
        "reply_21_two_block": decode_input(21, bytes(range(32)) + u32(0x01020304) + b"\x09"),
        "reply_44_family": decode_input(44, u32(12)),
        "reply_51": decode_input(51, u32(1) + u32(2) + u16(3)),
        "reply_11_general": decode_input(11, b"\x00" + bytes(range(1, 31))),
        "reply_11_cells": decode_input(11, b"\x07\x01\x00\x02\x03\x03" + (u32(10) + u16(1)) * 3),
        "reply_11_freqs": decode_input(11, b"\x08\x01\x00\x02\x03\x02" + u32(10) + u32(11)),
        "reply_f00b_list": decode_input(0xF00B, b"\x01\x00\x00\x00\x10\x01" + u32(950) + u16(0xFFFF) + b"\x03"),
        "reply_f00b_channel": decode_input(0xF00B, b"\x06\x00\x01\x00\x02" + bytes(range(45))),
        "reply_f00b_mode7": decode_input(0xF00B, b"\x07\x01\x02\x00\x03"),
        "reply_f015": decode_input(0xF015, bytes(range(16)) + u32(5) + b"\x01"),
        "reply_f02a_gps": decode_input(0xF02A, header + u32(1) + u32(2)),
        "reply_f031_battery": decode_input(0xF031, u16(80) + b"\x02"),
        "wrong_table_3": decode_input(3, b"\x12\x34", trans=REPORT),
        "report_37": decode_input(37, b"\x00\x01", trans=REPORT),
        "report_f028": decode_input(0xF028, u32(1) + u16(2), trans=REPORT),
        "link_status": decode_input(0xFFEE, b"\x00\x02", trans=REPORT),
        "report_36": decode_input(36, header + u32(1) + u32(2) + u32(3) + u16(2) + u16(7) + u16(8), trans=REPORT),
        "report_36_refused": decode_input(36, header + u32(1) + u32(2) + u32(3) + u16(51), trans=REPORT),
        "report_f027": decode_input(0xF027, header + u32(1) + u32(2) + u16(3) + u16(1) * 3, trans=REPORT),
        "report_38": decode_input(38, u16(2) + u32(9) + u16(1) + u16(2) + b"\x05", trans=REPORT),
        "report_38_over_slots": decode_input(38, u16(25) + u32(9) + u16(1) * 25 + b"\x05", trans=REPORT),
        "report_40": decode_input(40, header + u32(1) + u32(2) + b"\xEE\x02" + u32(3) + cell_record(2) + cell_record(0), trans=REPORT),
        "report_259_many_entries": decode_input(259, header + u32(1) + u32(2) + b"\x00\x01" + u32(3) + cell_record(9), trans=REPORT),
        "report_73_sweep": decode_input(73, u32(10) + u32(20) + u32(5) + u16(1) + u16(2) + u16(3), trans=REPORT),
        "report_f026_step0": decode_input(0xF026, u32(10) + u32(20) + u32(0) + u16(1), trans=REPORT),
        "report_f026_wide": decode_input(0xF026, u32(0) + u32(0xFFFFFFFF) + u32(1) + u16(1) * 4, trans=REPORT),
        "report_f025_checked": decode_input(
            0xF025, td_head + b"\x02" + td_cell(1, 2, 180) + td_cell(0x01020304, 0x0506, 0xFF00), trans=REPORT),
        "report_f025_fingers": decode_input(
            0xF025, td_head + b"\x02" + td_cell(1, 2, 180, True) + td_cell(5, 6, 0, True), trans=REPORT, finger=1),
        "report_f025_count_over_payload": decode_input(
            0xF025, td_head + b"\xFF" + td_cell(0, 0, 1) * 3, trans=REPORT, finger=2, limit=3),
        "report_f025_claims_more": decode_input(
            0xF025, td_head + b"\x30" + td_cell(1, 2, 7) * 2, trans=REPORT, claimed=0xFFFF),
        "report_f100": decode_input(0xF100, header + u32(1) * 5 + b"\x01\x02\x02" + profile(False) * 2, trans=REPORT),
        "report_f102": decode_input(0xF102, header + u32(1) * 4 + b"\x02" + profile(True) * 2, trans=REPORT),
        "report_f102_short": decode_input(0xF102, header + u32(1) * 4 + b"\x10" + profile(True)[:100], trans=REPORT),
    }


# --- encode: [code sel][code hi][code lo][mode][capacity hi][capacity lo][body bytes] ---------
# mode bit 7 set keeps body byte 0; capacity bit 15 set means 1024. The body bytes are the
# record's memory: both scan-mode bodies keep their mode at 0; a WCDMA list count sits at 9 and
# its entries from 12; a TD list count at 8 and its 8-byte entry slots from 12.
def encode_input(code, body, mode=0x80, capacity=0x8000):
    return bytes([0]) + u16(code) + bytes([mode]) + u16(capacity) + body


def body_at(size, **fields):
    b = bytearray(size)
    for offset, data in fields.values():
        b[offset:offset + len(data)] = data
    return bytes(b)


def encode_seeds():
    le = lambda v: struct.pack("<I", v) + b"\0\0\0\0"  # one host-order list entry slot
    return {
        "w_general": encode_input(1, bytes([0]) + bytes(range(1, 40))),
        "w_cells_3": encode_input(1, body_at(40, m=(0, b"\x07"), c=(9, b"\x03"), e=(12, le(950) * 3))),
        "w_cells_168": encode_input(1, body_at(16, m=(0, b"\x07"), c=(9, bytes([168])))),
        "w_cells_169": encode_input(1, body_at(16, m=(0, b"\x07"), c=(9, bytes([169])))),
        "w_freqs_255": encode_input(1, body_at(16, m=(0, b"\x08"), c=(9, b"\xFF"))),
        "td_list_1": encode_input(0xF001, body_at(24, m=(0, b"\x04\x00\x00\x00\x10\x00"), c=(8, b"\x01"), e=(12, le(950)))),
        "td_list_255": encode_input(0xF001, body_at(16, c=(8, b"\xFF")), mode=0),
        "td_modes": encode_input(0xF001, bytes(range(64)), mode=5),
        "td_mode7": encode_input(0xF001, body_at(16, m=(0, b"\x07\x01\x02")), mode=6),
        "start_time": encode_input(4, u16(125)[::-1] + bytes([5, 17, 9, 30, 0])),
        "code22": encode_input(22, bytes(range(32))),
        "login": encode_input(43, b"user".ljust(16, b"\0") + b"secret".ljust(16, b"\0")),
        "password": encode_input(46, b"A" * 32),
        "ip": encode_input(81, struct.pack("<I", 0xC0A80001)),
        "mac": encode_input(84, bytes([0, 0x11, 0x22, 0xAA, 0xBB, 0xCC])),
        "signed": encode_input(87, b"\xFF\xFF"),
        "two_values": encode_input(97, b"\x01\x00\xFF\xFF"),
        "gps_format": encode_input(0xF040, b"\x01\x00\x02\x00"),
        "no_layout": encode_input(0xF007, bytes(16)),
        "small_capacity": encode_input(43, b"x" * 32, capacity=39),
        "capacity_under_header": encode_input(7, b"", capacity=7),
    }


# --- text: [unit][input]; unit 0 MAC, 1 GPS ([size limit][text]), 2 distance, 3 IPv4 -------
def geo(mode, *values):
    return b"\x02" + bytes([mode]) + b"".join(values).ljust(32, b"\0")


def text_seeds():
    f64 = lambda v: struct.pack("<d", v)
    u = lambda x: struct.pack("<I", int(x * 4294967295))
    gps = b"$GPGGA,092750.000,3954.0000,N,11624.0000,E,1,8,1.03,61.7,M"
    return {
        "mac_colons": b"\x00" + b"00:11:22:aa:BB:cc",
        "mac_any_separator": b"\x00" + b"0a-1b 2c.3d/4e?5f",
        "mac_short": b"\x00" + b"00:11:22:aa:BB:c",
        "mac_bad_digit": b"\x00" + b"00:11:2g:aa:BB:cc",
        "gps_fix": b"\x01" + bytes([119]) + gps,
        "gps_long_number": b"\x01" + bytes([119]) + b"x,3954.0000,N,11624.12345,E",
        "gps_too_long_number": b"\x01" + bytes([119]) + b"x,3954.0000,N,11624.123456,E",
        "gps_cut_by_size": b"\x01" + bytes([30]) + gps,
        "gps_no_comma": b"\x01" + bytes([119]) + b"NE",
        "gps_signs": b"\x01" + bytes([119]) + b",+-1e999N,  -9.5e3E",
        "geo_raw": geo(0, f64(116.4), f64(39.9), f64(116.4), f64(40.0)),
        "geo_raw_nan": geo(0, f64(float("nan")), f64(1), f64(float("inf")), f64(-1e308)),
        "geo_range": geo(1, u(0.5), u(0.5), u(0.75), u(0.25)),
        "geo_near": geo(2, u(0.8), u(0.7), struct.pack("<i", 3), struct.pack("<i", -1), b"\x10"),
        "geo_antipode": geo(3, u(0.3), u(0.6), struct.pack("<i", 1), struct.pack("<i", 1), b"\x20"),
        "ip_dotted": b"\x03" + b"192.168.1.1",
        "ip_short_forms": b"\x03" + b"0x7f.1",
        "ip_octal": b"\x03" + b"010.0.0.1",
        "ip_broadcast": b"\x03" + b"255.255.255.255",
        "ip_out_of_range": b"\x03" + b"1.2.3.256",
    }


if __name__ == "__main__":
    write("fuzz_framer", framer_seeds())
    write("fuzz_decode", decode_seeds())
    write("fuzz_encode", encode_seeds())
    write("fuzz_text", text_seeds())
