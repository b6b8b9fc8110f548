"""Device tests on the virtual validator: the pytest fixture `virtual_validator`.

    from quennet.testing import virtual_validator  # noqa: F401 (or pytest_plugins)

    @pytest.mark.virtual_validator("--escrow-timeout", "0")
    def test_credit(virtual_validator):
        with quennet.Bus(virtual_validator.port) as bus:
            ...
            virtual_validator.console("insert 3")

The fixture starts bnvsim with the marker's arguments as its flags (none without the marker) and
stops it after the test; bnvsim also ends when the thread that started it ends (the test runner
killed), and a bnvsim that ended early makes console() raise and the teardown quiet. bnvsim is
QUENNET_BNVSIM, else the one of the build tree this package came from, else the one on PATH.
"""

import contextlib
import ctypes
import itertools
import os
import shutil
import signal
import subprocess

import pytest

__all__ = ["VirtualValidator", "virtual_validator", "bnvsim_program"]


def bnvsim_program():
    """The bnvsim program to start."""
    path = os.environ.get("QUENNET_BNVSIM")
    if path:
        return path
    try:
        from . import _build
        if os.path.exists(_build.BNVSIM):
            return _build.BNVSIM
    except ImportError:
        pass
    path = shutil.which("bnvsim")
    if not path:
        raise FileNotFoundError("bnvsim not found: install the quennet package or set "
                                "QUENNET_BNVSIM")
    return path


_PR_SET_PDEATHSIG = 1
_prctl = ctypes.CDLL(None, use_errno=True).prctl
_prctl.argtypes = [ctypes.c_int, ctypes.c_ulong]


def _ending_with(parent):
    """Runs in the child before bnvsim starts: a SIGTERM when `parent` ends, as bnvsim takes one
    from its console's owner."""
    def end_with_parent():
        _prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() != parent:  # gone before the signal was asked for
            os.kill(os.getpid(), signal.SIGTERM)
    return end_with_parent


class VirtualValidator:
    """bnvsim as a process: `port` is its terminal, console() runs one of its console commands
    and returns what it answered."""

    def __init__(self, *flags, program=None):
        self._process = subprocess.Popen(
            [program or bnvsim_program(), *flags], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
            preexec_fn=_ending_with(os.getpid()))
        self.port = self._process.stdout.readline().strip()
        if not self.port:
            error = self._process.stderr.read().strip()
            self._process.wait()
            raise RuntimeError(f"bnvsim did not start: {error}")
        self._marks = itertools.count(1)

    def console(self, command):
        """Runs `command` and returns its answer (several lines for `status` and `help`)."""
        # The console answers every line; an unknown word after the command marks where its
        # answer ends.
        mark = f"quennet-answer-end-{next(self._marks)}"
        end = f'unknown command "{mark}"; try help'
        try:
            self._process.stdin.write(f"{command}\n{mark}\n")
            self._process.stdin.flush()
        except BrokenPipeError:
            raise RuntimeError(f"bnvsim has ended ({self._process.wait()}); "
                               f"{command!r} not run") from None
        lines = []
        for line in self._process.stdout:
            line = line.rstrip("\n")
            if line == end:
                return "\n".join(lines)
            lines.append(line)
        if command.strip() in ("quit", "exit"):
            return "\n".join(lines)
        raise RuntimeError(f"bnvsim ended ({self._process.wait()}) while running {command!r}")

    def close(self):
        """Stops bnvsim; quiet when it has ended already."""
        if self._process.poll() is None:
            self._process.terminate()
        self._process.wait()
        for stream in (self._process.stdin, self._process.stdout, self._process.stderr):
            # Console lines bnvsim never read are dropped with the pipe.
            with contextlib.suppress(OSError):
                stream.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "virtual_validator(*flags): bnvsim flags for the virtual_validator fixture")


@pytest.fixture
def virtual_validator(request):
    """A running bnvsim; flags from the test's `virtual_validator` marker."""
    marker = request.node.get_closest_marker("virtual_validator")
    flags = [str(flag) for flag in marker.args] if marker else []
    with VirtualValidator(*flags) as validator:
        yield validator
