"""The real linkKeeper on the bus: against the Python bus server, and once against lkctl."""

import json
import signal
import socket
import subprocess

import pytest

from conftest import Daemon, Linkkeeper, binary
from trelbus import BusServer, MAGIC, control_word, header

CLASSES = b'{"internal":["eth1"],"external":["eth0","wlan0"],"integration":[]}\0'
IDENTITY = [["name", "yeb.linkKeeper"], ["revision", 1], ["primary", None],
            ["nodeType", "controller"], ["nodeName", "node-a"], ["inBufSize", 8176],
            ["outBufSize", 8176], ["protocol", "binaryMsg"], ["byteOrder", "LITTLE_ENDIAN"],
            ["interfaces", [[["name", ""], ["version", 1]]]]]


@pytest.fixture
def lk(node):
    node.write_class("netif_internal", "eth1\n")
    node.write_class("netif_external", "eth0  \r\nwlan0\n\n")  # trailing blanks are cut
    return Linkkeeper()


@pytest.mark.parametrize("primary", ["true", "false"])
def test_identity_comes_first_then_only_frames(node, primary):
    if primary == "true":
        node.write("/run/yeb/primary", "")
    lk = Linkkeeper()
    assert lk.identity == [[k, primary if k == "primary" else v] for k, v in IDENTITY]
    # Whatever follows the identity's NUL must parse as the reply to the first request.
    lk.conn.send_frame(7, sequence=77)
    reply = lk.conn.read_frame()
    assert (reply.magic, reply.status, reply.answered, reply.is_message) == (MAGIC, 0, 77, False)


def test_daemon_connects_only_once_node_type_and_name_are_known(node):
    server = BusServer()
    node.write("/run/yeb/nodeName", "  \n")
    Daemon(["-c", "-s", server.address])
    assert server.accept(timeout=1.5) is None
    node.write("/run/yeb/nodeName", "node-b\n")
    assert dict(server.accept().read_identity())["nodeName"] == "node-b"


REPLIES = {
    "classes, the payload ignored": (7, dict(payload=b"\xff" * 300), MAGIC, 0, CLASSES),
    "payload one byte below the input buffer": (7, dict(payload=b"\0" * 8191), MAGIC, 0, CLASSES),
    "magic 0x25 is echoed": (7, dict(magic=0x25), 0x25, 0, CLASSES),
    "no handler for id 0": (0, {}, MAGIC, 255, b""),
    "no handler on interface 1": (7, dict(if_index=1), MAGIC, 255, b""),
}


@pytest.mark.parametrize("api_id, send, magic, status, payload", REPLIES.values(),
                         ids=REPLIES.keys())
def test_replies(lk, api_id, send, magic, status, payload):
    reply = lk.conn.request(api_id, **send)
    assert (reply.magic, reply.status, reply.payload) == (magic, status, payload)


def test_replies_echo_the_request_sequence_and_number_their_own_in_14_bits(lk):
    seen = [lk.conn.wait_reply(lk.conn.send_frame(7, sequence=s)).sequence
            for s in [100, 0, 16383, 5]]  # wait_reply checks the sequence answered
    # Frames without the reply bit or the message bit are not answered and take no number.
    lk.conn.send_frame(7, reply=False)
    lk.conn.send_frame(7, control=5)
    while len(seen) < 16386:
        sent = [lk.conn.send_frame(7) for _ in range(256)]
        seen += [lk.conn.wait_reply(s).sequence for s in sent]
    assert seen[:16386] == list(range(16384)) + [0, 1]


ABUSE = {
    "bad magic byte": header(0x42, 0, control_word(7), 4, 1000) + b"abcd",
    "payload as long as the input buffer": header(MAGIC, 0, control_word(7), 8192, 9) + bytes(8192),
    "18-bit length": header(MAGIC, 0, control_word(7), 70000, 1000) + bytes(70000),
}


@pytest.mark.parametrize("garbage", ABUSE.values(), ids=ABUSE.keys())
def test_a_frame_behind_refused_bytes_is_answered_on_the_same_connection(lk, garbage):
    lk.conn.sock.sendall(garbage + header(MAGIC, 0, control_word(7), 0, 5))
    reply = lk.conn.read_frame()
    assert (reply.answered, reply.payload) == (5, CLASSES)


@pytest.mark.parametrize("end", ["truncated frame", "frame left unfinished", "server closes"])
def test_daemon_reconnects_after_the_connection_ends(lk, end):
    assert lk.conn.request(7).sequence == 0
    if end != "server closes":
        lk.conn.sock.sendall(header(MAGIC, 0, control_word(7), 100, 0) + b"x" * 10)
        if end == "truncated frame":
            lk.conn.sock.shutdown(socket.SHUT_WR)
        with pytest.raises(EOFError):  # closed (the rest is due within 5 s), nothing answered
            lk.conn.read_frame()
    lk.conn.close()
    again = lk.server.accept()
    assert dict(again.read_identity())["name"] == "yeb.linkKeeper"
    # The sequence counter belongs to the process, not to the connection.
    assert again.request(7).sequence == 1


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_signal_stops_the_daemon_in_order(lk, sig):
    assert lk.daemon.stop(sig) == 0
    with pytest.raises(EOFError):
        lk.conn.read_frame()


@pytest.mark.parametrize("args, code, shown", [
    (["-h"], 255, b"Usage: linkKeeper [-h][-v]"), (["-c", "-x"], 1, b""), (["-c", "-s"], 1, b""),
    (["--help"], 0, b"(default /etc/yeb.properties); keys"),
    (["--help"], 0, b"lkctl (default /run/linkKeeper/control;"), (["--version"], 0, b"linkKeeper 1.")])
def test_command_line_help_and_bad_options(args, code, shown):
    done = subprocess.run([binary("LK_DAEMON"), *args], capture_output=True, timeout=10)
    assert done.returncode == code and (shown in done.stdout if shown else not done.stdout)


@pytest.mark.parametrize("verbose", [False, True])
def test_missing_properties_file_falls_back_to_etc_and_is_logged_when_verbose(node, verbose):
    server = BusServer()
    node.write("/etc/yeb.properties", "trel.server=127.0.0.1\ntrel.yeb.linkKeeper.port=%s\n"
               % server.address.split(":")[1])
    daemon = Daemon(["-c", *(["-v"] if verbose else []), "-p", "/nonexistent/lk.properties"])
    assert server.accept() is not None, daemon.log()
    logged = "Failed to load property file: /nonexistent/lk.properties" in daemon.log_texts()
    assert logged == verbose


def test_class_names_of_any_bytes_give_valid_json_in_valid_utf8(node):
    # Control bytes are escaped as \u00XX, bytes that are not UTF-8 become U+FFFD.
    node.write_class("netif_external", b'lk\x01\x1f"\\\xff\xc3\xa90\n')
    reply = Linkkeeper().conn.request(7)
    assert reply.json()["external"] == ['lk\x01\x1f"\\\ufffd\u00e90']


def test_lkctl_as_bus_server_prints_the_reply(node):
    node.write_class("netif_internal", "eth1\n")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    lkctl = subprocess.Popen([binary("LK_LKCTL"), "serve", "-l", "127.0.0.1", "-P", str(port), "-a", "20",
                              "-q", "call", "classes"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        Daemon(["-c", "-s", "127.0.0.1:%d" % port])
        out, err = lkctl.communicate(timeout=30)
    finally:
        lkctl.kill()
        lkctl.wait()
    assert lkctl.returncode == 0 and b"status 0" in err, err
    assert json.loads(out) == {"internal": ["eth1"], "external": [], "integration": []}
