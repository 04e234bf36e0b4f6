"""A scanner session through libscanlink's C interface (scanlink_c.h), with ctypes."""
import ctypes as C
import ipaddress
import json
import os
import queue
import sys
import threading
import time
import weakref
from datetime import datetime, timezone

from . import _library
from .records import Record

# Link events of the link handler.
LINK_EVENTS = {1: "lost", 2: "restored", 3: "retry-failed", 4: "connecting", 5: "connected"}
CONNECT_RESULTS = {1: "reachability probe or set-up failed", 2: "data connection failed",
                   6: "link down after a failed reconnection"}
RESULTS = {-1: "no session", -2: "argument refused", -3: "not allowed from a handler",
           -4: "out of resources", -5: "no link", -6: "scan family not known yet",
           -7: "session closed", -8: "send failed", -9: "internal failure"}
_IN_HANDLER = -3
_CLOSED = -7


class ScanlinkError(RuntimeError):
    """A call the library refused or that sent nothing; ``result`` is the library's result."""

    def __init__(self, message, result=None):
        super().__init__(message)
        self.result = result


class ConnectError(ScanlinkError, ConnectionError):
    """The link could not be brought up; ``result`` is scanlink_connect's result."""


class _Options(C.Structure):
    _fields_ = [("address", C.c_char * 32), ("data_port", C.c_int), ("alarm_port", C.c_int),
                ("link_timeout_ms", C.c_int), ("reply_timeout_ms", C.c_int)]


_RECORD = C.CFUNCTYPE(None, C.c_void_p, C.c_void_p)
_LINK = C.CFUNCTYPE(None, C.c_void_p, C.c_int)
_ALARM = C.CFUNCTYPE(None, C.c_void_p, C.POINTER(C.c_ubyte), C.c_int)


class _Handlers(C.Structure):
    _fields_ = [("on_record", _RECORD), ("on_link", _LINK), ("on_alarm", _ALARM),
                ("context", C.c_void_p)]


_COUNTERS = ["frames_received", "bytes_received", "frames_delivered", "dropped_sync",
             "dropped_length", "dropped_no_module", "dropped_transaction", "bytes_skipped",
             "frames_oversized", "sends", "sends_failed", "link_losses", "reconnections",
             "transactions_reclaimed", "queue_high_water", "dropped_reserved"]


class _Counters(C.Structure):
    _fields_ = [(n, C.c_uint64) for n in _COUNTERS]


_STATE = ["first_connected", "link_up", "link_down", "scanner_type", "family", "finger_test",
          "closed", "alarm_connected"]


class _State(C.Structure):
    _fields_ = [(n, C.c_int) for n in _STATE]


class _Station(C.Structure):
    _fields_ = [("name", C.c_char * 64), ("cell_key1", C.c_uint32), ("cell_key2", C.c_uint32),
                ("longitude", C.c_double), ("latitude", C.c_double)]


class _DecodeOptions(C.Structure):
    _fields_ = [("finger_test", C.c_int), ("stations", C.POINTER(_Station)),
                ("station_count", C.c_int), ("mismatch_limit", C.c_int)]


class _DecodeStats(C.Structure):
    _fields_ = [("frames", C.c_uint64), ("bytes_skipped", C.c_uint64), ("oversized", C.c_uint64),
                ("partial_bytes", C.c_uint64)]


_U, _I, _P, _S = C.c_uint, C.c_int, C.c_void_p, C.c_char_p
_UA = C.POINTER(C.c_uint)
# Every operation: name -> argument types after the session. Each returns a transaction id.
_OPERATIONS = {
    "login": [_S, _S],
    "change_password": [_S, _S],
    "set_w_freq_list_scan_mode": [_U, _U, _U, _U, _UA],
    "set_w_cell_list_scan_mode": [_U, _U, _U, _U, _UA, _UA],
    "set_wcdma_scan_mode": [_U] * 9 + [_I, _I] + [_U] * 4,
    "set_td_sa_scan_mode": [_U, _U, _U, _U, _I, _I, _U, _U],
    "set_td_cell_list_scan_mode": [_U, _UA, _UA, _U, _U, _I, _U],
    "set_td_freq_list_scan_mode": [_U, _UA, _U, _U, _I, _U],
    "set_td_cell_search_scan_mode": [_U, _U, _U, _U, _U, _U, _I],
    "set_td_cw_scan_mode": [_U, _U, _U, _U],
    "set_channel_scan_mode": [_I, _U, _U] + [_U] * 6 + [C.c_char_p, C.c_char_p],
    "get_scan_mode": [], "get_scanner_version": [], "reset_scanner": [], "stop_scan": [],
    "start_scan": [], "query_battery": [],
    "set_scanner_mac_address": [_S], "set_scanner_ip_address": [_S],
    "set_gps_info_format": [_I, _I],
    "send_message": [C.c_uint16, C.c_char_p, _I],
}
_CHANNEL_SCANS = {"dpch": 0, "hsdpa": 1, "hsupa": 2, "mbms": 3}

# The range of each integer argument after the session (None: a list, text or bytes), the widths
# of the fields they fill: a value that does not fit is refused here, as the library refuses it.
_U8, _U16, _U32, _I16, _FLAG = (0, 0xFF), (0, 0xFFFF), (0, 0xFFFFFFFF), (-0x8000, 0x7FFF), (0, 1)
_RANGES = {
    "set_w_freq_list_scan_mode": [_U8, _U16, _U8, (0, 252), None],
    "set_w_cell_list_scan_mode": [_U8, _U16, _U8, (0, 168), None, None],
    "set_wcdma_scan_mode": [_U8, _U32, _U32, _U32, _U16, _U16, _U8, _U8, _U16, _FLAG, _I16, _U8,
                            _U8, _U8, _U32],
    "set_td_sa_scan_mode": [_U32, _U32, _U16, _U32, _FLAG, _I16, _U8, _U8],
    "set_td_cell_list_scan_mode": [_U16, None, None, (0, 168), _U8, _FLAG, _U8],
    "set_td_freq_list_scan_mode": [_U16, None, (0, 168), _U8, _FLAG, _U8],
    "set_td_cell_search_scan_mode": [_U32, _U32, _U16, _U16, _U8, _U8, _FLAG],
    "set_td_cw_scan_mode": [_U32, _U16, _U16, _U8],
    "set_channel_scan_mode": [(0, 3), _U16, _U8, _U32, _U32, _U16, _U8, _U8, _U8, None, None],
    "set_gps_info_format": [_U16, _U16],
    "send_message": [_U16, None, (0, 2048)],
}
_ARGUMENT_NAMES = {
    "set_wcdma_scan_mode": ["mode", "value1", "value2", "value3", "value4", "value5", "value6",
                            "value7", "value8", "flag", "value11", "value9", "value10", "value12",
                            "value13"],
}


def _check_ranges(name, args):
    for i, (value, limits) in enumerate(zip(args, _RANGES.get(name, []))):
        if limits is None:
            continue
        names = _ARGUMENT_NAMES.get(name)
        what = f"{name} {names[i] if names else f'argument {i + 1}'}"
        if not isinstance(value, int):
            raise TypeError(f"{what} must be an integer, not {value!r}")
        if not limits[0] <= value <= limits[1]:
            raise ValueError(f"{what} must be {limits[0]}..{limits[1]}, not {value}")


class _Reaper:
    """Closes sessions whose Scanner was dropped where closing is not allowed (a library
    thread): on a thread of its own, keeping the session's callbacks alive until then."""

    def __init__(self):
        self._queue = queue.Queue()
        self._thread = None
        self._lock = threading.Lock()

    def put(self, session, keep):
        with self._lock:
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="scanlink-reaper",
                                                daemon=True)
                self._thread.start()
        self._queue.put((session, keep))

    def _run(self):
        while True:
            session, keep = self._queue.get()
            while _lib().scanlink_close(session) == _IN_HANDLER:
                time.sleep(0.01)
            del keep
            self._queue.task_done()

    def wait(self, timeout=5.0):
        """Until every session handed over is closed (tests)."""
        deadline = time.monotonic() + timeout
        while self._queue.unfinished_tasks and time.monotonic() < deadline:
            time.sleep(0.01)
        return not self._queue.unfinished_tasks


_reaper = _Reaper()


def _close_dropped(session, keep):
    """A Scanner's finalizer: its session closed now, or by the reaper when this thread is one of
    the library's (the callbacks in ``keep`` must outlive the session)."""
    if _lib().scanlink_close(session) == _IN_HANDLER:
        _reaper.put(session, keep)

_bound = None


def _lib():
    """The library with the C interface's signatures declared."""
    global _bound
    if _bound is not None:
        return _bound
    lib = _library.load()
    if not hasattr(lib, "scanlink_open"):
        raise _library.LibraryNotFound(
            f"{lib._name} has no C interface (scanlink_open): a library too old for this package")
    lib.scanlink_version.restype = C.c_int
    lib.scanlink_options_init.argtypes = [C.POINTER(_Options)]
    lib.scanlink_open.argtypes = [C.POINTER(_Options)]
    lib.scanlink_open.restype = C.c_void_p
    lib.scanlink_set_handlers.argtypes = [_P, C.POINTER(_Handlers)]
    for name in ("connect", "clear_link_down", "disconnect", "close"):
        getattr(lib, "scanlink_" + name).argtypes = [_P]
    lib.scanlink_read_counters.argtypes = [_P, C.POINTER(_Counters)]
    lib.scanlink_read_counters_sized.argtypes = [_P, C.POINTER(_Counters), C.c_size_t]
    lib.scanlink_read_state.argtypes = [_P, C.POINTER(_State)]
    lib.scanlink_read_state_sized.argtypes = [_P, C.POINTER(_State), C.c_size_t]
    lib.scanlink_last_error.argtypes = []
    lib.scanlink_last_error.restype = C.c_int
    lib.scanlink_strerror.argtypes = [C.c_int]
    lib.scanlink_strerror.restype = C.c_char_p
    lib.scanlink_set_bs_list.argtypes = [_P, C.POINTER(_Station), _I]
    lib.scanlink_set_gps_mismatch_limit.argtypes = [_P, _I]
    lib.scanlink_send_alarm.argtypes = [_P, C.c_char_p, _I]
    lib.scanlink_record_json.argtypes = [_P, _I, C.c_char_p, C.c_size_t]
    lib.scanlink_set_timeouts.argtypes, lib.scanlink_set_timeouts.restype = [_P, _I, _I, _I], _I
    lib.scanlink_get_timeouts.argtypes = [_P] + [C.POINTER(_I)] * 3
    lib.scanlink_get_timeouts.restype = _I
    lib.scanlink_decode.argtypes = [C.c_char_p, C.c_size_t, C.POINTER(_DecodeOptions), _RECORD,
                                    _P, C.POINTER(_DecodeStats)]
    for name, args in _OPERATIONS.items():
        f = getattr(lib, "scanlink_" + name)
        f.argtypes, f.restype = [_P] + args, C.c_int
    _bound = lib
    return lib


def library_version():
    """The loaded library's version as "MAJOR.MINOR.PATCH"."""
    v = _lib().scanlink_version()
    return f"{v // 10000}.{v // 100 % 100}.{v % 100}"


def _record_json(lib, record, stations_loaded):
    size = 4096
    while True:
        buffer = C.create_string_buffer(size)
        n = lib.scanlink_record_json(record, int(stations_loaded), buffer, size)
        if n < 0:
            raise ScanlinkError("record_json refused the record", n)
        if n < size:
            return buffer.raw[:n]
        size = n + 1


def _from_json(text, arrived=None):
    """A Record from the library's JSON text (bytes), with its arrival time first when known.
    The body, always the text's last member, is parsed when the application first reads it."""
    data = {} if arrived is None else {"time": arrived}
    at = text.find(b',"body":')
    if at < 0:
        data.update(json.loads(text))
        return Record(data)
    data.update(json.loads(text[:at] + b"}"))
    return Record(data, text[at + 8:-1])


def _stations(stations):
    """(ctypes array, count) of base stations: dicts as read_stations() gives, or a CSV path."""
    if stations is None:
        return None, 0
    if not isinstance(stations, (list, tuple)):
        from .plots import read_stations

        stations = read_stations(stations)
    array = (_Station * max(len(stations), 1))()
    for s, d in zip(array, stations):
        key1, key2 = (d["key"].split("/") if "key" in d else (d["key1"], d["key2"]))
        s.name = d["name"].encode()[:63]
        s.cell_key1, s.cell_key2 = int(key1), int(key2)
        s.longitude, s.latitude = float(d["longitude"]), float(d["latitude"])
    return array, len(stations)


def decode(data, finger_test=False, stations=None, gps_limit=-1):
    """The records in the bytes of a recorded data stream (what a scanner sent), decoded by the
    library as a session decodes them. Records carry no time (the bytes carry none)."""
    lib = _lib()
    array, count = _stations(stations)
    if finger_test not in (0, 1):
        raise ValueError(f"decode finger_test must be 0 or 1, not {finger_test!r}")
    options = _DecodeOptions(int(finger_test), array, count, gps_limit)
    out = []

    def on_record(_context, record):
        out.append(_from_json(_record_json(lib, record, count > 0)))

    callback = _RECORD(on_record)
    data = bytes(data)
    n = lib.scanlink_decode(data, len(data), C.byref(options), callback, None, None)
    if n < 0:
        raise ScanlinkError(f"decode refused: {RESULTS.get(n, n)}", n)
    return out


_second = (None, "")  # (a second, its text), replaced whole: handlers of sessions share it


def _arrival_iso():
    """Now as ISO 8601 UTC text with microseconds and a Z, for a record's arrival: the date and
    time of day formatted once a second (the record path calls it for every record)."""
    global _second
    now = time.time()
    second = int(now)
    known, text = _second
    if known != second:
        text = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(second))
        _second = (second, text)
    return f"{text}.{int((now - second) * 1e6):06d}Z"


_pinned = threading.local()
_pinned_states = {}  # native id of a library thread -> the interpreter state kept for it
_pinning = threading.Lock()
# Where a thread's end can be seen (Linux) and the state of an ended thread can be freed from
# another (up to 3.11: later interpreters then also unbind the freeing thread's own state);
# elsewhere each handler call keeps making its own.
_CAN_PIN = sys.platform.startswith("linux") and sys.version_info < (3, 12)
_api = None


def _pin_thread_state():
    """Keeps the interpreter's state of the library thread calling a handler: without, each call
    from a thread Python did not start creates and destroys one, with memory mapped and unmapped,
    for every record. One more PyGILState_Ensure, never released, keeps it; the states of
    threads that have ended since (a link's threads end with it) are freed here."""
    _pinned.state = True
    if not _CAN_PIN or threading.get_ident() in threading._active:
        return  # a thread Python started keeps its state anyway
    global _api
    if _api is None:
        api = C.PyDLL(None)  # the interpreter's own functions, declared here only
        api.PyGILState_Ensure.restype = C.c_int
        api.PyThreadState_Get.restype = C.c_void_p
        api.PyThreadState_Clear.argtypes = api.PyThreadState_Delete.argtypes = [C.c_void_p]
        _api = api
    api = _api
    api.PyGILState_Ensure()
    with _pinning:
        for native, state in list(_pinned_states.items()):
            if not os.path.exists(f"/proc/self/task/{native}"):
                del _pinned_states[native]
                api.PyThreadState_Clear(state)
                api.PyThreadState_Delete(state)
        _pinned_states[threading.get_native_id()] = api.PyThreadState_Get()


class Scanner:
    """One scanner: ``with Scanner("10.0.0.2", 5000, user="admin", password="admin") as s:``.

    Entering connects (and logs in when ``user`` is given); leaving closes. Every operation is a
    method returning the request's transaction id (ScanlinkError when nothing was sent).
    Records arrive on the session's thread and wait in a queue: ``next_record(timeout)``,
    ``wait_reply(trans, timeout)``, or iterate ``records(timeout)`` (ends after ``timeout``
    seconds without a record). Each is a Record with the library's JSON field names and its
    arrival ``time``. Link events ("lost", "restored", ...) go to ``link_events`` (a queue of
    (time, event)) and, when given, to ``on_link(event)``."""

    def __init__(self, host, port, alarm_port=8050, user=None, password=None, stations=None,
                 gps_limit=None, link_timeout=None, reply_timeout=None, on_link=None,
                 on_alarm=None):
        if not isinstance(host, str):
            raise TypeError("host must be an IPv4 address as text")
        try:
            ipaddress.IPv4Address(host)
        except ValueError:
            raise ValueError(f"host must be an IPv4 address A.B.C.D, not {host!r}") from None
        for name, value in (("port", port), ("alarm_port", alarm_port)):
            if not isinstance(value, int) or not 1 <= value <= 65535:
                raise ValueError(f"{name} must be 1..65535, not {value!r}")
        self.host, self.port, self.alarm_port = host, port, alarm_port
        self._user, self._password = user, password
        self._stations, self._gps_limit = stations, gps_limit
        self._link_timeout, self._reply_timeout = link_timeout, reply_timeout
        self._on_link, self._on_alarm = on_link, on_alarm
        self._session = None
        # (JSON bytes, arrival time) from the record handler; parsed by whoever takes them, so
        # the session's thread holds the interpreter lock as briefly as it can. The handler
        # renders into one buffer: the library calls a session's handlers one at a time.
        self._queue = queue.SimpleQueue()
        self._json = C.create_string_buffer(4096)
        self.link_events = queue.Queue()
        self._stations_loaded = False

    # ---- life cycle
    def open(self):
        lib = _lib()
        options = _Options()
        lib.scanlink_options_init(C.byref(options))
        options.address = self.host.encode()[:31]
        options.data_port, options.alarm_port = self.port, self.alarm_port
        if self._link_timeout is not None:
            options.link_timeout_ms = int(self._link_timeout * 1000)
        if self._reply_timeout is not None:
            options.reply_timeout_ms = int(self._reply_timeout * 1000)
        session = lib.scanlink_open(C.byref(options))
        if not session:
            raise ScanlinkError(f"session refused for {self.host}:{self.port} (alarm "
                                f"{self.alarm_port}): address or timeouts out of range")
        self._session = session
        # The callbacks hold the Scanner weakly, so that dropping it without close() reaches the
        # finalizer, which keeps them alive until the session is closed (off the library's
        # threads): the library calls them until then.
        ref = weakref.ref(self)

        def forward(method):
            def call(*args):
                scanner = ref()
                if scanner is not None:
                    method(scanner, *args)
            return call

        callbacks = (_RECORD(forward(Scanner._record)), _LINK(forward(Scanner._link)),
                     _ALARM(forward(Scanner._alarm)))
        handlers = _Handlers(*callbacks, None)
        self._keep = (callbacks, handlers)
        self._finalizer = weakref.finalize(self, _close_dropped, session, self._keep)
        self._check(lib.scanlink_set_handlers(session, C.byref(handlers)), "set_handlers")
        if self._stations is not None:
            self.set_bs_list(self._stations)
        if self._gps_limit is not None:
            self.set_gps_mismatch_limit(self._gps_limit)
        return self

    def connect(self):
        result = _lib().scanlink_connect(self._live())
        if result != 0:
            raise ConnectError(f"cannot connect to {self.host}:{self.port}: "
                               f"{CONNECT_RESULTS.get(result, RESULTS.get(result, result))}",
                               result)

    def close(self):
        if self._session:
            result = _lib().scanlink_close(self._session)
            if result != 0:
                raise ScanlinkError(f"close: {RESULTS.get(result, result)}", result)
            self._session = None
            self._finalizer.detach()
            self._keep = None

    def __enter__(self):
        self.open()
        try:
            self.connect()
            if self._user is not None:
                self.wait_reply(self.login(self._user, self._password or ""), timeout=10)
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- handlers (on the session's thread)
    def _record(self, _context, record):
        if not getattr(_pinned, "state", False):
            _pin_thread_state()
        stamp, render, buffer = _arrival_iso(), _lib().scanlink_record_json, self._json
        n = render(record, self._stations_loaded, buffer, len(buffer))
        if n >= len(buffer):
            self._json = buffer = C.create_string_buffer(n + 1)
            n = render(record, self._stations_loaded, buffer, len(buffer))
        if n < 0:
            raise ScanlinkError("record_json refused the record", n)
        self._queue.put((C.string_at(buffer, n), stamp))

    def _link(self, _context, event):
        name = LINK_EVENTS.get(event, str(event))
        self.link_events.put((datetime.now(timezone.utc), name))
        if self._on_link:
            self._on_link(name)

    def _alarm(self, _context, data, length):
        if self._on_alarm:
            self._on_alarm(bytes(data[:length]))

    # ---- records
    def next_record(self, timeout=None):
        """The next record; TimeoutError after ``timeout`` seconds without one."""
        try:
            item = self._queue.get_nowait()
            self._streaming = True
        except queue.Empty:
            item = self._wait_record(timeout)
        return _from_json(*item)

    # While records stream in, a reader that caught up naps this long (up to _NAPS times) rather
    # than being woken for each record: records gather meanwhile and are taken without a wait.
    _NAP, _NAPS = 0.0002, 5
    _streaming = False

    def _wait_record(self, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        if self._streaming:
            self._streaming = False
            for _ in range(self._NAPS):
                if deadline is not None and time.monotonic() + self._NAP > deadline:
                    break
                time.sleep(self._NAP)
                try:
                    item = self._queue.get_nowait()
                    self._streaming = True
                    return item
                except queue.Empty:
                    pass
        try:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            return self._queue.get(timeout=left)
        except queue.Empty:
            raise TimeoutError(f"no record from {self.host}:{self.port} within {timeout} s") from None

    def records(self, timeout=1.0, count=None):
        """Records as they arrive, until ``timeout`` seconds pass without one (or ``count``)."""
        n = 0
        while count is None or n < count:
            try:
                yield self.next_record(timeout)
            except TimeoutError:
                return
            n += 1

    __iter__ = records

    def wait_reply(self, trans, timeout=5.0, keep=None):
        """The reply carrying transaction id ``trans``; the records before it go to ``keep``
        (a list) when given, else are dropped. TimeoutError when none comes in time."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no reply to transaction {trans} within {timeout} s")
            r = self.next_record(left)
            if r.kind == "reply" and r.trans == trans:
                return r
            if keep is not None:
                keep.append(r)

    def wait_link_event(self, name, timeout=5.0):
        """Waits for the link event ``name`` ("lost", "restored", ...); TimeoutError if none."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                _, event = self.link_events.get(timeout=max(left, 0))
            except queue.Empty:
                raise TimeoutError(f"no '{name}' link event within {timeout} s") from None
            if event == name:
                return event

    # ---- state
    def counters(self):
        c = _Counters()
        self._check(_lib().scanlink_read_counters_sized(self._live(), C.byref(c), C.sizeof(c)),
                    "read_counters")
        return {n: getattr(c, n) for n in _COUNTERS}

    def state(self):
        s = _State()
        self._check(_lib().scanlink_read_state_sized(self._live(), C.byref(s), C.sizeof(s)),
                    "read_state")
        return {n: getattr(s, n) for n in _STATE}

    # ---- settings
    def set_bs_list(self, stations):
        """Base stations for the GPS check: a CSV path or read_stations() dicts."""
        array, count = _stations(stations)
        kept = _lib().scanlink_set_bs_list(self._live(), array, count)
        if kept < 0:
            raise ScanlinkError(f"set_bs_list: {RESULTS.get(kept, kept)}", kept)
        self._stations_loaded = kept > 0
        return kept

    # Seconds, and the library's bounds in milliseconds, for each of set_timeouts' arguments.
    _TIMEOUTS = {"connect": (100, 600000), "reply": (100, 3600000), "link": (1000, 600000)}

    def set_timeouts(self, connect=None, reply=None, link=None):
        """The session's time bounds in seconds (None leaves one as it is): the longest a
        connect spends connecting, how long a request waits for its reply, the silence before the
        link counts as lost. Returns the bounds in force (connect None: none set)."""
        ms = []
        for name, value in (("connect", connect), ("reply", reply), ("link", link)):
            if value is None:
                ms.append(0)
                continue
            low, high = self._TIMEOUTS[name]
            if isinstance(value, bool) or not isinstance(value, (int, float)) or \
                    not low <= value * 1000 <= high:
                raise ValueError(f"{name} timeout must be {low / 1000}..{high / 1000} s, "
                                 f"not {value!r}")
            ms.append(int(round(value * 1000)))
        lib, session = _lib(), self._live()
        self._check(lib.scanlink_set_timeouts(session, *ms), "set_timeouts")
        got = [_I() for _ in range(3)]
        self._check(lib.scanlink_get_timeouts(session, *(C.byref(v) for v in got)),
                    "get_timeouts")
        return {"connect": got[0].value / 1000 or None, "reply": got[1].value / 1000,
                "link": got[2].value / 1000}

    def set_gps_mismatch_limit(self, limit):
        # Chips, a whole number the library's field holds: never rounded or wrapped here.
        if not isinstance(limit, int):
            raise TypeError(f"set_gps_mismatch_limit limit must be an integer, not {limit!r}")
        if not 0 <= limit <= 536870911:
            raise ValueError(f"set_gps_mismatch_limit limit must be 0..536870911, not {limit}")
        return self._check(_lib().scanlink_set_gps_mismatch_limit(self._live(), limit),
                           "set_gps_mismatch_limit")

    def send_alarm(self, data):
        data = bytes(data)
        n = _lib().scanlink_send_alarm(self._live(), data, len(data))
        if n < 0:
            raise ScanlinkError("send_alarm failed", n)
        return n

    # ---- operations
    def _live(self):
        if not self._session:
            raise ScanlinkError("the scanner session is not open (use it inside 'with')")
        return self._session

    @staticmethod
    def _check(result, what):
        if result < 0:
            raise ScanlinkError(f"{what}: {RESULTS.get(result, result)}", result)
        return result

    def _op(self, name, *args):
        _check_ranges(name, args)
        lib = _lib()
        trans = getattr(lib, "scanlink_" + name)(self._live(), *args)
        if trans <= 0:
            why = lib.scanlink_last_error()
            raise ScanlinkError(f"{name}: nothing sent ({lib.scanlink_strerror(why).decode()})",
                                trans)
        return trans

    @staticmethod
    def _text(value, what, limit=None):
        if not isinstance(value, str):
            raise TypeError(f"{what} must be text")
        data = value.encode()
        if limit is not None and len(data) > limit:
            raise ValueError(f"{what} longer than {limit} bytes")
        return data

    @staticmethod
    def _uints(values, what, most=0xFFFFFFFF):
        values = list(values)
        if any(not isinstance(v, int) or not 0 <= v <= most for v in values):
            raise ValueError(f"{what} must be non-negative integers up to {most}")
        return (C.c_uint * max(len(values), 1))(*values), len(values)

    def login(self, user, password):
        return self._op("login", self._text(user, "user", 16),
                        self._text(password, "password", 16))

    def change_password(self, user, new_password):
        return self._op("change_password", self._text(new_password, "new password", 16),
                        self._text(user, "user", 16))

    def set_w_freq_list_scan_mode(self, list_value1, list_value2, list_value3, freqs):
        array, n = self._uints(freqs, "freqs")
        return self._op("set_w_freq_list_scan_mode", list_value1, list_value2, list_value3, n,
                        array)

    def set_w_cell_list_scan_mode(self, list_value1, list_value2, list_value3, cells):
        """cells: (first, second) pairs."""
        cells = list(cells)
        firsts, n = self._uints([c[0] for c in cells], "cells")
        seconds, _ = self._uints([c[1] for c in cells], "cells' second values", 0xFFFF)
        return self._op("set_w_cell_list_scan_mode", list_value1, list_value2, list_value3, n,
                        firsts, seconds)

    def set_wcdma_scan_mode(self, mode, value1=0, value2=0, value3=0, value4=0, value5=0,
                            value6=0, value7=0, value8=0, flag=0, value11=0, value9=0,
                            value10=0, value12=0, value13=0):
        if mode in (7, 8):
            raise ValueError("set_wcdma_scan_mode mode 7 and 8 are the lists: use "
                             "set_w_cell_list_scan_mode / set_w_freq_list_scan_mode")
        return self._op("set_wcdma_scan_mode", mode, value1, value2, value3, value4, value5,
                        value6, value7, value8, flag, value11, value9, value10, value12, value13)

    def set_td_sa_scan_mode(self, sa1, sa2, selector_value=0, sa3=0, sa_flag=0, sa5=0, sa4=0,
                            selector=0):
        return self._op("set_td_sa_scan_mode", sa1, sa2, selector_value, sa3, sa_flag, sa5, sa4,
                        selector)

    def set_td_cell_list_scan_mode(self, cells, finger_test=False, selector_value=0, selector=0,
                                   trailing=0):
        """cells: (key1, key2) pairs."""
        cells = list(cells)
        firsts, n = self._uints([c[0] for c in cells], "cells")
        seconds, _ = self._uints([c[1] for c in cells], "cells' second values", 0xFFFF)
        return self._op("set_td_cell_list_scan_mode", selector_value, firsts, seconds, n,
                        selector, finger_test, trailing)

    def set_td_freq_list_scan_mode(self, freqs, finger_test=False, selector_value=0, selector=0,
                                   trailing=0):
        array, n = self._uints(freqs, "freqs")
        return self._op("set_td_freq_list_scan_mode", selector_value, array, n, selector,
                        finger_test, trailing)

    def set_td_cell_search_scan_mode(self, search3=0, search4=0, selector_value=0, search2=0,
                                     search1=0, selector=0, finger_test=False):
        return self._op("set_td_cell_search_scan_mode", search3, search4, selector_value, search2,
                        search1, selector, finger_test)

    def set_td_cw_scan_mode(self, cw1, selector_value=0, cw2=0, selector=0):
        return self._op("set_td_cw_scan_mode", cw1, selector_value, cw2, selector)

    def set_channel_scan_mode(self, kind, selector_value, selector, channels, block1=bytes(16),
                              block2=bytes(16)):
        """kind: "dpch", "hsdpa", "hsupa" or "mbms"; channels: six values; blocks: 16 bytes."""
        if kind not in _CHANNEL_SCANS:
            raise ValueError(f"kind must be one of {sorted(_CHANNEL_SCANS)}, not {kind!r}")
        channels = list(channels)
        if len(channels) != 6:
            raise ValueError("channels: six values")
        if len(block1) != 16 or len(block2) != 16:
            raise ValueError("block1 and block2 must be 16 bytes")
        return self._op("set_channel_scan_mode", _CHANNEL_SCANS[kind], selector_value, selector,
                        *channels, bytes(block1), bytes(block2))

    def get_scan_mode(self):
        return self._op("get_scan_mode")

    def get_scanner_version(self):
        return self._op("get_scanner_version")

    def reset_scanner(self):
        return self._op("reset_scanner")

    def start_scan(self):
        return self._op("start_scan")

    def stop_scan(self):
        return self._op("stop_scan")

    def query_battery(self):
        return self._op("query_battery")

    def set_scanner_mac_address(self, text):
        return self._op("set_scanner_mac_address", self._text(text, "MAC address"))

    def set_scanner_ip_address(self, text):
        # Checked here: the library's address parsing sends 255.255.255.255 for what it cannot
        # read, as the original interface did.
        try:
            ipaddress.IPv4Address(text)
        except ValueError:
            raise ValueError(f"IP address must be A.B.C.D, not {text!r}") from None
        return self._op("set_scanner_ip_address", self._text(text, "IP address"))

    def set_gps_info_format(self, value1, value2):
        return self._op("set_gps_info_format", value1, value2)

    def send_message(self, code, payload=b""):
        """Any message: a code and its payload bytes (at most 2048)."""
        payload = bytes(payload)
        return self._op("send_message", code, payload, len(payload))


# ---- records without callbacks: the library's queue, for asyncio

class _QueueStats(C.Structure):
    _fields_ = [(n, C.c_uint64) for n in ("records_waiting", "records_dropped", "events_waiting",
                                          "events_dropped", "records_high_water")]


_pull_bound = False


def _pull_lib():
    """The library with the pull functions' signatures declared."""
    global _pull_bound
    lib = _lib()
    if not _pull_bound:
        if not hasattr(lib, "scanlink_next_record_json"):
            raise _library.LibraryNotFound(
                f"{lib._name} has no record queue (scanlink_next_record_json): too old a library")
        lib.scanlink_set_queue.argtypes, lib.scanlink_set_queue.restype = [_P, _I], _I
        lib.scanlink_next_record_json.argtypes = [_P, C.c_char_p, C.c_size_t, _I]
        lib.scanlink_next_record_json.restype = _I
        lib.scanlink_wait_handle.argtypes, lib.scanlink_wait_handle.restype = [_P], C.c_ssize_t
        lib.scanlink_read_queue_stats_sized.argtypes = [_P, C.POINTER(_QueueStats), C.c_size_t]
        lib.scanlink_read_queue_stats_sized.restype = _I
        _pull_bound = True
    return lib


def _use_queue(scanner, capacity):
    """From now on the scanner's records wait in the library's queue (capacity records; more
    are dropped and counted), not in the Python one; the link and alarm handlers stay."""
    if getattr(scanner, "_pulling", False):
        return
    lib, session = _pull_lib(), scanner._live()
    scanner._check(lib.scanlink_set_queue(session, capacity), "set_queue")
    link, alarm = scanner._keep[0][1], scanner._keep[0][2]
    handlers = _Handlers(_RECORD(), link, alarm, None)
    scanner._check(lib.scanlink_set_handlers(session, C.byref(handlers)), "set_handlers")
    scanner._handlers, scanner._pulling = handlers, True
    scanner._buffer = C.create_string_buffer(4096)


def _pull(scanner, timeout_ms):
    """The next queued record as a Record, None when none came within timeout_ms, or _ENDED
    once the session is disconnected and nothing waits (nothing will come)."""
    lib, session = _pull_lib(), scanner._live()
    while True:
        size = len(scanner._buffer)
        n = lib.scanlink_next_record_json(session, scanner._buffer, size, timeout_ms)
        if n < 0:
            raise ScanlinkError(f"next_record_json: {RESULTS.get(n, n)}", n)
        if n == 0:
            return _ENDED if lib.scanlink_last_error() == _CLOSED else None
        if n < size:
            return _from_json(C.string_at(scanner._buffer, n), _arrival_iso())
        scanner._buffer = C.create_string_buffer(n + 1)  # the record stays first in line


_ENDED = object()


async def _arecords(scanner, timeout=None, count=None, capacity=10000):
    import asyncio

    _use_queue(scanner, capacity)
    loop = asyncio.get_running_loop()
    handle = _pull_lib().scanlink_wait_handle(scanner._live())
    watch = handle >= 0
    n = 0
    while count is None or n < count:
        deadline = None if timeout is None else loop.time() + timeout
        record = None
        while record is None:
            # What arrived before the switch first, then the library's queue.
            try:
                record = _from_json(*scanner._queue.get_nowait())
            except queue.Empty:
                record = _pull(scanner, 0)
            if record is _ENDED:
                return
            if record is not None:
                break
            left = None if deadline is None else deadline - loop.time()
            if left is not None and left <= 0:
                return
            if watch:
                ready = loop.create_future()
                try:
                    loop.add_reader(handle, lambda: ready.done() or ready.set_result(None))
                except NotImplementedError:
                    watch = False  # a loop without descriptors (Windows): a worker waits
                    continue
                try:
                    await asyncio.wait_for(ready, left)
                except asyncio.TimeoutError:
                    return
                finally:
                    loop.remove_reader(handle)
            else:
                wait_ms = 200 if left is None else max(1, int(min(left, 0.2) * 1000))
                record = await loop.run_in_executor(None, _pull, scanner, wait_ms)
                if record is _ENDED:
                    return
        yield record
        n += 1


def _queue_stats(scanner):
    s = _QueueStats()
    scanner._check(_pull_lib().scanlink_read_queue_stats_sized(scanner._live(), C.byref(s),
                                                               C.sizeof(s)), "read_queue_stats")
    return {n: getattr(s, n) for n, _ in _QueueStats._fields_}


def arecords(self, timeout=None, count=None, capacity=10000):
    """Records for asyncio, as they arrive: ``async for record in scanner``; ends after
    ``timeout`` seconds without a record (None: never), after ``count`` records, or once the
    session is disconnected for good and nothing waits. From the
    first call on, records wait in the library's queue (``capacity`` records; more are dropped
    and counted in ``queue_stats()``) instead of the one ``next_record`` reads."""
    return _arecords(self, timeout, count, capacity)


Scanner.arecords = arecords
Scanner.__aiter__ = arecords
Scanner.queue_stats = _queue_stats
