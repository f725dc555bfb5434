"""NetworkManager and its devices coming and going under the real linkKeeper, in
scripts/nm-sandbox.sh: links deleted and made again, NetworkManager and the system bus stopped,
started late or frozen. Each case ends with the daemon's orderly stop, exit status 0, which a
sanitizer build turns into another status on a leak or a bad access."""

import json
import os
import signal
import socket
import struct
import subprocess
import time
from pathlib import Path

import pytest

from conftest import ifname, nmcli, wait_until
from test_nm import (DETAILS, ENABLE, ENOENT, EVENT, GET_CONNECTION, LIST, RESET, SET_CONNECTION,
                     WATCH, start_lk, watch)
from test_nm import clean  # noqa: F401  (a fixture, used by name)
from trelbus import Connection

pytestmark = [pytest.mark.usefixtures("facts", "clean"), pytest.mark.skipif(
    os.environ.get("LK_NM_SANDBOX") != "1", reason="needs nm-sandbox.sh run")]

CLASSES, PING, RADIO, ACCESS_POINTS, SCAN = 7, 12, 9, 10, 11
NM_AWAY, TIMED_OUT = 6, 110
SANDBOX = str(Path(__file__).resolve().parents[2] / "scripts" / "nm-sandbox.sh")
NM_PID = Path("/run/lk-nm/NetworkManager.pid")
VETH1 = {"interface": "veth1", "ip4": {"method": "manual", "address": "192.0.2.18", "prefix": 28}}
PROBE = {"hostname": "127.0.0.1", "pingCount": 1, "pingInterval": 10, "pingTimeout": 1000,
         "totalTimeout": 0}


def succeeds(*command):
    return subprocess.run(command, capture_output=True, timeout=60).returncode == 0


def state_of(device):
    """NetworkManager's state number of the device, or None when it knows none."""
    shown = nmcli("-g", "GENERAL.STATE", "device", "show", device, check=False).split()
    return int(shown[0]) if shown else None


def plug(wait=True):
    """veth1 made again, its peer in this namespace, with carrier; NetworkManager takes it."""
    for args in ("add veth1 type veth peer name farx", "set farx up", "set veth1 up"):
        subprocess.run(["ip", "link", *args.split()], check=True)
    if wait:
        wait_until(lambda: state_of("veth1") in (30, 100), what="veth1 managed")


def unplug(name):
    """Deletes the link at once (RTM_DELLINK over rtnetlink), without ip(8)'s start-up time."""
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE) as rtnl:
        rtnl.send(struct.pack("=IHHIIBxHiII", 32, 17, 5, 1, 0, 0, 0, socket.if_nametoindex(name),
                              0, 0))
        assert struct.unpack_from("=i", rtnl.recv(4096), 16)[0] == 0  # the acknowledgement


@pytest.fixture(autouse=True)
def sandbox_restored():
    """What a test froze, stopped or unplugged is back afterwards, also when it failed."""
    yield
    subprocess.run(["kill", "-CONT", NM_PID.read_text().strip()], capture_output=True)
    if not os.path.exists("/sys/class/net/veth1"):
        plug(wait=False)
    if not succeeds("busctl", "--system", "list"):
        subprocess.run([SANDBOX, "bus", "start"], check=True)
    if not succeeds("nmcli", "general"):
        subprocess.run([SANDBOX, "nm", "start"], check=True)
    nmcli("device", "set", "veth1", "managed", "yes")
    wait_until(lambda: state_of("veth1") in (30, 100), what="veth1 managed")


def next_state(lk):
    """(interface, state, reason) of the next state event."""
    frame = lk.conn.wait_message(EVENT)
    assert frame is not None, "no state event"
    event = frame.json()
    return event["interface"], event["nmdevicestate"], event["reason"]


def states_until(lk, device, state):
    """The state events up to the first that puts device in state."""
    seen = [next_state(lk)]
    while seen[-1][:2] != (device, state):
        seen.append(next_state(lk))
    return seen


def test_a_watch_hears_its_device_go_and_follows_the_name_to_the_next_one():
    lk = start_lk()
    handle = watch(lk, "veth1")[1]
    assert watch(lk, "veth0")[0] == 0
    unplug("veth1")
    plug()
    seen = states_until(lk, "veth1", 30)
    # The old device may lose its carrier first; it ends with one "unmanaged, removed".
    assert [event for event in seen if event[1] == 10] == [("veth1", 10, 36)], seen
    # Still the same watch: removed by its handle, it reports veth1 no more; veth0's still does.
    assert lk.call(WATCH, {"handle": handle}) == (0, b"")
    far0 = ["ip", "-n", os.environ["LK_FAR_NS"], "link", "set", "far0"]
    try:
        subprocess.run(["ip", "link", "set", "farx", "down"], check=True)
        wait_until(lambda: state_of("veth1") == 20, what="veth1 without carrier")
        subprocess.run(far0 + ["down"], check=True)
        assert next_state(lk)[0] == "veth0"
    finally:
        subprocess.run(far0 + ["up"], check=True)
        subprocess.run(["ip", "link", "set", "farx", "up"], check=True)
    assert lk.stop() == 0


@pytest.mark.parametrize("delay_ms", [0, 1, 2, 3, 4, 6, 8, 12, 20, 50])
def test_a_device_unplugged_under_waiting_requests_is_no_such_device(delay_ms):
    lk = start_lk()
    waiting = [lk.conn.send_frame(SET_CONNECTION, json.dumps(dict(VETH1, wait=5)).encode()),
               lk.conn.send_frame(ENABLE, b"\0" + ifname("veth1"))]
    time.sleep(delay_ms / 1000)  # not a wait: the moment of the unplug is what the rows vary
    unplug("veth1")
    statuses = [lk.conn.wait_reply(sequence, timeout=40).status for sequence in waiting]
    log = lk.daemon.log()
    assert "CRITICAL" not in log and lk.call(CLASSES)[0] == 0
    assert lk.stop() == 0
    assert set(statuses) <= {0, ENOENT}, (
        "requests 3 and 8 answered %s: a device unplugged during a request must give 2 (no "
        "such device), not NetworkManager's failure over the vanished device\n%s" % (statuses, log))


NM_REQUESTS = [LIST, DETAILS, SET_CONNECTION, GET_CONNECTION, WATCH, ENABLE, RADIO, ACCESS_POINTS,
               SCAN, RESET]
OUTAGES = {  # what stops (in this order, then starts in the reverse), the daemon there before
    "NetworkManager restarted": (["nm"], True),
    "system bus restarted": (["nm", "bus"], True),
    "NetworkManager starts after the daemon": (["nm"], False),
    "system bus starts after the daemon": (["nm", "bus"], False),
}


@pytest.mark.parametrize("stopped, daemon_first", OUTAGES.values(), ids=OUTAGES.keys())
def test_networkmanager_away_is_status_6_until_it_is_back(stopped, daemon_first):
    lk = start_lk() if daemon_first else None
    handle = lk and watch(lk, "veth1")[1]
    for name in stopped:
        subprocess.run([SANDBOX, name, "stop"], check=True)
    lk = lk or start_lk(nm_running=False)
    if handle:
        assert next_state(lk) == ("veth1", 10, 36)
    wait_until(lambda: lk.call(LIST)[0] == NM_AWAY, what="NetworkManager seen gone")
    for api_id in NM_REQUESTS:  # at once, whatever the payload: nothing waits for NetworkManager
        assert lk.conn.request(api_id, ifname("veth1"), timeout=5).status == NM_AWAY, api_id
    for name in reversed(stopped):
        subprocess.run([SANDBOX, name, "start"], check=True)
    assert {"veth0", "veth1"} <= {d["name"] for d in lk.wait_json(LIST)[1]}
    if handle:  # the watch re-attached by itself: it reports the new NetworkManager's veth1
        nmcli("device", "set", "veth1", "managed", "no")
        assert states_until(lk, "veth1", 10)[-1] == ("veth1", 10, 36)  # NetworkManager's reason
        nmcli("device", "set", "veth1", "managed", "yes")
    assert lk.stop() == 0


def checkpoints():
    return subprocess.run(["busctl", "--system", "get-property", "org.freedesktop.NetworkManager",
                           "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
                           "Checkpoints"], capture_output=True, text=True).stdout.strip()


@pytest.mark.parametrize("api_id, payload", [
    (RESET, b""), (SET_CONNECTION, json.dumps(VETH1).encode())], ids=["request 14", "request 3"])
def test_a_frozen_networkmanager_holds_up_none_but_its_own_requests(api_id, payload):
    lk = start_lk()
    nm = int(NM_PID.read_text())
    os.kill(nm, signal.SIGSTOP)
    try:
        waiting = lk.conn.send_frame(api_id, payload)
        # Answered before the frozen request times out: wait_reply takes no other reply first.
        for other, body in ((CLASSES, b""), (PING, json.dumps(PROBE).encode())):
            assert lk.conn.request(other, body).status == 0
        reply = lk.conn.wait_reply(waiting, timeout=35)  # libnm gives up after 25 s, we after 30
        assert reply is not None and reply.status == TIMED_OUT
    finally:
        os.kill(nm, signal.SIGCONT)
    assert lk.call(SET_CONNECTION, VETH1) == (0, b"")
    # However loaded the machine: one made late for the abandoned request would roll back, once
    # its 60 s are up, what veth1 was given since.
    assert checkpoints() == "ao 0", "a checkpoint left when the next request was answered"
    assert lk.stop() == 0


QUEUE_SHARE, EAGAIN = 16, 11  # of the 32 NetworkManager requests under way, one peer's share


def test_a_bus_peer_that_fills_its_share_and_drops_leaves_nothing_behind(tmp_path):
    path = str(tmp_path / "lk" / "control")
    (tmp_path / "props").write_text("linkKeeper.controlIdleSeconds=1\n")
    lk = start_lk(args=("-C", path, "-p", str(tmp_path / "props")))
    mine, idle = (Connection(socket.socket(socket.AF_UNIX)) for _ in range(2))
    mine.sock.connect(path)
    os.kill(nm := int(NM_PID.read_text()), signal.SIGSTOP)
    try:  # a reset parked on the frozen NetworkManager, the rest of the share behind its turn
        lk.conn.send_frame(RESET)
        assert watch(lk, "veth1")[0] == 0
        for _ in range(QUEUE_SHARE):
            lk.conn.send_frame(ENABLE, b"\1" + ifname("nosuch0"))
        assert lk.conn.wait_reply(lk.conn.next_sequence - 1).status == EAGAIN
        for api_id, body in ((LIST, b""), (PING, json.dumps(PROBE).encode()), (
                WATCH, b'{"interface":"veth1","property":"state-changed","handle":0}')):
            assert mine.request(api_id, body).status == 0, api_id  # the other peers' share
        idle.sock.connect(path)
        with pytest.raises(EOFError):  # closed after a second; mine, as silent, holds a watch
            idle.read_frame(timeout=30)
        lk.conn.close()  # by the server, with the requests above under way
        lk.conn = lk.server.accept()
        lk.conn.read_identity()
        lk.conn.next_sequence = 1000  # a reply to the old connection's requests cannot pass
    finally:
        os.kill(nm, signal.SIGCONT)
    for api_id, body in ((SET_CONNECTION, json.dumps(VETH1).encode()),
                         (ENABLE, b"\0" + ifname("veth1")), (ENABLE, b"\1" + ifname("veth1"))):
        # The old connection's requests hold the bus's share until they end.
        assert wait_until(lambda: (r := lk.call(api_id, body))[0] != EAGAIN and r) == (0, b"")
    for state in (30, 100):  # disabled, then enabled again: mine, still there, hears both
        while mine.wait_message(EVENT).json()["nmdevicestate"] != state:
            pass
    assert lk.call(CLASSES)[0] == 0 and lk.conn.messages == []  # the old watch sent nothing
    assert lk.stop() == 0
