#!/usr/bin/env python3
"""Simple polls from Python through the quennet package on the paced virtual validator, timed
against the wire floor (a 5-byte poll and its echo, then a 5-byte ACK); then the same polls
through the C++ command set in bench_batch for reference, with the CPU each costs.

    PYTHONPATH=build/python python3 bench/python_bench.py --bench-batch build/bin/bench_batch

Python's CPU is the whole process's (the caller, the library's runtime and bus threads); the
command set's is its calling thread's, where it does all its work. Exit status 1 when a poll
failed or the package's time per poll is above 1.05 times the floor.
"""

import argparse
import re
import subprocess
import sys
import time

import quennet
from quennet.testing import VirtualValidator

LIMIT = 1.05


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--polls", type=int, default=1000)
    parser.add_argument("--bench-batch", required=True, help="the bench_batch program")
    args = parser.parse_args()

    reference = subprocess.run([args.bench_batch, "--polls", str(args.polls), "--reference-only"],
                               capture_output=True, text=True, check=True).stdout
    figures = re.search(r"([\d.]+) ms a poll, wire floor ([\d.]+) ms, cpu ([\d.]+) ms", reference)
    cxx_wall, floor, cxx_cpu = (float(f) for f in figures.groups())

    with VirtualValidator("--pacing") as validator, quennet.Bus(validator.port) as bus:
        bus.call(40, "SendPoll")  # the settling after opening
        wall, cpu = time.monotonic(), time.process_time()
        for _ in range(args.polls):
            reply = bus.call(40, "SendPoll")
            if reply.result != 0 or not reply.acknowledged:
                print(f"a poll failed: {reply}", file=sys.stderr)
                return 1
        per_poll = (time.monotonic() - wall) * 1000 / args.polls
        cpu_per_poll = (time.process_time() - cpu) * 1000 / args.polls

    print(f"{args.polls} simple polls on the paced virtual validator (echo on), "
          f"wire floor {floor:.3f} ms")
    print(f"python package      {per_poll:8.3f} ms a poll: {per_poll / floor:.3f}x the floor, "
          f"cpu {cpu_per_poll:.4f} ms a poll")
    print(f"C++ command set     {cxx_wall:8.3f} ms a poll: {cxx_wall / floor:.3f}x the floor, "
          f"cpu {cxx_cpu:.4f} ms a poll")
    print(f"cpu per poll, python package / command set: {cpu_per_poll / cxx_cpu:.1f}x")
    if per_poll > LIMIT * floor:
        print(f"above {LIMIT}x the wire floor", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
