"""The server end of the trel bus, apart from the C++ code so that a misreading of the wire
format shared by the daemon and lkctl shows up here; it can also send any bytes. After the
client's identity (JSON text and a NUL) come frames: an 8-byte little-endian header (magic,
status, control word, length bits 0-15, sequence | length bits 16-17 << 14) and the payload.
"""

import json
import socket
import struct
import time

MAGIC = 0x24
REPLY_WANTED = 1 << 14
MESSAGE = 1 << 15
SEQUENCE_MASK = 0x3FFF


def header(magic, status, control, length, sequence):
    return struct.pack("<BBHHH", magic, status, control, length & 0xFFFF,
                       (sequence & SEQUENCE_MASK) | (length >> 16 & 3) << 14)


def control_word(api_id, if_index=0, reply=True):
    return api_id | if_index << 8 | MESSAGE | (REPLY_WANTED if reply else 0)


class Frame:
    def __init__(self, head, payload):
        self.magic, self.status, self.control, low, word = struct.unpack("<BBHHH", head)
        self.length, self.sequence = low | (word >> 14) << 16, word & SEQUENCE_MASK
        self.payload = payload
        self.is_message = bool(self.control & MESSAGE)
        self.api_id = self.control & 0xFF
        self.answered = self.control & SEQUENCE_MASK  # the request a reply answers

    def json(self):
        assert self.payload.endswith(b"\0"), self.payload
        return json.loads(self.payload[:-1].decode())  # strict: no raw control characters


class Connection:
    def __init__(self, sock):
        self.sock = sock
        if sock.family != socket.AF_UNIX:  # the control socket is a Unix one
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.next_sequence = 0
        self.messages = []  # message frames that arrived while a reply was awaited

    def _fill(self, deadline):
        """Reads more bytes into buf; False on time-out, EOFError at the end of the stream."""
        self.sock.settimeout(max(deadline - time.monotonic(), 0.001))
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return False
        if not data:
            raise EOFError
        self.buf += data
        return True

    def _take(self, n, deadline):
        while len(self.buf) < n:
            if not self._fill(deadline):
                return None
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def read_identity(self, timeout=10):
        """The identity object as a list of [name, value] pairs; its NUL is consumed."""
        deadline = time.monotonic() + timeout
        while b"\0" not in self.buf:
            assert self._fill(deadline), "no identity within %s s" % timeout
        text, self.buf = self.buf.split(b"\0", 1)
        return json.loads(text.decode(), object_pairs_hook=lambda pairs: [*map(list, pairs)])

    def read_frame(self, timeout=10):
        """The next frame, or None when none began in time."""
        deadline = time.monotonic() + timeout
        head = self._take(8, deadline)
        frame = head and Frame(head, b"")
        if frame:
            frame.payload = self._take(frame.length, deadline + 10)
            assert frame.payload is not None, "payload of %d bytes incomplete" % frame.length
        return frame

    def send_frame(self, api_id, payload=b"", reply=True, magic=MAGIC, if_index=0,
                   sequence=None, control=None):
        """Sends one request; returns the sequence number it carried."""
        if sequence is None:
            sequence, self.next_sequence = self.next_sequence, self.next_sequence + 1
        if control is None:
            control = control_word(api_id, if_index, reply)
        self.sock.sendall(header(magic, 0, control, len(payload), sequence) + payload)
        return sequence & SEQUENCE_MASK

    def wait_reply(self, sequence, timeout=10):
        """The reply to sequence; messages that come first are kept in self.messages."""
        deadline = time.monotonic() + timeout
        while True:
            frame = self.read_frame(deadline - time.monotonic())
            if frame is None or not frame.is_message:
                assert frame is None or frame.answered == sequence, (sequence, frame)
                return frame
            self.messages.append(frame)

    def request(self, api_id, payload=b"", timeout=30, **kwargs):
        frame = self.wait_reply(self.send_frame(api_id, payload, **kwargs), timeout)
        assert frame is not None, "no reply to request %d" % api_id
        return frame

    def wait_message(self, api_id, timeout=30):
        """The first message with this id, kept or new; None on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            for frame in self.messages:
                if frame.api_id == api_id:
                    self.messages.remove(frame)
                    return frame
            frame = self.read_frame(deadline - time.monotonic())
            if frame is None:
                return None
            self.messages.append(frame)

    def close(self):
        self.sock.close()


class BusServer:
    """A listening socket on a free port of this network namespace's loopback."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self.connections = []

    def accept(self, timeout=15):
        """The next connection, or None when none came in time."""
        self.sock.settimeout(timeout)
        try:
            sock, _ = self.sock.accept()
        except socket.timeout:
            return None
        self.connections.append(Connection(sock))
        return self.connections[-1]

    def close(self):
        for conn in self.connections:
            conn.close()
        self.sock.close()
