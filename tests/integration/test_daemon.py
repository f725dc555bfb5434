"""linkKeeper end to end: the real binary against the Python bus server (trelbus.py)."""

import json
import socket
import statistics
import subprocess
import time

import pytest

from trelbus import MAGIC, encode_header, control_word

IDENTITY_MEMBERS = ["name", "revision", "primary", "nodeType", "nodeName", "inBufSize",
                    "outBufSize", "protocol", "byteOrder", "interfaces"]
EMPTY_CLASSES = b'{"internal":[],"external":[],"integration":[]}\0'
DISCONNECT_LINES = ["closing socket", "calling disconnect handler", "Trel Disconnected",
                    "nmadapter onDisconnect()", "ondisconnect returns 0"]
USAGE = ("Usage: linkKeeper [-h][-v][-c][-s server][-p file] (rev=1)\n"
         "   -h : Display this usage information.\n"
         "   -v : Enable verbose output for debugging.\n"
         "   -c : Log to console instead of syslog.\n"
         "   -s : Server to connect to, overrides properties.\n"
         "   -p : Use the specified properties file to override settings.\n")


# --- identity -------------------------------------------------------------------------------

@pytest.mark.parametrize("primary", [True, False])
def test_identity_announces_its_members_in_order(node, bus, start_daemon, primary):
    if primary:
        node.write("primary", "")
    start_daemon("-c", "-s", bus.address)
    conn = bus.accept()
    members = json.loads(conn.read_identity_raw().decode(), object_pairs_hook=list)
    assert [name for name, _ in members] == IDENTITY_MEMBERS
    assert dict(members) == {
        "name": "yeb.linkKeeper", "revision": 1, "primary": "true" if primary else "false",
        "nodeType": "controller", "nodeName": "node-a", "inBufSize": 8176, "outBufSize": 8176,
        "protocol": "binaryMsg", "byteOrder": "LITTLE_ENDIAN",
        "interfaces": [[("name", ""), ("version", 1)]],
    }


def test_identity_is_followed_by_one_nul_and_then_only_frames(connected):
    # Whatever follows the identity's NUL must parse as the reply to our first request.
    sequence = connected.send_frame(7)
    reply = connected.read_frame()
    assert (reply.magic, reply.status, reply.answered, reply.is_message, reply.payload) == (
        MAGIC, 0, sequence, False, EMPTY_CLASSES)


def test_daemon_connects_only_once_node_type_and_name_are_known(node, bus, start_daemon):
    node.remove("nodeType")
    node.write("nodeName", "  \n")
    start_daemon("-c", "-s", bus.address)
    assert bus.accept(timeout=1.5) is None
    node.write("nodeType", "controller")
    assert bus.accept(timeout=1.5) is None
    node.write("nodeName", "node-b\n")
    conn = bus.accept()
    assert conn is not None
    assert conn.read_identity()["nodeName"] == "node-b"


# --- request id 7 ---------------------------------------------------------------------------

CLASS_CASES = {
    "no class files": ({}, EMPTY_CLASSES),
    "lists in file order, trailing blanks cut": (
        {"netif_internal": "eth1\n", "netif_external": "eth0  \r\nwlan0\n\n",
         "netif_integration": "usb0\n"},
        b'{"internal":["eth1"],"external":["eth0","wlan0"],"integration":["usb0"]}\0'),
}


@pytest.mark.parametrize("files,expected", CLASS_CASES.values(), ids=CLASS_CASES.keys())
def test_interface_classes_answer_the_three_lists(node, bus, start_daemon, files, expected):
    for key, text in files.items():
        node.write_class(key, text)
    start_daemon("-c", "-s", bus.address)
    conn = bus.accept()
    conn.read_identity()
    assert conn.request(7).payload == expected


@pytest.mark.parametrize("payload", [b'{"internal":["x"]}\0', b"\xff" * 300, b"\0" * 8191],
                         ids=["json", "noise", "one byte below the input buffer"])
def test_interface_classes_ignore_any_payload(connected, payload):
    reply = connected.request(7, payload)
    assert (reply.status, reply.payload) == (0, EMPTY_CLASSES)


# --- reply rules ----------------------------------------------------------------------------

@pytest.mark.parametrize("api_id,if_index", [(0, 0), (13, 0), (255, 0), (7, 1), (7, 63)])
def test_requests_without_a_handler_get_status_255_and_no_payload(connected, api_id, if_index):
    reply = connected.request(api_id, b"eth0\0", if_index=if_index)
    assert (reply.status, reply.payload) == (255, b"")


@pytest.mark.parametrize("unanswered", [dict(reply=False), dict(control=5)],
                         ids=["reply bit clear", "message bit clear"])
def test_frames_that_want_no_reply_get_none(connected, unanswered):
    connected.send_frame(7, **unanswered)
    connected.send_frame(200, **unanswered)
    sequence = connected.send_frame(7)
    assert connected.read_frame().answered == sequence  # the first frame back answers it


@pytest.mark.parametrize("api_id,status", [(7, 0), (200, 255)])
def test_magic_0x25_is_accepted_and_echoed(connected, api_id, status):
    reply = connected.request(api_id, magic=0x25)
    assert (reply.magic, reply.status) == (0x25, status)


# Each refused frame carries sequence 1000, so that an answer to it cannot pass for the
# answer to a probe.
GARBAGE = {
    "bad magic byte": encode_header(0x42, 0, control_word(7), 4, 1000) + b"abcd",
    "payload as long as the input buffer": encode_header(MAGIC, 0, control_word(7), 8192, 1000)
    + b"\0" * 8192,
    "payload beyond the input buffer": encode_header(MAGIC, 0, control_word(7), 9000, 1000)
    + b"\0" * 9000,
    "18-bit length": encode_header(MAGIC, 0, control_word(7), 70000, 1000) + b"\0" * 70000,
}


@pytest.mark.parametrize("garbage", GARBAGE.values(), ids=GARBAGE.keys())
def test_refused_frames_are_drained_and_the_connection_stays_up(connected, garbage):
    connected.sock.sendall(garbage)
    connected.wait_peer_consumed()
    # The drain discards whatever is readable at the time, a probe sent meanwhile too.
    replies = (connected.wait_reply(connected.send_frame(7), timeout=1) for _ in range(5))
    reply = next(filter(None, replies), None)
    assert reply is not None and (reply.status, reply.payload) == (0, EMPTY_CLASSES)
    assert "closing socket" not in connected.daemon.log_texts()


def test_truncated_frame_closes_the_connection_and_the_daemon_reconnects(connected, bus):
    connected.sock.sendall(encode_header(MAGIC, 0, control_word(7), 100, 0) + b"x" * 10)
    connected.sock.shutdown(socket.SHUT_WR)
    assert connected.wait_closed()
    assert connected.buf == b""  # nothing was answered
    again = bus.accept()
    assert again is not None and again.read_identity()["name"] == "yeb.linkKeeper"


# --- sequence numbers -----------------------------------------------------------------------

def test_replies_echo_the_request_sequence_and_count_their_own(connected):
    requests = [100, 0, 16383, 5]
    for own, theirs in enumerate(requests):
        reply = connected.wait_reply(connected.send_frame(7, sequence=theirs))
        assert (reply.answered, reply.sequence) == (theirs, own)
    # Requests without a reply take no number from the counter.
    connected.send_frame(7, reply=False)
    assert connected.request(200).sequence == len(requests)


def test_reply_sequence_wraps_to_0_after_16383(connected):
    batch = 256
    seen = []
    while len(seen) < 16386:
        sequences = [connected.send_frame(7) for _ in range(batch)]
        seen += [connected.wait_reply(s).sequence for s in sequences]
    assert seen[16382:16386] == [16382, 16383, 0, 1]
    assert seen[:16384] == list(range(16384))


def test_ping_results_share_the_counter_with_replies(connected):
    first = connected.request(7).sequence
    ping = json.dumps({"hostname": "127.0.0.1", "ipVersion": 4, "pingCount": 1,
                       "totalTimeout": 2000, "pingInterval": 100, "pingTimeout": 1000})
    reply = connected.request(12, ping.encode() + b"\0")
    if reply.status == 255:
        pytest.skip("no ping handler registered in this build")
    assert reply.status == 0 and len(reply.payload) == 4
    result = connected.wait_message(13)
    assert result is not None
    handle = int.from_bytes(reply.payload, "little")
    assert result.json()["handle"] == handle
    # The probe thread may finish before the reply goes out: either order is right, but the
    # two take the next two numbers and the following reply the one after.
    assert sorted([reply.sequence, result.sequence]) == [first + 1, first + 2]
    assert connected.request(7).sequence == first + 3


# --- connection loss and back-off ----------------------------------------------------------

def test_reconnects_after_the_server_closes_with_the_log_lines_in_order(connected, bus):
    daemon = connected.daemon
    start = len(daemon.log_texts())
    connected.close()
    daemon.wait_log(DISCONNECT_LINES, start=start)
    again = bus.accept()
    assert again is not None and again.read_identity()["name"] == "yeb.linkKeeper"
    # The counter is the client's, not the connection's: it goes on.
    assert again.request(7).status == 0


def test_first_connection_attempts_are_about_250_ms_apart(node, bus, start_daemon):
    # Each connection is closed at once: every series then goes on with the back-off count,
    # so the first attempts each wait one 250 ms step before connecting.
    daemon = start_daemon("-c", "-s", bus.address)
    times = []
    for _ in range(6):
        conn = bus.accept()
        assert conn is not None
        times.append(time.monotonic())
        conn.read_identity()
        conn.close()
    first_wait = times[0] - daemon.started
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert first_wait >= 0.2, first_wait
    assert all(g >= 0.2 for g in gaps), gaps
    assert 0.2 <= statistics.median(gaps) <= 0.9, gaps


# --- command line ---------------------------------------------------------------------------

@pytest.mark.parametrize("args, code", [(["-h"], 255), (["-v", "-c", "-h", "-x"], 255),
                                        (["-x"], 1), (["-c", "-s"], 1)], ids=str)
def test_help_prints_the_usage_and_exits_255_bad_options_exit_1(daemon_path, args, code):
    done = subprocess.run([daemon_path] + args, capture_output=True, timeout=10)
    assert done.returncode == code
    out = done.stdout.decode()
    assert out == USAGE if code == 255 else "Usage" not in out


@pytest.mark.parametrize("verbose", [False, True])
def test_missing_properties_file_is_logged_only_when_verbose(node, bus, start_daemon, verbose):
    # Without a loadable -p file the client falls back to /etc/yeb.properties.
    with open("/etc/yeb.properties", "w") as f:
        f.write("trel.server=127.0.0.1\ntrel.yeb.linkKeeper.port=%d\n" % bus.port)
    missing = "/nonexistent/linkKeeper.properties"
    daemon = start_daemon("-c", *(["-v"] if verbose else []), "-p", missing)
    conn = bus.accept()
    assert conn is not None, daemon.log()
    conn.read_identity()
    logged = "Failed to load property file: %s" % missing in daemon.log_texts()
    assert logged == verbose


# --- lkctl against the daemon ---------------------------------------------------------------

def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _lkctl(lkctl_path, start_daemon, *args):
    port = _free_port()
    cmd = [lkctl_path, "-l", "127.0.0.1", "-P", str(port), "-a", "20", "-q"] + list(args)
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        start_daemon("-c", "-s", "127.0.0.1:%d" % port)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, out.decode(), err.decode()


@pytest.mark.parametrize("args, code, out, statuses", [
    (["call", "classes"], 0, '{"internal": ["eth1"], "external": [], "integration": []}',
     ["status 0"]),
    (["call", "200", "--str", "eth0"], 255, "", ["status 255"]),
    (["script", "-e", "call 7", "-e", "call 0", "-e", "call 7 --no-reply", "-e", "events 1"],
     255, '{"internal": ["eth1"], "external": [], "integration": []}', ["status 0", "status 255"]),
], ids=["reply printed", "exit status is the reply status", "a script on one connection"])
def test_lkctl_prints_replies_and_exits_with_their_status(lkctl_path, node, start_daemon, args,
                                                          code, out, statuses):
    node.write_class("netif_internal", "eth1\n")
    got_code, got_out, err = _lkctl(lkctl_path, start_daemon, *args)
    assert got_code == code, err
    assert (json.loads(got_out) if got_out else "") == (json.loads(out) if out else "")
    assert all(err.count(s) == 1 for s in statuses), err
