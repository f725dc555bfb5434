"""Smoke checks of the NetworkManager sandbox: it manages its veth devices, stays inside its
namespaces and ends with them. test_nm_read.py and test_nm_write.py exercise it, and the Wi-Fi
mock, in depth."""

import os
import subprocess

import pytest

from nmsandbox import NmSandbox, nm_sandbox, require_sandbox_support  # noqa: F401 (fixture)

HOST_PROFILE_DIR = "/etc/NetworkManager/system-connections"
from_outside = pytest.mark.skipif(os.environ.get("LK_NM_SANDBOX") == "1",
                                  reason="the session runs inside a sandbox")


def host_profiles():
    return sorted(os.listdir(HOST_PROFILE_DIR)) if os.path.isdir(HOST_PROFILE_DIR) else []


def test_network_manager_manages_every_veth_device(nm_sandbox):
    lines = nm_sandbox.nmcli("-t", "-f", "DEVICE,TYPE,STATE", "device").splitlines()
    for i in range(nm_sandbox.veth):
        assert "veth%d:ethernet:disconnected" % i in lines


@from_outside
def test_profiles_links_bus_and_resolver_stay_inside(nm_sandbox):
    before = host_profiles()
    nm_sandbox.nmcli("connection", "add", "type", "ethernet", "ifname", "veth1", "con-name",
                     "kept-inside", "ipv4.method", "disabled", "ipv6.method", "disabled")
    assert "kept-inside.nmconnection" in os.listdir(nm_sandbox.path())
    assert host_profiles() == before
    nm_sandbox.nmcli("connection", "delete", "kept-inside")
    assert subprocess.run(["ip", "link", "show", "veth0"], capture_output=True).returncode != 0
    bus = nm_sandbox.env["DBUS_SYSTEM_BUS_ADDRESS"]
    assert bus.startswith("unix:path=/run/lk-nm/")
    assert not os.path.exists(bus[len("unix:path="):])
    assert nm_sandbox.run("cat", "/etc/resolv.conf").stdout.startswith("# linkKeeper sandbox")


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@from_outside
def test_stop_ends_every_process_in_the_sandbox_also_forgotten_ones():
    require_sandbox_support()
    sandbox = NmSandbox(veth=1).start()
    try:
        pids = [int(open(sandbox.path("/run/lk-nm/NetworkManager.pid")).read()),
                sandbox.supervisor.pid]
        for prefix in ("", "ip netns exec $LK_FAR_NS "):
            pids.append(int(sandbox.run(
                "sh", "-c", prefix + "sleep 600 >/dev/null 2>&1 & echo $!").stdout))
    finally:
        sandbox.stop()
    assert not [pid for pid in pids if pid_alive(pid)]

