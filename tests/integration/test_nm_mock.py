"""Wi-Fi requests, and replies too large for the bus, end to end: the real linkKeeper against
python-dbusmock's NetworkManager (with nm_mock_template.py) on a private bus whose socket lies
in a temporary directory, since Wi-Fi cannot come from a virtual link."""

import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import dbus
import pytest

from conftest import Linkkeeper, binary, ifname, stop_process, wait_until

HERE = Path(__file__).resolve().parent
NM = "org.freedesktop.NetworkManager"
MANAGER = "/org/freedesktop/NetworkManager"
SETTINGS = MANAGER + "/Settings"
WIRELESS = NM + ".Device.Wireless"
WPA2_FLAGS = 0x188  # NM80211ApSecurityFlags: pairwise CCMP, group CCMP, PSK


class NmMock:
    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="lk-nmmock.")
        self.address = "unix:path=%s/bus" % self.dir
        self.procs = []
        try:
            self._spawn(subprocess.PIPE, "dbus-daemon", "--nofork", "--nopidfile",
                        "--print-address", "--address=" + self.address,
                        "--config-file=%s" % (HERE.parents[1] / "scripts/sandbox-dbus.conf"))
            self.procs[-1].stdout.readline()  # the address, printed once it listens
            self.bus = dbus.bus.BusConnection(self.address)
            self._spawn(subprocess.DEVNULL, "/usr/bin/python3", "-m", "dbusmock", "--system",
                        "--template", str(HERE / "nm_mock_template.py"))  # no call log
            wait_until(lambda: self.bus.name_has_owner(NM), what="the mock")
        except BaseException:
            self.__exit__()
            raise
        return self

    def _spawn(self, out, *argv):
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.procs.append(subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out))

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            stop_process(proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def obj(self, path, iface="org.freedesktop.DBus.Mock"):
        return dbus.Interface(self.bus.get_object(NM, path), iface)

    def add_device(self, kind, name):
        """Adds a "WiFi" or "Ethernet" device, disconnected; returns its path."""
        return str(getattr(self.obj(MANAGER), "Add%sDevice" % kind)(name, name, 30))

    def add_access_point(self, device, ssid, bssid="00:00:5E:00:53:00", security=0,
                         strength=70, frequency=2412, seen_ago=0):
        """Adds an access point seen seen_ago seconds ago (boot clock); "" is a hidden one."""
        path = self.obj(MANAGER).AddAccessPoint(device, bssid.replace(":", "") + str(
            time.monotonic_ns()), ssid, bssid, 2, frequency, 54000, strength, security)
        now = int(time.clock_gettime(time.CLOCK_BOOTTIME))
        self.obj(MANAGER).SetProperty(path, NM + ".AccessPoint", "LastSeen",
                                      dbus.Int32(now - seen_ago, variant_level=1))
        return str(path)

    def add_profile(self, settings):
        """Stores a profile given as {setting: {key: value}}; returns its path."""
        return str(self.obj(SETTINGS, NM + ".Settings").AddConnection(settings))

    def profiles(self):
        """{connection id: settings, the secrets included} of every stored profile."""
        found = {}
        for path in self.obj(SETTINGS, dbus.PROPERTIES_IFACE).Get(NM + ".Settings", "Connections"):
            conn = self.obj(path, NM + ".Settings.Connection")
            settings = conn.GetSettings()
            for name in [n for n in settings if n.endswith("-security")]:
                settings[name].update(conn.GetSecrets(name)[name])
            found[str(settings["connection"]["id"])] = settings
        return found


LIST, DETAILS, SET_CONNECTION, GET_CONNECTION, WATCH, EVENT, RADIO, ACCESS_POINTS, SCAN = (
    1, 2, 3, 4, 5, 6, 9, 10, 11)
ENOENT, ENODEV, EINVAL, EMSGSIZE, EOPNOTSUPP = 2, 19, 22, 90, 95
AP_KEYS = ["ssid", "bssid", "signal", "apFlags", "wpaFlags", "rsnFlags", "frequency", "bitrate"]
PSK = "correct horse battery staple"


@pytest.fixture
def mock(facts):
    """A fresh mock with wlan0 and eth0; mock.lk() starts a linkKeeper on it."""
    with NmMock() as nm:
        nm.wlan, nm.eth = nm.add_device("WiFi", "wlan0"), nm.add_device("Ethernet", "eth0")
        nm.lk = lambda: Linkkeeper(nm.address)
        yield nm


@pytest.mark.parametrize("before, payload, reply, after", [
    (True, b"\x02", (0, b"\x01"), True), (False, b"\x02", (0, b"\x00"), False),
    (True, b"\x00", (0, b""), False), (False, b"\x01", (0, b""), True),
    (False, b"\x03", (0, b""), False), (True, b"", (EINVAL, b""), True)],
    ids=["report on", "report off", "switch off", "switch on", "code 3 ignored", "empty payload"])
def test_radio(mock, before, payload, reply, after):
    mock.obj(MANAGER).SetProperty(MANAGER, NM, "WirelessEnabled",
                                  dbus.Boolean(before, variant_level=1))
    assert mock.lk().call(RADIO, payload) == reply
    assert mock.obj(MANAGER, dbus.PROPERTIES_IFACE).Get(NM, "WirelessEnabled") == after


NOT_ALLOWED = ("raise dbus.exceptions.DBusException('Scanning not allowed', "
               "name='org.freedesktop.NetworkManager.Device.NotAllowed')")


@pytest.mark.parametrize("api_id, name, scan, status", [
    (SCAN, "wlan0", "", 0), (SCAN, "wlan0", NOT_ALLOWED, ENODEV), (SCAN, "eth0", "", EINVAL),
    (SCAN, "wlan9", "", ENOENT), (ACCESS_POINTS, "eth0", "", EINVAL),
    (ACCESS_POINTS, "wlan9", "", ENOENT)], ids=["scan", "scan refused", "scan on Ethernet",
                                                "scan on nothing", "Ethernet", "nothing"])
def test_wifi_requests_reach_only_wifi_devices(mock, api_id, name, scan, status):
    if scan:
        mock.obj(mock.wlan).AddMethod(WIRELESS, "RequestScan", "a{sv}", "", scan)
    assert mock.lk().call(api_id, ifname(name)) == (status, b"")
    assert len(mock.obj(mock.wlan).GetMethodCalls("RequestScan")) == (name == "wlan0")


def test_details_of_a_wifi_device_describe_its_access_point(mock):
    lk = mock.lk()
    details = lk.json(DETAILS, ifname("wlan0"))[1]
    assert {k: details.get(k) for k in ("type", "yebtype", "wifi", "configured", "ethernet")
            } == {"type": "wifi", "yebtype": "integration", "wifi": None, "configured": False,
                  "ethernet": None}

    def associate(ssid):
        ap = mock.add_access_point(mock.wlan, ssid, strength=55)
        mock.obj(MANAGER).SetProperty(mock.wlan, WIRELESS, "ActiveAccessPoint",
                                      dbus.ObjectPath(ap, variant_level=1))
        return lk.wait_json(DETAILS, ifname("wlan0"),
                            lambda r: r[1]["wifi"] != details["wifi"])[1]["wifi"]

    details["wifi"] = associate("HomeNet")
    assert list(details["wifi"]) == AP_KEYS and details["wifi"]["signal"] == 55
    assert base64.b64decode(details["wifi"]["ssid"]) == b"HomeNet"
    assert associate("") == {}  # a hidden network is never described


def wifi_profile(ssid, key_mgmt=None, proto=(), psk=None):
    wifi = {"ssid": dbus.ByteArray(ssid.encode()), "mode": "infrastructure"}
    security = {"key-mgmt": key_mgmt, "proto": dbus.Array(proto, signature="s"), "psk": psk}
    return dict({"connection": {"id": ssid, "type": "802-11-wireless", "interface-name": "wlan0"},
                 "802-11-wireless": dict(wifi, security="802-11-wireless-security") if key_mgmt
                 else wifi, "ipv4": {"method": "auto"}, "ipv6": {"method": "auto"}},
                **({"802-11-wireless-security": {k: v for k, v in security.items() if v}}
                   if key_mgmt else {}))


NO_SECRETS = ("raise dbus.exceptions.DBusException('agent gone', "
              "name='org.freedesktop.NetworkManager.AgentManager.NoSecrets')")
WPA2 = wifi_profile("HomeNet", "wpa-psk", ["rsn"], PSK)
def secured(keymgt, psk=PSK):
    return {"keymgt": keymgt, "psk": psk}


AGENT_OWNED = wifi_profile("Agent", "wpa-psk", ["rsn"])
AGENT_OWNED["802-11-wireless-security"]["psk-flags"] = dbus.UInt32(1)
RSN, SECURITY = {"key-mgmt": "wpa-psk", "proto": ["rsn"]}, "802-11-wireless-security"
# The active profile, its GetSecrets, request 4's "security", and what a request 3 with
# "psk": null (keep the key stored now) then stores, or its status.
READ_CASES = {
    "WPA2 with a stored key": (WPA2, "", secured("wpa2"), dict(RSN, psk=PSK)),
    "WPA2 without a key": (wifi_profile("No", "wpa-psk", ["rsn"]), "", secured("wpa2", None), RSN),
    "WPA2, key owned by an agent": (AGENT_OWNED, "", secured("wpa2", None),
                                    dict(RSN, **{"psk-flags": 1})),
    "unknown key management": (wifi_profile("Corp", "wpa-eap", ["rsn"], PSK), "", EOPNOTSUPP,
                               None),
    "secrets that cannot be fetched": (WPA2, NO_SECRETS, EINVAL, EINVAL),
}


@pytest.mark.parametrize("profile, get_secrets, expected, kept", READ_CASES.values(),
                         ids=READ_CASES.keys())
def test_connection_of_a_wifi_profile(mock, profile, get_secrets, expected, kept):
    path = mock.add_profile(profile)
    if get_secrets:
        mock.obj(path).AddMethod(NM + ".Settings.Connection", "GetSecrets", "s", "a{sa{sv}}",
                                 get_secrets)
    mock.obj(MANAGER).AddActiveConnection([mock.wlan], path, "/", "lk", dbus.UInt32(2))
    lk = mock.lk()
    status, reply = lk.wait_json(GET_CONNECTION, ifname("wlan0"), lambda r: r[0] != ENOENT)
    if isinstance(expected, int):
        assert (status, reply) == (expected, None)
    else:
        ssid = base64.b64encode(bytes(profile["802-11-wireless"]["ssid"])).decode()
        assert json.dumps(reply) == json.dumps({  # the order of the members too
            "interface": "wlan0", "ip4": {"method": "auto"}, "ip6": {"method": "auto"},
            "wifi": {"mode": "infrastructure", "ssid": ssid, "security": expected}})
    keep = {"interface": "wlan0", "ip4": {"method": "auto"}, "ip6": {"method": "auto"}, "wifi": {
        "ssid": base64.b64encode(b"HomeNet").decode(), "security": secured("wpa2", None)}}
    listed = mock.obj(SETTINGS, dbus.PROPERTIES_IFACE).Get(NM + ".Settings", "Connections")
    if kept:  # nothing is stored when the key to keep cannot be read
        assert lk.call(SET_CONNECTION, keep) == (EINVAL if kept == EINVAL else 0, b"")
        assert (kept == EINVAL and listed == mock.obj(SETTINGS, dbus.PROPERTIES_IFACE).Get(
            NM + ".Settings", "Connections")) or mock.profiles()["wlan0"][SECURITY] == kept
    assert PSK not in lk.daemon.log()


SHARED = {"method": "shared", "address": "192.0.2.1", "prefix": 24}


KEEP = "keep"  # "psk": null, the key stays what the interface's profile stores


def wifi_request(mode=None, keymgt=None, ssid=b"HomeNet", psk=PSK, **extra):
    security = {k: None if v == KEEP else v for k, v in (("keymgt", keymgt), ("psk", psk)) if v}
    section = dict(ssid=base64.b64encode(ssid).decode(), **({"mode": mode} if mode else {}),
                   **({"security": security} if security else {}), **extra)
    return {"interface": "wlan0", "ip4": SHARED if mode == "ap" else {"method": "auto"},
            "ip6": {"method": "auto"}, "wifi": section}


PSK_CLIENT = {"key-mgmt": "wpa-psk", "psk": PSK}
CCMP_AP = {"key-mgmt": "wpa-psk", "psk": PSK, "pairwise": ["ccmp"], "group": ["ccmp"]}
WRITE_CASES = {
    "client of an open network": (wifi_request(psk=None), "infrastructure", True, None),
    "WPA client": (wifi_request(None, "wpa"), "infrastructure", True, PSK_CLIENT),
    "WPA2 client": (wifi_request(None, "wpa2"), "infrastructure", True,
                    dict(PSK_CLIENT, proto=["rsn"])),
    "open access point": (wifi_request("ap", "open", psk=None), "ap", False, None),
    "WPA access point": (wifi_request("ap", "wpa"), "ap", False, CCMP_AP),
    "WPA2 access point": (wifi_request("ap", "wpa2"), "ap", False, dict(CCMP_AP, proto=["rsn"])),
    "hidden WPA3 client, raw key": (wifi_request(None, "sae", psk="0123456789abcdef" * 4,
                                                 hidden=True), "infrastructure", True,
                                    {"key-mgmt": "sae", "psk": "0123456789abcdef" * 4}),
    "WPA2 client, no key stored (none to keep)": (
        wifi_request(None, "wpa2", psk=KEEP), "infrastructure", True, RSN),
    "client with WEP": (wifi_request(None, "wep"), EINVAL, None, None),
    "client keeping a key, no key management": (wifi_request(psk=KEEP), EINVAL, None, None),
    "WPA2 client without a key": (wifi_request(None, "wpa2", psk=None), EINVAL, None, None),
    "client with a key and no key management": (wifi_request(), EINVAL, None, None),
    "open client with a key": (wifi_request(None, "open"), EINVAL, None, None),
    "access point with WEP": (wifi_request("ap", "wep"), EOPNOTSUPP, None, None),
    "access point without keymgt": (wifi_request("ap"), EOPNOTSUPP, None, None),
    "access point with DHCP": (dict(wifi_request("ap", "wpa2"), ip4={"method": "auto"}), EINVAL,
                               None, None),
    "no wifi section": ({"interface": "wlan0", "ip4": {"method": "auto"}}, EINVAL, None, None),
}


def without_uuid(profiles):
    return {name: dict(s, connection={k: v for k, v in s["connection"].items() if k != "uuid"})
            for name, s in profiles.items()}


@pytest.mark.parametrize("body, mode, autoconnect, security", WRITE_CASES.values(),
                         ids=WRITE_CASES.keys())
def test_wifi_profile_is_stored_as_the_request_says(mock, body, mode, autoconnect, security):
    mock.add_profile(wifi_profile("Older", "wpa-psk", ["rsn"], PSK))
    lk = mock.lk()
    if isinstance(mode, int):
        assert lk.call(SET_CONNECTION, body) == (mode, b"")
        assert list(mock.profiles()) == ["Older"]
        return
    assert lk.call(SET_CONNECTION, body) == (0, b"")
    profiles = mock.profiles()
    assert list(profiles) == ["wlan0"], "the older profile of wlan0 is deleted"
    stored = profiles["wlan0"]
    assert stored["connection"]["interface-name"] == "wlan0"
    assert bool(stored["connection"].get("autoconnect", True)) is autoconnect
    assert (bytes(stored["802-11-wireless"]["ssid"]), stored["802-11-wireless"]["mode"]) == (
        b"HomeNet", mode)
    got = stored.get("802-11-wireless-security")
    assert got == security or {k: got[k] for k in security} == security
    assert not security or not {"proto", "pairwise", "group", "psk"} - set(security) & set(got)
    assert mock.obj(MANAGER).GetMethodCalls("ActivateConnection")
    _, reply = lk.wait_json(GET_CONNECTION, ifname("wlan0"), lambda r: r[0] != ENOENT)  # as sent
    assert reply["wifi"] == dict(body["wifi"], mode=mode,
                                 security=body["wifi"].get("security", {"keymgt": "open"}))
    assert lk.call(SET_CONNECTION, reply) == (0, b"")  # written back: the same settings again
    assert without_uuid(mock.profiles()) == without_uuid(profiles)
    assert lk.wait_json(GET_CONNECTION, ifname("wlan0"))[1] == reply  # and read the same again
    assert PSK not in lk.daemon.log()


def test_access_points_are_listed_and_reported_without_hidden_networks(mock):
    lk = mock.lk()
    watch = {"interface": "wlan0", "property": "access-point-added", "handle": 0}
    assert lk.call(WATCH, watch)[0] == 0
    assert lk.call(WATCH, dict(watch, property="access-point-removed"))[0] == 0
    assert lk.call(WATCH, dict(watch, interface="eth0")) == (EINVAL, b"")
    started = time.clock_gettime(time.CLOCK_BOOTTIME)
    aps = [mock.add_access_point(mock.wlan, *args) for args in (
        ("HomeNet", "00:00:5E:00:53:10", WPA2_FLAGS, 80, 5180, 5), ("", "00:00:5E:00:53:11"),
        ("Caf\u00e9", "00:00:5E:00:53:12", 0, 30))]
    _, listed = lk.wait_json(ACCESS_POINTS, ifname("wlan0"), lambda r: len(r[1]) == 2)
    assert all(list(ap) == AP_KEYS + ["lastSeenAgo"] for ap in listed)
    home = dict(ssid=base64.b64encode(b"HomeNet").decode(), bssid="00:00:5E:00:53:10", signal=80,
                apFlags=1, wpaFlags=WPA2_FLAGS, rsnFlags=WPA2_FLAGS, frequency=5180, bitrate=54000)
    # Whole seconds of the boot clock: 5 at the mock's stamp, plus what has passed since.
    passed = time.clock_gettime(time.CLOCK_BOOTTIME) - started
    assert 5 <= listed[0].pop("lastSeenAgo") <= 6 + passed and listed[0] == home
    for ap in aps:
        mock.obj(MANAGER).RemoveAccessPoint(mock.wlan, ap)
    events = [json.loads(lk.conn.wait_message(EVENT).payload[:-1]) for _ in range(4)]
    assert events[0] == dict(event="access-point-added", interface="wlan0", **home)
    assert [(e["event"], e["bssid"], list(e)[2:]) for e in events] == [
        (event, bssid, AP_KEYS) for event in ("access-point-added", "access-point-removed")
        for bssid in ("00:00:5E:00:53:10", "00:00:5E:00:53:12")]


def test_reply_too_large_for_the_bus_is_refused_whole(mock):
    for i in range(250):
        mock.add_device("Ethernet", "ethernet%03d_with_a_long_interface_name" % i)
    lk = mock.lk()
    # 250 devices take the daemon's client a while to load; until then NetworkManager is away (6).
    assert lk.wait_json(LIST, accept=lambda reply: reply[0] != 6) == (EMSGSIZE, None)
    assert [t for t in lk.daemon.log_texts() if t.startswith("reply to request 1 does not fit")]


# ---- Dense Wi-Fi, keys that leave no trace (test_changes.py shows the rest on the real
# NetworkManager) ----

@pytest.mark.parametrize("count", [100, 300])
def test_access_point_list_keeps_the_strongest_that_fit(mock, count):
    for i in range(count):
        mock.add_access_point(mock.wlan, "Net%d" % i, "00:00:5E:00:53:%02X" % (i % 256),
                              strength=(i * 37) % 101)
    lk = mock.lk()
    _, listed = lk.wait_json(ACCESS_POINTS, ifname("wlan0"))  # strict JSON or an error
    left_out = [(i * 37) % 101 for i in range(count)]
    for ap in listed:
        left_out.remove(ap["signal"])
    assert 0 < len(listed) < count and max(left_out) <= min(ap["signal"] for ap in listed)
    assert "access points: %d of %d fit the reply; the %d weakest left out" % (
        len(listed), count, count - len(listed)) in lk.daemon.log_texts()


def key_copies(pid, key):
    """How often key lies in the readable memory of the running process."""
    found = 0
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        regions = maps.read().splitlines()
        if any("libasan" in line or "libtsan" in line for line in regions):
            pytest.skip("a sanitizer's allocator keeps freed blocks as they were")
        for start, end in (map(lambda x: int(x, 16), line.split()[0].split("-"))
                           for line in regions if line.split()[1][0] == "r"):
            try:
                found += mem.seek(start) == start and mem.read(end - start).count(key)
            except (OSError, OverflowError):  # [vvar], [vsyscall] and the like
                pass
    return found


def test_a_key_leaves_no_trace_in_the_daemons_memory_and_the_group_reads_it_masked(mock):
    # One key written and read back (requests 3, 4) on the bus, one with lkctl (from stdin).
    lkctl = binary("LK_LKCTL")
    bus_key, control_key = ("lk-scan-%s" % os.urandom(8).hex() for _ in range(2))
    lk = mock.lk()
    assert lk.call(SET_CONNECTION, wifi_request(None, "wpa2", psk=bus_key)) == (0, b"")
    _, reply = lk.wait_json(GET_CONNECTION, ifname("wlan0"), lambda r: r[0] != ENOENT)
    assert reply["wifi"]["security"]["psk"] == bus_key
    wait_until(lambda: os.path.exists("/run/linkKeeper/control"), what="the control socket")

    def lkctl_run(*args, key="", prefix=()):
        return subprocess.run([*prefix, lkctl, *args], input=key, capture_output=True, text=True,
                              timeout=60)
    done = lkctl_run("set-connection", "wlan0", "ip4", "auto", "wifi", "ssid", "HomeNet", "key",
                     "-", key=control_key + "\n")
    assert done.returncode == 0, done.stderr
    assert mock.profiles()["wlan0"]["802-11-wireless-security"]["psk"] == control_key
    shown = wait_until(lambda: lkctl_run("--json", "--show-secrets", "profile", "wlan0").stdout)
    assert json.loads(shown)["wifi"]["security"]["psk"] == control_key
    member = ("setpriv", "--reuid=65534", "--regid=65534", "--groups=netdev")
    shown = lkctl_run("--raw", "--show-secrets", "profile", "wlan0", prefix=member).stdout
    assert json.loads(shown)["wifi"]["security"]["psk"] == "********"  # the daemon masks it
    for api_id, name in [(LIST, ""), (DETAILS, "wlan0"), (ACCESS_POINTS, "wlan0")] * 4:
        lk.call(api_id, ifname(name))
    assert [key_copies(lk.daemon.proc.pid, k.encode()) for k in (bus_key, control_key)] == [0, 0]
