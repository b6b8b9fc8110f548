"""The Python package against the `quennet` tool on the same virtual validator: one table of
calls, refusals and events drives both, and they must agree; then what only the package has."""

import json
import os
import select
import subprocess
import sys

import pytest

import quennet
from quennet.testing import VirtualValidator

TOOL = os.environ["QUENNET_TOOL"]

# Console commands first, then the call: the tool's words and the package's inputs.
CALLS = [
    ([], "GetSerialNo", [], []),
    ([], "SetInhibitStatus", ["255,255"], [255, 255]),
    ([], "GetInhibitStatus", [], []),
    ([], "RouteBill", ["1"], [1]),  # nothing in escrow
    (["insert 3"], "RouteBill", ["1"], [1]),
    (["fault nak"], "SendPoll", [], []),
    (["fault busy"], "SendPoll", [], []),
    (["fault badcrc"], "GetSerialNo", [], []),
    (["fault silent"], "SendPoll", [], []),
    ([], "GetVariableSet", [], []),
]

# The tool's usage message and the package's ValueError for the same misuse.
MISUSE = [
    ("GetSerial", [], []),
    ("SetInhibitStatus", [], []),
    ("GetSerialNo", ["1"], [1]),
    ("SetInhibitStatus", ["255,256"], [255, 256]),
    ("RouteBill", ["stack"], ["stack"]),
    ("RouteBill", ["1.9"], [1.9]),
    ("ModifyBillScty", ["3", "300"], [3, 300]),
]

# Console steps of an event watch; each step's records are read until the line is quiet.
EVENT_STEPS = ["insert 3", "reset", "insert 5", "jam"]
QUIET_S = 1.5


def tool(port, *words):
    # The package is told the line echoes; the tool is told so too, rather than spending one
    # poll at open finding it out (which would use up a fault injected for the call).
    return subprocess.run([TOOL, "--port", port, "--echo", *words], capture_output=True,
                          text=True, timeout=30)


def package_call(port, method, inputs):
    with quennet.Bus(port) as bus:
        return bus.call(40, method, inputs)


@pytest.fixture(scope="module")
def validators():
    """One validator per side, so that both sides meet the same device state."""
    with VirtualValidator("--escrow-timeout", "0") as a, \
            VirtualValidator("--escrow-timeout", "0") as b:
        yield a, b


@pytest.mark.parametrize("setup, method, words, inputs", CALLS,
                         ids=[f"{' '.join(c[0])} {c[1]}".strip() for c in CALLS])
def test_a_call_answers_as_the_tool_does(validators, setup, method, words, inputs):
    for_tool, for_package = validators
    for command in setup:
        for_tool.console(command)
        for_package.console(command)
    shown = json.loads(tool(for_tool.port, "--json", method, *words).stdout)
    reply = package_call(for_package.port, method, inputs)
    assert (reply.result, reply.acknowledged, reply.status, reply.outputs) == \
        (shown["result"], shown["acknowledged"], shown["status"], shown["outputs"])
    assert reply.sent == bytes.fromhex(shown["sent"])
    assert reply.reply == bytes.fromhex(shown["reply"])


@pytest.mark.parametrize("method, words, inputs", MISUSE, ids=[m[0] for m in MISUSE])
def test_misuse_raises_the_tools_message(validators, method, words, inputs):
    port = validators[1].port
    run = tool(port, method, *words)
    assert run.returncode == 2
    said = run.stderr.strip().removeprefix("quennet: ").removesuffix(" (see --list)")
    with quennet.Bus(port) as bus:
        with pytest.raises(ValueError) as raised:
            bus.call(40, method, inputs)
    assert str(raised.value) == said


# What only the package can be handed: C strings end at a NUL, so a name or word holding one
# would be cut short and its tail ignored; and values of the wrong type.
NOT_PASSED_ON = [
    (ValueError, 40, "GetSerialNo\0junk", []),
    (ValueError, 40, "SetInhibitStatus", ["255,255\0,7"]),
    (TypeError, "40", "GetSerialNo", []),
    (TypeError, 40, b"GetSerialNo", []),
]


@pytest.mark.parametrize("kind, address, method, inputs", NOT_PASSED_ON,
                         ids=[repr(m[2]) + repr(m[3]) for m in NOT_PASSED_ON])
def test_what_cannot_be_passed_on_is_refused_before_the_line(validators, kind, address, method,
                                                              inputs):
    with quennet.Bus(validators[1].port) as bus:
        with pytest.raises(kind):
            bus.call(address, method, inputs)
        assert bus.call(40, "GetSerialNo", None).result == 0


def _tool_records(watch, step, validator):
    validator.console(step)
    records = []
    while select.select([watch.stdout], [], [], QUIET_S)[0]:
        line = watch.stdout.readline()
        if not line:
            break
        records.append(json.loads(line))
    return records


def test_events_reset_and_refusals_are_reported_as_the_tool_does():
    with VirtualValidator("--escrow-timeout", "300") as validator:
        watch = subprocess.Popen([TOOL, "--port", validator.port, "--json", "events",
                                  "--interval", "50", "--inhibits", "255,255"],
                                 stdout=subprocess.PIPE, text=True)
        try:
            # The watch has enabled the validator once the inhibits read back as sent.
            _tool_records(watch, "status", validator)
            expected = [_tool_records(watch, step, validator) for step in EVENT_STEPS]
        finally:
            watch.terminate()
            watch.wait()
    assert expected[0] and expected[1][0] == {"reset": True, "counter": 0}

    with VirtualValidator("--escrow-timeout", "300") as validator:
        with quennet.Bus(validator.port) as bus:
            with bus.events(40, timeout=60, interval=0.05, inhibits=[255, 255]) as events:
                for step, records in zip(EVENT_STEPS, expected):
                    validator.console(step)
                    assert [next(events) for _ in records] == records, step
                    # The watch enables the validator again after a reset before the next step,
                    # as the tool did within its quiet time.
                    assert any(bus.call(40, "GetInhibitStatus").outputs["Response"] == [255, 255]
                               for _ in range(50))
                # Nothing more than the tool saw.
                assert list(bus.events(40, timeout=QUIET_S, interval=0.05)) == []


def test_a_closed_or_missing_port_raises_oserror(validators):
    port = validators[1].port
    with quennet.Bus(port) as bus:
        events = bus.events(40, timeout=10, interval=0.05)
    with pytest.raises(OSError, match="Port closed"):
        bus.call(40, "SendPoll")
    with pytest.raises(OSError, match="Port closed"):
        list(events)
    with pytest.raises(OSError, match="Port closed"):
        bus.events(40)
    missing = "/dev/quennet-no-such-port"
    said = tool(missing, "SendPoll").stderr.strip().removeprefix("quennet: ")
    with pytest.raises(OSError) as raised:
        quennet.Bus(missing)
    assert str(raised.value) == said
    with pytest.raises(ValueError):
        quennet.Bus(port, checksum="crc32")
    with pytest.raises(ValueError, match="six digits"):
        quennet.Bus(port, key="12345")
    with pytest.raises(ValueError, match="negative"):
        quennet.Bus(port, repeat_guard=-0.001)


def test_a_reply_sent_twice_or_late_never_answers_the_next_call(validators):
    # The first poll's ACK comes again 3 ms later; the device takes 5 ms to answer. On a line set
    # to guard against devices that repeat themselves (the guard is off by default), the quiet
    # kept after a good reply keeps that ACK from the second poll, which reads its own NAK.
    # Then a call that gave up before its answer came: the answer belongs to it alone.
    for_tool, for_package = validators
    for validator in validators:
        validator.console("delay 5")
        validator.console("fault twice 1")
        validator.console("fault nak 1")
    try:
        batch = subprocess.run([TOOL, "--port", for_tool.port, "--echo", "--repeat-guard", "10",
                                "--json", "batch"],
                               input="SendPoll\nSendPoll\n", capture_output=True, text=True,
                               timeout=30)
        shown = [json.loads(line)["acknowledged"] for line in batch.stdout.splitlines()]
        with quennet.Bus(for_package.port, repeat_guard=0.01) as bus:
            answered = [bus.call(40, "SendPoll").acknowledged for _ in range(2)]
    finally:
        for validator in validators:
            validator.console("delay 0")
    assert shown == answered == [True, False]

    # The next call goes out while the late answer is still on its way.
    with quennet.Bus(for_package.port, timeout=0.2) as bus:
        serial = bus.call(40, "GetSerialNo").outputs
        for_package.console("delay 300")
        with pytest.raises(TimeoutError):
            bus.call(40, "GetSerialNo")
        for_package.console("delay 0")
        assert bus.call(40, "SendPoll").outputs == {"strResponse": "ACK"}
        assert bus.call(40, "GetSerialNo").outputs == serial


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as another user")
def test_a_port_this_user_may_not_open_gives_the_permission_advice(validators):
    port = validators[1].port
    os.chmod(port, 0o660)
    as_nobody = dict(user=65534, group=65534, capture_output=True, text=True, timeout=30)
    script = "import quennet\ntry:\n quennet.Bus(%r)\nexcept OSError as e:\n print(e)" % port
    opened = subprocess.run([sys.executable, "-c", script], env=os.environ, **as_nobody)
    if opened.returncode != 0:
        pytest.skip(f"user nobody may not run the package here: {opened.stderr}")
    said = subprocess.run([TOOL, "--port", port, "SendPoll"], **as_nobody).stderr
    assert "usermod" in opened.stdout
    assert opened.stdout.strip() == said.strip().removeprefix("quennet: ")


def test_a_port_lost_under_a_bus_raises_oserror():
    validator = VirtualValidator()
    with quennet.Bus(validator.port) as bus:
        assert bus.call(40, "SendPoll").acknowledged
        validator.close()
        with pytest.raises(OSError):
            for _ in range(3):
                bus.call(40, "SendPoll")


@pytest.mark.virtual_validator("--address", "41", "--no-echo")
def test_the_fixture_passes_its_flags_and_keeps_console_answers_apart(virtual_validator):
    with quennet.Bus(virtual_validator.port, echo=False) as bus:
        assert bus.call(41, "SendPoll").acknowledged
        assert bus.call(40, "SendPoll").result == 2
    status = virtual_validator.console("status")
    assert len(status.splitlines()) > 1 and "escrow empty" in status
    assert virtual_validator.console("help").splitlines()[0].startswith("insert N")
    assert virtual_validator.console("cashbox out") == "ok"


def test_the_example_script_passes_on_the_virtual_validator():
    script = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "scripts",
                          "validator-smoke.txt")
    with VirtualValidator() as validator, open(script) as lines:
        run = subprocess.run([TOOL, "--port", validator.port, "--json", "batch"], stdin=lines,
                             capture_output=True, text=True, timeout=60)
    answers = [json.loads(line) for line in run.stdout.splitlines()]
    assert run.returncode == 0, answers
    assert len(answers) == 9
    assert [a["pass"] for a in answers if "expected" in a] == [True, True, True]
