#!/usr/bin/python3
"""Ping probes of the real linkKeeper (request 12, results in message 13) next to Debian's
ping, on a quiet link and under a flood of echo requests from the far side; prints figures.

For 1, 16 and 64 probes at once, each ECHOES echo requests 10 ms apart to the far host:
  linkKeeper   the daemon's CPU time from /proc/PID/stat (utime + stime, in clock ticks)
               before and after; round trips from the result messages;
  Debian ping  as many `ping -c ECHOES -i 0.01` processes; their CPU time from wait4();
               round trips from their summaries.
Rows give the CPU per probe and per echo request, replies and losses, and the least, mean and
most round trip (the mean of the probes' averages). The daemon's own CPU while idle for as long
as one round is printed first, since it runs anyway. The two clocks start at different points:
linkKeeper's once sendto() has returned, ping's before it sends; on a veth pair the far side
answers within that sendto(), so linkKeeper's round trips read shorter.

Run through run-ping-bench.sh, which makes the namespaces; usage there.
"""

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from bench_daemon import start_daemon, stop  # noqa: E402

PING, RESULT = 12, 13
NEAR, FAR = "192.0.2.1", "192.0.2.2"
PROBES = (1, 16, 64)
INTERVAL_MS = 10
TICK = os.sysconf("SC_CLK_TCK")
HEADING = "%-24s %6s %8s %9s %11s %9s %6s  %s" % (
    "", "probes", "wall s", "CPU ms", "CPU ms/probe", "us/echo", "lost", "rtt min/avg/max us")


def cpu_seconds(pid):
    """utime + stime of the whole process (fields 14 and 15 of /proc/PID/stat)."""
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def row(name, probes, echoes, wall, cpu, lost, rtts):
    """rtts: (least, mean, most) in microseconds, or None."""
    trips = "%.0f / %.0f / %.0f" % rtts if rtts else "-"
    return "%-24s %6d %8.2f %9.0f %11.2f %9.1f %6d  %s" % (
        name, probes, wall, cpu * 1e3, cpu * 1e3 / probes, cpu * 1e6 / (probes * echoes), lost,
        trips)


def daemon_round(conn, pid, probes, echoes):
    request = json.dumps({"hostname": FAR, "ipVersion": 4, "pingCount": echoes,
                          "totalTimeout": 0, "pingInterval": INTERVAL_MS,
                          "pingTimeout": 1000}).encode()
    before, start = cpu_seconds(pid), time.monotonic()
    for _ in range(probes):
        frame = conn.request(PING, request)
        assert frame.status == 0, "request 12 answered %d" % frame.status
    results = []
    while len(results) < probes:
        frame = conn.wait_message(RESULT, echoes * INTERVAL_MS / 1000 + 60)
        assert frame is not None, "a probe sent no result"
        results.append(frame.json())
    wall, cpu = time.monotonic() - start, cpu_seconds(pid) - before
    answered = [r for r in results if "avgReplyUs" in r]
    lost = sum(r.get("timeouts", 0) for r in results) + echoes * sum("error" in r for r in results)
    rtts = answered and (min(r["minReplyUs"] for r in answered),
                         sum(r["avgReplyUs"] for r in answered) / len(answered),
                         max(r["maxReplyUs"] for r in answered))
    return row("linkKeeper", probes, echoes, wall, cpu, lost, rtts)


def ping_round(probes, echoes):
    start = time.monotonic()
    procs = [subprocess.Popen(["ping", "-n", "-q", "-c", str(echoes), "-i", "0.01", "-W", "1",
                               FAR], stdout=subprocess.PIPE, text=True) for _ in range(probes)]
    cpu, lost, least, means, most = 0.0, 0, [], [], []
    for proc in procs:
        out = proc.stdout.read()
        _, status, usage = os.wait4(proc.pid, 0)  # reaped here: its rusage is what we want
        proc.returncode = os.waitstatus_to_exitcode(status)
        cpu += usage.ru_utime + usage.ru_stime
        sent, received = map(int, re.search(r"(\d+) packets transmitted, (\d+) received",
                                            out).groups())
        lost += sent - received
        if m := re.search(r"= ([\d.]+)/([\d.]+)/([\d.]+)/", out):
            least.append(float(m[1]) * 1e3)
            means.append(float(m[2]) * 1e3)
            most.append(float(m[3]) * 1e3)
    wall = time.monotonic() - start
    rtts = means and (min(least), sum(means) / len(means), max(most))
    return row("Debian ping", probes, echoes, wall, cpu, lost, rtts)


def scenario(title, conn, pid, echoes):
    print(title)
    print(HEADING)
    for probes in PROBES:
        print(daemon_round(conn, pid, probes, echoes), flush=True)
        print(ping_round(probes, echoes), flush=True)


def main():
    daemon, far_ns = sys.argv[1], sys.argv[2]
    echoes = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    round_s = echoes * INTERVAL_MS / 1000
    log = Path(os.environ.get("TMPDIR", "/tmp"), "bench_ping-linkKeeper.log")
    no_dbus = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent"}  # no D-Bus needed
    proc, server, conn = start_daemon(daemon, log, no_dbus)
    flood = None
    try:
        print("%d echo requests per probe, %d ms apart, %s -> %s over a veth pair; CPU of "
              "linkKeeper in steps of %.0f ms\n(round trips: linkKeeper times from the return of "
              "sendto(), ping from before it)\n" % (echoes, INTERVAL_MS, NEAR, FAR, 1e3 / TICK))
        before = cpu_seconds(proc.pid)
        time.sleep(round_s)  # a benchmark's idle baseline, not a wait for a condition
        print("linkKeeper idle for %.0f s: %.0f ms CPU\n"
              % (round_s, 1e3 * (cpu_seconds(proc.pid) - before)))
        scenario("quiet link", conn, proc.pid, echoes)
        # Bounded in time whatever happens here; stopped by its PID when the rounds are done.
        bound = str(int(len(PROBES) * 2 * (round_s + 5) + 60))
        flood = subprocess.Popen(["ip", "netns", "exec", far_ns, "ping", "-f", "-q", "-w", bound,
                                  NEAR], stdout=subprocess.PIPE, text=True)
        scenario("\nunder a flood: ping -f from %s to %s" % (FAR, NEAR), conn, proc.pid, echoes)
        summary = stop(flood, signal.SIGINT)
        flood = None
        if m := re.search(r"(\d+) packets transmitted, (\d+) received.*?time (\d+)ms", summary,
                          re.S):
            sent, received, ms = map(int, m.groups())
            print("flood: %d echo requests in %.1f s (%.0f/s), %d answered"
                  % (sent, ms / 1e3, sent * 1e3 / ms, received))
    finally:
        if flood is not None:
            stop(flood, signal.SIGINT)
        stop(proc)
        server.close()


if __name__ == "__main__":
    main()
