"""ccTalk on a serial port from Python, through the Quennet library.

    import quennet
    with quennet.Bus("/dev/ttyUSB0", checksum="crc16", echo=True) as bus:
        r = bus.call(40, "GetSerialNo")    # r.result, r.acknowledged, r.outputs, r.sent,
                                           # r.reply, r.status
        bus.call(40, "SetInhibitStatus", [255, 255])
        for ev in bus.events(40, timeout=10):   # as `quennet events --json` prints them
            print(ev)

A bad method name or argument raises ValueError with the `quennet` tool's own words; a port
that does not open, is closed or was lost raises OSError.
"""

import ctypes
import json
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
    kind = {_capi.EINVAL: ValueError, _capi.ETIMEDOUT: TimeoutError, _capi.EREFUSED: RuntimeError,
            _capi.ENOMEM: MemoryError}.get(code, OSError)
    return kind(message)


def _raise(code):
    raise _error(code)


def version():
    """The library's version, "1.0.0"."""
    return lib.quennet_version().decode()


def methods():
    """The names of the command methods, in the control's order."""
    return [lib.quennet_method_name(i).decode() for i in range(lib.quennet_method_count())]


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


def _words(name, inputs):
    inputs = list(inputs) if inputs is not None else []
    # A method with one byte-array argument takes the bytes themselves: [255, 255].
    if (len(inputs) > 1 and lib.quennet_method_argument_count(name) == 1
            and lib.quennet_method_argument_type(name, 0) == _capi.TYPE_BYTES
            and all(isinstance(b, int) for b in inputs)):
        inputs = [inputs]
    return [_word(value) for value in inputs]


class Reply:
    """The answer to one call."""

    __slots__ = ("result", "acknowledged", "outputs", "sent", "reply", "status")

    def __init__(self, handle):
        self.result = lib.quennet_reply_result(handle)
        self.acknowledged = bool(lib.quennet_reply_acknowledged(handle))
        self.status = lib.quennet_reply_status(handle).decode()
        self.sent = _bytes(lib.quennet_reply_sent, handle)
        self.reply = _bytes(lib.quennet_reply_received, handle)
        self.outputs = {}
        for i in range(lib.quennet_reply_output_count(handle)):
            name = lib.quennet_reply_output_name(handle, i).decode()
            kind = lib.quennet_reply_output_type(handle, i)
            if kind == _capi.TYPE_BYTES:
                value = list(_bytes(lib.quennet_reply_output_bytes, handle, i))
            elif kind == _capi.TYPE_TEXT:
                value = lib.quennet_reply_output_text(handle, i).decode()
            else:
                value = lib.quennet_reply_output_integer(handle, i)
            self.outputs[name] = value

    def __repr__(self):
        return (f"Reply(result={self.result}, acknowledged={self.acknowledged}, "
                f"status={self.status!r}, outputs={self.outputs!r}, sent={self.sent!r}, "
                f"reply={self.reply!r})")


class Events:
    """One device's events as dictionaries, oldest first; ends `timeout` seconds after it began
    (None: never). Close it (or let the loop end) to stop polling."""

    def __init__(self, bus, address, timeout, interval, from_start, inhibits):
        options = _capi.WatchOptions()
        lib.quennet_watch_options_init(ctypes.byref(options))
        if interval is not None:
            options.interval_ms = max(1, int(interval * 1000))
        options.from_start = 1 if from_start else 0
        if inhibits is not None:
            options.inhibits = _c_string(_word(inhibits))
        self._bus = bus  # the bus outlives its watch
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._handle = ctypes.c_void_p()
        code = lib.quennet_watch_open(bus._live(), operator.index(address), ctypes.byref(options),
                                      ctypes.byref(self._handle))
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
    encryption key of six digits, the longest a call may wait in seconds (None: until it is
    done), and the quiet in seconds the line must keep after a good reply before the next call
    goes out (None: the library's default, none, so back-to-back calls run at the speed of the
    wire; a line whose devices send a reply twice sets the span within which they do)."""

    def __init__(self, port, checksum="crc16", echo=True, key=None, timeout=None,
                 repeat_guard=None):
        if checksum not in _CHECKSUMS:
            raise ValueError(f"checksum must be one of {', '.join(_CHECKSUMS)}, not {checksum!r}")
        options = _capi.Options()
        lib.quennet_options_init(ctypes.byref(options))
        options.checksum = _CHECKSUMS[checksum]
        options.echo = 1 if echo else 0
        if key is not None:
            options.key = str(key).encode()
        if timeout is not None:
            options.call_timeout_ms = max(1, int(timeout * 1000))
        self.port = port
        self._handle = ctypes.c_void_p()
        code = lib.quennet_open(str(port).encode(), ctypes.byref(options),
                                ctypes.byref(self._handle))
        if code != _capi.OK:
            self._handle = None
            _raise(code)
        if repeat_guard is not None:
            code = lib.quennet_set_repeat_guard(self._handle, int(round(repeat_guard * 1000)))
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
        address = operator.index(address)
        name = _c_string(method)
        words = [_c_string(w) for w in _words(name, inputs)]
        array = (ctypes.c_char_p * max(1, len(words)))(*words)
        reply = ctypes.c_void_p()
        code = lib.quennet_call(self._live(), address, name, array, len(words),
                                ctypes.byref(reply))
        if code != _capi.OK:
            _raise(code)
        try:
            return Reply(reply)
        finally:
            lib.quennet_reply_free(reply)

    def events(self, address, timeout=None, interval=None, from_start=False, inhibits=None):
        """Enables the validator at `address` and yields its events as `quennet events --json`
        prints them, for `timeout` seconds (None: until closed). `interval` in seconds between
        polls (default 0.2); `inhibits` sent after the enable and after every reset."""
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
