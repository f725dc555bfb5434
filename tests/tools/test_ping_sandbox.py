"""Ping probes with real ICMP, inside network namespaces made for the test.

Topology (every namespace private to this run):

    probe ns --veth-- far ns      192.0.2.2      2001:db8:7::2   answers echo requests
             --veth-- silent ns   198.51.100.2   2001:db8:8::2   ignores echo requests
             --veth-- test ns     203.0.113.2    2001:db8:9::2   kernel silent; a responder
                                                                 script answers when started

The probes run in the probe namespace, through the engine driver (ping_probe) or through the
request handler driver (ping_service). The whole session runs inside scripts/sandbox-fs.sh, so
/etc/hosts and /etc/resolv.conf can be written and /run/netns is private.
"""

import json
import os
import re
import selectors
import subprocess
import sys
import time

import pytest

PROBE = os.environ.get("LK_PING_PROBE", "")
SERVICE = os.environ.get("LK_PING_SERVICE", "")
RESPONDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "echo_responder.py")
DEBIAN_PING = "/usr/bin/ping"
V6_ONLY_NAME = "v6only.lk.test"

if os.geteuid() != 0:
    pytest.skip("raw sockets and network namespaces need root", allow_module_level=True)
if os.environ.get("LK_SANDBOX_FS") != "1":
    pytest.skip("run through scripts/sandbox-fs.sh", allow_module_level=True)
for program in (PROBE, SERVICE):
    if not os.access(program, os.X_OK):
        pytest.skip("LK_PING_PROBE and LK_PING_SERVICE must name the drivers",
                    allow_module_level=True)


def run(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, capture_output=True, text=True, **kwargs)


def wait_until(condition, timeout=20.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Netns:
    def __init__(self, name):
        self.name = name
        run("ip", "netns", "add", name)
        self.sysctl("net.ipv6.conf.all.accept_dad", "0")
        self.sysctl("net.ipv6.conf.default.accept_dad", "0")
        self.ip("link", "set", "lo", "up")

    def ip(self, *args):
        return run("ip", "-n", self.name, *args)

    def sysctl(self, key, value):
        run("ip", "netns", "exec", self.name, "sysctl", "-qw", "%s=%s" % (key, value))

    def exec_args(self, *args):
        return ["ip", "netns", "exec", self.name] + list(args)

    def delete(self):
        run("ip", "netns", "del", self.name, check=False)


class Topology:
    def __init__(self):
        suffix = str(os.getpid())
        self.namespaces = []
        self.probe = self._add("lkp-probe-" + suffix)
        self.far = self._link("far", 0, "192.0.2", "2001:db8:7")
        self.silent = self._link("silent", 1, "198.51.100", "2001:db8:8")
        self.test = self._link("test", 2, "203.0.113", "2001:db8:9")
        for ns in (self.silent, self.test):
            ns.sysctl("net.ipv4.icmp_echo_ignore_all", "1")
            ns.sysctl("net.ipv6.icmp.echo_ignore_all", "1")
        for address in ("192.0.2.2", "2001:db8:7::2"):
            wait_until(lambda: self.debian_ping_ok(address), what="a reply from " + address)

    def _add(self, name):
        ns = Netns(name)
        self.namespaces.append(ns)
        return ns

    def _link(self, role, index, v4_prefix, v6_prefix):
        ns = self._add("lkp-%s-%d" % (role, os.getpid()))
        near, far = "lkv%d" % index, "lkw%d" % index
        self.probe.ip("link", "add", near, "type", "veth", "peer", "name", far, "netns", ns.name)
        self.probe.ip("addr", "add", v4_prefix + ".1/24", "dev", near)
        self.probe.ip("addr", "add", v6_prefix + "::1/64", "dev", near, "nodad")
        ns.ip("addr", "add", v4_prefix + ".2/24", "dev", far)
        ns.ip("addr", "add", v6_prefix + "::2/64", "dev", far, "nodad")
        self.probe.ip("link", "set", near, "up")
        ns.ip("link", "set", far, "up")
        return ns

    def debian_ping_ok(self, address):
        result = run(*self.probe.exec_args(DEBIAN_PING, "-n", "-c", "1", "-W", "1", address),
                     check=False)
        return result.returncode == 0

    def delete(self):
        for ns in reversed(self.namespaces):
            ns.delete()


@pytest.fixture(scope="module")
def net():
    with open("/etc/hosts", "a") as hosts:
        hosts.write("2001:db8:7::2 %s\n" % V6_ONLY_NAME)
    # Names missing from /etc/hosts fail at once instead of waiting for a real resolver.
    with open("/etc/resolv.conf", "w") as resolv:
        resolv.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    topology = None
    try:
        topology = Topology()
        yield topology
    finally:
        if topology is not None:
            topology.delete()
        else:
            for line in run("ip", "netns", "list").stdout.splitlines():
                if line.startswith("lkp-") and line.split()[0].endswith("-%d" % os.getpid()):
                    run("ip", "netns", "del", line.split()[0], check=False)


class Responder:
    """echo_responder.py running in the test host namespace; stopped by its pid."""

    def __init__(self, ns, *args):
        self.process = subprocess.Popen(
            ns.exec_args(sys.executable, RESPONDER, *args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        selector = selectors.DefaultSelector()
        selector.register(self.process.stdout, selectors.EVENT_READ)
        ready = selector.select(timeout=20)
        selector.close()
        if not ready or self.process.stdout.readline().strip() != "ready":
            self.stop()
            raise AssertionError("responder did not start: " + self.process.stderr.read())

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


@pytest.fixture
def responder(net):
    started = []

    def start(*args):
        started.append(Responder(net.test, *args))
        return started[-1]

    yield start
    for r in started:
        r.stop()


class ProbeRun:
    def __init__(self, completed):
        self.stdout = completed.stdout
        self.stderr = completed.stderr
        lines = completed.stdout.splitlines()
        self.starts = [l.split()[1] for l in lines if l.startswith("start ")]
        self.timeouts = sum(1 for l in lines if l == "timeout")
        self.replies = [tuple(int(x) for x in l.split()[1:]) for l in lines
                        if l.startswith("reply ")]
        results = [int(l.split()[1]) for l in lines if l.startswith("result ")]
        assert completed.returncode == 0 and len(results) == 1, completed.stdout + completed.stderr
        self.result = results[0]


def probe(net, host, ip_version=0, count=3, total_ms=0, interval_ms=100, timeout_ms=1000):
    completed = run(*net.probe.exec_args(PROBE, host, str(ip_version), str(count), str(total_ms),
                                         str(interval_ms), str(timeout_ms)), timeout=300)
    return ProbeRun(completed)


def request_text(host, ip_version=None, count=3, total_ms=0, interval_ms=100, timeout_ms=1000):
    request = {"hostname": host, "pingCount": count, "totalTimeout": total_ms,
               "pingInterval": interval_ms, "pingTimeout": timeout_ms}
    if ip_version is not None:
        request["ipVersion"] = ip_version
    return json.dumps(request)


class ServiceRun:
    def __init__(self, completed):
        self.stdout = completed.stdout
        self.stderr = completed.stderr
        lines = completed.stdout.splitlines()
        self.answers = [l for l in lines if l.startswith(("handle ", "refused "))]
        self.handles = [int(l.split()[1]) for l in self.answers if l.startswith("handle ")]
        self.results = {}
        for l in lines:
            if l.startswith("result "):
                result = json.loads(l[len("result "):])
                assert result["handle"] not in self.results, "two results for one handle"
                self.results[result["handle"]] = result
        self.log = [l.split(" | ", 1)[1] for l in lines if " | ping[" in l]
        assert completed.returncode == 0, completed.stdout + completed.stderr


def service(net, *lines):
    completed = run(*net.probe.exec_args(SERVICE), input="\n".join(lines) + "\n", check=False,
                    timeout=300)
    return ServiceRun(completed)


def members(result):
    return list(result.keys())


ROUND_TRIP_MEMBERS = ["handle", "requests", "timeouts", "maxReplyUs", "minReplyUs", "avgReplyUs"]


@pytest.mark.parametrize("host,ip_version", [
    ("127.0.0.1", 0), ("::1", 0), ("::1", 6),
    ("192.0.2.2", 4), ("192.0.2.2", 0), ("2001:db8:7::2", 6), ("2001:db8:7::2", 0),
])
def test_probe_gets_a_verified_reply_to_every_request(net, host, ip_version):
    run_ = probe(net, host, ip_version, count=4)
    assert run_.result == 0, run_.stderr
    assert run_.starts == [host]
    assert [(seq, ok) for seq, _, ok in run_.replies] == [(0, 1), (1, 1), (2, 1), (3, 1)]
    assert run_.timeouts == 0


def test_result_message_and_log_lines_of_probes_over_both_families(net):
    run_ = service(net, request_text("192.0.2.2", count=3), request_text("2001:db8:7::2", 6, 2))
    assert run_.handles == [4096, 4097], "the first probe of a process gets handle 0x1000"
    v4, v6 = run_.results[4096], run_.results[4097]
    for result, count in ((v4, 3), (v6, 2)):
        assert members(result) == ROUND_TRIP_MEMBERS
        assert result["requests"] == count and result["timeouts"] == 0
        assert 0 <= result["minReplyUs"] <= result["avgReplyUs"] <= result["maxReplyUs"]
    assert "ping[0x1000] PING 192.0.2.2" in run_.log
    assert "ping[0x1001] PING 2001:db8:7::2" in run_.log
    received = [l for l in run_.log if l.startswith("ping[0x1000] Received reply from 192.0.2.2")]
    assert [re.search(r"seq=(\d+)", l).group(1) for l in received] == ["0", "1", "2"]
    assert all(re.search(r"time=\d+\.\d{3} ms$", l) for l in received), received


@pytest.mark.parametrize("host", ["198.51.100.2", "2001:db8:8::2"])
def test_silent_host_gives_time_outs_and_no_round_trip_members(net, host):
    run_ = probe(net, host, count=3, interval_ms=100, timeout_ms=300)
    assert (run_.result, run_.timeouts, run_.replies) == (0, 3, [])

    served = service(net, request_text(host, count=2, timeout_ms=300))
    handle = served.handles[0]
    assert served.results[handle] == {"handle": handle, "requests": 2, "timeouts": 2}
    assert served.log.count("ping[0x%x] Request timed out" % handle) == 2


def test_total_time_ends_a_probe_without_count(net):
    run_ = probe(net, "192.0.2.2", count=0, total_ms=1000, interval_ms=400, timeout_ms=1000)
    assert run_.result == 0
    # Sends at about 0, 400 and 800 ms; the check before a fourth finds the time used up.
    # A slow machine can only send fewer.
    assert 1 <= len(run_.replies) <= 3


def test_name_with_only_an_ipv6_address(net):
    fallback = probe(net, V6_ONLY_NAME, 0, count=2)
    assert fallback.result == 0 and fallback.starts == ["2001:db8:7::2"]
    assert len(fallback.replies) == 2

    only_v4 = probe(net, V6_ONLY_NAME, 4, count=2)
    assert only_v4.result == 1 and only_v4.starts == [] and only_v4.replies == []
    assert only_v4.stderr.startswith("ping: getaddrinfo: ")

    served = service(net, request_text(V6_ONLY_NAME, 0, 1), request_text(V6_ONLY_NAME, 4, 1),
                     request_text(V6_ONLY_NAME, 5, 1))
    first, second, third = served.handles
    assert members(served.results[first]) == ROUND_TRIP_MEMBERS
    assert served.results[second] == {"handle": second, "error": 1}
    assert served.results[third] == {"handle": third, "error": 1}


def test_unknown_ip_version_fails_at_the_socket(net):
    run_ = probe(net, "192.0.2.2", 5, count=1)
    assert run_.result == 1 and run_.starts == []
    assert run_.stderr.startswith("ping: socket: ")


def test_reply_with_a_spoilt_checksum_is_reported_as_such(net, responder):
    responder("--corrupt-checksum")
    run_ = probe(net, "203.0.113.2", 4, count=2)
    assert [(seq, ok) for seq, _, ok in run_.replies] == [(0, 0), (1, 0)]

    served = service(net, request_text("203.0.113.2", 4, 2))
    handle = served.handles[0]
    assert served.results[handle]["requests"] == 2
    assert served.results[handle]["timeouts"] == 0, "a bad checksum still counts as a reply"
    bad = [l for l in served.log if l.endswith(" ms (bad checksum)")]
    assert len(bad) == 2 and bad[0].startswith("ping[0x%x] Received reply from 203.0.113.2" %
                                               handle)


@pytest.mark.parametrize("family,host", [("4", "203.0.113.2"), ("6", "2001:db8:9::2")])
def test_replies_from_another_sender_verify(net, responder, family, host):
    responder("--family", family)
    run_ = probe(net, host, int(family), count=2)
    assert [(seq, ok) for seq, _, ok in run_.replies] == [(0, 1), (1, 1)]


def test_late_reply_is_not_taken_for_the_next_request(net, responder):
    # Each reply comes 300 ms late, after its own 100 ms wait has ended and while the next
    # request, sent 500 ms after the previous one, is being waited for.
    responder("--delay-ms", "300")
    run_ = probe(net, "203.0.113.2", 4, count=3, interval_ms=500, timeout_ms=100)
    assert (run_.result, run_.timeouts, run_.replies) == (0, 3, [])


def test_fifty_probes_at_once_each_get_their_own_result(net):
    targets = [("192.0.2.2", 4), ("2001:db8:7::2", 6), ("127.0.0.1", 0), ("::1", 0)]
    requests = []
    counts = []
    for i in range(50):
        host, version = targets[i % len(targets)]
        counts.append(1 + i % 3)
        requests.append(request_text(host, version, counts[-1], interval_ms=50,
                                     timeout_ms=5000))
    served = service(net, *requests)
    assert served.handles == list(range(4096, 4146))
    assert sorted(served.results) == served.handles
    for handle, count in zip(served.handles, counts):
        result = served.results[handle]
        assert (result["requests"], result["timeouts"]) == (count, 0), result
        prefix = "ping[0x%x] " % handle
        assert sum(1 for l in served.log if l.startswith(prefix + "Received reply")) == count
        host = targets[(handle - 4096) % len(targets)][0]
        assert prefix + "PING " + host in served.log


def test_too_many_probes_at_once_are_refused_without_a_handle(net):
    silent = request_text("198.51.100.2", 4, 1, timeout_ms=5000)
    quick = request_text("192.0.2.2", 4, 1)
    served = service(net, *([silent] * 65), "wait", quick)
    assert served.answers[:64] == ["handle %d" % h for h in range(4096, 4160)]
    assert served.answers[64] == "refused -11"
    assert served.answers[65] == "handle 4160", "a slot frees when a probe ends"
    assert len(served.results) == 65


def debian_ping_rtt_ms(net, host, count, interval_ms):
    completed = run(*net.probe.exec_args(DEBIAN_PING, "-n", "-q", "-c", str(count), "-i",
                                         "%.3f" % (interval_ms / 1000.0), host), timeout=300)
    found = re.search(r"= ([\d.]+)/([\d.]+)/([\d.]+)/", completed.stdout)
    assert found, completed.stdout
    return [float(x) for x in found.groups()]  # min, avg, max


def our_rtt_ms(net, host, count, interval_ms):
    served = service(net, request_text(host, 4, count, interval_ms=interval_ms,
                                       timeout_ms=2000))
    result = served.results[served.handles[0]]
    assert (result["requests"], result["timeouts"]) == (count, 0)
    return [result[k] / 1000.0 for k in ("minReplyUs", "avgReplyUs", "maxReplyUs")]


# A loaded machine delays either program by scheduling latency; the tolerance is wide enough
# for that and still catches a wrong unit or a round trip taken at the wrong moment.
TOLERANCE_MS = 20.0


def test_round_trip_times_agree_with_debian_ping_on_the_veth_path(net):
    ours = our_rtt_ms(net, "192.0.2.2", 10, 200)
    debian = debian_ping_rtt_ms(net, "192.0.2.2", 10, 200)
    assert abs(ours[1] - debian[1]) < TOLERANCE_MS, (ours, debian)


def test_round_trip_times_agree_with_debian_ping_for_a_slow_host(net, responder):
    responder("--delay-ms", "40")
    ours = our_rtt_ms(net, "203.0.113.2", 8, 200)
    debian = debian_ping_rtt_ms(net, "203.0.113.2", 8, 200)
    assert debian[0] >= 40.0, "the responder holds every reply back 40 ms"
    # The engine reads the send time after the send returns, so a thread preempted in between
    # measures a little less than the real round trip.
    assert ours[1] > 40.0 - TOLERANCE_MS, (ours, debian)
    assert abs(ours[1] - debian[1]) < TOLERANCE_MS, (ours, debian)
