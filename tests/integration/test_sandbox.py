"""The test environments themselves: a real NetworkManager in its sandbox, and the Wi-Fi mock.

Everything else in this folder trusts these two; these tests show that each gives what the
other tests rely on and that neither reaches this machine's network, D-Bus or files.
"""

import os
import socket
import subprocess

import pytest

from nmmock import nm_mock, plain  # noqa: F401 pylint: disable=unused-import
from nmsandbox import (NmSandbox, far_side_ipv4, far_side_ipv6, free_ipv4,  # noqa: F401
                       nm_sandbox, require_sandbox_support, wait_until)

HOST_PROFILE_DIR = "/etc/NetworkManager/system-connections"
# Tests that look at the sandbox from outside, or make one of their own.
from_outside = pytest.mark.skipif(os.environ.get("LK_NM_SANDBOX") == "1",
                                  reason="the session runs inside a sandbox")


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


# --- the real NetworkManager ----------------------------------------------------------------

def test_network_manager_manages_every_veth_device_at_once(nm_sandbox):
    states = nm_sandbox.device_states()
    assert {"veth%d" % i: "disconnected" for i in range(nm_sandbox.veth)}.items() <= states.items()
    types = nm_sandbox.nmcli("-t", "-f", "DEVICE,TYPE", "device").splitlines()
    assert "veth0:ethernet" in types


@pytest.mark.parametrize("pair, family", [(0, 4), (1, 6)])
def test_static_profile_configures_the_link_and_reaches_the_far_side(nm_sandbox, pair, family):
    dev, name = "veth%d" % pair, "static%d" % pair
    if family == 4:
        mine, far = free_ipv4(pair, 10) + "/28", far_side_ipv4(pair)
        ip_args = ["ipv4.method", "manual", "ipv4.addresses", mine, "ipv6.method", "disabled"]
    else:
        mine, far = "2001:db8:0:%x::10/64" % pair, far_side_ipv6(pair)
        ip_args = ["ipv6.method", "manual", "ipv6.addresses", mine, "ipv4.method", "disabled"]
    nm_sandbox.nmcli("connection", "add", "type", "ethernet", "ifname", dev, "con-name", name,
                     *ip_args)
    nm_sandbox.nmcli("connection", "up", name)
    assert mine in nm_sandbox.run("ip", "-br", "addr", "show", dev).stdout
    ping = ["ping", "-%d" % family, "-c1"]
    # A fresh IPv6 address first passes duplicate address detection.
    wait_until(lambda: nm_sandbox.run(*ping, "-W1", far, check=False).returncode == 0,
               what="the far side answering on " + dev)
    nm_sandbox.far(*ping, "-W2", mine.split("/")[0])
    assert nm_sandbox.device_states()[dev] == "connected"
    nm_sandbox.nmcli("connection", "delete", name)


@from_outside
def test_profiles_land_in_the_sandbox_and_never_on_the_host(nm_sandbox):
    host_before = sorted(os.listdir(HOST_PROFILE_DIR)) if os.path.isdir(HOST_PROFILE_DIR) else []
    nm_sandbox.nmcli("connection", "add", "type", "ethernet", "ifname", "veth1", "con-name",
                     "kept-inside", "ipv4.method", "disabled", "ipv6.method", "disabled")
    inside = os.listdir(nm_sandbox.path())
    assert "kept-inside.nmconnection" in inside
    host_after = sorted(os.listdir(HOST_PROFILE_DIR)) if os.path.isdir(HOST_PROFILE_DIR) else []
    assert host_after == host_before
    nm_sandbox.delete_all_profiles()
    assert os.listdir(nm_sandbox.path()) == []


def test_keyfiles_written_through_the_profile_path_load_on_reload(nm_sandbox):
    path = os.path.join(nm_sandbox.path(), "from-test.nmconnection")
    with open(path, "w") as f:
        f.write("[connection]\nid=from-test\ntype=ethernet\ninterface-name=veth1\n"
                "autoconnect=false\n[ipv4]\nmethod=disabled\n[ipv6]\nmethod=disabled\n")
    os.chmod(path, 0o600)
    nm_sandbox.nmcli("connection", "reload")
    assert "from-test" in nm_sandbox.nmcli("-t", "-f", "NAME", "connection").split()
    nm_sandbox.delete_all_profiles()


@from_outside
def test_sandbox_has_its_own_network_bus_and_resolver(nm_sandbox):
    # The veth devices exist only inside; the host's links and bus are out of reach.
    assert subprocess.run(["ip", "link", "show", "veth0"], capture_output=True).returncode != 0
    bus = nm_sandbox.env["DBUS_SYSTEM_BUS_ADDRESS"]
    assert bus.startswith("unix:path=/run/lk-nm/")
    assert not os.path.exists(bus[len("unix:path="):])
    resolv = nm_sandbox.run("cat", "/etc/resolv.conf").stdout
    assert resolv.startswith("# linkKeeper sandbox")


def test_sockets_made_under_netns_are_reachable_from_inside(nm_sandbox):
    with nm_sandbox.netns():
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    with server:
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        port = server.getsockname()[1]
        client = nm_sandbox.popen("bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/%d; cat <&3" % port)
        server.settimeout(15)
        conn, _ = server.accept()
        conn.close()
        client.wait(timeout=15)


@from_outside
def test_stop_ends_every_process_in_the_sandbox_also_forgotten_ones():
    require_sandbox_support()
    sandbox = NmSandbox(veth=1).start()
    try:
        nm_pid = int(open(sandbox.path("/run/lk-nm/NetworkManager.pid")).read())
        forgotten = int(sandbox.run("sh", "-c", "sleep 600 >/dev/null 2>&1 & echo $!").stdout)
        far_forgotten = int(sandbox.run("sh", "-c", "ip netns exec $LK_FAR_NS "
                                        "sleep 600 >/dev/null 2>&1 & echo $!").stdout)
        supervisor = sandbox.supervisor.pid
    finally:
        sandbox.stop()
    for pid in (nm_pid, forgotten, far_forgotten, supervisor):
        assert not pid_alive(pid), pid


# --- the Wi-Fi mock -------------------------------------------------------------------------

@pytest.fixture
def wifi(nm_mock):
    """A mock with a Wi-Fi and an Ethernet device and three access points, one hidden."""
    nm_mock.device = nm_mock.add_wifi_device("wlan0")
    nm_mock.add_ethernet_device("eth0")
    nm_mock.aps = [nm_mock.add_access_point(nm_mock.device, "HomeNet", security="wpa2",
                                            strength=80, bssid="00:00:5E:00:53:01"),
                   nm_mock.add_access_point(nm_mock.device, "Cafe", security="open",
                                            strength=40, bssid="00:00:5E:00:53:02"),
                   nm_mock.add_access_point(nm_mock.device, "", bssid="00:00:5E:00:53:03")]
    return nm_mock


def test_nmcli_sees_the_mocks_devices_and_access_points(wifi):
    assert sorted(wifi.nmcli("-t", "-f", "DEVICE,TYPE,STATE", "device").splitlines()) == [
        "eth0:ethernet:disconnected", "wlan0:wifi:disconnected"]
    listed = wifi.nmcli("-t", "-f", "BSSID,SSID,SECURITY,SIGNAL", "device", "wifi", "list")
    assert sorted(listed.splitlines()) == [
        r"00\:00\:5E\:00\:53\:01:HomeNet:WPA2:80",
        r"00\:00\:5E\:00\:53\:02:Cafe::40",
        r"00\:00\:5E\:00\:53\:03:::70"]


def test_removed_access_points_vanish_from_the_list(wifi):
    wifi.remove_access_point(wifi.device, wifi.aps[1])
    assert "Cafe" not in wifi.nmcli("-t", "-f", "SSID", "device", "wifi", "list").split()
    assert wifi.access_points(wifi.device) == [wifi.aps[0], wifi.aps[2]]


def test_pre_shared_key_comes_only_through_the_secrets_call(wifi):
    profile = wifi.add_wifi_profile("HomeNet", psk="correct horse battery")
    conn = wifi.interface(profile, "org.freedesktop.NetworkManager.Settings.Connection")
    assert plain(conn.GetSettings())["802-11-wireless-security"] == {"key-mgmt": "wpa-psk"}
    assert plain(conn.GetSecrets("802-11-wireless-security")) == {
        "802-11-wireless-security": {"psk": "correct horse battery"}}
    assert wifi.nmcli("--show-secrets", "-g", "802-11-wireless.ssid,802-11-wireless-security.psk",
                      "connection", "show", "HomeNet").splitlines() == [
        "HomeNet", "correct horse battery"]


def test_profiles_added_by_a_libnm_client_are_stored_with_their_secrets(wifi):
    wifi.nmcli("connection", "add", "type", "wifi", "ifname", "wlan0", "con-name", "Office",
               "ssid", "Office", "wifi-sec.key-mgmt", "wpa-psk", "wifi-sec.psk", "s3cret-key")
    stored = wifi.profiles_by_id()["Office"]
    assert stored["802-11-wireless"]["ssid"] == b"Office"
    assert stored["802-11-wireless-security"] == {"key-mgmt": "wpa-psk", "psk": "s3cret-key"}
    assert stored["connection"]["interface-name"] == "wlan0"


def test_radio_switch_is_written_as_a_property_and_gates_scans(wifi):
    wifi.nmcli("radio", "wifi", "off")
    assert wifi.wireless_enabled() is False
    assert "not allowed" in wifi.nmcli_run("device", "wifi", "rescan").stderr
    wifi.nmcli("radio", "wifi", "on")
    assert wifi.wireless_enabled() is True
    wifi.nmcli("device", "wifi", "rescan")
    assert wifi.get(wifi.device, "org.freedesktop.NetworkManager.Device.Wireless",
                    "LastScan") > 0
    wifi.set_scan_error(wifi.device)
    assert wifi.nmcli_run("device", "wifi", "rescan").returncode != 0
    assert len(wifi.calls(wifi.device, "RequestScan")) == 3


def test_activation_and_disconnect_move_the_device_state(wifi):
    wifi.add_wifi_profile("Cafe")
    wifi.nmcli("connection", "up", "Cafe")
    assert "wlan0:connected" in wifi.nmcli("-t", "-f", "DEVICE,STATE", "device").split()
    wifi.nmcli("device", "disconnect", "wlan0")
    assert "wlan0:disconnected" in wifi.nmcli("-t", "-f", "DEVICE,STATE", "device").split()
