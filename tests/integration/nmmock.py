"""A Wi-Fi capable NetworkManager stand-in: python-dbusmock on a private system bus.

    from nmmock import nm_mock                 # the fixture: a fresh mock per test

    def test_x(nm_mock):
        wlan = nm_mock.add_wifi_device("wlan0")
        nm_mock.add_access_point(wlan, "HomeNet", security="wpa2", strength=80)
        nm_mock.add_access_point(wlan, "", bssid="00:00:5E:00:53:02")    # hidden network
        profile = nm_mock.add_wifi_profile("HomeNet", psk="correct horse")
        subprocess.run([lk_bin, ...], env=dict(os.environ, **nm_mock.env))
        assert nm_mock.stored_settings(profile)["802-11-wireless-security"]["psk"] == ...

Wi-Fi cannot be had from a virtual link, so requests about Wi-Fi devices, access points,
scans, the radio switch and Wi-Fi profiles with secrets run against this mock. Its bus lives
on a socket in a private temporary directory; libnm reaches it only through the environment
in `env`, and nothing here can touch this machine's network or D-Bus. The template
(nm_mock_template.py) adds to dbusmock's NetworkManager what libnm 1.42 needs.
"""

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import dbus
import pytest

from nmsandbox import REPO, stop_process, wait_until

TEMPLATE = Path(__file__).resolve().with_name("nm_mock_template.py")
DBUS_CONF = REPO / "scripts" / "sandbox-dbus.conf"
BUS_NAME = "org.freedesktop.NetworkManager"
MANAGER = "/org/freedesktop/NetworkManager"
SETTINGS = "/org/freedesktop/NetworkManager/Settings"
MOCK_IFACE = "org.freedesktop.DBus.Mock"

# NMDeviceState
DEVICE_UNAVAILABLE = 20
DEVICE_DISCONNECTED = 30
DEVICE_ACTIVATED = 100

# NM80211ApFlags and NM80211ApSecurityFlags
_PRIVACY = 0x1
_TKIP = 0x4 | 0x40
_CCMP = 0x8 | 0x80
_PSK = 0x100
_EAP = 0x200
_SAE = 0x400
# security -> (Flags, WpaFlags, RsnFlags)
AP_SECURITY = {
    "open": (0, 0, 0),
    "wep": (_PRIVACY, 0, 0),
    "wpa": (_PRIVACY, _TKIP | _PSK, 0),
    "wpa2": (_PRIVACY, 0, _CCMP | _PSK),
    "wpa-wpa2": (_PRIVACY, _TKIP | _PSK, _CCMP | _PSK),
    "wpa3": (_PRIVACY, 0, _CCMP | _SAE),
    "wpa2-enterprise": (_PRIVACY, 0, _CCMP | _EAP),
}
# NM80211Mode
AP_MODES = {"adhoc": 1, "infrastructure": 2, "ap": 3}


def plain(value):
    """A D-Bus value as plain Python: byte arrays as bytes, paths as str, and so on."""
    if isinstance(value, (dbus.ByteArray, bytes)):
        return bytes(value)
    if isinstance(value, dbus.Array) and value.signature == "y":
        return bytes(int(b) for b in value)
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in value.items()}
    if isinstance(value, dbus.Struct):
        return tuple(plain(v) for v in value)
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value)
    if isinstance(value, str):
        return str(value)
    return value


class NmMock:
    """dbus-daemon plus the dbusmock NetworkManager on it, both stopped by PID."""

    def __init__(self):
        self.dir = None
        self.bus_proc = None
        self.mock_proc = None
        self.bus = None
        self.address = None
        self._ap_count = 0

    # --- life cycle ---------------------------------------------------------------------------

    def start(self, timeout=30):
        self.dir = tempfile.mkdtemp(prefix="lk-nmmock.")
        socket_path = os.path.join(self.dir, "system_bus_socket")
        self.address = "unix:path=" + socket_path
        try:
            self.bus_proc = self._spawn("dbus.log", [
                "dbus-daemon", "--nofork", "--nopidfile", "--config-file=%s" % DBUS_CONF,
                "--address=" + self.address])
            wait_until(lambda: os.path.exists(socket_path) or self.bus_proc.poll() is not None,
                       timeout=timeout, what="the mock's D-Bus")
            self.mock_proc = self._spawn("mock.log", [
                "/usr/bin/python3", "-m", "dbusmock", "--system", "--template", str(TEMPLATE)])
            self.bus = dbus.bus.BusConnection(self.address)
            wait_until(self._mock_ready, timeout=timeout, what="the NetworkManager mock")
            if self.mock_proc.poll() is not None:
                raise RuntimeError("dbusmock failed:\n" + self.log())
        except BaseException:
            self.stop()
            raise
        return self

    def _spawn(self, log_name, argv):
        with open(os.path.join(self.dir, log_name), "wb") as log:
            return subprocess.Popen(argv, env=dict(os.environ, **self.env), stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=subprocess.STDOUT)

    def _mock_ready(self):
        return self.mock_proc.poll() is not None or self.bus.name_has_owner(BUS_NAME)

    def stop(self):
        if self.bus is not None:
            self.bus.close()
            self.bus = None
        for proc in (self.mock_proc, self.bus_proc):
            if proc is not None:
                stop_process(proc)
        self.mock_proc = self.bus_proc = None
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def env(self):
        """The environment that points libnm (linkKeeper, nmcli) at the mock."""
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address}

    def log(self):
        """The mock's log: every D-Bus call it received, with its arguments."""
        with open(os.path.join(self.dir, "mock.log"), "rb") as f:
            return f.read().decode(errors="replace")

    def nmcli_run(self, *args):
        """nmcli against the mock, its CompletedProcess (text output captured)."""
        return subprocess.run(["nmcli"] + [str(a) for a in args], env=dict(os.environ, **self.env),
                              capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)

    def nmcli(self, *args):
        """nmcli's standard output; fails the test when nmcli fails."""
        result = self.nmcli_run(*args)
        if result.returncode != 0:
            raise AssertionError("nmcli %s: %s" % (" ".join(map(str, args)), result.stderr))
        return result.stdout

    # --- D-Bus access -------------------------------------------------------------------------

    def interface(self, path, iface):
        return dbus.Interface(self.bus.get_object(BUS_NAME, path), iface)

    def _mock(self, path=MANAGER):
        return self.interface(path, MOCK_IFACE)

    def get(self, path, iface, name):
        """A property of a mock object, as plain Python."""
        return plain(self.interface(path, dbus.PROPERTIES_IFACE).Get(iface, name))

    def calls(self, path, method):
        """The arguments of every call of `method` on the object at `path`, oldest first."""
        return [plain(args) for _, args in self._mock(path).GetMethodCalls(method)]

    # --- devices ------------------------------------------------------------------------------

    def add_wifi_device(self, iface="wlan0", state=DEVICE_DISCONNECTED):
        """Adds a Wi-Fi device; returns its object path."""
        return str(self._mock().AddWiFiDevice(iface, iface, state))

    def add_ethernet_device(self, iface="eth0", state=DEVICE_DISCONNECTED):
        return str(self._mock().AddEthernetDevice(iface, iface, state))

    def set_scan_error(self, device, error_name="org.freedesktop.NetworkManager.Device.NotAllowed"):
        """Makes the device's RequestScan fail with this D-Bus error ("" accepts again).
        A scan while the radio is off always fails."""
        self._mock().SetScanError(device, error_name)

    def wireless_enabled(self):
        return self.get(MANAGER, BUS_NAME, "WirelessEnabled")

    def set_wireless_enabled(self, enabled):
        """Switches the radio as NetworkManager would after a client's property write."""
        self.interface(MANAGER, dbus.PROPERTIES_IFACE).Set(BUS_NAME, "WirelessEnabled",
                                                           dbus.Boolean(enabled))

    # --- access points ------------------------------------------------------------------------

    def add_access_point(self, device, ssid, bssid=None, security="open", strength=70,
                         frequency=2412, max_bitrate=54000, mode="infrastructure", seen_ago=0):
        """Adds an access point to a Wi-Fi device and returns its path. An empty ssid is a
        hidden network; seen_ago sets LastSeen that many seconds in the past (boot clock)."""
        self._ap_count += 1
        flags, wpa, rsn = AP_SECURITY[security]
        ssid_bytes = ssid.encode() if isinstance(ssid, str) else bytes(ssid)
        props = {
            "Ssid": dbus.ByteArray(ssid_bytes),
            "HwAddress": bssid or "00:00:5E:00:53:%02X" % (self._ap_count % 256),
            "Flags": dbus.UInt32(flags),
            "WpaFlags": dbus.UInt32(wpa),
            "RsnFlags": dbus.UInt32(rsn),
            "Strength": dbus.Byte(strength),
            "Frequency": dbus.UInt32(frequency),
            "MaxBitrate": dbus.UInt32(max_bitrate),
            "Mode": dbus.UInt32(AP_MODES[mode]),
            "LastSeen": dbus.Int32(_boottime() - seen_ago),
        }
        return str(self._mock().AddAccessPointWithProperties(
            device, "ap%d" % self._ap_count, dbus.Dictionary(props, signature="sv")))

    def remove_access_point(self, device, ap):
        self._mock().RemoveAccessPoint(device, ap)

    def access_points(self, device):
        return self.get(device, "org.freedesktop.NetworkManager.Device.Wireless", "AccessPoints")

    # --- profiles -----------------------------------------------------------------------------

    def add_profile(self, settings):
        """Stores a profile given as {setting: {key: value}} (D-Bus typed where it matters);
        returns its path."""
        settings_iface = self.interface(SETTINGS, "org.freedesktop.NetworkManager.Settings")
        return str(settings_iface.AddConnection(dbus.Dictionary(
            {k: dbus.Dictionary(v, signature="sv") for k, v in settings.items()},
            signature="sa{sv}")))

    def add_wifi_profile(self, ssid, psk=None, iface="wlan0", name=None, mode="infrastructure",
                         key_mgmt="wpa-psk", ipv4_method="auto", ipv6_method="auto"):
        """A Wi-Fi profile as NetworkManager would store it; with psk, WPA personal whose key
        only the secrets call returns."""
        settings = {
            "connection": {"id": name or ssid, "type": "802-11-wireless",
                           "interface-name": iface},
            "802-11-wireless": {"ssid": dbus.ByteArray(ssid.encode()), "mode": mode},
            "ipv4": {"method": ipv4_method},
            "ipv6": {"method": ipv6_method},
        }
        if psk is not None:
            settings["802-11-wireless"]["security"] = "802-11-wireless-security"
            settings["802-11-wireless-security"] = {"key-mgmt": key_mgmt, "psk": psk}
        return self.add_profile(settings)

    def profiles(self):
        return self.get(SETTINGS, "org.freedesktop.NetworkManager.Settings", "Connections")

    def stored_settings(self, profile):
        """Everything the mock holds for a profile, secrets included, as plain Python."""
        return plain(self._mock().GetStoredSettings(profile))

    def profiles_by_id(self):
        """{connection.id: stored settings} of every profile."""
        return {s["connection"]["id"]: s for s in map(self.stored_settings, self.profiles())}


def _boottime():
    """NetworkManager's time base for LastSeen."""
    return int(time.clock_gettime(time.CLOCK_BOOTTIME))


def require_mock_support():
    for tool in ("dbus-daemon", "nmcli"):
        if shutil.which(tool) is None:
            pytest.skip("%s is not installed (scripts/install-deps.sh)" % tool)


@pytest.fixture
def nm_mock():
    """A fresh NetworkManager mock with no devices."""
    require_mock_support()
    with NmMock() as mock:
        yield mock
