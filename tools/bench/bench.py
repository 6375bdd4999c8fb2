#!/usr/bin/env python3
"""Measures the service and the engineer's tool side by side on this machine and
prints each figure as a ratio against its baseline measured in the same run.

Not a test: it asserts nothing. scripts/bench builds the programs and runs it.
Set TAXVAULT_BUILD_DIR to use another build directory.
"""

import argparse
import http.client
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "system"))
sys.path.insert(0, str(REPO / "tools" / "operator-sim"))

import fiscal  # noqa: E402
from harness import PROBE_BINARY, PROBE_CODE, Vault, build_dir  # noqa: E402
from sim import Answer, OperatorSim  # noqa: E402
from vaultdb import KEY_STATEMENT, VaultDb  # noqa: E402

PRODUCTION_LOG = {"TAXVAULT_LOG_LEVEL": "info"}

COUNTERS = json.dumps({"CHANGE": 125.5, "MONEY_PLACEMENT_DEPOSIT": 20000, "MONEY_PLACEMENT_WITHDRAWAL": 15000,
                       "OPERATION_BUY": {"PAYMENT_CASH": 1520.25},
                       "OPERATION_SELL": {"PAYMENT_CARD": 183211.75, "PAYMENT_CASH": 95210.5,
                                          "PAYMENT_MOBILE": 20110},
                       "OPERATION_SELL_RETURN": {"PAYMENT_CASH": 310}}, separators=(",", ":"), sort_keys=True)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


class Installation:
    """A service with its own root and simulator, for one measurement."""

    def __init__(self, workdir: Path, name: str, config=None):
        self.sim = OperatorSim().start()
        self.vault = Vault(workdir / name, self.sim.port)
        self.vault.configure({"Connection:readTimeout": 5000, "DataSending:operationTimeout": 5000})
        if config:
            self.vault.configure(config)

    def start(self):
        self.vault.start(env=PRODUCTION_LOG)
        self.connection = http.client.HTTPConnection("127.0.0.1", self.vault.service_port, timeout=60)
        return self

    def post(self, command, document=None):
        payload = {"command": command}
        if document is not None:
            payload["object"] = document
        body = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.connection.request("POST", "/", body=body, headers={"Content-Type": "application/json"})
        response = self.connection.getresponse()
        reply = json.loads(response.read().decode("utf-8"))
        return reply

    def timed(self, command, document=None):
        started = time.perf_counter()
        reply = self.post(command, document)
        return time.perf_counter() - started, reply

    def stop(self):
        if getattr(self, "connection", None):
            self.connection.close()
        self.vault.stop()
        self.sim.stop()


# ---- the floor: one loopback round trip on a new connection plus one durable commit

class RoundTripFloor:
    """One new-connection loopback round trip with a frame of the given size:
    connect, send the frame, read a short reply, close."""

    def __init__(self, frame_size: int):
        self.frame = b"\1" * frame_size
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(16)
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            with conn:
                got = 0
                while got < len(self.frame):
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    got += len(chunk)
                conn.sendall(b"\0" * 64)

    def sample(self) -> float:
        started = time.perf_counter()
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(self.frame)
            s.recv(64)
        return time.perf_counter() - started

    def close(self):
        self.server.close()


class CommitFloor:
    """One durable commit (WAL, synchronous=FULL) of a counters-sized row on a
    SQLCipher file in the given folder."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.db = VaultDb(folder / "floor.db", create=True)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=FULL")
        self.db.execute("CREATE TABLE t (data JSON)")

    def sample(self) -> float:
        started = time.perf_counter()
        self.db.execute("INSERT INTO t(data) VALUES(?)", (COUNTERS * 3,))
        return time.perf_counter() - started

    def close(self):
        self.db.close()
        for p in self.folder.glob("floor.db*"):
            p.unlink()


# ---- online receipts

class CannedOperator:
    """An operator's server that answers at once: every frame gets the same
    reply, one the simulator built for a receipt of the same installation.
    The simulator's parsing and bookkeeping would otherwise be measured too."""

    def __init__(self, port: int, reply: bytes):
        self.reply = reply
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        # One connection at a time, as the floor's server: the service sends one
        # frame per connection and closes it once the reply has come.
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            try:
                self._serve(conn)
            except OSError:
                pass

    def _serve(self, conn):
        with conn:
            data = b""
            while len(data) < 18:  # the header, which carries the frame's length
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            length = int.from_bytes(data[4:8], "little")
            while len(data) < length:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            conn.sendall(self.reply)
            while conn.recv(4096):  # until the service closes
                pass

    def stop(self):
        self.listener.close()


class LeanClient:
    """One keep-alive HTTP connection that sends a request encoded beforehand and
    reads the reply by its Content-Length: the time measured is the service's,
    not the client library's (http.client parses every header block with the
    email package, about 0.2 ms per request here)."""

    def __init__(self, port: int):
        self.port = port
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def request(self, command, document) -> bytes:
        body = json.dumps({"command": command, "object": document}, ensure_ascii=False).encode("utf-8")
        return (b"POST / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                b"Content-Length: %d\r\n\r\n" % (self.port, len(body))) + body

    def timed(self, request: bytes):
        started = time.perf_counter()
        self.sock.sendall(request)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("the service closed the connection")
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        length = next(int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")
                      if line.lower().startswith(b"content-length:"))
        while len(body) < length:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("the service closed the connection")
            body += chunk
        return time.perf_counter() - started, body

    def close(self):
        self.sock.close()


def service_cpu(pid: int):
    """The process's user and system time so far, in seconds."""
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def online_receipts(workdir: Path, count: int, turns: int = 10):
    """Receipt latencies and the floor's two parts, measured in turns (a block
    of receipts, then a block of each floor) so that all of them see the same
    machine: on a shared virtual machine the disk and the scheduler drift
    within seconds."""
    inst = Installation(workdir, "receipts").start()
    canned = rtt = commit = client = None
    try:
        for _ in range(20):  # warm up
            inst.post("commandTicket", fiscal.ticket())
        frame_size = max(len(f.raw) for f in inst.sim.frames)
        reply = inst.sim.frames[-1].reply
        inst.sim.stop()
        canned = CannedOperator(inst.sim.port, reply)
        for _ in range(5):  # the first connections to the new server
            inst.post("commandTicket", fiscal.ticket())
        client = LeanClient(inst.vault.service_port)
        request = client.request("commandTicket", fiscal.ticket())
        rtt, commit = RoundTripFloor(frame_size), CommitFloor(workdir)
        times, rtts, commits = [], [], []
        cpu, sent = [0.0, 0.0], 0
        for turn in range(turns):
            started = service_cpu(inst.vault.process.pid)
            # The floor's turn leaves caches and the scheduler cold for the
            # service: the first receipts after it are not the steady state.
            for _ in range(3):
                client.timed(request)
            measured = count // turns + (1 if turn < count % turns else 0)
            for _ in range(measured):
                elapsed, body = client.timed(request)
                assert json.loads(body)["kkmInfoObject"]["serviceStatus"] == 0, body
                times.append(elapsed)
            ended = service_cpu(inst.vault.process.pid)
            cpu = [total + end - start for total, start, end in zip(cpu, started, ended)]
            sent += 3 + measured
            rtts.extend(rtt.sample() for _ in range(30))
            commits.extend(commit.sample() for _ in range(20))
        return times, statistics.median(rtts), statistics.median(commits), [c / sent for c in cpu]
    finally:
        for part in (client, rtt, commit, canned):
            if part:
                part.close() if hasattr(part, "close") else part.stop()
        inst.stop()


# ---- syncs per receipt

def count_syncs(pid: int, action):
    trace = Path(tempfile.mkstemp(prefix="bench-strace-")[1])
    tracer = subprocess.Popen(["strace", "-f", "-c", "-e", "trace=fsync,fdatasync,sync_file_range,msync",
                               "-o", str(trace), "-p", str(pid)], stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # attached to every thread
    action()
    time.sleep(0.3)
    tracer.send_signal(signal.SIGINT)
    tracer.wait(10)
    counts = {}
    for line in trace.read_text().splitlines():
        fields = line.split()
        if fields and fields[-1] in ("fsync", "fdatasync", "sync_file_range", "msync"):
            # % time, seconds, usecs/call, calls, [errors,] syscall
            counts[fields[-1]] = int(fields[3])
    trace.unlink()
    return counts


def syncs_per_receipt(workdir: Path, count: int):
    inst = Installation(workdir, "syncs", {"DataSending:reconnectionTimeout": 3600000}).start()
    try:
        for _ in range(5):
            inst.post("commandTicket", fiscal.ticket())
        online = count_syncs(inst.vault.process.pid,
                             lambda: [inst.post("commandTicket", fiscal.ticket()) for _ in range(count)])
        # The server stops answering: the first receipt opens autonomous mode, the rest are queued directly.
        inst.sim.default = Answer(action="close")
        inst.post("commandTicket", fiscal.ticket())
        queued = count_syncs(inst.vault.process.pid,
                             lambda: [inst.post("commandTicket", fiscal.ticket()) for _ in range(count)])
        return online, queued
    finally:
        inst.stop()


# ---- closing a shift with a small and a full fiscal memory

def fill_fiscal_memory(vault: Vault, records: int):
    with vault.db() as db:
        db.execute_script("BEGIN;")
        for number in range(1, records + 1):
            db.execute("INSERT INTO fiscalmemory(shiftnum, data) VALUES(?, ?)", (number, COUNTERS))
        db.execute_script("COMMIT;")


def close_shift_times(workdir: Path, sizes, closes: int):
    """Median close-shift time for a fiscal memory of each size. The
    installations close their shifts in turns, so that all of them see the
    same machine."""
    installations = []
    try:
        for records in sizes:
            inst = Installation(workdir, "close-%d" % records, {"FiscalMemory:fiscalMemoryRecordsLimit": records})
            installations.append(inst)
            inst.vault.start(env=PRODUCTION_LOG)
            inst.vault.stop()
            fill_fiscal_memory(inst.vault, records)
            inst.start()
        times = [[] for _ in installations]
        for shift in range(closes):
            # Each turn in the other order: neither size always goes first.
            order = list(range(len(installations)))
            if shift % 2:
                order.reverse()
            for index in order:
                inst, records = installations[index], sizes[index]
                inst.post("commandTicket", fiscal.ticket())
                elapsed, reply = inst.timed("commandCloseShift", fiscal.close_shift(shift=records + shift + 1))
                assert reply["kkmInfoObject"]["serviceStatus"] == 0, reply
                times[index].append(elapsed)
        return [statistics.median(t) for t in times]
    finally:
        for inst in installations:
            inst.stop()


# ---- the engineer's tool against the sqlcipher shell

def run_measured(command, stdin_text=None, env=None):
    """Wall time and peak resident memory (KiB) of one run; output is discarded.
    GNU time reports the memory: the rusage of a child forked from this
    interpreter would count the interpreter's own pages."""
    with tempfile.NamedTemporaryFile(prefix="bench-time-") as report:
        started = time.perf_counter()
        process = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                                 input=stdin_text.encode() if stdin_text is not None else None,
                                 stdin=subprocess.DEVNULL if stdin_text is None else None,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        elapsed = time.perf_counter() - started
        peak = int(Path(report.name).read_text().split()[-1])
    return elapsed, peak, process.returncode


def tool_against_shell(workdir: Path, records: int, runs: int):
    inst = Installation(workdir, "probe")
    inst.vault.start(env=PRODUCTION_LOG)
    inst.vault.stop()
    fill_fiscal_memory(inst.vault, records)
    inst.sim.stop()
    env = dict(os.environ, TAXVAULT_ROOT=str(inst.vault.root), TAXVAULT_LOG_LEVEL="info")
    probe = [str(build_dir() / PROBE_BINARY), PROBE_CODE, "fiscalmemory"]
    shell = ["sqlcipher", str(inst.vault.db_path)]
    query = "%s\nSELECT * FROM fiscalmemory;\n" % KEY_STATEMENT
    tool_runs = [run_measured(probe, env=env) for _ in range(runs)]
    shell_runs = [run_measured(shell, stdin_text=query) for _ in range(runs)]
    assert all(r[2] == 0 for r in tool_runs + shell_runs)

    # One queued message of 160,000 escapes, as another JSON writer stores Cyrillic text.
    escaped = '{"command":1,"request":{"name":"%s"}}' % ("\\u0410" * 160000)
    with inst.vault.db() as db:
        db.execute("INSERT INTO messages(data) VALUES(?)", (escaped,))
        message_id = db.query("SELECT max(messageid) FROM messages")[0][0]
    message = run_measured([str(build_dir() / PROBE_BINARY), PROBE_CODE, "message", str(message_id)], env=env)
    return (statistics.median(r[0] for r in tool_runs), max(r[1] for r in tool_runs),
            statistics.median(r[0] for r in shell_runs), max(r[1] for r in shell_runs), message[0])


def machine():
    cpu = ""
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    return "%s, %d CPUs, %s" % (cpu, os.cpu_count(), platform.platform())


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--receipts", type=int, default=500)
    parser.add_argument("--sync-receipts", type=int, default=100)
    parser.add_argument("--records", type=int, default=10000)
    parser.add_argument("--closes", type=int, default=40)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--receipts-only", action="store_true", help="measure the online receipt only")
    args = parser.parse_args(argv)

    workdir = Path(tempfile.mkdtemp(prefix="taxvault-bench-"))
    try:
        print("machine:", machine())
        print("storage:", subprocess.run(["df", "-T", str(workdir)], capture_output=True, text=True)
              .stdout.splitlines()[-1])

        times, rtt, commit, cpu = online_receipts(workdir, args.receipts)
        floor = rtt + commit
        p50, p99 = percentile(times, 0.50), percentile(times, 0.99)
        print("online receipt over %d receipts on one keep-alive connection:" % args.receipts)
        print("  p50 %.2f ms, p99 %.2f ms; floor %.2f ms (round trip %.2f ms + durable commit %.2f ms)"
              % (p50 * 1e3, p99 * 1e3, floor * 1e3, rtt * 1e3, commit * 1e3))
        print("  service processor time per receipt: user %.2f ms, system %.2f ms" % (cpu[0] * 1e3, cpu[1] * 1e3))
        print("  p50 / floor = %.2f (target <= 3)" % (p50 / floor))
        print("  p99 / floor = %.2f (target <= 5)" % (p99 / floor))

        if args.receipts_only:
            return 0

        online, queued = syncs_per_receipt(workdir, args.sync_receipts)
        for label, counts, target in (("online", online, 2), ("queued", queued, 1)):
            total = counts.get("fsync", 0) + counts.get("fdatasync", 0)
            print("syncs per %s receipt: %.2f (fsync %.2f, fdatasync %.2f; target <= %d)"
                  % (label, total / args.sync_receipts, counts.get("fsync", 0) / args.sync_receipts,
                     counts.get("fdatasync", 0) / args.sync_receipts, target))

        small, full = close_shift_times(workdir, (10, args.records), args.closes)
        print("close shift: %.2f ms at %d records, %.2f ms at 10; ratio %.2f (target <= 1.2)"
              % (full * 1e3, args.records, small * 1e3, full / small))

        tool, tool_kib, shell, shell_kib, message = tool_against_shell(workdir, args.records, args.runs)
        print("vaultprobe fiscalmemory on %d records: %.0f ms, peak %.1f MB; sqlcipher shell %.0f ms, peak %.1f MB;"
              " ratio %.2f (target <= 2)"
              % (args.records, tool * 1e3, tool_kib / 1024, shell * 1e3, shell_kib / 1024, tool / shell))
        print("vaultprobe message of 160,000 escapes: %.0f ms" % (message * 1e3))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
