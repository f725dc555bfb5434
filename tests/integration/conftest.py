"""Shared fixtures: the real linkKeeper against the Python bus server, node facts, and the
NetworkManager sandbox and mock. Runs inside scripts/sandbox-fs.sh (or nm-sandbox.sh), so that
node facts, boot lists and /etc/yeb.properties land in scratch file systems."""

import json
import os
import shutil
import subprocess
import time

import pytest

from trelbus import BusServer

RUN_YEB = "/run/yeb"
BOOT_DIRS = ("/run/yeb/boot", "/mnt/datafs/boot", "/usr/share/yeb/boot")
ETC_PROPERTIES = "/etc/yeb.properties"
in_nm_sandbox = pytest.mark.skipif(os.environ.get("LK_NM_SANDBOX") != "1",
                                   reason="needs the NetworkManager sandbox (nm-sandbox.sh)")


def pytest_configure(config):
    if os.environ.get("LK_SANDBOX_FS") != "1":
        pytest.exit("run the integration tests through scripts/sandbox-fs.sh", returncode=2)


def _binary(var):
    path = os.environ.get(var)
    if not path or not os.access(path, os.X_OK):
        pytest.skip("%s does not name a built program" % var)
    return path


@pytest.fixture
def daemon_path():
    return _binary("LK_DAEMON")


@pytest.fixture
def lkctl_path():
    return _binary("LK_LKCTL")


def wait_until(predicate, timeout=30, interval=0.05, what="condition"):
    """Polls predicate until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(interval)


class NodeFacts:
    """The run-time files the daemon reads, reset to a plain node."""

    def __init__(self):
        self.reset()

    def reset(self):
        for d in (RUN_YEB,) + BOOT_DIRS:
            os.makedirs(d, exist_ok=True)
            for name in os.listdir(d):
                path = os.path.join(d, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        if os.path.exists(ETC_PROPERTIES):
            os.remove(ETC_PROPERTIES)
        self.write("nodeType", "controller\n")
        self.write("nodeName", "node-a\n")

    def write(self, name, text):
        with open(os.path.join(RUN_YEB, name), "w") as f:
            f.write(text)

    def remove(self, name):
        if os.path.exists(os.path.join(RUN_YEB, name)):
            os.remove(os.path.join(RUN_YEB, name))

    def write_class(self, key, text):
        with open(os.path.join(BOOT_DIRS[0], key), "w") as f:
            f.write(text)


@pytest.fixture
def node():
    facts = NodeFacts()
    yield facts
    facts.reset()


class Daemon:
    """One linkKeeper process logging to the console, its output kept in a file."""

    def __init__(self, path, args, log_path, bus_address="unix:path=/nonexistent", env=None):
        # libnm must never reach the host's D-Bus: without a bus it simply has no client.
        env = dict(os.environ, **(env or {}), DBUS_SYSTEM_BUS_ADDRESS=bus_address)
        self.log_path = log_path
        self.log_file = open(log_path, "wb")
        self.started = time.monotonic()
        self.proc = subprocess.Popen([path] + list(args), stdout=self.log_file,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def log_texts(self):
        """The text of each console line, after the time stamp's "| "."""
        return [line.split(" | ", 1)[1] for line in self.log().splitlines() if " | " in line]

    def wait_log(self, texts, start=0, timeout=10):
        """Waits until the texts appear as log lines in this order, from line start on."""
        def in_order():
            lines = iter(self.log_texts()[start:])
            return all(text in lines for text in texts)
        wait_until(lambda: in_order() or self.proc.poll() is not None, timeout, 0.02,
                   "log lines %r in:\n%s" % (texts, self.log_path))
        assert in_order(), "daemon exited before %r; log:\n%s" % (texts, self.log())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self.log_file.close()


@pytest.fixture
def start_daemon(daemon_path, tmp_path):
    """Starts linkKeeper with the given arguments; every process is killed at teardown."""
    started = []

    def start(*args):
        started.append(Daemon(daemon_path, args, tmp_path / ("daemon%d.log" % len(started))))
        return started[-1]

    yield start
    for d in started:
        d.stop()


@pytest.fixture
def bus():
    with BusServer() as server:
        yield server


@pytest.fixture
def connected(node, bus, start_daemon):
    """A daemon connected to the bus server, with its identity read."""
    daemon = start_daemon("-c", "-s", bus.address)
    conn = bus.accept()
    assert conn is not None, daemon.log()
    conn.identity = conn.read_identity()
    conn.daemon = daemon
    return conn


# --- NetworkManager: the daemon on a given D-Bus, nmcli, the mock ------------------------------

# Request 3's members for a manual profile, and request 4's answer for it.
MANUAL_IP4 = {"method": "manual", "address": "192.0.2.2", "prefix": 28, "gateway": "192.0.2.1",
              "dns": ["192.0.2.53", "203.0.113.53"]}
MANUAL_IP6 = {"method": "manual", "addresses": ["2001:db8::2/64", "2001:db8::3/64"],
              "gateway": "2001:db8::1", "dns": ["2001:db8::53"], "addr-gen-mode": "eui64"}

class Linkkeeper:
    """One daemon on a given D-Bus, connected to its own Python bus server."""

    def __init__(self, log_path, bus_address, env=None):
        self.server = BusServer()
        self.daemon = Daemon(_binary("LK_DAEMON"), ["-c", "-s", self.server.address], log_path,
                             bus_address=bus_address, env=env)
        self.conn = self.server.accept()
        assert self.conn is not None, self.daemon.log()
        self.conn.read_identity()

    def call(self, api_id, payload=b""):
        """(status, payload) of one request."""
        frame = self.conn.request(api_id, payload, timeout=30)
        return frame.status, frame.payload

    def json(self, api_id, payload=b""):
        """(status, decoded JSON or None), key order kept."""
        status, payload = self.call(api_id, payload)
        if status != 0 or not payload:
            return status, None
        assert payload.endswith(b"\0"), payload
        return status, json.loads(payload[:-1].decode())

    def stop(self):
        self.daemon.stop()
        self.server.close()


def ifname(name):
    return name.encode() + b"\0"


def nmcli(*args, check=True):
    proc = subprocess.run(["nmcli"] + list(args), capture_output=True, text=True, timeout=60)
    assert not check or proc.returncode == 0, "nmcli %s: %s" % (" ".join(args), proc.stderr)
    return proc.stdout


@pytest.fixture(scope="module")
def facts():
    node = NodeFacts()
    # veth0 is listed twice: the external class wins over the internal one.
    node.write_class("netif_external", "veth0\n")
    node.write_class("netif_internal", "veth0\nveth1\n")
    node.write_class("netif_integration", "lo\nwlan0\n")
    yield node
    node.reset()


@pytest.fixture
def nm_mock():
    """A fresh NetworkManager mock with no devices."""
    from nmmock import NmMock
    if shutil.which("dbus-daemon") is None or shutil.which("nmcli") is None:
        pytest.skip("dbus-daemon or nmcli missing (scripts/install-deps.sh)")
    with NmMock() as mock:
        yield mock


@pytest.fixture
def wifi(nm_mock, facts, tmp_path):
    """The mock with wlan0 and eth0; wifi.lk() starts a linkKeeper on it."""
    nm_mock.wlan = nm_mock.add_wifi_device("wlan0")
    nm_mock.eth = nm_mock.add_ethernet_device("eth0")
    daemons = []

    def lk():
        daemons.append(Linkkeeper(tmp_path / ("daemon%d.log" % len(daemons)), nm_mock.address))
        return daemons[-1]

    nm_mock.lk = lk
    yield nm_mock
    for daemon in daemons:
        daemon.stop()
