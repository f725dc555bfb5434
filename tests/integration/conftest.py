"""Fixtures for running the real linkKeeper against the Python bus server.

The session must run inside scripts/sandbox-fs.sh: the tests write node facts under /run/yeb,
boot lists and /etc/yeb.properties, which there land in scratch file systems.
"""

import os
import shutil
import subprocess
import time

import pytest

from trelbus import BusServer

RUN_YEB = "/run/yeb"
BOOT_DIRS = ("/run/yeb/boot", "/mnt/datafs/boot", "/usr/share/yeb/boot")
ETC_PROPERTIES = "/etc/yeb.properties"


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


class NodeFacts:
    """The run-time files the daemon reads, reset to a plain node for every test."""

    def __init__(self):
        self.reset()

    def reset(self):
        for d in (RUN_YEB,) + BOOT_DIRS:
            os.makedirs(d, exist_ok=True)
        for name in os.listdir(RUN_YEB):
            path = os.path.join(RUN_YEB, name)
            if os.path.isdir(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
        for d in BOOT_DIRS:
            os.makedirs(d, exist_ok=True)
            for name in os.listdir(d):
                os.remove(os.path.join(d, name))
        if os.path.exists(ETC_PROPERTIES):
            os.remove(ETC_PROPERTIES)
        self.write("nodeType", "controller\n")
        self.write("nodeName", "node-a\n")

    def write(self, name, text):
        with open(os.path.join(RUN_YEB, name), "w") as f:
            f.write(text)

    def remove(self, name):
        path = os.path.join(RUN_YEB, name)
        if os.path.exists(path):
            os.remove(path)

    def set_primary(self, primary):
        if primary:
            self.write("primary", "")
        else:
            self.remove("primary")

    def write_class(self, key, text, directory=BOOT_DIRS[0]):
        with open(os.path.join(directory, key), "w") as f:
            f.write(text)


@pytest.fixture
def node():
    facts = NodeFacts()
    yield facts
    facts.reset()


class Daemon:
    """One linkKeeper process logging to the console, its output kept in a file."""

    def __init__(self, path, args, log_path, bus_address="unix:path=/nonexistent", env=None):
        env = dict(os.environ, **(env or {}))
        # libnm must never reach the host's D-Bus; without a bus it simply has no client.
        # Tests with a private NetworkManager (or a mock of it) name that bus instead.
        env["DBUS_SYSTEM_BUS_ADDRESS"] = bus_address
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
        """Waits until the texts appear as log lines in this order, from line start on;
        returns the index after the last one."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.log_texts()
            pos, found = start, 0
            for i in range(start, len(lines)):
                if found < len(texts) and lines[i] == texts[found]:
                    found += 1
                    pos = i + 1
            if found == len(texts):
                return pos
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("log lines %r not seen in order; log:\n%s"
                                     % (texts, self.log()))
            time.sleep(0.02)

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
        d = Daemon(daemon_path, args, tmp_path / ("daemon%d.log" % len(started)))
        started.append(d)
        return d

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
