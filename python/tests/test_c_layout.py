"""The package's ctypes mirrors of the C interface against the header and a C compiler: struct
sizes and offsets, and each bound function's argument and result types."""
import ctypes as C
import json
import re
import subprocess

import pytest

from conftest import BUILD, ROOT

pytestmark = pytest.mark.usefixtures("c_interface")
HEADER = ROOT / "include" / "scanlink" / "scanlink_c.h"
LAYOUT = BUILD / "tests" / "capi" / "capi_layout"


def _mirrors():
    from scanlink import scanner as s

    return {"scanlink_options": s._Options, "scanlink_handlers": s._Handlers,
            "scanlink_counters": s._Counters, "scanlink_state": s._State,
            "scanlink_station": s._Station, "scanlink_decode_options": s._DecodeOptions,
            "scanlink_decode_stats": s._DecodeStats, "scanlink_queue_stats": s._QueueStats}


def test_structs_have_the_c_compilers_size_and_offsets():
    if not LAYOUT.exists():
        pytest.skip(f"{LAYOUT} not built")
    lines = subprocess.run([str(LAYOUT)], check=True, capture_output=True, text=True).stdout
    mirrors = _mirrors()
    seen = set()
    for line in lines.splitlines():
        c = json.loads(line)
        mirror = mirrors[c["struct"]]
        seen.add(c["struct"])
        assert C.sizeof(mirror) == c["size"], c["struct"]
        # Every field, named and ordered as in C (the counters and state as the library's
        # lists declare them, which also hold the C++ structs at build time).
        assert [f[0] for f in mirror._fields_] == list(c["fields"]), c["struct"]
        for field, offset in c["fields"].items():
            assert getattr(mirror, field).offset == offset, f"{c['struct']}.{field}"
    assert seen == set(mirrors)


def _prototypes():
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    for result, name, params in re.findall(
            r"SCANLINK_API\s+(.+?)\s+SCANLINK_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text, flags=re.S):
        types = []
        for p in params.split(","):
            p = " ".join(p.split())
            if p and p != "void":
                types.append(re.sub(r"\s*\b\w+$", "", p) if " " in p else p)
        yield name, " ".join(result.split()), types


def _matches(c_type, ctype):
    """Whether a ctypes type can stand for the C type text."""
    mirrors = _mirrors()
    c_type = c_type.replace("const ", "")
    if c_type.endswith("*"):
        base = c_type[:-1].strip()
        if base in mirrors:
            return getattr(ctype, "_type_", None) is mirrors[base]
        return ctype in (C.c_void_p, C.c_char_p) or issubclass(ctype, C._Pointer)
    if c_type.endswith("_handler"):
        return issubclass(ctype, C._CFuncPtr)
    plain = {"int": C.c_int, "unsigned": C.c_uint, "uint16_t": C.c_uint16, "size_t": C.c_size_t,
             "intptr_t": C.c_ssize_t}
    return ctype is plain.get(c_type)


def test_bound_functions_match_the_header():
    from scanlink import scanner

    lib = scanner._pull_lib()  # binds the pull functions too
    checked = 0
    for name, result, params in _prototypes():
        f = getattr(lib, name)
        if f.argtypes is None:
            continue  # not used by the package
        checked += 1
        assert len(f.argtypes) == len(params), name
        for i, (c_type, ctype) in enumerate(zip(params, f.argtypes)):
            assert _matches(c_type, ctype), f"{name} argument {i + 1}: {c_type} vs {ctype}"
        if result == "void":
            continue
        assert f.restype is not None and _matches(result, f.restype), f"{name} result"
    assert checked >= 40
