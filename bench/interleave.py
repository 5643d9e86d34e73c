#!/usr/bin/env python3
"""Times whole commands, run alternately, and prints each one's median.

    interleave.py [--warmup N] RUNS NAME=COMMAND [NAME=COMMAND ...]

Each round runs every command once, in turn, so a drift in the machine's
speed (another process, frequency changes) hits all of them alike; timing
one command's runs in a block and then the next one's does not. Commands are
split on blanks (no shell), started with posix_spawn, their output thrown
away. After N warm-up rounds (default ten; fewer for commands that take
minutes), RUNS rounds (at least two) are timed. Prints one line per command:
NAME, the median in milliseconds, and the 25th and 75th percentiles.
"""
import os
import shlex
import statistics
import sys
import time


def main():
    args = sys.argv[1:]
    warmup = 10
    if args[0] == "--warmup":
        warmup = int(args[1])
        args = args[2:]
    runs = int(args[0])
    commands = []
    for arg in args[1:]:
        name, _, command = arg.partition("=")
        argv = shlex.split(command)
        commands.append((name, argv))
    devnull = os.open(os.devnull, os.O_WRONLY)
    actions = [(os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)]

    def run(argv):
        start = time.perf_counter()
        pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
        _, status = os.waitpid(pid, 0)
        elapsed = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) < 0:
            sys.exit(f"{argv[0]} was killed by a signal")
        return elapsed

    for _ in range(warmup):
        for _, argv in commands:
            run(argv)
    times = {name: [] for name, _ in commands}
    for _ in range(runs):
        for name, argv in commands:
            times[name].append(run(argv))
    for name, _ in commands:
        t = sorted(times[name])
        q = statistics.quantiles(t, n=4)
        print(f"{name} {statistics.median(t) * 1e3:.3f} {q[0] * 1e3:.3f} {q[2] * 1e3:.3f}")


if __name__ == "__main__":
    main()
