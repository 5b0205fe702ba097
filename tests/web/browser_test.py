#!/usr/bin/python3
"""The dashboard in a real headless Chromium against m520s-monitor and
m520s-sim: every page, live values, an alarm raised and cleared without a
reload, the history plot and its CSV, no console error, a screenshot of
each page (under the build directory), and the site page without
JavaScript."""

import argparse
import json
import os
import subprocess
import sys
import time
import urllib.error
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import support  # noqa: E402


def browser(out_dir):
    support.need("/usr/bin/chromium", "chromium")
    support.need("/usr/bin/chromedriver", "chromium-driver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        support.skip("python3-selenium missing (run with /usr/bin/python3; scripts/install-deps.sh installs it)")
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    profile = os.path.join(out_dir, "web-test-profile")
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
              "--user-data-dir=" + profile, "--window-size=1280,1000"):
        o.add_argument(a)
    o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)


def until(what, fn, seconds):
    deadline = time.monotonic() + support.scaled(seconds)
    while True:
        got = fn()
        if got:
            return got
        if time.monotonic() > deadline:
            raise AssertionError("timed out: " + what)
        time.sleep(0.1)


class Walk:
    def __init__(self, site, driver, out_dir):
        self.site, self.d, self.out = site, driver, out_dir
        self.allowed = []  # console errors that are expected (history not built)
        self.history = None

    def console(self, page):
        bad = []
        for e in self.d.get_log("browser"):
            if e["level"] != "SEVERE":
                continue
            if any(a in e["message"] for a in self.allowed):
                print(f"note: {page}: expected without history: {e['message']}")
                continue
            bad.append(e["message"])
        assert not bad, f"console errors on {page}: {bad}"

    def shot(self, name):
        path = os.path.join(self.out, f"web-{name}.png")
        self.d.save_screenshot(path)
        print("screenshot " + path)

    def page_state(self, device, path):
        return self.d.execute_script(
            "const n = Number(document.getElementById('cycle').dataset.n);"
            "const e = document.querySelector(`#unit-${arguments[0]} [data-v='${arguments[1]}']`);"
            "return [n, e ? e.textContent : null];", device, path)

    def site_page(self):
        self.d.get(self.site.url)
        assert self.d.find_element("id", "unit-21"), "no DC panel 21"
        v = self.d.execute_script("return document.querySelector('#unit-21 [data-v=\"v\"]').textContent")
        assert v == "53.25", f"DC panel 21 shows {v!r}, the scenario says 53.25"
        labels = self.d.find_element("id", "unit-21").text
        assert "output voltage" in labels and "V" in labels, labels
        cells = self.d.find_elements("css selector", "#unit-1 .grid .cell")
        assert len(cells) == 8, f"{len(cells)} module cells"
        # Live: the page follows the cycles through the event stream.
        start = self.page_state(11, "channels.0.a")[0]
        n, text = until("the site page shows a newer cycle",
                        lambda: (lambda s: s if s[0] > start else None)(self.page_state(11, "channels.0.a")), 30)
        want = support.unit(self.site.cycles[n], 11)["values"]["channels"][0]["a"]
        assert abs(float(text) - want) <= 0.051, f"cycle {n}: page {text}, cycle line {want}"
        self.shot("site")
        self.d.set_window_size(390, 844)
        wide = self.d.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        assert wide <= 1, f"the site page is {wide}px wider than a phone"
        self.shot("site-phone")
        self.d.set_window_size(1280, 1000)
        self.console("site")

    def alarm_rows(self):
        return self.d.execute_script(
            "return [...document.querySelectorAll('#active tbody tr')].map(r => r.dataset.key)")

    def alarms_page(self):
        self.d.get(self.site.url + "alarms")
        until("the active alarms load", lambda: self.d.find_element("id", "active-count").text != "…", 20)
        before = set(self.alarm_rows())
        self.d.execute_script("window.__kept = 42")
        seen = len(self.site.alarms)
        self.site.change({"ac[0].channels[0].a_state": 1})
        raised = self.site.wait(lambda e: e["event"] == "alarm" and e["action"] == "raise" and e["device"] == 11, 30)
        key = f"{raised['device']}|{raised['key']}|{raised['detail']}"
        assert key not in before
        until("the raised alarm shows", lambda: key in self.alarm_rows(), 20)
        row = self.d.find_element("css selector", f"#active tbody tr[data-key='{key}']").text
        assert raised["label"] in row and raised["name"] in row, row
        self.shot("alarms")
        self.site.change({"ac[0].channels[0].a_state": 0})
        self.site.wait(lambda e: e["event"] == "alarm" and e["action"] == "clear" and e["key"] == raised["key"], 30)
        until("the cleared alarm goes", lambda: key not in self.alarm_rows(), 20)
        assert self.d.execute_script("return window.__kept") == 42, "the alarms page was reloaded"
        assert len(self.site.alarms) >= seen + 2
        self.console("alarms")

    def history_page(self):
        # Every cycle reported before the page asks is committed, so it is a
        # point; later ones may or may not be.
        reported = max(self.site.cycles)
        self.d.get(self.site.url + "history?field=21.v")
        note = until("the history plot answers",
                     lambda: (lambda t: t if t and t != "loading…" and "Choose" not in t else None)(
                         self.d.find_element("id", "plot-note").text), 30)
        self.shot("history")
        if "not available" in note:
            self.history = note
            self.console("history")
            return
        points = self.d.execute_script("return Chart.getChart(document.getElementById('chart'))"
                                       ".data.datasets[0].data.length")
        assert points >= reported, f"{points} points for {reported} cycles"
        href = self.d.find_element("id", "csv").get_attribute("href")
        status, csv = support.get(href)
        q = dict(p.split("=", 1) for p in href.split("?", 1)[1].split("&"))
        unq = {k: urllib.parse.unquote(v) for k, v in q.items()}
        cli = subprocess.run([self.site.monitor, "history", "--db", self.site.db, "--from", unq["from"], "--to",
                              unq["to"], "--step", "auto", "--format", "csv", "21.v"],
                             capture_output=True, text=True, check=True).stdout
        assert csv == cli, f"CSV of the page differs from m520s-monitor history:\n{csv[:300]}\n---\n{cli[:300]}"
        self.console("history")


def no_script_site(site):
    status, html = support.get(site.url)
    assert status == 200
    assert 'data-v="v" title="21.v" data-p="2">53.25</td>' in html, "the server-rendered page lacks DC panel 21"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--monitor", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--scenario", required=True)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    d = browser(a.out)
    with open(a.scenario) as f:
        scenario = json.load(f)
    scenario["dc"][0]["v"] = 53.25
    site = support.Site(a.monitor, a.sim, scenario)
    try:
        site.wait(lambda e: e["event"] == "cycle", 30)
        no_script_site(site)
        w = Walk(site, d, a.out)
        try:
            status, _ = support.get(site.url + "api/history?field=21.v")
        except urllib.error.HTTPError as e:
            if e.code == 503:
                w.allowed = ["/api/history", "/api/alarms"]
        w.site_page()
        w.alarms_page()
        w.history_page()
    finally:
        d.quit()
        rc = site.close()
    assert rc == 0, f"the monitor exited {rc}"
    if w.history:
        support.skip("partly: every page passed, but the history plot and its CSV were not checked: " + w.history)
    print("browser test: all pages passed")


if __name__ == "__main__":
    main()
