"""A device test in Python: a note inserted at the virtual validator is credited once routed.

Run from the build tree: PYTHONPATH=build/python python3 -m pytest examples/python
With python3-quennet installed: python3 -m pytest examples/python
"""

import pytest

import quennet

VALIDATOR = 40
NOTE = 3
STACK = 1


def next_credit(events):
    return next(event for event in events if event.get("kind") == "credit")


# The note waits in escrow until the host routes it.
@pytest.mark.virtual_validator("--escrow-timeout", "0")
def test_an_inserted_note_is_credited_when_stacked(virtual_validator):
    with quennet.Bus(virtual_validator.port, checksum="crc16", echo=True) as bus:
        assert bus.call(VALIDATOR, "SetInhibitStatus", [255, 255]).acknowledged
        with bus.events(VALIDATOR, timeout=10) as events:
            assert "held in escrow" in virtual_validator.console(f"insert {NOTE}")
            escrow = next_credit(events)
            assert (escrow["a"], escrow["b"]) == (NOTE, 1)

            routed = bus.call(VALIDATOR, "RouteBill", [STACK])
            assert routed.result == 0 and routed.acknowledged

            credit = next_credit(events)
            assert (credit["a"], credit["b"]) == (NOTE, 0)
    status = virtual_validator.console("status")
    assert "escrow empty" in status
