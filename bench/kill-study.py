#!/usr/bin/env python3
"""The kill study of the command line's report, kill after kill: a run of 32
simulated meters (one meter-sim, 16 at once, --back-within 0) is killed with
SIGKILL at a moment drawn from the seed within its run; its report must list
every meter as updated, interrupted or not started, and a retry of it
(--retry-failed) must update every meter left, so that each meter's flash
equals the firmware. Prints a line per kill and the totals; exits 1 when any
kill broke that. The same study as the test
CliEndToEnd.AKilledRunLeavesATrueReportAndItsRetryUpdatesEveryMeter, with as
many kills as asked, one after the other (about 20 s each). No root needed:
the meters serve ports this machine gives out as free.

usage: bench/kill-study.py [--kills K] [--seed S] [--build DIR]
"""
import argparse
import collections
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import time

METERS = 32
JOBS = 16
# Two waves of 16 meters of about 8 s each: within 14.5 s the run is on.
KILL_WITHIN_S = (0.2, 14.5)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def small_firmware(path):
    """24 blocks of firmware, as raw bytes, as the tests write it."""
    image = bytearray(b"\xff" * 0x80000)
    for a in range(0x08000, 0x08000 + 24 * 1024):
        image[a] = (a * 13 + (a >> 10)) & 0xFF
    with open(path, "wb") as f:
        f.write(image)


def start_sim(sim, first, ports, firmware, log):
    p = subprocess.Popen([sim, "--modbus-port", str(ports[0]), "--boot-port", str(ports[1]), "--address", first,
                          "--meters", str(METERS), "--boot-delay", "300", "--boot-time", "0.2", "--image", firmware,
                          "--log", log], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if '"ready":true' not in p.stdout.readline():
        sys.exit("meter-sim did not start")
    return p


def sim_summary(p):
    p.send_signal(signal.SIGINT)
    out, _ = p.communicate(timeout=20)
    for line in reversed(out.splitlines()):
        if '"summary"' in line:
            return json.loads(line)["summary"]
    return []


def half_written(log):
    """Meters whose log shows blocks written and no RESET after them."""
    half = set()
    with open(log) as f:
        for line in f:
            e = json.loads(line)
            if e["command"] == "W":
                half.add(e["meter"])
            elif e["command"] == "RESET":
                half.discard(e["meter"])
    return half


def one_kill(k, moment_s, tools, work, env):
    cli, sim_path, firmware = tools
    ports = (free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM))
    hosts = ["127.201.%d.%d" % (k, 2 + i) for i in range(METERS)]
    report, retry, log = (os.path.join(work, "%s%d.%s" % (n, k, e))
                          for n, e in (("killed", "json"), ("retry", "json"), ("sim", "log")))
    port_args = ["--modbus-port", str(ports[0]), "--boot-port", str(ports[1])]
    common = ["--image", firmware, "--back-within", "0"] + port_args
    sim = start_sim(sim_path, hosts[0], ports, firmware, log)
    run = subprocess.Popen([cli, "update", "--jobs", str(JOBS), "--report", report] + common + hosts,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    time.sleep(moment_s)
    run.send_signal(signal.SIGKILL)
    run.wait()
    time.sleep(1)  # a meter reset just before the kill is back after its boot time (0.2 s)
    with open(report) as f:
        r = json.load(f)
    results = collections.Counter(m["result"] for m in r["meters"])
    stages = collections.Counter(m["stage"] for m in r["meters"] if m["result"] == "interrupted")
    true = ([m["address"] for m in r["meters"]] == hosts
            and set(results) <= {"updated", "interrupted", "not-started"})
    merged = subprocess.run([cli, "merge-reports", report], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    half = len(half_written(log))
    begun = time.monotonic()
    again = subprocess.run([cli, "update", "--retry-failed", report, "--report", retry] + common,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    took = time.monotonic() - begun
    summary = sim_summary(sim)
    with open(retry) as f:
        r2 = json.load(f)
    retried = [m["address"] for m in r2["meters"]]
    updated = sum(m["result"] == "updated" for m in r2["meters"])
    matches = sum(m["flash"] == "match" for m in summary)
    left = [m["address"] for m in r["meters"] if m["result"] != "updated"]
    ok = (true and (merged.returncode == 1) == bool(left) and again.returncode == 0 and retried == left
          and updated == len(left) and matches == METERS)
    print("%4d %9.2f %7d %11d %11d %11d   %-44s %7d %7d %6.1f %5d/%d  %s"
          % (k, moment_s, results["updated"], results["interrupted"], results["not-started"], half,
             ", ".join("%s %d" % s for s in sorted(stages.items())) or "-", len(retried), updated, took, matches,
             METERS, "ok" if ok else "BROKEN"), flush=True)
    return ok, results, half


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=10)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--build", default=os.path.join(root, "build"))
    args = parser.parse_args()
    tools = [os.path.join(args.build, "cli", "ethernet-loader-cli"), os.path.join(args.build, "sim", "meter-sim")]
    for t in tools:
        if not os.access(t, os.X_OK):
            sys.exit("%s missing: cmake --build %s --target ethernet-loader-cli meter-sim" % (t, args.build))
    draw = random.Random(args.seed)
    with tempfile.TemporaryDirectory() as work:
        firmware = os.path.join(work, "firmware.bin")
        small_firmware(firmware)
        env = dict(os.environ, LOADER_PASSWORD="1234", XDG_STATE_HOME=os.path.join(work, "state"))
        print("seed %d, %d meters a run, %d at once; the moment of each kill in seconds after the start"
              % (args.seed, METERS, JOBS))
        print("kill    moment updated interrupted not-started half-written   interrupted while"
              "                            retried updated retry-s flash")
        totals = collections.Counter()
        broken = 0
        for k in range(1, args.kills + 1):
            ok, results, half = one_kill(k, draw.uniform(*KILL_WITHIN_S), tools + [firmware], work, env)
            totals.update(results)
            totals["half-written"] += half
            broken += not ok
        print("%d kills: %d meters updated before the kill, %d interrupted (%d of them half-written), %d not "
              "started; %d kills broke the report or the retry"
              % (args.kills, totals["updated"], totals["interrupted"], totals["half-written"],
                 totals["not-started"], broken))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
