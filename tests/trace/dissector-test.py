#!/usr/bin/env python3
"""The Wireshark plugin against a trace made here: an update-like exchange
on loopback with a write whose checksum is wrong, a write left unanswered,
a copied answer and a cut one, on the bootloader's own port and (Decode As) on another.
Each frame's decode is one row of the table below.

usage: dissector-test.py PLUGIN     (exit 77: no tshark here)
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapng  # noqa: E402

TOOL, METER, TOOL_PORT = "127.0.0.1", "127.0.0.2", 40001
T0 = 1796000000.0


def block(fill):
    return bytes([fill]) * 1024


def checksum(frame):
    return (-sum(frame)) & 0xFF


def write_frame(address, data, good=True):
    frame = b"W" + address.to_bytes(3, "big") + data
    return frame + bytes([checksum(frame) ^ (0 if good else 0x5A)])


OK, ER_CS = b"OK\r\n", b"ERCS"
IDENTITY = b"TALVO-ETH-BOOTLOADER-V1.00"
# (time, from the tool?, payload, expected fields)
# fields: cmd | kind | address | erase first,last | checksum status | identity | answer | request in | response in |
#         response time in ms | expert messages
EXCHANGE = [
    (0.000, True, b"VER?", "VER?|1|||||||2||"),
    (0.004, False, IDENTITY, "|2||||TALVO-ETH-BOOTLOADER-V1.00||1||4|"),
    (0.010, True, b"E\x08\x1d\x96", "E|3||0x08,0x1d|1||||4||"),
    (0.510, False, OK, "|4|||||OK|3||500|"),
    (0.600, True, write_frame(0x8400, block(0x11)), "W|5|0x008400||1||||6||"),
    (0.612, False, OK, "|6|||||OK|5||12|"),
    (0.700, True, write_frame(0x8800, block(0x22), good=False), "W|5|0x008800||0||||8||Bad checksum"),
    (0.705, False, ER_CS, "|6|||||ER|7||5|"),
    (0.800, True, write_frame(0x8800, block(0x22)), "W|5|0x008800||1||||10||"),
    (0.815, False, OK, "|6|||||OK|9||15|"),
    (0.830, False, OK, "|6|||||OK|9|||late or copied answer"),
    (0.900, True, write_frame(0x8000, block(0x33)), "W|5|0x008000||1||||||no answer before the next request"),
    (0.960, True, write_frame(0x8000, block(0x33)), "W|5|0x008000||1||||14||"),
    (0.971, False, OK, "|6|||||OK|13||11|"),
    (1.000, True, b"RESET", "RESET|7|||||||||"),  # unanswered, as RESET is: no note
    (1.100, True, write_frame(0x9000, block(0x44)), "W|5|0x009000||1||||17||"),
    (1.102, False, b"OK\r", "|6|||||OK|16||2|a write answer is 4 bytes"),
]
FIELDS = ["meterboot.cmd", "meterboot.kind", "meterboot.address", "meterboot.erase.first", "meterboot.erase.last",
          "meterboot.checksum.status", "meterboot.identity", "meterboot.answer", "meterboot.request_in",
          "meterboot.response_in", "meterboot.time", "_ws.expert.message"]


def make_trace(path, boot_port):
    packets = []
    for when, from_tool, payload, _ in EXCHANGE:
        ends = (TOOL, TOOL_PORT, METER, boot_port) if from_tool else (METER, boot_port, TOOL, TOOL_PORT)
        packets.append((T0 + when, pcapng.udp(*ends, payload)))
    pcapng.write(path, packets)


def row(values):
    """The tshark row in the table's form: erase sectors joined, times in whole ms."""
    v = dict(zip(FIELDS, values))
    erase = ",".join(x for x in (v["meterboot.erase.first"], v["meterboot.erase.last"]) if x)
    ms = str(round(float(v["meterboot.time"]) * 1000)) if v["meterboot.time"] else ""
    experts = ",".join(m for m in v["_ws.expert.message"].split(",") if m.strip())
    return "|".join([v["meterboot.cmd"], v["meterboot.kind"], v["meterboot.address"], erase,
                     v["meterboot.checksum.status"], v["meterboot.identity"], v["meterboot.answer"],
                     v["meterboot.request_in"], v["meterboot.response_in"], ms, experts])


def decode(plugin, trace, extra):
    argv = ["tshark", "-2", "-n", "-X", "lua_script:" + plugin, "-r", trace, *extra, "-T", "fields",
            "-E", "separator=|", "-E", "occurrence=a", "-E", "aggregator=,"]
    for name in FIELDS:
        argv += ["-e", name]
    out = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    if out.returncode != 0 or "Lua" in out.stderr and "rror" in out.stderr:
        sys.exit("tshark failed: " + out.stderr)
    return [row(line.split("|")) for line in out.stdout.splitlines()]


def main():
    if shutil.which("tshark") is None:
        print("skipped: no tshark")
        return 77
    plugin = os.path.abspath(sys.argv[1])
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        for port, extra in ((5555, []), (6000, ["-d", "udp.port==6000,meterboot"])):
            trace = os.path.join(scratch, "trace-%d.pcapng" % port)
            make_trace(trace, port)
            got = decode(plugin, trace, extra)
            want = [expected for *_, expected in EXCHANGE]
            if len(got) != len(want):
                print("port %d: %d frames decoded, %d sent" % (port, len(got), len(want)))
                failures += 1
            for number, (g, w) in enumerate(zip(got, want), 1):
                if g != w:
                    print("port %d, frame %d:\n  got  %s\n  want %s" % (port, number, g, w))
                    failures += 1
    print("%d passed, %d failed" % (2 * len(EXCHANGE) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
