#!/usr/bin/python3
"""Load on the monitor's HTTP server (a benchmark, not a test): m520s-sim at
the line rate, the monitor polling it, first idle for --seconds, then with
16 Server-Sent Events readers and 50 requests a second of /api/state for
--seconds. Prints the cycle duration of both runs, the monitor's memory
over the loaded run, the /api/state times, the site page's compressed
weight (with Chart.js) and how long until the first values show.

  /usr/bin/python3 bench/web_load.py --build build [--seconds 60]
"""

import argparse
import gzip
import http.client
import json
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import support  # noqa: E402


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cycles_between(site, t0, t1):
    return [c["duration_ms"] for c in site.cycle_log if t0 <= c["_at"] < t1]


def sse_reader(port, stop, counts, i):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    c.request("GET", "/api/events")
    r = c.getresponse()
    while not stop.is_set():
        line = r.fp.readline()
        if not line:
            break
        if line.startswith(b"event: "):
            counts[i] += 1
    c.close()


def state_requests(port, stop, times, rate):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    period = 1.0 / rate
    next_at = time.monotonic()
    while not stop.is_set():
        t0 = time.perf_counter()
        c.request("GET", "/api/state")
        body = c.getresponse().read()
        times.append(time.perf_counter() - t0)
        assert body.startswith(b'{"alarms":')
        next_at += period
        time.sleep(max(0.0, next_at - time.monotonic()))
    c.close()


def page_weight(port):
    """The site page and what it loads, as a browser asking for gzip gets them, plus Chart.js."""
    total, parts = 0, {}
    for path in ("/", "/static/style.css", "/static/common.js", "/static/site.js", "/static/icon.svg",
                 "/vendor/chart.min.js"):
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request("GET", path, headers={"Accept-Encoding": "gzip"})
        r = c.getresponse()
        body = r.read()
        if r.getheader("Content-Encoding") != "gzip":
            body = gzip.compress(body)  # what it would weigh compressed
        parts[path] = len(body)
        total += len(body)
        c.close()
    return total, parts


def load(site, seconds):
    stop = threading.Event()
    counts = [0] * 16
    times = []
    threads = [threading.Thread(target=sse_reader, args=(site.port, stop, counts, i)) for i in range(16)]
    threads.append(threading.Thread(target=state_requests, args=(site.port, stop, times, 50)))
    for t in threads:
        t.start()
    rss = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        rss.append(rss_kib(site.proc.pid))
        time.sleep(1)
    stop.set()
    for t in threads:
        t.join(timeout=30)
    return counts, times, rss


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--baud", default="9600")
    a = ap.parse_args()
    monitor = os.path.join(a.build, "m520s-monitor")
    sim = os.path.join(a.build, "m520s-sim")
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "sim", "scenarios", "reference.json")) as f:
        scenario = json.load(f)

    started = time.monotonic()
    site = support.Site(monitor, sim, scenario, poll_ms=500, http={"max_clients": 24}, sim_args=["--baud", a.baud])
    site.cycle_log = []
    first = site.wait(lambda e: e["event"] == "cycle", 120)
    first_values = time.monotonic() - started
    orig = site._on_event

    def note(e):
        if e.get("event") == "cycle":
            e["_at"] = time.monotonic()
            site.cycle_log.append(e)
        orig(e)
    site._on_event = note
    try:
        t0 = time.monotonic()
        time.sleep(a.seconds)
        t1 = time.monotonic()
        counts, times, rss = load(site, a.seconds)
        t2 = time.monotonic()
        weight, parts = page_weight(site.port)
    finally:
        rc = site.close()
    idle = cycles_between(site, t0, t1)
    busy = cycles_between(site, t1, t2)
    mi, mb = statistics.median(idle), statistics.median(busy)
    print(f"first cycle (values on the page) {first_values:.2f} s after start (cycle 1: {first['duration_ms']} ms)")
    print(f"cycle duration idle: median {mi} ms over {len(idle)} cycles; mean {statistics.mean(idle):.1f}")
    print(f"cycle duration under load: median {mb} ms over {len(busy)} cycles; mean {statistics.mean(busy):.1f}"
          f"  ({100.0 * (mb - mi) / mi:+.2f} % of idle)")
    print(f"SSE readers: {len(counts)}, events each: min {min(counts)} max {max(counts)}")
    ms = sorted(t * 1000 for t in times)
    print(f"/api/state: {len(ms)} requests ({len(ms) / a.seconds:.1f}/s), median {statistics.median(ms):.2f} ms, "
          f"p95 {ms[int(len(ms) * 0.95)]:.2f} ms, max {ms[-1]:.2f} ms")
    quarters = [rss[min(len(rss) - 1, i * len(rss) // 4)] for i in range(4)] + [rss[-1]]
    print(f"monitor RSS under load at 0, 1/4, 1/2, 3/4 and the end: {quarters} KiB, max {max(rss)} KiB")
    print(f"site page weight, compressed, with Chart.js: {weight / 1024:.1f} KiB {parts}")
    print(f"monitor exit status {rc}")


if __name__ == "__main__":
    main()
