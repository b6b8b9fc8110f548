"""ccTalk on a serial port from Python, through the Quennet library.

    import quennet
    with quennet.Bus("/dev/ttyUSB0", checksum="crc16", echo=True) as bus:
        r = bus.call(40, "GetSerialNo")    # r.result, r.acknowledged, r.outputs, r.sent,
                                           # r.reply, r.status
        bus.call(40, "SetInhibitStatus", [255, 255])
        for ev in bus.events(40, timeout=10):   # as `quennet events --json` prints them
            print(ev)

A bad method name or argument raises ValueError with the `quennet` tool's own words; a port
that does not open, is closed or was lost raises OSError. A call's time-out never hides a command
that may have run: a call still waiting for its turn is withdrawn, unsent (TimeoutError); one
already on the line is waited for and its reply returned.
"""

import ctypes
import json
import math
import numbers
import operator
import time

from . import _capi
from ._capi import lib

__all__ = ["Bus", "Reply", "Events", "methods", "version"]

_CHECKSUMS = {"crc16": _capi.CRC16, "checksum8": _capi.CHECKSUM8}
# The longest single wait inside the library, so that Ctrl-C is seen between two.
_WAIT_SLICE_MS = 200


def _error(code):
    message = lib.quennet_last_message().decode()
    kind = {_capi.EINVAL: ValueError, _capi.ERANGE: ValueError, _capi.ETIMEDOUT: TimeoutError,
            _capi.EREFUSED: RuntimeError, _capi.ENOMEM: MemoryError}.get(code, OSError)
    return kind(message)


def _raise(code):
    raise _error(code)


def version():
    """The library's version, "1.0.0"."""
    return lib.quennet_version().decode()


def methods():
    """The names of the command methods, in the control's order."""
    return [lib.quennet_method_name(i).decode() for i in range(lib.quennet_method_count())]


# Each method's name as the library reads it, encoded once; a name not here (misspelt) is encoded
# per call and refused by the library in its own words.
_METHOD_NAMES = {name: name.encode() for name in methods()}
# The argument array of a call without arguments: the library reads none of it.
_NO_ARGUMENTS = (ctypes.c_char_p * 1)()


def _bytes(getter, handle, *index):
    data = ctypes.POINTER(ctypes.c_uint8)()
    size = getter(handle, *index, ctypes.byref(data))
    return ctypes.string_at(data, size) if size else b""


def _word(value):
    """One argument as the tool takes it: numbers in decimal, byte arrays as "1,2,3"."""
    if isinstance(value, str):
        return value
    if isinstance(value, (bytes, bytearray, list, tuple)):
        return ",".join(_number(b) for b in value)
    return _number(value)


def _number(value):
    # Anything but a whole number goes to the library as written, which refuses it in the
    # tool's words, rather than being rounded to one here.
    return str(int(value)) if isinstance(value, int) else str(value)


def _c_string(word):
    # The library reads C strings: a NUL would end a name or an argument early and the rest
    # would go unread rather than refused.
    if "\0" in word:
        raise ValueError(f"{word!r} holds a NUL character")
    return word.encode()


def _c_int(value, what):
    """An integer for a C int of the library: one beyond it would arrive cut to its low bits
    (2**32 + 40 as 40), so it is refused here."""
    value = operator.index(value)
    if not _capi.INT_MIN <= value <= _capi.INT_MAX:
        raise ValueError(f"{what} {value} does not fit the library's int")
    return value


def _milliseconds(seconds, what, zero_allowed=False):
    """Seconds as the library's whole milliseconds, rounded up: a span above 0 never reaches it
    as 0, which it reads as "no limit". The library refuses a span past its range."""
    if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real):
        raise TypeError(f"{what} is a number of seconds, not {type(seconds).__name__}")
    if math.isnan(seconds) or seconds < 0 or (seconds == 0 and not zero_allowed):
        least = "0 or more" if zero_allowed else "above 0"
        raise ValueError(f"{what} must be {least} seconds, not {seconds}")
    if math.isinf(seconds):
        raise ValueError(f"{what} must be finite (None: no limit), not {seconds}")
    return _c_int(math.ceil(seconds * 1000), f"{what} in milliseconds")


def _words(name, inputs):
    # A str is one argument's text, never a list of them: "35" split up would send 3, then 5.
    if isinstance(inputs, str):
        raise TypeError(f"inputs is a list of arguments, not a str: give [{inputs!r}]")
    inputs = list(inputs) if inputs is not None else []
    # A method with one byte-array argument takes the bytes themselves: [255, 255].
    if (len(inputs) > 1 and lib.quennet_method_argument_count(name) == 1
            and lib.quennet_method_argument_type(name, 0) == _capi.TYPE_BYTES
            and all(isinstance(b, int) for b in inputs)):
        inputs = [inputs]
    return [_word(value) for value in inputs]


def _reply_outputs(handle):
    outputs = {}
    for i in range(lib.quennet_reply_output_count(handle)):
        name = lib.quennet_reply_output_name(handle, i).decode()
        kind = lib.quennet_reply_output_type(handle, i)
        if kind == _capi.TYPE_BYTES:
            value = list(_bytes(lib.quennet_reply_output_bytes, handle, i))
        elif kind == _capi.TYPE_TEXT:
            value = lib.quennet_reply_output_text(handle, i).decode()
        else:
            value = lib.quennet_reply_output_integer(handle, i)
        outputs[name] = value
    return outputs


# How each field of a Reply besides its result is read from the library's reply.
_REPLY_FIELDS = {
    "status": lambda handle: lib.quennet_reply_status(handle).decode(),
    # A serial number as the device's label reads it (the tool's "serial"); None for others.
    "serial": lambda handle: lib.quennet_reply_serial(handle).decode() or None,
    "sent": lambda handle: _bytes(lib.quennet_reply_sent, handle),
    "reply": lambda handle: _bytes(lib.quennet_reply_received, handle),
    "outputs": _reply_outputs,
}


def _reply_field(name, read):
    slot = "_" + name

    def get(self):
        try:
            return getattr(self, slot)
        except AttributeError:  # not read yet
            value = read(self._handle)
            setattr(self, slot, value)
            return value
    return property(get)


class Reply:
    """The answer to one call: result, acknowledged, status, outputs, serial, sent and reply.
    It keeps the library's reply: the result and acknowledgement are read at once, every other
    field when first asked for, so a caller that checks the result pays for nothing else."""

    __slots__ = ("_handle", "result", "acknowledged") + tuple("_" + name for name in _REPLY_FIELDS)

    def __init__(self, handle):
        self._handle = handle  # owned from here on: freed with this object
        self.result = lib.quennet_reply_result(handle)
        self.acknowledged = bool(lib.quennet_reply_acknowledged(handle))

    def __del__(self):
        handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            lib.quennet_reply_free(handle)

    def __reduce__(self):
        # A copy or a pickle carries the fields themselves, never the library's reply, which
        # only this object may free.
        return _detached_reply, tuple(getattr(self, name) for name in _REPLY_STATE)

    def __repr__(self):
        return (f"Reply(result={self.result}, acknowledged={self.acknowledged}, "
                f"status={self.status!r}, outputs={self.outputs!r}, serial={self.serial!r}, "
                f"sent={self.sent!r}, reply={self.reply!r})")


for _name, _read in _REPLY_FIELDS.items():
    setattr(Reply, _name, _reply_field(_name, _read))
del _name, _read

_REPLY_STATE = ("result", "acknowledged") + tuple(_REPLY_FIELDS)


def _detached_reply(*state):
    """A Reply holding its fields alone, with no library reply behind it."""
    reply = Reply.__new__(Reply)
    reply._handle = None
    for name, value in zip(_REPLY_STATE, state):
        setattr(reply, name if name in ("result", "acknowledged") else "_" + name, value)
    return reply


class Events:
    """One device's events as dictionaries, oldest first; ends `timeout` seconds after it began
    (None: never). Close it (or let the loop end) to stop polling."""

    def __init__(self, bus, address, timeout, interval, from_start, inhibits):
        self._handle = None
        options = _capi.WatchOptions()
        lib.quennet_watch_options_init(ctypes.byref(options))
        if interval is not None:
            options.interval_ms = _milliseconds(interval, "interval")
        if timeout is not None:
            _milliseconds(timeout, "timeout")
        options.from_start = 1 if from_start else 0
        if inhibits is not None:
            options.inhibits = _c_string(_word(inhibits))
        self._bus = bus  # the bus outlives its watch
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._handle = ctypes.c_void_p()
        code = lib.quennet_watch_open(bus._live(), _c_int(address, "address"),
                                      ctypes.byref(options), ctypes.byref(self._handle))
        if code != _capi.OK:
            self._handle = None
            _raise(code)

    def __iter__(self):
        return self

    def __next__(self):
        record = _capi.Record()
        while self._handle:
            wait = _WAIT_SLICE_MS
            if self._deadline is not None:
                left = self._deadline - time.monotonic()
                if left <= 0:
                    break
                wait = min(wait, int(left * 1000) + 1)
            code = lib.quennet_watch_next(self._handle, wait, ctypes.byref(record))
            if code == _capi.OK:
                return json.loads(record.json)
            if code != _capi.ETIMEDOUT:
                self.close()
                _raise(code)
        self.close()
        raise StopIteration

    def close(self):
        if self._handle:
            lib.quennet_watch_close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


class Bus:
    """One serial port: checksum "crc16" (default) or "checksum8", echo on the line, an
    encryption key of six digits, the longest a call may wait for its turn on the line in seconds
    (None: no limit; a call still queued then is withdrawn unsent and raises TimeoutError, one
    already on the line is waited for, since the device may act on it), and the quiet in seconds
    the line must keep after a good reply before the next call goes out (None: the library's
    default, none, so back-to-back calls run at the speed of the wire; a line whose devices send
    a reply twice sets the span within which they do). busy_retries: how often a call answered BUSY goes out again (None:
    never, the call answers -1), busy_pause seconds apart (None: the library's 0.1); reset_wait:
    the longest a device that acknowledged ResetDevice is polled, until it answers, before its
    next call (None: 2 s; 0: no wait). devices: the framing of each device that has its own, by
    address: {2: {"checksum": "checksum8"}, 40: {"key": "123456"}} (a key means CRC-16; without
    one the device keeps the bus's checksum unless it names one)."""

    def __init__(self, port, checksum="crc16", echo=True, key=None, timeout=None,
                 repeat_guard=None, busy_retries=None, busy_pause=None, reset_wait=None,
                 devices=None):
        if checksum not in _CHECKSUMS:
            raise ValueError(f"checksum must be one of {', '.join(_CHECKSUMS)}, not {checksum!r}")
        # Checked before the port opens: a bad setting opens nothing.
        own_framings = []
        for address, device in (devices or {}).items():
            unknown = set(device) - {"checksum", "key"}
            if unknown:
                raise ValueError(f"device {address}: unknown setting {sorted(unknown)[0]!r}")
            own_key = device.get("key")
            own_checksum = device.get("checksum", "crc16" if own_key is not None else checksum)
            if own_checksum not in _CHECKSUMS:
                raise ValueError(f"checksum must be one of {', '.join(_CHECKSUMS)}, "
                                 f"not {own_checksum!r}")
            own_framings.append(
                lambda a=_c_int(address, "address"), c=own_checksum,
                k=None if own_key is None else _c_string(str(own_key)):
                lib.quennet_set_device(self._handle, a, _CHECKSUMS[c], k))
        options = _capi.Options()
        lib.quennet_options_init(ctypes.byref(options))
        options.checksum = _CHECKSUMS[checksum]
        options.echo = 1 if echo else 0
        if key is not None:
            options.key = _c_string(str(key))
        if timeout is not None:
            options.call_timeout_ms = _milliseconds(timeout, "timeout")
        guard = None if repeat_guard is None else _milliseconds(repeat_guard, "repeat_guard",
                                                                zero_allowed=True)
        retries = None if busy_retries is None else _c_int(busy_retries, "busy_retries")
        pause = None if busy_pause is None else _milliseconds(busy_pause, "busy_pause",
                                                              zero_allowed=True)
        wait = None if reset_wait is None else _milliseconds(reset_wait, "reset_wait",
                                                             zero_allowed=True)
        path = _c_string(str(port))
        self.port = port
        self._handle = ctypes.c_void_p()
        code = lib.quennet_open(path, ctypes.byref(options), ctypes.byref(self._handle))
        if code != _capi.OK:
            self._handle = None
            _raise(code)
        settings = []
        if guard is not None:
            settings.append(lambda: lib.quennet_set_repeat_guard(self._handle, guard))
        if retries is not None or pause is not None:
            settings.append(lambda: lib.quennet_set_busy_retries(
                self._handle, retries or 0, -1 if pause is None else pause))
        if wait is not None:
            settings.append(lambda: lib.quennet_set_reset_wait(self._handle, wait))
        settings.extend(own_framings)
        for setting in settings:
            code = setting()
            if code != _capi.OK:
                error = _error(code)
                self.close()
                raise error

    def _live(self):
        if not self._handle:
            raise OSError(f"{self.port}: Port closed")
        return self._handle

    def call(self, address, method, inputs=()):
        """Calls `method` at `address` with its arguments after the address, as the tool takes
        them ("255,255", [255, 255] or b"\\xff\\xff" for a byte array)."""
        if not isinstance(method, str):
            raise TypeError(f"the method is named by a str, not {type(method).__name__}")
        address = _c_int(address, "address")
        name = _METHOD_NAMES.get(method) or _c_string(method)
        if inputs is None or (type(inputs) in (tuple, list) and not inputs):
            words, array = (), _NO_ARGUMENTS
        else:
            words = [_c_string(w) for w in _words(name, inputs)]
            array = (ctypes.c_char_p * max(1, len(words)))(*words)
        reply = ctypes.c_void_p()
        code = lib.quennet_call(self._live(), address, name, array, len(words),
                                ctypes.byref(reply))
        if code != _capi.OK:
            _raise(code)
        return Reply(reply.value)

    def events(self, address, timeout=None, interval=None, from_start=False, inhibits=None):
        """Enables the bill validator or coin acceptor at `address` and yields its events as
        `quennet events --json` prints them (a coin credit with its "coinId", "value" and
        "sorterPath"), for `timeout` seconds (None: until closed). `interval` in seconds between
        polls (default 0.2); `inhibits` sent after the enable and after every reset. Raises
        RuntimeError for a device it cannot read (a hopper) or one that refused the enable."""
        return Events(self, address, timeout, interval, from_start, inhibits)

    def close(self):
        """Closes the port; calls after this raise OSError."""
        if self._handle:
            lib.quennet_close(self._handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None):
            lib.quennet_free(self._handle)
            self._handle = None
