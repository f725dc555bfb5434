#!/usr/bin/python3
"""Round trips of the requests the bus thread answers itself (7, and 12 with one echo to
127.0.0.1) through the real linkKeeper, first with NetworkManager answering, then with
NetworkManager frozen (SIGSTOP) while a request 14 waits on it; prints the least, median and
most of each. The bus thread never waits on NetworkManager: the two should read alike.

Usage (root):  bench/nm/bench_frozen_nm.py LINKKEEPER [ROUNDS]
It re-runs itself inside scripts/nm-sandbox.sh; nothing on this machine's network changes.
"""

import json
import os
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))
from bench_daemon import in_nm_sandbox, start_daemon, stop  # noqa: E402

CLASSES, PING, RESET = 7, 12, 14
PROBE = json.dumps({"hostname": "127.0.0.1", "pingCount": 1, "pingInterval": 10,
                    "pingTimeout": 1000, "totalTimeout": 0}).encode()
NM_PID = Path("/run/lk-nm/NetworkManager.pid")
# The frozen request is answered -ETIMEDOUT after 30 s; the rounds end well before.
FROZEN_S = 20


def round_trips(conn, rounds, seconds):
    """Seconds of each request's round trips, by name, for rounds or seconds, what ends first."""
    figures = {"request 7": [], "request 12": []}
    end = time.monotonic() + seconds
    for _ in range(rounds):
        for name, api_id, payload in (("request 7", CLASSES, b""), ("request 12", PING, PROBE)):
            start = time.monotonic()
            status = conn.request(api_id, payload).status
            figures[name].append(time.monotonic() - start)
            assert status == 0, "%s answered %d" % (name, status)
        conn.messages.clear()  # the probes' results
        if time.monotonic() > end:
            break
    return figures


def show(title, figures):
    print(title)
    for name, values in figures.items():
        print("  %-12s %5d rounds  %7.3f / %7.3f / %7.3f ms" % (
            name, len(values), 1e3 * min(values), 1e3 * statistics.median(values),
            1e3 * max(values)))


def in_sandbox():
    daemon = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    log = Path(tempfile.gettempdir(), "bench_frozen_nm-linkKeeper.log")
    proc, server, conn = start_daemon(daemon, log, {})
    nm = int(NM_PID.read_text())
    try:
        show("NetworkManager answering (least / median / most)", round_trips(conn, rounds, 60))
        os.kill(nm, signal.SIGSTOP)
        waiting = conn.send_frame(RESET)
        frozen = round_trips(conn, rounds, FROZEN_S)
        os.kill(nm, signal.SIGCONT)
        show("NetworkManager frozen, request 14 waiting on it", frozen)
        reply = conn.wait_reply(waiting, 40)
        print("request 14 then answered %s" % (reply.status if reply else "nothing"))
    finally:
        os.kill(nm, signal.SIGCONT)
        stop(proc)
        server.close()


if __name__ == "__main__":
    in_nm_sandbox(in_sandbox, __doc__, 2)
