#!/usr/bin/python3
"""Answers ICMP echo requests in place of the kernel (whose replies are off in its namespace):
--delay-ms N holds each reply back, --corrupt-checksum spoils it, --print-ids prints each
request's identifier. Prints "ready" first."""

import socket
import struct
import sys
import time


def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data + b"\0" * (len(data) % 2)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def main(args):
    delay = float(args[args.index("--delay-ms") + 1]) / 1000 if "--delay-ms" in args else 0
    spoil = 0x5A5A if "--corrupt-checksum" in args else 0
    print_ids = "--print-ids" in args
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    print("ready", flush=True)
    while True:
        packet, sender = sock.recvfrom(4096)
        message = packet[(packet[0] & 0x0F) * 4:]
        if len(message) >= 8 and message[0] == 8:
            if print_ids:
                print(struct.unpack_from("!H", message, 4)[0], flush=True)
            reply = bytearray(b"\0\0\0\0" + message[4:])
            struct.pack_into("!H", reply, 2, checksum(bytes(reply)) ^ spoil)
            time.sleep(delay)
            sock.sendto(bytes(reply), sender)


if __name__ == "__main__":
    main(sys.argv[1:])
