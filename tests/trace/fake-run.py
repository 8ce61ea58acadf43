#!/usr/bin/env python3
"""Writes what a traced update of one meter leaves, without a meter: the
trace <address>-<start>.pcapng (boot-mode request with its password masked,
"VER?", erase, four blocks with one retry, RESET) and the run's report, so
that check-trace.py can be tried by hand or taught to catch a fault:

  fake-run.py DIR [--rtt MS] [--fault clear-password|block-order|count]

--fault clear-password sends the password unmasked, block-order writes
0x08000 first, count makes the report claim one retry fewer.
"""
import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapng  # noqa: E402

TOOL, METER = "127.0.0.1", "127.0.0.2"
PASSWORD = b"1234"  # the password file fake-run writes beside the trace


def boot_mode_request(password):
    head = bytes([0x01, 0xF0, 0, 0, 0, 0x25, 0x01, 0x10, 0x45, 0x71, 0, 0x0F, 0x1E]) + b"GoToBootMode"
    return head + password + b"\0" * (18 - len(password))  # 15 registers in all


def write_frame(address):
    frame = b"W" + address.to_bytes(3, "big") + bytes([address >> 10 & 0xFF]) * 1024
    return frame + bytes([-sum(frame) & 0xFF])


def exchange(fault):
    password = PASSWORD if fault == "clear-password" else b"*" * len(PASSWORD)
    blocks = [0x8400, 0x8800, 0x8800, 0x9000, 0x8000]  # 0x08C00 blank, 0x08800 retried
    if fault == "block-order":
        blocks = [0x8000] + blocks[:-1]
    udp = [(b"VER?", b"TALVO-ETH-BOOTLOADER-V1.00"), (b"E\x08\x1d\x96", b"OK\r\n")]
    udp += [(write_frame(b), None if i == 1 else b"OK\r\n") for i, b in enumerate(blocks)]  # the first try unanswered
    return boot_mode_request(password), udp + [(b"RESET", None)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--rtt", type=int, default=5)
    parser.add_argument("--fault", choices=["clear-password", "block-order", "count"])
    args = parser.parse_args()
    modbus, udp = exchange(args.fault)
    t, rtt = 1796000000.0, args.rtt / 1000
    answer = bytes([0x01, 0xF0, 0, 0, 0, 0x06, 0x01, 0x10, 0x45, 0x71, 0, 0x0F])
    packets = [(t, pcapng.tcp(TOOL, 40000, METER, 502, modbus)),
               (t + rtt, pcapng.tcp(METER, 502, TOOL, 40000, answer, seq=1, ack=1 + len(modbus)))]
    t += 2
    for request, reply in udp:
        packets.append((t, pcapng.udp(TOOL, 40001, METER, 5555, request)))
        if reply:
            packets.append((t + rtt, pcapng.udp(METER, 5555, TOOL, 40001, reply)))
        t += rtt + 0.06
    pcapng.write(os.path.join(args.dir, METER + "-20261208T130000Z.pcapng"), packets)
    meter = {"address": METER, "result": "updated", "blocks_written": 4, "retries": 0 if args.fault == "count" else 1}
    with open(os.path.join(args.dir, "report.json"), "w") as f:
        json.dump({"meters": [meter]}, f)
    with open(os.path.join(args.dir, "password"), "wb") as f:
        f.write(PASSWORD + b"\n")


if __name__ == "__main__":
    main()
