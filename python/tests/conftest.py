import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("SCANLINK_BUILD", ROOT / "build"))
CAPTURES = ROOT / "tests" / "captures"


@pytest.fixture(autouse=True, scope="session")
def _use_build():
    """The library and the tool of the build under test, not whatever else is installed."""
    os.environ.setdefault("SCANLINK_LIBRARY", str(BUILD))
    os.environ.setdefault("SCANLINK_TOOL", str(BUILD / "tools" / "scanlink" / "scanlink"))
    import matplotlib

    matplotlib.use("Agg")


SIM = BUILD / "tools" / "sim" / "scanlink-sim"
TOOL = BUILD / "tools" / "scanlink" / "scanlink"


@pytest.fixture(scope="session")
def td_drive(tmp_path_factory):
    """A TD cell-list drive recorded from the simulator with the regression captures' stations."""
    from scanlink.drive import record_drive

    out = tmp_path_factory.mktemp("drive") / "td-drive.pcapng"
    return record_drive(SIM, TOOL, out, "td-cells 10054/1,10055/2,10071/3,10080/4 1", seconds=1.5,
                        sim_args=["--rate", "20", "--speed", "200", "--bs-list",
                                  str(CAPTURES / "stations.csv"), "--bad-cell-every", "2",
                                  "--delay-error", "40"],
                        monitor_args=["--bs-list", str(CAPTURES / "stations.csv"),
                                      "--gps-limit", "5"])


class Sim:
    """scanlink-sim on its own loopback address, with its JSON log and control input."""

    def __init__(self, tmp_path, address, family, *args):
        import subprocess
        import time

        self.address, self.log = address, tmp_path / f"sim-{address}.log"
        self.process = subprocess.Popen(
            [str(SIM), "--bind", address, "--port", "5000", "--family", str(family), "--quiet",
             "--log", str(self.log), *args], stdin=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 10
        while not any(e["event"] == "listening" for e in self.events()):
            assert time.monotonic() < deadline, "the simulator did not start"
            time.sleep(0.02)

    def events(self):
        import json

        if not self.log.exists():
            return []
        lines = self.log.read_text().splitlines()
        return [json.loads(line) for line in lines if line.endswith("}")]

    def wait_for(self, predicate, timeout=5.0):
        """The first event the predicate accepts, polling the log; AssertionError at timeout."""
        import time

        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [e for e in self.events() if predicate(e)]
            if found:
                return found[0]
            time.sleep(0.02)
        raise AssertionError(f"no such simulator event within {timeout} s")

    def control(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


@pytest.fixture
def sims(tmp_path):
    """Starts simulators: sims("127.0.0.2", 11, "--rate", "20") -> Sim; stopped afterwards."""
    if os.environ.get("SCANLINK_NETNS") != "1":
        pytest.skip("simulator tests run in a private network namespace (./test.sh)")
    started = []

    def start(address, family, *args):
        started.append(Sim(tmp_path, address, family, *args))
        return started[-1]

    yield start
    for s in started:
        s.stop()


@pytest.fixture(scope="session")
def c_interface():
    import scanlink
    from scanlink import scanner

    try:
        scanner._lib()
    except scanlink.LibraryNotFound as e:
        pytest.skip(str(e))
