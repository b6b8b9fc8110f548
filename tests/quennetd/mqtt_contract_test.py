#!/usr/bin/python3
"""quennetd's MQTT contract against real messages: a real mosquitto, bnvsim and the service,
every message captured on the broker and validated against the published JSON Schemas; the
example broker access list (who may publish what) on a real mosquitto; the example consumer
booking real credits once.

    mqtt_contract_test.py --service QUENNETD --bnvsim BNVSIM --contract DIR --examples DIR

DIR for the contract holds asyncapi.json and schemas/ (the source tree's or the installed
/usr/share/doc/quennetd). Needs python3-jsonschema and python3-paho-mqtt.
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import jsonschema
import paho.mqtt.client as mqtt

ARGS = None
WAIT_S = 20
PREFIX = "quennet"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_client(client_id, clean_session=True):
    if hasattr(mqtt, "CallbackAPIVersion"):
        return mqtt.Client(mqtt.CallbackAPIVersion.VERSION1, client_id=client_id,
                           clean_session=clean_session)
    return mqtt.Client(client_id=client_id, clean_session=clean_session)


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.readlines()


def wait_until(done, seconds=WAIT_S):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if done():
            return True
        time.sleep(0.02)
    return done()


class Watcher:
    """A client that keeps every message it receives: (topic leaf, payload bytes)."""

    def __init__(self, port, client_id, topics=(f"{PREFIX}/#",), user=None, password=None):
        self.messages = []
        self.lock = threading.Lock()
        self.ready = threading.Event()
        self.client = make_client(client_id)
        if user:
            self.client.username_pw_set(user, password)
        self.topics = topics

        def on_connect(client, userdata, flags, rc):
            if rc == 0:
                client.subscribe([(t, 1) for t in self.topics])

        def on_subscribe(client, userdata, mid, granted):
            self.ready.set()

        def on_message(client, userdata, message):
            with self.lock:
                self.messages.append((message.topic.rsplit("/", 1)[-1], bytes(message.payload)))

        self.client.on_connect = on_connect
        self.client.on_subscribe = on_subscribe
        self.client.on_message = on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        if not self.ready.wait(WAIT_S):
            raise RuntimeError(f"{client_id} could not subscribe")

    def taken(self, leaf=None):
        with self.lock:
            return [(t, p) for t, p in self.messages if leaf is None or t == leaf]

    def bodies(self, leaf):
        return [json.loads(p) for _, p in self.taken(leaf)]

    def next_body(self, leaf, match=lambda b: True, after=0):
        found = []

        def seen():
            found[:] = [b for b in self.bodies(leaf)[after:] if match(b)]
            return bool(found)

        return found[0] if wait_until(seen) else None

    def publish(self, leaf, body):
        payload = body if isinstance(body, (bytes, str)) else json.dumps(body)
        self.client.publish(f"{PREFIX}/{leaf}", payload, qos=1).wait_for_publish()

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


class Rig(unittest.TestCase):
    """A broker, bnvsim with a hopper and a coin acceptor, and the service when asked for."""

    broker_conf = "allow_anonymous true\n"

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.port = free_port()
        self.processes = []
        conf = self.path("mosquitto.conf")
        with open(conf, "w") as f:
            # Started as root, the broker would read its files as user mosquitto, who cannot
            # enter the test's folder; as any other user the first line does nothing.
            f.write(f"user root\nlistener {self.port} 127.0.0.1\n" + self.broker_conf)
        with open(self.path("broker.log"), "w") as log:
            self.broker = self.spawn(["mosquitto", "-c", conf], stderr=log)
        self.assertTrue(wait_until(self.broker_up), "mosquitto did not start")
        self.devices = self.spawn([ARGS.bnvsim, "--hopper", "--coin-acceptor", "--link",
                                   self.path("bus")], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        self.devices.stdout.readline()  # the terminal's path

    def tearDown(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                p.kill()
            p.communicate()
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def spawn(self, argv, **kw):
        p = subprocess.Popen(argv, **kw)
        self.processes.append(p)
        return p

    def broker_up(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False

    def console(self, line):
        self.devices.stdin.write(line.encode() + b"\n")
        self.devices.stdin.flush()

    def service_client_id(self):
        """The service's client id: one per test, as the id is locked machine-wide and other
        tests run services beside this one."""
        return f"quennetd-contract-{self.port}"

    def start_service(self, *extra):
        own_id = [] if "--client-id" in extra else ["--client-id", self.service_client_id()]
        # bnvsim's addresses, named as a kiosk's configuration names them: no address poll.
        return self.spawn([ARGS.service, "--port", self.path("bus"), "--broker",
                           f"127.0.0.1:{self.port}", "--prefix", PREFIX, "--journal",
                           self.path("journal"), "--poll-ms", "50", "--devices", "2,3,40",
                           *own_id, *extra])

    @staticmethod
    def online(status):
        return status.get("state") == "online" and len(status.get("devices", [])) == 3


def load_contract(folder):
    """Topic leaf -> (direction, validator), read the way a consumer would: from the AsyncAPI
    document to each message's payload schema file."""
    with open(os.path.join(folder, "asyncapi.json")) as f:
        doc = json.load(f)
    store = {}
    schema_dir = os.path.join(folder, "schemas")
    for name in os.listdir(schema_dir):
        with open(os.path.join(schema_dir, name)) as f:
            schema = json.load(f)
        store[schema["$id"]] = schema
    contract = {}
    for channel, item in doc["channels"].items():
        leaf = channel.rsplit("/", 1)[-1]
        for direction in ("subscribe", "publish"):
            if direction not in item:
                continue
            ref = item[direction]["message"]["$ref"].rsplit("/", 1)[-1]
            payload_ref = doc["components"]["messages"][ref]["payload"]["$ref"]
            schema = store[os.path.basename(payload_ref)]
            jsonschema.Draft7Validator.check_schema(schema)
            resolver = jsonschema.RefResolver.from_schema(schema, store=store)
            contract[leaf] = (direction, jsonschema.Draft7Validator(schema, resolver=resolver))
    return contract


class ContractTest(Rig):
    """Everything the service publishes, and what a consumer sends, as the schemas say."""

    def test_real_messages_follow_the_published_schemas(self):
        contract = load_contract(ARGS.contract)
        # It sees what it sends, too: acks and requests are checked as well.
        watcher = Watcher(self.port, "contract-watcher")
        send = watcher.publish
        no_id = b'{"address":40,"method":"GetSerialNo"}'

        service = self.start_service("--escrow", "hold", "--escrow-timeout-ms", "5000",
                                     "--payout-hoppers", "3:100")
        self.assertIsNotNone(watcher.next_body("status", self.online))
        self.console("insert 4")
        held = watcher.next_body("escrow")
        self.assertIsNotNone(held, "no escrow message")
        send("route", {"id": "stack", "escrow": held["id"], "action": "stack"})
        note = watcher.next_body("credit")
        self.assertIsNotNone(note, "no credit for the routed note")
        self.console("coin 8")
        coin = watcher.next_body("credit", lambda c: c["kind"] == "coin")
        self.assertIsNotNone(coin)
        self.console("insert 1")
        second = watcher.next_body("escrow", lambda e: e["id"] != held["id"])
        self.assertIsNotNone(second, "no escrow message for the second note")
        send("route", {"id": "back", "escrow": second["id"], "action": "return"})
        send("route", {"id": "late", "escrow": held["id"], "action": "stack"})
        send("cmd", {"id": 7, "address": 2, "method": "RequestCoinID", "inputs": [3]})
        send("cmd", {"id": "x", "address": 40, "method": "FlyAway", "inputs": []})
        watcher.publish("cmd", no_id)
        send("cmd", {"id": "pay", "method": "pay", "amount": 250})
        payout = watcher.next_body("payout")
        self.assertIsNotNone(payout, "no payout")
        send("cmd", {"id": "q", "method": "query", "since": "2000-01-01T00:00:00Z"})
        send("cmd", {"id": "sn", "address": 40, "method": "GetSerialNo", "inputs": []})
        self.assertTrue(wait_until(lambda: len(watcher.taken("reply")) >= 9))
        self.assertTrue(wait_until(lambda: any(r.get("id") == "sn"
                                               for r in watcher.bodies("reply"))))
        numbered = [r for r in watcher.bodies("reply") if r.get("id") == "sn"]
        self.assertEqual([r.get("serial") for r in numbered], ["1234567"], "as the label reads it")
        for money in (note, coin, payout):
            send("ack", {"id": money["id"]})
        # The bus pulled out, then the service stopped, then killed: the last will.
        self.devices.kill()
        self.assertIsNotNone(watcher.next_body("status", lambda s: s["state"] == "port-lost"))
        service.send_signal(signal.SIGTERM)
        self.assertEqual(service.wait(WAIT_S), 0)
        self.assertIsNotNone(watcher.next_body("status", lambda s: "time" in s and
                                               s["state"] == "offline"))
        service = self.start_service()
        self.assertTrue(wait_until(lambda: any(b["state"] == "port-lost" for b in
                                               watcher.bodies("status")[-1:])))
        # A second service with the same client id is refused, however the broker is spelled.
        second = self.spawn([ARGS.service, "--port", self.path("bus"), "--broker",
                             f"localhost:{self.port}", "--prefix", PREFIX, "--journal",
                             self.path("other-journal"), "--client-id", self.service_client_id()],
                            stderr=subprocess.PIPE, text=True)
        _, said = second.communicate(timeout=WAIT_S)
        self.assertEqual(second.returncode, 2, said)
        self.assertIn("client id", said)
        count = len(watcher.bodies("status"))
        service.kill()
        will = watcher.next_body("status", lambda s: s == {"state": "offline"}, after=count)
        self.assertIsNotNone(will, "the broker did not publish the last will")
        watcher.stop()

        failures = []
        seen = set()
        for leaf, payload in watcher.taken():
            if payload == no_id:
                continue
            self.assertIn(leaf, contract, f"{leaf}: a topic the contract does not name")
            seen.add(leaf)
            for error in contract[leaf][1].iter_errors(json.loads(payload)):
                failures.append(f"{leaf} {payload.decode()}: {error.message}")
        self.assertEqual(failures, [])
        self.assertEqual(seen, set(contract), "every channel exercised")


class AccessListTest(Rig):
    """The example broker configuration and access list on a real mosquitto: each user publishes
    only its own topics, and nobody takes the service's session by its client id. Under it each
    user is one connection (its client id is its name), so the test's own eyes are a user of their
    own, "observer", added to a copy of the access list: it reads and writes everything."""

    def setUp(self):
        folder = os.path.join(ARGS.examples, "quennetd_broker")
        self.users = {"kiosk": "k-secret", "consumer": "c-secret", "guest": "g-secret",
                      "observer": "o-secret"}
        with open(os.path.join(folder, "quennetd.acl")) as f, \
                tempfile.NamedTemporaryFile("w", suffix=".acl", delete=False) as out:
            out.write(f.read() + f"\nuser observer\ntopic readwrite {PREFIX}/#\n")
        acl = out.name
        self.addCleanup(os.unlink, acl)
        passwords = tempfile.NamedTemporaryFile("w", delete=False)
        passwords.close()
        self.addCleanup(os.unlink, passwords.name)
        for user, password in self.users.items():
            subprocess.run(["mosquitto_passwd", "-b", passwords.name, user, password], check=True)
        # The example configuration, with the test's port and files.
        lines = []
        with open(os.path.join(folder, "mosquitto.conf")) as f:
            for line in f:
                key = line.split(" ", 1)[0]
                if key == "listener" or key == "persistence":
                    continue
                if key == "password_file":
                    line = f"password_file {passwords.name}\n"
                if key == "acl_file":
                    line = f"acl_file {acl}\n"
                lines.append(line)
        self.broker_conf = "".join(lines)
        super().setUp()

    def client(self, user, name=None):
        watcher = Watcher(self.port, name or f"test-{user}", user=user,
                          password=self.users[user])
        self.addCleanup(watcher.stop)
        return watcher

    def test_only_the_kiosk_publishes_money_and_only_the_consumer_acknowledges(self):
        kiosk, consumer, guest = self.client("kiosk"), self.client("consumer"), self.client("guest")
        out = ["status", "event", "credit", "payout", "progress", "escrow", "reply"]
        back = ["ack", "cmd", "route"]
        # Who reads each topic: the other side.
        reader = {**{leaf: consumer for leaf in out}, **{leaf: kiosk for leaf in back}}
        cases = [(kiosk, leaf, True) for leaf in out] + [(kiosk, leaf, False) for leaf in back]
        cases += [(consumer, leaf, True) for leaf in back]
        cases += [(consumer, leaf, False) for leaf in out]
        cases += [(guest, leaf, False) for leaf in out + back]
        for n, (sender, leaf, allowed) in enumerate(cases):
            sender.publish(leaf, {"id": f"probe-{n}"})
        # A marker each way, published last: once both are in, everything before them is too.
        kiosk.publish("status", {"id": "end"})
        consumer.publish("ack", {"id": "end"})
        self.assertTrue(wait_until(lambda: {"id": "end"} in consumer.bodies("status") and
                                   {"id": "end"} in kiosk.bodies("ack")))
        got = {json.loads(p)["id"] for w in (kiosk, consumer, guest) for _, p in w.taken()}
        for n, (sender, leaf, allowed) in enumerate(cases):
            with self.subTest(sender=sender.client._client_id.decode(), topic=leaf):
                self.assertEqual(f"probe-{n}" in got, allowed)
                if allowed:
                    self.assertIn(f"probe-{n}", {b["id"] for b in reader[leaf].bodies(leaf)})
        self.assertEqual(guest.taken(), [], "the guest reads nothing")

        # The broker drops what is over its limit: a 70 000-byte request never reaches the kiosk.
        consumer.publish("cmd", json.dumps({"id": "big", "pad": "x" * 70000}))
        consumer.publish("cmd", {"id": "after"})
        self.assertTrue(wait_until(lambda: {"id": "after"} in kiosk.bodies("cmd")))
        self.assertNotIn("big", {b.get("id") for b in kiosk.bodies("cmd")})

    def test_the_service_and_the_example_consumer_work_under_it(self):
        with open(self.path("kiosk.password"), "w") as f:
            f.write(f"kiosk:{self.users['kiosk']}\n")
        os.chmod(self.path("kiosk.password"), 0o600)
        watcher = self.client("observer")
        service = self.start_service("--password-file", self.path("kiosk.password"))
        self.assertIsNotNone(watcher.next_body("status", self.online))
        ledger = self.path("ledger.jsonl")
        consumer = self.spawn([sys.executable, os.path.join(ARGS.examples, "quennetd_consumer",
                                                             "consumer.py"),
                               "--port", str(self.port), "--host", "127.0.0.1", "--user",
                               "consumer", "--ledger", ledger],
                              env={**os.environ, "QUENNET_PASSWORD": self.users["consumer"]},
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(consumer.stdout), daemon=True)
        reader.start()
        # The retained status reaches it once it has subscribed.
        self.assertTrue(wait_until(lambda: any(l.startswith("status online") for l in lines)))
        for n, line in enumerate(("insert 2", "coin 8", "insert 3")):
            self.console(line)
            self.assertTrue(wait_until(lambda: len(watcher.bodies("credit")) > n), line)
        ids = [c["id"] for c in watcher.bodies("credit")[:3]]
        self.assertTrue(wait_until(lambda: len(read_lines(ledger)) >= 3))
        # A credit delivered twice (a republish, a QoS 1 redelivery) is booked once; a seq that
        # skips is reported.
        again = dict(watcher.bodies("credit")[0])
        watcher.publish("credit", again)
        for seq in (1, 2, 5):
            watcher.publish("credit", {**again, "id": f"s{seq}", "serial": "S", "seq": seq})
        self.assertTrue(wait_until(lambda: len(read_lines(ledger)) >= 6 and
                                   any(l.startswith("again") for l in lines)))
        time.sleep(1)
        consumer.send_signal(signal.SIGINT)
        _, err = consumer.communicate(timeout=WAIT_S)
        reader.join(WAIT_S)
        booked = [json.loads(line)["id"] for line in read_lines(ledger)]
        self.assertEqual(booked, ids + ["s1", "s2", "s5"])
        self.assertIn(f"again {ids[0]}\n", lines)
        self.assertIn("gap: device S credits 3..4 never arrived", err)
        # Every credit was acknowledged through the access list: after a restart the service
        # has nothing to publish again.
        service.kill()
        service.wait()
        count = len(watcher.bodies("credit"))
        statuses = len(watcher.bodies("status"))
        self.start_service("--password-file", self.path("kiosk.password"))
        self.assertIsNotNone(watcher.next_body("status", self.online, after=statuses))
        time.sleep(2.5)
        self.assertEqual(watcher.bodies("credit")[count:], [])

    def test_a_consumer_with_the_service_client_id_cannot_take_its_session(self):
        with open(self.path("kiosk.password"), "w") as f:
            f.write(f"kiosk:{self.users['kiosk']}\n")
        os.chmod(self.path("kiosk.password"), 0o600)
        watcher = self.client("observer")
        service_id = "quennetd-kiosk-017"
        self.start_service("--password-file", self.path("kiosk.password"), "--client-id",
                           service_id)
        self.assertIsNotNone(watcher.next_body("status", self.online))
        self.console("coin 8")
        coin = watcher.next_body("credit")
        self.assertIsNotNone(coin)
        statuses = len(watcher.bodies("status"))
        # The consumer's user, the service's client id, asking for the session the broker keeps:
        # on a broker that takes the id as given, it drops the service and inherits the acks and
        # requests queued for it, and the service coming back drops it in turn.
        impostor = make_client(service_id, clean_session=False)
        impostor.username_pw_set("consumer", self.users["consumer"])
        dropped = threading.Event()
        impostor.on_disconnect = lambda client, userdata, rc: dropped.set()
        up = threading.Event()
        impostor.on_connect = lambda client, userdata, flags, rc: rc == 0 and up.set()
        impostor.connect("127.0.0.1", self.port)
        impostor.loop_start()
        self.addCleanup(impostor.loop_stop)
        self.assertTrue(up.wait(WAIT_S), "the consumer's user was refused")
        impostor.publish(f"{PREFIX}/ack", json.dumps({"id": coin["id"]}), qos=1).wait_for_publish()
        self.console("coin 4")
        self.assertIsNotNone(watcher.next_body("credit", lambda c: c["id"] != coin["id"]))
        # Longer than the service's reconnect delay: a connection it lost would be back by now.
        time.sleep(2.5)
        self.assertFalse(dropped.is_set(), "the two connections took turns")
        self.assertEqual(watcher.bodies("status")[statuses:], [],
                         "the service lost its connection (offline, then online again)")
        # The ack it sent as the consumer reached the service: asked, it has one credit open.
        watcher.publish("cmd", {"id": "open", "method": "query"})
        reply = watcher.next_body("reply", lambda r: r.get("id") == "open")
        self.assertIsNotNone(reply)
        self.assertEqual(reply["unacknowledged"]["credits"], 1, reply)
        impostor.disconnect()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--bnvsim", required=True)
    parser.add_argument("--contract", required=True)
    parser.add_argument("--examples", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
