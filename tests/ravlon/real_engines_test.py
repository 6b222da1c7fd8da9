#!/usr/bin/env python3
"""The record export against the real engines, as Debian ships them.

One collector on a private installation, one Prometheus scraping its
/metrics every 5 s, one VictoriaMetrics taking its push on /write, each on a
free loopback port with its own data directory, each stopped by the PID
started here. Checked in order:

  1. hostile scrape clients (1,000 idle connections, a slow reader) delay
     neither a record nor a command;
  2. Prometheus has every counter of the latest record with its value;
  3. VictoriaMetrics has one point per record mark per series, the record's
     values;
  4. outage: VictoriaMetrics stopped, the collector killed with SIGKILL
     during it and started again; once VictoriaMetrics is back every mark of
     the whole run is there exactly once, and the collector's memory stayed
     bounded.

RAVLON_OUTAGE_SECONDS sets the outage (default and least 70: two marks
before the kill; 180 for the full three minutes by hand). A missing engine binary skips the test
(exit 77) with a message; CI installs both.

usage: real_engines_test.py BUILD_DIR CMAKE
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

from engine_checks import check, failures, free_port, http_get, line_protocol_series, wait_for

SKIP = 77
OUTAGE = max(70, int(os.environ.get("RAVLON_OUTAGE_SECONDS", "70")))
# The collector's resident memory may not grow past this while records pile
# up in the spool.
MAX_RSS_KIB = 100 * 1024

class Process:
    """A program started here, stopped by its own PID."""

    def __init__(self, argv, log, env=None):
        self.log = open(log, "ab")
        self.proc = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, env=env)

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, sig)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()

    def rss_kib(self):
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0


class Installation:
    def __init__(self, root, build, cmake):
        self.root = root
        self.env = dict(os.environ)
        self.env.pop("TELVAR_ENV", None)
        self.env.update(TELVAR_REGISTRY_ROOT=root + "/registry", TELVAR_RUNTIME_DIR=root + "/run",
                        RAVLON_START_DELAY="0", RAVLON_SETTLE_DELAY="0", TZ="UTC")
        os.makedirs(root + "/run")
        subprocess.run([cmake, "--install", build, "--prefix", root], check=True, stdout=subprocess.DEVNULL)
        self.ctl("setup", "--prefix", root)
        self.conf = root + "/etc/ravlon/ravlon.conf"
        self.counters = root + "/etc/ravlon/ravlon.counters"
        self.work = root + "/var/lib/ravlon/work/"

    def ctl(self, *args, timeout=60):
        return subprocess.run([self.root + "/bin/ravlonctl"] + list(args), env=self.env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def configure(self, listen, url):
        with open(self.conf) as f:
            text = f.read()
        # Only the scheme Ravlon: one data file, a page of a few dozen series.
        for scheme in ("Processors", "Disks", "Network"):
            text = re.sub(r"(%s\(\) = \"[^\"]*\" \{\s*active\(Bool\) = )true" % scheme, r"\1false", text)
        export = ('  export() = "" {\n'
                  '    openmetrics() = "" { listen(String) = "%s" {} }\n'
                  '    influx() = "" { url(String) = "%s" {} }\n'
                  '  }\n' % (listen, url))
        text = text.replace("  collect() = ", export + "  collect() = ", 1)
        with open(self.conf, "w") as f:
            f.write(text)
        r = self.ctl("check-config", self.conf)
        check(r.returncode == 0, "the configuration with the export keys passes check-config")
        if r.returncode != 0:
            print(r.stdout + r.stderr)

    def start(self, log):
        return Process([self.root + "/bin/ravlon"], log, env=self.env)

    def data_files(self):
        out = []
        for dirpath, _, names in os.walk(self.work):
            out += [os.path.join(dirpath, n) for n in names if re.search(r"\.(data|make|make\.tmp)$", n)]
        return sorted(out)

    def records(self):
        """(measurement_field, labels) -> {time: value} from the data files, through the backfill."""
        files = self.data_files()
        if not files:
            return {}, []
        r = self.ctl("records", "--format", "influx", "--counters", self.counters, *files)
        return line_protocol_series(r.stdout)


def wait_records(inst, count, seconds):
    ok = wait_for(lambda: len(inst.records()[1]) >= count, seconds, 1)
    return ok, inst.records()


def hostile_clients(inst, port, collector):
    """1,000 idle connections and a slow reader; the next record and a command stay on time."""
    idle = []
    for _ in range(1000):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        idle.append(s)
    slow = socket.create_connection(("127.0.0.1", port))
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    slow.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
    slow.recv(1)
    _, before = inst.records()
    started = time.time()
    r = inst.ctl("send", "--wait", "10", "SEND_PROCESS_INFO", timeout=30)
    answered = time.time() - started
    check(r.returncode == 0 and answered < 5,
          "a command is answered in %.1f s with 1,000 idle scrape connections open" % answered)
    # The next mark, and its record within a few seconds of it.
    mark = (int(time.time()) // 30 + 1) * 30
    ok = wait_for(lambda: len(inst.records()[1]) > len(before), mark - time.time() + 10, 0.5)
    late = time.time() - mark
    check(ok and late < 10, "the record of the next mark lands %.1f s after it meanwhile" % late)
    check(collector.proc.poll() is None, "the collector runs on")
    slow.close()
    for s in idle:
        s.close()


def check_prometheus(inst, prom_port):
    # Mid-period: the latest record has been scraped at least once since.
    while int(time.time()) % 30 < 12 or int(time.time()) % 30 > 25:
        time.sleep(0.5)
    series, times = inst.records()
    latest = times[-1]
    expected = {k: v[latest] for k, v in series.items() if latest in v}
    query = urllib.parse.quote('{__name__=~"ravlon_.+",scheme="Ravlon"}')
    text, _ = http_get("http://127.0.0.1:%d/api/v1/query?query=%s" % (prom_port, query))
    got = {}
    for item in json.loads(text)["data"]["result"]:
        metric = dict(item["metric"])
        name = metric.pop("__name__")
        for drop in ("instance", "job"):
            metric.pop(drop, None)
        labels = tuple(sorted("%s=%s" % kv for kv in metric.items()))
        got[(name, labels)] = float(item["value"][1])
    missing = [k for k in expected if k not in got]
    wrong = [k for k in expected if k in got and abs(got[k] - expected[k]) > 0.005]
    check(expected and not missing and not wrong and len(got) == len(expected),
          "Prometheus has the %d counters of the record at %d with its values (missing %s, wrong %s, extra %d)"
          % (len(expected), latest, missing[:3], wrong[:3], len(got) - len(expected)))
    sample = sorted(got.items())[:3]
    print("     Prometheus /api/v1/query, first series:")
    for (name, labels), value in sample:
        print("       %s{%s} %s" % (name, ",".join(labels), value))


def vm_export(vm_port):
    http_get("http://127.0.0.1:%d/internal/force_flush" % vm_port)
    match = urllib.parse.quote('{__name__=~"ravlon_.+"}')
    text, _ = http_get("http://127.0.0.1:%d/api/v1/export?match[]=%s" % (vm_port, match), timeout=30)
    out = {}
    lines = text.splitlines()
    for line in lines:
        item = json.loads(line)
        metric = dict(item["metric"])
        name = metric.pop("__name__")
        labels = tuple(sorted("%s=%s" % kv for kv in metric.items()))
        points = out.setdefault((name, labels), [])
        points += [(t // 1000, v) for t, v in zip(item["timestamps"], item["values"])]
    return out, lines


def check_vm(inst, vm_port, what):
    series, times = inst.records()
    got, lines = vm_export(vm_port)
    # A record that came after the data files were read is not counted.
    got = {k: [p for p in v if p[0] <= times[-1]] for k, v in got.items()}
    missing, twice, wrong = [], [], []
    for key, points in series.items():
        have = got.get(key, [])
        stamps = [t for t, _ in have]
        for t, value in points.items():
            n = stamps.count(t)
            if n == 0:
                missing.append((key[0], t))
            elif n > 1:
                twice.append((key[0], t))
            elif abs(dict(have)[t] - value) > 0.005:
                wrong.append((key[0], t))
    extra = sum(len(v) for v in got.values()) - sum(len(v) for v in series.values())
    check(series and not missing and not twice and not wrong and extra == 0,
          "%s: VictoriaMetrics has each of %d marks once per series with the record's values "
          "(%d series; missing %d %s, twice %d %s, wrong %d, extra %d)"
          % (what, len(times), len(series), len(missing), missing[:2], len(twice), twice[:2], len(wrong), extra))
    return lines


def spool_empty(inst):
    """Every entry of the spool is at or behind its cursor."""
    last = 0
    try:
        with open(inst.work + "influx.spool", "rb") as f:
            while True:
                head = f.readline().split()
                if len(head) != 4:
                    break
                last = int(head[1])
                f.seek(int(head[2]), 1)
    except FileNotFoundError:
        pass
    try:
        with open(inst.work + "influx.cursor") as f:
            cursor = int(f.read().strip() or 0)
    except FileNotFoundError:
        cursor = 0
    return last <= cursor


def main():
    build, cmake = sys.argv[1], sys.argv[2]
    prometheus, vm = shutil.which("prometheus"), shutil.which("victoria-metrics")
    if not prometheus or not vm:
        print("SKIP: prometheus or victoria-metrics is not installed (apt-get install prometheus victoria-metrics)")
        return SKIP
    root = tempfile.mkdtemp(prefix="ravlon-engines-")
    procs = []
    try:
        inst = Installation(root, build, cmake)
        listen_port, vm_port, prom_port = free_port(), free_port(), free_port()
        inst.configure("127.0.0.1:%d" % listen_port, "http://127.0.0.1:%d/write" % vm_port)

        vm_argv = [vm, "-httpListenAddr=127.0.0.1:%d" % vm_port, "-storageDataPath=" + root + "/vm",
                   "-retentionPeriod=1y", "-loggerLevel=ERROR"]
        vm_proc = Process(vm_argv, root + "/vm.log")
        procs.append(vm_proc)
        with open(root + "/prometheus.yml", "w") as f:
            f.write("global:\n  scrape_interval: 5s\nscrape_configs:\n  - job_name: ravlon\n"
                    "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % listen_port)
        procs.append(Process([prometheus, "--config.file=" + root + "/prometheus.yml",
                              "--storage.tsdb.path=" + root + "/prom",
                              "--web.listen-address=127.0.0.1:%d" % prom_port], root + "/prometheus.log"))
        check(wait_for(lambda: http_get("http://127.0.0.1:%d/health" % vm_port)[0] is not None, 30),
              "VictoriaMetrics is up")
        check(wait_for(lambda: http_get("http://127.0.0.1:%d/-/ready" % prom_port)[0] is not None, 60),
              "Prometheus is up")

        collector = inst.start(root + "/ravlon-1.log")
        procs.append(collector)
        ok, _ = wait_records(inst, 1, 70)
        if not check(ok, "the collector writes its first record"):
            return 1
        text, kind = http_get("http://127.0.0.1:%d/metrics" % listen_port,
                              headers={"Accept": "application/openmetrics-text; version=1.0.0"})
        check(kind.startswith("application/openmetrics-text") and text.endswith("# EOF\n"),
              "/metrics answers OpenMetrics when asked")
        # The second record comes while the hostile clients are there.
        hostile_clients(inst, listen_port, collector)
        check_prometheus(inst, prom_port)
        check(wait_for(lambda: spool_empty(inst), 20), "the spool is sent")
        check_vm(inst, vm_port, "pushed")

        # The outage: VictoriaMetrics away; the collector killed after two
        # marks or more and started again before it is back.
        vm_proc.stop()
        started = time.time()
        kill_at = min(OUTAGE - 8, max(62, OUTAGE // 2))
        peak = 0
        while time.time() - started < kill_at:
            peak = max(peak, collector.rss_kib())
            time.sleep(1)
        collector.stop(signal.SIGKILL)
        collector = inst.start(root + "/ravlon-2.log")
        procs.append(collector)
        while time.time() - started < OUTAGE:
            peak = max(peak, collector.rss_kib())
            time.sleep(1)
        _, during = inst.records()
        written = len([t for t in during if t >= started])
        check(written >= 2, "%d records written during the %d s outage" % (written, OUTAGE))
        check(peak < MAX_RSS_KIB, "the collector's memory stayed bounded (peak %d KiB)" % peak)
        vm_proc = Process(vm_argv, root + "/vm.log")
        procs.append(vm_proc)
        check(wait_for(lambda: spool_empty(inst), 100), "the spool is sent once VictoriaMetrics is back")
        lines = check_vm(inst, vm_port, "after the outage")
        print("     VictoriaMetrics /api/v1/export, one series:")
        for line in lines[:1]:
            print("       " + line)
    finally:
        for p in reversed(procs):
            p.stop()
        if not failures:
            shutil.rmtree(root, ignore_errors=True)
        else:
            print("kept for a look: " + root)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
