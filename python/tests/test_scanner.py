"""Scanners through the C interface, against the simulator."""
import ctypes as C
import threading

import pytest

import scanlink
from scanlink import Scanner, scanner
from conftest import CAPTURES

pytestmark = pytest.mark.usefixtures("c_interface")
LOGIN = {"user": "admin", "password": "admin"}


def test_two_scanners_at_once_keep_their_records_and_their_link_faults(sims):
    wsim = sims("127.0.0.2", 11, "--rate", "20")
    tsim = sims("127.0.0.3", 21, "--rate", "20")
    with Scanner("127.0.0.2", 5000, link_timeout=2, **LOGIN) as w, \
            Scanner("127.0.0.3", 5000, link_timeout=2, **LOGIN) as t:
        assert (w.state()["family"], t.state()["family"]) == (1, 2)
        w.wait_reply(w.set_wcdma_scan_mode(4, 2110000, 2112000, 100))
        t.wait_reply(t.set_td_cell_list_scan_mode([(10054, 1), (10055, 2)], finger_test=True))
        w.start_scan(), t.start_scan()
        got_w = [r for r in w.records(timeout=2, count=30) if r.kind == "report"]
        got_t = [r for r in t.records(timeout=2, count=30) if r.kind == "report"]
        assert {r.name for r in got_w} <= {"SweepReport", "StatusReport", "WStatusReport"}
        assert "SweepReport" in {r.name for r in got_w}
        assert "TDCellReport" in {r.name for r in got_t}
        assert not any(r.name == "SweepReport" for r in got_t)
        assert all(r.time is not None for r in got_w + got_t)

        tsim.control("reset-data")
        t.wait_link_event("lost", timeout=10)
        t.wait_link_event("restored", timeout=20)
        t.wait_reply(t.get_scanner_version(), timeout=5)
        assert t.counters()["link_losses"] == 1
        assert w.counters()["link_losses"] == 0 and w.link_events.empty()
        w.wait_reply(w.get_scanner_version(), timeout=5)


def _command(sim, trans, name):
    return sim.wait_for(lambda e: e["event"] == "command" and e["trans"] == trans
                        and e["name"] == name)


def test_every_operation_sends_what_the_simulator_expects(sims):
    wsim, tsim = sims("127.0.0.2", 11), sims("127.0.0.3", 21)
    with Scanner("127.0.0.2", 5000, **LOGIN) as w:
        for call, name, fields in [
            (lambda: w.set_wcdma_scan_mode(4, 2110000, 2112000, 100), "SetWScanMode",
             {"mode": 4, "value1": 2110000, "value3": 100}),
            (lambda: w.set_w_freq_list_scan_mode(1, 2, 3, [10563, 10588]), "SetWScanMode",
             {"mode": 8, "entries": [10563, 10588]}),
            (lambda: w.set_w_cell_list_scan_mode(1, 2, 3, [(100, 1), (200, 2)]), "SetWScanMode",
             {"mode": 7, "entries": [{"first": 100, "second": 1}, {"first": 200, "second": 2}]}),
            (w.start_scan, "StartScan", {}), (w.stop_scan, "StopScan", {}),
            (w.get_scan_mode, "GetScanMode", {}), (w.get_scanner_version, "GetVersion", {}),
            (w.reset_scanner, "ResetScanner", {}),
            (lambda: w.change_password("admin", "secret"), "ChangePassword", {}),
            (lambda: w.set_scanner_ip_address("10.1.2.3"), "SetIPAddress",
             {"address": 0x0A010203}),
            (lambda: w.set_scanner_mac_address("00-1a-2B-3c-4D-5e"), "SetMACAddress",
             {"address": "001a2b3c4d5e"}),
            (w.query_battery, "QueryBattery", {}),
            (lambda: w.set_gps_info_format(1, 2), "SetGpsInfoFormat", {"value1": 1, "value2": 2}),
        ]:
            event = _command(wsim, call(), name)
            for key, value in fields.items():
                assert event["fields"][key] == value, (name, key, event["fields"])
        raw = w.send_message(22, b"\x01\x02")
        assert _command(wsim, raw, "Command22")["payload"] == "0102"
    with Scanner("127.0.0.3", 5000, **LOGIN) as t:
        for call, name, fields in [
            (lambda: t.set_td_cell_list_scan_mode([(10054, 1)], finger_test=True),
             "SetTDScanMode", {"mode": 1, "fingerTest": 1}),
            (lambda: t.set_td_cell_search_scan_mode(finger_test=True), "SetTDScanMode",
             {"mode": 2}),
            (lambda: t.set_td_sa_scan_mode(2010000, 2012000, 1, 100), "SetTDScanMode",
             {"mode": 3, "sa1": 2010000}),
            (lambda: t.set_td_freq_list_scan_mode([10054, 10055]), "SetTDScanMode", {"mode": 4}),
            (lambda: t.set_td_cw_scan_mode(10054), "SetTDScanMode", {"mode": 5, "cw1": 10054}),
            (lambda: t.set_channel_scan_mode("dpch", 0, 0, [1, 2, 3, 4, 5, 6]), "SetTDScanMode",
             {"channel1": 1, "channel6": 6}),
            (t.start_scan, "StartTDScan", {}), (t.stop_scan, "StopTDScan", {}),
            (t.get_scan_mode, "GetTDScanMode", {}), (t.get_scanner_version, "GetTDVersion", {}),
            (t.reset_scanner, "ResetTDScanner", {}),
        ]:
            event = _command(tsim, call(), name)
            for key, value in fields.items():
                assert event["fields"][key] == value, (name, key, event["fields"])


@pytest.mark.parametrize("name", sorted(p.stem for p in CAPTURES.glob("*.scl")))
def test_library_decode_equals_the_decoders_json(name):
    recording = scanlink.read_recording(CAPTURES / f"{name}.scl")
    header = recording.header
    settings = dict(finger_test=header.get("finger-test") == "1",
                    stations=CAPTURES / header["bs-list"] if "bs-list" in header else None,
                    gps_limit=int(header.get("gps-limit", -1)))
    records = scanlink.decode(recording.scanner_stream(), **settings)
    # A body not read yet is there all the same, the record's last member.
    unread = scanlink.decode(recording.scanner_stream(), **settings)
    assert all(list(r.to_dict())[-1] == "body" for r in unread)
    assert all("body" in r and r.body == r["body"] for r in scanlink.decode(
        recording.scanner_stream(), **settings))
    records = scanlink.add_levels(records, header.get("level-unit"),
                                  float(header.get("level-offset", 0)))
    assert records == scanlink.read_jsonl(CAPTURES / f"{name}.jsonl")


def test_bad_arguments_and_unreachable_hosts(sims):
    with pytest.raises(ValueError, match="port"):
        Scanner("127.0.0.2", 70000)
    with pytest.raises(TypeError):
        Scanner(None, 5000)
    with pytest.raises(ValueError, match="IPv4"):
        Scanner("10.1.2.256", 5000)
    with pytest.raises(scanlink.ScanlinkError, match="refused") as refused:
        Scanner("127.0.0.2", 5000, link_timeout=0.5).open()  # under the library's 1 s
    assert refused.value.result is None
    with pytest.raises(scanlink.ConnectError) as error:
        with Scanner("127.0.0.9", 5000):
            pass
    assert error.value.result in (1, 2)
    sims("127.0.0.2", 11)
    with Scanner("127.0.0.2", 5000, **LOGIN) as w:
        with pytest.raises(ValueError, match="non-negative"):
            w.set_w_freq_list_scan_mode(1, 2, 3, [-1])
        with pytest.raises(ValueError, match="kind"):
            w.set_channel_scan_mode("tv", 0, 0, [0] * 6)
        with pytest.raises(ValueError, match="A.B.C.D"):
            w.set_scanner_ip_address("300.1.2.3")
        with pytest.raises(scanlink.ScanlinkError, match="nothing sent") as refused:
            w.set_scanner_mac_address("00-11-22-33-44-5g")
        assert refused.value.result == 0
        with pytest.raises(TimeoutError):
            w.next_record(timeout=0.2)
        with pytest.raises(ValueError, match="connect timeout"):
            w.set_timeouts(connect=0.05)
        assert w.set_timeouts(connect=2, link=3) == {"connect": 2.0, "reply": 60.0, "link": 3.0}
    with pytest.raises(scanlink.ScanlinkError, match="not open"):
        w.start_scan()


def test_two_scanners_through_asyncio(sims):
    import asyncio

    sims("127.0.0.2", 11, "--rate", "50")
    sims("127.0.0.3", 21, "--rate", "50")

    async def collect(scanner, n):
        return [r async for r in scanner.arecords(timeout=5, count=n)]

    async def main(w, t):
        return await asyncio.gather(collect(w, 40), collect(t, 40))

    with Scanner("127.0.0.2", 5000, **LOGIN) as w, Scanner("127.0.0.3", 5000, **LOGIN) as t:
        w.start_scan(), t.start_scan()
        got_w, got_t = asyncio.run(main(w, t))
        assert len(got_w) == len(got_t) == 40
        assert all(r.time is not None for r in got_w + got_t)
        assert not any(r.code >= 0xF000 for r in got_w if r.kind == "report")
        assert all(r.code >= 0xF000 for r in got_t if r.kind == "report")
        # The plain form; and a timeout ends the records once the scanner falls silent.
        async def plain_then_quiet():
            n = 0
            async for _ in w:
                n += 1
                if n == 5:
                    break
            w.stop_scan()
            return [r async for r in w.arecords(timeout=0.5)]

        asyncio.run(plain_then_quiet())
        assert w.queue_stats()["records_dropped"] == 0
        # Disconnected for good: what waits is taken, then the records end, without a timeout.
        scanlink.scanner._lib().scanlink_disconnect(t._live())
        async def rest():
            return [r async for r in t.arecords()]

        asyncio.run(asyncio.wait_for(rest(), 10))


def test_the_asyncio_example_of_the_documentation(sims, capsys):
    text = (CAPTURES.parents[1] / "docs" / "python.md").read_text()
    code = text.split("<!-- asyncio-example -->\n```python\n", 1)[1].split("\n```\n", 1)[0]
    sims("127.0.0.2", 21, "--rate", "50")
    sims("127.0.0.3", 11, "--rate", "50")
    exec(code.replace("192.168.1.20", "127.0.0.2").replace("192.168.1.21", "127.0.0.3"), {})
    lines = capsys.readouterr().out.splitlines()
    assert sum(line.startswith("127.0.0.2 TD") for line in lines) == 20
    assert sum(line.startswith("127.0.0.3 ") for line in lines) == 20


def test_arguments_their_fields_cannot_hold_raise_and_send_nothing(sims):
    sims("127.0.0.2", 11)
    with Scanner("127.0.0.2", 5000, **LOGIN) as w:
        for name, call in [("value1 2**40", lambda: w.set_wcdma_scan_mode(4, 2**40)),
                           ("value6 300", lambda: w.set_wcdma_scan_mode(4, value6=300)),
                           ("list mode", lambda: w.set_wcdma_scan_mode(7)),
                           ("gps -1", lambda: w.set_gps_info_format(-1, 1)),
                           ("gps 70000", lambda: w.set_gps_info_format(1, 70000)),
                           ("user of 40", lambda: w.login("u" * 40, "p")),
                           ("selector 256", lambda: w.set_td_cw_scan_mode(1, selector=256)),
                           ("second 65536", lambda: w.set_w_cell_list_scan_mode(1, 2, 3,
                                                                                [(1, 65536)]))]:
            with pytest.raises(ValueError):
                call()
        assert w.counters()["sends"] == 1, "only the login went out"
        assert w.state()["closed"] == 0


# In a child process: a crash there is a failed test, not a lost test run. Scanner A is dropped
# without close() and collected on B's library thread, where closing is not allowed; A's
# session keeps delivering until it is closed.
_DROPPED_ON_A_LIBRARY_THREAD = """
import gc, sys, time
from scanlink import Scanner, scanner
box = []
def on_link(event):
    box.clear()
    gc.collect()
a = Scanner("127.0.0.2", 5000, user="admin", password="admin")
a.__enter__()
a.start_scan()
b = Scanner("127.0.0.3", 5000, user="admin", password="admin", on_link=on_link)
b.__enter__()
box.append(a)
del a
gc.disable()
print("ready", flush=True)
sys.stdin.readline()  # B's link is reset meanwhile
deadline = time.monotonic() + 20
while box and time.monotonic() < deadline:
    time.sleep(0.01)
assert not box and scanner._reaper.wait(10), "never closed"
time.sleep(0.5)
b.close()
print("closed", flush=True)
"""


def test_a_scanner_dropped_on_a_library_thread_is_closed_without_a_crash(sims):
    import subprocess
    import sys

    sims("127.0.0.2", 11, "--rate", "50")
    bsim = sims("127.0.0.3", 11)
    child = subprocess.Popen([sys.executable, "-c", _DROPPED_ON_A_LIBRARY_THREAD],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    bsim.control("reset-data")
    child.stdin.write("\n")
    child.stdin.flush()
    out, _ = child.communicate(timeout=60)
    assert child.returncode == 0 and out.strip() == "closed"


@pytest.mark.skipif(not scanner._CAN_PIN, reason="states are kept on Linux up to Python 3.11")
def test_a_library_threads_state_is_kept_while_it_runs_and_freed_once_it_ended():
    libc = C.CDLL(None)
    libc.pthread_create.argtypes = [C.POINTER(C.c_ulong), C.c_void_p, C.c_void_p, C.c_void_p]
    libc.pthread_join.argtypes = [C.c_ulong, C.c_void_p]
    seen = []

    def handler(_):
        scanner._pin_thread_state()
        seen.append(threading.get_native_id())
        return None

    body = C.CFUNCTYPE(C.c_void_p, C.c_void_p)(handler)
    for _ in range(3):  # threads Python did not start, as the library's
        thread = C.c_ulong()
        assert libc.pthread_create(C.byref(thread), None, C.cast(body, C.c_void_p), None) == 0
        assert libc.pthread_join(thread, None) == 0
    # Each thread's state was kept; each new one freed those of the threads that had ended.
    assert list(scanner._pinned_states) == seen[-1:] and len(set(seen)) == 3
