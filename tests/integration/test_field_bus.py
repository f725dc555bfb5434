"""The bus connection as a device lives it: a server found whatever the configuration says,
frames and peers that cannot stall the daemon, ping results kept across an outage, systemd's
notify socket. Runs in a network namespace of its own (unshare --net): fixed ports, and ::1
and 127.0.0.1 on a loopback nothing else uses."""

import json
import os
import signal
import socket
import subprocess
import time

import pytest

from conftest import Daemon, Linkkeeper, wait_until
from trelbus import MAGIC, BusServer, control_word, header

DEFAULT_PORT, PORT = 10001, 4242
CLASSES, PING, PING_RESULT = 7, 12, 13
PROBE = {"hostname": "127.0.0.1", "pingCount": 1, "pingInterval": 10, "pingTimeout": 1000,
         "totalTimeout": 0}


@pytest.fixture(scope="module", autouse=True)
def private_loopback():
    """Brings up the loopback of a namespace made for this run only; "localhost" names ::1
    first, then 127.0.0.1, as in Debian's stock /etc/hosts (sandbox-fs.sh's /etc is scratch)."""
    links = json.loads(subprocess.run(["ip", "-j", "link"], capture_output=True).stdout)
    if [link["ifname"] for link in links] != ["lo"]:
        pytest.skip("needs a network namespace of its own (unshare --net)")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    with open("/etc/hosts", "w") as hosts:
        hosts.write("::1 localhost\n127.0.0.1 localhost\n")


@pytest.fixture
def listen():
    """Makes bus servers on a loopback address and port; all are closed when the test ends."""
    made = []

    def make(host, port):
        made.append(BusServer())
        made[-1].sock.close()
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        made[-1].sock = socket.create_server((host, port), family=family)
        return made[-1]
    yield make
    for server in made:
        server.close()


def requests(*sequences):
    return b"".join(header(MAGIC, 0, control_word(CLASSES), 0, s) for s in sequences)


def test_without_a_configured_server_localhost_is_reached_on_its_second_address(node, listen):
    assert socket.getaddrinfo("localhost", DEFAULT_PORT)[0][0] == socket.AF_INET6
    server = listen("127.0.0.1", DEFAULT_PORT)  # and nothing on ::1, tried first
    daemon = Daemon(["-c"])
    assert server.accept() is not None, daemon.log()


SERVER_TEXTS = {  # text: the host and port logged, where the server listens, a port refused
    "127.0.0.1:4242": ("127.0.0.1", PORT, "127.0.0.1", False),
    "[::1]:4242": ("::1", PORT, "::1", False),
    "::1": ("::1", DEFAULT_PORT, "::1", False),
    "localhost:4242": ("localhost", PORT, "127.0.0.1", False),
    "127.0.0.1:0": ("127.0.0.1", DEFAULT_PORT, "127.0.0.1", True),
    "[::1]:70000": ("::1", DEFAULT_PORT, "::1", True),
}


@pytest.mark.parametrize("text", SERVER_TEXTS)
@pytest.mark.parametrize("given_by", ["-s", "properties"])
def test_server_text_gives_host_and_port(node, listen, tmp_path, given_by, text):
    host, port, listening, refused = SERVER_TEXTS[text]
    server = listen(listening, port)
    properties = tmp_path / "lk.properties"
    properties.write_text("trel.server=%s\n" % text)
    args = ["-s", text] if given_by == "-s" else ["-p", str(properties)]
    daemon = Daemon(["-c", *args])
    assert server.accept() is not None, daemon.log()
    logged = daemon.log_texts()
    assert {"trel server : " + host, "trel port : %d" % port} <= set(logged)
    assert any(line.endswith("is not 1 to 65535, ignored") for line in logged) == refused


LIES = {  # bytes, and whether the daemon must give up the connection over them
    "too long, then silence": (header(MAGIC, 0, control_word(CLASSES), 100, 1) + b"x" * 10, True),
    "too short, then junk": (
        header(MAGIC, 0, control_word(CLASSES, reply=False), 4, 1) + b"abcdjunk!!", False),
}


@pytest.mark.parametrize("lie, dropped", LIES.values(), ids=LIES.keys())
def test_requests_behind_a_lying_length_are_answered(node, lie, dropped):
    lk = Linkkeeper()
    conn = lk.conn
    conn.sock.sendall(lie + requests(10, 11))
    if dropped:  # the rest of the frame is due within 5 s; the requests went into its payload
        with pytest.raises(EOFError):
            conn.read_frame(timeout=15)
        conn = lk.server.accept()  # within the back-off
        conn.read_identity()
        conn.sock.sendall(requests(10, 11))
    assert [conn.read_frame().answered for _ in range(2)] == [10, 11]
    assert conn.request(CLASSES).status == 0


def test_a_server_that_stops_reading_is_left_for_a_new_connection(node):
    lk = Linkkeeper()
    lk.conn.sock.setblocking(False)
    try:  # requests whose replies nobody reads, until the daemon stops taking them
        while True:
            lk.conn.sock.send(requests(*range(64)))
    except BlockingIOError:
        pass
    conn = lk.server.accept()  # within the write deadline of 5 s and the back-off
    assert conn is not None, lk.daemon.log()
    conn.read_identity()
    assert conn.request(CLASSES).status == 0


def test_a_ping_result_due_during_an_outage_follows_the_next_identity(node):
    lk = Linkkeeper()
    handle = lk.conn.request(PING, json.dumps(PROBE).encode()).payload
    port = lk.server.sock.getsockname()[1]
    lk.server.close()  # the connection and the listening socket
    wait_until(lambda: "Received reply from 127.0.0.1" in (log := lk.daemon.log()) and
               "trel: cannot reach the bus server" in log, what="the probe and a failed attempt")
    lk.server.sock = socket.create_server(("127.0.0.1", port))
    conn = lk.server.accept()
    conn.read_identity()
    result = conn.read_frame()
    assert (result.api_id, result.json()["handle"]) == (PING_RESULT,
                                                         int.from_bytes(handle, "little"))
    lk.stop()


@pytest.mark.parametrize("hang", [None, "1500"], ids=["worker answers", "worker hangs"])
def test_systemd_hears_ready_status_and_a_watchdog_fed_only_by_a_live_worker(
        node, tmp_path, monkeypatch, hang):
    monkeypatch.delenv("WATCHDOG_PID", raising=False)  # one meant for whatever runs pytest
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(tmp_path / "notify"))
    env = {"NOTIFY_SOCKET": str(tmp_path / "notify"), "WATCHDOG_USEC": "2000000"}
    faults = {"LD_PRELOAD": os.environ["LK_FAULTS"], "LK_WORKER_HANG_MS": hang} if hang else {}
    lk = Linkkeeper(env=dict(env, **faults))
    heard = []  # (time, text) of every message

    def hear(seconds):
        """Keeps what arrives within the next seconds (0: what is there); the texts so far."""
        end = time.monotonic() + seconds
        while True:
            notify.settimeout(max(end - time.monotonic(), 0))
            try:
                heard.append((time.monotonic(), notify.recv(4096).decode()))
            except (socket.timeout, BlockingIOError):
                return {text for _, text in heard}

    status = "STATUS=connected to " + lk.server.address
    wait_until(lambda: {"READY=1", status} <= hear(0.1), what="READY=1 and " + status)
    if hang:
        wait_until(lambda: "hangs on purpose" in lk.daemon.log(), what="the worker hanging")
    hear(0)  # what came before is left out
    start, mark = time.monotonic(), len(heard)
    hear(3)
    fed = [when for when, text in heard[mark:] if text == "WATCHDOG=1"]
    if hang:  # a round trip may have come back just before the worker hung, no more
        assert len(fed) <= 1, fed
    else:
        gaps = [b - a for a, b in zip([start] + fed, fed + [start + 3])]
        assert max(gaps) < 2, gaps  # systemd's own deadline (WATCHDOG_USEC), not a speed
    lk.daemon.proc.send_signal(signal.SIGTERM)  # a hung worker is given up on after 10 s
    assert lk.daemon.proc.wait(timeout=30) == 0
    lk.stop()
