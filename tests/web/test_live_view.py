"""The live page in headless Chromium, against the simulator; run in a network namespace of its
own (fixed ports). Screenshots go to $SCANLINK_SCREENSHOTS."""
import json
import os
import signal
import socket
import subprocess
import threading
import time

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

TOOL = os.environ.get("SCANLINK_TOOL", "scanlink")
SIM = os.environ.get("SCANLINK_SIM", "scanlink-sim")
SHOTS = os.environ.get("SCANLINK_SCREENSHOTS", "")
CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
LIVE, VIEW, TWO = 8080, 8081, 8082

if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
    pytest.skip("needs Debian's chromium and chromium-driver", allow_module_level=True)

# Six stations; the simulator makes every third report a delay off its distance. One name
# carries markup, which must show as text.
STATIONS = """name,key1,key2,longitude,latitude
North,10054,1,116.404,39.912
East,10055,2,116.418,39.903
<b>T3</b><img src=x onerror=window.pwned=1>,10071,3,116.410,39.892
West,10080,4,116.391,39.904
South,10093,5,116.406,39.885
Tower-6,10102,6,116.424,39.911
"""


def wait(condition, timeout=20.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


class Sim:
    def __init__(self, tmp, *args, bind="127.0.0.1"):
        self.log = tmp / ("sim-%s.jsonl" % bind)
        self.proc = subprocess.Popen(
            [SIM, "--bind", bind, "--port", "5000", "--alarm-port", "8050", "--quiet",
             "--log", str(self.log), *args],
            stdin=subprocess.PIPE, text=True)
        wait(lambda: self.log.exists() and '"listening"' in self.log.read_text(), 10, "sim")

    def control(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(10)


def start_tool(tmp, name, *args, port=LIVE):
    out = open(tmp / (name + ".out"), "w")
    proc = subprocess.Popen([TOOL, *args], stdout=out, stderr=subprocess.STDOUT)
    wait(lambda: listening(port) or proc.poll() is not None, 20, name + " serving")
    assert proc.poll() is None, (tmp / (name + ".out")).read_text()
    return proc


def end_tool(proc):
    proc.send_signal(signal.SIGINT)
    return proc.wait(20)


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    options = Options()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--window-size=1366,768",
                 "--user-data-dir=" + str(tmp_path_factory.mktemp("chromium"))):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    yield driver
    driver.quit()


def state(browser, key):
    return browser.execute_script("return window.scanlinkState && window.scanlinkState[arguments[0]]",
                                  key)


def text_of(browser, id):
    return browser.execute_script(
        "const e = document.getElementById(arguments[0]); return e.hidden ? null : e.textContent", id)


def texts(browser, selector):
    return browser.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(e => e.textContent)", selector)


def shot(browser, name):
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
        browser.save_screenshot(os.path.join(SHOTS, name + ".png"))


def http(request, port=LIVE, read_all=True):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(request)
        data = b""
        while read_all:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        return data


def test_sweep_shows_the_spectrum(browser, tmp_path):
    sim = Sim(tmp_path, "--family", "11", "--rate", "10")
    tool = start_tool(tmp_path, "monitor", "monitor", "--host", "127.0.0.1", "--port", "5000",
                      "--quiet", "--serve", str(LIVE), "--level-offset", "-150",
                      "--level-unit", "dBm", "--scan",
                      "w-mode 4 2110000 2170000 100 0 0 0 0 0 0 0 0 0 0 0")
    try:
        browser.get("http://127.0.0.1:%d/" % LIVE)
        wait(lambda: (state(browser, "sweeps") or 0) >= 100, 30, what="sweeps")
        points = browser.execute_script("return window.scanlinkState.lastSweep.levels.length")
        assert points == 601
        shot(browser, "live-wcdma-sweep")
    finally:
        assert end_tool(tool) == 0
        sim.stop()


@pytest.fixture(scope="module")
def td_drive(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("td")
    (tmp / "stations.csv").write_text(STATIONS)
    sim = Sim(tmp, "--family", "21", "--rate", "20", "--bs-list", str(tmp / "stations.csv"),
              "--bad-cell-every", "3", "--delay-error", "40", "--speed", "120",
              "--start-lat", "39.9", "--start-lon", "116.4")
    tool = start_tool(tmp, "monitor", "monitor", "--host", "127.0.0.1", "--port", "5000",
                      "--bs-list", str(tmp / "stations.csv"), "--quiet",
                      "--level-offset", "-150", "--level-unit", "dBm",
                      "--serve", str(LIVE), "--record", str(tmp / "drive.pcapng"),
                      "--battery-every", "1")
    yield sim, tool, tmp
    if tool.poll() is None:
        end_tool(tool)
    sim.stop()


def test_td_drive_route_cells_and_link_reset(browser, td_drive):
    sim, tool, tmp = td_drive
    browser.get("http://127.0.0.1:%d/" % LIVE)
    wait(lambda: (state(browser, "points") or 0) >= 50, what="route points")
    wait(lambda: text_of(browser, "link") == "up", what="link up")
    wait(lambda: text_of(browser, "battery") == "3900 / 87", what="battery")
    verdicts = set()
    wait(lambda: verdicts.update(texts(browser, "#cells tbody .verdict"))
         or {"found", "delay off"} <= verdicts, what="both verdicts")
    assert len(texts(browser, "#cells tbody tr")) >= 4
    # Markup in a station name is text, never a node or a script.
    assert any(t.startswith("<b>T3</b><img") for t in texts(browser, ".station-label"))
    assert browser.execute_script("return window.pwned") is None
    shot(browser, "live-td-drive")

    # A lost link: the banner while it is down, then up again.
    sim.control("stop-listening 3000")
    sim.control("reset-data")
    wait(lambda: text_of(browser, "banner"), what="banner")
    shot(browser, "live-td-link-lost")
    wait(lambda: text_of(browser, "link") == "up"
         and not text_of(browser, "banner"), 30, "link up again")
    assert int(text_of(browser, "losses")) >= 1
    assert int(text_of(browser, "reconnections")) >= 1
    back = state(browser, "points")
    wait(lambda: state(browser, "points") >= back + 20, what="the drive going on")
    shot(browser, "live-td-after-reset")


def test_scanner_text_is_shown_as_text(browser, td_drive):
    sim, tool, tmp = td_drive
    browser.get("http://127.0.0.1:%d/" % LIVE)
    text = b'<script>window.pwned=2</script><img src=x onerror="window.pwned=3">'
    payload = b"\x01" + text.ljust(119, b"\0") + bytes(12) + b"\x00\x01\x00\x40"
    wait(lambda: text_of(browser, "link") == "up", what="link up")
    # Sent until the page shows it: the drive's own reports overwrite it at once.
    def shown():
        sim.control("frame 36 0xFFFF " + payload.hex())
        return "<script>" in text_of(browser, "gps")
    wait(shown, what="the markup as text")
    assert browser.execute_script("return window.pwned") is None
    assert browser.execute_script("return document.querySelectorAll('script').length") == 3


def test_bad_requests_get_defined_answers(td_drive):
    page = http(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert page.startswith(b"HTTP/1.1 200")
    assert b"script-src 'self';" in page  # no inline script runs, whatever gets in
    for request, status in ((b"GET /../../etc/passwd HTTP/1.1\r\n\r\n", b"404"),
                            (b"GET /lib/../app.js HTTP/1.1\r\n\r\n", b"404"),
                            (b"GET /recording.json HTTP/1.1\r\n\r\n", b"404"),
                            (b"POST /events HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", b"405"),
                            (b"garbage\r\n\r\n", b"400"),
                            (b"GET nothing HTTP/1.1\r\n\r\n", b"400"),
                            (b"GET / HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n", b"431"),
                            (b"\x00\xff\r\n\r\n", b"400")):
        answer = http(request)
        assert answer.split(b" ")[1] == status, (request[:40], answer[:80])
    # A browser that leaves mid-request or mid-stream costs nothing.
    http(b"GET / HT", read_all=False)
    with socket.create_connection(("127.0.0.1", LIVE)) as s:
        s.sendall(b"GET /events HTTP/1.1\r\n\r\n")
        s.recv(100)
    assert http(b"GET /app.js HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 200")


def test_fifty_streams_at_once(td_drive):
    streams = []
    try:
        for _ in range(50):
            s = socket.create_connection(("127.0.0.1", LIVE), timeout=10)
            s.sendall(b"GET /events HTTP/1.1\r\n\r\n")
            streams.append(s)
        for s in streams:
            data = b""
            while data.count(b"\ndata: ") < 2:  # the snapshot and a batch
                chunk = s.recv(65536)
                assert chunk, "stream closed"
                data += chunk
    finally:
        for s in streams:
            s.close()
    assert http(b"GET / HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 200")


def test_recording_plays_and_the_slider_moves_the_map(browser, td_drive, tmp_path):
    sim, tool, tmp = td_drive
    assert end_tool(tool) == 0
    tile = b"\x89PNG\r\n\x1a\n" + bytes(64)
    (tmp_path / "tiles" / "3" / "4").mkdir(parents=True)
    (tmp_path / "tiles" / "3" / "4" / "5.png").write_bytes(tile)
    (tmp_path / "secret.png").write_bytes(b"secret")
    view = start_tool(tmp_path, "view", "view", str(tmp / "drive.pcapng"), "--serve", str(VIEW),
                      "--bs-list", str(tmp / "stations.csv"), "--tiles", str(tmp_path / "tiles"),
                      port=VIEW)
    try:
        # A tile folder gives its Z/X/Y.png files and nothing else.
        assert http(b"GET /tiles/3/4/5.png HTTP/1.1\r\n\r\n", VIEW).endswith(tile)
        for path in (b"/tiles/3/4/6.png", b"/tiles/3/4/../../../secret.png", b"/tiles/3/4",
                     b"/events"):
            assert http(b"GET " + path + b" HTTP/1.1\r\n\r\n", VIEW).startswith(
                b"HTTP/1.1 404"), path
        browser.get("http://127.0.0.1:%d/" % VIEW)
        wait(lambda: text_of(browser, "controls"), what="controls")
        wait(lambda: (state(browser, "points") or 0) >= 5, what="route played")
        assert text_of(browser, "levelhead") == "level (dBm)"
        browser.find_element("id", "play").click()  # pause
        slider = browser.find_element("id", "slider")
        end = int(slider.get_attribute("max"))
        assert end > 1000

        def seek(ms):
            browser.execute_script(
                "const s = document.getElementById('slider'); s.value = arguments[0];"
                "s.dispatchEvent(new Event('input'));", ms)
            return browser.execute_script("const c = window.scanlinkMap.getCenter(); "
                                          "return [c.lat, c.lng];")
        late, early = seek(end), seek(end // 4)
        assert late != early
        shot(browser, "view-recording")

        # The drive's link reset, recorded: the banner while it was down, gone once it was up.
        answer = http(b"GET /recording.json HTTP/1.1\r\n\r\n", VIEW)
        data = json.loads(answer.split(b"\r\n\r\n", 1)[1])
        down = [f["at"] for f in data["frames"] if f["link"] == "down"]
        assert down and data["frames"][-1]["link"] == "up"
        seek(-(-down[0] // 100) * 100)  # the slider moves in steps of 100 ms
        assert text_of(browser, "banner") and text_of(browser, "link") == "down"
        assert int(text_of(browser, "losses")) >= 1
        shot(browser, "view-recording-link-lost")
        seek(end)
        assert not text_of(browser, "banner") and text_of(browser, "link") == "up"
    finally:
        end_tool(view)


def test_two_scanners_side_by_side(browser, tmp_path):
    # Each scanner hears its own half of the stations; the tool knows all six.
    rows = STATIONS.splitlines()
    (tmp_path / "all.csv").write_text(STATIONS)
    (tmp_path / "a.csv").write_text("\n".join(rows[:4]) + "\n")
    (tmp_path / "b.csv").write_text("\n".join(rows[:1] + rows[4:]) + "\n")
    sims = [Sim(tmp_path, "--family", "21", "--rate", "20", "--bs-list", str(tmp_path / name),
                "--speed", "400", "--seed", seed, "--start-lat", lat, "--start-lon", "116.4",
                "--bad-cell-every", "2", "--delay-error", "40", bind=bind)
            for name, seed, lat, bind in (("a.csv", "1", "39.9", "127.0.0.3"),
                                          ("b.csv", "2", "39.8996", "127.0.0.2"))]
    # Addresses and page port of their own: the module's drive may still hold its own.
    tool = start_tool(tmp_path, "monitor", "monitor", "--host", "127.0.0.3", "--host",
                      "127.0.0.2", "--bs-list", str(tmp_path / "all.csv"), "--quiet",
                      "--level-offset", "-150", "--level-unit", "dBm", "--serve", str(TWO),
                      port=TWO)
    panel = ("return [...document.querySelectorAll('.panel')].map(p => [p.dataset.scanner, "
             "[...p.querySelectorAll('tbody td:first-child')].map(e => e.textContent), "
             "p.querySelector('[data-f=banner]').hidden, "
             "p.querySelector('[data-f=link]').textContent])")
    try:
        browser.get("http://127.0.0.1:%d/" % TWO)
        wait(lambda: all((p or {}).get("points", 0) >= 80
                         for p in browser.execute_script("return window.scanlinkPanels") or [0]),
             what="both routes")
        a, b = wait(lambda: (lambda p: p if len(p) == 2 and p[0][1] and p[1][1] else None)(
            browser.execute_script(panel)), what="both cell tables")
        # Never a cell of the other scanner's stations in a panel.
        assert a[0] == "A" and set(a[1]) <= {"10054/1", "10055/2", "10071/3"}, a
        assert b[0] == "B" and set(b[1]) <= {"10080/4", "10093/5", "10102/6"}, b
        # The picture: zoomed to where the two drove, so both routes' markers show.
        browser.execute_script(
            "const p = window.scanlinkPanels.map(s => s.position);"
            "window.scanlinkMap.fitBounds(L.latLngBounds(p.concat([[39.9, 116.4], [39.8996, 116.4]]))"
            ".pad(0.4), {paddingBottomRight: [240, 0]});")
        time.sleep(0.5)
        shot(browser, "live-two-scanners")

        # B's link lost: its banner only, then up again.
        sims[1].control("stop-listening 3000")
        sims[1].control("reset-data")
        seen = []
        wait(lambda: seen.append(browser.execute_script(panel)) or not seen[-1][1][2],
             what="B's banner")
        assert all(p[0][2] and p[0][3] == "up" for p in seen), "A's banner stayed hidden"
        wait(lambda: browser.execute_script(panel)[1][3] == "up", 30, "B up again")
    finally:
        assert end_tool(tool) == 0
        for sim in sims:
            sim.stop()
    out = (tmp_path / "monitor.out").read_text()
    assert "# summary [127.0.0.3:5000]" in out and "# summary [127.0.0.2:5000]" in out
