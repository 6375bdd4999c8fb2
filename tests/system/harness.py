"""Runs the real taxvault binary under a temporary TAXVAULT_ROOT."""

import functools
import json
import os
import pwd
import re
import signal
import socket
import subprocess
import time
import urllib.request
from pathlib import Path
from typing import Dict, Optional

from vaultdb import VaultDb

REPO = Path(__file__).resolve().parents[2]
FAKETIME_LIBRARY = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

def build_dir() -> Path:
    return Path(os.environ.get("TAXVAULT_BUILD_DIR", str(REPO / "build")))


@functools.lru_cache(maxsize=None)
def sanitized() -> bool:
    """Whether the build under test runs under AddressSanitizer (SANITIZE=1 scripts/build)."""
    cache = build_dir() / "CMakeCache.txt"
    return cache.is_file() and "TAXVAULT_SANITIZE:BOOL=ON" in cache.read_text(errors="replace")


# A sanitizer's report: an invalid access, or leaks found when the program ended.
SANITIZER_REPORT = re.compile(r"^==\d+==ERROR: (?:AddressSanitizer|LeakSanitizer).*$", re.M)

# Instrumented code starts and stops several times slower.
START_TIMEOUT = 15.0 * (3 if sanitized() else 1)
STOP_TIMEOUT = 10.0 * (3 if sanitized() else 1)
HTTP_TIMEOUT = 60.0


def service_binary() -> Path:
    return build_dir() / "service" / "taxvault"


# The tests' own build of the engineer's tool knows this access code.
PROBE_BINARY = Path("tests") / "probe" / "vaultprobe_test"
PROBE_CODE = "ключ-4711"


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port: int) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for(predicate, timeout: float, interval: float = 0.05, what: str = "condition"):
    """Polls predicate until it returns something true; bounded by timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("%s not reached within %.1f s" % (what, timeout))
        time.sleep(interval)


class Vault:
    """One installation of the service: its configuration, data directory,
    database and process."""

    def __init__(self, root: Path, operator_port: int, device_id: int = 17):
        self.root = Path(root)
        self.conf_dir = self.root / "tillbase" / "cash" / "conf"
        self.data_dir = self.root / "tillbase" / "cash" / "data" / "taxvault"
        self.conf_dir.mkdir(parents=True, exist_ok=True)
        self.data_dir.mkdir(parents=True, exist_ok=True)
        self.service_port = free_port()
        self.config: Dict[str, object] = {
            "KKM:deviceId": device_id,
            "Connection:host": "127.0.0.1",
            "Connection:port": operator_port,
            "Connection:servicePort": self.service_port,
            "Connection:connectionTimeout": 500,
            "Connection:writeTimeout": 500,
            "Connection:readTimeout": 1000,
            "DataSending:operationTimeout": 1000,
            # Workers stay idle unless a test shortens this.
            "DataSending:reconnectionTimeout": 60000,
            "DataSending:offlineModeLimit": 72,
        }
        self.process: Optional[subprocess.Popen] = None
        self.runs = []  # log file of every start, in order
        self.exit_codes = []

    # ---- configuration

    def configure(self, values: Dict[str, object]) -> "Vault":
        """Sets configuration keys ("Section:name"); None removes a key."""
        for key, value in values.items():
            if value is None:
                self.config.pop(key, None)
            else:
                self.config[key] = value
        if "Connection:servicePort" in values and values["Connection:servicePort"] is not None:
            self.service_port = int(values["Connection:servicePort"])
        return self

    def write_config(self, by_rename: bool = False) -> Path:
        """by_rename: a new file renamed over the old one, as editors and sed -i do."""
        sections: Dict[str, Dict[str, object]] = {}
        for key, value in self.config.items():
            section, name = key.split(":", 1)
            sections.setdefault(section, {})[name] = value
        lines = []
        for section, values in sections.items():
            lines.append("[%s]" % section)
            for name, value in values.items():
                if isinstance(value, bool):
                    value = "true" if value else "false"
                lines.append("%s=%s" % (name, value))
            lines.append("")
        path = self.conf_dir / "taxvault.ini"
        if by_rename:
            staged = path.with_name(path.name + ".new")
            staged.write_text("\n".join(lines), encoding="utf-8")
            os.replace(staged, path)
        else:
            path.write_text("\n".join(lines), encoding="utf-8")
        return path

    @property
    def device_id(self) -> int:
        return int(self.config.get("KKM:deviceId", 0))

    @property
    def db_path(self) -> Path:
        return self.data_dir / ("fr_%d.db" % self.device_id)

    def db(self) -> VaultDb:
        return VaultDb(self.db_path)

    # ---- process

    def spawn(self, faketime: Optional[str] = None, env: Optional[Dict[str, str]] = None,
              movable_clock: bool = False, config: bool = True, user: Optional[str] = None,
              journal: bool = False) -> subprocess.Popen:
        """faketime: a fixed libfaketime setting; movable_clock: a wall clock that
        set_clock() moves while the service runs; config: write the configuration
        file first (otherwise whatever is there, or nothing, counts); user: run as
        this user and its group (the tests run as root); journal: its standard
        error counts as the journal's stream, so each line carries the priority
        `journalctl -p` selects by."""
        binary = service_binary()
        if not binary.exists():
            raise AssertionError("taxvault binary not found at %s (set TAXVAULT_BUILD_DIR)" % binary)
        assert self.process is None, "service already running"
        if config:
            self.write_config()
        environment = dict(os.environ)
        environment["TAXVAULT_ROOT"] = str(self.root)
        environment.setdefault("TAXVAULT_LOG_LEVEL", "debug")
        if faketime is not None or movable_clock:
            environment["LD_PRELOAD"] = FAKETIME_LIBRARY
            if movable_clock:
                self.set_clock("+0")
                environment["FAKETIME_TIMESTAMP_FILE"] = str(self.clock_file)
            else:
                environment["FAKETIME"] = faketime
            # Timers and elapsed-time clocks keep real time; only the wall clock moves.
            environment["FAKETIME_DONT_FAKE_MONOTONIC"] = "1"
            environment["FAKETIME_NO_CACHE"] = "1"
            # A sanitizer build wants its runtime loaded first; the preload comes before it.
            environment.setdefault("ASAN_OPTIONS", "verify_asan_link_order=0")
        if env:
            environment.update(env)
        log_path = self.root / ("service-%d.log" % (len(self.runs) + 1))
        self.runs.append(log_path)
        with open(log_path, "wb") as log:
            if journal:
                info = os.fstat(log.fileno())
                environment["JOURNAL_STREAM"] = "%d:%d" % (info.st_dev, info.st_ino)
            as_user = {} if user is None else {"user": user, "group": pwd.getpwnam(user).pw_gid, "extra_groups": []}
            self.process = subprocess.Popen([str(binary)], stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, env=environment, cwd=str(self.root),
                                            **as_user)
        return self.process

    def start(self, faketime: Optional[str] = None, env: Optional[Dict[str, str]] = None,
              movable_clock: bool = False, user: Optional[str] = None, journal: bool = False) -> "Vault":
        """Starts the service and waits until start-up is complete and its HTTP port answers."""
        process = self.spawn(faketime=faketime, env=env, movable_clock=movable_clock, user=user,
                             journal=journal)
        deadline = time.monotonic() + START_TIMEOUT
        # The port opens before the main Sender's start-up and the signal handlers.
        while "Таксволт запущен" not in self.log() or not port_open(self.service_port):
            if process.poll() is not None:
                self.process = None
                self.exit_codes.append(process.returncode)
                raise AssertionError("taxvault ended with %s before opening its port:\n%s"
                                     % (process.returncode, self.log_tail()))
            if time.monotonic() > deadline:
                raise AssertionError("taxvault did not open port %d within %.0f s:\n%s"
                                     % (self.service_port, START_TIMEOUT, self.log_tail()))
            time.sleep(0.05)
        return self

    @property
    def clock_file(self) -> Path:
        return self.root / "faketime"

    def set_clock(self, offset: str) -> None:
        """Moves the wall clock of a service started with movable_clock, e.g. "+73h"
        (only forward: a clock set back blocks the service)."""
        # Replaced whole: libfaketime reads the file at every clock call.
        staged = self.clock_file.with_suffix(".new")
        staged.write_text(offset + "\n", encoding="ascii")
        os.replace(staged, self.clock_file)

    def wait_exit(self, timeout: float) -> int:
        try:
            rc = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("taxvault did not end within %.0f s:\n%s" % (timeout, self.log_tail()))
        self.process = None
        self.exit_codes.append(rc)
        return rc

    def stop(self, timeout: float = STOP_TIMEOUT) -> int:
        """SIGTERM, then the exit code."""
        if self.process is None:
            return self.exit_codes[-1] if self.exit_codes else 0
        self.process.send_signal(signal.SIGTERM)
        return self.wait_exit(timeout)

    def kill(self) -> None:
        if self.process is not None:
            self.process.kill()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                pass
            self.exit_codes.append(self.process.returncode)
            self.process = None

    def restart(self, **kwargs) -> "Vault":
        self.stop()
        return self.start(**kwargs)

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def probe(self, *words: str) -> subprocess.CompletedProcess:
        """Runs the engineer's tool against this installation's database."""
        environment = dict(os.environ, TAXVAULT_ROOT=str(self.root))
        result = subprocess.run([str(build_dir() / PROBE_BINARY), PROBE_CODE, *words], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, env=environment, timeout=30)
        assert not SANITIZER_REPORT.search(result.stderr), result.stderr[-5000:]
        return result

    # ---- logs

    def log(self, run: int = -1) -> str:
        if not self.runs:
            return ""
        return self.runs[run].read_text(encoding="utf-8", errors="replace")

    def all_logs(self) -> str:
        return "".join(p.read_text(encoding="utf-8", errors="replace") for p in self.runs if p.exists())

    def sanitizer_reports(self) -> list:
        """The first line of each sanitizer report in the service's logs."""
        return SANITIZER_REPORT.findall(self.all_logs())

    def log_tail(self, lines: int = 60) -> str:
        return "\n".join(self.log().splitlines()[-lines:])

    def wait_log(self, text: str, timeout: float, count: int = 1) -> str:
        return wait_for(lambda: self.log().count(text) >= count and self.log(), timeout,
                        what="log line %r x%d" % (text, count))

    # ---- HTTP

    def http(self, body: bytes, timeout: float = HTTP_TIMEOUT):
        """Posts raw bytes; returns (status, headers, body bytes)."""
        request = urllib.request.Request("http://127.0.0.1:%d/" % self.service_port, data=body, method="POST",
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, response.headers, response.read()

    def post(self, command: str, obj: Optional[dict] = None, timeout: float = HTTP_TIMEOUT) -> dict:
        payload = {"command": command}
        if obj is not None:
            payload["object"] = obj
        status, _, body = self.http(json.dumps(payload, ensure_ascii=False).encode("utf-8"), timeout)
        assert status == 200
        return json.loads(body.decode("utf-8"))

    def status_block(self) -> dict:
        """The current status block, read with a local command that never leaves the machine."""
        return self.post("getLastServiceRequest")["kkmInfoObject"]

    def wait_status(self, status: int, timeout: float) -> dict:
        return wait_for(lambda: (lambda b: b if b["serviceStatus"] == status else None)(self.status_block()),
                        timeout, interval=0.1, what="service status %d" % status)
