"""The bus connection as a device lives it: a server found whatever the configuration says,
frames and peers that cannot stall the daemon, ping results kept across an outage, systemd's
notify socket. Runs in a network namespace of its own (unshare --net): fixed ports, and ::1
and 127.0.0.1 on a loopback nothing else uses."""

import json
import os
import signal
import socket
import stat
import subprocess
import time

import pytest

from conftest import Daemon, Linkkeeper, wait_until
from trelbus import MAGIC, BusServer, Connection, control_word, header

DEFAULT_PORT, PORT = 10001, 4242
CLASSES, PING, PING_RESULT, CANCEL = 7, 12, 13, 17
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


class Controlled:
    """A daemon on a bus server of its own with a control socket under tmp_path."""

    def __init__(self, tmp_path):
        self.path = str(tmp_path / "lk" / "control")
        self.server = BusServer()
        self.daemon = Daemon(["-c", "-s", self.server.address, "-C", self.path])
        self.conn = self.server.accept()
        self.conn.read_identity()

    def client(self):
        sock = socket.socket(socket.AF_UNIX)
        sock.connect(self.path)
        return Connection(sock)


@pytest.fixture
def lk(node, tmp_path):
    controlled = Controlled(tmp_path)
    yield controlled
    controlled.server.close()


def test_control_clients_that_never_read_are_dropped_and_hold_nobody(lk):
    stalled = [lk.client() for _ in range(4)]
    flood = requests(*range(4000))
    for client in stalled:
        client.sock.setblocking(False)
    left, samples = [flood] * 4, []

    def dropped():
        for i, client in enumerate(stalled):  # keep sending what the daemon still takes
            try:
                left[i] = left[i][client.sock.send(left[i]):] if left[i] else left[i]
            except (BlockingIOError, BrokenPipeError, ConnectionResetError):
                pass
        start = time.monotonic()
        assert lk.conn.request(CLASSES, timeout=10).status == 0  # a generous liveness bound
        samples.append(time.monotonic() - start)
        return sum("closed: it" in text for text in lk.daemon.log_texts()) == 4
    wait_until(dropped, what="four stalled clients dropped")
    samples.sort()
    print("bus request 7 beside 4 stalled clients: p50 %.2f ms, max %.2f ms over %d" %
          (samples[len(samples) // 2] * 1e3, samples[-1] * 1e3, len(samples)))
    about_clients = [t for t in lk.daemon.log_texts() if t.startswith("control client")]
    assert len(about_clients) == 8, about_clients  # connected and closed, once each


def test_sixteen_clients_at_once_and_a_request_with_the_end_of_the_stream(lk):
    idle = [lk.client() for _ in range(15)]
    last = lk.client()
    sequence = last.send_frame(CLASSES)
    last.sock.shutdown(socket.SHUT_WR)
    assert last.wait_reply(sequence).status == 0
    with pytest.raises(EOFError):
        last.read_frame()
    assert all(client.request(CLASSES).status == 0 for client in idle[:2])


LONG_PROBE = dict(PROBE, pingCount=3000, pingInterval=1000)


def test_probes_belong_to_the_peer_that_started_them(lk):
    probe = json.dumps(LONG_PROBE).encode()
    started = [lk.conn.request(PING, probe) for _ in range(33)]
    assert [frame.status for frame in started] == [0] * 32 + [11]  # half the pool at most
    mine = lk.client()
    handle = mine.request(PING, probe)
    assert handle.status == 0
    assert mine.request(CANCEL, started[0].payload).status == 2  # not its probe
    assert lk.conn.request(CANCEL, handle.payload).status == 2
    assert mine.request(CANCEL, handle.payload).status == 0
    for group in ["ff02::1", "ff02::1%lo", "224.0.0.1", "255.255.255.255"]:
        probe = json.dumps(dict(PROBE, hostname=group)).encode()
        assert mine.request(PING, probe).status == 22, group


def control_daemon(path):
    return Daemon(["-c", "-s", "127.0.0.1:1", "-C", path])


@pytest.mark.parametrize("planted", ["symbolic link", "others may write"])
def test_a_control_directory_others_could_change_is_refused_and_left_alone(node, tmp_path,
                                                                         planted):
    real = tmp_path / "real"
    real.mkdir(mode=0o750)
    directory = tmp_path / "dir"
    if planted == "symbolic link":
        directory.symlink_to(real)
    else:
        directory.mkdir()
        directory.chmod(0o1777)
    daemon = control_daemon(str(directory / "control"))
    assert daemon.proc.wait(timeout=10) != 0
    assert planted in daemon.log()
    assert os.lstat(directory).st_mode & 0o7777 == (0o777 if planted == "symbolic link" else 0o1777)
    assert os.listdir(real) == []


def test_a_stale_socket_is_replaced_and_a_live_one_never_taken_over(lk, tmp_path):
    lk.daemon.stop(signal.SIGKILL)  # leaves its socket behind
    assert stat.S_ISSOCK(os.lstat(lk.path).st_mode)
    first = control_daemon(lk.path)
    wait_until(lambda: "control socket: " + lk.path in first.log(), what="socket replaced")
    second = control_daemon(lk.path)
    assert second.proc.wait(timeout=10) != 0
    assert "another process serves" in second.log()
    assert oct(os.lstat(lk.path).st_mode & 0o777) == oct(0o660)
    assert lk.client().request(CLASSES).status == 0  # the first still serves
