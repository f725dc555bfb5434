"""Ping probes end to end: request 12 to the real daemon, result messages 13, real ICMP. The
test process moves to a network namespace of its own (the probe side, shared with the daemon
and the bus server) inside scripts/sandbox-fs.sh, and links it to namespaces it makes:
    far ns      192.0.2.2      2001:db8:7::2   answers echo requests
    silent ns   198.51.100.2   2001:db8:8::2   ignores echo requests
    test ns     203.0.113.2    2001:db8:9::2   echo_responder.py answers
"""

import ctypes
import json
import os
import re
import subprocess
import sys
from datetime import datetime

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
# log_dir and stop_new_daemons stop every daemon a test started, by its PID.
from conftest import (Linkkeeper, NodeFacts, log_dir, stop_new_daemons, stop_process,  # noqa
                      wait_until)

PING, RESULT, CANCEL = 12, 13, 17
ENOENT, EAGAIN, EINVAL = 2, 11, 22
FIRST_HANDLE = 0x1000
PEER_SHARE = 32  # of the 64 probes, what one peer may hold at once
V6_ONLY_NAME = "v6only.lk.test"
ROUND_TRIP_MEMBERS = ["handle", "requests", "timeouts", "maxReplyUs", "minReplyUs", "avgReplyUs"]
FAR, SILENT, TEST = ("lkp-%s-%d" % (role, os.getpid()) for role in ("far", "silent", "test"))

if os.geteuid() != 0 or os.environ.get("LK_SANDBOX_FS") != "1":
    pytest.skip("needs root and scripts/sandbox-fs.sh", allow_module_level=True)


def run(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, capture_output=True, text=True, timeout=300, **kwargs)


def link(index, ns, v4_prefix, v6_prefix):
    """A veth pair from the probe namespace to ns: host 1 of both subnets near, host 2 far."""
    run("ip", "netns", "add", ns)
    run("ip", "link", "add", "lkv%d" % index, "type", "veth", "peer", "name", "lkw%d" % index,
        "netns", ns)
    for side, dev, host in (([], "lkv%d" % index, 1), (["-n", ns], "lkw%d" % index, 2)):
        run("ip", *side, "-batch", "-", input="addr add %s.%d/24 dev %s\naddr add %s::%d/64 dev %s "
            "nodad\nlink set %s up\nlink set lo up\n" % (
                v4_prefix, host, dev, v6_prefix, host, dev, dev))
    if ns != FAR:  # the kernel stays silent; the test host's replies come from a script
        run("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=1",
            "net.ipv6.icmp.echo_ignore_all=1")


@pytest.fixture(scope="module")
def net():
    assert ctypes.CDLL(None, use_errno=True).unshare(0x40000000) == 0, os.strerror(  # NEWNET
        ctypes.get_errno())
    with open("/etc/hosts", "a") as hosts:
        hosts.write("2001:db8:7::2 %s\n" % V6_ONLY_NAME)
    # Names missing from /etc/hosts fail at once instead of waiting for a real resolver.
    with open("/etc/resolv.conf", "w") as resolv:
        resolv.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    try:
        link(0, FAR, "192.0.2", "2001:db8:7")
        link(1, SILENT, "198.51.100", "2001:db8:8")
        link(2, TEST, "203.0.113", "2001:db8:9")
        for address in ("192.0.2.2", "2001:db8:7::2"):  # until addresses and routes are up
            run("ping", "-c1", "-w20", address)
        yield
    finally:
        for ns in (FAR, SILENT, TEST):
            run("ip", "netns", "del", ns, check=False)


@pytest.fixture
def lk(net):
    NodeFacts()
    return Linkkeeper()


@pytest.fixture
def spawn(net):
    """Starts a process with its output piped; the test's end stops it by its PID."""
    started = []

    def start(*argv):
        started.append(subprocess.Popen(argv, stdout=subprocess.PIPE, text=True))
        return started[-1]

    yield start
    for proc in started:
        stop_process(proc)


@pytest.fixture
def responder(spawn):
    """Starts echo_responder.py in the test host's namespace."""
    def start(*args):
        proc = spawn("ip", "netns", "exec", TEST, sys.executable,
                     os.path.join(HERE, "echo_responder.py"), *args)
        assert proc.stdout.readline().strip() == "ready", "responder did not start"
        return proc
    return start


def ping(lk, host, ip_version=0, count=3, total_ms=0, interval_ms=100, timeout_ms=1000, **raw):
    """(status, handle or None) of one ping request; raw members replace the others."""
    reply = lk.call(PING, json.dumps(dict({
        "hostname": host, "ipVersion": ip_version, "pingCount": count, "totalTimeout": total_ms,
        "pingInterval": interval_ms, "pingTimeout": timeout_ms}, **raw)).encode() + b"\0")
    assert reply[0] != 0 or len(reply[1]) == 4, reply
    return reply[0], int.from_bytes(reply[1], "little") if reply[0] == 0 else None


def results(lk, count, wait=120):
    """{handle: result} of the next count result messages, each within wait seconds."""
    frames = [lk.conn.wait_message(RESULT, wait) for _ in range(count)]
    assert None not in frames, frames
    found = {r["handle"]: r for r in (f.json() for f in frames)}
    assert len(found) == count, "two results for one handle"
    return found


def lines_of(lk, handle, what):
    return [t for t in lk.daemon.log_texts() if t.startswith("ping[0x%x] %s" % (handle, what))]


def assert_answered(lk, result, host, count, echo_lines=True):
    """A probe that got every reply, its result and log lines; returns its reply lines."""
    handle = result["handle"]
    assert list(result) == ROUND_TRIP_MEMBERS
    assert (result["requests"], result["timeouts"]) == (count, 0), result
    assert 0 <= result["minReplyUs"] <= result["avgReplyUs"] <= result["maxReplyUs"]
    assert lines_of(lk, handle, "PING ") == ["ping[0x%x] PING %s" % (handle, host)]
    if not echo_lines:  # many probes at once share ten per-echo lines a second
        return []
    received = lines_of(lk, handle, "Received reply from %s: " % host)
    assert [re.search(r"seq=(\d+), time=\d+\.\d{3} ms$", line).group(1)
            for line in received] == [str(seq) for seq in range(count)], received
    return received


ANSWERING = [("127.0.0.1", 0), ("::1", 6), ("192.0.2.2", 4), ("192.0.2.2", 0),
             ("2001:db8:7::2", 6), ("2001:db8:7::2", 0)]


def test_a_peers_share_of_probes_at_once_each_get_their_own_handle_and_result(lk):
    targets = [ANSWERING[i % len(ANSWERING)] + (1 + i % 3,) for i in range(PEER_SHARE)]
    handles = [ping(lk, h, v, n, interval_ms=50, timeout_ms=5000)[1] for h, v, n in targets]
    assert handles == list(range(FIRST_HANDLE, FIRST_HANDLE + PEER_SHARE))
    found = results(lk, PEER_SHARE)
    # Each probe has an identifier of its own, so none takes another's reply: every probe
    # counts its own replies, and the per-echo lines are cut to their allowance with a count.
    for handle, (host, _, count) in zip(handles, targets):
        assert_answered(lk, found[handle], host, count, echo_lines=False)
    wait_until(lambda: any("per-echo log lines left out" in t for t in lk.daemon.log_texts()),
               what="the count of left-out lines")


@pytest.mark.parametrize("host, version, expected", [
    ("198.51.100.2", 4, {"requests": 2, "timeouts": 2}),
    ("2001:db8:8::2", 0, {"requests": 2, "timeouts": 2}),
    (V6_ONLY_NAME, 0, "2001:db8:7::2"), (V6_ONLY_NAME, 4, {"error": 1}),
    (V6_ONLY_NAME, 5, {"error": 1})],
    ids=["silent IPv4 host", "silent IPv6 host", "name with only an IPv6 address",
         "IPv4 only for that name", "unknown IP version"])
def test_probe_results(lk, host, version, expected):
    handle = ping(lk, host, version, 2, timeout_ms=300)[1]
    result = results(lk, 1)[handle]
    if isinstance(expected, str):
        assert_answered(lk, result, expected, 2)
    else:
        cause = result.pop("cause", "")  # the resolver's or the system's words
        assert result == dict(handle=handle, **expected) and bool(cause) == ("error" in expected)
        assert len(lines_of(lk, handle, "Request timed out")) == result.get("timeouts", 0)


@pytest.mark.parametrize("replies, requests", [(None, {1, 2, 3}), (2, {2, 3})],
                         ids=["total time", "cancel after two replies"])
def test_a_long_probe_ends_by_its_total_time_or_a_cancel(lk, replies, requests):
    # 100 requests 400 ms apart would run 40 s: the result comes long before unless the probe
    # ends by its total time (sends at about 0, 400 and 800 ms) or at once on the cancel.
    handle = ping(lk, "192.0.2.2", count=100, total_ms=0 if replies else 1000, interval_ms=400)[1]
    if replies:
        wait_until(lambda: len(lines_of(lk, handle, "Received reply")) >= replies, what="replies")
        assert lk.call(CANCEL, handle.to_bytes(4, "little")) == (0, b"")
    assert results(lk, 1, wait=10)[handle]["requests"] in requests
    assert lk.call(CANCEL, handle.to_bytes(4, "little")) == (ENOENT, b""), "ended already"


@pytest.mark.parametrize("member, inside, outside, others", [
    ("pingInterval", 10, 9, {}), ("pingInterval", 10, 2 ** 32 + 10, {}),
    ("pingTimeout", 1, 0, {}), ("pingTimeout", 60000, 60001, {}),
    ("pingCount", 1, 0, {}), ("pingCount", 65535, 65536, {}),
    ("pingTimeout", 1000, 1001, dict(pingCount=3599, pingInterval=1000)),
    # The count alone would run for 18 hours.
    ("totalTimeout", 3599000, 3599001, dict(pingCount=65535, pingInterval=1000))],
    ids=["least interval", "interval never wrapped", "least time-out", "longest time-out",
         "least count", "greatest count", "an hour by count", "an hour by total time"])
def test_a_request_just_outside_a_bound_is_refused_without_a_handle(lk, member, inside, outside,
                                                                     others):
    # The accepted probes ask the local host and are cancelled at once.
    for value, expected in ((inside, (0, FIRST_HANDLE)), (outside, (EINVAL, None)),
                            (inside, (0, FIRST_HANDLE + 1))):
        reply = ping(lk, "127.0.0.1", 4, 1, interval_ms=10, **dict(others, **{member: value}))
        assert reply == expected, (member, value)
        if reply[1] is not None:
            lk.call(CANCEL, reply[1].to_bytes(4, "little"))


@pytest.mark.parametrize("args, interval_ms, timeout_ms, check", [
    (["--corrupt-checksum"], 100, 1000, "bad checksum"),
    # Each reply comes 300 ms late, after its own 100 ms wait has ended and while the next
    # request, sent 500 ms after the previous one, is being waited for.
    (["--delay-ms", "300"], 500, 100, "late")], ids=["spoilt checksum", "late reply"])
def test_replies_that_do_not_count(lk, responder, args, interval_ms, timeout_ms, check):
    responder(*args)
    handle = ping(lk, "203.0.113.2", 4, 2, interval_ms=interval_ms, timeout_ms=timeout_ms)[1]
    result = results(lk, 1)[handle]
    if check == "late":
        assert result["timeouts"] == 2, "a late reply is not taken for the next request"
    else:
        assert (result["requests"], result["timeouts"]) == (2, 0)
        received = lines_of(lk, handle, "Received reply from 203.0.113.2: ")
        assert len(received) == 2 and all(l.endswith(" ms (bad checksum)") for l in received)


def test_probes_running_at_once_have_identifiers_of_their_own(lk, responder):
    # Two echoes 5 s apart keep every probe running while the others start (a probe that has
    # ended gives its identifier back), and each probe's two echoes carry one identifier.
    echoes = responder("--print-ids")
    handles = [ping(lk, "203.0.113.2", 4, 2, interval_ms=5000)[1] for _ in range(16)]
    assert all(r["timeouts"] == 0 for r in results(lk, 16).values())
    identifiers = {echoes.stdout.readline() for _ in range(2 * len(handles))}
    assert len(identifiers) == len(handles), identifiers


def test_probes_past_a_peers_share_are_refused_without_a_handle(lk):
    handles = [ping(lk, "198.51.100.2", 4, 1, timeout_ms=5000) for _ in range(PEER_SHARE + 1)]
    assert handles == [(0, h) for h in range(FIRST_HANDLE, FIRST_HANDLE + PEER_SHARE)] + [
        (EAGAIN, None)]
    results(lk, PEER_SHARE)
    assert ping(lk, "192.0.2.2", 4, 1) == (0, FIRST_HANDLE + PEER_SHARE), "slots free as probes end"


def icmp_counters():
    """(echo requests in, echo replies in) of the probe side's namespace (/proc/net/snmp)."""
    with open("/proc/net/snmp") as snmp:
        names, values = [line.split() for line in snmp if line.startswith("Icmp:")][:2]
    return tuple(int(values[names.index(name)]) for name in ("InEchos", "InEchoReps"))


# Until its filters are set a raw socket takes in the flood too; a busy machine may keep the
# probe's thread from setting them for a while.
@pytest.mark.parametrize("probes, filter_delay_ms", [(1, 0), (16, 0), (32, 0), (4, 20)],
                         ids=["1", "16", "32", "4 with filters set 20 ms late"])
def test_probes_under_an_echo_flood_count_every_reply(net, spawn, probes, filter_delay_ms):
    NodeFacts()
    lk = Linkkeeper(env={"LD_PRELOAD": os.environ["LK_FAULTS"] if filter_delay_ms else "",
                         "LK_FILTER_DELAY_MS": str(filter_delay_ms)})
    count, interval_ms = 6, 500
    flood = spawn("ip", "netns", "exec", FAR, "ping", "-q", "-f", "-w", "60", "192.0.2.1")
    floor = icmp_counters()[0]
    wait_until(lambda: icmp_counters()[0] > floor + 1000, what="the flood")
    before = icmp_counters()
    debian = spawn("/usr/bin/ping", "-n", "-q", "-c", str(count), "-i", str(interval_ms / 1000),
                   "-W", "1", "192.0.2.2")
    handles = [ping(lk, "192.0.2.2", 4, count, interval_ms=interval_ms)[1] for _ in range(probes)]
    found = results(lk, probes)
    summary = debian.communicate(timeout=60)[0]
    flooded, replies_in = (after - first for after, first in zip(icmp_counters(), before))
    stop_process(flood)
    sent, received = map(int, re.search(r"(\d+) packets transmitted, (\d+) received",
                                        summary).groups())
    answered = sum(r["requests"] - r["timeouts"] for r in found.values())
    assert flooded > 1000, "no flood during the run"
    assert all(found[handle]["requests"] == count for handle in handles), found
    # A flooded link may drop an echo or its reply, for Debian's ping as for us; a time-out of
    # ours is false when its reply reached the device all the same. (Debian's ping may miss a
    # reply that came in: that says nothing about ours when ours got every one.)
    assert answered == probes * count or answered + received == replies_in, \
        "ours %d, replies in: %d, Debian's %d" % (answered, replies_in, received)


@pytest.mark.skipif(os.environ.get("LK_SANITIZER") == "thread",
                    reason="ThreadSanitizer's own clock interceptors come before a preloaded one")
@pytest.mark.parametrize("step_s", [3600, -3600], ids=["an hour forward", "an hour back"])
def test_a_wall_clock_step_mid_probe_changes_no_round_trip(net, responder, step_s):
    NodeFacts()
    lk = Linkkeeper(env={"LD_PRELOAD": os.environ["LK_FAULTS"], "LK_CLOCK_STEP_S": str(step_s),
                         "LK_CLOCK_STEP_AFTER_MS": "2000"})
    # Each reply is held back 300 ms and the next request leaves at once: the step falls while
    # a reply is awaited. Ends on time: a wait timed on the stepped clock would last an hour.
    responder("--delay-ms", "300")
    handle = ping(lk, "203.0.113.2", 4, 10, interval_ms=10, timeout_ms=1000)[1]
    result = results(lk, 1, wait=15)[handle]
    assert (result["requests"], result["timeouts"]) == (10, 0), result
    # Held back 300 ms: no less; and far from the hour a round trip on the stepped clock reads.
    assert 250000 < result["minReplyUs"] <= result["maxReplyUs"] < 600 * 1000000, result
    stamps = [datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
              for line in lk.daemon.log().splitlines() if "ping[0x%x] Received" % handle in line]
    assert abs((stamps[-1] - stamps[0]).total_seconds() - step_s) < 60, "stepped mid-probe"
