#!/usr/bin/python3
"""A real Prometheus on a loopback port of its own scrapes the monitor's
/metrics, and its query API returns the site's values; promtool checks the
exposition itself."""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import support  # noqa: E402


def query(port, expr):
    status, body = support.get(f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expr}))
    doc = json.loads(body)
    assert doc["status"] == "success", body
    return doc["data"]["result"]


def until_result(port, expr, seconds):
    deadline = time.monotonic() + support.scaled(seconds)
    while time.monotonic() < deadline:
        try:
            r = query(port, expr)
        except OSError:  # still starting
            r = None
        if r:
            return r
        time.sleep(0.5)
    raise AssertionError(f"Prometheus has no {expr} after {seconds} s")


def promtool_check(site):
    status, text = support.get(site.url + "metrics")
    assert status == 200
    p = subprocess.run(["/usr/bin/promtool", "check", "metrics"], input=text, capture_output=True, text=True)
    assert p.returncode == 0, "promtool check metrics: " + p.stdout + p.stderr
    return text


def prometheus(site, work):
    port = support.free_port()
    cfg = os.path.join(work, "prometheus.yml")
    with open(cfg, "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                f"  - job_name: m520s\n    static_configs:\n      - targets: ['127.0.0.1:{site.port}']\n")
    log = open(os.path.join(work, "prometheus.log"), "w")
    proc = subprocess.Popen(["/usr/bin/prometheus", "--config.file=" + cfg, "--storage.tsdb.path=" + work + "/data",
                             f"--web.listen-address=127.0.0.1:{port}"], stdout=log, stderr=log)
    return proc, port


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--monitor", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--scenario", required=True)
    a = ap.parse_args()
    support.need("/usr/bin/prometheus", "prometheus")
    support.need("/usr/bin/promtool", "prometheus")
    with open(a.scenario) as f:
        scenario = json.load(f)
    scenario["dc"][0]["v"] = 53.25
    scenario["dc"][1]["v"] = 54.5
    site = support.Site(a.monitor, a.sim, scenario)
    work = tempfile.mkdtemp(prefix="m520s-prom-")
    proc = None
    try:
        site.wait(lambda e: e["event"] == "cycle", 30)
        text = promtool_check(site)
        assert 'm520s_dc_voltage_volts{device="21",field="21.v"} 53.25' in text
        proc, port = prometheus(site, work)
        r = until_result(port, 'm520s_dc_voltage_volts{field="21.v"}', 60)
        assert r[0]["value"][1] == "53.25" and r[0]["metric"]["device"] == "21", r
        r = until_result(port, 'm520s_dc_voltage_volts{field="22.v"}', 10)
        assert r[0]["value"][1] == "54.5", r
        assert query(port, "m520s_link_up")[0]["value"][1] == "1"
        assert float(query(port, "m520s_cycles_total")[0]["value"][1]) >= 1
        r = query(port, 'up{job="m520s"}')
        assert r and r[0]["value"][1] == "1", r
        voltages = query(port, "count(m520s_ac_voltage_volts)")
        assert voltages[0]["value"][1] == "18", voltages  # 2 panels x 3 channels x 3 phases
    finally:
        if proc:
            proc.terminate()
            proc.wait(timeout=support.scaled(30))
        rc = site.close()
        subprocess.run(["rm", "-rf", work])
    assert rc == 0, f"the monitor exited {rc}"
    print("prometheus test: scraped and queried")


if __name__ == "__main__":
    main()
