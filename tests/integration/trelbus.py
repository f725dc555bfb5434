"""The server side of the trel bus, independent of lkctl's C++ code so that a misreading of
the wire format shared by the daemon and lkctl shows up here. It can also send any bytes.

Wire format: after connecting, the client sends its identity (JSON text and one NUL, no
header). Then frames of an 8-byte little-endian header and a payload:
  byte 0 magic (0x24, bit 0 ignored), byte 1 status,
  bytes 2-3 control word (requests: api id | interface index << 8 | reply-wanted << 14 |
            message << 15; replies: the sequence number of the request answered),
  bytes 4-5 payload length bits 0-15,
  bytes 6-7 sender's sequence number (14 bits) | payload length bits 16-17 << 14.
"""

import json
import socket
import struct
import time

MAGIC = 0x24
HEADER_SIZE = 8
REPLY_WANTED = 1 << 14
MESSAGE = 1 << 15
SEQUENCE_MASK = 0x3FFF
MAX_IDENTITY = 65536


class ConnectionClosed(Exception):
    pass


def encode_header(magic, status, control, length, sequence):
    return struct.pack("<BBHHH", magic, status, control, length & 0xFFFF,
                       (sequence & SEQUENCE_MASK) | ((length >> 16) & 3) << 14)


def decode_header(data):
    magic, status, control, low, word = struct.unpack("<BBHHH", data)
    return magic, status, control, low | (word >> 14) << 16, word & SEQUENCE_MASK


def control_word(api_id, if_index=0, reply=True):
    return api_id | (if_index & 0x3F) << 8 | MESSAGE | (REPLY_WANTED if reply else 0)


class Frame:
    def __init__(self, header, payload):
        self.magic, self.status, self.control, self.length, self.sequence = header
        self.payload = payload
        self.is_message = bool(self.control & MESSAGE)
        self.api_id = self.control & 0xFF
        self.answered = self.control & SEQUENCE_MASK  # the request a reply answers

    def json(self):
        assert self.payload.endswith(b"\0"), self.payload
        return json.loads(self.payload[:-1].decode())

    def __repr__(self):
        return "Frame(magic=%#x status=%d control=%#06x length=%d seq=%d payload=%r)" % (
            self.magic, self.status, self.control, self.length, self.sequence, self.payload[:64])


class Connection:
    """One accepted client connection, with a buffered reader."""

    def __init__(self, sock):
        self.sock = sock
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.next_sequence = 0
        self.messages = []  # message frames that arrived while waiting for a reply

    def close(self):
        self.sock.close()

    def _fill(self, deadline):
        """Reads more bytes into buf; False on time-out."""
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        self.sock.settimeout(left)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return False
        except (ConnectionResetError, BrokenPipeError) as e:
            raise ConnectionClosed(str(e))
        if not data:
            raise ConnectionClosed("end of stream")
        self.buf += data
        return True

    def _take(self, n, deadline):
        while len(self.buf) < n:
            if not self._fill(deadline):
                return None
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def read_identity_raw(self, timeout=10):
        """The identity text's bytes without the NUL; the NUL itself is consumed."""
        deadline = time.monotonic() + timeout
        while b"\0" not in self.buf:
            if len(self.buf) > MAX_IDENTITY:
                raise AssertionError("identity longer than %d bytes" % MAX_IDENTITY)
            if not self._fill(deadline):
                raise TimeoutError("no identity within %s s" % timeout)
        text, self.buf = self.buf.split(b"\0", 1)
        return text

    def read_identity(self, timeout=10):
        return json.loads(self.read_identity_raw(timeout).decode())

    def read_frame(self, timeout=10):
        """The next frame, or None when none arrived in time."""
        deadline = time.monotonic() + timeout
        head = self._take(HEADER_SIZE, deadline)
        if head is None:
            return None
        header = decode_header(head)
        payload = self._take(header[3], deadline + 5)
        if payload is None:
            raise AssertionError("frame payload of %d bytes incomplete" % header[3])
        return Frame(header, payload)

    def send_frame(self, api_id, payload=b"", reply=True, magic=MAGIC, if_index=0,
                   sequence=None, status=0, control=None, length=None):
        """Sends one request; returns the sequence number it carried."""
        if sequence is None:
            sequence = self.next_sequence
            self.next_sequence = (self.next_sequence + 1) & SEQUENCE_MASK
        if control is None:
            control = control_word(api_id, if_index, reply)
        if length is None:
            length = len(payload)
        self.sock.sendall(encode_header(magic, status, control, length, sequence) + payload)
        return sequence

    def wait_reply(self, sequence, timeout=10):
        """The reply to sequence; messages that come first are kept in self.messages."""
        deadline = time.monotonic() + timeout
        while True:
            frame = self.read_frame(max(0, deadline - time.monotonic()))
            if frame is None:
                return None
            if frame.is_message:
                self.messages.append(frame)
                continue
            if frame.answered == sequence:
                return frame
            raise AssertionError("reply to %d while waiting for %d: %r"
                                 % (frame.answered, sequence, frame))

    def request(self, api_id, payload=b"", timeout=10, **kwargs):
        frame = self.wait_reply(self.send_frame(api_id, payload, **kwargs), timeout)
        if frame is None:
            raise TimeoutError("no reply to request %d" % api_id)
        return frame

    def wait_message(self, api_id, timeout=10):
        """The first message with this id, kept or new; None on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            for frame in self.messages:
                if frame.api_id == api_id:
                    self.messages.remove(frame)
                    return frame
            frame = self.read_frame(max(0, deadline - time.monotonic()))
            if frame is None:
                return None
            self.messages.append(frame)

    def wait_closed(self, timeout=10):
        """True when the peer closes the connection in time; bytes before it stay in buf."""
        deadline = time.monotonic() + timeout
        try:
            while self._fill(deadline):
                pass
        except ConnectionClosed:
            return True
        return False

    def peer_receive_queue(self):
        """Bytes that the peer's kernel holds for it unread (from /proc/net/tcp)."""
        local, peer = self.sock.getsockname(), self.sock.getpeername()
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if (int(fields[1].split(":")[1], 16) == peer[1]
                            and int(fields[2].split(":")[1], 16) == local[1]):
                        return int(fields[4].split(":")[1], 16)
        raise AssertionError("peer socket not found")

    def wait_peer_consumed(self, timeout=10):
        """Waits until the peer has read everything sent to it."""
        deadline = time.monotonic() + timeout
        while self.peer_receive_queue() > 0:
            if time.monotonic() > deadline:
                raise TimeoutError("peer did not read its input")
            time.sleep(0.01)


class BusServer:
    """A listening socket on a free loopback port."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.address = "127.0.0.1:%d" % self.port
        self.connections = []

    def accept(self, timeout=15):
        """The next connection, or None when none came in time."""
        self.sock.settimeout(timeout)
        try:
            sock, _ = self.sock.accept()
        except socket.timeout:
            return None
        sock.settimeout(None)
        conn = Connection(sock)
        self.connections.append(conn)
        return conn

    def close(self):
        for conn in self.connections:
            conn.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
