#!/usr/bin/env python3
"""A fleet of collectors pushing to one VictoriaMetrics on loopback.

Starts one VictoriaMetrics (its own data directory, a free port) and
--collectors collectors, each on a private installation (resource store,
runtime directory, working directory) with only the scheme Ravlon and
ravlon.export.influx.url pointing at it, each labelled by extra_label
fleet=N; beside them --control collectors without the push. After a
start-up, it sums each collector's on-CPU time over --seconds
(/proc/PID/task/*/schedstat, as collector_cost.py does), then stops them all
by their PIDs and checks that every record of every pushing collector's data
files is in VictoriaMetrics exactly once.

Prints the CPU ms per second per collector with and without the push
(median, mean, standard error) and their difference: the push's cost.

    bench/push_fleet.py [--build build] [--collectors 50] [--control 10] [--seconds 600]
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_ns(pid):
    total = 0
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                    total += int(f.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass
    except FileNotFoundError:
        pass
    return total


def get(url, timeout=30):
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.read().decode()


class Collector:
    def __init__(self, build, root, url):
        self.root = root
        self.env = dict(os.environ)
        self.env.pop("TELVAR_ENV", None)
        self.env.update(TELVAR_REGISTRY_ROOT=root + "/registry", TELVAR_RUNTIME_DIR=root + "/run",
                        RAVLON_START_DELAY="0", RAVLON_SETTLE_DELAY="0")
        os.makedirs(root + "/run")
        subprocess.run(["cmake", "--install", build, "--prefix", root], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([root + "/bin/ravlonctl", "setup", "--prefix", root], check=True, env=self.env,
                       stdout=subprocess.DEVNULL)
        conf = root + "/etc/ravlon/ravlon.conf"
        text = open(conf).read()
        for scheme in ("Processors", "Disks", "Network"):
            text = re.sub(r"(%s\(\) = \"[^\"]*\" \{\s*active\(Bool\) = )true" % scheme, r"\1false", text)
        if url:
            text = text.replace("  collect() = ", '  export() = "" { influx() = "" { url(String) = "%s" {} } }\n'
                                "  collect() = " % url, 1)
        open(conf, "w").write(text)
        self.log = open(root + "/out.log", "wb")
        self.proc = subprocess.Popen([root + "/bin/ravlon"], env=self.env, stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()

    def record_times(self):
        times = []
        work = self.root + "/var/lib/ravlon/work"
        for name in os.listdir(work):
            if re.search(r"\.(data|make|make\.tmp)$", name):
                with open(os.path.join(work, name), errors="replace") as f:
                    times += [int(line.split(":")[1]) for line in f if line.startswith("30:")]
        return sorted(times)


def summary(values):
    if not values:
        return "none"
    se = statistics.stdev(values) / len(values) ** 0.5 if len(values) > 1 else 0.0
    return "median %.3f, mean %.3f +- %.3f ms/s (n=%d)" % (statistics.median(values), statistics.mean(values),
                                                          se, len(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--collectors", type=int, default=50)
    parser.add_argument("--control", type=int, default=10)
    parser.add_argument("--seconds", type=int, default=600)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    vm = shutil.which("victoria-metrics")
    if not vm:
        print("victoria-metrics is not installed")
        return 1
    root = tempfile.mkdtemp(prefix="ravlon-fleet-")
    port = free_port()
    vm_proc = subprocess.Popen([vm, "-httpListenAddr=127.0.0.1:%d" % port, "-storageDataPath=" + root + "/vm",
                                "-loggerLevel=ERROR"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pushing, control = [], []
    try:
        # Interleaved, so that neither group is the one that samples first
        # within a second (the later ones find the kernel's caches warm).
        every = max(1, args.collectors // max(1, args.control))
        for n in range(args.collectors):
            url = "http://127.0.0.1:%d/write?extra_label=fleet=%d" % (port, n)
            pushing.append(Collector(build, "%s/c%d" % (root, n), url))
            if n % every == every - 1 and len(control) < args.control:
                control.append(Collector(build, "%s/k%d" % (root, len(control)), None))
        while len(control) < args.control:
            control.append(Collector(build, "%s/k%d" % (root, len(control)), None))
        # Past the start-up and the first record of each.
        time.sleep(65)
        start = {c: cpu_ns(c.proc.pid) for c in pushing + control}
        t0 = time.monotonic()
        time.sleep(args.seconds)
        seconds = time.monotonic() - t0
        cost = {c: (cpu_ns(c.proc.pid) - start[c]) / 1e6 / seconds for c in pushing + control}
        dead = [c.root for c in pushing + control if c.proc.poll() is not None]
    finally:
        for c in pushing + control:
            c.stop()
    time.sleep(5)
    get("http://127.0.0.1:%d/internal/force_flush" % port)
    match = urllib.parse.quote('{__name__="ravlon_memory_available_bytes"}')
    points = {}
    for line in get("http://127.0.0.1:%d/api/v1/export?match[]=%s" % (port, match), 120).splitlines():
        item = json.loads(line)
        points[item["metric"].get("fleet")] = sorted(t // 1000 for t in item["timestamps"])
    os.kill(vm_proc.pid, signal.SIGTERM)
    vm_proc.wait(60)

    complete = 0
    for n, c in enumerate(pushing):
        want = c.record_times()
        have = points.get(str(n), [])
        if want == have:
            complete += 1
        else:
            print("collector %d: %d records, %d points in VictoriaMetrics" % (n, len(want), len(have)))
    with_push = [cost[c] for c in pushing]
    without = [cost[c] for c in control]
    print("window: %.0f s; collectors that ended early: %d" % (seconds, len(dead)))
    print("records: %d of %d pushing collectors have every record exactly once" % (complete, len(pushing)))
    print("CPU with the push:    " + summary(with_push))
    print("CPU without the push: " + summary(without))
    if with_push and without:
        print("push cost per collector: %.3f ms/s (difference of the means)"
              % (statistics.mean(with_push) - statistics.mean(without)))
    shutil.rmtree(root, ignore_errors=True)
    return 0 if complete == len(pushing) and not dead else 1


if __name__ == "__main__":
    sys.exit(main())
