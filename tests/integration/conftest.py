"""The real linkKeeper against the Python bus server (trelbus.py), inside scripts/sandbox-fs.sh
or nm-sandbox.sh (so node facts, boot lists and /etc/yeb.properties land in scratch file
systems). Every daemon is stopped by its PID, also when a test fails."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from trelbus import BusServer

BOOT_DIRS = ("/run/yeb/boot", "/mnt/datafs/boot", "/usr/share/yeb/boot")
NO_BUS = "unix:path=/nonexistent"  # libnm must never reach the host's D-Bus
RUNNING = []  # daemons not yet stopped, oldest first
LOGS = [Path(tempfile.gettempdir())]


def pytest_configure(config):
    if os.environ.get("LK_SANDBOX_FS") != "1":
        pytest.exit("run the integration tests through scripts/sandbox-fs.sh", returncode=2)


def binary(var):
    path = os.environ.get(var)
    if not path or not os.access(path, os.X_OK):
        pytest.skip("%s does not name a built program" % var)
    return path


def wait_until(predicate, timeout=30, what="condition"):
    """Polls predicate until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()):
        assert time.monotonic() < deadline, "timed out after %ss waiting for %s" % (timeout, what)
        time.sleep(0.05)
    return result


class NodeFacts:
    """The run-time files the daemon reads, reset to a plain node."""

    def __init__(self):
        for d in ("/run/yeb",) + BOOT_DIRS:
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
        if os.path.exists("/etc/yeb.properties"):
            os.remove("/etc/yeb.properties")
        self.write("/run/yeb/nodeType", "controller\n")
        self.write("/run/yeb/nodeName", "node-a\n")

    def write(self, path, text):
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())

    def write_class(self, key, text):
        self.write(os.path.join(BOOT_DIRS[0], key), text)


@pytest.fixture
def node():
    yield NodeFacts()
    NodeFacts()


@pytest.fixture(scope="module")
def facts():
    """Class lists for the NetworkManager tests: veth0 is listed twice, external wins."""
    node = NodeFacts()
    node.write_class("netif_external", "veth0\n")
    node.write_class("netif_internal", "veth0\nveth1\n")
    node.write_class("netif_integration", "lo\nwlan0\n")
    yield node
    NodeFacts()


def stop_process(proc, sig=signal.SIGTERM):
    """Ends a process by its PID with sig, then SIGKILL when it is not gone in 10 s."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


class Daemon:
    """One linkKeeper logging to the console, its output kept in a file."""

    def __init__(self, args, bus_address=NO_BUS, env=None):
        self.log_path = LOGS[0] / ("daemon%d.log" % len(os.listdir(LOGS[0])))
        env = dict(os.environ, **(env or {}), DBUS_SYSTEM_BUS_ADDRESS=bus_address)
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([binary("LK_DAEMON"), *args], stdout=log, env=env,
                                         stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        RUNNING.append(self)

    def log(self):
        return self.log_path.read_bytes().decode(errors="replace")

    def log_texts(self):
        """The text of each console line, after the time stamp's "| "."""
        return [line.split(" | ", 1)[1] for line in self.log().splitlines() if " | " in line]

    def stop(self, sig=signal.SIGTERM):
        """Ends the daemon with sig (SIGKILL after 10 s); its exit status."""
        if self in RUNNING:
            RUNNING.remove(self)
        return stop_process(self.proc, sig)


class Linkkeeper:
    """A daemon connected to a bus server of its own, with its identity read."""

    def __init__(self, bus_address=NO_BUS, env=None, args=()):
        self.server = BusServer()
        self.daemon = Daemon(["-c", "-s", self.server.address, *args], bus_address, env)
        self.conn = self.server.accept()
        assert self.conn is not None, self.daemon.log()
        self.identity = self.conn.read_identity()

    def with_nm(self):
        """Itself, once its NetworkManager client is up (a slow start answers 6 before)."""
        wait_until(lambda: "NetworkManager is running" in self.daemon.log(), what="the client")
        return self

    def call(self, api_id, payload=b""):
        """(status, payload) of one request; dicts are sent as JSON text."""
        if isinstance(payload, dict):
            payload = json.dumps(payload).encode()
        frame = self.conn.request(api_id, payload)
        return frame.status, frame.payload

    def json(self, api_id, payload=b""):
        """(status, decoded JSON or None)."""
        frame = self.conn.request(api_id, payload)
        return frame.status, frame.json() if frame.status == 0 and frame.payload else None

    def wait_json(self, api_id, payload=b"", accept=lambda reply: reply[0] == 0):
        """The first (status, JSON) reply to the request that accept() takes."""
        def probe():
            reply = self.json(api_id, payload)
            return accept(reply) and reply
        return wait_until(probe)

    def stop(self):
        status = self.daemon.stop()
        self.server.close()
        return status


@pytest.fixture(scope="session", autouse=True)
def log_dir(tmp_path_factory):
    LOGS[0] = tmp_path_factory.mktemp("logs")
    yield
    while RUNNING:
        RUNNING[-1].stop()


@pytest.fixture(autouse=True)
def stop_new_daemons():
    """Stops the daemons a test started (not those of module fixtures) when it ends."""
    mark = len(RUNNING)
    yield
    for daemon in RUNNING[mark:]:
        daemon.stop()


def ifname(name):
    return name.encode() + b"\0"


def nmcli(*args, check=True):
    proc = subprocess.run(["nmcli", *args], capture_output=True, text=True, timeout=60)
    assert not check or proc.returncode == 0, "nmcli %s: %s" % (" ".join(args), proc.stderr)
    return proc.stdout
