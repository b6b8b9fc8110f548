#!/usr/bin/env python3
"""Simple polls from Python through the quennet package on the paced virtual validator, timed
against the wire floor (a 5-byte poll and its echo, then a 5-byte ACK); beside them the same
polls from a bare C loop (no library), through the C interface and through the C++ command set,
all three in bench_batch, with the CPU each costs.

    PYTHONPATH=build/python python3 bench/python_bench.py --bench-batch build/bin/bench_batch
    [--rounds 5] [--polls 200]

The package and the C interface are given the CPU per poll of the calling thread and of the
library's bus thread, which drives the line for both; the package also that of its whole process.
The command set's is its calling thread's, where it does all its work.

The polls are made in rounds (default 5 rounds of 200), each round running the four one after
the other, so a stretch of a shared machine's load falls on all four alike; each figure printed
is the median of its rounds, the same for the package and for the references beside it, with the
fastest and slowest round. Exit status 1 when a poll failed or the package's median time per
poll is above 1.05 times the floor.
"""

import argparse
import os
import re
import statistics
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


def median(values):
    return statistics.median(values)


def spread(values):
    return f"(rounds {min(values):.3f} - {max(values):.3f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--polls", type=int, default=200, help="polls a round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--bench-batch", required=True, help="the bench_batch program")
    args = parser.parse_args()

    print(f"{args.rounds} rounds of {args.polls} simple polls on the paced virtual validator "
          f"(echo on); medians of the rounds")
    rounds = {"bare": [], "cxx": [], "cxx_cpu": [], "c": [], "c_caller": [], "c_bus": [],
              "py": [], "py_caller": [], "py_bus": [], "py_cpu": []}
    floor = None
    for _ in range(args.rounds):
        rounds["bare"].append(bare(args.bench_batch, args.polls))
        cxx_wall, floor, cxx_cpu = reference(args.bench_batch, args.polls)
        rounds["cxx"].append(cxx_wall)
        rounds["cxx_cpu"].append(cxx_cpu)
        c_wall, c_caller, c_bus = through_c(args.bench_batch, args.polls)
        rounds["c"].append(c_wall)
        rounds["c_caller"].append(c_caller)
        rounds["c_bus"].append(c_bus)
        try:
            per_poll, caller, bus_thread, cpu_per_poll = package(args.polls)
        except RuntimeError as failure:
            print(failure, file=sys.stderr)
            return 1
        rounds["py"].append(per_poll)
        rounds["py_caller"].append(caller)
        rounds["py_bus"].append(bus_thread)
        rounds["py_cpu"].append(cpu_per_poll)
    m = {key: median(values) for key, values in rounds.items()}
    print(f"wire floor {floor:.3f} ms; cpu in ms a poll")
    print(f"  bare C loop     {m['bare']:8.3f} ms a poll: {m['bare'] / floor:.3f}x the floor "
          f"{spread(rounds['bare'])}")
    print(f"  python package  {m['py']:8.3f} ms a poll: {m['py'] / floor:.3f}x the floor "
          f"{spread(rounds['py'])}, cpu {m['py_caller']:.4f} caller + {m['py_bus']:.4f} bus "
          f"thread ({m['py_cpu']:.4f} the whole process)")
    print(f"  C interface     {m['c']:8.3f} ms a poll: {m['c'] / floor:.3f}x the floor "
          f"{spread(rounds['c'])}, cpu {m['c_caller']:.4f} caller + {m['c_bus']:.4f} bus thread")
    print(f"  C++ command set {m['cxx']:8.3f} ms a poll: {m['cxx'] / floor:.3f}x the floor "
          f"{spread(rounds['cxx'])}, cpu {m['cxx_cpu']:.4f} (one thread)")
    print(f"  python package / bare C loop: {m['py'] / m['bare']:.3f}x the time; "
          f"/ C interface: {m['py'] / m['c']:.3f}x the time, "
          f"{m['py_caller'] / m['c_caller']:.1f}x the caller's cpu; "
          f"/ command set: {m['py'] / m['cxx']:.3f}x the time")
    if m["py"] / floor > LIMIT:
        print(f"above {LIMIT}x the wire floor", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
