"""NetworkManager requests end to end: the real linkKeeper against the real NetworkManager of
scripts/nm-sandbox.sh, compared with nmcli, sysfs and the links themselves. Request 3 refuses
veth devices (a type of their own), so the daemons here preload tests/nm/veth_as_ethernet.c,
which makes libnm's device-type query read veth as Ethernet in that process only."""

import json
import os
import random
import re
import subprocess
from pathlib import Path

import pytest

from conftest import Linkkeeper, ifname, nmcli, stop_process, wait_until

pytestmark = [pytest.mark.usefixtures("facts"), pytest.mark.skipif(
    os.environ.get("LK_NM_SANDBOX") != "1", reason="needs nm-sandbox.sh run")]

LIST, DETAILS, SET_CONNECTION, GET_CONNECTION, WATCH, EVENT, ENABLE, RESET = (
    1, 2, 3, 4, 5, 6, 8, 14)
ENOENT, EINVAL, ERANGE, EOPNOTSUPP = 2, 22, 34, 95
ACTIVATED, DISCONNECTED = 100, 30
PROFILE_DIR = "/etc/NetworkManager/system-connections"
MANUAL_IP4 = {"method": "manual", "address": "192.0.2.2", "prefix": 28, "gateway": "192.0.2.1",
              "dns": ["192.0.2.53", "203.0.113.53"]}
MANUAL_IP6 = {"method": "manual", "addresses": ["2001:db8::2/64", "2001:db8::3/64"],
              "gateway": "2001:db8::1", "dns": ["2001:db8::53"], "addr-gen-mode": "eui64"}
STATIC = {"interface": "veth0", "ip4": MANUAL_IP4, "ip6": MANUAL_IP6}
WATCH_SHARE = 8  # of the 16 watch slots, what one peer may hold


def start_lk(as_ethernet=True, nm_running=True, args=("-C", "")):
    preload = os.environ.get("LK_VETH_AS_ETHERNET", "")
    if as_ethernet and not os.path.exists(preload):
        pytest.skip("LK_VETH_AS_ETHERNET does not name the built preload library")
    env = {"LD_PRELOAD": preload} if as_ethernet else {}
    # No control socket unless asked: the module's daemon and a test's own may run side by
    # side, and a second daemon never takes a served socket over.
    lk = Linkkeeper(os.environ["DBUS_SYSTEM_BUS_ADDRESS"], env, args=args)
    return lk.with_nm() if nm_running else lk


@pytest.fixture(scope="module")
def lk():
    daemon = start_lk()
    yield daemon
    daemon.stop()


def profiles_of(device):
    """{name: uuid} of the profiles bound to the interface."""
    lines = nmcli("-t", "-f", "NAME,UUID", "connection").splitlines()
    return {name: uuid for name, uuid in (line.split(":") for line in lines) if nmcli(
        "-g", "connection.interface-name", "connection", "show", uuid).strip() == device}


def all_profiles():
    return {uuid: nmcli("-t", "connection", "show", uuid)
            for uuid in nmcli("-t", "-f", "UUID", "connection").split()}


def device_state(device):
    return int(nmcli("-g", "GENERAL.STATE", "device", "show", device).split()[0])


def add_profile(name, device, *settings, kind="ethernet"):
    nmcli("connection", "add", "type", kind, "ifname", device, "con-name", name,
          "connection.autoconnect", "no",
          *(settings or ("ipv4.method", "disabled", "ipv6.method", "disabled")))


@pytest.fixture
def clean():
    """veth0 and veth1 without profiles before and after the test."""
    def drop():
        for uuid in nmcli("-g", "UUID,TYPE", "connection").splitlines():
            if not uuid.endswith(":loopback"):
                nmcli("connection", "delete", "uuid", uuid.split(":")[0], check=False)
        for device in ("veth0", "veth1"):
            nmcli("device", "disconnect", device, check=False)
    drop()
    yield
    drop()


def test_sandbox_keeps_to_namespaces_of_its_own():
    links = json.loads(subprocess.run(["ip", "-j", "link"], capture_output=True).stdout)
    assert sorted(link["ifname"] for link in links) == ["lo", "veth0", "veth1"]
    assert " %s tmpfs " % PROFILE_DIR in Path("/proc/self/mounts").read_text()
    assert os.environ["DBUS_SYSTEM_BUS_ADDRESS"].startswith("unix:path=/run/lk-nm/")


def test_interface_list_is_what_nmcli_shows(lk):
    def agree():
        ours = {d["name"]: (d["type"], d["nmdevicestate"]) for d in lk.json(LIST)[1]}
        shown = nmcli("-t", "-f", "GENERAL.DEVICE,GENERAL.TYPE,GENERAL.STATE", "device", "show")
        theirs = {}
        for device in shown.strip().split("\n\n"):
            name, kind, state = (line.split(":", 1)[1] for line in device.splitlines())
            theirs[name] = (kind, int(state.split()[0]))
        return ours == theirs and ours

    assert {"veth0", "veth1", "lo"} <= set(wait_until(agree))
    devices = lk.json(LIST)[1]
    assert all(list(d) == ["name", "type", "yebtype", "nmdevicestate"] for d in devices)
    assert {d["name"]: d["yebtype"] for d in devices} == {
        "veth0": "external", "veth1": "internal", "lo": "integration"}
    loopback = lk.json(DETAILS, ifname("lo"))[1]
    assert "ethernet" not in loopback and "wifi" not in loopback


def sysfs(device, attribute):  # None where the kernel has no value
    path = "/sys/class/net/%s/%s" % (device, attribute)
    return subprocess.run(["cat", path], capture_output=True, text=True).stdout.strip() or None


def test_details_agree_with_nmcli_and_sysfs(lk, clean):
    add_profile("lk-static", "veth0", *(
        "ipv4.method manual ipv4.addresses 192.0.2.2/28,198.51.100.5/24 ipv4.gateway 192.0.2.1 "
        "ipv4.dns 192.0.2.53,203.0.113.53 ipv6.method manual ipv6.addresses 2001:db8::2/64 "
        "ipv6.gateway 2001:db8::1 ipv6.dns 2001:db8::53").split())
    nmcli("--wait", "0", "connection", "up", "lk-static")

    def settled():
        details, ours = lk.json(DETAILS, ifname("veth0"))[1], {}
        for family in ("IP4", "IP6"):
            ip = details[family.lower() + "settings"] or {}
            ours.update({family + ".ADDRESS": ip.get("addressprefixlist") or [], family + ".DNS":
                         ip.get("dnslist") or [], family + ".GATEWAY": [ip.get("gateway")]})
        shown = {key: [] if key.endswith("S") else [None] for key in ours}
        for line in nmcli("-t", "-f", ",".join(ours), "device", "show", "veth0").splitlines():
            key, _, value = line.partition(":")
            key = key.split("[")[0]
            shown[key] = shown[key] + [value.replace("\\:", ":")] if key.endswith("S") else [
                value or None]
        activated = details["nmdevicestate"] == ACTIVATED
        return ours == shown and activated and "2001:db8::2/64" in ours["IP6.ADDRESS"] and details

    details = wait_until(settled)
    assert list(details) == ["name", "type", "yebtype", "nmdevicestate", "hwaddress", "mtu",
                             "ethernet", "configured", "ip4settings", "ip6settings"]
    assert (details["yebtype"], details["nmdevicestate"], details["configured"]) == (
        "external", ACTIVATED, True)
    assert (details["hwaddress"], details["mtu"]) == (sysfs("veth0", "address").upper(),
                                                      int(sysfs("veth0", "mtu")))
    assert sorted(details["ip4settings"]["addressprefixlist"]) == ["192.0.2.2/28",
                                                                   "198.51.100.5/24"]
    # Speed and duplex only where the kernel gives them for the link; none without carrier.
    speed, duplex = sysfs("veth0", "speed"), sysfs("veth0", "duplex")
    expected = {"carrier": True, "speed": speed and int(speed), "duplex": duplex}
    assert details["ethernet"] == {k: v for k, v in expected.items() if v is not None}
    far = ["ip", "-n", os.environ["LK_FAR_NS"], "link", "set", "far1"]
    subprocess.run(far + ["down"], check=True)
    try:
        lk.wait_json(DETAILS, ifname("veth1"),
                     lambda reply: reply[1]["ethernet"] == {"carrier": False})
    finally:
        subprocess.run(far + ["up"], check=True)


DHCP_WITH_ALL = {"method": "auto", "address": "192.0.2.2", "prefix": 28, "gateway": "192.0.2.1",
                 "dns": ["192.0.2.53"]}
PROFILES = {  # what is written (request 3 or nmcli), and request 4's answer when it differs
    "automatic": ("veth1", {"ip4": {"method": "auto"}, "ip6": {"method": "auto"}}, None),
    "IPv4 left out, manual IPv6 with stable-privacy": (
        "veth1", {"ip6": {"method": "manual", "addresses": ["2001:db8:0:1::2/64"],
                          "addr-gen-mode": "stable-privacy"}},
        {"ip4": {"method": "disabled"}, "ip6": {"method": "manual", "addresses": [
            "2001:db8:0:1::2/64"], "addr-gen-mode": "stable-privacy"}}),
    "DHCP with address, gateway and name servers; shared IPv6": (
        "veth1", {"ip4": DHCP_WITH_ALL, "ip6": {"method": "shared"}},
        {"ip4": dict(DHCP_WITH_ALL, **{"ignore-auto-dns": True}), "ip6": {"method": "shared"}}),
    "link-local IPv4; DHCPv6 keeping automatic name servers": (
        "veth1", {"ip4": {"method": "link-local"}, "ip6": {
            "method": "dhcp", "dns": ["2001:db8::53"], "ignore-auto-dns": False}}, None),
    "static": ("veth1", {k: v for k, v in STATIC.items() if k != "interface"}, None),
    "made by nmcli: the first IPv4 address only": ("veth0", "ipv4.method manual ipv4.addresses "
        "192.0.2.2/28,192.0.2.3/28 ipv6.method auto ipv6.addr-gen-mode default", {"ip4": {
            "method": "manual", "address": "192.0.2.2", "prefix": 28}, "ip6": {"method": "auto"}}),
}


def stored_settings(device):
    """NetworkManager's own view of the profile bound to device, its uuid and time left out."""
    lines = nmcli("-t", "-f", "connection,ipv4,ipv6", "connection", "show", device).splitlines()
    return sorted(l for l in lines if not l.startswith(("connection.uuid", "connection.timest")))


@pytest.mark.parametrize("device, made, expected", PROFILES.values(), ids=PROFILES.keys())
def test_profile_read_back_is_written_back_unchanged(clean, device, made, expected):
    add_profile("older", device)
    lk = start_lk()  # its libnm cache holds the older profile from the start
    if isinstance(made, dict):
        assert lk.call(SET_CONNECTION, dict(made, interface=device)) == (0, b"")
        assert list(profiles_of(device)) == [device], "exactly the new profile is left"
    else:
        add_profile("by-nmcli", device, *made.split())
        nmcli("--wait", "0", "connection", "up", "by-nmcli")
    _, reply = lk.wait_json(GET_CONNECTION, ifname(device))
    assert json.dumps(reply) == json.dumps(dict(interface=device, **(expected or made)))
    if isinstance(made, dict):  # a read-back is always writable, and writes the same again
        before = stored_settings(device)
        assert lk.call(SET_CONNECTION, reply) == (0, b"")
        assert stored_settings(device) == before
        assert lk.wait_json(GET_CONNECTION, ifname(device))[1] == reply


def ping(address):
    return subprocess.run(["ping", "-c1", "-W1", address], capture_output=True).returncode == 0


def test_static_profile_is_stored_activated_and_carried_by_the_link(lk, clean):
    assert lk.call(SET_CONNECTION, STATIC) == (0, b"")
    stored = dict(line.split(":", 1) for line in nmcli(
        "-t", "-f", "connection,ipv4,ipv6", "connection", "show", "veth0").splitlines())
    wanted = {
        "connection.type": "802-3-ethernet", "connection.interface-name": "veth0",
        "connection.autoconnect": "yes", "ipv4.method": "manual", "ipv6.method": "manual",
        "ipv4.addresses": "192.0.2.2/28", "ipv4.gateway": "192.0.2.1",
        "ipv4.dns": "192.0.2.53,203.0.113.53", "ipv4.ignore-auto-dns": "yes",
        "ipv6.addresses": "2001:db8::2/64, 2001:db8::3/64", "ipv6.gateway": "2001:db8::1",
        "ipv6.dns": "2001:db8::53", "ipv6.addr-gen-mode": "eui64"}
    assert {k: stored.get(k) for k in wanted} == wanted
    assert os.path.exists(os.path.join(PROFILE_DIR, "veth0.nmconnection")), "saved to disk"
    wait_until(lambda: ping("192.0.2.1") and ping("2001:db8::1"), what="pings over veth0")
    addresses = subprocess.run(["ip", "-br", "addr", "show", "veth0"], capture_output=True,
                               text=True).stdout.split()
    assert {"192.0.2.2/28", "2001:db8::2/64", "2001:db8::3/64"} <= set(addresses)
    assert device_state("veth0") == ACTIVATED


def test_veth_devices_without_the_preload_are_unsupported(clean):
    before = all_profiles()
    assert start_lk(as_ethernet=False).call(SET_CONNECTION, STATIC) == (EOPNOTSUPP, b"")
    assert all_profiles() == before


def test_remove_deletes_every_profile_of_the_interface_only(clean):
    for name, device in (("made-by-nmcli", "veth0"), ("also", "veth0"), ("other", "veth1")):
        add_profile(name, device)
    nmcli("connection", "up", "also")
    lk = start_lk()  # its cache holds the three profiles, one active
    assert lk.call(SET_CONNECTION, {"interface": "veth0", "remove": True}) == (0, b"")
    assert profiles_of("veth0") == {} and list(profiles_of("veth1")) == ["other"]
    wait_until(lambda: device_state("veth0") == DISCONNECTED, what="veth0 disconnected")


V0 = b'{"interface":"veth0",'


def refused(section):
    """Request 3 on veth0 with one IP section, refused with 22."""
    return SET_CONNECTION, V0 + section + b"}", EINVAL


REFUSALS = {
    "details of an unknown interface": (DETAILS, b"nosuch0\0", ENOENT),
    "details without a name": (DETAILS, b"", ENOENT),
    "connection of an idle device": (GET_CONNECTION, b"veth1\0", ENOENT),
    "set: invalid JSON": (SET_CONNECTION, V0, EINVAL),
    "set: unknown IPv4 method": refused(b'"ip4":{"method":"ignore"}'),
    "set: IPv6 auto with an address": refused(
        b'"ip6":{"method":"auto","addresses":["2001:db8::2/64"]}'),
    "set: shared IPv4 with a gateway": refused(
        b'"ip4":{"method":"shared","address":"192.0.2.1","prefix":28,"gateway":"192.0.2.2"}'),
    "set: trailing junk after a prefix": refused(
        b'"ip6":{"method":"manual","addresses":["2001:db8::2/64junk"]}'),
    "set: a name server with link-local": refused(b'"ip6":{"method":"link-local","dns":["::1"]}'),
    "set: IPv4 prefix 33": refused(b'"ip4":{"method":"manual","address":"192.0.2.2","prefix":33}'),
    "set: IPv6 address without prefix": refused(
        b'"ip6":{"method":"manual","addresses":["2001:db8::2"]}'),
    "set: unknown interface": (SET_CONNECTION, b'{"interface":"nosuch0"}', ENOENT),
    "enable: two profiles": (ENABLE, b"\x01veth0\0", ERANGE),
    "enable: no profile": (ENABLE, b"\x01veth1\0", ENOENT),
    "enable: unknown interface": (ENABLE, b"\x01nosuch0\0", ENOENT),
    "enable: no name": (ENABLE, b"\x01", ENOENT),
    "enable: loopback is left alone": (ENABLE, b"\x01lo\0", 0),
}


@pytest.mark.parametrize("api_id, payload, status", REFUSALS.values(), ids=REFUSALS.keys())
def test_refused_requests_change_nothing(clean, api_id, payload, status):
    add_profile("first", "veth0")
    add_profile("second", "veth0")
    before = all_profiles()
    assert start_lk().call(api_id, payload) == (status, b"")  # its cache holds both profiles
    assert all_profiles() == before
    assert (device_state("veth0"), device_state("veth1")) == (DISCONNECTED, DISCONNECTED)


def enable(lk, device, on=True):
    return lk.call(ENABLE, bytes([on]) + ifname(device))


def test_enable_activates_the_one_profile_and_disable_disconnects(clean):
    add_profile("only", "veth1")
    lk = start_lk()
    for on, state, word in ((True, ACTIVATED, "enabled"), (False, DISCONNECTED, "disabled")):
        assert enable(lk, "veth1", on) == (0, b"")
        wait_until(lambda: device_state("veth1") == state, what="veth1 in state %d" % state)
        # The daemon's cache follows NetworkManager a little after nmcli sees the state; until
        # then a repeated request simply acts once more.
        line = "nmadapter_setEnable: already %s for veth1" % word
        wait_until(lambda: enable(lk, "veth1", on) == (0, b"") and line in lk.daemon.log_texts(),
                   what=line)


def test_reset_removes_profile_files_and_links_but_spares_wg_internal(lk, clean, tmp_path):
    spared = os.path.join(PROFILE_DIR, "wg-internal.nmconnection")
    with open(spared, "w") as f:
        f.write("[connection]\nid=wg-internal\nuuid=6f1e0bd4-3c38-4bcb-9b39-8c7e1f4b2a10\n"
                "type=ethernet\ninterface-name=veth1\n[ipv4]\nmethod=disabled\n")
    os.chmod(spared, 0o600)
    add_profile("reset-a", "veth0")
    target = tmp_path / "elsewhere.nmconnection"
    target.write_text("[connection]\n")
    os.symlink(target, os.path.join(PROFILE_DIR, "link.nmconnection"))
    os.mkdir(os.path.join(PROFILE_DIR, "subdir"))
    try:
        nmcli("connection", "reload")
        assert lk.call(RESET) == (0, b"")
        assert sorted(os.listdir(PROFILE_DIR)) == ["subdir", "wg-internal.nmconnection"]
        assert target.exists()
        names = nmcli("-g", "NAME", "connection").split()
        assert "wg-internal" in names and "reset-a" not in names, "NetworkManager reloaded"
    finally:
        os.rmdir(os.path.join(PROFILE_DIR, "subdir"))
        os.remove(spared)
        nmcli("connection", "reload")
    # Without the directory (an empty tmpfs over its parent hides it) the reload still runs.
    parent = os.path.dirname(PROFILE_DIR)
    subprocess.run(["mount", "-t", "tmpfs", "lk-no-profiles", parent], check=True)
    try:
        mark = len(lk.daemon.log_texts())
        assert lk.call(RESET) == (0, b"")
        assert "NetworkManager: Connections reloaded." in lk.daemon.log_texts()[mark:]
    finally:
        subprocess.run(["umount", parent], check=True)


def test_connection_of_a_bridge_port_without_ip_setting_is_unsupported(lk, clean):
    add_profile("lk-br", "lkbr0", "ipv4.method", "disabled", "ipv6.method", "disabled",
                kind="bridge")
    add_profile("lk-port", "veth1", "master", "lkbr0", "slave-type", "bridge")
    nmcli("--wait", "0", "connection", "up", "lk-port")
    wait_until(lambda: lk.call(GET_CONNECTION, ifname("veth1"))[0] != ENOENT)
    assert lk.call(GET_CONNECTION, ifname("veth1")) == (EOPNOTSUPP, b"")


def watch(lk, device, prop="state-changed"):
    """(status, handle or None) of an added watch."""
    status, reply = lk.call(WATCH, {"interface": device, "property": prop, "handle": 0})
    assert status != 0 or len(reply) == 4, reply
    return status, int.from_bytes(reply, "little") if status == 0 else None


def fill_slots(lk, device, count):
    handles = [watch(lk, device) for _ in range(count)]
    assert all(status == 0 for status, _ in handles)
    return [handle for _, handle in handles]


def next_events(lk, count):
    frames = [lk.conn.wait_message(EVENT) for _ in range(count)]
    assert None not in frames, frames
    return [frame.payload for frame in frames]


def state_events(states, times=1):
    """The events for (state, reason) pairs as NetworkManager signalled them."""
    return [b'{"event":"nmdevicestate","interface":"veth1","nmdevicestate":%d,"reason":%d}\0'
            % state for state in states for _ in range(times)]


@pytest.fixture
def signals(tmp_path):
    """veth1's StateChanged signals as NetworkManager sends them, seen by gdbus monitor."""
    log = tmp_path / "signals.log"
    path = nmcli("-g", "GENERAL.DBUS-PATH", "device", "show", "veth1").strip()
    with open(log, "w") as out:
        proc = subprocess.Popen(["gdbus", "monitor", "--system", "--dest",
                                 "org.freedesktop.NetworkManager", "--object-path", path],
                                stdout=out, stderr=subprocess.STDOUT)
    try:
        wait_until(lambda: "Monitoring signals" in log.read_text(), what="gdbus monitor")

        seen = [0]

        def settled(state):
            """The (state, reason) pairs signalled since the last call, once state is the last."""
            def states():
                found = re.findall(r"\.StateChanged \(uint32 (\d+), uint32 \d+, uint32 (\d+)\)",
                                   log.read_text())
                return [(int(new), int(reason)) for new, reason in found[seen[0]:]]
            found = wait_until(lambda: (s := states()) and s[-1][0] == state and s, what=str(state))
            seen[0] += len(found)
            return found
        yield settled
    finally:
        stop_process(proc)


def test_every_state_change_arrives_once_per_watch_in_order(clean, signals):
    add_profile("watched", "veth1")
    lk = start_lk()
    first = fill_slots(lk, "veth1", 1)[0]
    nmcli("connection", "up", "watched")
    nmcli("device", "disconnect", "veth1")
    states = signals(DISCONNECTED)
    assert ACTIVATED in dict(states)
    assert next_events(lk, len(states)) == state_events(states)
    # Two watches: every change twice; then the first removed by its handle.
    assert fill_slots(lk, "veth1", 1)[0] not in (0, first)
    assert enable(lk, "veth1") == (0, b"")
    states = signals(ACTIVATED)
    assert next_events(lk, 2 * len(states)) == state_events(states, times=2)
    assert lk.call(WATCH, {"handle": first}) == (0, b"")
    assert lk.call(SET_CONNECTION, {"interface": "veth1", "ip4": {
        "method": "manual", "address": "192.0.2.18", "prefix": 28}}) == (0, b"")
    states = signals(ACTIVATED)
    assert next_events(lk, len(states)) == state_events(states)


WATCH_REFUSALS = [
    (b'{"interface":"veth0","property":"state-change","handle":0}', EINVAL),
    (b'{"interface":"veth0","property":"access-point-added","handle":0}', EINVAL),
    (b'{"interface":"nosuch0","property":"state-changed","handle":0}', ENOENT),
    (b'{"interface":"veth0","property":"state-changed"}', EINVAL),
    (b'{"handle":12345}', ENOENT)]  # no watch of this peer's


def wait_event(lk, text):
    """Skips events until one holds text."""
    while text not in (frame := lk.conn.wait_message(EVENT)).payload:
        pass


def test_a_peers_share_of_watches_and_one_that_follows_its_interface_name(clean):
    lk = start_lk()
    for request, status in WATCH_REFUSALS:  # none of them takes a slot
        assert lk.call(WATCH, request) == (status, b""), request
    handles = fill_slots(lk, "veth0", WATCH_SHARE - 1)
    link = ["ip", "link", "add", "lkgone0", "type", "veth", "peer", "name", "lkgone1"]
    subprocess.run(link, check=True)
    try:
        wait_until(lambda: watch(lk, "lkgone0")[0] == 0, what="NetworkManager sees lkgone0")
        assert len(set(handles)) == WATCH_SHARE - 1 and watch(lk, "veth0") == (ENOENT, None)
        assert lk.call(WATCH, {"handle": handles[0]}) == (0, b"")
        fill_slots(lk, "veth0", 1)
        assert watch(lk, "veth0") == (ENOENT, None)
    finally:
        subprocess.run(["ip", "link", "del", "lkgone0"], check=False)
    # The device goes: one last event (unmanaged, device removed), and the watch stays.
    wait_event(lk, b'"interface":"lkgone0","nmdevicestate":10,"reason":36}')
    assert watch(lk, "veth0") == (ENOENT, None)
    subprocess.run(link, check=True)
    try:  # the same watch reports the new device of that name
        wait_event(lk, b'"interface":"lkgone0","nmdevicestate":20,')
    finally:
        subprocess.run(["ip", "link", "del", "lkgone0"], check=False)
    assert "CRITICAL" not in lk.daemon.log() and "WARNING" not in lk.daemon.log()


FUZZ_SEEDS = [(SET_CONNECTION, dict(STATIC, interface="veth1")),
              (SET_CONNECTION, {"interface": "veth1", "remove": True}),
              (SET_CONNECTION, {"interface": "veth1", "ip4": {"method": "auto"}, "wifi": {
                  "ssid": "SG9tZQ==", "mode": "ap", "security": {"keymgt": "wpa2"}}}),
              (SET_CONNECTION, {"interface": "veth1", "ip6": {"method": "dhcp"}}),
              (WATCH, {"interface": "veth1", "property": "state-changed", "handle": 0})]
FUZZ_VALUES = [None, True, 0, 129, -1, 2 ** 64, "", "auto", "manual", "ap", "wpa2", "veth1",
               "lo", "2001:db8::9/64", "192.0.2.20", "x" * 300, [], ["192.0.2.1"] * 5, {},
               {"method": "manual"}]


def mutated(rng, tree):
    """The tree with one to three members replaced, added or dropped somewhere."""
    for _ in range(rng.randint(1, 3)):
        node = tree
        while rng.random() < 0.6 and any(isinstance(v, dict) for v in node.values()):
            node = rng.choice([v for v in node.values() if isinstance(v, dict)])
        key = rng.choice(list(node) + ["method", "dns", "addresses", "ssid", "mode", "handle"])
        if rng.random() < 0.2:
            node.pop(key, None)
        else:
            node[key] = json.loads(json.dumps(rng.choice(FUZZ_VALUES)))  # a copy of its own
    return json.dumps(tree).encode()


def test_random_and_mutated_requests_get_clear_answers(clean):
    """Mostly valid JSON with odd members that gets past the decoders, now and then noise; exit
    status 0 after SIGTERM (in a sanitizer build: no leak either)."""
    lk = start_lk()
    rng = random.Random(int(os.environ.get("LK_FUZZ_SEED", "6")))
    handles = []
    for _ in range(int(os.environ.get("LK_FUZZ_COUNT", "300"))):
        api_id, seed = rng.choice(FUZZ_SEEDS)
        text = (bytes(rng.randrange(256) for _ in range(rng.randint(0, 300)))
                if rng.random() < 0.2 else mutated(rng, json.loads(json.dumps(seed))))
        status, reply = lk.call(api_id, text)
        assert status in (0, ENOENT, EINVAL, ERANGE, EOPNOTSUPP), (api_id, text, status)
        assert reply == b"" or (api_id == WATCH and len(reply) == 4), (api_id, text, reply)
        handles += [int.from_bytes(reply, "little")] if reply else []
    assert lk.call(LIST)[0] == 0
    assert all(lk.call(WATCH, {"handle": h}) == (0, b"") for h in handles)
    assert lk.stop() == 0
