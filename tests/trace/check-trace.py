#!/usr/bin/env python3
"""Checks a support trace (ethernet-loader-cli --trace) against the run's
report: every write frame the report counts (blocks written plus retries)
is in the trace with a good checksum; the blocks go out in rising address
order, blank ones skipped, 0x08000 last; the boot-mode request decodes as
Modbus/TCP function 16 with its password masked by '*' and the password
itself nowhere in the file; and with --rtt, every bootloader answer came
that round trip (within 10 %) after its request.

usage: check-trace.py TRACE REPORT [--password-file F] [--modbus-port N] [--boot-port N] [--rtt MS] [--plugin LUA]

The meter is the address the file is named after (<address>-<start>.pcapng).
Exit status 0 when every check holds, 1 otherwise, 77 without tshark.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PLUGIN = os.path.join(HERE, "..", "..", "packaging", "wireshark", "meterboot.lua")
APPLICATION_START = 0x08000
PASSWORD_OFFSET = 25  # in the boot-mode request's TCP payload, up to its end


def fields(args, display_filter, names):
    argv = ["tshark", "-2", "-n", "-X", "lua_script:" + args.plugin, "-r", args.trace]
    if args.modbus_port != 502:
        argv += ["-d", "tcp.port==%d,mbtcp" % args.modbus_port]
    if args.boot_port != 5555:
        argv += ["-d", "udp.port==%d,meterboot" % args.boot_port]
    argv += ["-Y", display_filter, "-T", "fields", "-E", "separator=|", "-E", "occurrence=f"]
    for name in names:
        argv += ["-e", name]
    out = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        sys.exit("tshark: " + out.stderr.strip())
    return [line.split("|") for line in out.stdout.splitlines()]


def meter_entry(report, address):
    with open(report, encoding="utf-8") as f:
        meters = json.load(f)["meters"]
    found = [m for m in meters if m.get("address") == address]
    if len(found) != 1:
        sys.exit("the report has %d entries for %s" % (len(found), address))
    return found[0]


def check_writes(args, meter, problems):
    writes = fields(args, "meterboot.cmd == \"W\"", ["meterboot.address", "meterboot.checksum.status"])
    want = (meter.get("blocks_written") or 0) + (meter.get("retries") or 0)
    if len(writes) != want:
        problems.append("%d write frames, the report counts %d (blocks written plus retries)" % (len(writes), want))
    bad = [a for a, status in writes if status != "1"]
    if bad:
        problems.append("write frames with a bad checksum: " + ", ".join(bad))
    blocks = []
    for address, _ in writes:  # a retry repeats its block at once
        if not blocks or blocks[-1] != int(address, 16):
            blocks.append(int(address, 16))
    if blocks and (blocks[-1] != APPLICATION_START or blocks[:-1] != sorted(set(blocks[:-1])) or
                   APPLICATION_START in blocks[:-1]):
        problems.append("blocks not in rising order with 0x08000 last: " + " ".join("%05X" % b for b in blocks))
    return len(writes)


def check_boot_mode_request(args, problems):
    found = fields(args, "mbtcp && modbus.func_code == 16 && tcp.dstport == %d" % args.modbus_port, ["tcp.payload"])
    if not found:
        problems.append("no Modbus/TCP function 16 request to port %d" % args.modbus_port)
        return
    password = open(args.password_file, "rb").read().rstrip(b"\r\n") if args.password_file else b""
    for (payload,) in found:
        area = bytes.fromhex(payload.replace(":", ""))[PASSWORD_OFFSET:]
        shown = area.rstrip(b"\0")
        if not shown or shown.strip(b"*") or (password and len(shown) != len(password)):
            problems.append("the boot-mode request's password field is %r, not one '*' per character" % shown)
    if password:
        with open(args.trace, "rb") as f:
            if password in f.read():
                problems.append("the password is in the trace")


def check_round_trip(args, problems):
    times = [float(t) * 1000 for (t,) in fields(args, "meterboot.time", ["meterboot.time"])]
    if not times:
        problems.append("no bootloader answer matched with its request")
    off = [round(t) for t in times if abs(t - args.rtt) > args.rtt / 10]
    if off:
        problems.append("answers not %d ms (within 10 %%) after their requests: %s ms" % (args.rtt, off))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("trace")
    parser.add_argument("report")
    parser.add_argument("--password-file")
    parser.add_argument("--modbus-port", type=int, default=502)
    parser.add_argument("--boot-port", type=int, default=5555)
    parser.add_argument("--rtt", type=int, help="the round trip the meter was run with, in ms")
    parser.add_argument("--plugin", default=PLUGIN)
    args = parser.parse_args()
    if shutil.which("tshark") is None:
        print("skipped: no tshark")
        return 77
    address = os.path.basename(args.trace).split("-")[0]
    meter = meter_entry(args.report, address)
    problems = []
    writes = check_writes(args, meter, problems)
    check_boot_mode_request(args, problems)
    times = check_round_trip(args, problems) if args.rtt else []
    for p in problems:
        print("%s: %s" % (os.path.basename(args.trace), p))
    timed = ", %d answers timed" % len(times) if args.rtt else ""
    print("%s: %s, %d write frames%s, %s" % (
        os.path.basename(args.trace), meter.get("result"), writes, timed, "bad" if problems else "good"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
