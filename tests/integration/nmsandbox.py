"""A real NetworkManager for tests: scripts/nm-sandbox.sh driven from pytest.

    from nmsandbox import nm_sandbox          # the fixture: one sandbox per test module

    def test_x(nm_sandbox):
        nm_sandbox.nmcli("connection", "add", "type", "ethernet", "ifname", "veth0", ...)
        nm_sandbox.run("ip", "-br", "addr", "show", "veth0")   # inside the sandbox
        nm_sandbox.far("ping", "-c1", "192.0.2.10")              # on the far-side host
        daemon = nm_sandbox.popen(lk_bin, "-c", ...)             # stopped with the sandbox
        with nm_sandbox.netns():                                  # sockets made here live
            server = socket.socket(...)                           # in the sandbox's network

The sandbox runs NetworkManager in its own network and mount namespaces, with veth0..vethN-1
(LK_VETH) managed and their peers far0.. in the far-side namespace: pair i has the far side at
192.0.2.(16i+1)/28 and 2001:db8:0:i::1/64. The profile directory is reachable from the test
process through path(). When the pytest session itself already runs inside a sandbox
("nm-sandbox.sh run python3 -m pytest ..."), the fixture uses that one instead.
"""

import contextlib
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SCRIPT = REPO / "scripts" / "nm-sandbox.sh"
PROFILE_DIR = "/etc/NetworkManager/system-connections"
CLONE_NEWNET = 0x40000000


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
    """The far-side host's IPv4 address on veth pair `pair`, a /28."""
    return "192.0.2.%d" % (16 * pair + 1)


def far_side_ipv6(pair):
    return "2001:db8:0:%x::1" % pair


def free_ipv4(pair, host=10):
    """An address for the sandbox's side of the pair, in the far side's /28 (host 2..14)."""
    assert 2 <= host <= 14
    return "192.0.2.%d" % (16 * pair + host)


class NmSandbox:
    """A running nm-sandbox.sh; commands given to run() and popen() execute inside it."""

    def __init__(self, veth=2):
        self.veth = veth
        self.inside = os.environ.get("LK_NM_SANDBOX") == "1"
        self.dir = None
        self.supervisor = None
        self.env = {}
        self.started = []

    # --- life cycle ---------------------------------------------------------------------------

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
            wait_until(self._ready_or_failed, timeout=timeout, what="the NetworkManager sandbox")
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

    def _ready_or_failed(self):
        return os.path.exists(os.path.join(self.dir, "ready")) or self.supervisor.poll() is not None

    def stop(self):
        """Stops what popen() started, then the sandbox itself (which also ends anything else
        still running in its namespaces)."""
        for proc in self.started:
            stop_process(proc)
        self.started = []
        if self.supervisor is None:
            return
        pid_file = os.path.join(self.dir, "pid")
        if self.supervisor.poll() is None and os.path.exists(pid_file):
            with open(pid_file) as f:
                inner = int(f.read())
            with contextlib.suppress(ProcessLookupError):
                os.kill(inner, signal.SIGTERM)
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
        if self.dir is None:
            return "(logs are inside the sandbox under /run/lk-nm)"
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read().decode(errors="replace")

    # --- running things inside ----------------------------------------------------------------

    @property
    def far_ns(self):
        """The far-side host's namespace name, for "ip netns exec" inside the sandbox."""
        return self.env["LK_FAR_NS"]

    def command(self, *argv):
        """The argument vector that runs argv inside the sandbox."""
        argv = [str(a) for a in argv]
        return argv if self.inside else [str(SCRIPT), "exec", self.dir] + argv

    def run(self, *argv, check=True, timeout=60, **kwargs):
        """Runs a command inside and returns its CompletedProcess (text output captured)."""
        kwargs.setdefault("capture_output", "stdout" not in kwargs and "stderr" not in kwargs)
        kwargs.setdefault("text", True)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        result = subprocess.run(self.command(*argv), timeout=timeout, **kwargs)
        if check and result.returncode != 0:
            raise AssertionError("%s exited with %d\nstdout: %s\nstderr: %s"
                                 % (" ".join(map(str, argv)), result.returncode,
                                    result.stdout, result.stderr))
        return result

    def popen(self, *argv, **kwargs):
        """Starts a long-running process inside (its PID is the process itself); stop() or
        stop_process() ends it."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(self.command(*argv), **kwargs)
        self.started.append(proc)
        return proc

    def nmcli(self, *args, check=True):
        """nmcli's standard output, from an independent libnm client in the sandbox."""
        return self.run("nmcli", *args, check=check).stdout

    def far(self, *argv, check=True, **kwargs):
        """Runs a command on the far-side host."""
        return self.run("ip", "netns", "exec", self.far_ns, *argv, check=check, **kwargs)

    def path(self, inside_path=PROFILE_DIR):
        """A path of the sandbox's file system as the test process reaches it."""
        if self.inside:
            return inside_path
        return "/proc/%d/root%s" % (self.pid, inside_path)

    @contextlib.contextmanager
    def netns(self):
        """Moves the calling thread into the sandbox's network namespace for the block, so
        sockets made there (a bus server for linkKeeper to reach) belong to it."""
        if self.inside:
            yield
            return
        libc = ctypes.CDLL(None, use_errno=True)
        with open("/proc/thread-self/ns/net") as home, open("/proc/%d/ns/net" % self.pid) as ns:
            if libc.setns(ns.fileno(), CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns into the sandbox")
            try:
                yield
            finally:
                if libc.setns(home.fileno(), CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns back home")

    # --- NetworkManager's view ----------------------------------------------------------------

    def device_states(self):
        """{device: state} as nmcli reports them."""
        out = self.nmcli("-t", "-f", "DEVICE,STATE", "device")
        return dict(line.split(":", 1) for line in out.splitlines() if ":" in line)

    def profile_uuids(self):
        """The UUIDs of every profile but the loopback one NetworkManager makes itself."""
        out = self.nmcli("-t", "-f", "UUID,TYPE", "connection")
        return [line.split(":")[0] for line in out.splitlines() if not line.endswith(":loopback")]

    def delete_all_profiles(self):
        """Removes every profile, so a test starts from none."""
        uuids = self.profile_uuids()
        if uuids:
            self.nmcli("connection", "delete", "uuid", *uuids)
        wait_until(lambda: not self.profile_uuids(), what="all profiles gone")


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
