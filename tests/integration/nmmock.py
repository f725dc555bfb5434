"""A Wi-Fi capable NetworkManager stand-in: python-dbusmock on a private system bus.

Wi-Fi cannot be had from a virtual link, so requests about Wi-Fi devices, access points, scans,
the radio switch and Wi-Fi profiles with secrets run against this mock. Its bus lives on a
socket in a private temporary directory; libnm reaches it only through `env`. The template
(nm_mock_template.py) adds to dbusmock's NetworkManager what libnm 1.42 needs.
"""

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import dbus

from nmsandbox import REPO, stop_process, wait_until

TEMPLATE = Path(__file__).resolve().with_name("nm_mock_template.py")
DBUS_CONF = REPO / "scripts" / "sandbox-dbus.conf"
BUS_NAME = "org.freedesktop.NetworkManager"
MANAGER = "/org/freedesktop/NetworkManager"
SETTINGS = "/org/freedesktop/NetworkManager/Settings"
SETTINGS_IFACE = "org.freedesktop.NetworkManager.Settings"
MOCK_IFACE = "org.freedesktop.DBus.Mock"
DEVICE_DISCONNECTED = 30

# security -> NM80211ApFlags, and NM80211ApSecurityFlags for WpaFlags and RsnFlags (CCMP, PSK)
AP_SECURITY = {"open": (0, 0, 0), "wpa2": (0x1, 0, 0x8 | 0x80 | 0x100)}


def plain(value):
    """A D-Bus value as plain Python: byte arrays as bytes, paths as str, and so on."""
    if isinstance(value, bytes) or isinstance(value, dbus.Array) and value.signature == "y":
        return bytes(int(b) for b in value)
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        items = [plain(v) for v in value]
        return tuple(items) if isinstance(value, tuple) else items
    if isinstance(value, dbus.Boolean):
        return bool(value)
    for kind in (int, float, str):
        if isinstance(value, kind):
            return kind(value)
    return value


class NmMock:
    """dbus-daemon plus the dbusmock NetworkManager on it, both stopped by PID."""

    def __init__(self):
        self.dir = self.bus_proc = self.mock_proc = self.bus = None
        self._ap_count = 0

    def start(self, timeout=30):
        self.dir = tempfile.mkdtemp(prefix="lk-nmmock.")
        socket_path = os.path.join(self.dir, "system_bus_socket")
        self.address = "unix:path=" + socket_path
        self.env = {"DBUS_SYSTEM_BUS_ADDRESS": self.address}
        try:
            self.bus_proc = self._spawn("dbus.log", [
                "dbus-daemon", "--nofork", "--nopidfile", "--config-file=%s" % DBUS_CONF,
                "--address=" + self.address])
            wait_until(lambda: os.path.exists(socket_path) or self.bus_proc.poll() is not None,
                       timeout=timeout, what="the mock's D-Bus")
            self.mock_proc = self._spawn("mock.log", [
                "/usr/bin/python3", "-m", "dbusmock", "--system", "--template", str(TEMPLATE)])
            self.bus = dbus.bus.BusConnection(self.address)
            wait_until(lambda: self.mock_proc.poll() is not None
                       or self.bus.name_has_owner(BUS_NAME), timeout=timeout, what="the mock")
            if self.mock_proc.poll() is not None:
                raise RuntimeError("dbusmock failed:\n" + open(
                    os.path.join(self.dir, "mock.log"), errors="replace").read())
        except BaseException:
            self.stop()
            raise
        return self

    def _spawn(self, log_name, argv):
        with open(os.path.join(self.dir, log_name), "wb") as log:
            return subprocess.Popen(argv, env=dict(os.environ, **self.env), stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=subprocess.STDOUT)

    def stop(self):
        if self.bus is not None:
            self.bus.close()
        for proc in (self.mock_proc, self.bus_proc):
            if proc is not None:
                stop_process(proc)
        self.bus = self.mock_proc = self.bus_proc = None
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def nmcli(self, *args):
        """nmcli's standard output against the mock; fails the test when nmcli fails."""
        result = subprocess.run(["nmcli"] + [str(a) for a in args],
                                env=dict(os.environ, **self.env), capture_output=True, text=True,
                                timeout=60, stdin=subprocess.DEVNULL)
        assert result.returncode == 0, "nmcli %s: %s" % (" ".join(args), result.stderr)
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

    # --- devices and access points ------------------------------------------------------------

    def add_wifi_device(self, iface="wlan0", state=DEVICE_DISCONNECTED):
        return str(self._mock().AddWiFiDevice(iface, iface, state))

    def add_ethernet_device(self, iface="eth0", state=DEVICE_DISCONNECTED):
        return str(self._mock().AddEthernetDevice(iface, iface, state))

    def set_scan_error(self, device, error_name="org.freedesktop.NetworkManager.Device.NotAllowed"):
        """Makes the device's RequestScan fail with this D-Bus error ("" accepts again)."""
        self._mock().SetScanError(device, error_name)

    def wireless_enabled(self):
        return self.get(MANAGER, BUS_NAME, "WirelessEnabled")

    def set_wireless_enabled(self, enabled):
        """Switches the radio as NetworkManager would after a client's property write."""
        self.interface(MANAGER, dbus.PROPERTIES_IFACE).Set(BUS_NAME, "WirelessEnabled",
                                                           dbus.Boolean(enabled))

    def add_access_point(self, device, ssid, bssid=None, security="open", strength=70,
                         frequency=2412, max_bitrate=54000, seen_ago=0):
        """Adds an access point and returns its path. An empty ssid is a hidden network;
        seen_ago sets LastSeen that many seconds in the past (boot clock)."""
        self._ap_count += 1
        flags, wpa, rsn = AP_SECURITY[security]
        props = {
            "Ssid": dbus.ByteArray(ssid.encode()),
            "HwAddress": bssid or "00:00:5E:00:53:%02X" % (self._ap_count % 256),
            "Flags": dbus.UInt32(flags), "WpaFlags": dbus.UInt32(wpa),
            "RsnFlags": dbus.UInt32(rsn), "Strength": dbus.Byte(strength),
            "Frequency": dbus.UInt32(frequency), "MaxBitrate": dbus.UInt32(max_bitrate),
            "LastSeen": dbus.Int32(int(time.clock_gettime(time.CLOCK_BOOTTIME)) - seen_ago),
        }
        return str(self._mock().AddAccessPointWithProperties(
            device, "ap%d" % self._ap_count, dbus.Dictionary(props, signature="sv")))

    def remove_access_point(self, device, ap):
        self._mock().RemoveAccessPoint(device, ap)

    # --- profiles -----------------------------------------------------------------------------

    def add_profile(self, settings):
        """Stores a profile given as {setting: {key: value}}; returns its path."""
        return str(self.interface(SETTINGS, SETTINGS_IFACE).AddConnection(dbus.Dictionary(
            {k: dbus.Dictionary(v, signature="sv") for k, v in settings.items()},
            signature="sa{sv}")))

    def add_wifi_profile(self, ssid, psk):
        """A WPA personal profile of wlan0 whose key only the secrets call returns."""
        return self.add_profile({
            "connection": {"id": ssid, "type": "802-11-wireless", "interface-name": "wlan0"},
            "802-11-wireless": {"ssid": dbus.ByteArray(ssid.encode()), "mode": "infrastructure",
                                "security": "802-11-wireless-security"},
            "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": psk},
            "ipv4": {"method": "auto"}, "ipv6": {"method": "auto"}})

    def profiles(self):
        return self.get(SETTINGS, SETTINGS_IFACE, "Connections")

    def profiles_by_id(self):
        """{connection.id: everything stored, secrets included} of every profile."""
        stored = (plain(self._mock().GetStoredSettings(p)) for p in self.profiles())
        return {s["connection"]["id"]: s for s in stored}
