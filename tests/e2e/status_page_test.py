#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The status page in a real browser: headless Chromium loads / from a running
daemon fed by morvix-gen, lets the page refresh itself, and must show the
relayed-frame count that /metrics reports, the reading mode, the recent
frames of /stats.json, newest first, and the listening ports, the
distribution port the system chose among them. Keeps a screenshot of the
page.

status_page_test.py MORVIX MORVIX_GEN SCREENSHOT    (exit 77: no Chromium here)
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
import urllib.request

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def chromium(url, profile, *extra):
    command = [shutil.which("chromium"), *CHROMIUM_FLAGS, "--user-data-dir=" + profile,
               "--virtual-time-budget=4000", "--window-size=1280,820", *extra, url]
    return subprocess.run(command, capture_output=True, text=True, timeout=120).stdout


def main():
    morvix, gen, screenshot = sys.argv[1:4]
    if shutil.which("chromium") is None:
        print("no chromium: install Debian's chromium package")
        return 77
    work = tempfile.mkdtemp(prefix="morvix-page-")
    with open(os.path.join(work, "uid.txt"), "w") as f:
        f.write("0123456789abcdef0123456789abcdef01234567\n")
    rx, tcp, http = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM), free_port(
        socket.SOCK_STREAM)
    daemon = subprocess.Popen([morvix, "-m", str(http), "-r", str(rx), "-t", str(tcp), "-u", "off"], cwd=work,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    base = "http://127.0.0.1:%d/" % http
    try:
        for _ in range(100):
            try:
                urllib.request.urlopen(base + "metrics", timeout=1).read()
                break
            except OSError:
                time.sleep(0.05)
        subprocess.run([gen, "--frames", "25", "--repeat", "2", "--broken", "0.2", "--ber", "0.002",
                        "--gap", "3000", "--gap-fill", "noise", "--seed", "7", "--rate", "2000000",
                        "--udp", "127.0.0.1:%d" % rx], check=True, capture_output=True)
        time.sleep(0.5)
        metrics = urllib.request.urlopen(base + "metrics", timeout=5).read().decode()
        relayed = int(re.search(r"^morvix_frames_relayed_total (\d+)$", metrics, re.M).group(1))
        if relayed == 0:
            print("the daemon relayed nothing")
            return 1

        stats = json.loads(urllib.request.urlopen(base + "stats.json", timeout=5).read())
        recent = stats["recent_frames"]
        by_reading = "%d / %d" % (stats["frames_by_reading"]["improved"],
                                  stats["frames_by_reading"]["literal"])
        dom = chromium(base, os.path.join(work, "profile1"), "--dump-dom")
        shown = re.search(r'id="frames_relayed">([^<]*)<', dom)
        state = re.search(r'id="state"[^>]*>([^<]*)<', dom)
        mode = re.search(r'id="mode">([^<]*)<', dom)
        readings = re.search(r'id="frames_by_reading">([^<]*)<', dom)
        table = re.search(r'id="recent_frames">(.*?)</tbody>', dom, re.S)
        rows = re.findall(r'<td class="hex" title="([0-9a-f]+)">', table.group(1)) if table else []
        port_list = re.search(r'id="ports">(.*?)</dl>', dom, re.S)
        shown_ports = dict(re.findall(r'id="port_(\w+)">([^<]*)<', port_list.group(1))) \
            if port_list else {}
        chromium(base, os.path.join(work, "profile2"), "--screenshot=" + screenshot)
        print("metrics: %d relayed; page: %s relayed, state %s; screenshot %s"
              % (relayed, shown and shown.group(1), state and state.group(1), screenshot))
        if not shown or shown.group(1).replace(",", "") != str(relayed):
            return 1
        if not state or state.group(1) != "decoding":
            return 1
        if not readings or readings.group(1) != by_reading:
            print("frames by reading shown: %s, served: %s" % (readings and readings.group(1), by_reading))
            return 1
        if not mode or mode.group(1) != "literal reading":
            print("mode shown: %s" % (mode and mode.group(1)))
            return 1
        if len(recent) != min(20, relayed) or rows != [f["frame"] for f in reversed(recent)]:
            print("recent frames: %d in stats.json, %d rows on the page" % (len(recent), len(rows)))
            return 1
        distribution = stats["ports"]["distribution"]["port"]
        expected_ports = {"input": "UDP 0.0.0.0:%d" % rx, "announcement": "TCP 0.0.0.0:%d" % tcp,
                          "distribution": "UDP 0.0.0.0:%d" % distribution,
                          "status": "TCP 127.0.0.1:%d" % http}
        if shown_ports != expected_ports or not distribution:
            print("ports shown: %s, expected %s" % (shown_ports, expected_ports))
            return 1
        return 0 if os.path.getsize(screenshot) > 0 else 1
    finally:
        daemon.terminate()
        daemon.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
