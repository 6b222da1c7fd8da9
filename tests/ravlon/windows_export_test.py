#!/usr/bin/env python3
"""The record export of the Windows build, under wine.

ravlon.exe on a private installation (its own resource tree, directories
and configuration) serves /metrics on a free loopback port and pushes to a
real VictoriaMetrics started here on another one with its own data
directory; wine shares the loopback, so both are checked from this side.
After two records:

  1. /metrics has every counter of the latest record with its value;
  2. VictoriaMetrics' /api/v1/export has one point per record mark per
     series, with the record's values.

The records themselves are read back with ravlonctl.exe records --format
influx. A missing victoria-metrics skips the test (exit 77).

usage: windows_export_test.py RAVLON_EXE RAVLONCTL_EXE WINE SOURCE_DIR
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.parse

from engine_checks import check, failures, free_port, http_get, line_protocol_series, wait_for

SKIP = 77
RECORDS = 2

def windows_path(path):
    """A path of this side as the programs under wine name it (drive Z: is /)."""
    return "Z:" + path.replace("/", "\\")


def quoted(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


class Installation:
    def __init__(self, root, programs, wine, source):
        self.root, self.programs, self.wine = root, programs, wine
        for d in ("conf", "logs", "temp", "work"):
            os.makedirs(os.path.join(root, d))
        self.env = dict(os.environ)
        self.env.pop("TELVAR_ENV", None)
        self.env.update(TELVAR_REGISTRY_ROOT=root + "/registry", RAVLON_START_DELAY="0", RAVLON_SETTLE_DELAY="0")
        for name, d in (("ConfigurationDir", "conf"), ("InstallDir", "conf"), ("StartupLogDir", "logs")):
            r = self.ctl("resource", "set", name, windows_path(os.path.join(root, d)) + "\\")
            check(r.returncode == 0, "resource %s is set" % name)
        self.counters = os.path.join(root, "conf", "wine.counters")
        with open(self.counters, "w") as f:
            # The collector's own object: wine's PDH has no English name
            # table for the system's objects.
            f.write("Ravlon Collector\n{\n% Processor Time\nWorking Set\nThread Count\nRecords Written\n}\n")
        self.conf = os.path.join(root, "conf", "export.conf")
        self.source = source

    def ctl(self, *args, timeout=60):
        return subprocess.run([self.wine, self.programs[1]] + list(args), env=self.env,
                              timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def configure(self, listen, url):
        def dir_name(name, below):
            path = below if below.startswith("Z:") else windows_path(os.path.join(self.root, below)) + "\\"
            return '  %s(DirName) = "%s" {}\n' % (name, quoted(path))
        text = ('Telvar() = "" {\n directories() = "" {\n' + dir_name("conf", windows_path(self.source + "/etc/"))
                + dir_name("temp", "temp") + dir_name("log", "logs") + " }\n}\n"
                + 'ravlon() = "" {\n' + dir_name("working-dir", "work")
                + '  export() = "" {\n'
                  '    openmetrics() = "" { listen(String) = "%s" {} }\n'
                  '    influx() = "" { url(String) = "%s" {} }\n'
                  '  }\n' % (listen, url)
                + '  collect() = "" {\n   Wine() = "" {\n    active(Bool) = true {}\n'
                  '    scheme(String) = "counters-file" {\n     file(FileName) = "%s" {}\n    }\n   }\n  }\n}\n'
                % quoted(windows_path(self.counters)))
        with open(self.conf, "w") as f:
            f.write(text)

    def start(self, log):
        self.log = open(log, "ab")
        return subprocess.Popen([self.wine, self.programs[0], "-c", windows_path(self.conf)],
                                stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=self.env)

    def records(self):
        """(measurement_field, labels) -> {time: value} from the data files, through the backfill."""
        files = []
        for dirpath, _, names in os.walk(os.path.join(self.root, "work")):
            files += [windows_path(os.path.join(dirpath, n)) for n in names if re.search(r"\.(data|make|make\.tmp)$", n)]
        if not files:
            return {}, []
        r = self.ctl("records", "--format", "influx", "--counters", windows_path(self.counters), *sorted(files))
        return line_protocol_series(r.stdout)


def scraped(text):
    """(name, labels) -> value of a text-format page."""
    out = {}
    for line in text.splitlines():
        m = re.match(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$', line)
        if m:
            labels = tuple(sorted("%s=%s" % kv for kv in re.findall(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"',
                                                                      m.group(2) or "")))
            out[(m.group(1), labels)] = float(m.group(3))
    return out


def vm_export(vm_port):
    http_get("http://127.0.0.1:%d/internal/force_flush" % vm_port)
    match = urllib.parse.quote('{__name__=~"ravlon_.+"}')
    lines = http_get("http://127.0.0.1:%d/api/v1/export?match[]=%s" % (vm_port, match), timeout=30)[0].splitlines()
    out = {}
    for line in lines:
        item = json.loads(line)
        metric = dict(item["metric"])
        name = metric.pop("__name__")
        labels = tuple(sorted("%s=%s" % kv for kv in metric.items()))
        out.setdefault((name, labels), []).extend((t // 1000, v) for t, v in zip(item["timestamps"], item["values"]))
    return out, lines


def check_page(inst, listen_port):
    series, times = inst.records()
    latest = times[-1]
    expected = {k: v[latest] for k, v in series.items() if latest in v}
    got = scraped(http_get("http://127.0.0.1:%d/metrics" % listen_port)[0])
    wrong = [k for k in expected if k not in got or abs(got[k] - expected[k]) > 0.005]
    check(expected and not wrong and len(got) == len(expected),
          "/metrics of ravlon.exe has the %d counters of the record at %d with its values (wrong or missing %s)"
          % (len(expected), latest, wrong[:3]))
    for (name, labels), value in sorted(got.items())[:2]:
        print("       %s{%s} %s" % (name, ",".join(labels), value))


def check_vm(inst, vm_port):
    series, times = inst.records()
    got, lines = vm_export(vm_port)
    bad = []
    for key, points in series.items():
        have = got.get(key, [])
        for t, value in points.items():
            at = [v for s, v in have if s == t]
            if len(at) != 1 or abs(at[0] - value) > 0.005:
                bad.append((key[0], t, at))
    extra = sum(len(v) for v in got.values()) - sum(len(v) for v in series.values())
    check(series and not bad and extra == 0,
          "VictoriaMetrics has each of %d marks once per series with the record's values "
          "(%d series; wrong %s, extra %d)" % (len(times), len(series), bad[:2], extra))
    for line in lines[:1]:
        print("       " + line)


def main():
    programs, wine, source = sys.argv[1:3], sys.argv[3], sys.argv[4]
    vm = shutil.which("victoria-metrics")
    if not vm:
        print("SKIP: victoria-metrics is not installed (apt-get install victoria-metrics)")
        return SKIP
    # No '-' in the path: the collector's command line ends an unquoted
    # value there, and wine quotes only arguments with blanks.
    root = tempfile.mkdtemp(prefix="ravlon_win_export_")
    procs = []
    try:
        inst = Installation(root, programs, wine, source)
        listen_port, vm_port = free_port(), free_port()
        inst.configure("127.0.0.1:%d" % listen_port, "http://127.0.0.1:%d/write" % vm_port)
        with open(root + "/vm.log", "ab") as log:
            procs.append((signal.SIGTERM, subprocess.Popen([vm, "-httpListenAddr=127.0.0.1:%d" % vm_port,
                                           "-storageDataPath=" + root + "/vm", "-retentionPeriod=1y",
                                           "-loggerLevel=ERROR"], stdout=log, stderr=subprocess.STDOUT,
                                          stdin=subprocess.DEVNULL)))
        check(wait_for(lambda: http_get("http://127.0.0.1:%d/health" % vm_port) is not None, 30),
              "VictoriaMetrics is up")
        collector = inst.start(root + "/ravlon.log")
        procs.append((signal.SIGKILL, collector))
        if not check(wait_for(lambda: len(inst.records()[1]) >= RECORDS, 30 * RECORDS + 40, 2),
                     "ravlon.exe writes %d records" % RECORDS):
            return 1
        check_page(inst, listen_port)
        check(wait_for(lambda: vm_export(vm_port)[0] and len(inst.records()[1]) ==
                       len({t for v in vm_export(vm_port)[0].values() for t, _ in v}), 30, 1),
              "the push reaches VictoriaMetrics")
        check_vm(inst, vm_port)
        check(inst.ctl("send", "DIE").returncode == 0, "ravlon.exe takes DIE")
        check(wait_for(lambda: collector.poll() is not None, 30), "ravlon.exe ends")
    finally:
        for sig, p in reversed(procs):
            if p.poll() is None:
                os.kill(p.pid, sig)
                p.wait(30)
        if not failures:
            shutil.rmtree(root, ignore_errors=True)
        else:
            print("kept for a look: " + root)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
