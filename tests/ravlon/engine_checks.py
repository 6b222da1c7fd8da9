"""What the export tests against real engines share: checks that print as
they go, free loopback ports, HTTP reads, waiting, and reading line protocol
back."""

import socket
import time
import urllib.request

failures = []


def check(condition, text):
    print(("ok   " if condition else "FAIL ") + text, flush=True)
    if not condition:
        failures.append(text)
    return condition


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(url, timeout=10, headers=None):
    """The body and its content type."""
    request = urllib.request.Request(url, headers=headers or {})
    with urllib.request.urlopen(request, timeout=timeout) as answer:
        return answer.read().decode("utf-8", "replace"), answer.headers.get("Content-Type", "")


def wait_for(predicate, seconds, step=0.5):
    end = time.time() + seconds
    while time.time() < end:
        try:
            if predicate():
                return True
        except Exception:
            pass
        time.sleep(step)
    return False


def line_protocol_series(text):
    """(measurement_field, labels) -> {time: value}, and the sorted times, of
    the line protocol 'ravlonctl records --format influx' prints."""
    series, times = {}, set()
    for line in text.splitlines():
        head, fields, stamp = line.rsplit(" ", 2)
        parts = head.split(",")
        labels = tuple(sorted(p.replace("\\ ", " ") for p in parts[1:]))
        times.add(int(stamp))
        for field in fields.split(","):
            name, value = field.split("=")
            series.setdefault((parts[0] + "_" + name, labels), {})[int(stamp)] = float(value)
    return series, sorted(times)
