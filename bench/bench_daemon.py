"""What the Python benchmarks share: a linkKeeper started against the tests' bus server, with
the node facts it waits for, and stopped by its PID."""

import os
import signal
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "integration"))
from trelbus import BusServer  # noqa: E402


def stop(proc, sig=signal.SIGTERM):
    """Ends one process we started, by its PID; its standard output when it was piped."""
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        out, _ = proc.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
    return out


def start_daemon(daemon, log_path, env):
    """linkKeeper connected to a bus server of its own: (process, server, connection)."""
    os.makedirs("/run/yeb", exist_ok=True)  # the sandbox's private /run
    for name, text in (("nodeType", "controller\n"), ("nodeName", "bench\n")):
        Path("/run/yeb", name).write_text(text)
    server = BusServer()
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([daemon, "-c", "-s", server.address], stdout=log,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                env=dict(os.environ, **env))
    conn = server.accept(30)
    if conn is None:
        stop(proc)
        sys.exit("linkKeeper did not connect; see %s" % log_path)
    conn.read_identity()
    return proc, server, conn


def in_nm_sandbox(main, usage, least_args):
    """Runs main inside scripts/nm-sandbox.sh (a private NetworkManager, D-Bus and /run): at
    once when already there, else by running this program again inside it."""
    if os.environ.get("LK_NM_SANDBOX") == "1":
        main()
        return
    if len(sys.argv) < least_args:
        sys.exit(usage)
    repo = Path(__file__).resolve().parents[1]
    os.execv(str(repo / "scripts" / "nm-sandbox.sh"),
             ["nm-sandbox.sh", "run", "/usr/bin/python3", "-B"] + sys.argv)
