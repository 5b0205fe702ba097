"""What the dashboard's tests share: m520s-sim on a pseudo-terminal, the
monitor on a loopback port of its own reading its JSON lines, and a skip
(exit 77, with its reason) when a program the test needs is missing."""

import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SKIP = 77
SCALE = max(1.0, float(os.environ.get("M520S_TIME_SCALE", "1") or 1))


def skip(reason):
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIP)


def need(path, package):
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        skip(f"{path} missing (Debian package {package}; scripts/install-deps.sh installs it)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def scaled(seconds):
    return seconds * SCALE


def get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=scaled(timeout)) as r:
        return r.status, r.read().decode("utf-8")


class Site:
    """The simulator and the monitor, stopped (by their PIDs) on exit."""

    def __init__(self, monitor, sim, scenario, poll_ms=200, http=None, sim_args=()):
        self.dir = tempfile.mkdtemp(prefix="m520s-web-")
        self.monitor = monitor
        self.scenario_path = os.path.join(self.dir, "scenario.json")
        self.scenario = scenario
        self.write_scenario()
        self.sim = subprocess.Popen([sim, "--pty", "--scenario", self.scenario_path, *sim_args],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = self.sim.stdout.readline().strip()
        if not first.startswith("pty: "):
            raise RuntimeError("m520s-sim said: " + first + self.sim.stderr.read())
        self.port = free_port()
        self.db = os.path.join(self.dir, "site.db")
        cfg = {"port": first[5:], "db": self.db, "poll_ms": poll_ms,
               "device": {"data_id": 1, "acSetting": [{"data_id": 11}, {"data_id": 12}],
                          "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}},
               "http": dict(http or {}, listen=f"127.0.0.1:{self.port}")}
        self.config = os.path.join(self.dir, "site.json")
        with open(self.config, "w") as f:
            json.dump(cfg, f)
        self.proc = subprocess.Popen([monitor, "--config", self.config, "--json"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.events = queue.Queue()
        self.cycles = {}
        self.alarms = []
        threading.Thread(target=self._read, daemon=True).start()
        self.url = self.wait(lambda e: e["event"] == "http", 30)["url"]

    def write_scenario(self):
        with open(self.scenario_path, "w") as f:
            json.dump(self.scenario, f)

    def change(self, path_value):
        """Sets scenario keys (as "ac[0].channels[0].a_state": 1) and has the simulator re-read it."""
        for path, value in path_value.items():
            node = self.scenario
            steps = path.replace("]", "").replace("[", ".").split(".")
            for s in steps[:-1]:
                node = node[int(s)] if isinstance(node, list) else node[s]
            last = steps[-1]
            node[int(last) if isinstance(node, list) else last] = value
        self.write_scenario()
        self.sim.send_signal(signal.SIGHUP)

    def _read(self):
        for line in self.proc.stdout:
            try:
                e = json.loads(line)
            except ValueError:
                continue
            self._on_event(e)
        self.events.put(None)

    def _on_event(self, e):
        if e.get("event") == "cycle":
            self.cycles[e["n"]] = e
        if e.get("event") == "alarm":
            self.alarms.append(e)
        self.events.put(e)

    def wait(self, pred, seconds):
        deadline = time.monotonic() + scaled(seconds)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for an event; stderr: " + self.stderr())
            try:
                e = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if e is None:
                raise AssertionError("the monitor ended: " + self.stderr())
            if pred(e):
                return e

    def stderr(self):
        if self.proc.poll() is None:
            return "(still running)"
        return self.proc.stderr.read()

    def close(self):
        """Stops both programs; the monitor's exit status."""
        for p in (self.proc, self.sim):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=scaled(30))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        return self.proc.returncode

def unit(cycle, device):
    return next(u for u in cycle["units"] if u["device"] == device)
