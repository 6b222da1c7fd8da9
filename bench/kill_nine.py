#!/usr/bin/env python3
"""The real collector killed with SIGKILL at random moments, then its data checked.

Installs the build into a temporary directory (its own resource store and
runtime directory, `ravlonctl setup`, the shipped configuration, start
pauses 0), then --kills times: starts `ravlon`, lets it live a random 1 to
--max-life seconds while reading its working files every 0.25 s (every
whole record seen there is noted), and kills it with SIGKILL. A last run
recovers the leftovers and is stopped with SIGTERM. Then every delivered
".data" file is read and the script prints:

  - records delivered, files delivered;
  - torn: files not ending in a line end, records without their value
    lines or with another column count than the scheme's other records;
  - duplicates: a scheme's record time delivered more than once;
  - off-mark: record times not on a :00 or :30 mark;
  - lost: records seen in a working file before a kill and never delivered.

    bench/kill_nine.py [--build build] [--kills 30] [--max-life 70] [--seed N]

A life shorter than a whole 30 s period writes no record: lives of up to
70 s let most of them write one or two.
"""

import argparse
import glob
import os
import random
import signal
import subprocess
import sys
import time

import private_install


def records(text):
    """Whole records of a data text: (time, value line count, columns per value line).

    A record is a "30:" line and the lines up to the next one; a last
    record without its line end is not whole and is left out."""
    out = []
    lines = text.split("\n")
    complete = lines[:-1]  # the part after the last line end is unfinished
    i = 0
    while i < len(complete):
        if not complete[i].startswith("30:"):
            out.append((None, 0, ()))  # a line outside any record
            i += 1
            continue
        head = complete[i].split(":")
        j = i + 1
        while j < len(complete) and not complete[j].startswith("30:"):
            j += 1
        values = complete[i + 1:j]
        try:
            t = int(head[1])
        except (IndexError, ValueError):
            t = None
        out.append((t, len(values), tuple(v.count(":") for v in values)))
        i = j
    return out


def scheme_of(path):
    return os.path.basename(path).split("-", 1)[0]


def snapshot(work, seen):
    for path in glob.glob(os.path.join(work, "*.make")) + glob.glob(os.path.join(work, "*.make.tmp")):
        try:
            with open(path, "r", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        for t, n, _ in records(text):
            if t is not None and n > 0:
                seen.add((scheme_of(path), t))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--kills", type=int, default=30)
    ap.add_argument("--max-life", type=float, default=70)
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()
    rnd = random.Random(args.seed)

    root, prefix, env = private_install.make(args.build, "kill")
    work = os.path.join(prefix, "var", "lib", "ravlon", "work")
    out = open(os.path.join(root, "ravlon.out"), "ab")

    def start():
        return subprocess.Popen([os.path.join(prefix, "bin", "ravlon")], cwd=prefix, env=env, stdout=out,
                                stderr=out)

    seen = set()
    lives = []
    started = time.time()
    for _ in range(args.kills):
        life = rnd.uniform(1, args.max_life)
        lives.append(life)
        p = start()
        end = time.time() + life
        while time.time() < end and p.poll() is None:
            snapshot(work, seen)
            time.sleep(0.25)
        snapshot(work, seen)
        if p.poll() is not None:
            print("the collector ended by itself (exit %d) after %.1f s; see %s" % (p.returncode, life, root))
            return 1
        p.send_signal(signal.SIGKILL)
        p.wait()
    # The last run recovers what the kills left and delivers it at its stop.
    p = start()
    time.sleep(3)
    p.send_signal(signal.SIGTERM)
    rc = p.wait(timeout=60)

    delivered = {}
    torn = duplicates = off_mark = count = 0
    columns = {}
    files = sorted(glob.glob(os.path.join(work, "*.data")))
    for path in files:
        with open(path, "r", errors="replace") as f:
            text = f.read()
        if text and not text.endswith("\n"):
            torn += 1
        scheme = scheme_of(path)
        for t, n, shape in records(text):
            if t is None or n == 0:
                torn += 1
                continue
            if columns.setdefault(scheme, shape) != shape:
                torn += 1
            count += 1
            key = (scheme, t)
            if key in delivered:
                duplicates += 1
            delivered[key] = path
            if t % 30 != 0:
                off_mark += 1
    lost = sorted(seen - set(delivered))
    leftovers = [n for n in os.listdir(work) if ".make" in n]
    print("%d kills, lives %.1f-%.1f s (%.0f s in all), last run ended %d; %d files delivered, %d records"
          % (args.kills, min(lives), max(lives), time.time() - started, rc, len(files), count))
    print("torn %d, duplicates %d, off-mark %d, seen before a kill and not delivered %d of %d; working files left %d"
          % (torn, duplicates, off_mark, len(lost), len(seen), len(leftovers)))
    for scheme, t in lost[:10]:
        print("  lost: %s %d" % (scheme, t))
    print("installation kept in %s" % root)
    return 0 if torn == duplicates == off_mark == len(lost) == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
