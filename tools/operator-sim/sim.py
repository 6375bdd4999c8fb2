#!/usr/bin/env python3
"""Simulator of the fiscal data operator's server.

Speaks the 18-byte operator frame over TCP and answers like a server that keeps
the books of each register: receipts get their own ticket numbers and QR texts,
every service answer carries the registration and the last document accepted
from the register. How it answers can be chosen at start and changed while it
runs, through one-line commands (control port, or OperatorSim.control). The
message classes are generated from protocol/proto/ with protoc at run time into
a temporary directory, so nothing generated lives in the tree.

In-process use (system tests):

    sim = OperatorSim()
    sim.start()
    sim.script(Answer(code=15), Answer(action="close"))
    sim.control("code 3 2")
    ...
    frames = sim.wait_for_frames(2, timeout=5)
    sim.stop()

Standalone use: python3 tools/operator-sim/sim.py --help (the README describes it).
"""

import argparse
import atexit
import copy
import dataclasses
import importlib
import json
import os
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

HEADER_LENGTH = 18
SIGNATURE = b"\xa2\x81"
CONSTANT = 203

# Bound on what one frame may claim to carry; a larger length is taken as damage.
MAX_FRAME = 16 * 1024 * 1024

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_PROTO_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "protocol", "proto"))

_protocol_lock = threading.Lock()
_protocol = {}


def load_protocol(proto_dir: str = DEFAULT_PROTO_DIR):
    """Generates the Python classes of the schema files once per process and
    returns the module of the envelope (message_pb2)."""
    proto_dir = os.path.abspath(proto_dir)
    with _protocol_lock:
        if proto_dir in _protocol:
            return _protocol[proto_dir]
        files = sorted(f for f in os.listdir(proto_dir) if f.endswith(".proto"))
        if not files:
            raise RuntimeError("no schema files in %s" % proto_dir)
        out = tempfile.mkdtemp(prefix="operator-sim-")
        atexit.register(shutil.rmtree, out, True)
        result = subprocess.run(
            ["protoc", "-I", proto_dir, "--python_out=" + out] + [os.path.join(proto_dir, f) for f in files],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        if result.returncode != 0:
            raise RuntimeError("protoc failed:\n" + result.stderr)
        sys.path.insert(0, out)
        try:
            module = importlib.import_module("message_pb2")
        finally:
            sys.path.remove(out)
        _protocol[proto_dir] = module
        return module


# ---------------------------------------------------------------- frame

@dataclasses.dataclass(frozen=True)
class Header:
    signature: bytes
    constant: int
    length: int
    device_id: int
    token: int
    package_number: int

    @classmethod
    def parse(cls, data: bytes) -> "Header":
        if len(data) < HEADER_LENGTH:
            raise ValueError("header needs %d bytes, got %d" % (HEADER_LENGTH, len(data)))
        constant, length, device_id, token, package = struct.unpack_from("<HIiIH", data, 2)
        return cls(bytes(data[0:2]), constant, length, device_id, token, package)


def build_header(length: int, device_id: int, token: int, package_number: int) -> bytes:
    return SIGNATURE + struct.pack("<HIIIH", CONSTANT, length & 0xFFFFFFFF, device_id & 0xFFFFFFFF,
                                   token & 0xFFFFFFFF, package_number & 0xFFFF)


@dataclasses.dataclass
class ReceivedFrame:
    """One frame as the simulator received it."""
    raw: bytes
    header: Optional[Header]
    payload: bytes
    request: Any  # ofd.proto.Request parsed partially, or None when it does not parse
    complete: bool  # the request has every required field
    error: Optional[str]
    received_at: float  # time.monotonic() when the frame was complete
    connected_at: float  # time.monotonic() when its connection was accepted
    connection: int
    reply: bytes = b""  # what the simulator sent back
    reply_token: Optional[int] = None
    index: int = 0  # its place among the frames received, from 1

    @property
    def token(self) -> int:
        return self.header.token

    @property
    def package_number(self) -> int:
        return self.header.package_number

    @property
    def device_id(self) -> int:
        return self.header.device_id

    @property
    def command(self) -> Optional[int]:
        if self.request is None or not self.request.HasField("command"):
            return None
        return self.request.command

    def body(self) -> Optional[str]:
        """Name of the one body field set besides command and service."""
        if self.request is None:
            return None
        names = [f.name for f, _ in self.request.ListFields() if f.name not in ("command", "service")]
        return names[0] if len(names) == 1 else (None if not names else ",".join(names))


# ---------------------------------------------------------------- script

@dataclasses.dataclass
class Answer:
    """How to answer one request.

    action:
      answer       a reply frame with a Response
      split        the same reply in two writes, split_at bytes first, then the rest after split_pause
      late         the reply after delay seconds (the client has usually given up by then)
      silent       read the request and never answer; hold the connection until the client closes
      close        close the connection without answering
      garbage      a header followed by bytes that are no protocol-buffer encoding
      header_only  only the 18 header bytes (length field 18)
      short        fewer than 18 bytes, then close
      stream       a header announcing 2 GiB (or length) followed by bytes without end: stream_chunk
                   bytes every stream_pause seconds until the client goes (at most stream_limit seconds)
    """
    code: int = 0
    text: str = ""
    token: Optional[int] = None  # token of the reply header; None: the next one of the simulator
    service: Any = "default"  # "default", None (no service part), or callable(ServiceResponse)
    ticket: Any = "default"  # "default" (for command 1), None, or callable(TicketResponse)
    report: Any = "default"  # "default" (for commands 2, 3, 5), None, or callable(ReportResponse)
    with_result: bool = True
    command: Optional[int] = None  # command of the response; None echoes the request's
    action: str = "answer"
    delay: float = 0.0  # pause before the reply (all actions that send something)
    split_at: int = HEADER_LENGTH + 3
    split_pause: float = 0.3
    length: Any = None  # header length field: None the whole frame, "payload" the payload alone, or a number
    stream_chunk: int = 64 * 1024
    stream_pause: float = 0.0
    stream_limit: float = 20.0
    # Bytes appended to the encoded Response (action answer and split): fields that a generated
    # setter refuses (an enumeration value the schema does not declare), which the parser merges
    # into what came before, or bytes that are no encoding at all.
    tail: bytes = b""
    hold: float = 5.0  # seconds the connection stays open after the reply; 0 closes it at once


ACTIONS = {"answer", "split", "late", "silent", "close", "garbage", "header_only", "short", "stream"}


def fill_required(message) -> None:
    """Sets every required field that is still missing, recursively, to its default,
    so that a reply built from a few fields parses strictly."""
    for field in message.DESCRIPTOR.fields:
        if field.label == field.LABEL_REPEATED:
            if field.message_type is not None:
                for element in getattr(message, field.name):
                    fill_required(element)
            continue
        if field.message_type is not None:
            if field.label == field.LABEL_REQUIRED or message.HasField(field.name):
                child = getattr(message, field.name)
                child.SetInParent()
                fill_required(child)
            continue
        if field.label == field.LABEL_REQUIRED and not message.HasField(field.name):
            if field.enum_type is not None:
                setattr(message, field.name, field.enum_type.values[0].number)
            else:
                setattr(message, field.name, field.default_value)


DEFAULT_REGISTRATION = {
    "kkm": {"point_of_payment_number": "1", "terminal_number": "T-01", "fns_kkm_id": "010101010101",
            "serial_number": "SIM-0001", "kkm_id": "1001"},
    "org": {"title": "ТОО Симулятор", "address": "ул. Тестовая, 1", "inn": "123456789012", "okved": "47111",
            "address_kz": "Тест көшесі, 1"},
}

# Result codes with which a server accepts a document.
ACCEPTING_CODES = (0, 11)
# Actions whose request the server has read and handled, whether or not the client gets the reply.
HANDLING_ACTIONS = ("answer", "split", "late")
# Documents that carry a shift and printed document number: they move the last document info.
NUMBERED_BODIES = {1: "ticket", 2: "close_shift", 6: "money_placement"}
BODY_NAMES = {0: "system", 1: "ticket", 2: "close shift", 3: "report", 5: "info", 6: "money placement"}
BLOCKED_CODE = 15


def apply_registration(reg_info, registration: dict) -> None:
    """Fills a ServiceResponse.RegInfo from {"kkm": {...}, "org": {...}, "pos": {...}} (protocol names)."""
    for part in ("kkm", "org", "pos"):
        if part not in registration:
            continue
        message = getattr(reg_info, part)
        message.SetInParent()
        for name, value in registration[part].items():
            setattr(message, name, value)


def default_service(service) -> None:
    apply_registration(service.reg_info, DEFAULT_REGISTRATION)


def default_ticket(ticket, number: int = 1) -> None:
    ticket.ticket_number = "SIM-TICKET-%d" % number
    ticket.qr_code = ("https://sim.example/ticket/%d" % number).encode("ascii")


def default_report(report) -> None:
    report.report = 0
    z = report.zx_report
    z.shift_number = 1
    for part in (z.date_time, z.open_shift_time):
        part.date.year, part.date.month, part.date.day = 2024, 3, 1
        part.time.hour, part.time.minute, part.time.second = 9, 0, 0


@dataclasses.dataclass
class RegisterBook:
    """What the server knows of one register (device id)."""
    tickets: int = 0  # receipts accepted, over all shifts: the ticket numbers
    shift_documents: Dict[int, int] = dataclasses.field(default_factory=dict)  # shift -> documents accepted
    last: Optional[Tuple[int, int]] = None  # (shift, printed document number) of the last one accepted


@dataclasses.dataclass
class Settings:
    """What the service answers carry besides the result."""
    registration: dict = dataclasses.field(default_factory=lambda: copy.deepcopy(DEFAULT_REGISTRATION))
    taxation: Optional[Tuple[int, List[int]]] = None  # (taxation type, tax percents)
    ads: List[Tuple[int, int, str]] = dataclasses.field(default_factory=list)  # (type, version, text)
    last_document_info: bool = True


CONTROL_HELP = """commands (N: for the next N requests only; without N: until changed):
  normal                     answer every request with code 0 again (drops every behaviour below)
  code C [N]                 answer with result code C
  reject-token [N]           answer with code 2, invalid token
  block | unblock            code 15 until unblocked: the register is blocked by the server
  silent [N]                 read the request and never answer
  close [N]                  close the connection at once, without answering
  garbage [N]                answer with bytes that are no protocol-buffer encoding
  delay SECONDS [N]          answer normally after SECONDS
  taxation TYPE [PERCENT..]  send binded_taxation (type 100-103, tax percents); taxation off
  ad TYPE VERSION TEXT       add an advertisement (type 0-4) to every service answer; ads off
  last-document-info on|off  send last_document_info (on at start)
  status                     what is in force, and the books of each register
  help                       this text"""


class OperatorSim:
    """The operator's server on a TCP port of the loopback address."""

    def __init__(self, port: int = 0, host: str = "127.0.0.1", default: Optional[Answer] = None,
                 proto_dir: str = DEFAULT_PROTO_DIR, first_token: int = 0x1000, verbose: bool = False,
                 settings: Optional[Settings] = None, log=None):
        self.host = host
        self.port = port
        self._normal = default or Answer()
        self.default = self._normal
        self.pb = load_protocol(proto_dir)
        self.verbose = verbose
        self.settings = settings or Settings()
        self._log = log or sys.stdout
        self._next_token = first_token
        self._lock = threading.Condition()
        self._script: List[Answer] = []
        self._frames: List[ReceivedFrame] = []
        self._books: Dict[int, RegisterBook] = {}
        self._connections = 0
        self._listener: Optional[socket.socket] = None
        self._accept_thread: Optional[threading.Thread] = None
        self._handlers: List[threading.Thread] = []
        self._open: List[socket.socket] = []
        self._stopping = threading.Event()
        self._control_listener: Optional[socket.socket] = None
        self._control_thread: Optional[threading.Thread] = None
        self.control_port: Optional[int] = None

    # ---- life cycle

    def start(self) -> "OperatorSim":
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((self.host, self.port))
        listener.listen(16)
        listener.settimeout(0.1)
        self.port = listener.getsockname()[1]
        self._stopping.clear()
        self._listener = listener
        self._accept_thread = threading.Thread(target=self._accept_loop, name="sim-accept", daemon=True)
        self._accept_thread.start()
        return self

    def serve_control(self, port: int = 0) -> int:
        """Listens for one-line control commands on a loopback port; returns the port."""
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(4)
        listener.settimeout(0.1)
        self._control_listener = listener
        self.control_port = listener.getsockname()[1]
        self._control_thread = threading.Thread(target=self._control_loop, name="sim-control", daemon=True)
        self._control_thread.start()
        return self.control_port

    def stop(self) -> None:
        self._stopping.set()
        for thread in (self._accept_thread, self._control_thread):
            if thread is not None:
                thread.join(5)
        self._accept_thread = self._control_thread = None
        for listener in (self._listener, self._control_listener):
            if listener is not None:
                listener.close()
        self._listener = self._control_listener = None
        with self._lock:
            sockets = list(self._open)
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in list(self._handlers):
            t.join(5)
        self._handlers = []

    @property
    def running(self) -> bool:
        return self._listener is not None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- script and record

    def script(self, *answers: Answer) -> None:
        """Answers for the next requests, in order; then the default answers again."""
        for a in answers:
            if a.action not in ACTIONS:
                raise ValueError("unknown action %r" % a.action)
        with self._lock:
            self._script.extend(answers)

    @property
    def scripted(self) -> int:
        """How many scripted answers are still to be given."""
        with self._lock:
            return len(self._script)

    @property
    def frames(self) -> List[ReceivedFrame]:
        with self._lock:
            return list(self._frames)

    def clear(self) -> None:
        with self._lock:
            self._frames.clear()
            self._script.clear()

    def wait_for_frames(self, count: int, timeout: float) -> List[ReceivedFrame]:
        """Waits until at least count frames are recorded; returns all of them.
        Raises AssertionError when they do not arrive in time."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while len(self._frames) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("expected %d frames within %.1f s, got %d" % (count, timeout, len(self._frames)))
                self._lock.wait(left)
            return list(self._frames)

    def book(self, device_id: int) -> RegisterBook:
        """A copy of what the server knows of a register."""
        with self._lock:
            return copy.deepcopy(self._books.get(device_id, RegisterBook()))

    # ---- control

    def control(self, line: str) -> str:
        """Runs one control command (CONTROL_HELP); returns the answer line, "ok ..." or "error ..."."""
        try:
            words = shlex.split(line)
        except ValueError as e:
            return "error: %s" % e
        if not words:
            return "error: empty command"
        try:
            return "ok: " + self._run_control(words[0], words[1:])
        except (ValueError, IndexError) as e:
            return "error: %s (help lists the commands)" % (e or "bad arguments")

    def _run_control(self, verb: str, args: List[str]) -> str:
        def count(rest: List[str]) -> Optional[int]:
            if not rest:
                return None
            if len(rest) > 1 or int(rest[0]) < 1:
                raise ValueError("one count of 1 or more expected")
            return int(rest[0])

        behaviours = {
            "reject-token": lambda: Answer(code=2),
            "silent": lambda: Answer(action="silent"),
            "close": lambda: Answer(action="close"),
            "garbage": lambda: Answer(action="garbage"),
        }
        if verb == "help":
            return CONTROL_HELP
        if verb == "status":
            return self._status()
        if verb in ("normal", "unblock") and not args:
            with self._lock:
                self._script.clear()
                self.default = self._normal
            return "normal answers"
        if verb == "block" and not args:
            with self._lock:
                self.default = Answer(code=BLOCKED_CODE)
            return "register blocked: code %d until unblocked" % BLOCKED_CODE
        if verb == "code":
            code = int(args[0])
            if not 0 <= code <= 0xFFFFFFFF:
                raise ValueError("code out of range")
            return self._behave(Answer(code=code), count(args[1:]), "code %d" % code)
        if verb == "delay":
            seconds = float(args[0])
            if seconds < 0:
                raise ValueError("negative delay")
            return self._behave(Answer(delay=seconds), count(args[1:]), "answer after %g s" % seconds)
        if verb in behaviours:
            return self._behave(behaviours[verb](), count(args), verb)
        if verb == "taxation":
            if args == ["off"]:
                self.settings.taxation = None
                return "no binded_taxation"
            kind = int(args[0])
            if kind not in (100, 101, 102, 103):
                raise ValueError("taxation type 100 to 103")
            percents = [int(p) for p in args[1:]]
            self.settings.taxation = (kind, percents)
            return "binded_taxation %d %s" % (kind, percents)
        if verb == "ad":
            kind, version, text = int(args[0]), int(args[1]), " ".join(args[2:])
            if kind not in range(5) or version < 0 or not text:
                raise ValueError("ad TYPE(0-4) VERSION TEXT")
            self.settings.ads.append((kind, version, text))
            return "%d advertisement(s)" % len(self.settings.ads)
        if verb == "ads" and args == ["off"]:
            self.settings.ads = []
            return "no advertisements"
        if verb == "last-document-info" and args in (["on"], ["off"]):
            self.settings.last_document_info = args == ["on"]
            return "last_document_info " + args[0]
        raise ValueError("unknown command %r" % " ".join([verb] + args))

    def _behave(self, answer: Answer, times: Optional[int], what: str) -> str:
        with self._lock:
            if times is None:
                self.default = answer
                return what + " until changed"
            self._script.extend(dataclasses.replace(answer) for _ in range(times))
            return "%s for the next %d request(s)" % (what, times)

    def _status(self) -> str:
        with self._lock:
            pending = len(self._script)
            default = self.default
            books = {device: copy.deepcopy(book) for device, book in self._books.items()}
        parts = ["default: %s" % describe(default), "scripted: %d" % pending]
        for device, book in sorted(books.items()):
            last = "%d/%d" % book.last if book.last else "none"
            parts.append("device %d: %d receipt(s), last document %s" % (device, book.tickets, last))
        return "; ".join(parts)

    def _control_loop(self) -> None:
        while not self._stopping.is_set():
            try:
                conn, _ = self._control_listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            threading.Thread(target=self._control_session, args=(conn,), name="sim-control-session",
                             daemon=True).start()

    def _control_session(self, conn: socket.socket) -> None:
        conn.settimeout(0.5)
        pending = b""
        with conn:
            while not self._stopping.is_set():
                try:
                    chunk = conn.recv(4096)
                except socket.timeout:
                    continue
                except OSError:
                    return
                if not chunk:
                    return
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    text = line.decode("utf-8", "replace").strip()
                    if not text:
                        continue
                    answer = self.control(text)
                    self._say("control: %s -> %s" % (text, answer.splitlines()[0]))
                    try:
                        conn.sendall((answer.replace("\n", "\n  ") + "\n").encode("utf-8"))
                    except OSError:
                        return

    # ---- building replies

    def issue_token(self) -> int:
        with self._lock:
            token = self._next_token
            self._next_token = (self._next_token + 1) & 0xFFFFFFFF
            return token

    def build_response(self, answer: Answer, request_command: Optional[int], request=None,
                       device_id: int = 0) -> bytes:
        """The encoded Response; with the request, a document the answer accepts is entered in the
        register's books first, so that the answer already tells of it."""
        pb = self.pb
        response = pb.Response()
        declared = set(pb.CommandTypeEnum.values())
        if answer.command is not None and answer.command not in declared:
            # A number the enumeration does not declare: written raw on purpose.
            return self._raw_command(response, answer, device_id)
        command = answer.command if answer.command is not None else request_command
        response.command = command if command in declared else 0
        ticket_number = None
        if request is not None and answer.with_result and answer.code in ACCEPTING_CODES:
            ticket_number = self._accept(device_id, request_command, request)
        if answer.with_result:
            response.result.result_code = answer.code
            if answer.text:
                response.result.result_text = answer.text
        self._fill_bodies(response, answer, command, request, device_id, ticket_number)
        return response.SerializePartialToString()

    def _accept(self, device_id: int, command: Optional[int], request) -> Optional[int]:
        """Books an accepted document; returns the ticket number of a receipt."""
        with self._lock:
            book = self._books.setdefault(device_id, RegisterBook())
            number = None
            if command == 1:
                book.tickets += 1
                number = book.tickets
            body_name = NUMBERED_BODIES.get(command)
            if body_name is not None:
                body = getattr(request, body_name)
                if body.HasField("fr_shift_number"):
                    shift = body.fr_shift_number
                else:
                    shift = book.last[0] if book.last else 0
                counted = book.shift_documents[shift] = book.shift_documents.get(shift, 0) + 1
                printed = body.printed_document_number if body.HasField("printed_document_number") else counted
                book.last = (shift, printed)
            return number

    def _fill_bodies(self, response, answer: Answer, command: Optional[int], request=None, device_id: int = 0,
                     ticket_number: Optional[int] = None) -> None:
        if answer.service == "default":
            self._default_service(response.service, device_id)
        elif callable(answer.service):
            answer.service(response.service)
        if answer.ticket == "default":
            if command == 1 and ticket_number is not None:
                default_ticket(response.ticket, ticket_number)
            elif command == 1 and request is None:
                default_ticket(response.ticket)
        elif callable(answer.ticket):
            answer.ticket(response.ticket)
        if answer.report == "default":
            if command == 3 and request is not None and request.HasField("report"):
                # The server's report of what it was sent.
                response.report.report = request.report.report
                response.report.zx_report.CopyFrom(request.report.zx_report)
            elif command == 2 and request is not None and request.HasField("close_shift"):
                response.report.report = 0
                response.report.zx_report.CopyFrom(request.close_shift.z_report)
            elif command in (2, 3, 5):
                default_report(response.report)
        elif callable(answer.report):
            answer.report(response.report)
        fill_required(response)
        if not answer.with_result:
            response.ClearField("result")

    def _default_service(self, service, device_id: int) -> None:
        settings = self.settings
        apply_registration(service.reg_info, settings.registration)
        for kind, version, text in settings.ads:
            ad = service.ticket_ads.add()
            ad.info.type, ad.info.version, ad.text = kind, version, text
        if settings.taxation is not None:
            kind, percents = settings.taxation
            service.binded_taxation.type = kind
            for percent in percents:
                tax = service.binded_taxation.taxes.add()
                tax.type, tax.percent = 100, percent
        with self._lock:
            book = self._books.get(device_id)
            last = book.last if book else None
        if settings.last_document_info and last is not None:
            service.last_document_info.fr_shift_number, service.last_document_info.printed_document_number = last

    def _raw_command(self, response, answer: Answer, device_id: int) -> bytes:
        if answer.with_result:
            response.result.result_code = answer.code
            if answer.text:
                response.result.result_text = answer.text
        self._fill_bodies(response, answer, None, None, device_id)
        response.ClearField("command")
        return b"\x08" + _varint(answer.command) + response.SerializePartialToString()

    # ---- connections

    def _accept_loop(self) -> None:
        while not self._stopping.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            with self._lock:
                self._connections += 1
                number = self._connections
                self._open.append(conn)
            t = threading.Thread(target=self._serve, args=(conn, number, time.monotonic()),
                                 name="sim-conn-%d" % number, daemon=True)
            self._handlers = [h for h in self._handlers if h.is_alive()]
            self._handlers.append(t)
            t.start()

    def _recv_exact(self, conn: socket.socket, count: int, buffer: bytearray) -> bool:
        while len(buffer) < count:
            if self._stopping.is_set():
                return False
            try:
                chunk = conn.recv(count - len(buffer))
            except socket.timeout:
                continue
            except OSError:
                return False
            if not chunk:
                return False
            buffer.extend(chunk)
        return True

    def _serve(self, conn: socket.socket, number: int, connected_at: float) -> None:
        conn.settimeout(0.1)
        try:
            frame = self._read_frame(conn, number, connected_at)
            if frame is None:
                return
            self._answer(conn, frame, self._record(frame))
        finally:
            with self._lock:
                if conn in self._open:
                    self._open.remove(conn)
            try:
                conn.close()
            except OSError:
                pass

    def _read_frame(self, conn, number, connected_at) -> Optional[ReceivedFrame]:
        data = bytearray()
        if not self._recv_exact(conn, HEADER_LENGTH, data):
            if data:
                frame = ReceivedFrame(bytes(data), None, b"", None, False, "short frame", time.monotonic(),
                                      connected_at, number)
                self._record(frame, take_answer=False)
                self._say("#%d short frame of %d bytes: nothing answered" % (len(self.frames), len(data)))
            return None
        header = Header.parse(data)
        error = None
        if header.signature != SIGNATURE or header.constant != CONSTANT:
            error = "bad signature"
        if header.length < HEADER_LENGTH or header.length > MAX_FRAME:
            error = "bad length %d" % header.length
            payload = b""
        else:
            if not self._recv_exact(conn, header.length, data):
                error = "frame cut short at %d of %d bytes" % (len(data), header.length)
            payload = bytes(data[HEADER_LENGTH:])
        request, complete = None, False
        try:
            request = self.pb.Request()
            request.ParseFromString(payload)
            complete = request.IsInitialized()
        except Exception as e:  # the payload is no Request
            request = None
            error = error or "payload does not parse: %s" % e
        return ReceivedFrame(bytes(data), header, payload, request, complete, error, time.monotonic(),
                             connected_at, number)

    def _record(self, frame: ReceivedFrame, take_answer: bool = True) -> Answer:
        with self._lock:
            answer = self._script.pop(0) if (take_answer and self._script) else self.default
            self._frames.append(frame)
            frame.index = len(self._frames)
            self._lock.notify_all()
        return answer

    def _say(self, line: str) -> None:
        if self.verbose:
            print(line, file=self._log, flush=True)

    def _log_request(self, frame: ReceivedFrame, answer: Answer, outcome: str) -> None:
        if not self.verbose:
            return
        command = frame.command
        name = BODY_NAMES.get(command, "?") if command is not None else "none"
        self._say("#%d command %s (%s) token %d package %d device %d%s: %s" % (
            frame.index, command, name, frame.token, frame.package_number, frame.device_id,
            " [" + frame.error + "]" if frame.error else "", outcome))

    def _answer(self, conn: socket.socket, frame: ReceivedFrame, answer: Answer) -> None:
        if answer.action == "close":
            self._log_request(frame, answer, "closed without answering")
            return
        if answer.action == "silent":
            self._log_request(frame, answer, "silent")
            self._hold(conn, None)
            return
        token = answer.token if answer.token is not None else self.issue_token()
        device = frame.header.device_id if frame.header else 0
        package = frame.header.package_number if frame.header else 0
        if answer.action == "stream":
            frame.reply_token = token
            self._log_request(frame, answer, "endless stream")
            length = answer.length if answer.length is not None else 2 ** 31
            self._stream(conn, build_header(length, device, token, package), answer)
            return
        if answer.action == "header_only":
            reply = build_header(HEADER_LENGTH, device, token, package)
        elif answer.action == "short":
            reply = build_header(HEADER_LENGTH, device, token, package)[:10]
        elif answer.action == "garbage":
            # Wire type 7 does not exist: even a partial parse refuses this.
            body = b"\x0f\xff\xff\xff\xff"
            reply = build_header(HEADER_LENGTH + len(body), device, token, package) + body
        else:
            handled = frame.request if frame.error is None and answer.action in HANDLING_ACTIONS else None
            body = self.build_response(answer, frame.command, handled, device) + answer.tail
            if answer.length is None:
                length = HEADER_LENGTH + len(body)
            else:
                length = len(body) if answer.length == "payload" else answer.length
            reply = build_header(length, device, token, package) + body
        frame.reply = reply
        frame.reply_token = token
        self._log_request(frame, answer, self._outcome(answer, reply, token))
        if answer.delay and not self._sleep(answer.delay):
            return
        try:
            if answer.action == "split":
                conn.sendall(reply[:answer.split_at])
                if not self._sleep(answer.split_pause):
                    return
                conn.sendall(reply[answer.split_at:])
            else:
                conn.sendall(reply)
        except OSError:
            return
        if answer.action == "short":
            return  # closing tells the client that nothing more comes
        self._hold(conn, answer.hold)

    def _outcome(self, answer: Answer, reply: bytes, token: int) -> str:
        """What was answered, in words, for the request log."""
        if answer.action in ("garbage", "header_only", "short"):
            words = answer.action
        else:
            words = "code %d" % answer.code if answer.with_result else "no result"
            try:
                response = self.pb.Response()
                response.ParseFromString(reply[HEADER_LENGTH:])
                if response.HasField("ticket"):
                    words += ", ticket %s" % response.ticket.ticket_number
                if response.service.HasField("last_document_info"):
                    info = response.service.last_document_info
                    words += ", last document %d/%d" % (info.fr_shift_number, info.printed_document_number)
            except Exception:  # a tail on purpose makes it no encoding
                words += ", damaged on purpose"
        if answer.delay:
            words += ", after %g s" % answer.delay
        return words + ", token %d" % token

    def _stream(self, conn: socket.socket, header: bytes, answer: Answer) -> None:
        deadline = time.monotonic() + answer.stream_limit
        chunk = b"\x00" * answer.stream_chunk
        pending = memoryview(header)
        while not self._stopping.is_set() and time.monotonic() < deadline:
            if not pending:
                if answer.stream_pause and not self._sleep(answer.stream_pause):
                    return
                pending = memoryview(chunk)
            try:
                pending = pending[conn.send(pending):]
            except socket.timeout:
                continue
            except OSError:
                return  # the client has gone

    def _sleep(self, seconds: float) -> bool:
        return not self._stopping.wait(seconds)

    def _hold(self, conn: socket.socket, limit: Optional[float]) -> None:
        """Keeps the connection until the client closes it (or the limit passes)."""
        deadline = None if limit is None else time.monotonic() + limit
        while not self._stopping.is_set() and (deadline is None or time.monotonic() < deadline):
            try:
                if not conn.recv(4096):
                    return
            except socket.timeout:
                continue
            except OSError:
                return


def describe(answer: Answer) -> str:
    if answer.action != "answer":
        return answer.action
    words = "code %d" % answer.code
    return words + (" after %g s" % answer.delay if answer.delay else "")


def field(number: int, value) -> bytes:
    """One encoded field: a varint for an int, a length-delimited body for bytes."""
    if isinstance(value, int):
        return _varint(number << 3) + _varint(value)
    return _varint((number << 3) | 2) + _varint(len(value)) + bytes(value)


def _varint(value: int) -> bytes:
    value &= 0xFFFFFFFFFFFFFFFF
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def send_control(port: int, line: str, timeout: float = 5.0) -> str:
    """Sends one control command to a running simulator; returns its answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.sendall(line.encode("utf-8") + b"\n")
        conn.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks).decode("utf-8").rstrip("\n")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Simulator of the operator's server: answers with code 0, numbers receipts and keeps the "
                    "last document accepted from each register, unless told otherwise.",
        epilog=CONTROL_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=7777, help="TCP port of the operator's server (default 7777)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--control-port", type=int, default=None,
                        help="loopback port taking one control command per line (default: none)")
    parser.add_argument("--send", metavar="COMMAND", default=None,
                        help="send COMMAND to the simulator listening on --control-port, print its answer, exit")
    parser.add_argument("--proto-dir", default=DEFAULT_PROTO_DIR, help="directory of the schema files")
    parser.add_argument("--quiet", action="store_true", help="print no line per request")
    parser.add_argument("--first-token", type=int, default=0x1000, help="token of the first answer (default 4096)")
    parser.add_argument("--registration", metavar="JSON",
                        help='registration sent in every service answer, protocol names: {"kkm": {...}, '
                             '"org": {...}, "pos": {...}}; parts given replace the built-in ones')
    parser.add_argument("--taxation", metavar="TYPE[:PERCENT,...]",
                        help="send binded_taxation, e.g. 100:12,0 (like the control command taxation)")
    parser.add_argument("--ad", metavar="TYPE:VERSION:TEXT", action="append", default=[],
                        help="an advertisement in every service answer (repeatable)")
    parser.add_argument("--no-last-document-info", action="store_true", help="never send last_document_info")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--code", type=int, help="answer every request with this result code")
    mode.add_argument("--reject-token", action="store_true", help="answer every request with code 2")
    mode.add_argument("--block", action="store_true", help="answer every request with code 15 until unblocked")
    mode.add_argument("--silent", action="store_true", help="never answer")
    mode.add_argument("--close", action="store_true", help="close every connection without answering")
    mode.add_argument("--garbage", action="store_true", help="answer with bytes that are no encoding")
    mode.add_argument("--delay", type=float, metavar="SECONDS", help="answer every request after SECONDS")
    return parser, parser.parse_args(argv)


def start_commands(args) -> List[str]:
    """The control commands that the start options stand for."""
    commands = []
    if args.taxation:
        kind, _, percents = args.taxation.partition(":")
        commands.append("taxation %s %s" % (kind, " ".join(p for p in percents.split(",") if p)))
    for ad in args.ad:
        kind, version, text = ad.split(":", 2)
        commands.append("ad %s %s %s" % (kind, version, shlex.quote(text)))
    if args.no_last_document_info:
        commands.append("last-document-info off")
    if args.code is not None:
        commands.append("code %d" % args.code)
    for flag in ("reject_token", "block", "silent", "close", "garbage"):
        if getattr(args, flag):
            commands.append(flag.replace("_", "-"))
    if args.delay is not None:
        commands.append("delay %g" % args.delay)
    return commands


def main(argv=None) -> int:
    parser, args = parse_arguments(argv)
    if args.send is not None:
        if args.control_port is None:
            parser.error("--send needs --control-port")
        answer = send_control(args.control_port, args.send)
        print(answer)
        return 0 if answer.startswith("ok") else 1

    settings = Settings()
    if args.registration:
        try:
            given = json.loads(args.registration)
        except ValueError as e:
            parser.error("--registration: %s" % e)
        settings.registration.update(given)
    sim = OperatorSim(port=args.port, host=args.host, proto_dir=args.proto_dir, verbose=not args.quiet,
                      first_token=args.first_token, settings=settings)
    for command in start_commands(args):
        answer = sim.control(command)
        if not answer.startswith("ok"):
            parser.error("%s: %s" % (command, answer))
    sim.start()
    print("operator simulator listening on %s:%d" % (args.host, sim.port), flush=True)
    if args.control_port is not None:
        print("control commands on 127.0.0.1:%d" % sim.serve_control(args.control_port), flush=True)
    done = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: done.set())
    while not done.wait(0.5):
        pass
    sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
