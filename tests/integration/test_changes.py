"""Changes that never lie and never cut a device off, against the real NetworkManager of
scripts/nm-sandbox.sh: what request 3 lets through to NetworkManager, one activation per
request, all or nothing under checkpoints (failures, SIGTERM, "rollback", "wait"). The daemons
here read veth1 as Wi-Fi (LK_VETH_AS_WIFI, tests/nm/veth_as_ethernet.c), so NetworkManager
validates and stores the Wi-Fi profiles request 3 builds; their activation then fails on a
veth, which request 3 must undo."""

import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import Linkkeeper, ifname, nmcli, wait_until
from test_nm import (ACTIVATED, DETAILS, DISCONNECTED, EINVAL, ENOENT, EVENT, RESET,
                     SET_CONNECTION, STATIC, add_profile, all_profiles, device_state, enable,
                     profiles_of, start_lk, sysfs, watch)
from test_nm import clean  # noqa: F401  (a fixture, used by name)

pytestmark = [pytest.mark.usefixtures("facts"), pytest.mark.skipif(
    os.environ.get("LK_NM_SANDBOX") != "1", reason="needs nm-sandbox.sh run")]

CONFIRM, ROLL_BACK, PENDING = 15, 16, 18
EBUSY, ETIMEDOUT, EIO, ENODEV, EHOSTUNREACH = 16, 110, 5, 19, 113
NM_LOG = Path("/run/lk-nm/NetworkManager.log")


def start():
    return Linkkeeper(os.environ["DBUS_SYSTEM_BUS_ADDRESS"], {
        "LD_PRELOAD": os.environ["LK_VETH_AS_ETHERNET"], "LK_VETH_AS_WIFI": "veth1"}).with_nm()


@pytest.fixture(scope="module")
def lk():
    daemon = start()
    yield daemon
    daemon.stop()


def nm_call(method, *args):
    """gdbus call of a method of NetworkManager's main object; its printed reply."""
    return subprocess.run(["gdbus", "call", "--system", "--dest", "org.freedesktop.NetworkManager",
                           "--object-path", "/org/freedesktop/NetworkManager", "--method", method,
                           *args], capture_output=True, text=True).stdout


@pytest.fixture(autouse=True)
def no_checkpoint_left(clean):
    """veth0 and veth1 without profiles, and no checkpoint or pending change left by a test that
    failed half-way for a rollback to strike during the next one."""
    yield
    nm_call("org.freedesktop.NetworkManager.CheckpointDestroy", "/")  # "/": all of them
    shutil.rmtree("/run/linkKeeper", ignore_errors=True)  # the sandbox's: no change pending


def wifi(security=None, ssid="SG9tZQ==", **extra):
    section = dict({"ssid": ssid}, **({"security": security} if security else {}), **extra)
    return {"interface": "veth1", "ip4": {"method": "auto"}, "wifi": section}


def key(psk, keymgt="wpa2"):
    return {"keymgt": keymgt, "psk": psk}


def on_veth0(address="192.0.2.2", **members):
    """veth0 with one static IPv4 address, and request members such as "wait"."""
    ip4 = {"method": "manual", "address": address, "prefix": members.pop("prefix", 28)}
    return dict({"interface": "veth0", "ip4": ip4}, **members)


def far_ping(address):
    return subprocess.run(["ip", "netns", "exec", os.environ["LK_FAR_NS"], "ping", "-c1", "-W1",
                           address], capture_output=True).returncode == 0


def settled(device, timeout=30, reachable=True):
    """(uuid, address) once the device has one profile, is activated on it, carries its address
    alone and (reachable) answers the far side there."""
    def probe():
        try:  # nmcli fails when a profile goes between listing and reading it
            profiles = list(profiles_of(device).values())
            address = len(profiles) == 1 and nmcli("-g", "ipv4.addresses", "connection", "show",
                                                   profiles[0]).strip()
        except AssertionError:
            return None
        if not address:
            return None
        active = nmcli("-g", "GENERAL.STATE,GENERAL.CON-UUID", "device", "show", device).split()
        link = subprocess.run(["ip", "-4", "-br", "addr", "show", device], capture_output=True,
                              text=True).stdout.split()[2:]
        fully = active == [str(ACTIVATED), "(connected)", profiles[0]] and link == [address]
        return fully and (not reachable or far_ping(address.split("/")[0])) and (
            profiles[0], address)
    return wait_until(probe, timeout, "%s settled on one profile" % device)


def stored_by_nm(uuid):
    """The settings NetworkManager logged (CORE at debug level) when it stored profile uuid."""
    blocks = NM_LOG.read_text(errors="replace").split("++ connection 'new connection'")
    block = next(b for b in blocks if "connection.uuid           = '%s'" % uuid in b)
    return dict(re.findall(r"\+\+ (\S+)\s+= (.*)", block))


@pytest.fixture
def nm_dumps():
    nmcli("general", "logging", "level", "INFO", "domains", "DEFAULT,CORE:DEBUG")
    yield
    nmcli("general", "logging", "level", "INFO", "domains", "DEFAULT")


SECURITY, HIDDEN = "802-11-wireless-security.key-mgmt", "802-11-wireless.hidden"
# Request 3 bodies NetworkManager validates and stores (the activation fails on a veth), with
# what it stored; None: refused before NetworkManager was asked.
CHANGES = {
    "8 printable characters": (SET_CONNECTION, wifi(key("pa ss:w~")), {SECURITY: "'wpa-psk'"}),
    "63 printable characters": (SET_CONNECTION, wifi(key("~" * 62 + " ")),
                                {SECURITY: "'wpa-psk'"}),
    "64 hex digits": (SET_CONNECTION, wifi(key("0123456789abcdeF" * 4)), {SECURITY: "'wpa-psk'"}),
    "hidden WPA3": (SET_CONNECTION, wifi(key("pa ss:w~", "sae"), hidden=True),
                    {SECURITY: "'sae'", HIDDEN: "TRUE"}),
    "open": (SET_CONNECTION, wifi({"keymgt": "open"}), {SECURITY: None}),
    "WPA2 keeping a key, none stored": (SET_CONNECTION, wifi(key(None)), {SECURITY: "'wpa-psk'"}),
    "7 characters": (SET_CONNECTION, wifi(key("pa ss:w")), None),
    "64 characters, not hex": (SET_CONNECTION, wifi(key("0123456789abcdeg" * 4)), None),
    "65 hex digits": (SET_CONNECTION, wifi(key("0123456789abcdef" * 4 + "0")), None),
    "a control character": (SET_CONNECTION, wifi(key("pass\tword")), None),
    "key management WPA2": (SET_CONNECTION, wifi(key("pa ss:w~", "WPA2")), None),
    "key management wap2": (SET_CONNECTION, wifi(key("pa ss:w~", "wap2")), None),
    **{"SSID " + ssid: (SET_CONNECTION, wifi(ssid=ssid), None) for ssid in (
        "SG9tZQ", "SG9t ZQ=", "SG9t-Q==", "SG9tZ===", "Home Wi-Fi!")},
    "IPv4 without prefix": (SET_CONNECTION, {"interface": "veth0", "ip4": {
        "method": "manual", "address": "192.0.2.2"}}, None),
    "IPv4 prefix 0": (SET_CONNECTION, on_veth0(prefix=0), None),
    "IPv4 prefix 2^32 + 28": (SET_CONNECTION, on_veth0(prefix=2 ** 32 + 28), None),
    "rollback 0": (SET_CONNECTION, on_veth0(rollback=0), None),
    "wait x": (SET_CONNECTION, on_veth0(wait="x"), None),
    "confirm an unknown checkpoint": (CONFIRM, {"checkpoint": 999}, ENOENT),
    "roll back an unknown checkpoint": (ROLL_BACK, {"checkpoint": 999}, ENOENT),
}


@pytest.mark.parametrize("api_id, body, stored", CHANGES.values(), ids=CHANGES.keys())
def test_what_reaches_networkmanager_and_what_stays(lk, nm_dumps, api_id, body, stored):
    add_profile("older0", "veth0")
    add_profile("older1", "veth1")
    before, mark = all_profiles(), NM_LOG.stat().st_size
    # Stored, but not available on the device (no Wi-Fi on a veth), or refused at once.
    status = stored if isinstance(stored, int) else ENODEV if stored else EINVAL
    assert lk.call(api_id, body) == (status, b"")
    assert all_profiles() == before, "every profile as it was, no new one left"
    # Request 3 takes a checkpoint before anything else; NetworkManager audits that and the add.
    audit = re.findall(r'audit: op="([\w-]+)" \w+="(\S+)".* result="(\w+)"',
                       NM_LOG.read_bytes()[mark:].decode(errors="replace"))
    if not isinstance(stored, dict):
        assert audit == [], "refused before NetworkManager was asked"
        return
    added = [uuid for op, uuid, result in audit if (op, result) == ("connection-add", "success")]
    assert len(added) == 1, audit
    settings = stored_by_nm(added[0])
    assert {k: settings.get(k) for k in stored} == stored


def test_failed_activation_puts_the_working_profile_back(lk):
    good = {"interface": "veth1", "ip4": {"method": "manual", "address": "192.0.2.18",
                                          "prefix": 28}}
    assert start_lk().call(SET_CONNECTION, good) == (0, b"")
    old = settled("veth1")
    assert lk.call(SET_CONNECTION, wifi(key("pa ss:w~"))) == (ENODEV, b"")
    assert settled("veth1") == old  # the device reactivates the old profile, pings within 30 s


def state_events(lk, until):
    states = []
    while until not in states:
        states.append(json.loads(lk.conn.wait_message(EVENT).payload[:-1])["nmdevicestate"])
    return states


def test_one_request_gives_one_activation_and_waits_for_it():
    lk = start()
    assert watch(lk, "veth0")[0] == 0
    assert lk.call(SET_CONNECTION, dict(STATIC, wait=10)) == (0, b"")
    assert device_state("veth0") == ACTIVATED, "the reply comes once activated"
    uuid = profiles_of("veth0")["veth0"]
    assert state_events(lk, ACTIVATED) == [40, 50, 70, 80, 90, ACTIVATED]
    assert enable(lk, "veth0", False) == (0, b"")  # its events end the activation's
    assert state_events(lk, DISCONNECTED) == [110, DISCONNECTED], "no second activation"
    starts = NM_LOG.read_text().count("Activation: starting connection 'veth0' (%s)" % uuid)
    assert starts == 1


@pytest.mark.parametrize("remove", [False, True], ids=["request 3", "remove"])
def test_profiles_bound_by_mac_go_and_profiles_bound_to_nothing_stay(remove):
    for name, binding in (("by-mac", ["ethernet.mac-address", sysfs("veth0", "address")]),
                          ("unbound", [])):
        nmcli("connection", "add", "type", "ethernet", "con-name", name,
              "connection.autoconnect", "no", *binding)
    lk = start()  # its cache holds both
    body = {"interface": "veth0", "remove": True} if remove else on_veth0()
    assert lk.call(SET_CONNECTION, body) == (0, b"")
    names = nmcli("-g", "NAME", "connection").split()
    assert "by-mac" not in names and "unbound" in names
    if not remove:  # enable picks the profile named after the interface beside "unbound"
        assert enable(lk, "veth0", False) == (0, b"")
        lk.wait_json(DETAILS, ifname("veth0"), lambda reply: not reply[1]["configured"])
        assert enable(lk, "veth0") == (0, b"")
        wait_until(lambda: nmcli("-g", "GENERAL.CONNECTION", "device", "show", "veth0").strip()
                   == "veth0", what="veth0 on its own profile")


def test_reset_deletes_unsaved_profiles_and_switches_the_radio_on(lk):
    nmcli("connection", "add", "type", "ethernet", "ifname", "veth1", "con-name", "unsaved",
          "save", "no", "connection.autoconnect", "no")
    nmcli("radio", "wifi", "off")
    assert lk.call(RESET) == (0, b"")
    assert "unsaved" not in nmcli("-g", "NAME", "connection").split()
    assert nmcli("radio", "wifi").strip() == "enabled"


@pytest.mark.parametrize("delay_ms", [0, 2, 5, 10, 20, 50, 100])
def test_stop_during_a_change_leaves_the_old_or_the_new_profile(delay_ms):
    lk = start()
    assert lk.call(SET_CONNECTION, on_veth0()) == (0, b"")
    old = settled("veth0")
    lk.conn.send_frame(SET_CONNECTION, json.dumps(on_veth0("192.0.2.3")).encode())
    time.sleep(delay_ms / 1000)  # the signal lands at another step of the request each round
    assert lk.daemon.stop() == 0
    now = settled("veth0")
    assert now == old or (now[0] != old[0] and now[1] == "192.0.2.3/28")


WRONG = on_veth0("198.51.100.5", prefix=24, rollback=5)  # the far side is lost on it


@pytest.mark.parametrize("end", ["time-out", "request 16", "confirmed"])
def test_rollback_unless_confirmed(end):
    lk = start()
    assert lk.call(SET_CONNECTION, on_veth0()) == (0, b"")
    old = settled("veth0")
    status, reply = lk.json(SET_CONNECTION, json.dumps(WRONG).encode())
    replied = time.monotonic()
    assert status == 0 and list(reply) == ["checkpoint"]
    if end == "request 16":
        assert lk.call(ROLL_BACK, reply) == (0, b"")
    elif end == "confirmed":
        assert lk.call(SET_CONNECTION, on_veth0("192.0.2.3", rollback=5)) == (EBUSY, b"")
        assert lk.call(CONFIRM, reply) == (0, b"")
        assert nm_call("org.freedesktop.DBus.Properties.Get", "org.freedesktop.NetworkManager",
                       "Checkpoints") == "(<@ao []>,)\n", "nothing left to roll back"
        assert settled("veth0", reachable=False)[1] == "198.51.100.5/24"
        assert lk.call(CONFIRM, reply) == (ENOENT, b"")
        return
    assert settled("veth0", timeout=replied + 7 - time.monotonic()) == old
    event = lk.conn.wait_message(EVENT).payload
    assert event == b'{"event":"rollback","checkpoint":%d,"interface":"veth0"}\0' % (
        reply["checkpoint"])


@pytest.mark.parametrize("rollback", [{}, {"rollback": 30}], ids=["alone", "with rollback"])
def test_wait_for_an_activation_that_cannot_come(rollback):
    lk = start()
    assert lk.call(SET_CONNECTION, on_veth0()) == (0, b"")
    old = settled("veth0")
    dhcp = dict({"interface": "veth0", "ip4": {"method": "auto"}, "wait": 3}, **rollback)
    assert lk.call(SET_CONNECTION, dhcp)[0] in (ETIMEDOUT, EIO)  # no DHCP server on the far side
    assert (profiles_of("veth0") == {"veth0": old[0]}) == bool(rollback), "restored at once"
    if rollback:
        assert b'"event":"rollback"' in lk.conn.wait_message(EVENT).payload
        assert settled("veth0") == old


def test_reads_and_other_interfaces_go_ahead_of_a_change_that_waits():
    lk = start_lk()  # veth1 as Ethernet
    veth1 = on_veth0(address="198.51.100.2", interface="veth1", prefix=24, wait=10)
    assert lk.call(SET_CONNECTION, veth1) == (0, b"")
    dhcp = {"interface": "veth0", "ip4": {"method": "auto"}, "wait": 20}  # no DHCP server there
    waiting = lk.conn.send_frame(SET_CONNECTION, json.dumps(dhcp).encode())
    others = [(1, b""), (2, ifname("veth1")), (4, ifname("veth1")), (7, b""),
              (SET_CONNECTION, json.dumps(on_veth0(address="198.51.100.3", interface="veth1",
                                                   prefix=24)).encode())]
    sent = {lk.conn.send_frame(api_id, payload): (api_id, time.monotonic())
            for api_id, payload in others}
    answered = {}  # sequence: (status, when)
    while waiting not in answered:
        frame = lk.conn.read_frame(40)
        assert frame is not None, "replies so far: %s" % answered
        if not frame.is_message:
            answered[frame.answered] = (frame.status, time.monotonic())
    for sequence, (api_id, at) in sent.items():
        assert sequence in answered, "request %d waited for the change of veth0" % api_id
        print("request %d answered after %.3f s" % (api_id, answered[sequence][1] - at))
        assert answered[sequence][0] == 0, api_id
    print("the waiting request 3 after %.3f s" % (answered[waiting][1] - sent[waiting + 1][1]))
    assert answered[waiting][0] == ETIMEDOUT


@pytest.mark.parametrize("address, rollback, status", [
    ("192.0.2.2", {}, 0), ("192.0.2.2", {"rollback": 30}, 0), ("198.51.100.2", {}, EHOSTUNREACH),
    ("198.51.100.2", {"rollback": 30}, EHOSTUNREACH)],
    ids=["answered", "answered, with rollback", "no route to the host", "no route, with rollback"])
def test_verify_keeps_what_reaches_the_host_and_undoes_what_does_not(address, rollback, status):
    lk = start()
    assert lk.call(SET_CONNECTION, on_veth0(address="192.0.2.3")) == (0, b"")
    old = settled("veth0")
    verify = {"host": "192.0.2.1", "seconds": 3}  # the far side of veth0
    body = json.dumps(on_veth0(address=address, verify=verify, **rollback)).encode()
    reply = lk.conn.request(SET_CONNECTION, body, timeout=3 + 5)  # the check and the activation
    assert reply.status == status
    pending = nm_call("org.freedesktop.DBus.Properties.Get", "org.freedesktop.NetworkManager",
                      "Checkpoints")
    if status == 0:  # a client's checkpoint stays for its confirm, a guard goes
        assert ("Checkpoint/" in pending) == bool(rollback) == (b"checkpoint" in reply.payload)
        # Pending, the old profile stays on disk beside the new one: confirmed, it goes.
        assert not rollback or lk.call(CONFIRM, reply.json()) == (0, b"")
        assert lk.json(PENDING) == (0, []), "nothing pending"
        uuid, current = settled("veth0")
        assert current == address + "/28"
        stored = dict(line.rsplit(":", 1) for line in
                      nmcli("-g", "UUID,FILENAME", "connection").split())
        assert old[0] not in stored and stored[uuid].startswith("/etc/"), "kept, on disk"
        return
    assert settled("veth0") == old and "Checkpoint/" not in pending
    if rollback:
        assert b'"event":"rollback"' in lk.conn.wait_message(EVENT).payload
    assert lk.json(PENDING) == (0, [])
