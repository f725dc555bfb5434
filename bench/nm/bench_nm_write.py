#!/usr/bin/python3
"""Figures for the requests that change NetworkManager's state; prints them, asserts nothing.

1. Request 3 (a manual IPv4 profile on veth0): time from sending the request to its reply, and
   to the event that reports the device activated, median of 20 runs; next to
   `nmcli connection add` plus `nmcli connection up` for the same profile, timed alike.
2. Events per second reaching the bus when the NetworkManager mock adds and then removes
   access points as fast as it can, checking that none is lost or reordered.

Usage (root):  bench/nm/bench_nm_write.py LINKKEEPER VETH_AS_ETHERNET_SO [ACCESS_POINTS]
It re-runs itself inside scripts/nm-sandbox.sh; nothing on this machine's network changes.
"""

import base64
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "integration"))

RUNS = 20
EVENT = 6


def in_sandbox():
    os.environ["LK_SANDBOX_FS"] = "1"
    from conftest import NodeFacts
    from nmmock import NmMock
    from test_nm_read import Linkkeeper, nmcli

    daemon_path, preload = sys.argv[1], sys.argv[2]
    access_points = int(sys.argv[3]) if len(sys.argv) > 3 else 500
    os.environ["LK_DAEMON"] = daemon_path
    NodeFacts()
    work = Path(os.environ.get("TMPDIR", "/tmp"))

    def drop_profiles():
        for uuid in nmcli("-g", "UUID,TYPE", "connection").splitlines():
            if not uuid.endswith(":loopback"):
                nmcli("connection", "delete", "uuid", uuid.split(":")[0], check=False)

    # --- 1. request 3 against nmcli ---
    drop_profiles()
    lk = Linkkeeper(work / "bench-write.log", os.environ["DBUS_SYSTEM_BUS_ADDRESS"],
                    env={"LD_PRELOAD": preload})
    status, handle = lk.call(5, b'{"interface":"veth0","property":"state-changed","handle":0}')
    assert status == 0, status
    to_reply, to_active = [], []
    for run in range(RUNS + 2):
        request = {"interface": "veth0", "ip4": {
            "method": "manual", "address": "192.0.2.%d" % (2 + run % 12), "prefix": 28,
            "gateway": "192.0.2.1", "dns": ["192.0.2.53", "203.0.113.53"]}}
        lk.conn.messages.clear()
        start = time.monotonic()
        status, _ = lk.call(3, json.dumps(request).encode())
        replied = time.monotonic()
        assert status == 0, status
        while True:
            frame = lk.conn.wait_message(EVENT, 30)
            assert frame is not None, "no activation event"
            if json.loads(frame.payload[:-1])["nmdevicestate"] == 100:
                break
        if run >= 2:
            to_reply.append(replied - start)
            to_active.append(time.monotonic() - start)
    lk.stop()
    drop_profiles()

    nmcli_times, nmcli_nowait = [], []
    for run in range(RUNS + 2):
        for wait, times in ((True, nmcli_times), (False, nmcli_nowait)):
            drop_profiles()
            start = time.monotonic()
            nmcli("connection", "add", "type", "ethernet", "ifname", "veth0", "con-name",
                  "veth0", "ipv4.method", "manual", "ipv4.addresses", "192.0.2.2/28",
                  "ipv4.gateway", "192.0.2.1", "ipv4.dns", "192.0.2.53,203.0.113.53",
                  "ipv6.method", "disabled")
            nmcli(*([] if wait else ["--wait", "0"]), "connection", "up", "veth0")
            if run >= 2:
                times.append(time.monotonic() - start)
    drop_profiles()

    ms = lambda values: "%.1f ms" % (1000 * statistics.median(values))
    print("request 3, manual IPv4 on veth0, median of %d:" % RUNS)
    print("  linkKeeper, request to reply:                  %s" % ms(to_reply))
    print("  linkKeeper, request to the 'activated' event:  %s" % ms(to_active))
    print("  nmcli connection add + up (waits for activated): %s" % ms(nmcli_times))
    print("  nmcli connection add + up --wait 0:            %s" % ms(nmcli_nowait))

    # --- 2. access-point events from the mock ---
    with NmMock() as mock:
        wlan = mock.add_wifi_device("wlan0")
        lk = Linkkeeper(work / "bench-events.log", mock.address)
        for prop in ("access-point-added", "access-point-removed"):
            while lk.call(5, json.dumps({"interface": "wlan0", "property": prop,
                                         "handle": 0}).encode())[0] != 0:
                time.sleep(0.05)  # the daemon's libnm cache has not seen wlan0 yet
        received, stamps = [], []
        total = 2 * access_points

        def reader():
            while len(received) < total:
                frame = lk.conn.wait_message(EVENT, 60)
                if frame is None:
                    return
                received.append(json.loads(frame.payload[:-1]))
                stamps.append(time.monotonic())

        thread = threading.Thread(target=reader)
        thread.start()
        names = ["bench-%04d" % i for i in range(access_points)]
        start = time.monotonic()
        paths = [mock.add_access_point(wlan, name) for name in names]
        for path in paths:
            mock.remove_access_point(wlan, path)
        driven = time.monotonic() - start
        thread.join()
        lk.stop()
    expected = [("access-point-added", n) for n in names] + \
               [("access-point-removed", n) for n in names]
    got = [(e["event"], base64.b64decode(e["ssid"]).decode()) for e in received]
    print("access-point events, %d added then removed by the mock:" % access_points)
    print("  mock driven in %.2f s (%.0f changes/s)" % (driven, total / driven))
    print("  events received: %d of %d, in order: %s" % (len(got), total, got == expected))
    if len(stamps) > 1:
        print("  events per second at the bus: %.0f (the mock is the limit)"
              % (len(stamps) / (stamps[-1] - start)))
        print("  last event %.1f ms after the mock's last change returned"
              % (1000 * (stamps[-1] - start - driven)))


if __name__ == "__main__":
    if os.environ.get("LK_NM_SANDBOX") == "1":
        in_sandbox()
    else:
        if len(sys.argv) < 3:
            sys.exit(__doc__)
        os.execv(str(REPO / "scripts" / "nm-sandbox.sh"),
                 ["nm-sandbox.sh", "run", "/usr/bin/python3", "-B"] + sys.argv)
