"""Finds and loads libscanlink (scanlink.dll on Windows) with ctypes."""
import ctypes
import ctypes.util
import os
import sys
from pathlib import Path


class LibraryNotFound(OSError):
    """libscanlink could not be found or loaded; the message lists where it was looked for."""


def _names():
    if sys.platform == "win32":
        return ["scanlink.dll", "libscanlink.dll"]
    if sys.platform == "darwin":
        return ["libscanlink.dylib"]
    return ["libscanlink.so"]


def candidates():
    """Paths tried in order: $SCANLINK_LIBRARY (a file or a folder), a build folder of the
    source tree this package sits in, then the system's search."""
    out = []
    given = os.environ.get("SCANLINK_LIBRARY")
    if given:
        p = Path(given)
        out += [p / n for n in _names()] if p.is_dir() else [p]
        return out  # an explicit choice is not second-guessed
    root = Path(__file__).resolve().parents[2]
    for build in sorted(root.glob("build*")):
        out += [build / n for n in _names()]
    for n in ("scanlink",):
        found = ctypes.util.find_library(n)
        if found:
            out.append(Path(found))
    out += [Path(n) for n in _names()]  # the loader's own path (LD_LIBRARY_PATH, PATH)
    return out


_loaded = None


def load():
    """The loaded library (loaded once per process)."""
    global _loaded
    if _loaded is not None:
        return _loaded
    tried = []
    for path in candidates():
        if path.parent != Path(".") and not path.exists():
            tried.append(f"{path} (missing)")
            continue
        try:
            _loaded = ctypes.CDLL(str(path))
            return _loaded
        except OSError as e:
            tried.append(f"{path} ({e})")
    raise LibraryNotFound(
        "libscanlink not found; set SCANLINK_LIBRARY to the library file or its folder. Tried: "
        + "; ".join(tried))
