#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The documents say what the programs do, so that they cannot drift apart:

- every option a program's --help names is in its manual page and in its
  operator's document (the README for morvix, docs/tools.md for the tools);
- every key a running daemon serves in /stats.json, at every depth, is in the
  README's code (as KEY, morvix_KEY or morvix_KEY_total, its metric);
- every key morvix-decode -a --json prints is in morvix-decode(1).

The daemon runs with -a, a registered client and frames passed on, so that
the lists and objects that are empty on an idle station show their keys.

documents_test.py SOURCE_DIR MORVIX MORVIX_GEN MORVIX_CLIENT MORVIX_DECODE
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

OPTION = r"-{1,2}[A-Za-z][\w-]*"


def help_options(program):
    """The options --help names: each line's leading option column, and the
    bracketed options of a usage line."""
    run = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=30)
    options = set()
    for line in (run.stdout + run.stderr).splitlines():
        column = re.match(r"\s+(%s(?:,\s*%s)*)" % (OPTION, OPTION), line)
        if column:
            options.update(re.findall(OPTION, column.group(1)))
        if line.startswith("usage:"):
            options.update(re.findall(r"\[(%s)" % OPTION, line))
    return options


def manual_text(path):
    """A manual page's source as its reader sees the words: \\- as -, no
    font changes or zero-width escapes."""
    text = open(path, encoding="utf-8").read()
    text = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", text)
    return text.replace("\\-", "-").replace("\\&", "").replace("\\|", "")


def markdown_code(path):
    """The README's inline code and code blocks, where names are written."""
    text = open(path, encoding="utf-8").read()
    blocks = re.findall(r"^```[^\n]*\n(.*?)^```", text, re.S | re.M)
    prose = re.sub(r"^```[^\n]*\n.*?^```", "", text, flags=re.S | re.M)
    # A code span may wrap, but never leaves its paragraph.
    inline = [span for paragraph in re.split(r"\n\s*\n", prose)
              for span in re.findall(r"`([^`]+)`", paragraph)]
    return "\n".join(blocks + inline)


def names(text, word):
    return re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(word), text) is not None


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def keys(value, path=""):
    """Every object key at every depth, with where it was found."""
    found = {}
    if isinstance(value, dict):
        for key, inner in value.items():
            found.setdefault(key, path + "." + key)
            for k, where in keys(inner, path + "." + key).items():
                found.setdefault(k, where)
    elif isinstance(value, list):
        for inner in value:
            for k, where in keys(inner, path + "[]").items():
                found.setdefault(k, where)
    return found


def served_stats(morvix, gen, work):
    """/stats.json of a daemon with -a, one registered client and frames."""
    with open(os.path.join(work, "uid.txt"), "w") as f:
        f.write("0123456789abcdef0123456789abcdef01234567\n")
    rx, tcp, http = (free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM),
                     free_port(socket.SOCK_STREAM))
    daemon = subprocess.Popen([morvix, "-a", "-m", str(http), "-r", str(rx), "-t", str(tcp),
                               "-u", "off"], cwd=work, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    base = "http://127.0.0.1:%d/stats.json" % http
    try:
        stats = None
        for _ in range(100):
            try:
                stats = json.loads(urllib.request.urlopen(base, timeout=1).read())
                break
            except OSError:
                time.sleep(0.05)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
            client.sendto(b"hello", ("127.0.0.1", stats["ports"]["distribution"]["port"]))
            subprocess.run([gen, "--frames", "4", "--gap", "3000", "--tail", "40000", "--seed", "3",
                            "--udp", "127.0.0.1:%d" % rx], check=True, capture_output=True)
            for _ in range(100):
                stats = json.loads(urllib.request.urlopen(base, timeout=5).read())
                if stats["recent_frames"] and stats["client_table"]:
                    break
                time.sleep(0.05)
        return stats
    finally:
        daemon.terminate()
        daemon.wait()


def decode_json_keys(gen, decode, work):
    samples = os.path.join(work, "frames.samples")
    # Through the channel model, so that the improved reading reads them.
    subprocess.run([gen, "--frames", "2", "--channel", "0.3", "--phase", "2000", "--gap", "3000",
                    "--tail", "3000", "--seed", "5", "--out", samples], check=True,
                   capture_output=True)
    run = subprocess.run([decode, "-a", "--json", samples], check=True, capture_output=True,
                         text=True)
    found = {}
    for line in run.stdout.splitlines():
        frame = json.loads(line)
        if frame["soft"] is None:
            found["a frame read softly"] = "(none was)"
        found.update(keys(frame))
    return found


def main():
    source, morvix, gen, client, decode = sys.argv[1:6]
    readme = os.path.join(source, "README.md")
    tools_doc = os.path.join(source, "docs", "tools.md")
    manual = lambda page: os.path.join(source, "packaging", page)
    documents = {
        morvix: [(manual("morvix.8"), manual_text), (readme, markdown_code)],
        gen: [(manual("morvix-gen.1"), manual_text), (tools_doc, markdown_code)],
        client: [(manual("morvix-client.1"), manual_text), (tools_doc, markdown_code)],
        decode: [(manual("morvix-decode.1"), manual_text), (tools_doc, markdown_code)],
    }
    faults = []
    checked = 0
    for program, docs in documents.items():
        options = help_options(program)
        checked += len(options)
        if len(options) < 3:
            faults.append("%s --help: no options found (%s)" % (program, sorted(options)))
        for path, read in docs:
            text = read(path)
            for option in sorted(options):
                if not names(text, option):
                    faults.append("%s: %s --help names %s" % (
                        os.path.relpath(path, source), os.path.basename(program), option))

    work = tempfile.mkdtemp(prefix="morvix-documents-")
    try:
        stats = served_stats(morvix, gen, work)
        code = markdown_code(readme)
        served = keys(stats)
        if not stats["recent_frames"] or not stats["client_table"] or not any(
                f["soft"] for f in stats["recent_frames"]):
            faults.append("the daemon passed on no frame read softly or took no client: %s"
                          % json.dumps(stats)[:300])
        for key, where in sorted(served.items()):
            if not any(names(code, k) for k in (key, "morvix_" + key, "morvix_%s_total" % key)):
                faults.append("README.md: /stats.json serves %s (at %s)" % (key, where))

        decode_page = manual_text(manual("morvix-decode.1"))
        for key, where in sorted(decode_json_keys(gen, decode, work).items()):
            if not names(decode_page, key):
                faults.append("morvix-decode.1: morvix-decode -a --json prints %s (at %s)"
                              % (key, where))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for fault in faults:
        print("not documented: " + fault)
    print("%d options, %d /stats.json keys checked; %d not documented"
          % (checked, len(served), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
