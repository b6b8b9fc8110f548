"""The Python package against the `quennet` tool on the same virtual validator: one table of
calls, refusals and events drives both, and they must agree; then what only the package has."""

import concurrent.futures
import copy
import json
import os
import pickle
import re
import select
import subprocess
import sys
import time

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
EVENT_STEPS = ["insert 3", "reset", "insert 5", "jam", "fault badcrc 3"]
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
    assert (reply.result, reply.acknowledged, reply.status, reply.outputs, reply.serial) == \
        (shown["result"], shown["acknowledged"], shown["status"], shown["outputs"],
         shown.get("serial"))
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


# What only the package can be handed: C strings end at a NUL, so a name, word, port or key
# holding one would be cut short and its tail ignored; a number beyond a C int would arrive cut
# to its low bits; a str as the argument list would be split into characters; values of the
# wrong type; time spans the library cannot take. The Bus's options, then the call.
TAIL = "\0junk"  # appended to the port
NOT_PASSED_ON = [
    (ValueError, {}, 40, "GetSerialNo\0junk", []),
    (ValueError, {}, 40, "SetInhibitStatus", ["255,255\0,7"]),
    (TypeError, {}, "40", "GetSerialNo", []),
    (TypeError, {}, 40, b"GetSerialNo", []),
    (ValueError, {}, 2**32 + 40, "GetSerialNo", []),
    (ValueError, {}, -2**32 + 40, "GetSerialNo", []),
    (ValueError, {}, 40, "RouteBill", [2**32 + 1]),
    (TypeError, {}, 40, "ModifyBillScty", "35"),
    (ValueError, {"port": TAIL}, 40, "GetSerialNo", []),
    (ValueError, {"key": "123456\0"}, 40, "GetSerialNo", []),
    (ValueError, {"timeout": 0}, 40, "GetSerialNo", []),
    (ValueError, {"timeout": -1}, 40, "GetSerialNo", []),
    (ValueError, {"timeout": float("nan")}, 40, "GetSerialNo", []),
    (ValueError, {"timeout": 3600}, 40, "GetSerialNo", []),
    (ValueError, {"repeat_guard": 2**32 / 1000}, 40, "GetSerialNo", []),
    (ValueError, {"repeat_guard": 601}, 40, "GetSerialNo", []),
    (ValueError, {"repeat_guard": -0.001}, 40, "GetSerialNo", []),
    (TypeError, {"timeout": "1"}, 40, "GetSerialNo", []),
]


def frames_received(validator):
    return int(re.search(r"(\d+) frames received", validator.console("status")).group(1))


@pytest.mark.parametrize("kind, options, address, method, inputs", NOT_PASSED_ON,
                         ids=[f"{m[1]}{m[2]!r}{m[3]!r}{m[4]!r}"[:80] for m in NOT_PASSED_ON])
def test_what_cannot_be_passed_on_is_refused_before_the_line(validators, kind, options, address,
                                                              method, inputs):
    validator = validators[1]
    options = dict(options)
    port = validator.port + options.pop("port", "")
    before = frames_received(validator)
    with pytest.raises(kind):
        with quennet.Bus(port, **options) as bus:
            bus.call(address, method, inputs)
    assert frames_received(validator) == before, "nothing was sent"
    with quennet.Bus(validator.port) as bus:
        assert bus.call(40, "GetSerialNo", None).result == 0


def test_a_watch_refuses_spans_it_cannot_keep(validators):
    with quennet.Bus(validators[1].port) as bus:
        for kind, span in [(ValueError, {"timeout": 0}), (ValueError, {"interval": 0}),
                           (ValueError, {"interval": 601}), (ValueError, {"interval": -1}),
                           (ValueError, {"timeout": -0.5}), (TypeError, {"interval": "1"})]:
            with pytest.raises(kind):
                bus.events(40, **span)


def _tool_records(watch, step, validator):
    validator.console(step)
    records = []
    while select.select([watch.stdout], [], [], QUIET_S)[0]:
        line = watch.stdout.readline()
        if not line:
            break
        records.append(json.loads(line))
    return records


def _enabled_again(bus, address, seconds=5):
    """True once the device answers that every note or coin is enabled (255, 255), asking until
    `seconds` have passed: the watch sends the enable after it reported the reset, and a loaded
    machine may run it late."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if bus.call(address, "GetInhibitStatus").outputs["Response"] == [255, 255]:
            return True
    return False


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
    assert [sorted(r.keys() & {"deviceLost", "deviceBack"}) for r in expected[4]] == \
        [["deviceLost"], ["deviceBack"]]

    with VirtualValidator("--escrow-timeout", "300") as validator:
        with quennet.Bus(validator.port) as bus:
            with bus.events(40, timeout=60, interval=0.05, inhibits=[255, 255]) as events:
                for step, records in zip(EVENT_STEPS, expected):
                    validator.console(step)
                    assert [next(events) for _ in records] == records, step
                    # The watch enables the validator again after a reset before the next step,
                    # as the tool did within its quiet time.
                    assert _enabled_again(bus, 40), step
                # Nothing more than the tool saw.
                assert list(bus.events(40, timeout=QUIET_S, interval=0.05)) == []


def test_the_codes_are_the_librarys():
    # Read from the C header by the build: each error code is one the library describes, and the
    # error each one raises names it the way the library does.
    from quennet import _capi
    errors = {name: code for name, code in vars(_capi).items()
              if re.fullmatch(r"E[A-Z]+", name) and isinstance(code, int)}
    assert {"EINVAL", "EOPEN", "ECLOSED", "ETIMEDOUT", "EREFUSED", "ENOMEM", "ERANGE"} <= set(errors)
    unknown = _capi.lib.quennet_strerror(-1000)
    texts = {_capi.lib.quennet_strerror(code) for code in errors.values()}
    assert unknown not in texts and len(texts) == len(errors)
    assert _capi.lib.quennet_strerror(_capi.OK) not in texts


COIN_STEPS = ["coin 4", "coin 12", "reset", "coin 8"]


def test_coins_are_reported_with_their_values_as_the_tool_does():
    # A coin acceptor on its own 8-bit checksum: each coin with its identity, value and sorter
    # path, an error code (coin 12 is no coin) with none; a hopper cannot be watched.
    acceptor = ["--address", "2", "--checksum8"]
    with VirtualValidator("--device", "coin-acceptor=checksum8", "--hopper") as validator:
        watch = subprocess.Popen([TOOL, "--port", validator.port, *acceptor, "--json", "events",
                                  "--interval", "50", "--inhibits", "255,255"],
                                 stdout=subprocess.PIPE, text=True)
        try:
            _tool_records(watch, "status", validator)
            expected = [_tool_records(watch, step, validator) for step in COIN_STEPS]
        finally:
            watch.terminate()
            watch.wait()
        hopper = tool(validator.port, "--address", "3", "events")
    assert hopper.returncode != 0 and hopper.stdout == ""
    assert "address 3 is a Payout" in hopper.stderr
    credits = [r for records in expected for r in records if r.get("kind") == "credit"]
    assert [(r["coin"], r["coinId"], r["value"], r["sorterPath"]) for r in credits] == \
        [(4, "GB010A", 10, 0), (8, "GB200A", 200, 0)]
    assert [(r["a"], r["b"], r["text"]) for r in expected[1]] == [(0, 1, "Coin Rejected")]

    with VirtualValidator("--device", "coin-acceptor=checksum8", "--hopper") as validator:
        with quennet.Bus(validator.port, devices={2: {"checksum": "checksum8"}}) as bus:
            with bus.events(2, timeout=60, interval=0.05, inhibits=[255, 255]) as events:
                for step, records in zip(COIN_STEPS, expected):
                    validator.console(step)
                    assert [next(events) for _ in records] == records, step
                    assert _enabled_again(bus, 2), step
            with pytest.raises(RuntimeError, match="address 3 is a Payout"):
                bus.events(3)


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
    # Named for this process: the port is locked by name before it is found missing.
    missing = f"/dev/quennet-no-such-port-{os.getpid()}"
    said = tool(missing, "SendPoll").stderr.strip().removeprefix("quennet: ")
    with pytest.raises(OSError) as raised:
        quennet.Bus(missing)
    assert str(raised.value) == said
    with pytest.raises(ValueError):
        quennet.Bus(port, checksum="crc32")
    with pytest.raises(ValueError, match="six digits"):
        quennet.Bus(port, key="12345")


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

    # A call on the line ends at the line's own time-out (500 ms for a data reply), never at the
    # caller's; the next call goes out while its late answer is still on its way.
    # Each reply keeps its own fields, however many calls came between the call and the reading.
    with quennet.Bus(for_package.port, timeout=0.2) as bus:
        first = bus.call(40, "GetSerialNo")
        for_package.console("delay 600")
        late = bus.call(40, "GetSerialNo")
        assert late.result == 2
        for_package.console("delay 0")
        assert bus.call(40, "SendPoll").outputs == {"strResponse": "ACK"}
        assert bus.call(40, "GetSerialNo").outputs == first.outputs
        assert (late.reply, late.serial) == (b"", None)
        assert late.status != first.status and len(late.sent) == len(first.sent) == 5
        # A copy or a pickle holds the fields themselves and outlives the reply it came from.
        kept, shown = [copy.copy(late), pickle.loads(pickle.dumps(late))], repr(late)
        del late
        assert [repr(reply) for reply in kept] == [shown, shown]


def dispensed(validator):
    return int(re.search(r"dispensed (\d+)", validator.console("hopper")).group(1))


def test_a_time_out_never_leaves_a_payout_unseen():
    # The hopper answers in 150 ms, past the caller's 100: a payout on the line is waited for and
    # reports what the hopper did; one still queued behind it is withdrawn and never pays. The
    # hopper pays within the command, so the coins are counted as each frame lands.
    with VirtualValidator("--hopper", "--hopper-rate", "0") as validator, \
            quennet.Bus(validator.port, timeout=0.1) as bus:
        assert bus.call(3, "Enable_Hopper").acknowledged
        validator.console("delay 150")
        paid = dispensed(validator)
        assert [bus.call(3, "Dispense_Coins", [2]).acknowledged for _ in range(2)] == [True, True]
        assert dispensed(validator) == paid + 4

        first = concurrent.futures.ThreadPoolExecutor(1)
        on_line = first.submit(bus.call, 3, "Dispense_Coins", [1])
        # The hopper counts a payout when its frame arrives, before the late answer.
        while dispensed(validator) != paid + 5:
            assert not on_line.done(), on_line.result()
            time.sleep(0.005)
        with pytest.raises(TimeoutError, match="nothing was sent"):
            bus.call(3, "Dispense_Coins", [1])
        assert on_line.result().acknowledged
        first.shutdown()
        validator.console("delay 0")
        assert bus.call(40, "SendPoll").acknowledged
        assert dispensed(validator) == paid + 5


def test_a_hopper_paying_over_time_is_reported_as_it_pays():
    # A dispense returns on the hopper's ACK, before its coins are out: the status tells how many
    # remain, a second dispense meanwhile is refused, and the emergency stop answers the coins it
    # did not pay. Nothing reads as paid that the hopper's own count does not hold.
    with VirtualValidator("--hopper", "--hopper-rate", "4") as validator, \
            quennet.Bus(validator.port) as bus:
        assert bus.call(3, "Enable_Hopper").acknowledged
        before = dispensed(validator)
        dispense = bus.call(3, "Dispense_Coins", [20])
        assert dispense.acknowledged and dispense.outputs == {"Response": "ACK"}
        counter, remaining, paid, unpaid = bus.call(3, "Get_Hopper_Status").outputs["Status"]
        assert counter == 1 and remaining > 10 and paid + remaining == 20 and unpaid == 0
        second = bus.call(3, "Dispense_Coins", [1])
        assert not second.acknowledged and second.outputs == {"Response": "NACK"}
        time.sleep(0.6)
        stop = bus.call(3, "Hopper_Stop")
        assert stop.acknowledged
        counter, remaining, paid, unpaid = bus.call(3, "Get_Hopper_Status").outputs["Status"]
        assert (counter, remaining) == (1, 0) and paid + unpaid == 20 and 0 < paid < 20
        # The stop's one data byte: the coins it did not pay.
        assert stop.reply[1] == 1 and stop.reply[4] == unpaid
        assert dispensed(validator) - before == paid
        assert bus.call(3, "Get_Hopper_Count").outputs["DispenseCount"] == dispensed(validator)


# A child of fork() given its parent's bus: it uses it, closes it, drops it at its exit, or
# reads its watch. It never hangs: it is told, and the parent's bus goes on.
FORKED = """
import os, sys, time, quennet
bus = quennet.Bus(sys.argv[1])
events = bus.events(40, interval=0.05)
assert bus.call(40, "SendPoll").acknowledged
use = sys.argv[2]
child = os.fork()
if child == 0:
    try:
        if use == "call":
            bus.call(40, "SendPoll")
        elif use == "events":
            next(events)
        elif use == "close":
            bus.close()
            events.close()
    except OSError as error:
        print(error, flush=True)
        sys.exit(3)
    sys.exit(0)  # "drop": the interpreter's exit drops the bus and its watch
for _ in range(100):
    if os.waitpid(child, os.WNOHANG)[0]:
        break
    time.sleep(0.1)
else:
    os.kill(child, 9)
    print("the child hung", flush=True)
    sys.exit(9)
print(bus.call(40, "SendPoll").acknowledged)
"""


@pytest.mark.parametrize("use, status", [("call", 3), ("events", 3), ("close", 0), ("drop", 0)])
def test_a_forked_child_is_told_its_parents_bus_is_not_its_own(validators, use, status):
    run = subprocess.run([sys.executable, "-c", FORKED, validators[1].port, use],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    said = run.stdout.splitlines()
    assert said[-1] == "True", "the parent's bus still answers"
    if status == 3:
        assert "fork()" in said[0]


def test_busy_retries_and_the_wait_after_a_slow_reset_agree_with_the_tool(validators):
    # A device that answers BUSY twice: one retry is not enough, two are; a device silent for
    # 1.5 s after it acknowledges a reset is polled until it is back before the next call.
    for_tool, for_package = validators
    for retries, result in ((1, -1), (2, 0)):
        for validator in validators:
            validator.console("busy 40 2")
        shown = json.loads(tool(for_tool.port, "--json", "--busy-retries", str(retries),
                                "--busy-pause", "20", "GetSerialNo").stdout)
        with quennet.Bus(for_package.port, busy_retries=retries, busy_pause=0.02) as bus:
            answered = bus.call(40, "GetSerialNo")
        assert shown["result"] == answered.result == result
        assert shown.get("busyRetries", 0) == retries
    for validator in validators:
        validator.console("busy 40 0")
        validator.console("slowreset 40")
    try:
        batch = subprocess.run([TOOL, "--port", for_tool.port, "--echo", "batch"],
                               input="ResetDevice\nGetSerialNo\n", capture_output=True,
                               text=True, timeout=30)
        shown = [json.loads(line)["result"] for line in batch.stdout.splitlines()]
        with quennet.Bus(for_package.port) as bus:
            answered = [bus.call(40, method).result for method in ("ResetDevice", "GetSerialNo")]
        with quennet.Bus(for_package.port, reset_wait=0) as bus:
            unwaited = [bus.call(40, method).result for method in ("ResetDevice", "GetSerialNo")]
    finally:
        for validator in validators:
            validator.console("slowreset 40 0")
    assert shown == answered == [0, 0]
    assert unwaited == [0, 2]
    with pytest.raises(ValueError, match="BUSY retries"):
        quennet.Bus(for_package.port, busy_retries=101)
    with pytest.raises(ValueError, match="reset wait"):
        quennet.Bus(for_package.port, reset_wait=61)


def test_each_device_is_asked_in_its_own_framing_on_a_kiosk_bus():
    # An encrypted CRC-16 validator beside an 8-bit coin acceptor and a CRC-16 hopper.
    with VirtualValidator("--device", "validator=encrypted:123456",
                          "--device", "coin-acceptor=checksum8", "--hopper") as kiosk:
        def serials(**settings):
            with quennet.Bus(kiosk.port, **settings) as bus:
                return [bus.call(address, "GetSerialNo").result for address in (2, 3, 40)]
        assert serials() == [2, 0, 2]
        assert serials(devices={2: {"checksum": "checksum8"}, 40: {"key": "123456"}}) == [0, 0, 0]
        assert serials(checksum="checksum8",
                       devices={3: {"checksum": "crc16"}, 40: {"key": "123456"}}) == [0, 0, 0]
        with pytest.raises(ValueError, match="unknown setting 'mode'"):
            quennet.Bus(kiosk.port, devices={2: {"mode": "checksum8"}})
        with pytest.raises(ValueError, match="needs CRC"):
            quennet.Bus(kiosk.port, devices={2: {"checksum": "checksum8", "key": "123456"}})
        with pytest.raises(ValueError, match="outside 0..255"):
            quennet.Bus(kiosk.port, devices={256: {"checksum": "checksum8"}})


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


def _ended(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_bnvsim_ends_with_its_runner_and_a_teardown_after_it_raises_nothing():
    runner = ("import os, quennet.testing\n"
              "validator = quennet.testing.VirtualValidator()\n"
              "print(validator._process.pid, flush=True)\n"
              "os.kill(os.getpid(), 9)\n")
    killed = subprocess.run([sys.executable, "-c", runner], capture_output=True, text=True,
                            timeout=30)
    bnvsim = int(killed.stdout)
    deadline = time.monotonic() + 10
    while not _ended(bnvsim) and time.monotonic() < deadline:
        time.sleep(0.05)
    if not _ended(bnvsim):
        os.kill(bnvsim, 9)
        pytest.fail("bnvsim outlived the runner that started it")

    validator = VirtualValidator()
    validator._process.kill()
    validator._process.wait()
    with pytest.raises(RuntimeError, match="bnvsim has ended"):
        validator.console("status")
    validator.close()


# A stacker cycle the validator refuses reads the refusal's name, not the byte as a character.
STACKER_REFUSALS = [([], ["full"], "Stacker Full or Jammed"),
                    (["--no-stacker"], [], "No Stacker Fitted")]


@pytest.mark.parametrize("flags, console, name", STACKER_REFUSALS)
def test_a_refused_stacker_cycle_reads_its_name(flags, console, name):
    with VirtualValidator(*flags) as validator, quennet.Bus(validator.port) as bus:
        for command in console:
            validator.console(command)
        reply = bus.call(40, "CycleStacker")
    assert (reply.result, reply.acknowledged, reply.outputs) == (0, False, {"Response": name})


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
