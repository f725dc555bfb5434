"""Ping probes with real ICMP through the request handler driver (ping_service), in network
namespaces made for the test, inside scripts/sandbox-fs.sh (so /etc/hosts can be written):

    probe ns --veth-- far ns      192.0.2.2      2001:db8:7::2   answers echo requests
             --veth-- silent ns   198.51.100.2   2001:db8:8::2   ignores echo requests
             --veth-- test ns     203.0.113.2    2001:db8:9::2   a responder script answers
"""

import json
import os
import re
import subprocess
import sys
import time

import pytest

SERVICE = os.environ.get("LK_PING_SERVICE", "")
RESPONDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "echo_responder.py")
DEBIAN_PING = "/usr/bin/ping"
V6_ONLY_NAME = "v6only.lk.test"
FIRST_HANDLE = 0x1000
ROUND_TRIP_MEMBERS = ["handle", "requests", "timeouts", "maxReplyUs", "minReplyUs", "avgReplyUs"]

if os.geteuid() != 0:
    pytest.skip("raw sockets and network namespaces need root", allow_module_level=True)
if os.environ.get("LK_SANDBOX_FS") != "1":
    pytest.skip("run through scripts/sandbox-fs.sh", allow_module_level=True)
if not os.access(SERVICE, os.X_OK):
    pytest.skip("LK_PING_SERVICE must name the driver", allow_module_level=True)


def run(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, capture_output=True, text=True, **kwargs)


class Netns:
    def __init__(self, role):
        self.name = "lkp-%s-%d" % (role, os.getpid())
        run("ip", "netns", "add", self.name)
        self.ip("link", "set", "lo", "up")

    def ip(self, *args):
        return run("ip", "-n", self.name, *args)

    def exec_args(self, *args):
        return ["ip", "netns", "exec", self.name] + list(args)


class Topology:
    def __init__(self):
        self.probe = Netns("probe")
        self._link("far", 0, "192.0.2", "2001:db8:7")
        self._link("silent", 1, "198.51.100", "2001:db8:8")
        self.test = self._link("test", 2, "203.0.113", "2001:db8:9")
        for address in ("192.0.2.2", "2001:db8:7::2"):
            deadline = time.monotonic() + 20
            while run(*self.probe.exec_args(DEBIAN_PING, "-n", "-c", "1", "-W", "1", address),
                      check=False).returncode != 0:
                assert time.monotonic() < deadline, "no reply from " + address

    def _link(self, role, index, v4_prefix, v6_prefix):
        ns = Netns(role)
        near, far = "lkv%d" % index, "lkw%d" % index
        self.probe.ip("link", "add", near, "type", "veth", "peer", "name", far, "netns", ns.name)
        for side, dev, host in ((self.probe, near, "1"), (ns, far, "2")):
            side.ip("addr", "add", "%s.%s/24" % (v4_prefix, host), "dev", dev)
            side.ip("addr", "add", "%s::%s/64" % (v6_prefix, host), "dev", dev, "nodad")
            side.ip("link", "set", dev, "up")
        if role != "far":
            run(*ns.exec_args("sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=1",
                              "net.ipv6.icmp.echo_ignore_all=1"))
        return ns


@pytest.fixture(scope="module")
def net():
    with open("/etc/hosts", "a") as hosts:
        hosts.write("2001:db8:7::2 %s\n" % V6_ONLY_NAME)
    # Names missing from /etc/hosts fail at once instead of waiting for a real resolver.
    with open("/etc/resolv.conf", "w") as resolv:
        resolv.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    try:
        yield Topology()
    finally:
        for name in re.findall(r"^(lkp-\w+-%d)\b" % os.getpid(), run("ip", "netns").stdout, re.M):
            run("ip", "netns", "del", name, check=False)


@pytest.fixture
def responder(net):
    """Starts echo_responder.py in the test host namespace; stopped by its pid."""
    started = []

    def start(*args):
        process = subprocess.Popen(net.test.exec_args(sys.executable, RESPONDER, *args),
                                   stdout=subprocess.PIPE, text=True)
        started.append(process)
        # A responder that fails ends, and the read ends with it.
        assert process.stdout.readline().strip() == "ready", "responder did not start"

    yield start
    for process in started:
        process.terminate()
        process.wait(timeout=10)


def request_text(host, ip_version=None, count=3, total_ms=0, interval_ms=100, timeout_ms=1000):
    request = {"hostname": host, "pingCount": count, "totalTimeout": total_ms,
               "pingInterval": interval_ms, "pingTimeout": timeout_ms}
    if ip_version is not None:
        request["ipVersion"] = ip_version
    return json.dumps(request)


class ServiceRun:
    def __init__(self, completed):
        assert completed.returncode == 0, completed.stdout + completed.stderr
        lines = completed.stdout.splitlines()
        self.answers = [l for l in lines if l.startswith(("handle ", "refused "))]
        self.handles = [int(l.split()[1]) for l in self.answers if l.startswith("handle ")]
        results = [json.loads(l[len("result "):]) for l in lines if l.startswith("result ")]
        self.results = {result["handle"]: result for result in results}
        assert len(self.results) == len(results), "two results for one handle"
        self.log = [l.split(" | ", 1)[1] for l in lines if " | ping[" in l]

    def lines_of(self, handle, what):
        prefix = "ping[0x%x] %s" % (handle, what)
        return [l for l in self.log if l.startswith(prefix)]


def service(net, *lines):
    return ServiceRun(run(*net.probe.exec_args(SERVICE), input="\n".join(lines) + "\n",
                          check=False, timeout=300))


ANSWERING = [("127.0.0.1", 0), ("::1", 0), ("::1", 6), ("192.0.2.2", 4), ("192.0.2.2", 0),
             ("2001:db8:7::2", 6), ("2001:db8:7::2", 0)]


def assert_answered(served, handle, host, count):
    """The result and log lines of a probe that got every reply; returns its reply lines."""
    result = served.results[handle]
    assert list(result) == ROUND_TRIP_MEMBERS
    assert (result["requests"], result["timeouts"]) == (count, 0), result
    assert 0 <= result["minReplyUs"] <= result["avgReplyUs"] <= result["maxReplyUs"]
    assert served.lines_of(handle, "PING ") == ["ping[0x%x] PING %s" % (handle, host)]
    received = served.lines_of(handle, "Received reply from %s: " % host)
    assert [re.search(r"seq=(\d+)", l).group(1) for l in received] == \
        [str(seq) for seq in range(count)], received
    return received


@pytest.mark.parametrize("host,ip_version", ANSWERING)
def test_probe_gets_a_verified_reply_to_every_request(net, host, ip_version):
    served = service(net, request_text(host, ip_version, 3))
    received = assert_answered(served, served.handles[0], host, 3)
    assert all(re.search(r", time=\d+\.\d{3} ms$", l) for l in received), received


def test_fifty_probes_at_once_each_get_their_own_handle_result_and_log_lines(net):
    # Requests that would never end are refused first and consume no handle.
    never_ending = [request_text("192.0.2.2", 4, 0), request_text("192.0.2.2", 4, 65536)]
    targets = [ANSWERING[i % len(ANSWERING)] + (1 + i % 3,) for i in range(50)]
    served = service(net, *never_ending, *[request_text(h, v, n, interval_ms=50, timeout_ms=5000)
                                           for h, v, n in targets])
    assert served.answers[:2] == ["refused -22", "refused -22"]
    assert served.handles == list(range(FIRST_HANDLE, FIRST_HANDLE + 50))
    assert sorted(served.results) == served.handles
    # Each probe has an identifier of its own, so none takes another's reply: every reply
    # verifies against the probe's own addresses.
    for handle, (host, _, count) in zip(served.handles, targets):
        received = assert_answered(served, handle, host, count)
        assert not any(l.endswith("(bad checksum)") for l in received), received


def test_silent_host_gives_time_outs_and_no_round_trip_members(net):
    served = service(net, request_text("198.51.100.2", count=2, timeout_ms=300),
                     request_text("2001:db8:8::2", count=2, timeout_ms=300))
    for handle in served.handles:
        assert served.results[handle] == {"handle": handle, "requests": 2, "timeouts": 2}
        assert len(served.lines_of(handle, "Request timed out")) == 2


def test_name_with_only_an_ipv6_address(net):
    served = service(net, *[request_text(V6_ONLY_NAME, v, 2) for v in (0, 4, 5)])
    fallback, only_v4, unknown = served.handles
    assert served.lines_of(fallback, "PING ") == ["ping[0x%x] PING 2001:db8:7::2" % fallback]
    assert (served.results[fallback]["requests"], served.results[fallback]["timeouts"]) == (2, 0)
    assert served.results[only_v4] == {"handle": only_v4, "error": 1}
    assert served.results[unknown] == {"handle": unknown, "error": 1}


def test_total_time_ends_a_probe_without_count(net):
    served = service(net, request_text("192.0.2.2", count=0, total_ms=1000, interval_ms=400))
    # Sends at about 0, 400 and 800 ms; the check before a fourth finds the time used up.
    # A slow machine can only send fewer.
    assert 1 <= served.results[served.handles[0]]["requests"] <= 3


def test_reply_with_a_spoilt_checksum_is_reported_as_such(net, responder):
    responder("--corrupt-checksum")
    served = service(net, request_text("203.0.113.2", 4, 2))
    handle = served.handles[0]
    assert (served.results[handle]["requests"], served.results[handle]["timeouts"]) == (2, 0)
    received = served.lines_of(handle, "Received reply from 203.0.113.2: ")
    assert len(received) == 2 and all(l.endswith(" ms (bad checksum)") for l in received)


def test_late_reply_is_not_taken_for_the_next_request(net, responder):
    # Each reply comes 300 ms late, after its own 100 ms wait has ended and while the next
    # request, sent 500 ms after the previous one, is being waited for.
    responder("--delay-ms", "300")
    served = service(net, request_text("203.0.113.2", 4, 3, interval_ms=500, timeout_ms=100))
    assert served.results[served.handles[0]]["timeouts"] == 3


def test_too_many_probes_at_once_are_refused_without_a_handle(net):
    silent = request_text("198.51.100.2", 4, 1, timeout_ms=5000)
    served = service(net, *([silent] * 65), "wait", request_text("192.0.2.2", 4, 1))
    assert served.answers[:64] == ["handle %d" % h for h in range(4096, 4160)]
    assert served.answers[64] == "refused -11"
    assert served.answers[65] == "handle 4160", "a slot frees when a probe ends"
    assert len(served.results) == 65


# A loaded machine delays either program by scheduling latency; the tolerance is wide enough
# for that and still catches a wrong unit or a round trip taken at the wrong moment.
TOLERANCE_MS = 20.0


def test_round_trip_times_agree_with_debian_ping_for_a_slow_host(net, responder):
    responder("--delay-ms", "40")
    served = service(net, request_text("203.0.113.2", 4, 8, interval_ms=200, timeout_ms=2000))
    result = served.results[served.handles[0]]
    assert (result["requests"], result["timeouts"]) == (8, 0)
    ours = result["avgReplyUs"] / 1000.0
    completed = run(*net.probe.exec_args(DEBIAN_PING, "-n", "-q", "-c", "8", "-i", "0.2",
                                         "203.0.113.2"), timeout=300)
    debian = float(re.search(r"= [\d.]+/([\d.]+)/", completed.stdout).group(1))
    assert debian >= 40.0, "the responder holds every reply back 40 ms"
    # The engine reads the send time after the send returns, so a thread preempted in between
    # measures a little less than the real round trip.
    assert ours > 40.0 - TOLERANCE_MS and abs(ours - debian) < TOLERANCE_MS, (ours, debian)
