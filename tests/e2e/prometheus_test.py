#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A real Prometheus server scrapes a running daemon fed by morvix-gen: its
HTTP API must report the frames the daemon relayed, the target up, and the
packaged alerting rules loaded. Prometheus runs on a free loopback port with
a configuration and storage of its own in a temporary directory.

prometheus_test.py MORVIX MORVIX_GEN RULES    (exit 77: no prometheus here)
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

WAIT_SECONDS = 60


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url):
    return urllib.request.urlopen(url, timeout=5).read().decode()


def query(api, expr):
    """The instant vector of expr as {labels: value}; empty when Prometheus
    is not answering yet."""
    try:
        answer = json.loads(get(api + "query?" + urllib.parse.urlencode({"query": expr})))
    except (OSError, ValueError):
        return {}
    return {json.dumps(r["metric"], sort_keys=True): float(r["value"][1])
            for r in answer.get("data", {}).get("result", [])}


def wait_for(what, probe):
    """probe() until it gives something true, at most WAIT_SECONDS."""
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        result = probe()
        if result:
            return result
        time.sleep(0.5)
    print("gave up after %d s waiting for %s" % (WAIT_SECONDS, what))
    return None


def main():
    morvix, gen, rules = sys.argv[1:4]
    prometheus = shutil.which("prometheus")
    if prometheus is None:
        print("no prometheus: install Debian's prometheus package")
        return 77
    work = tempfile.mkdtemp(prefix="morvix-prometheus-")
    with open(os.path.join(work, "uid.txt"), "w") as f:
        f.write("0123456789abcdef0123456789abcdef01234567\n")
    rx, tcp = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
    http, web = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_STREAM)
    with open(os.path.join(work, "prometheus.yml"), "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                "rule_files:\n  - %s\n"
                "scrape_configs:\n  - job_name: morvix\n    static_configs:\n"
                "      - targets: ['127.0.0.1:%d']\n" % (rules, http))
    processes = []
    try:
        processes.append(subprocess.Popen(
            [morvix, "-m", str(http), "-r", str(rx), "-t", str(tcp), "-u", "off"], cwd=work,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_for("the daemon's /metrics", lambda: _answers(http)):
            return 1
        subprocess.run([gen, "--frames", "12", "--gap", "3000", "--gap-fill", "noise", "--seed",
                        "3", "--tail", "40000", "--udp", "127.0.0.1:%d" % rx],
                       check=True, capture_output=True)
        relayed = wait_for("the daemon to relay the frames", lambda: _relayed(http))
        if not relayed:
            return 1

        with open(os.path.join(work, "prometheus.log"), "w") as log:
            processes.append(subprocess.Popen(
                [prometheus, "--config.file=" + os.path.join(work, "prometheus.yml"),
                 "--storage.tsdb.path=" + os.path.join(work, "data"),
                 "--web.listen-address=127.0.0.1:%d" % web], cwd=work,
                stdout=log, stderr=subprocess.STDOUT))
        api = "http://127.0.0.1:%d/api/v1/" % web

        seen = wait_for("morvix_frames_relayed_total through Prometheus",
                        lambda: relayed in query(api, "morvix_frames_relayed_total").values())
        up = query(api, 'up{job="morvix"}')
        loaded = json.loads(get(api + "rules"))["data"]["groups"]
        alerts = sorted(r["name"] for g in loaded for r in g["rules"] if r["type"] == "alerting")
        print("daemon: %d relayed; Prometheus: %s, up %s; alerting rules %s"
              % (relayed, "the same" if seen else "not seen", list(up.values()), alerts))
        if not seen or list(up.values()) != [1.0]:
            with open(os.path.join(work, "prometheus.log")) as f:
                print(f.read()[-3000:])
            return 1
        expected = {"MorvixDown", "MorvixInputSilent", "MorvixNoFrames", "MorvixUpstreamNotFound",
                    "MorvixUpstreamFeedOff", "MorvixKernelDrops"}
        return 0 if expected <= set(alerts) else 1
    finally:
        for p in reversed(processes):
            p.terminate()
            p.wait()
        shutil.rmtree(work, ignore_errors=True)


def _answers(port):
    try:
        return "morvix_" in get("http://127.0.0.1:%d/metrics" % port)
    except OSError:
        return False


def _relayed(port):
    """The daemon's relayed-frame count once it is 12, else None."""
    try:
        metrics = get("http://127.0.0.1:%d/metrics" % port)
    except OSError:
        return None
    m = re.search(r"^morvix_frames_relayed_total (\d+)$", metrics, re.M)
    return float(m.group(1)) if m and int(m.group(1)) == 12 else None


if __name__ == "__main__":
    sys.exit(main())
