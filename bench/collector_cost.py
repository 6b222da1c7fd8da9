#!/usr/bin/env python3
"""What the running collector costs a host, side by side with sysstat.

Installs the build into a temporary directory (its own resource store,
`ravlonctl setup`), then, in one run:

1. starts `ravlon` on the standard counter set of etc/ (both start pauses 0)
   and `sadc -S XALL 1 N` side by side, lets both start up, and sums the
   on-CPU nanoseconds of all threads of each (/proc/PID/task/*/schedstat)
   over the same window; prints CPU ms per second, their ratio and peak RSS
   (VmHWM); repeats --runs times and prints the medians, with a per-thread
   breakdown of the collector (CPU and wake-ups per second);
2. the cost curve: the collector with 10, 100 and 1,000 counters (one
   scheme each), the standard set with 500 and 2,000 extra idle processes
   (`sleep`, started and ended by the harness by their pids), and the
   standard set with 3 further schemes of 10 counters, then with one
   further inactive scheme.

    bench/collector_cost.py [--build build] [--quick]

Collectors run one at a time (they share a machine-wide mailslot name), and
a collector that exits early (another collector on the host holds the
instance lock) is reported, not measured.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SADC_CANDIDATES = ["/usr/lib/sysstat/sadc", "/usr/lib64/sa/sadc", "/usr/libexec/sa/sadc"]
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Counters of the Process object published per process; the 1,000-counter
# set names these for harness-started processes with distinct names.
PROCESS_COUNTERS = [
    "% Processor Time", "% User Time", "% Privileged Time", "Working Set",
    "Private Bytes", "Virtual Bytes", "Thread Count", "Handle Count", "ID Process",
    "Elapsed Time", "Page Faults/sec", "Working Set Peak", "Virtual Bytes Peak",
    "Creating Process ID", "Priority Base", "IO Read Bytes/sec", "IO Write Bytes/sec",
    "IO Data Bytes/sec", "IO Read Operations/sec", "IO Write Operations/sec",
]


# ---------------------------------------------------------------- measuring

def task_times(pid):
    """{tid: (on-cpu ns, timeslices)} of every live thread of pid."""
    out = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return out
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                fields = f.read().split()
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            out[tid] = (int(fields[0]), int(fields[2]), name)
        except (FileNotFoundError, ProcessLookupError):
            pass
    return out


def peak_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except FileNotFoundError:
        pass
    return 0


class Sample:
    """CPU over a window for one process, all its threads."""

    def __init__(self, pid):
        self.pid = pid
        self.start = task_times(pid)
        self.t0 = time.monotonic()

    def finish(self):
        end = task_times(self.pid)
        seconds = time.monotonic() - self.t0
        ns = 0
        threads = {}
        for tid, (cpu, slices, name) in end.items():
            c0, s0, _ = self.start.get(tid, (0, 0, name))
            ns += cpu - c0
            t = threads.setdefault(f"{name}/{int(tid) - self.pid}", [0, 0, 0])
            t[0] += cpu - c0
            t[1] += slices - s0
            t[2] += 1
        # A thread that ended inside the window took its last CPU with it;
        # say so rather than report too little.
        self.ended = len(set(self.start) - set(end))
        self.ms_per_s = ns / 1e6 / seconds
        self.threads = {n: (v[0] / 1e6 / seconds, v[1] / seconds, v[2]) for n, v in threads.items()}
        self.rss = peak_rss_kib(self.pid)
        self.seconds = seconds
        return self


# ------------------------------------------------------------ installation

class Installation:
    def __init__(self, build, root):
        self.root = root
        self.prefix = os.path.join(root, "inst")
        self.env = dict(os.environ)
        self.env.pop("TELVAR_ENV", None)
        self.env["TELVAR_REGISTRY_ROOT"] = os.path.join(root, "registry")
        self.env["TELVAR_RUNTIME_DIR"] = os.path.join(root, "run")
        self.env["RAVLON_START_DELAY"] = "0"
        self.env["RAVLON_SETTLE_DELAY"] = "0"
        os.makedirs(self.env["TELVAR_RUNTIME_DIR"], exist_ok=True)
        subprocess.run(["cmake", "--install", build, "--prefix", self.prefix], check=True,
                       stdout=subprocess.DEVNULL)
        self.ravlon = os.path.join(self.prefix, "bin", "ravlon")
        ctl = os.path.join(self.prefix, "bin", "ravlonctl")
        subprocess.run([ctl, "setup", "--prefix", self.prefix, "--force"], check=True, env=self.env,
                       stdout=subprocess.DEVNULL)
        self.conf_dir = os.path.join(self.prefix, "etc", "ravlon")
        self.standard_conf = open(os.path.join(self.conf_dir, "ravlon.conf")).read()

    def use_standard(self):
        with open(os.path.join(self.conf_dir, "ravlon.conf"), "w") as f:
            f.write(self.standard_conf)

    def use_counters(self, objects):
        """One scheme "Ravlon" holding objects: [(object, [counter, ...]), ...]."""
        with open(os.path.join(self.conf_dir, "bench.counters"), "w") as f:
            for obj, names in objects:
                f.write(obj + "\n{\n" + "".join(n + "\n" for n in names) + "}\n\n")
        conf = self.standard_conf
        start = conf.index("  collect() = ")
        body = (
            '  collect() = "" {\n'
            '    Ravlon() = "" {\n'
            '      active(Bool) = true {}\n'
            '      scheme(String) = "counters-file" {\n'
            '        file(FileName) = "${Telvar.directories.conf}bench.counters" {}\n'
            '      }\n'
            '    }\n'
            '  }\n'
            '}\n')
        with open(os.path.join(self.conf_dir, "ravlon.conf"), "w") as f:
            f.write(conf[:start] + body)

    def use_extra_schemes(self, count, objects, active=True):
        """The standard set and count further schemes, each holding objects."""
        with open(os.path.join(self.conf_dir, "extra.counters"), "w") as f:
            for obj, names in objects:
                f.write(obj + "\n{\n" + "".join(n + "\n" for n in names) + "}\n\n")
        conf = self.standard_conf
        end = conf.rindex("  }\n}")
        extra = "".join(
            f'    Extra{i}() = "" {{\n'
            f'      active(Bool) = {"true" if active else "false"} {{}}\n'
            '      scheme(String) = "counters-file" {\n'
            '        file(FileName) = "${Telvar.directories.conf}extra.counters" {}\n'
            '      }\n'
            '    }\n' for i in range(count))
        with open(os.path.join(self.conf_dir, "ravlon.conf"), "w") as f:
            f.write(conf[:end] + extra + conf[end:])

    def start_ravlon(self):
        log = open(os.path.join(self.root, "ravlon.out"), "ab")
        return subprocess.Popen([self.ravlon], cwd=self.prefix, env=self.env, stdout=log, stderr=log)


def count_counters(conf_dir, files):
    n = 0
    for name in files:
        inside = False
        for line in open(os.path.join(conf_dir, name)):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line == "{":
                inside = True
            elif line == "}":
                inside = False
            elif inside:
                n += 1
    return n


def read_paths(path_file):
    """Counter paths grouped by object, in first-seen order."""
    groups = {}
    for line in open(path_file):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        _, obj, counter = line.split("\\", 2)
        # The collector's own process, as in the standard set.
        obj = obj.replace("Process(ravlonctl)", "Process(ravlon)")
        groups.setdefault(obj, []).append(counter)
    return list(groups.items())


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class IdleProcesses:
    """n sleeping processes, optionally with distinct names (via symlinks)."""

    def __init__(self, n, root, names=None):
        self.procs = []
        sleep = shutil.which("sleep")
        for i in range(n):
            exe = sleep
            if names:
                exe = os.path.join(root, names[i])
                if not os.path.exists(exe):
                    os.symlink(sleep, exe)
            self.procs.append(subprocess.Popen([exe, "100000"]))

    def end(self):
        for p in self.procs:
            os.kill(p.pid, signal.SIGTERM)
        for p in self.procs:
            p.wait()
        self.procs = []


# ------------------------------------------------------------------- runs

def measure(inst, sadc, settle, window, with_sadc=True):
    """Collector (and sadc) side by side over one window."""
    # Another collector on the host (a test's) holds the instance lock for a
    # while: wait for it rather than fail.
    for attempt in range(60):
        ravlon = inst.start_ravlon()
        time.sleep(1)
        if ravlon.poll() is None:
            break
        time.sleep(4)
    else:
        raise RuntimeError(f"ravlon ended during start-up (status {ravlon.returncode}); "
                           f"see {inst.root}/ravlon.out and its log: another collector on this host?")
    sa = None
    if with_sadc:
        count = int(settle + window + 30)
        sa = subprocess.Popen([sadc, "-S", "XALL", "1", str(count), os.path.join(inst.root, "sa.data")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(settle)
        if ravlon.poll() is not None:
            raise RuntimeError(f"ravlon ended during start-up (status {ravlon.returncode}); "
                               f"see {inst.root}/ravlon.out: another collector on this host?")
        r = Sample(ravlon.pid)
        s = Sample(sa.pid) if sa else None
        time.sleep(window)
        if ravlon.poll() is not None:
            raise RuntimeError(f"ravlon ended during the window (status {ravlon.returncode})")
        r.finish()
        if s:
            s.finish()
        return r, s
    finally:
        stop(ravlon)
        if sa:
            stop(sa)


def measure_again(inst, sadc, settle, window, with_sadc=True):
    """measure, once more when the collector was ended from outside (a test
    on this host sending its machine-wide mailslot a stop command)."""
    for attempt in range(3):
        try:
            return measure(inst, sadc, settle, window, with_sadc)
        except RuntimeError as e:
            if attempt == 2:
                raise
            print(f"# {e}; measuring again", flush=True)


def fmt_threads(sample):
    rows = sorted(sample.threads.items(), key=lambda kv: int(kv[0].rsplit('/', 1)[1]))
    return "\n".join(f"    thread {name:<16} {ms:7.3f} ms/s  {wk:6.1f} wake-ups/s"
                     for name, (ms, wk, cnt) in rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--window", type=float, default=120, help="seconds measured, side by side runs")
    ap.add_argument("--curve-window", type=float, default=60, help="seconds measured, cost curve runs")
    ap.add_argument("--settle", type=float, default=5, help="seconds of start-up left out")
    ap.add_argument("--quick", action="store_true", help="smoke run: 1 run, 10 s windows")
    ap.add_argument("--no-curve", action="store_true")
    ap.add_argument("--keep", action="store_true", help="keep the temporary installation")
    a = ap.parse_args()
    if a.quick:
        a.runs, a.window, a.curve_window, a.settle = 1, 10, 10, 3
    sadc = next((p for p in SADC_CANDIDATES if os.access(p, os.X_OK)), None)
    if not sadc:
        sys.exit("sadc not found: apt-get install -y sysstat")
    root = tempfile.mkdtemp(prefix="ravlon-cost-")
    began = time.monotonic()
    try:
        inst = Installation(os.path.abspath(a.build), root)
        std_files = [f for f in os.listdir(inst.conf_dir) if f.endswith(".counters")]
        n_std = count_counters(inst.conf_dir, std_files)
        hosts = sum(1 for d in os.listdir("/proc") if d.isdigit())
        print(f"# {n_std} counters in {len(std_files)} schemes (etc/), {hosts} processes on the host, "
              f"{os.cpu_count()} CPUs, window {a.window:g} s after {a.settle:g} s start-up", flush=True)

        print(f"\n{'run':<6} {'ravlon ms/s':>12} {'sadc ms/s':>10} {'ratio':>6} {'ravlon KiB':>11} {'sadc KiB':>9}")
        results = []
        for i in range(a.runs):
            inst.use_standard()
            r, s = measure_again(inst, sadc, a.settle, a.window)
            results.append((r, s))
            note = f"  ({r.ended} threads ended in the window)" if r.ended else ""
            print(f"{i + 1:<6} {r.ms_per_s:12.3f} {s.ms_per_s:10.3f} {r.ms_per_s / s.ms_per_s:6.2f}"
                  f" {r.rss:11d} {s.rss:9d}{note}", flush=True)
        med = lambda f: statistics.median(f(x) for x in results)
        std_cost = med(lambda x: x[0].ms_per_s)
        std_sadc = med(lambda x: x[1].ms_per_s)
        # The cost at 0 as it would have been in a later run, scaled by what
        # sadc paid then: the machine is shared, and its load moves both.
        at_zero = lambda sadc_then: std_cost * sadc_then / std_sadc
        print(f"{'median':<6} {std_cost:12.3f} {med(lambda x: x[1].ms_per_s):10.3f}"
              f" {med(lambda x: x[0].ms_per_s / x[1].ms_per_s):6.2f} {int(med(lambda x: x[0].rss)):11d}"
              f" {int(med(lambda x: x[1].rss)):9d}")
        mid = sorted(results, key=lambda x: x[0].ms_per_s)[len(results) // 2][0]
        print("  collector threads, name/(tid - pid), median run:")
        print(fmt_threads(mid), flush=True)

        if not a.no_curve:
            print(f"\n# cost curve, one scheme each, window {a.curve_window:g} s")
            print(f"{'counters':>8} {'idle':>6} {'ravlon ms/s':>12} {'sadc ms/s':>10} {'ravlon KiB':>11}")
            points = []
            sets = [
                (10, [("Processor(_Total)", ["% Processor Time", "% User Time", "% Privileged Time"]),
                      ("Memory", ["Available Bytes", "Committed Bytes", "Pages/sec"]),
                      ("System", ["Processor Queue Length", "Context Switches/sec", "Threads",
                                  "System Up Time"])]),
                (100, read_paths(os.path.join(SOURCE_DIR, "bench", "sample_paths.txt"))),
            ]
            # 1,000: the 100 above plus 45 harness processes of distinct names
            # (rvlidle00..44), each with 20 Process counters.
            names = [f"rvlidle{i:02d}" for i in range(45)]
            sets.append((1000, sets[1][1] + [(f"Process({n})", PROCESS_COUNTERS) for n in names]))
            for n, objects in sets:
                assert sum(len(c) for _, c in objects) == n, n
                named = IdleProcesses(45, root, names) if n == 1000 else None
                try:
                    inst.use_counters(objects)
                    r, s = measure_again(inst, sadc, a.settle, a.curve_window)
                finally:
                    if named:
                        named.end()
                points.append((n, r.ms_per_s))
                print(f"{n:8d} {0:6d} {r.ms_per_s:12.3f} {s.ms_per_s:10.3f} {r.rss:11d}", flush=True)
            for idle in (500, 2000):
                procs = IdleProcesses(idle, root)
                try:
                    inst.use_standard()
                    r, s = measure_again(inst, sadc, a.settle, a.curve_window)
                finally:
                    procs.end()
                print(f"{n_std:8d} {idle:6d} {r.ms_per_s:12.3f} {s.ms_per_s:10.3f} {r.rss:11d}"
                      f"   +{r.ms_per_s - std_cost:.3f} ms/s over the median at 0"
                      f" (+{r.ms_per_s - at_zero(s.ms_per_s):.3f} scaled by sadc)", flush=True)
            # Further schemes on top of the standard set: 3 of 10 counters
            # each, then one inactive scheme.
            for count, active in ((3, True), (1, False)):
                inst.use_extra_schemes(count, sets[0][1], active)
                r, s = measure_again(inst, sadc, a.settle, a.curve_window)
                label = f"+{count}x10" if active else "+off"
                print(f"{label:>8} {0:6d} {r.ms_per_s:12.3f} {s.ms_per_s:10.3f} {r.rss:11d}"
                      f"   +{(r.ms_per_s - std_cost) / count:.3f} ms/s per scheme over the median at 0"
                      f" (+{(r.ms_per_s - at_zero(s.ms_per_s)) / count:.3f} scaled by sadc)",
                      flush=True)
            xs = [p[0] for p in points]
            ys = [p[1] for p in points]
            mx, my = statistics.mean(xs), statistics.mean(ys)
            slope = sum((x - mx) * (y - my) for x, y in points) / sum((x - mx) ** 2 for x in xs)
            print(f"slope: {slope * 1000:.2f} us CPU per second per counter "
                  f"(least squares over {xs}), intercept {my - slope * mx:.3f} ms/s")
        print(f"\n# took {time.monotonic() - began:.0f} s")
    finally:
        if a.keep:
            print(f"# installation kept in {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
