"""The C interface (libquennet.so.2) as ctypes sees it."""

import ctypes
import os

from ._codes import *  # noqa: F401,F403  (the C header's numbers, written by the build)

# What a C int holds: a Python int beyond it would reach the library cut to its low bits.
INT_MIN = -2**31
INT_MAX = 2**31 - 1


class Options(ctypes.Structure):
    _fields_ = [("checksum", ctypes.c_int), ("echo", ctypes.c_int),
                ("key", ctypes.c_char_p), ("call_timeout_ms", ctypes.c_int)]


class WatchOptions(ctypes.Structure):
    _fields_ = [("interval_ms", ctypes.c_int), ("from_start", ctypes.c_int),
                ("inhibits", ctypes.c_char_p)]


class Record(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("counter", ctypes.c_int), ("a", ctypes.c_int),
                ("b", ctypes.c_int), ("lost", ctypes.c_int), ("text", ctypes.c_char_p),
                ("json", ctypes.c_char_p)]


def _library_path():
    """QUENNET_LIBRARY, else the build tree's library, else the installed one by its soname."""
    path = os.environ.get("QUENNET_LIBRARY")
    if path:
        return path
    try:
        from . import _build
        return _build.LIBRARY
    except ImportError:
        return "libquennet.so.2"


def _load():
    """The library's functions with their C signatures. Those that wait (for the line, or for the
    library's own thread) let other Python threads run meanwhile; the rest only read memory the
    library already holds and keep the interpreter lock, so that reading a reply field hands the
    lock to no other thread."""
    path = _library_path()
    waiting = ctypes.CDLL(path)
    quick = ctypes.PyDLL(path)
    p = ctypes.c_void_p
    size = ctypes.c_size_t
    byte_pointer = ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8))
    waits, reads = True, False
    signatures = {
        "quennet_strerror": (reads, ctypes.c_char_p, [ctypes.c_int]),
        "quennet_last_message": (reads, ctypes.c_char_p, []),
        "quennet_version": (reads, ctypes.c_char_p, []),
        "quennet_method_count": (reads, size, []),
        "quennet_method_name": (reads, ctypes.c_char_p, [size]),
        "quennet_method_argument_count": (reads, ctypes.c_int, [ctypes.c_char_p]),
        "quennet_method_argument_type": (reads, ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
        "quennet_options_init": (reads, None, [ctypes.POINTER(Options)]),
        "quennet_open": (waits, ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(Options),
                                               ctypes.POINTER(p)]),
        "quennet_close": (waits, None, [p]),
        "quennet_free": (waits, None, [p]),
        "quennet_set_repeat_guard": (waits, ctypes.c_int, [p, ctypes.c_int]),
        "quennet_set_busy_retries": (waits, ctypes.c_int, [p, ctypes.c_int, ctypes.c_int]),
        "quennet_set_reset_wait": (waits, ctypes.c_int, [p, ctypes.c_int]),
        "quennet_set_device": (waits, ctypes.c_int, [p, ctypes.c_int, ctypes.c_int,
                                                     ctypes.c_char_p]),
        "quennet_call": (waits, ctypes.c_int, [p, ctypes.c_int, ctypes.c_char_p,
                                               ctypes.POINTER(ctypes.c_char_p), size,
                                               ctypes.POINTER(p)]),
        "quennet_reply_result": (reads, ctypes.c_int, [p]),
        "quennet_reply_acknowledged": (reads, ctypes.c_int, [p]),
        "quennet_reply_status": (reads, ctypes.c_char_p, [p]),
        "quennet_reply_serial": (reads, ctypes.c_char_p, [p]),
        "quennet_reply_sent": (reads, size, [p, byte_pointer]),
        "quennet_reply_received": (reads, size, [p, byte_pointer]),
        "quennet_reply_output_count": (reads, size, [p]),
        "quennet_reply_output_name": (reads, ctypes.c_char_p, [p, size]),
        "quennet_reply_output_type": (reads, ctypes.c_int, [p, size]),
        "quennet_reply_output_integer": (reads, ctypes.c_longlong, [p, size]),
        "quennet_reply_output_text": (reads, ctypes.c_char_p, [p, size]),
        "quennet_reply_output_bytes": (reads, size, [p, size, byte_pointer]),
        "quennet_reply_free": (reads, None, [p]),
        "quennet_watch_options_init": (reads, None, [ctypes.POINTER(WatchOptions)]),
        "quennet_watch_open": (waits, ctypes.c_int, [p, ctypes.c_int,
                                                     ctypes.POINTER(WatchOptions),
                                                     ctypes.POINTER(p)]),
        "quennet_watch_next": (waits, ctypes.c_int, [p, ctypes.c_int, ctypes.POINTER(Record)]),
        "quennet_watch_close": (waits, None, [p]),
    }
    for name, (wait, result, arguments) in signatures.items():
        function = getattr(waiting if wait else quick, name)
        function.restype = result
        function.argtypes = arguments
        setattr(waiting, name, function)
    return waiting


lib = _load()
