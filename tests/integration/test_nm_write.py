"""Requests that change NetworkManager's state, end to end: set connection (3), enable and
disable (8), reset (14), watches (5) and their events (message 6), against the sandboxed
NetworkManager and, for Wi-Fi, the mock.

NetworkManager reports veth devices with a type of their own, which request 3 refuses. To
drive the Ethernet path anyway, most daemons here preload tests/nm/veth_as_ethernet.c
(LK_VETH_AS_ETHERNET): libnm's device-type query reads veth as Ethernet in that process only.
"""

import base64
import json
import os
import random
import signal
import subprocess

import pytest

from conftest import (MANUAL_IP4, MANUAL_IP6, Linkkeeper, ifname, in_nm_sandbox,  # noqa: F401
                      nmcli, wait_until)
from nmsandbox import PROFILE_DIR, far_side_ipv4, far_side_ipv6, stop_process

pytestmark = in_nm_sandbox

LIST, SET_CONNECTION, GET_CONNECTION, WATCH, ENABLE, RESET = 1, 3, 4, 5, 8, 14
EVENT = 6
ENOENT, EINVAL, ERANGE, EOPNOTSUPP = 2, 22, 34, 95
ACTIVATED, DISCONNECTED = 100, 30
PSK = "correct horse battery staple"
MANAGER = "/org/freedesktop/NetworkManager"


def start_lk(log_path, as_ethernet=True):
    """A daemon on the sandbox's NetworkManager, to which veth devices read as Ethernet."""
    env = {}
    if as_ethernet:
        path = os.environ.get("LK_VETH_AS_ETHERNET")
        if not path or not os.path.exists(path):
            pytest.skip("LK_VETH_AS_ETHERNET does not name the built preload library")
        # A sanitizer build's leak check comes preloaded as well.
        env["LD_PRELOAD"] = " ".join(filter(None, [path, os.environ.get("LK_LEAK_CHECK_LIB")]))
    return Linkkeeper(log_path, os.environ["DBUS_SYSTEM_BUS_ADDRESS"], env=env)


@pytest.fixture(scope="module")
def lk(facts, tmp_path_factory):
    daemon = start_lk(tmp_path_factory.mktemp("lk") / "daemon.log")
    yield daemon
    daemon.stop()


@pytest.fixture
def fresh_daemon(facts, tmp_path):
    """Starts daemons like lk's that live for one test (empty watch slots, a fresh cache)."""
    started = []

    def start(as_ethernet=True):
        started.append(start_lk(tmp_path / ("daemon%d.log" % len(started)), as_ethernet))
        return started[-1]

    yield start
    for daemon in started:
        daemon.stop()


def payload(request):
    return request if isinstance(request, bytes) else json.dumps(request).encode()


def set_connection(lk, request):
    return lk.call(SET_CONNECTION, payload(request))


# --- NetworkManager's view -------------------------------------------------------------------

def profiles_of(device):
    """{name: uuid} of the profiles bound to the interface."""
    found = {}
    for line in nmcli("-t", "-f", "NAME,UUID", "connection").splitlines():
        name, uuid = line.split(":")
        if nmcli("-g", "connection.interface-name", "connection", "show", uuid).strip() == device:
            found[name] = uuid
    return found


def all_profiles():
    """Every stored profile with all its settings, to compare before and after a request."""
    return {uuid: nmcli("-t", "connection", "show", uuid)
            for uuid in nmcli("-t", "-f", "UUID", "connection").split()}


def device_state(device):
    return int(nmcli("-g", "GENERAL.STATE", "device", "show", device).split()[0])


def link_addresses(device):
    out = subprocess.run(["ip", "-j", "addr", "show", "dev", device], capture_output=True,
                         text=True, check=True).stdout
    return {"%s/%d" % (a["local"], a["prefixlen"]): a for a in json.loads(out)[0]["addr_info"]}


def ping(address):
    return subprocess.run(["ping", "-c1", "-W1", address], capture_output=True).returncode == 0


def drop_profiles():
    for device in ("veth0", "veth1"):
        for uuid in profiles_of(device).values():
            nmcli("connection", "delete", "uuid", uuid, check=False)
        nmcli("device", "disconnect", device, check=False)


@pytest.fixture
def clean():
    """veth0 and veth1 without profiles before and after the test."""
    drop_profiles()
    yield
    drop_profiles()


def add_profile(name, device):
    nmcli("connection", "add", "type", "ethernet", "ifname", device, "con-name", name,
          "connection.autoconnect", "no", "ipv4.method", "disabled", "ipv6.method", "disabled")


STATIC = {"interface": "veth0", "ip4": MANUAL_IP4, "ip6": MANUAL_IP6}


# --- request 3 on the real NetworkManager -----------------------------------------------------

def test_veth_devices_are_refused_as_unsupported(fresh_daemon, clean):
    plain = fresh_daemon(as_ethernet=False)
    before = all_profiles()
    assert set_connection(plain, STATIC) == (EOPNOTSUPP, b"")
    assert all_profiles() == before


def test_static_profile_is_stored_activated_and_carried_by_the_link(fresh_daemon, clean):
    add_profile("older", "veth0")
    lk = fresh_daemon()  # its libnm cache holds the older profile from the start
    assert set_connection(lk, STATIC) == (0, b"")
    profiles = profiles_of("veth0")
    assert list(profiles) == ["veth0"], "the older profile is replaced"
    stored = dict(line.split(":", 1) for line in nmcli(
        "-t", "-f", "connection,ipv4,ipv6", "connection", "show", profiles["veth0"]).splitlines())
    wanted = {
        "connection.type": "802-3-ethernet", "connection.id": "veth0",
        "connection.interface-name": "veth0", "connection.autoconnect": "yes",
        "ipv4.method": "manual", "ipv4.addresses": "192.0.2.2/28",
        "ipv4.gateway": "192.0.2.1", "ipv4.dns": "192.0.2.53,203.0.113.53",
        "ipv4.ignore-auto-dns": "yes", "ipv6.method": "manual",
        "ipv6.addresses": "2001:db8::2/64, 2001:db8::3/64", "ipv6.gateway": "2001:db8::1",
        "ipv6.dns": "2001:db8::53", "ipv6.ignore-auto-dns": "yes", "ipv6.addr-gen-mode": "eui64"}
    assert {k: stored.get(k) for k in wanted} == wanted
    assert os.path.exists(os.path.join(PROFILE_DIR, "veth0.nmconnection")), "saved to disk"

    def carried():
        addresses = link_addresses("veth0")
        return all(a in addresses and not addresses[a].get("tentative")
                   for a in ("192.0.2.2/28", "2001:db8::2/64", "2001:db8::3/64"))
    wait_until(carried, what="the addresses on veth0")
    wait_until(lambda: ping(far_side_ipv4(0)), what="IPv4 ping over veth0")
    wait_until(lambda: ping(far_side_ipv6(0)), what="IPv6 ping over veth0")
    assert device_state("veth0") == ACTIVATED


def test_second_request_leaves_exactly_the_new_profile(lk, clean):
    assert set_connection(lk, STATIC) == (0, b"")
    first = profiles_of("veth0")["veth0"]
    again = dict(STATIC, ip4={"method": "manual", "address": "192.0.2.3", "prefix": 28})
    assert set_connection(lk, again) == (0, b"")
    profiles = profiles_of("veth0")
    assert list(profiles) == ["veth0"] and profiles["veth0"] != first
    wait_until(lambda: "192.0.2.3/28" in link_addresses("veth0"), what="the new address")


def test_remove_deletes_every_profile_of_the_interface_only(fresh_daemon, clean):
    add_profile("made-by-nmcli", "veth0")
    add_profile("also-by-nmcli", "veth0")
    add_profile("other-interface", "veth1")
    nmcli("connection", "up", "also-by-nmcli")
    lk = fresh_daemon()
    wait_until(lambda: lk.call(GET_CONNECTION, ifname("veth0"))[0] == 0, what="veth0 active")
    assert set_connection(lk, {"interface": "veth0", "remove": True}) == (0, b"")
    assert profiles_of("veth0") == {}
    assert list(profiles_of("veth1")) == ["other-interface"]
    wait_until(lambda: device_state("veth0") == DISCONNECTED, what="veth0 disconnected")


V0 = '{"interface":"veth0",'
BAD_REQUESTS = {
    "invalid JSON": (V0, EINVAL),
    "empty payload": ("", EINVAL),
    "no interface": ('{"ip4":{"method":"auto"}}', EINVAL),
    "ip4 without method": (V0 + '"ip4":{"address":"192.0.2.2"}}', EINVAL),
    "three IPv4 name servers":
        (V0 + '"ip4":{"method":"auto","dns":["192.0.2.1","192.0.2.2","192.0.2.3"]}}', EINVAL),
    "five IPv6 addresses": (V0 + '"ip6":{"method":"manual","addresses":[%s]}}' % ",".join(
        '"2001:db8::%d/64"' % i for i in range(2, 7)), EINVAL),
    "unknown wifi mode": (V0 + '"wifi":{"ssid":"SG9tZQ==","mode":"adhoc"}}', EINVAL),
    "unknown IPv4 method": (V0 + '"ip4":{"method":"link-local"}}', EINVAL),
    "unknown IPv6 method": (V0 + '"ip6":{"method":"shared"}}', EINVAL),
    "IPv6 prefix 129": (V0 + '"ip6":{"method":"manual","addresses":["2001:db8::2/129"]}}', EINVAL),
    "IPv6 address without prefix":
        (V0 + '"ip6":{"method":"manual","addresses":["2001:db8::2"]}}', EINVAL),
    "unknown addr-gen-mode": (V0 + '"ip6":{"method":"auto","addr-gen-mode":"default"}}', EINVAL),
    "bad IPv4 address":
        (V0 + '"ip4":{"method":"manual","address":"192.0.2.300","prefix":28}}', EINVAL),
    "IPv4 prefix 33": (V0 + '"ip4":{"method":"manual","address":"192.0.2.2","prefix":33}}',
                       EINVAL),
    "bad IPv4 name server": (V0 + '"ip4":{"method":"auto","dns":["not-an-address"]}}', EINVAL),
    "unknown interface": ('{"interface":"nosuch0","ip4":{"method":"auto"}}', ENOENT),
}


@pytest.mark.parametrize("text, status", BAD_REQUESTS.values(), ids=BAD_REQUESTS.keys())
def test_bad_requests_are_refused_and_change_no_profile(lk, clean, text, status):
    add_profile("keep-me", "veth0")
    before = all_profiles()
    assert set_connection(lk, text.encode()) == (status, b"")
    assert all_profiles() == before


# --- request 8 ------------------------------------------------------------------------------

def enable(lk, device, on=True):
    return lk.call(ENABLE, bytes([on]) + ifname(device))


def test_enable_activates_the_one_profile_and_disable_disconnects(fresh_daemon, clean):
    add_profile("only", "veth1")
    lk = fresh_daemon()  # its libnm cache holds the profile from the start
    for on, state, word in ((True, ACTIVATED, "enabled"), (False, DISCONNECTED, "disabled")):
        assert enable(lk, "veth1", on) == (0, b"")
        wait_until(lambda: device_state("veth1") == state, what="veth1 in state %d" % state)
        # The daemon's cache follows NetworkManager's signals a little after nmcli sees the
        # state; until then a repeated request simply acts once more.
        line = "nmadapter_setEnable: already %s for veth1" % word
        wait_until(lambda: enable(lk, "veth1", on) == (0, b"") and line in lk.daemon.log_texts(),
                   what=line)


@pytest.mark.parametrize("profiles, status", [((), ENOENT), (("first", "second"), ERANGE)],
                         ids=["no profile", "two profiles"])
def test_enable_without_exactly_one_profile_activates_nothing(fresh_daemon, clean, profiles,
                                                              status):
    for name in profiles:
        add_profile(name, "veth1")
    assert enable(fresh_daemon(), "veth1") == (status, b"")
    assert device_state("veth1") == DISCONNECTED


@pytest.mark.parametrize("request_bytes, status", [
    (b"\x01nosuch0\0", ENOENT), (b"\x01", ENOENT), (b"", ENOENT), (b"\x01lo\0", 0),
    (b"\x00lo\0", 0)],
    ids=["unknown interface", "flag without name", "empty payload", "loopback enable",
         "loopback disable"])
def test_enable_edge_requests(lk, request_bytes, status):
    mark = len(lk.daemon.log_texts())
    assert lk.call(ENABLE, request_bytes) == (status, b"")
    assert not [t for t in lk.daemon.log_texts()[mark:] if "setEnable" in t]


# --- request 14 -----------------------------------------------------------------------------

RELOADED = "NetworkManager: Connections reloaded."


def profile_names():
    return sorted(name for name in nmcli("-g", "NAME", "connection").splitlines() if name != "lo")


def reset(lk):
    """Request 14's status and the log lines it wrote."""
    mark = len(lk.daemon.log_texts())
    status = lk.call(RESET)
    return status, lk.daemon.log_texts()[mark:]


def test_reset_removes_profile_files_and_links_but_spares_wg_internal(lk, clean, tmp_path):
    spared = os.path.join(PROFILE_DIR, "wg-internal.nmconnection")
    with open(spared, "w") as f:
        f.write("[connection]\nid=wg-internal\nuuid=6f1e0bd4-3c38-4bcb-9b39-8c7e1f4b2a10\n"
                "type=ethernet\ninterface-name=veth1\nautoconnect=false\n\n"
                "[ipv4]\nmethod=disabled\n\n[ipv6]\nmethod=disabled\n")
    os.chmod(spared, 0o600)
    add_profile("reset-a", "veth0")
    add_profile("reset-b", "veth1")
    target = tmp_path / "elsewhere.nmconnection"
    target.write_text("[connection]\n")
    os.symlink(target, os.path.join(PROFILE_DIR, "link.nmconnection"))
    os.mkdir(os.path.join(PROFILE_DIR, "subdir"))
    try:
        nmcli("connection", "reload")
        wait_until(lambda: {"wg-internal", "reset-a", "reset-b"} <= set(profile_names()))
        status, lines = reset(lk)
        assert status == (0, b"")
        assert sorted(os.listdir(PROFILE_DIR)) == ["subdir", "wg-internal.nmconnection"]
        assert target.exists()
        assert profile_names() == ["wg-internal"], "NetworkManager has reloaded"
        assert "Skipped excluded file: wg-internal.nmconnection" in lines and RELOADED in lines
        assert sorted(t for t in lines if t.startswith("remove file: ")) == [
            "remove file: %s/%s" % (PROFILE_DIR, name)
            for name in ("link.nmconnection", "reset-a.nmconnection", "reset-b.nmconnection")]
    finally:
        os.rmdir(os.path.join(PROFILE_DIR, "subdir"))
        os.remove(spared)
        nmcli("connection", "reload")


@pytest.mark.parametrize("missing", [False, True], ids=["empty directory", "no directory"])
def test_reset_without_profile_files_only_reloads(lk, clean, missing):
    # An empty tmpfs over the parent hides the directory from the daemon and NetworkManager
    # alike; unmounting it brings the sandbox's own directory back.
    parent = os.path.dirname(PROFILE_DIR)
    if missing:
        subprocess.run(["mount", "-t", "tmpfs", "lk-no-profiles", parent], check=True)
    try:
        assert os.listdir(parent if missing else PROFILE_DIR) == []
        status, lines = reset(lk)
        assert status == (0, b"") and RELOADED in lines
        assert not [t for t in lines if t.startswith("remove file")]
        assert not missing or "Error opening directory: No such file" in lk.daemon.log()
    finally:
        if missing:
            subprocess.run(["umount", parent], check=True)
    assert os.path.isdir(PROFILE_DIR)


# --- request 5 and the events ---------------------------------------------------------------

def watch(lk, device, prop="state-changed"):
    """(status, handle or None) of an added watch."""
    status, reply = lk.call(WATCH, payload({"interface": device, "property": prop, "handle": 0}))
    assert status != 0 or len(reply) == 4, reply
    return status, int.from_bytes(reply, "little") if status == 0 else None


def unwatch(lk, handle):
    return lk.call(WATCH, payload({"handle": handle}))


def fill_slots(lk, device, count):
    handles = [watch(lk, device) for _ in range(count)]
    assert all(status == 0 for status, _ in handles)
    return [handle for _, handle in handles]


def next_events(lk, count, timeout=30):
    """The next count events, each as a list of [member, value] pairs."""
    events = []
    for _ in range(count):
        frame = lk.conn.wait_message(EVENT, timeout)
        assert frame is not None, "only %d of %d events: %r" % (len(events), count, events)
        events.append(json.loads(frame.payload[:-1], object_pairs_hook=lambda p: [*map(list, p)]))
    return events


def state_events(states, device="veth1", times=1):
    return [[["event", "nmdevicestate"], ["interface", device], ["nmdevicestate", state]]
            for state in states for _ in range(times)]


class StateSignals:
    """The device's StateChanged signals as NetworkManager sends them, seen by gdbus monitor."""

    def __init__(self, device, log_path):
        path = nmcli("-g", "GENERAL.DBUS-PATH", "device", "show", device).strip()
        self.log_path = log_path
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(
            ["gdbus", "monitor", "--system", "--dest", "org.freedesktop.NetworkManager",
             "--object-path", path], stdout=self.log, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL)
        wait_until(lambda: "Monitoring signals" in open(log_path).read(), what="gdbus monitor")

    def states(self):
        return [int(line.split("(uint32 ", 1)[1].split(",", 1)[0])
                for line in open(self.log_path) if ".Device.StateChanged (" in line]

    def wait_settled(self, state, after=0):
        """All signals from index after on, once the last one is `state`."""
        return wait_until(lambda: (self.states()[after:] or [None])[-1] == state
                          and self.states()[after:], what="device state %d" % state)


@pytest.fixture
def signals(tmp_path):
    monitors = []

    def start(device):
        monitors.append(StateSignals(device, tmp_path / ("signals%d.log" % len(monitors))))
        return monitors[-1]

    yield start
    for monitor in monitors:
        stop_process(monitor.proc)
        monitor.log.close()


@pytest.fixture
def watcher(fresh_daemon):
    """A fresh daemon, so that watches start from empty slots."""
    return fresh_daemon()


def test_every_state_change_arrives_once_per_watch_in_order(fresh_daemon, clean, signals):
    add_profile("watched", "veth1")
    watcher = fresh_daemon()  # its libnm cache holds the profile from the start
    monitor = signals("veth1")
    status, first = watch(watcher, "veth1")
    assert status == 0 and first != 0

    nmcli("connection", "up", "watched")
    nmcli("device", "disconnect", "veth1")
    states = monitor.wait_settled(DISCONNECTED)
    assert ACTIVATED in states
    assert next_events(watcher, len(states)) == state_events(states)

    # Two watches: every change twice; then the first removed by its handle (twice: both 0).
    status, second = watch(watcher, "veth1")
    assert status == 0 and second not in (0, first)
    seen = len(monitor.states())
    assert enable(watcher, "veth1") == (0, b"")
    doubled = state_events(monitor.wait_settled(ACTIVATED, seen), times=2)
    assert next_events(watcher, len(doubled)) == doubled
    assert unwatch(watcher, first) == (0, b"")
    assert unwatch(watcher, first) == (0, b"")

    seen = len(monitor.states())
    assert set_connection(watcher, {"interface": "veth1", "ip4": {
        "method": "manual", "address": "192.0.2.18", "prefix": 28}, "ip6": {"method": "ignore"}}) \
        == (0, b"")
    states = monitor.wait_settled(ACTIVATED, seen)
    assert DISCONNECTED in states, "request 3 disconnects the active device first"
    assert next_events(watcher, len(states)) == state_events(states)
    assert unwatch(watcher, second) == (0, b"")


@pytest.mark.parametrize("request_text, status", [
    (b'{"interface":"veth0","property":"state-change","handle":0}', EINVAL),
    (b'{"interface":"veth0","property":"access-point-added","handle":0}', EINVAL),
    (b'{"interface":"veth0","property":"","handle":0}', EINVAL),
    (b'{"interface":"nosuch0","property":"state-changed","handle":0}', ENOENT),
    (b'{"interface":"veth0","property":"state-changed"}', EINVAL),
    (b'{"handle":12345}', 0),
], ids=["a prefix of a signal name", "a Wi-Fi signal on a wired device", "no property",
        "unknown interface", "no handle", "removing an unknown handle"])
def test_watch_requests_that_add_nothing(watcher, request_text, status):
    assert watcher.call(WATCH, request_text) == (status, b"")
    assert len(fill_slots(watcher, "veth0", 16)) == 16, "every slot is still free"


def test_sixteen_watches_fit_and_the_seventeenth_is_refused(watcher):
    handles = fill_slots(watcher, "veth0", 16)
    assert len(set(handles)) == 16
    assert watch(watcher, "veth0") == (ENOENT, None)
    assert unwatch(watcher, handles.pop(5)) == (0, b"")
    handles += fill_slots(watcher, "veth0", 1)
    assert watch(watcher, "veth0") == (ENOENT, None)
    assert all(unwatch(watcher, handle) == (0, b"") for handle in handles)


def test_no_event_for_old_watches_after_the_bus_connection_drops(watcher, clean, signals):
    add_profile("watched", "veth1")
    monitor = signals("veth1")
    fill_slots(watcher, "veth1", 3)
    watcher.conn.close()
    watcher.conn = watcher.server.accept()
    assert watcher.conn is not None, watcher.daemon.log()
    watcher.conn.read_identity()
    watcher.daemon.wait_log(["nmadapter onDisconnect()"])
    fill_slots(watcher, "veth1", 1)
    nmcli("connection", "up", "watched")
    nmcli("device", "disconnect", "veth1")
    # One event per change: the three old watches would have tripled them.
    states = monitor.wait_settled(DISCONNECTED)
    assert ACTIVATED in states
    assert next_events(watcher, len(states)) == state_events(states)


def test_a_removed_device_frees_its_slots(watcher):
    subprocess.run(["ip", "link", "add", "lkgone0", "type", "veth", "peer", "name", "lkgone1"],
                   check=True)
    try:
        wait_until(lambda: watch(watcher, "lkgone0")[0] == 0, what="NetworkManager sees lkgone0")
        fill_slots(watcher, "lkgone0", 14)
        kept = fill_slots(watcher, "veth0", 1)
        assert watch(watcher, "veth0") == (ENOENT, None)
    finally:
        subprocess.run(["ip", "link", "del", "lkgone0"], check=False)
    wait_until(lambda: watch(watcher, "veth0")[0] == 0, what="the slots of lkgone0 freed")
    fill_slots(watcher, "veth0", 14)
    assert watch(watcher, "veth0") == (ENOENT, None)
    assert unwatch(watcher, kept[0]) == (0, b"")
    assert "CRITICAL" not in watcher.daemon.log() and "WARNING" not in watcher.daemon.log()


# --- Wi-Fi, on the NetworkManager mock ------------------------------------------------------

AP_KEYS = ["ssid", "bssid", "signal", "apFlags", "wpaFlags", "rsnFlags", "frequency", "bitrate"]


def wifi_request(mode=None, keymgt=None, ssid=b"HomeNet"):
    section = {"ssid": base64.b64encode(ssid).decode()}
    if mode is not None:
        section["mode"] = mode
    if keymgt is not None:
        section["security"] = {"keymgt": keymgt, "psk": PSK}
    return {"interface": "wlan0", "ip4": {"method": "auto"}, "ip6": {"method": "auto"},
            "wifi": section}


def wifi_lk(wifi):
    """A daemon on the mock, once it sees wlan0, which has an older profile."""
    wifi.older = wifi.add_wifi_profile("Older", psk=PSK)
    lk = wifi.lk()
    wait_until(lambda: b"wlan0" in lk.call(LIST)[1], what="wlan0 listed")
    return lk


PSK_CLIENT = {"key-mgmt": "wpa-psk", "psk": PSK}
CCMP_AP = {"key-mgmt": "wpa-psk", "psk": PSK, "pairwise": ["ccmp"], "group": ["ccmp"],
           "wps-method": 1}
WIFI_PROFILES = {
    "client of an open network": (wifi_request(), "infrastructure", True, None),
    "client with keymgt open": (wifi_request("infrastructure", "open"), "infrastructure", True,
                                None),
    "WPA client": (wifi_request("infrastructure", "wpa"), "infrastructure", True, PSK_CLIENT),
    "WPA2 client": (wifi_request("infrastructure", "wpa2"), "infrastructure", True, PSK_CLIENT),
    "open access point": (wifi_request("ap", "open"), "ap", False, None),
    "WPA access point": (wifi_request("ap", "wpa"), "ap", False, CCMP_AP),
    "WPA2 access point": (wifi_request("ap", "wpa2"), "ap", False, dict(CCMP_AP, proto=["rsn"])),
}


@pytest.mark.parametrize("body, mode, autoconnect, security", WIFI_PROFILES.values(),
                         ids=WIFI_PROFILES.keys())
def test_wifi_profile_is_stored_as_the_tables_say(wifi, body, mode, autoconnect, security):
    lk = wifi_lk(wifi)
    assert set_connection(lk, body) == (0, b"")
    stored = wifi.profiles_by_id()
    assert list(stored) == ["wlan0"], "the older profile of wlan0 is deleted"
    profile = stored["wlan0"]
    connection = profile["connection"]
    assert (connection["type"], connection["id"], connection["interface-name"]) == (
        "802-11-wireless", "wlan0", "wlan0")
    assert connection.get("autoconnect", True) is autoconnect
    assert len(connection["uuid"]) == 36
    assert (profile["802-11-wireless"]["ssid"], profile["802-11-wireless"]["mode"]) == (
        b"HomeNet", mode)
    stored_security = profile.get("802-11-wireless-security")
    if security is None:
        assert stored_security is None
    else:  # exactly these, and none of the access point's keys beyond them
        assert {k: stored_security.get(k) for k in security} == security
        extra = set(stored_security) - set(security)
        assert not extra & {"proto", "pairwise", "group", "wps-method"}, extra
    assert profile["ipv4"]["method"] == "auto" and profile["ipv6"]["method"] == "auto"
    assert wifi.calls(MANAGER, "ActivateConnection")
    assert PSK not in lk.daemon.log()


@pytest.mark.parametrize("body, status", [
    (wifi_request("ap", "sae"), EOPNOTSUPP),
    (wifi_request("ap"), EOPNOTSUPP),
    ({"interface": "wlan0", "ip4": {"method": "auto"}}, EINVAL),
    (wifi_request(ssid=b"x" * 33), EINVAL),
    (wifi_request(mode="mesh"), EINVAL),
], ids=["access point with SAE", "access point without keymgt", "no wifi section",
        "SSID of 33 bytes", "unknown mode"])
def test_wifi_requests_that_store_nothing(wifi, body, status):
    lk = wifi_lk(wifi)
    assert set_connection(lk, body) == (status, b"")
    assert wifi.profiles() == [wifi.older]
    assert not wifi.calls(MANAGER + "/Settings", "AddConnection2")
    assert PSK not in lk.daemon.log()


def test_access_point_events_leave_hidden_networks_out(wifi):
    lk = wifi.lk()
    wait_until(lambda: watch(lk, "wlan0", "access-point-added")[0] == 0)
    assert watch(lk, "wlan0", "access-point-removed")[0] == 0
    assert watch(lk, "eth0", "access-point-added") == (EINVAL, None)
    home = wifi.add_access_point(wifi.wlan, "HomeNet", bssid="00:00:5E:00:53:10",
                                 security="wpa2", strength=80, frequency=5180)
    hidden = wifi.add_access_point(wifi.wlan, "", bssid="00:00:5E:00:53:11")
    cafe = wifi.add_access_point(wifi.wlan, "Cafe", bssid="00:00:5E:00:53:12")
    for ap in (hidden, home, cafe):
        wifi.remove_access_point(wifi.wlan, ap)
    events = next_events(lk, 4)
    assert [[value for _, value in e[:4]] for e in events] == [
        [event, "wlan0", base64.b64encode(ssid).decode(), "00:00:5E:00:53:1%d" % i]
        for event in ("access-point-added", "access-point-removed")
        for ssid, i in ((b"HomeNet", 0), (b"Cafe", 2))]
    assert all([k for k, _ in e] == ["event", "interface"] + AP_KEYS for e in events)
    assert dict(events[0])["signal"] == 80 and dict(events[0])["frequency"] == 5180


# --- random and mutated requests -------------------------------------------------------------

FUZZ_SEEDS = [
    (SET_CONNECTION, payload(dict(STATIC, interface="veth1"))),
    (SET_CONNECTION, payload({"interface": "veth1", "remove": True})),
    (SET_CONNECTION, payload(dict(wifi_request("ap", "wpa2"), interface="veth1"))),
    (SET_CONNECTION, payload({"interface": "veth1", "ip4": {"method": "auto"},
                              "ip6": {"method": "dhcp", "addr-gen-mode": "stable-privacy"}})),
    (WATCH, b'{"interface":"veth1","property":"state-changed","handle":0}'),
    (WATCH, b'{"handle":1}'),
]
FUZZ_VALUES = [None, True, 0, 129, -1, 2 ** 64, "", "auto", "manual", "ap", "wpa2", "veth1",
               "lo", "2001:db8::9/64", "192.0.2.20", "x" * 300, [], ["192.0.2.1"] * 5, {},
               {"method": "manual"}]


def mutate_value(rng, tree):
    """The tree with one to three members replaced, added or dropped somewhere."""
    for _ in range(rng.randint(1, 3)):
        mutate_member(rng, tree)
    return json.dumps(tree).encode()


def mutate_member(rng, tree):
    node = tree
    while rng.random() < 0.6 and any(isinstance(v, dict) for v in node.values()):
        node = rng.choice([v for v in node.values() if isinstance(v, dict)])
    key = rng.choice(list(node) + ["method", "dns", "addresses", "ssid", "mode", "handle"])
    if rng.random() < 0.2:
        node.pop(key, None)
    else:
        node[key] = json.loads(json.dumps(rng.choice(FUZZ_VALUES)))  # a copy of its own


def fuzz_requests(rng, count):
    """Mostly valid JSON with odd members, which gets past the decoders (fuzzed on their own
    in fuzz/) to NetworkManager; now and then plain noise."""
    for _ in range(count):
        api_id, seed = rng.choice(FUZZ_SEEDS)
        if rng.random() < 0.2:
            yield api_id, bytes(rng.randrange(256) for _ in range(rng.randint(0, 300)))
        else:
            yield api_id, mutate_value(rng, json.loads(seed))


def check_leaks(daemon):
    """Has LeakSanitizer look for unreachable memory in the running daemon, which must have
    been started with tests/nm/leak_check_on_signal.c preloaded."""
    mark = len(daemon.log())
    os.kill(daemon.proc.pid, signal.SIGUSR2)
    wait_until(lambda: "leak check: " in daemon.log()[mark:], timeout=120, what="leak check")
    report = daemon.log()[mark:]
    assert "leak check: done" in report and "LeakSanitizer" not in report, report[-20000:]


def test_random_and_mutated_requests_get_clear_answers(lk, clean):
    count = int(os.environ.get("LK_FUZZ_COUNT", "300"))
    seed = int(os.environ.get("LK_FUZZ_SEED", "6"))
    answers, handles = {}, []
    for api_id, text in fuzz_requests(random.Random(seed), count):
        status, reply = lk.call(api_id, text)
        assert status in (0, ENOENT, EINVAL, ERANGE, EOPNOTSUPP), (api_id, text, status)
        assert reply == b"" or (api_id == WATCH and len(reply) == 4), (api_id, text, reply)
        answers[status] = answers.get(status, 0) + 1
        if reply:
            handles.append(int.from_bytes(reply, "little"))
    assert lk.call(LIST)[0] == 0
    assert all(unwatch(lk, handle) == (0, b"") for handle in handles)  # no watch left behind
    if os.environ.get("LK_LEAK_CHECK_LIB"):  # a daemon built with -DLK_SANITIZE=ON
        check_leaks(lk.daemon)
    print("seed %d, %d requests, statuses %s" % (seed, count, sorted(answers.items())))
