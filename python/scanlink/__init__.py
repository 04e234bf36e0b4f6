"""scanlink from Python: recordings as records, data frames and pictures; scanners driven
through libscanlink's C interface (loaded with ctypes, no compile step)."""
from ._library import LibraryNotFound, load as load_library
from .frames import cells_dataframe, to_dataframe
from .recording import Recording, RecordingError, read_recording
from .scanner import ConnectError, Scanner, ScanlinkError, decode, library_version
from .records import DecodeError, Record, add_levels, level_dbm, read_jsonl, read_records

__all__ = ["LibraryNotFound", "load_library", "Record", "DecodeError", "level_dbm", "add_levels",
           "read_jsonl", "read_records", "Recording", "RecordingError", "read_recording", "to_dataframe", "cells_dataframe",
           "plot_sweeps", "plot_route", "Scanner", "ScanlinkError", "ConnectError", "decode",
           "library_version"]


def plot_sweeps(records, path=None, **kwargs):
    from .plots import plot_sweeps as plot

    return plot(records, path, **kwargs)


def plot_route(records, path=None, **kwargs):
    from .plots import plot_route as plot

    return plot(records, path, **kwargs)
