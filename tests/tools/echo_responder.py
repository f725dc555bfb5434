#!/usr/bin/python3
"""Answers ICMP or ICMPv6 echo requests from a raw socket, in place of the kernel.

Run it in a network namespace whose kernel echo replies are switched off. It can hold each
reply back for a while, and it can spoil the checksum of IPv4 replies. It prints "ready" once
its socket is open, then serves until it is terminated.
"""

import argparse
import socket
import struct
import sys
import time


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4_reply(packet, corrupt):
    header_length = (packet[0] & 0x0F) * 4
    message = packet[header_length:]
    if len(message) < 8 or message[0] != 8:
        return None
    reply = bytearray(b"\0\0\0\0" + message[4:])
    value = checksum(bytes(reply))
    if corrupt:
        value ^= 0x5A5A
    struct.pack_into("!H", reply, 2, value)
    return bytes(reply)


def ipv6_reply(message):
    if len(message) < 8 or message[0] != 128:
        return None
    # The kernel computes the checksum of every raw ICMPv6 message it sends.
    return bytes([129, 0, 0, 0]) + message[4:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--family", choices=("4", "6"), default="4")
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--corrupt-checksum", action="store_true")
    args = parser.parse_args()

    if args.family == "4":
        sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    else:
        sock = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
    print("ready", flush=True)
    while True:
        packet, sender = sock.recvfrom(4096)
        if args.family == "4":
            reply = ipv4_reply(packet, args.corrupt_checksum)
        else:
            reply = ipv6_reply(packet)
        if reply is None:
            continue
        if args.delay_ms:
            time.sleep(args.delay_ms / 1000.0)
        sock.sendto(reply, sender)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
