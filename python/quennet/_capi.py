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
    lib = ctypes.CDLL(_library_path())
    p = ctypes.c_void_p
    size = ctypes.c_size_t
    byte_pointer = ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8))
    signatures = {
        "quennet_strerror": (ctypes.c_char_p, [ctypes.c_int]),
        "quennet_last_message": (ctypes.c_char_p, []),
        "quennet_version": (ctypes.c_char_p, []),
        "quennet_method_count": (size, []),
        "quennet_method_name": (ctypes.c_char_p, [size]),
        "quennet_method_argument_count": (ctypes.c_int, [ctypes.c_char_p]),
        "quennet_method_argument_type": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
        "quennet_options_init": (None, [ctypes.POINTER(Options)]),
        "quennet_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(Options),
                                        ctypes.POINTER(p)]),
        "quennet_close": (None, [p]),
        "quennet_free": (None, [p]),
        "quennet_set_repeat_guard": (ctypes.c_int, [p, ctypes.c_int]),
        "quennet_set_busy_retries": (ctypes.c_int, [p, ctypes.c_int, ctypes.c_int]),
        "quennet_set_reset_wait": (ctypes.c_int, [p, ctypes.c_int]),
        "quennet_set_device": (ctypes.c_int, [p, ctypes.c_int, ctypes.c_int, ctypes.c_char_p]),
        "quennet_call": (ctypes.c_int, [p, ctypes.c_int, ctypes.c_char_p,
                                        ctypes.POINTER(ctypes.c_char_p), size,
                                        ctypes.POINTER(p)]),
        "quennet_reply_result": (ctypes.c_int, [p]),
        "quennet_reply_acknowledged": (ctypes.c_int, [p]),
        "quennet_reply_status": (ctypes.c_char_p, [p]),
        "quennet_reply_serial": (ctypes.c_char_p, [p]),
        "quennet_reply_sent": (size, [p, byte_pointer]),
        "quennet_reply_received": (size, [p, byte_pointer]),
        "quennet_reply_output_count": (size, [p]),
        "quennet_reply_output_name": (ctypes.c_char_p, [p, size]),
        "quennet_reply_output_type": (ctypes.c_int, [p, size]),
        "quennet_reply_output_integer": (ctypes.c_longlong, [p, size]),
        "quennet_reply_output_text": (ctypes.c_char_p, [p, size]),
        "quennet_reply_output_bytes": (size, [p, size, byte_pointer]),
        "quennet_reply_free": (None, [p]),
        "quennet_watch_options_init": (None, [ctypes.POINTER(WatchOptions)]),
        "quennet_watch_open": (ctypes.c_int, [p, ctypes.c_int, ctypes.POINTER(WatchOptions),
                                              ctypes.POINTER(p)]),
        "quennet_watch_next": (ctypes.c_int, [p, ctypes.c_int, ctypes.POINTER(Record)]),
        "quennet_watch_close": (None, [p]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib


lib = _load()
