"""Writes a pcapng file as the tool's --trace does: raw IPv4 packets
(LINKTYPE_RAW), each with its real addresses and ports, timestamps in
microseconds. Standard library only, so a test makes its file when it runs."""
import socket
import struct

LINKTYPE_RAW = 101


def _block(kind, body):
    body += b"\0" * (-len(body) % 4)
    total = 12 + len(body)
    return struct.pack("<II", kind, total) + body + struct.pack("<I", total)


def _ip_checksum(header):
    total = sum(struct.unpack("!%dH" % (len(header) // 2), header))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(src, dst, proto, payload):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, proto, 0,
                         socket.inet_aton(src), socket.inet_aton(dst))
    return header[:10] + struct.pack("!H", _ip_checksum(header)) + header[12:] + payload


def udp(src, sport, dst, dport, payload):
    # A zero UDP checksum is "none" in IPv4: Wireshark does not flag it.
    return ipv4(src, dst, 17, struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload)


def tcp(src, sport, dst, dport, payload, seq=1, ack=1):
    header = struct.pack("!HHIIBBHHH", sport, dport, seq, ack, 5 << 4, 0x18, 65535, 0, 0)  # PSH, ACK
    return ipv4(src, dst, 6, header + payload)


def write(path, packets):
    """packets: (seconds since the epoch, IPv4 packet) in order."""
    out = _block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += _block(1, struct.pack("<HHI", LINKTYPE_RAW, 0, 0))
    for when, packet in packets:
        micros = int(round(when * 1e6))
        out += _block(6, struct.pack("<IIIII", 0, micros >> 32, micros & 0xFFFFFFFF, len(packet), len(packet)) + packet)
    with open(path, "wb") as f:
        f.write(out)
