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
