"""Pending changes (request 3 with "rollback") against the real NetworkManager of
scripts/nm-sandbox.sh, with pings from the far-side host: a rollback touches only its own
interface, one change per interface is pending at a time, and an unconfirmed change never
outlives its window, whatever restarts meanwhile (NetworkManager, linkKeeper, the device)."""

import json
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import Linkkeeper, nmcli, wait_until
from test_changes import (CONFIRM, EBUSY, ETIMEDOUT, PENDING, ROLL_BACK, far_ping, on_veth0,
                          settled)
from test_changes import clean, no_checkpoint_left  # noqa: F401  (fixtures, used by name)
from test_nm import EVENT, RESET, SET_CONNECTION, all_profiles, enable

pytestmark = [pytest.mark.usefixtures("facts"), pytest.mark.skipif(
    os.environ.get("LK_NM_SANDBOX") != "1", reason="needs nm-sandbox.sh run")]

SANDBOX = str(Path(__file__).resolve().parents[2] / "scripts" / "nm-sandbox.sh")
WRONG = on_veth0("198.51.100.5", prefix=24)  # the far side is lost on it
VETH1 = {"interface": "veth1", "ip4": {"method": "manual", "address": "192.0.2.18", "prefix": 28}}


def start(runtime):
    return Linkkeeper(os.environ["DBUS_SYSTEM_BUS_ADDRESS"], {
        "LD_PRELOAD": os.environ["LK_VETH_AS_ETHERNET"]}, ["-r", str(runtime)]).with_nm()


def begin(lk, seconds, body=WRONG):
    """A change of veth0 with a checkpoint of seconds over a settled old one: (old, number,
    the time of the reply)."""
    assert lk.call(SET_CONNECTION, on_veth0()) == (0, b"")
    old = settled("veth0")
    status, reply = lk.json(SET_CONNECTION, json.dumps(dict(body, rollback=seconds)).encode())
    assert status == 0, lk.daemon.log()
    return old, reply["checkpoint"], time.monotonic()


def files(device):
    """{uuid: file} of the profiles bound to the device, in memory (/run) or on disk (/etc)."""
    rows = (line.rsplit(":", 1) for line in nmcli("-g", "UUID,FILENAME", "connection").split())
    return {uuid: path for uuid, path in rows if nmcli(
        "-g", "connection.interface-name", "connection", "show", uuid).strip() == device}


def addresses(device):
    return subprocess.run(["ip", "-4", "-br", "addr", "show", device], capture_output=True,
                          text=True).stdout.split()[2:]


def rolled_back(lk, number, old, device="veth0"):
    """The rollback event came with the old configuration up: address, profile, pings."""
    frame = lk.conn.wait_message(EVENT, timeout=60)
    assert frame is not None and json.loads(frame.payload[:-1]) == {
        "event": "rollback", "checkpoint": number, "interface": device}
    assert addresses(device) == [old[1]], "no event while the wrong address is up"
    assert settled(device) == old and list(files(device)) == [old[0]]


@pytest.mark.parametrize("end", ["request 16", "time-out"])
def test_a_rollback_touches_only_its_own_interface(tmp_path, end):
    lk = start(tmp_path)
    old, number, _ = begin(lk, 60 if end == "request 16" else 5)
    assert lk.call(SET_CONNECTION, VETH1) == (0, b"")
    veth1 = settled("veth1")
    if end == "request 16":
        assert lk.call(ROLL_BACK, {"checkpoint": number}) == (0, b"")
    rolled_back(lk, number, old)
    assert settled("veth1") == veth1 and list(files("veth1")) == [veth1[0]]


def test_a_networkmanager_restart_does_not_end_the_window(tmp_path):
    lk = start(tmp_path)
    old, number, replied = begin(lk, 20)
    for action in ("stop", "start"):  # it forgets its checkpoints and rolls nothing back
        subprocess.run([SANDBOX, "nm", action], check=True)
    rolled_back(lk, number, old)
    assert time.monotonic() > replied + 19, "the client could still have confirmed"


@pytest.mark.parametrize("rollback", [{}, {"rollback": 60}, {"verify": {"host": "192.0.2.1"}}],
                         ids=["wait", "wait, rollback", "wait, verify"])
def test_a_networkmanager_restart_during_a_wait_answers_its_end(tmp_path, rollback):
    lk = start(tmp_path)
    assert lk.call(SET_CONNECTION, on_veth0()) == (0, b"")
    old = settled("veth0")
    dhcp = dict({"interface": "veth0", "ip4": {"method": "auto"}, "wait": 15}, **rollback)
    waiting = lk.conn.send_frame(SET_CONNECTION, json.dumps(dhcp).encode())  # no DHCP server
    wait_until(lambda: old[0] not in nmcli("-g", "GENERAL.CON-UUID", "device", "show", "veth0"),
               what="the activation under way")
    for action in ("stop", "start"):
        subprocess.run([SANDBOX, "nm", action], check=True)
    assert lk.conn.wait_reply(waiting, timeout=40).status == ETIMEDOUT, "not 2, not 6"
    events = [json.loads(m.payload[:-1]) for m in lk.conn.messages if m.api_id == EVENT]
    assert events == ([{"event": "rollback", "checkpoint": 1, "interface": "veth0"}]
                      if "rollback" in rollback else []), "one event, with the old configuration back"
    # Under a rollback or a check, the old profile is back: the only one bound to the link.
    assert (addresses("veth0") == [old[1]]) == bool(rollback)
    assert (list(files("veth0")) == [old[0]]) == bool(rollback)
    assert lk.json(PENDING) == (0, []), "nothing left that could send another"


@pytest.mark.parametrize("confirm", [True, False], ids=["confirmed", "not confirmed"])
def test_a_restarted_daemon_keeps_the_pending_changes(tmp_path, confirm):
    lk = start(tmp_path)
    old, number, replied = begin(lk, 8, on_veth0("192.0.2.3"))
    lk.daemon.stop(signal.SIGKILL)
    lk = start(tmp_path)
    status, listed = lk.json(PENDING)
    assert [(c["checkpoint"], c["interface"]) for c in listed] == [(number, "veth0")]
    if not confirm:
        rolled_back(lk, number, old)
    else:
        assert lk.call(CONFIRM, {"checkpoint": number}) == (0, b"")
        new = [uuid for uuid in files("veth0") if uuid != old[0]]
        while time.monotonic() < replied + 10:  # the change stays past its window
            assert addresses("veth0") == ["192.0.2.3/28"] and list(files("veth0")) == new
        assert far_ping("192.0.2.3") and lk.json(PENDING) == (0, [])
    status, reply = lk.json(SET_CONNECTION, json.dumps(dict(VETH1, rollback=60)).encode())
    assert reply == {"checkpoint": number + 1}, "numbers are never handed out twice"
    assert lk.call(ROLL_BACK, reply) == (0, b"")


def test_a_reboot_inside_the_window_brings_the_old_configuration_back(tmp_path):
    assert Path("/run/lk-nm").is_dir(), "the sandbox's own /run"
    lk = start(tmp_path)
    old, number, _ = begin(lk, 120)
    assert sorted(path.split("/")[1] for path in files("veth0").values()) == ["etc", "run"]
    lk.daemon.stop(signal.SIGKILL)
    subprocess.run([SANDBOX, "nm", "stop"], check=True)
    for scratch in ("/run/NetworkManager", tmp_path):  # a reboot clears /run
        shutil.rmtree(scratch)
    subprocess.run(["ip", "addr", "flush", "dev", "veth0"], check=True)
    subprocess.run([SANDBOX, "nm", "start"], check=True)
    lk = start(tmp_path)
    assert settled("veth0") == old and list(files("veth0")) == [old[0]]
    assert lk.json(PENDING) == (0, [])


def test_one_pending_change_per_interface_until_it_is_confirmed(tmp_path):
    lk = start(tmp_path)
    old, number, _ = begin(lk, 60, on_veth0("192.0.2.3"))
    before = all_profiles()
    for api_id, body in ((SET_CONNECTION, on_veth0("192.0.2.4")),
                         (SET_CONNECTION, {"interface": "veth0", "remove": True}), (RESET, b"")):
        assert lk.call(api_id, body) == (EBUSY, b""), api_id
    assert enable(lk, "veth0", False) == (EBUSY, b"")
    assert all_profiles() == before
    assert "checkpoint %d of veth0 is pending" % number in lk.daemon.log()
    assert lk.call(SET_CONNECTION, VETH1) == (0, b""), "other interfaces stay free"
    status, [listed] = lk.json(PENDING)
    assert listed.pop("seconds") in range(50, 60) and listed == {
        "checkpoint": number, "interface": "veth0"}
    assert lk.call(CONFIRM, {"checkpoint": number}) == (0, b"")
    assert lk.json(PENDING) == (0, [])
    [(uuid, path)] = files("veth0").items()
    assert uuid != old[0] and path.startswith("/etc/"), "saved to disk, the old one deleted"
    assert far_ping("192.0.2.3") and enable(lk, "veth0", False) == (0, b"")


def test_a_confirm_that_times_out_keeps_the_number(tmp_path):
    lk = start(tmp_path)
    old, number, _ = begin(lk, 120, on_veth0("192.0.2.3"))
    nm = int(Path("/run/lk-nm/NetworkManager.pid").read_text())
    os.kill(nm, signal.SIGSTOP)  # frozen: the confirm gets no answer
    try:
        frame = lk.conn.request(CONFIRM, json.dumps({"checkpoint": number}).encode(), timeout=40)
    finally:
        os.kill(nm, signal.SIGCONT)
    assert frame.status == ETIMEDOUT
    assert [c["checkpoint"] for c in lk.json(PENDING)[1]] == [number]
    assert lk.call(CONFIRM, {"checkpoint": number}) == (0, b"")
    assert len(files("veth0")) == 1 and old[0] not in files("veth0")
