#!/usr/bin/env python3
"""Simple polls from Python through the quennet package on the paced virtual validator, timed
against the wire floor (a 5-byte poll and its echo, then a 5-byte ACK); beside them the same
polls from a bare C loop (no library) and through the C++ command set, both in bench_batch,
with the CPU the package and the command set cost.

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


def reference(bench_batch, polls):
    words = [bench_batch, "--polls", str(polls), "--reference-only"]
    text = subprocess.run(words, capture_output=True, text=True, check=True).stdout
    figures = re.search(r"([\d.]+) ms a poll, wire floor ([\d.]+) ms, cpu ([\d.]+) ms", text)
    return (float(f) for f in figures.groups())


def bare(bench_batch, polls):
    words = [bench_batch, "--polls", str(polls), "--bare-only"]
    text = subprocess.run(words, capture_output=True, text=True, check=True).stdout
    return float(re.search(r"([\d.]+) ms a poll", text).group(1))


def package(polls):
    with VirtualValidator("--pacing") as validator, quennet.Bus(validator.port) as bus:
        bus.call(40, "SendPoll")  # the settling after opening
        wall, cpu = time.monotonic(), time.process_time()
        for _ in range(polls):
            reply = bus.call(40, "SendPoll")
            if reply.result != 0 or not reply.acknowledged:
                raise RuntimeError(f"a poll failed: {reply}")
        return ((time.monotonic() - wall) * 1000 / polls,
                (time.process_time() - cpu) * 1000 / polls)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--polls", type=int, default=1000)
    parser.add_argument("--bench-batch", required=True, help="the bench_batch program")
    args = parser.parse_args()

    print(f"{args.polls} simple polls on the paced virtual validator (echo on)")
    bare_wall = bare(args.bench_batch, args.polls)
    cxx_wall, floor, cxx_cpu = reference(args.bench_batch, args.polls)
    try:
        per_poll, cpu_per_poll = package(args.polls)
    except RuntimeError as failure:
        print(failure, file=sys.stderr)
        return 1
    print(f"wire floor {floor:.3f} ms")
    print(f"  bare C loop     {bare_wall:8.3f} ms a poll: {bare_wall / floor:.3f}x the floor")
    print(f"  python package  {per_poll:8.3f} ms a poll: {per_poll / floor:.3f}x the floor, "
          f"cpu {cpu_per_poll:.4f} ms a poll")
    print(f"  C++ command set {cxx_wall:8.3f} ms a poll: {cxx_wall / floor:.3f}x the floor, "
          f"cpu {cxx_cpu:.4f} ms a poll")
    print(f"  python package / bare C loop: {per_poll / bare_wall:.3f}x the time; "
          f"/ command set: {per_poll / cxx_wall:.3f}x the time, {cpu_per_poll / cxx_cpu:.1f}x "
          f"the cpu")
    if per_poll / floor > LIMIT:
        print(f"above {LIMIT}x the wire floor", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
