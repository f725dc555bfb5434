"""A real NetworkManager for tests: scripts/nm-sandbox.sh driven from pytest.

NetworkManager runs in its own network and mount namespaces, with veth0..vethN-1 (LK_VETH)
managed and their peers far0.. in the far-side namespace: pair i has the far side at
192.0.2.(16i+1)/28 and 2001:db8:0:i::1/64. A pytest session that already runs inside a sandbox
("nm-sandbox.sh run python3 -m pytest ...") uses that one.
"""

import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import wait_until

REPO = Path(__file__).resolve().parents[2]
SCRIPT = REPO / "scripts" / "nm-sandbox.sh"
PROFILE_DIR = "/etc/NetworkManager/system-connections"


def stop_process(proc, timeout=10):
    """Terminates a Popen by its PID, killing it when it does not go in time."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=timeout)


def far_side_ipv4(pair):
    return "192.0.2.%d" % (16 * pair + 1)


def far_side_ipv6(pair):
    return "2001:db8:0:%x::1" % pair


class NmSandbox:
    """A running nm-sandbox.sh; commands given to run() execute inside it."""

    def __init__(self, veth=2):
        self.veth = veth
        self.inside = os.environ.get("LK_NM_SANDBOX") == "1"
        self.dir = self.supervisor = None
        self.env = {}

    def start(self, timeout=60):
        if self.inside:
            self.veth = int(os.environ["LK_VETH"])
            self.env = {k: os.environ[k] for k in ("DBUS_SYSTEM_BUS_ADDRESS", "LK_FAR_NS")}
            return self
        self.dir = tempfile.mkdtemp(prefix="lk-nm-sandbox.")
        env = dict(os.environ, LK_VETH=str(self.veth), LK_SANDBOX_OWNER=str(os.getpid()))
        with open(os.path.join(self.dir, "supervisor.log"), "wb") as log:
            self.supervisor = subprocess.Popen([str(SCRIPT), "start", self.dir], env=env,
                                               stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        try:
            wait_until(lambda: os.path.exists(os.path.join(self.dir, "ready"))
                       or self.supervisor.poll() is not None, timeout=timeout, what="the sandbox")
            if self.supervisor.poll() is not None:
                raise RuntimeError("nm-sandbox.sh failed:\n" + self.log("supervisor.log"))
        except BaseException:
            self.stop()
            raise
        with open(os.path.join(self.dir, "env")) as f:
            self.env = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        with open(os.path.join(self.dir, "pid")) as f:
            self.pid = int(f.read())
        return self

    def stop(self):
        """Stops the sandbox, which ends everything still running in its namespaces."""
        if self.supervisor is None:
            return
        pid_file = os.path.join(self.dir, "pid")
        if self.supervisor.poll() is None and os.path.exists(pid_file):
            with open(pid_file) as f, contextlib.suppress(ProcessLookupError):
                os.kill(int(f.read()), signal.SIGTERM)
        try:
            self.supervisor.wait(timeout=30)
        except subprocess.TimeoutExpired:
            # The inner shell watches this one and tears down once it is gone.
            self.supervisor.kill()
            self.supervisor.wait(timeout=10)
        self.supervisor = None
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def log(self, name="NetworkManager.log"):
        """One of the sandbox's logs: NetworkManager.log, dbus.log, supervisor.log."""
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read().decode(errors="replace")

    def run(self, *argv, check=True, timeout=60):
        """Runs a command inside; its CompletedProcess with text output captured."""
        argv = [str(a) for a in argv]
        command = argv if self.inside else [str(SCRIPT), "exec", self.dir] + argv
        result = subprocess.run(command, timeout=timeout, capture_output=True, text=True,
                                stdin=subprocess.DEVNULL)
        assert not check or result.returncode == 0, "%s: %d\n%s%s" % (
            argv, result.returncode, result.stdout, result.stderr)
        return result

    def nmcli(self, *args):
        return self.run("nmcli", *args).stdout

    def path(self, inside_path=PROFILE_DIR):
        """A path of the sandbox's file system as the test process reaches it."""
        return inside_path if self.inside else "/proc/%d/root%s" % (self.pid, inside_path)


def require_sandbox_support():
    """Skips unless this machine can run the sandbox (root, NetworkManager, namespaces)."""
    if os.geteuid() != 0:
        pytest.skip("the NetworkManager sandbox needs root")
    for tool in ("NetworkManager", "nmcli", "dbus-daemon", "nsenter", "unshare", "ip"):
        if shutil.which(tool) is None:
            pytest.skip("%s is not installed (scripts/install-deps.sh)" % tool)


@pytest.fixture(scope="module")
def nm_sandbox():
    """One sandbox per test module, LK_VETH veth pairs (default 2)."""
    require_sandbox_support()
    with NmSandbox(veth=int(os.environ.get("LK_VETH", "2"))) as sandbox:
        yield sandbox
