#!/usr/bin/python3
"""A quennetd consumer: books every credit and payout exactly once, acknowledges it, and says
when something is missing.

    consumer.py --host localhost --prefix quennet --ledger /var/lib/till/ledger.jsonl

Each credit is appended to the ledger (one JSON object a line) and synced to disk before its
ack is sent: a credit booked but not acknowledged is published again by the service and
recognised here by its id, never booked twice. The broker keeps what arrives while this program
is down (a persistent session, QoS 1). Gaps: a device's event counter that skips (1 to 255, then
1 again; 0 after a reset), a credit's per-device `seq` that skips, and the service's own `lost`
events are reported on standard error. A loss is booked and acknowledged by its id like a credit.
A credit or payout in doubt (state "in-doubt": a note the validator reset over, a payout whose
hopper was replaced) is booked for a person to settle, never as money.

Needs python3-paho-mqtt (Debian).
"""

import argparse
import json
import os
import sys

import paho.mqtt.client as mqtt


def make_client(client_id):
    # paho 2 wants the callback style named; paho 1.6 (Debian 12) has no such argument.
    if hasattr(mqtt, "CallbackAPIVersion"):
        return mqtt.Client(mqtt.CallbackAPIVersion.VERSION1, client_id=client_id,
                           clean_session=False)
    return mqtt.Client(client_id=client_id, clean_session=False)


def say(*words):
    print(*words, flush=True)


def warn(*words):
    print(*words, file=sys.stderr, flush=True)


class Ledger:
    """The booked credits: an append-only file, each line synced before the credit is acked."""

    def __init__(self, path):
        self.path = path
        self.booked = set()
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                for line in f:
                    if line.strip():
                        self.booked.add(json.loads(line)["id"])
        self.file = open(path, "a", encoding="utf-8")

    def book(self, credit):
        self.file.write(json.dumps(credit, sort_keys=True) + "\n")
        self.file.flush()
        os.fsync(self.file.fileno())
        self.booked.add(credit["id"])


class Consumer:
    def __init__(self, prefix, ledger):
        self.prefix = prefix
        self.ledger = ledger
        self.counters = {}  # address -> the last event counter seen
        self.seqs = {}  # device -> the last credit seq seen

    def topic(self, leaf):
        return f"{self.prefix}/{leaf}"

    def on_connect(self, client, userdata, flags, rc):
        if rc != 0:
            warn(f"broker refused the connection: {mqtt.connack_string(rc)}")
            return
        for leaf in ("credit", "payout", "event", "status"):
            client.subscribe(self.topic(leaf), qos=1)

    def on_message(self, client, userdata, message):
        leaf = message.topic.rsplit("/", 1)[-1]
        try:
            body = json.loads(message.payload)
        except ValueError:
            warn(f"not JSON on {message.topic}")
            return
        if leaf == "credit":
            self.credit(client, body)
        elif leaf == "payout":
            self.payout(client, body)
        elif leaf == "event":
            self.event(client, body)
        elif leaf == "status":
            say(f"status {body.get('state')} accepting={body.get('accepting')}")

    def credit(self, client, credit):
        credit_id = credit["id"]
        if credit_id in self.ledger.booked:
            say(f"again {credit_id}")
        else:
            self.check_seq(credit)
            self.ledger.book(credit)
            if credit.get("state") == "in-doubt":
                # Maybe in the cash box, maybe back with the customer: booked for a person to
                # settle, never as money taken.
                warn(f"in doubt {credit_id} {credit.get('value')} {credit.get('currency')}: "
                     f"{credit.get('reason')}")
            else:
                say(f"booked {credit_id} {credit.get('value')} {credit.get('currency')}")
        # Acked after it is on disk; acked again when it comes again (the first ack was lost).
        client.publish(self.topic("ack"), json.dumps({"id": credit_id}), qos=1)

    def payout(self, client, payout):
        """Coins a hopper paid out, booked once by id like a credit, as the hopper counted them."""
        payout_id = payout["id"]
        if payout_id in self.ledger.booked:
            say(f"again {payout_id}")
        else:
            self.ledger.book(payout)
            if payout.get("state") == "in-doubt":
                warn(f"in doubt {payout_id}: {payout.get('requested')} coin(s) asked, "
                     f"{payout.get('reason')}")
            else:
                say(f"paid {payout_id} {payout.get('paid')} coin(s), {payout.get('unpaid')} unpaid")
        client.publish(self.topic("ack"), json.dumps({"id": payout_id}), qos=1)

    def check_seq(self, credit):
        seq = credit.get("seq")
        if not isinstance(seq, int):
            return
        device = credit.get("serial") or credit.get("address")
        last = self.seqs.get(device)
        if last is not None and seq > last + 1:
            warn(f"gap: device {device} credits {last + 1}..{seq - 1} never arrived")
        if last is None or seq > last:
            self.seqs[device] = seq

    def event(self, client, event):
        address, counter = event.get("address"), event.get("counter")
        if event.get("kind") == "lost":
            loss_id = event.get("id")
            if loss_id is None or loss_id not in self.ledger.booked:
                warn(f"lost: device {address}: {event.get('text')}")
                if loss_id is not None:
                    self.ledger.book(event)
            # Journalled by the service: published again until acknowledged.
            if loss_id is not None:
                client.publish(self.topic("ack"), json.dumps({"id": loss_id}), qos=1)
        if not isinstance(counter, int):
            return
        last = self.counters.get(address)
        if counter != 0 and last is not None and last != 0:
            expected = last % 255 + 1
            if counter != expected and counter != last:
                warn(f"gap: device {address} events {expected}..{counter - 1 or 255} never arrived")
        self.counters[address] = counter


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="localhost")
    parser.add_argument("--port", type=int, default=1883)
    parser.add_argument("--prefix", default="quennet")
    parser.add_argument("--client-id", default="quennet-consumer")
    parser.add_argument("--user", help="broker user; the password comes from QUENNET_PASSWORD")
    parser.add_argument("--ledger", required=True, help="the booked credits, one JSON a line")
    args = parser.parse_args()

    consumer = Consumer(args.prefix, Ledger(args.ledger))
    client = make_client(args.client_id)
    if args.user:
        client.username_pw_set(args.user, os.environ.get("QUENNET_PASSWORD"))
    client.on_connect = consumer.on_connect
    client.on_message = consumer.on_message
    client.connect(args.host, args.port, keepalive=30)
    try:
        client.loop_forever(retry_first_connection=True)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
