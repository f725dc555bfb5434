"""The read-only NetworkManager requests end to end: the real linkKeeper against a real
NetworkManager in nm-sandbox.sh (interfaces, details, connections) and against the mock of
nmmock.py for Wi-Fi (radio, access points, scans, Wi-Fi profiles with secrets)."""

import base64
import json
import os
import subprocess

import dbus
import pytest

# Linkkeeper and nmcli are imported from here by bench/nm/bench_nm_write.py too.
from conftest import (MANUAL_IP4, MANUAL_IP6, Linkkeeper, ifname, in_nm_sandbox,  # noqa: F401
                      nmcli, wait_until)
from nmmock import AP_SECURITY, MANAGER, MOCK_IFACE

pytestmark = in_nm_sandbox

LIST, DETAILS, GET_CONNECTION, RADIO, ACCESS_POINTS, SCAN = 1, 2, 4, 9, 10, 11
ENOENT, EINVAL, EOPNOTSUPP = 2, 22, 95

DETAIL_KEYS = ["name", "type", "yebtype", "nmdevicestate", "hwaddress", "mtu", "ethernet",
               "configured", "ip4settings", "ip6settings"]


def wait_for_reply(lk, api_id, payload, accept=lambda reply: reply[0] == 0):
    """The first (status, JSON) reply to the request that accept() takes."""
    def probe():
        reply = lk.json(api_id, payload)
        return reply if accept(reply) else None
    return wait_until(probe)


def nmcli_fields(text):
    """Terse nmcli lines "FIELD:value" (":" escaped in values) as a dict of lists."""
    fields = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        if value:
            fields.setdefault(key.split("[")[0], []).append(value.replace("\\:", ":"))
    return fields


def sysfs(ifname_, attribute):
    try:
        with open("/sys/class/net/%s/%s" % (ifname_, attribute)) as f:
            return f.readline().rstrip("\n")
    except OSError:
        return None


# --- real NetworkManager --------------------------------------------------------------------

@pytest.fixture(scope="module")
def lk(facts, tmp_path_factory):
    daemon = Linkkeeper(tmp_path_factory.mktemp("lk") / "daemon.log",
                        os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
    yield daemon
    daemon.stop()


@pytest.fixture
def profile():
    """Adds a profile with nmcli and brings it up; every one is deleted afterwards."""
    names = []

    def add(name, device, *settings, kind="ethernet", up=True, wait=True):
        nmcli("connection", "add", "type", kind, "ifname", device, "con-name", name,
              "connection.autoconnect", "no", *settings)
        names.append(name)
        if up:  # without waiting, it is active (activating) at once, whatever DHCP does
            nmcli(*([] if wait else ["--wait", "0"]), "connection", "up", name)

    yield add
    for name in reversed(names):
        nmcli("connection", "delete", name, check=False)


def test_interface_list_is_what_nmcli_shows(lk):
    status, devices = lk.json(LIST)
    assert status == 0
    assert all(list(d) == ["name", "type", "yebtype", "nmdevicestate"] for d in devices
               if d["name"] in ("veth0", "veth1", "lo"))

    def agree():
        ours = {d["name"]: (d["type"], d["nmdevicestate"]) for d in lk.json(LIST)[1]}
        shown = nmcli("-t", "-f", "GENERAL.DEVICE,GENERAL.TYPE,GENERAL.STATE", "device", "show")
        theirs = {}
        for device in shown.strip().split("\n\n"):
            name, kind, state = (line.split(":", 1)[1] for line in device.splitlines())
            theirs[name] = (kind, int(state.split()[0]))
        return ours == theirs and ours

    assert {"veth0", "veth1", "lo"} <= set(wait_until(agree))
    labels = {d["name"]: d.get("yebtype") for d in lk.json(LIST)[1]}
    assert labels == dict(dict.fromkeys(labels), veth0="external", veth1="internal",
                          lo="integration")


def test_details_of_a_statically_configured_veth(lk, profile):
    profile("lk-static", "veth0", *(
        "ipv4.method manual ipv4.addresses 192.0.2.2/28,198.51.100.5/24 ipv4.gateway 192.0.2.1 "
        "ipv4.dns 192.0.2.53,203.0.113.53 ipv6.method manual ipv6.addresses 2001:db8::2/64 "
        "ipv6.gateway 2001:db8::1 ipv6.dns 2001:db8::53").split())

    def settled():
        _, details = lk.json(DETAILS, ifname("veth0"))
        ip4, ip6 = details["ip4settings"], details["ip6settings"]
        if not (details["configured"] and ip4 and ip6
                and "2001:db8::2/64" in ip6["addressprefixlist"]):
            return None
        shown = nmcli_fields(nmcli("-t", "-f", "IP4.ADDRESS,IP4.GATEWAY,IP4.DNS,IP6.ADDRESS,"
                                   "IP6.GATEWAY,IP6.DNS", "device", "show", "veth0"))
        for family, ip in (("IP4", ip4), ("IP6", ip6)):
            if (ip["addressprefixlist"] != shown.get(family + ".ADDRESS", [])
                    or ip["dnslist"] != shown.get(family + ".DNS", [])
                    or [ip["gateway"] or ""] != shown.get(family + ".GATEWAY", [""])):
                return None
        return details

    details = wait_until(settled)
    assert list(details) == DETAIL_KEYS
    assert details["name"] == "veth0" and details["type"] == "ethernet"
    assert details["yebtype"] == "external" and details["nmdevicestate"] == 100
    assert details["hwaddress"] == sysfs("veth0", "address").upper()
    assert details["mtu"] == int(sysfs("veth0", "mtu"))
    ip4 = details["ip4settings"]
    assert sorted(ip4["addressprefixlist"]) == ["192.0.2.2/28", "198.51.100.5/24"]
    assert (ip4["gateway"], ip4["dnslist"]) == ("192.0.2.1", ["192.0.2.53", "203.0.113.53"])
    assert details["ip6settings"]["dnslist"] == ["2001:db8::53"]
    # Speed and duplex only where the kernel gives them for the link.
    speed, duplex = sysfs("veth0", "speed"), sysfs("veth0", "duplex")
    expected = {"carrier": True, "speed": speed and int(speed), "duplex": duplex}
    assert details["ethernet"] == {k: v for k, v in expected.items() if v is not None}
    assert list(details["ethernet"]) == [k for k, v in expected.items() if v is not None]


def test_details_of_a_link_without_carrier_have_no_speed_and_duplex(lk):
    far = ["ip", "-n", os.environ["LK_FAR_NS"], "link", "set", "far1"]
    subprocess.run(far + ["down"], check=True)
    try:
        _, details = wait_for_reply(lk, DETAILS, ifname("veth1"),
                                    lambda r: r[1]["ethernet"] == {"carrier": False})
        assert (details["yebtype"], details["configured"], details["ip4settings"]) == (
            "internal", False, None)
    finally:
        subprocess.run(far + ["up"], check=True)
    wait_until(lambda: lk.json(DETAILS, ifname("veth1"))[1]["ethernet"]["carrier"])


def test_details_of_loopback_have_no_link_member(lk):
    details = lk.json(DETAILS, ifname("lo"))[1]
    assert "ethernet" not in details and "wifi" not in details
    assert (details["type"], details["yebtype"]) == ("loopback", "integration")


@pytest.mark.parametrize("api_id", [DETAILS, GET_CONNECTION])
@pytest.mark.parametrize("name", [b"nosuch0\0", b"\0", b""])
def test_unknown_interface_is_answered_with_minus_2_and_no_text(lk, api_id, name):
    assert lk.call(api_id, name) == (ENOENT, b"")


CONNECTION_CASES = {
    "manual IPv4 with name servers reports the first address only": (
        "veth0", "ipv4.method manual ipv4.addresses 192.0.2.2/28,192.0.2.3/28 ipv4.gateway "
        "192.0.2.1 ipv4.dns 192.0.2.53,203.0.113.53 ipv6.method manual ipv6.addresses "
        "2001:db8::2/64,2001:db8::3/64 ipv6.gateway 2001:db8::1 ipv6.dns 2001:db8::53 "
        "ipv6.addr-gen-mode eui64", {"ip4": MANUAL_IP4, "ip6": MANUAL_IP6}),
    "automatic profile has only the methods": (
        "veth1", "ipv4.method auto ipv6.method auto ipv6.addr-gen-mode default",
        {"ip4": {"method": "auto"}, "ip6": {"method": "auto"}}),
    "manual IPv6 names its addr-gen-mode": (
        "veth1", "ipv4.method disabled ipv6.method manual ipv6.addresses 2001:db8:0:1::2/64 "
        "ipv6.addr-gen-mode stable-privacy",
        {"ip4": {"method": "disabled"}, "ip6": {"method": "manual", "addresses": [
            "2001:db8:0:1::2/64"], "addr-gen-mode": "stable-privacy"}}),
}


@pytest.mark.parametrize("device, settings, expected", CONNECTION_CASES.values(),
                         ids=CONNECTION_CASES.keys())
def test_connection_of_a_profile_made_with_nmcli(lk, profile, device, settings, expected):
    profile("lk-read", device, *settings.split(), wait=False)
    _, reply = wait_for_reply(lk, GET_CONNECTION, ifname(device))
    assert json.dumps(reply) == json.dumps(dict(interface=device, **expected))  # and the order



def test_connection_of_an_idle_device_is_minus_2(lk):
    nmcli("device", "disconnect", "veth1", check=False)
    wait_until(lambda: lk.call(GET_CONNECTION, ifname("veth1")) == (ENOENT, b""))


def test_connection_of_a_bridge_port_without_ip_setting_is_refused(lk, profile):
    profile("lk-br", "lkbr0", "ipv4.method", "disabled", "ipv6.method", "disabled",
            kind="bridge", up=False)
    profile("lk-port", "veth1", "master", "lkbr0", "slave-type", "bridge", wait=False)
    wait_until(lambda: lk.call(GET_CONNECTION, ifname("veth1"))[0] != ENOENT)
    assert lk.call(GET_CONNECTION, ifname("veth1")) == (EOPNOTSUPP, b"")
    lk.daemon.wait_log(["error: profile on veth1 has no ip4 setting"])


# --- Wi-Fi, on the NetworkManager mock ------------------------------------------------------

WIRELESS = "org.freedesktop.NetworkManager.Device.Wireless"
AP_KEYS = ["ssid", "bssid", "signal", "apFlags", "wpaFlags", "rsnFlags", "frequency", "bitrate"]
PSK = "correct horse battery staple"


def activate(mock, profile, ap="/"):
    """Makes the profile the active connection of wlan0, as an activation would."""
    mock.interface(MANAGER, MOCK_IFACE).AddActiveConnection(
        [mock.wlan], profile, ap, "lk%d" % len(mock.calls(MANAGER, "AddActiveConnection")),
        dbus.UInt32(2))


def radio(lk, code):
    return lk.call(RADIO, bytes([code]))


def test_radio_is_switched_on_and_off_and_reported(wifi):
    lk = wifi.lk()
    assert radio(lk, 2) == (0, b"\x01")
    assert radio(lk, 0) == (0, b"")
    assert wifi.wireless_enabled() is False
    wait_until(lambda: radio(lk, 2) == (0, b"\x00"))
    assert radio(lk, 1) == (0, b"")
    assert wifi.wireless_enabled() is True
    wait_until(lambda: radio(lk, 2) == (0, b"\x01"))


@pytest.mark.parametrize("payload, status", [(b"\x03", 0), (b"\xff", 0), (b"", EINVAL)],
                         ids=["code 3 is ignored", "code 255 is ignored",
                              "an empty request is refused"])
def test_radio_codes_outside_the_table_change_nothing(wifi, payload, status):
    lk = wifi.lk()
    wifi.set_wireless_enabled(False)
    wait_until(lambda: radio(lk, 2) == (0, b"\x00"))
    assert lk.call(RADIO, payload) == (status, b"")
    assert wifi.wireless_enabled() is False


def test_access_points_are_listed_without_hidden_networks(wifi):
    wifi.add_access_point(wifi.wlan, "HomeNet", bssid="00:00:5E:00:53:10", security="wpa2",
                          strength=80, frequency=5180, max_bitrate=540000, seen_ago=5)
    wifi.add_access_point(wifi.wlan, "", bssid="00:00:5E:00:53:11")  # hidden
    wifi.add_access_point(wifi.wlan, "Caf\u00e9 \"Lounge\"", bssid="00:00:5E:00:53:12",
                          security="open", strength=30, seen_ago=0)
    lk = wifi.lk()
    _, aps = wait_for_reply(lk, ACCESS_POINTS, ifname("wlan0"), lambda r: len(r[1] or ()) == 2)
    assert all(list(ap) == AP_KEYS + ["lastSeenAgo"] for ap in aps)
    by_ssid = {base64.b64decode(ap["ssid"]).decode(): ap for ap in aps}
    home_ap = by_ssid["HomeNet"]
    flags, wpa, rsn = AP_SECURITY["wpa2"]
    assert {k: home_ap[k] for k in AP_KEYS[1:]} == {
        "bssid": "00:00:5E:00:53:10", "signal": 80, "apFlags": flags, "wpaFlags": wpa,
        "rsnFlags": rsn, "frequency": 5180, "bitrate": 540000}
    # Seconds of the boot clock; one may pass between the mock's stamp and the request.
    assert 5 <= home_ap["lastSeenAgo"] <= 7
    assert 0 <= by_ssid["Caf\u00e9 \"Lounge\""]["lastSeenAgo"] <= 2


@pytest.mark.parametrize("api_id", [ACCESS_POINTS, SCAN])
@pytest.mark.parametrize("name, status", [("eth0", EINVAL), ("wlan9", ENOENT)],
                         ids=["non-Wi-Fi device", "unknown device"])
def test_wifi_requests_on_other_devices_are_refused(wifi, api_id, name, status):
    lk = wifi.lk()
    wait_until(lambda: lk.call(DETAILS, ifname("eth0"))[0] == 0)
    assert lk.call(api_id, ifname(name)) == (status, b"")


def test_scan_is_accepted_and_refused(wifi):
    lk = wifi.lk()
    assert lk.call(SCAN, ifname("wlan0")) == (0, b"")
    assert len(wifi.calls(wifi.wlan, "RequestScan")) == 1
    wifi.set_scan_error(wifi.wlan)
    assert lk.call(SCAN, ifname("wlan0")) == (EINVAL, b"")
    lk.daemon.wait_log(["Error requesting wifi scan: Scanning not allowed",
                        "nmhelper_device_wifi_request_scan() returns error"])
    wifi.set_scan_error(wifi.wlan, "")
    wifi.set_wireless_enabled(False)  # NetworkManager refuses scans with the radio off
    assert lk.call(SCAN, ifname("wlan0")) == (EINVAL, b"")


def test_details_of_a_wifi_device_describe_its_access_point(wifi):
    lk = wifi.lk()
    details = wait_for_reply(lk, DETAILS, ifname("wlan0"))[1]
    assert {k: details[k] for k in ("type", "yebtype", "wifi", "configured", "ip4settings",
                                    "ip6settings")} == {
        "type": "wifi", "yebtype": "integration", "wifi": None, "configured": False,
        "ip4settings": None, "ip6settings": None}
    assert "ethernet" not in details

    def associate(ssid):
        """Makes a new access point the active one; the details once they show it."""
        ap = wifi.add_access_point(wifi.wlan, ssid, strength=55)
        wifi.interface(MANAGER, MOCK_IFACE).SetProperty(wifi.wlan, WIRELESS, "ActiveAccessPoint",
                                                        dbus.ObjectPath(ap))
        return wait_for_reply(lk, DETAILS, ifname("wlan0"),
                              lambda r: r[1]["wifi"] != details["wifi"])[1]

    details = associate("HomeNet")
    assert list(details["wifi"]) == AP_KEYS
    assert base64.b64decode(details["wifi"]["ssid"]) == b"HomeNet"
    assert details["wifi"]["signal"] == 55
    assert associate("")["wifi"] == {}  # a hidden network is never described


def wifi_profile(ssid, key_mgmt=None, proto=None, psk=None):
    settings = {
        "connection": {"id": ssid, "type": "802-11-wireless", "interface-name": "wlan0"},
        "802-11-wireless": {"ssid": dbus.ByteArray(ssid.encode()), "mode": "infrastructure"},
        "ipv4": {"method": "auto"},
        "ipv6": {"method": "auto", "addr-gen-mode": dbus.Int32(3)},
    }
    if key_mgmt:
        security = {"key-mgmt": key_mgmt}
        if proto:
            security["proto"] = dbus.Array(proto, signature="s")
        if psk is not None:
            security["psk"] = psk
        settings["802-11-wireless-security"] = security
        settings["802-11-wireless"]["security"] = "802-11-wireless-security"
    return settings


def expected_connection(ssid, security):
    return {"interface": "wlan0", "ip4": {"method": "auto"}, "ip6": {"method": "auto"},
            "wifi": {"mode": "infrastructure", "ssid": base64.b64encode(ssid).decode(),
                     "security": security}}


@pytest.mark.parametrize("profile, security", [
    (wifi_profile("Open Cafe"), {"keymgt": "open"}),
    (wifi_profile("HomeNet", "wpa-psk", ["rsn"], PSK), {"keymgt": "wpa2", "psk": PSK}),
    (wifi_profile("OldNet", "wpa-psk", ["wpa", "rsn"], PSK), {"keymgt": "wpa", "psk": PSK}),
    (wifi_profile("NoKeyNet", "wpa-psk", ["rsn"]), {"keymgt": "wpa2", "psk": None}),
], ids=["open network", "WPA2 personal with its key", "WPA personal",
        "WPA2 personal without a stored key"])
def test_connection_of_a_wifi_profile(wifi, profile, security):
    activate(wifi, wifi.add_profile(profile))
    lk = wifi.lk()
    ssid = profile["802-11-wireless"]["ssid"]
    _, reply = wait_for_reply(lk, GET_CONNECTION, ifname("wlan0"))
    assert json.dumps(reply) == json.dumps(expected_connection(bytes(ssid), security))
    assert PSK not in lk.daemon.log()


def test_connection_with_unknown_key_management_is_refused(wifi):
    activate(wifi, wifi.add_profile(wifi_profile("Wpa3Net", "sae", ["rsn"], PSK)))
    lk = wifi.lk()
    wait_until(lambda: lk.call(GET_CONNECTION, ifname("wlan0"))[0] != ENOENT)
    assert lk.call(GET_CONNECTION, ifname("wlan0")) == (EOPNOTSUPP, b"")
    lk.daemon.wait_log(["error: networkmanageradapter : unknown keymgt sae"])
    assert PSK not in lk.daemon.log()


def test_connection_whose_secrets_cannot_be_fetched_is_refused(wifi):
    profile = wifi.add_profile(wifi_profile("HomeNet", "wpa-psk", ["rsn"], PSK))
    wifi.interface(profile, MOCK_IFACE).AddMethod(
        "org.freedesktop.NetworkManager.Settings.Connection", "GetSecrets", "s", "a{sa{sv}}",
        "raise dbus.exceptions.DBusException('agent gone', "
        "name='org.freedesktop.NetworkManager.AgentManager.NoSecrets')")
    activate(wifi, profile)
    lk = wifi.lk()
    wait_until(lambda: lk.call(GET_CONNECTION, ifname("wlan0"))[0] != ENOENT)
    assert lk.call(GET_CONNECTION, ifname("wlan0")) == (EINVAL, b"")
    lk.daemon.wait_log(["Error nmremote_conn_get_secrets_callback: agent gone",
                        "nmhelper_remote_connection_get_secrets() returns error",
                        "nmadapter_GetConnection: could not get secrets, -22"])
