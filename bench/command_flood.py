#!/usr/bin/env python3
"""Commands under a flood, and memory across reloads, on the running collector.

Installs the build into a temporary directory (its own resource store and
runtime directory, `ravlonctl setup`), starts `ravlon` (start pauses 0), then:

1. flood: --flooders processes each write --junk "Telvar"-addressed junk
   commands into "Telvar_Ravlon" as fast as the slot takes them, while a
   probe asks `ravlonctl send --wait 2 SEND_PROCESS_INFO` every 0.2 s; prints
   probes answered, the slowest answer, and how much the log grew;
2. reloads: --reloads "RECONFIG" commands, one each 2.2 s; prints the RSS
   after 10 and after all of them (the target: within 2 %).

    bench/command_flood.py [--build build] [--junk 100000] [--flooders 3] [--reloads 200]
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import time

import private_install

JUNK = b"Telvar\x1bCOMMAND\x1bj\x1bJUNK\x1b\x00"


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def thread_cpu_ms(pid):
    """On-CPU milliseconds of each thread of pid, by thread name."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                ns = int(f.read().split()[0])
        except OSError:
            continue
        out[name] = out.get(name, 0) + ns / 1e6
    return out


def flood_child(slot, count):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.connect(slot)
    for _ in range(count):
        s.send(JUNK)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--junk", type=int, default=100000)
    parser.add_argument("--flooders", type=int, default=3)
    parser.add_argument("--reloads", type=int, default=200)
    args = parser.parse_args()

    root, prefix, env = private_install.make(args.build, "flood")
    ctl = os.path.join(prefix, "bin", "ravlonctl")
    out = open(os.path.join(root, "ravlon.out"), "ab")
    ravlon = subprocess.Popen([os.path.join(prefix, "bin", "ravlon")], cwd=prefix, env=env, stdout=out,
                              stderr=out)
    slot = os.path.join(env["TELVAR_RUNTIME_DIR"], "Telvar_Ravlon.slot")
    log = None
    try:
        deadline = time.time() + 30
        while time.time() < deadline and not os.path.exists(slot):
            time.sleep(0.1)
        for dirpath, _, files in os.walk(prefix):
            if "RavlonDebug.log" in files:
                log = os.path.join(dirpath, "RavlonDebug.log")
        size0 = os.path.getsize(log)

        cpu0 = thread_cpu_ms(ravlon.pid)
        children = []
        for _ in range(args.flooders):
            pid = os.fork()
            if pid == 0:
                flood_child(slot, args.junk)
            children.append(pid)
        started = time.time()
        probes = answered = 0
        slowest = 0.0
        while any(os.waitpid(p, os.WNOHANG) == (0, 0) for p in children):
            t = time.time()
            r = subprocess.run([ctl, "send", "--wait", "2", "SEND_PROCESS_INFO"], env=env, capture_output=True,
                               text=True)
            took = time.time() - t
            probes += 1
            if r.returncode == 0 and "," in r.stdout:
                answered += 1
                slowest = max(slowest, took)
            time.sleep(0.2)
        flood_seconds = time.time() - started
        for p in children:
            try:
                os.waitpid(p, 0)
            except ChildProcessError:
                pass
        print("flood: %d x %d junk commands in %.1f s; probes answered %d of %d, slowest %.2f s; log grew %d bytes"
              % (args.flooders, args.junk, flood_seconds, answered, probes, slowest, os.path.getsize(log) - size0))
        cpu1 = thread_cpu_ms(ravlon.pid)
        spent = sorted(((cpu1[n] - cpu0.get(n, 0), n) for n in cpu1), reverse=True)
        print("collector CPU during the flood: %.0f ms; %s" % (sum(ms for ms, _ in spent),
              ", ".join("%s %.0f ms" % (n, ms) for ms, n in spent[:3])))

        rss10 = 0
        for i in range(1, args.reloads + 1):
            subprocess.run([ctl, "send", "RECONFIG"], env=env, capture_output=True)
            time.sleep(2.2)
            if i == 10:
                rss10 = rss_kib(ravlon.pid)
        last = rss_kib(ravlon.pid)
        if args.reloads >= 10:
            print("reloads: RSS %d kB after 10, %d kB after %d (%+.1f %%)"
                  % (rss10, last, args.reloads, 100.0 * (last - rss10) / rss10))
    finally:
        ravlon.send_signal(signal.SIGTERM)
        ravlon.wait(timeout=60)
    return 0


if __name__ == "__main__":
    sys.exit(main())
