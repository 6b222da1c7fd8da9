#!/usr/bin/env python3
"""How fast the log of a healthy collector grows when its counters files name
instances this host lacks (an interface, a processor), at the shipped levels.

Installs the build into a temporary directory (its own resource store,
`ravlonctl setup`), makes the Network scheme name an interface that does not
exist and the Processors scheme a processor the host lacks, starts `ravlon`,
lets it settle for 30 s (start-up lines, the first records), then measures
the log's growth over --minutes and prints bytes per minute. Exits 1 when it
is 1 KiB a minute or more, or when the collector ended early.

    bench/log_growth.py [--build build] [--minutes 3]
"""

import argparse
import glob
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from collector_cost import Installation  # noqa: E402

LIMIT_BYTES_PER_MINUTE = 1024


def log_bytes(prefix):
    return sum(os.path.getsize(p) for p in glob.glob(os.path.join(prefix, "var", "log", "ravlon", "*")))


def name_absent_instances(conf_dir):
    path = os.path.join(conf_dir, "network.counters")
    text = open(path).read().replace("Network Interface(eth0)", "Network Interface(no-such-nic0)")
    open(path, "w").write(text)
    with open(os.path.join(conf_dir, "processors.counters"), "a") as f:
        f.write("\nProcessor(999)\n{\n% Processor Time\n% Idle Time\n}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(os.getcwd(), "build"))
    parser.add_argument("--minutes", type=float, default=3.0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="ravlon-log-growth-") as root:
        inst = Installation(os.path.abspath(args.build), root)
        name_absent_instances(inst.conf_dir)
        proc = subprocess.Popen([inst.ravlon], env=inst.env, cwd=inst.prefix, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            time.sleep(30)
            start = log_bytes(inst.prefix)
            time.sleep(args.minutes * 60)
            grown = log_bytes(inst.prefix) - start
            alive = proc.poll() is None
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout=60)
        rate = grown / args.minutes
        print(f"log growth: {grown} bytes in {args.minutes:g} min = {rate:.0f} bytes/min "
              f"(limit {LIMIT_BYTES_PER_MINUTE}); collector {'ran throughout' if alive else 'ENDED EARLY'}")
        return 0 if alive and rate < LIMIT_BYTES_PER_MINUTE else 1


if __name__ == "__main__":
    sys.exit(main())
