#!/usr/bin/env python3
"""Simple polls from Python through the quennet package on the paced virtual validator, timed
against the wire floor (a 5-byte poll and its echo, then a 5-byte ACK); beside them the same
polls from a bare C loop (no library), through the C interface and through the C++ command set,
all three in bench_batch, with the CPU each costs.

    PYTHONPATH=build/python python3 bench/python_bench.py --bench-batch build/bin/bench_batch

The package and the C interface are given the CPU per poll of the calling thread and of the
library's bus thread, which drives the line for both; the package also that of its whole process.
The command set's is its calling thread's, where it does all its work. Exit status 1 when a poll
failed or the package's time per poll is above 1.05 times the floor.
"""

import argparse
import os
import re
import subprocess
import sys
import time

import quennet
from quennet.testing import VirtualValidator

LIMIT = 1.05
BUS_THREAD = "quennet bus"  # the library's thread that drives the line


def reference(bench_batch, polls):
    words = [bench_batch, "--polls", str(polls), "--reference-only"]
    text = subprocess.run(words, capture_output=True, text=True, check=True).stdout
    figures = re.search(r"([\d.]+) ms a poll, wire floor ([\d.]+) ms, cpu ([\d.]+) ms", text)
    return (float(f) for f in figures.groups())


def bare(bench_batch, polls):
    words = [bench_batch, "--polls", str(polls), "--bare-only"]
    text = subprocess.run(words, capture_output=True, text=True, check=True).stdout
    return float(re.search(r"([\d.]+) ms a poll", text).group(1))


def through_c(bench_batch, polls):
    words = [bench_batch, "--polls", str(polls), "--capi-only"]
    text = subprocess.run(words, capture_output=True, text=True, check=True).stdout
    figures = re.search(r"([\d.]+) ms a poll.* cpu ([\d.]+) ms a poll in the caller, "
                        r"([\d.]+) ms in the bus thread", text)
    return (float(f) for f in figures.groups())


def thread_cpu_ms(name):
    """The CPU milliseconds this process's thread called `name` has run."""
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/comm") as comm:
            if comm.read().strip() != name:
                continue
        with open(f"/proc/self/task/{task}/schedstat") as schedstat:
            return int(schedstat.read().split()[0]) / 1e6
    raise RuntimeError(f"no thread {name!r} in this process")


def package(polls):
    """Milliseconds a poll: the time, and the CPU of the calling thread, the bus thread and the
    whole process."""
    with VirtualValidator("--pacing") as validator, quennet.Bus(validator.port) as bus:
        bus.call(40, "SendPoll")  # the settling after opening
        caller, bus_thread = time.thread_time(), thread_cpu_ms(BUS_THREAD)
        wall, cpu = time.monotonic(), time.process_time()
        for _ in range(polls):
            reply = bus.call(40, "SendPoll")
            if reply.result != 0 or not reply.acknowledged:
                raise RuntimeError(f"a poll failed: {reply}")
        return ((time.monotonic() - wall) * 1000 / polls,
                (time.thread_time() - caller) * 1000 / polls,
                (thread_cpu_ms(BUS_THREAD) - bus_thread) / polls,
                (time.process_time() - cpu) * 1000 / polls)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--polls", type=int, default=1000)
    parser.add_argument("--bench-batch", required=True, help="the bench_batch program")
    args = parser.parse_args()

    print(f"{args.polls} simple polls on the paced virtual validator (echo on)")
    bare_wall = bare(args.bench_batch, args.polls)
    cxx_wall, floor, cxx_cpu = reference(args.bench_batch, args.polls)
    c_wall, c_caller, c_bus = through_c(args.bench_batch, args.polls)
    try:
        per_poll, caller, bus_thread, cpu_per_poll = package(args.polls)
    except RuntimeError as failure:
        print(failure, file=sys.stderr)
        return 1
    print(f"wire floor {floor:.3f} ms; cpu in ms a poll")
    print(f"  bare C loop     {bare_wall:8.3f} ms a poll: {bare_wall / floor:.3f}x the floor")
    print(f"  python package  {per_poll:8.3f} ms a poll: {per_poll / floor:.3f}x the floor, "
          f"cpu {caller:.4f} caller + {bus_thread:.4f} bus thread "
          f"({cpu_per_poll:.4f} the whole process)")
    print(f"  C interface     {c_wall:8.3f} ms a poll: {c_wall / floor:.3f}x the floor, "
          f"cpu {c_caller:.4f} caller + {c_bus:.4f} bus thread")
    print(f"  C++ command set {cxx_wall:8.3f} ms a poll: {cxx_wall / floor:.3f}x the floor, "
          f"cpu {cxx_cpu:.4f} (one thread)")
    print(f"  python package / bare C loop: {per_poll / bare_wall:.3f}x the time; "
          f"/ C interface: {per_poll / c_wall:.3f}x the time, {caller / c_caller:.1f}x the "
          f"caller's cpu; / command set: {per_poll / cxx_wall:.3f}x the time")
    if per_poll / floor > LIMIT:
        print(f"above {LIMIT}x the wire floor", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
