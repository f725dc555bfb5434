#!/usr/bin/python3
"""Request 3 with "rollback" or "verify" next to plain request 3, and nmcli doing the same;
prints figures, asserts nothing about time.

In one run, alternating, RUNS times each (after one warm-up round), good static IPv4 profiles
on veth0 (192.0.2.2/28 and 192.0.2.3/28 in turn):
  plain     request 3; time to its reply and to the state-100 event;
  rollback  request 3 with "rollback": 300, then request 15 {"checkpoint": N} once the device
            is activated; the confirm's round trip is reported apart;
  wait      request 3 with "wait": 10; the reply should follow the state-100 event at once,
            so the gap between their arrivals at the bus server is reported.
  verify    request 3 with "verify": {"host": "192.0.2.1", "seconds": 10} (the far side of
            veth0): the reply comes once the device is activated and the host answered an echo
            request sent out of veth0.
Then request 1's round trip, 200 times quiet and 200 times while a request 3 on veth1 waits 20 s
for a DHCP server that is not there (reads never wait behind changes): p50 and p99 of each.
Then nmcli: `connection add` + `connection up` (which waits for activation) + `connection
delete` of the previous profile, plain and inside `nmcli device checkpoint --timeout 300 veth0
-- ...` answered "Yes" (nmcli 1.42 has that command; it confirms when the command ends).

Usage (root):  bench/nm/bench_nm_write.py LINKKEEPER VETH_AS_ETHERNET_SO [RUNS]
It re-runs itself inside scripts/nm-sandbox.sh; nothing on this machine's network changes.
"""

import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))
from bench_daemon import in_nm_sandbox, start_daemon, stop  # noqa: E402

SET_CONNECTION, WATCH, EVENT, CONFIRM = 3, 5, 6, 15
ACTIVATED = 100
ADDRESSES = ("192.0.2.2", "192.0.2.3")


def profile(n, **extra):
    return dict(interface="veth0", ip4={"method": "manual", "address": ADDRESSES[n % 2],
                                        "prefix": 28, "gateway": "192.0.2.1"},
                ip6={"method": "disabled"}, **extra)


def exchange(conn, api_id, payload, state=None):
    """Sends one request and reads until its reply (and, when state is given, the first event
    reporting that state) arrived. Returns (status, reply payload, times), times on the
    monotonic clock: "sent", "reply" and "state" (arrival of that event)."""
    times = {"sent": time.monotonic()}
    sequence = conn.send_frame(api_id, payload)
    reply = None
    while reply is None or (state is not None and "state" not in times):
        frame = conn.read_frame(60)
        assert frame is not None, "nothing from the daemon within 60 s"
        now = time.monotonic()
        if not frame.is_message:
            assert frame.answered == sequence, (frame.answered, sequence)
            reply, times["reply"] = frame, now
        elif (frame.api_id == EVENT and state is not None and "state" not in times
              and frame.json().get("nmdevicestate") == state):
            times["state"] = now
    return reply.status, reply.payload, times


def nmcli(*args):
    subprocess.run(["nmcli", *args], check=True, capture_output=True, text=True, timeout=60)


def drop_profiles():
    out = subprocess.run(["nmcli", "-g", "UUID,TYPE", "connection"], check=True, text=True,
                         capture_output=True).stdout
    for line in out.splitlines():
        uuid, kind = line.split(":", 1)
        if kind != "loopback":
            nmcli("connection", "delete", "uuid", uuid)


def linkkeeper_runs(conn, runs):
    """Samples (seconds) of each figure, by name."""
    status, _, _ = exchange(conn, WATCH, b'{"interface":"veth0","property":"state-changed",'
                                         b'"handle":0}')
    assert status == 0, "watch refused: %d" % status
    figures, n = {}, 0
    for run in range(runs + 1):  # run 0 warms up
        def keep(name, value):
            if run:
                figures.setdefault(name, []).append(value)

        for kind, extra in (("plain", {}), ("rollback", {"rollback": 300}), ("wait", {"wait": 10}),
                            ("verify", {"verify": {"host": "192.0.2.1", "seconds": 10}})):
            status, payload, t = exchange(conn, SET_CONNECTION,
                                          json.dumps(profile(n, **extra)).encode(), ACTIVATED)
            n += 1
            assert status == 0, "request 3 (%s) answered %d" % (kind, status)
            keep(kind + ": request to reply", t["reply"] - t["sent"])
            keep(kind + ": request to state-100 event", t["state"] - t["sent"])
            if kind == "rollback":
                number = json.loads(payload[:-1])["checkpoint"]
                status, _, c = exchange(conn, CONFIRM, b'{"checkpoint":%d}' % number)
                assert status == 0, "request 15 answered %d" % status
                keep("rollback: confirm (request 15) round trip", c["reply"] - c["sent"])
            if kind == "wait":
                keep("wait: state-100 event to reply, at the bus server", t["reply"] - t["state"])
    return figures


def reads_while_a_change_waits(conn, count=200):
    """Request 1 round trips (seconds): quiet, and while a request 3 on veth1 waits."""
    def round_trips():
        samples = []
        for _ in range(count):
            start, sequence = time.monotonic(), conn.send_frame(1)
            while (frame := conn.read_frame(60)).is_message or frame.answered != sequence:
                assert frame.answered != waiting, "the change ended before the reads did"
            samples.append(time.monotonic() - start)
        return samples

    waiting = None
    quiet = round_trips()
    dhcp = {"interface": "veth1", "ip4": {"method": "auto"}, "wait": 20}  # no DHCP server there
    waiting = conn.send_frame(SET_CONNECTION, json.dumps(dhcp).encode())
    busy = round_trips()
    while (frame := conn.read_frame(60)).is_message or frame.answered != waiting:
        pass
    return {"quiet": quiet, "while a request 3 waits": busy}


def nmcli_runs(runs):
    """Samples (seconds) of add + up + delete, plain and under nmcli's checkpoint."""
    figures, previous, n = {}, None, 0
    for run in range(runs + 1):  # run 0 warms up
        for kind in ("plain", "checkpoint"):
            name = "lkb-%d" % n
            script = ("nmcli connection add type ethernet ifname veth0 con-name %s "
                      "ipv4.method manual ipv4.addresses %s/28 ipv4.gateway 192.0.2.1 "
                      "ipv6.method disabled && nmcli connection up %s"
                      % (name, ADDRESSES[n % 2], name))
            if previous:
                script += " && nmcli connection delete " + previous
            command = ["sh", "-c", script]
            if kind == "checkpoint":
                command = ["nmcli", "device", "checkpoint", "--timeout", "300", "veth0", "--"] \
                    + command
            start = time.monotonic()
            subprocess.run(command, check=True, capture_output=True, text=True, input="Yes\n",
                           timeout=60)
            if run:
                figures.setdefault(kind, []).append(time.monotonic() - start)
            previous, n = name, n + 1
    return figures


def in_sandbox():
    daemon, preload = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    log = Path(tempfile.gettempdir(), "bench_nm_write-linkKeeper.log")
    drop_profiles()
    proc, server, conn = start_daemon(daemon, log, {"LD_PRELOAD": preload})
    try:
        lk = linkkeeper_runs(conn, runs)
        reads = reads_while_a_change_waits(conn)
    finally:
        stop(proc)
        server.close()
    drop_profiles()
    cli = nmcli_runs(runs)
    drop_profiles()

    ms = lambda values: "%8.1f ms" % (1000 * statistics.median(values))
    print("request 3, static IPv4 on veth0 (192.0.2.2/28 and .3/28 in turn), median of %d each"
          % runs)
    for name, values in lk.items():
        print("  %-52s %s" % (name, ms(values)))
    gaps = lk["wait: state-100 event to reply, at the bus server"]
    print("  %-52s %8.3f .. %.3f ms" % ("wait: that gap, least .. most", 1000 * min(gaps),
                                         1000 * max(gaps)))
    print("request 1 round trip, %d each: p50, p99" % len(reads["quiet"]))
    for name, values in reads.items():
        ordered = sorted(values)
        print("  %-52s %8.2f ms %8.2f ms" % (name, 1000 * statistics.median(values),
                                             1000 * ordered[int(0.99 * len(ordered)) - 1]))
    print("nmcli: connection add + up (waits for activation) + delete previous, median of %d"
          % runs)
    print("  %-52s %s" % ("plain", ms(cli["plain"])))
    print("  %-52s %s" % ("inside nmcli device checkpoint, confirmed at the end",
                          ms(cli["checkpoint"])))


if __name__ == "__main__":
    in_nm_sandbox(in_sandbox, __doc__, 3)
