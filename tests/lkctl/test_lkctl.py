"""lkctl on the control socket of the real linkKeeper in the NetworkManager sandbox, with a bus
server at the same time or none; output read in a real terminal (tmux) and parsed (--json)."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration"))
from conftest import stop_process, wait_until  # noqa: E402
from trelbus import BusServer  # noqa: E402

LKCTL = os.environ.get("LK_LKCTL", "")
SANDBOX = os.environ.get("LK_NM_SANDBOX") == "1"
in_sandbox = pytest.mark.skipif(not SANDBOX, reason="needs nm-sandbox.sh run")
pytestmark = pytest.mark.skipif(not os.access(LKCTL, os.X_OK), reason="LK_LKCTL names no program")


def lkctl(*args, prefix=()):
    return subprocess.run([*prefix, LKCTL, *args], capture_output=True, text=True, timeout=120,
                          stdin=subprocess.DEVNULL)


def lkctl_json(*args):
    named = () if "--raw" in args else ("--json",)
    return json.loads(subprocess.check_output([LKCTL, *named, *args], text=True, timeout=120))


def start_daemon(log_path, *args):
    """linkKeeper with the veth-as-Ethernet shim, so that request 3 takes veth links."""
    env = dict(os.environ, LD_PRELOAD=os.environ["LK_VETH_AS_ETHERNET"])
    with open(log_path, "wb") as log:
        return subprocess.Popen([os.environ["LK_DAEMON"], "-c", *args], stdout=log, env=env,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)


@pytest.fixture(scope="module", autouse=True)
def node():
    for name, text in (("nodeType", "controller"), ("nodeName", "node-a"),  # node facts, classes
                       ("boot/netif_external", "veth0")) if SANDBOX else ():  # scratch /run only
        os.makedirs("/run/yeb/boot", exist_ok=True)
        subprocess.run(["sh", "-c", 'echo "$0" >"$1"', text, "/run/yeb/" + name], check=True)


@pytest.fixture(scope="module")
def lk(tmp_path_factory):
    """A daemon with no bus server at all on the default socket; veth0 set through lkctl."""
    daemon = start_daemon(tmp_path_factory.mktemp("lk") / "log", "-s", "127.0.0.1:9")
    try:
        # The control socket comes before the daemon's NetworkManager client is ready.
        wait_until(lambda: os.path.exists("/run/linkKeeper/control") and
                   lkctl("interfaces").returncode == 0, what="control socket and NetworkManager")
        done = lkctl("set-connection", "veth0", "ip4", "manual", "192.0.2.2/28", "gw",
                     "192.0.2.1", "dns", "192.0.2.1", "--wait", "30")
        assert done.returncode == 0, done.stderr
        assert "192.0.2.2/28" in subprocess.check_output(["ip", "addr", "show", "veth0"], text=True)
        yield daemon
    finally:
        stop_process(daemon)


@in_sandbox
def test_bus_and_control_socket_are_served_at_once(tmp_path):
    server, sock = BusServer(), str(tmp_path / "control")
    daemon = start_daemon(tmp_path / "log", "-C", sock, "-s", server.address)
    try:
        (conn := server.accept()).read_identity()
        wait_until(lambda: lkctl("-S", sock, "interfaces").returncode == 0, what="the devices")
        change = subprocess.Popen([LKCTL, "-S", sock, "set-connection", "veth1", "ip4", "manual",
                                   "192.0.2.19/28", "--wait", "30"], stderr=subprocess.PIPE)
        assert conn.request(7).status == 0  # the bus is served while lkctl waits
        assert change.wait(timeout=90) == 0, change.stderr.read()
        listed = lkctl_json("-S", sock, "interfaces")
        assert [d["name"] for d in listed] == [d["name"] for d in conn.request(1).json()]
        assert conn.request(4, b"veth1\0").json()["ip4"]["address"] == "192.0.2.19"
        assert lkctl_json("-S", sock, "profile", "veth1")["ip4"]["address"] == "192.0.2.19"
    finally:
        stop_process(daemon)
        server.close()


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534"]


@in_sandbox
@pytest.mark.parametrize("groups", ["--clear-groups", "--groups=netdev"])
def test_group_members_may_read_and_only_root_may_change(lk, groups):
    done = lkctl("interfaces", prefix=[*NOBODY, groups])
    if groups == "--clear-groups":  # the socket is 0660 root:netdev
        assert done.returncode == 1 and "Permission denied" in done.stderr, done
        return
    assert done.returncode == 0 and "veth0" in done.stdout, done
    done = lkctl("disable", "veth0", prefix=[*NOBODY, groups])
    assert done.returncode == 1 and "only root may change settings" in done.stderr, done


def test_lkctl_sends_nothing_to_a_socket_root_does_not_serve():
    directory = tempfile.mkdtemp(prefix="lk-planted-")  # where nobody may write
    os.chmod(directory, 0o777)
    path = os.path.join(directory, "control")
    script = ("import socket, sys; s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); "
              "s.listen(); print(len(s.accept()[0].recv(100)))")
    listener = subprocess.Popen([*NOBODY, "--clear-groups", sys.executable, "-c", script, path],
                                stdout=subprocess.PIPE, text=True)
    try:
        wait_until(lambda: os.path.exists(path), what="the planted listener")
        done = lkctl("-S", path, "set-connection", "veth0", "ip4", "auto")
        assert done.returncode == 1 and "not served by root" in done.stderr, done
        assert listener.communicate(timeout=30)[0].strip() == "0"  # it got no byte
    finally:
        stop_process(listener)
        shutil.rmtree(directory)


@pytest.fixture(scope="module")
def terminal(tmp_path_factory):
    """A command run in a 200x50 tmux window: (exit status, screen with escapes, without)."""
    tmux = ["tmux", "-S", str(tmp_path_factory.mktemp("tmux") / "socket")]
    subprocess.run(tmux + ["new-session", "-d", "-x", "200", "-y", "50", ";", "set-option", "-g",
                           "remain-on-exit", "on"], check=True)
    pid = int(subprocess.check_output(tmux + ["display-message", "-p", "#{pid}"]))

    def run(command):
        pane = subprocess.check_output(tmux + ["new-window", "-d", "-P", "-F", "#{pane_id}",
                                               command + '; echo "[exit $?]"'], text=True).strip()
        capture = lambda *escapes: subprocess.check_output(  # noqa: E731
            tmux + ["capture-pane", "-p", "-S", "-", *escapes, "-t", pane], text=True)
        status = wait_until(lambda: re.search(r"\[exit (\d+)\]", capture()), what="the command")
        return int(status.group(1)), capture("-e"), capture()
    yield run
    os.kill(pid, signal.SIGTERM)


@in_sandbox
@pytest.mark.parametrize("command, patterns, colour", [
    ("lkctl interfaces", [r"NAME +TYPE +CLASS +STATE", r"veth0 +ethernet +external +activated"], 1),
    ("lkctl details veth0", [r"state +activated", r"carrier +yes, \d+ Mbit/s",
                             r"IPv4 +192\.0\.2\.2/28"], 1),
    ("lkctl profile veth0", [r"IPv4 address +192\.0\.2\.2/28", r"IPv4 DNS +192\.0\.2\.1"], 1),
    ("NO_COLOR=1 lkctl interfaces", [r"veth0 +ethernet +external +activated"], 0),
])
def test_human_output_in_a_terminal(lk, terminal, command, patterns, colour):
    status, coloured, plain = terminal(command.replace("lkctl", LKCTL))
    assert status == 0, plain
    for pattern in patterns:
        assert re.search(pattern, plain), (pattern, plain)
    assert ("\x1b[" in coloured) == bool(colour), coloured


@in_sandbox
@pytest.mark.parametrize("args, check", [
    ("--raw interfaces", lambda j: dict(name="veth0", type="ethernet", yebtype="external",
                                        nmdevicestate=100) in j),
    ("interfaces", lambda j: dict(name="veth0", type="ethernet", **{"class": "external"},
                                  state="activated") in j),
    ("--raw details veth0", lambda j: j["ip4settings"]["addressprefixlist"] == ["192.0.2.2/28"]),
    ("--pretty profile veth0", lambda j: j["ip4"]["gateway"] == "192.0.2.1"),
    ("ping 192.0.2.1 -c 3 -i 0.2", lambda j: (j["requests"], j["timeouts"]) == (3, 0)),
])
def test_json_output_parses(lk, args, check):
    assert check(lkctl_json(*args.split()))


@in_sandbox
@pytest.mark.parametrize("args, status, out", [
    ("-t -f name,state interfaces", 0, "veth0:activated\n"),
    ("-t --fields=ipv4,ipv4-gateway details veth0", 0, "ipv4:192.0.2.2/28\nipv4-gateway:192.0.2.1\n"),
    ("-f name,speed interfaces", 2, 'no field "speed"'),
    ("ping -6 2001:db8::99 -c 1", 1, "could not run: Network is unreachable"),
    ("details veth9", 10, "no such interface"), ("confirm 4242", 10, "no such checkpoint"),
    ("-S /nonexistent/control interfaces", 8, "is linkKeeper running?"),
    ("reset", 2, "confirm with --yes"),
    ("modify --verify 192.0.2.14:1 veth0 ip4 +dns 192.0.2.53 --wait 30", 4,  # none there
     "answered no echo request out of the interface; the change was undone"),
])
def test_fields_causes_and_exit_statuses(lk, args, status, out):
    profiles = subprocess.check_output(["nmcli", "-t", "-f", "uuid", "connection"], text=True)
    done = lkctl(*args.split())
    assert done.returncode == status and out in done.stdout + done.stderr, done
    assert subprocess.check_output(["nmcli", "-t", "-f", "uuid", "connection"], text=True) == profiles


@in_sandbox
def test_modify_changes_one_setting_and_set_connection_warns(lk):
    def ip4():
        return lkctl_json("profile", "veth1")["ip4"]
    assert lkctl("set-connection", "veth1", "ip4", "manual", "192.0.2.20/28", "dns", "192.0.2.1",
                 "--wait", "30").returncode == 0
    done = lkctl("modify", "veth1", "ip4", "+dns", "192.0.2.53", "--wait", "30")
    assert done.returncode == 0, done.stderr
    assert ip4() == {"method": "manual", "address": "192.0.2.20", "prefix": 28,
                     "dns": ["192.0.2.1", "192.0.2.53"]}
    done = lkctl("set-connection", "veth1", "ip6", "auto", "--wait", "30")
    assert "no ip4 given, so IPv4 (manual 192.0.2.20/28 today) is disabled" in done.stderr, done
    assert ip4() in (None, {"method": "disabled"})


@in_sandbox
def test_sighup_moves_to_the_bus_server_the_properties_name_now(tmp_path):
    old, new, props = BusServer(), BusServer(), tmp_path / "properties"
    props.write_text("trel.server=%s\n" % old.address)
    sock = str(tmp_path / "control")
    daemon = start_daemon(tmp_path / "log", "-C", sock, "-p", str(props))
    try:
        old.accept().read_identity()
        props.write_text("trel.server=%s\n" % new.address)
        daemon.send_signal(signal.SIGHUP)
        (conn := new.accept()).read_identity()
        assert conn.request(7).status == 0
        assert lkctl("-S", sock, "classes").returncode == 0 and daemon.poll() is None
    finally:
        stop_process(daemon)
        old.close()
        new.close()


@in_sandbox
def test_monitor_names_the_events_and_rollbacks_of_another_client(lk, tmp_path):
    out = tmp_path / "events"
    monitor = subprocess.Popen([LKCTL, "monitor"], stdout=(f := out.open("w")), stderr=f)
    try:
        wait_until(lambda: "monitoring" in out.read_text(), what="the watch")
        done = lkctl("set-connection", "veth1", "ip4", "manual", "192.0.2.18/28", "--wait", "30")
        assert done.returncode == 0, done.stderr
        wait_until(lambda: re.search(r"\d\d:\d\d:\d\d veth1: prepare\n(.*\n)*.*veth1: activated",
                                     out.read_text()), what="the states by name")
        done = lkctl("set-connection", "veth1", "ip4", "manual", "192.0.2.19/28", "--rollback", "60")
        number = re.search(r"checkpoint (\d+):", done.stdout).group(1)
        assert re.fullmatch(r"CHECKPOINT +INTERFACE +SECONDS LEFT\n%s +veth1 +(59|60)\n" % number,
                            lkctl("checkpoints").stdout)
        assert lkctl("-t", "-f", "interface,checkpoint", "checkpoints").stdout == "veth1:%s\n" % (
            number)
        assert lkctl("rollback", number).returncode == 0 and lkctl_json("checkpoints") == []
        wait_until(lambda: "veth1: checkpoint %s rolled back" % number in out.read_text(),
                   what="the rollback, with its number")
        # A pair of links in the sandbox's own network namespace, made and deleted.
        subprocess.run("ip link add lkextra0 type veth peer name lkextra1".split(), check=True)
        wait_until(lambda: "lkextra0: device added (" in out.read_text(), what="device added")
        subprocess.run("ip link del lkextra0".split(), check=True)
        wait_until(lambda: "lkextra0: device removed (" in out.read_text(), what="device removed")
        monitor.send_signal(signal.SIGINT)
        assert monitor.wait(timeout=10) == 0
    finally:
        stop_process(monitor)


@pytest.mark.parametrize("args, status, text", [
    ("", 2, "Usage: lkctl"), ("frobnicate", 2, "unknown command"), ("radio up", 2, "on, off or"),
    ("details", 2, "an interface is needed"), ("enable a/b", 2, "is no interface name"),
    ("set-connection eth0", 2, "nothing to set"), ("confirm x", 2, "checkpoint number"),
    ("set-connection eth0 ip4 manual", 2, "needs ADDRESS/PREFIX"),
    ("set-connection eth0 ip4 manual 192.0.2.300/28", 2, "is no IPv4"),
    ("set-connection eth0 ip4 auto gw 192.0.2.1", 2, "gw needs method manual"),
    ("set-connection eth0 ip6 auto dns ::1 dns ::2 dns ::3", 2, "at most 2 dns"),
    ("set-connection eth0 gw 192.0.2.1", 2, "unknown setting"),
    ("set-connection wlan0 wifi ssid x key short", 2, "key of 8 to 63"),
    ("set-connection eth0 ip4 auto --rollback=4", 2, "from 5 to 3600"),
    ("set-connection --json-payload [1]", 2, "needs a JSON object"),
    ("--timeout x classes", 2, '--timeout takes seconds from 0 to 86400, not "x"'),
    ("-S", 2, "-S needs a value"), ("interfaces --jsn", 2, 'unknown option "--jsn"'),
    ("ping 192.0.2.1 -i 0.001", 2, "-i takes seconds from 0.01 to 3600"),
    ("ping --help", 0, "Usage: lkctl ping HOST"), ("ping 192.0.2.1 -c 65535", 2, "than an hour"),
    ("classes", 8, "cannot reach linkKeeper"), ("--help", 0, "Exit status: 0 done; 1 failed"),
    ("help set-connection", 0, "Example:\n  lkctl set-connection eth0 ip4 manual"),
])
def test_wrong_arguments_are_refused_before_anything_is_sent(args, status, text):
    done = lkctl("-S", "/nonexistent/control", *args.split())  # a socket that does not exist
    assert done.returncode == status and text in done.stdout + done.stderr, done


@in_sandbox
@pytest.mark.parametrize("args, status, text", [
    ("scan veth0", 1, "lkctl: scan veth0: not a Wi-Fi interface, or NetworkManager refused"),
    ("enable veth9", 10, "no such interface, or no profile to activate"),
    ("radio on", 0, "Wi-Fi radio switched on"),
])
def test_daemon_answers_with_their_texts_and_exit_statuses(lk, args, status, text):
    done = lkctl(*args.split())
    assert done.returncode == status and text in done.stdout + done.stderr, done


COMPLETION = os.path.join(os.path.dirname(__file__), "..", "..", "dist", "lkctl.bash-completion")


@pytest.mark.parametrize("line, offered, refused", [
    ("lkctl --socket=/tmp/x inter", "interfaces", "-S"), ("lkctl interfaces --js", "--json", ""),
    ("lkctl set-connection eth0 wifi ssid x ", "keymgt", "gw"), ("lkctl reset -", "--yes", ""),
    ("lkctl modify eth0 ip4 ", "+dns", "ssid"), ("lkctl serve call ", "get-connection", ""),
    ("lkctl set-connection eth0 ip4 ", "link-local", "dhcp"), ("lkctl modify e ip6 ", "shared", ""),
])
def test_completion_follows_the_words_before_it(line, offered, refused):
    script = ('source /usr/share/bash-completion/bash_completion; source "$0"; '
              'read -ra COMP_WORDS <<<"$1"; [[ $1 == *" " ]] && COMP_WORDS+=(""); '
              'COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE=$1; COMP_POINT=${#1}; _lkctl; '
              'printf "%s\\n" "${COMPREPLY[@]}"')
    got = subprocess.check_output(["bash", "-c", script, COMPLETION, line], text=True).split()
    assert offered in got and refused not in got, got
