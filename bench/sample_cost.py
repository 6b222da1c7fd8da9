#!/usr/bin/env python3
"""CPU cost per sample of `ravlonctl sample`, as a host pays it.

Starts `ravlonctl sample -i 1` on the counter paths of PATHS_FILE (one per
line), lets it settle, then sums the on-CPU nanoseconds of all its threads
(/proc/PID/task/*/schedstat) over WINDOW seconds and prints the CPU
milliseconds per sample. With --idle N it first starts N idle processes
(sleep) and ends them by their process ids afterwards. Repeats --runs times
and prints the median.

    bench/sample_cost.py build/ravlonctl bench/sample_paths.txt --idle 500
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import time


def task_ns(pid):
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def one_run(ctl, paths, settle, window):
    proc = subprocess.Popen([ctl, "sample", "-i", "1"] + paths, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        time.sleep(settle)
        start = task_ns(proc.pid)
        time.sleep(window)
        end = task_ns(proc.pid)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait()
    return (end - start) / 1e6 / window  # ms per second, one sample a second


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("ctl")
    ap.add_argument("paths_file")
    ap.add_argument("--idle", type=int, default=0)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--window", type=float, default=30)
    ap.add_argument("--settle", type=float, default=3)
    a = ap.parse_args()
    with open(a.paths_file) as f:
        paths = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    idle = [subprocess.Popen(["sleep", "100000"]) for _ in range(a.idle)]
    try:
        results = [one_run(a.ctl, paths, a.settle, a.window) for _ in range(a.runs)]
    finally:
        for p in idle:
            os.kill(p.pid, signal.SIGTERM)
            p.wait()
    print(f"{len(paths)} counters, {a.idle} extra idle processes, {sum(1 for _ in os.listdir('/proc') if _.isdigit())}"
          f" processes after: CPU ms per sample runs={['%.3f' % r for r in results]} median={statistics.median(results):.3f}")


if __name__ == "__main__":
    sys.exit(main())
