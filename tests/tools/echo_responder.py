#!/usr/bin/python3
"""Answers ICMP echo requests from a raw socket, in place of the kernel.

Run it in a network namespace whose kernel echo replies are switched off. It can hold each
reply back for a while, and it can spoil the checksum of the replies. It prints "ready" once
its socket is open, then serves until it is terminated.
"""

import argparse
import socket
import struct
import time


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--corrupt-checksum", action="store_true")
    args = parser.parse_args()
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    print("ready", flush=True)
    while True:
        packet, sender = sock.recvfrom(4096)
        message = packet[(packet[0] & 0x0F) * 4:]
        if len(message) < 8 or message[0] != 8:
            continue
        reply = bytearray(b"\0\0\0\0" + message[4:])
        spoil = 0x5A5A if args.corrupt_checksum else 0
        struct.pack_into("!H", reply, 2, checksum(bytes(reply)) ^ spoil)
        time.sleep(args.delay_ms / 1000.0)
        sock.sendto(bytes(reply), sender)


if __name__ == "__main__":
    main()
