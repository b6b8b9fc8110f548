#!/usr/bin/python3
"""Every kind of message quennetd builds, against the contract's JSON Schemas: the sample
program prints one of each (the cases a live run seldom reaches among them), each is validated
against the schema its topic names in the AsyncAPI document.

    payload_contract_test.py --samples PROGRAM --contract DIR
"""

import argparse
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_contract_test import load_contract  # noqa: E402

ARGS = None


class PayloadContractTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.contract = load_contract(ARGS.contract)
        out = subprocess.run([ARGS.samples], check=True, capture_output=True, text=True).stdout
        cls.samples = [line.split("\t", 1) for line in out.splitlines()]

    def test_every_sample_follows_its_schema(self):
        leaves = set()
        for leaf, text in self.samples:
            with self.subTest(leaf=leaf, payload=text):
                self.assertIn(leaf, self.contract)
                direction, validator = self.contract[leaf]
                self.assertEqual(direction, "subscribe", "the service publishes " + leaf)
                errors = [e.message for e in validator.iter_errors(json.loads(text))]
                self.assertEqual(errors, [])
            leaves.add(leaf)
        # Every topic the service publishes on has a sample.
        published = {leaf for leaf, (d, _) in self.contract.items() if d == "subscribe"}
        self.assertEqual(published - leaves, set())

    def test_the_schemas_refuse_what_they_do_not_name(self):
        # The check above could pass on schemas that take anything: each sample with a field
        # added, or its time taken away where one is required, is refused.
        for leaf, text in self.samples:
            _, validator = self.contract[leaf]
            body = json.loads(text)
            body["unnamed"] = 1
            with self.subTest(leaf=leaf, payload=text):
                self.assertFalse(validator.is_valid(body))

    def test_a_device_mode_outside_the_framings_is_refused(self):
        _, validator = self.contract["status"]
        status = next(json.loads(t) for leaf, t in self.samples
                      if leaf == "status" and json.loads(t).get("devices"))
        status["devices"][0]["mode"] = "crc8"
        self.assertFalse(validator.is_valid(status))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--samples", required=True)
    parser.add_argument("--contract", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
