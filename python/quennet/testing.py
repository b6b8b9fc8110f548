"""Device tests on the virtual validator: the pytest fixture `virtual_validator`.

    from quennet.testing import virtual_validator  # noqa: F401 (or pytest_plugins)

    @pytest.mark.virtual_validator("--escrow-timeout", "0")
    def test_credit(virtual_validator):
        with quennet.Bus(virtual_validator.port) as bus:
            ...
            virtual_validator.console("insert 3")

The fixture starts bnvsim with the marker's arguments as its flags (none without the marker) and
stops it after the test. bnvsim is QUENNET_BNVSIM, else the one of the build tree this package
came from, else the one on PATH.
"""

import itertools
import os
import shutil
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


class VirtualValidator:
    """bnvsim as a process: `port` is its terminal, console() runs one of its console commands
    and returns what it answered."""

    def __init__(self, *flags, program=None):
        self._process = subprocess.Popen(
            [program or bnvsim_program(), *flags], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
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
        self._process.stdin.write(f"{command}\n{mark}\n")
        self._process.stdin.flush()
        lines = []
        for line in self._process.stdout:
            line = line.rstrip("\n")
            if line == end:
                break
            lines.append(line)
        return "\n".join(lines)

    def close(self):
        if self._process.poll() is None:
            self._process.terminate()
        self._process.wait()
        for stream in (self._process.stdin, self._process.stdout, self._process.stderr):
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
