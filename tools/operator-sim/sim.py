#!/usr/bin/env python3
"""Simulator of the fiscal data operator's server.

Speaks the 18-byte operator frame over TCP and answers every request by a
script. The message classes are generated from protocol/proto/ with protoc at
run time into a temporary directory, so nothing generated lives in the tree.

In-process use (system tests):

    sim = OperatorSim()
    sim.start()
    sim.script(Answer(code=15), Answer(action="close"))
    ...
    frames = sim.wait_for_frames(2, timeout=5)
    sim.stop()

Standalone use (local run): python3 tools/operator-sim/sim.py --port N
answers every request with code 0 and a plausible service part.
"""

import argparse
import atexit
import dataclasses
import importlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, List, Optional

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


def default_service(service) -> None:
    kkm = service.reg_info.kkm
    kkm.point_of_payment_number = "1"
    kkm.terminal_number = "T-01"
    kkm.fns_kkm_id = "010101010101"
    kkm.serial_number = "SIM-0001"
    kkm.kkm_id = "1001"
    org = service.reg_info.org
    org.title = "ТОО Симулятор"
    org.address = "ул. Тестовая, 1"
    org.inn = "123456789012"
    org.okved = "47111"
    org.address_kz = "Тест көшесі, 1"


def default_ticket(ticket) -> None:
    ticket.ticket_number = "SIM-TICKET-1"
    ticket.qr_code = b"https://sim.example/ticket/1"


def default_report(report) -> None:
    report.report = 0
    z = report.zx_report
    z.shift_number = 1
    for part in (z.date_time, z.open_shift_time):
        part.date.year, part.date.month, part.date.day = 2024, 3, 1
        part.time.hour, part.time.minute, part.time.second = 9, 0, 0


class OperatorSim:
    """The operator's server on a TCP port of the loopback address."""

    def __init__(self, port: int = 0, host: str = "127.0.0.1", default: Optional[Answer] = None,
                 proto_dir: str = DEFAULT_PROTO_DIR, first_token: int = 0x1000, verbose: bool = False):
        self.host = host
        self.port = port
        self.default = default or Answer()
        self.pb = load_protocol(proto_dir)
        self.verbose = verbose
        self._next_token = first_token
        self._lock = threading.Condition()
        self._script: List[Answer] = []
        self._frames: List[ReceivedFrame] = []
        self._connections = 0
        self._listener: Optional[socket.socket] = None
        self._accept_thread: Optional[threading.Thread] = None
        self._handlers: List[threading.Thread] = []
        self._open: List[socket.socket] = []
        self._stopping = threading.Event()

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

    def stop(self) -> None:
        self._stopping.set()
        if self._accept_thread is not None:
            self._accept_thread.join(5)
            self._accept_thread = None
        if self._listener is not None:
            self._listener.close()
            self._listener = None
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
        for a in answers:
            if a.action not in ACTIONS:
                raise ValueError("unknown action %r" % a.action)
        with self._lock:
            self._script.extend(answers)

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

    # ---- building replies

    def issue_token(self) -> int:
        with self._lock:
            token = self._next_token
            self._next_token = (self._next_token + 1) & 0xFFFFFFFF
            return token

    def build_response(self, answer: Answer, request_command: Optional[int]) -> bytes:
        pb = self.pb
        response = pb.Response()
        declared = set(pb.CommandTypeEnum.values())
        if answer.command is not None and answer.command not in declared:
            # A number the enumeration does not declare: written raw on purpose.
            return self._raw_command(response, answer)
        command = answer.command if answer.command is not None else request_command
        response.command = command if command in declared else 0
        if answer.with_result:
            response.result.result_code = answer.code
            if answer.text:
                response.result.result_text = answer.text
        self._fill_bodies(response, answer, command)
        return response.SerializePartialToString()

    def _fill_bodies(self, response, answer: Answer, command: Optional[int]) -> None:
        if answer.service == "default":
            default_service(response.service)
        elif callable(answer.service):
            answer.service(response.service)
        if answer.ticket == "default":
            if command == 1:
                default_ticket(response.ticket)
        elif callable(answer.ticket):
            answer.ticket(response.ticket)
        if answer.report == "default":
            if command in (2, 3, 5):
                default_report(response.report)
        elif callable(answer.report):
            answer.report(response.report)
        fill_required(response)
        if not answer.with_result:
            response.ClearField("result")

    def _raw_command(self, response, answer: Answer) -> bytes:
        if answer.with_result:
            response.result.result_code = answer.code
            if answer.text:
                response.result.result_text = answer.text
        self._fill_bodies(response, answer, None)
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
                self._record(ReceivedFrame(bytes(data), None, b"", None, False, "short frame", time.monotonic(),
                                           connected_at, number), take_answer=False)
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
            self._lock.notify_all()
        if self.verbose:
            print("frame #%d: command=%s token=%s package=%s device=%s body=%s action=%s%s" % (
                len(self._frames), frame.command, frame.header and frame.header.token,
                frame.header and frame.header.package_number, frame.header and frame.header.device_id,
                frame.body(), answer.action, " error=" + frame.error if frame.error else ""), flush=True)
        return answer

    def _answer(self, conn: socket.socket, frame: ReceivedFrame, answer: Answer) -> None:
        if answer.action == "close":
            return
        if answer.action == "silent":
            self._hold(conn, None)
            return
        token = answer.token if answer.token is not None else self.issue_token()
        device = frame.header.device_id if frame.header else 0
        package = frame.header.package_number if frame.header else 0
        if answer.action == "stream":
            frame.reply_token = token
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
            body = self.build_response(answer, frame.command) + answer.tail
            if answer.length is None:
                length = HEADER_LENGTH + len(body)
            else:
                length = len(body) if answer.length == "payload" else answer.length
            reply = build_header(length, device, token, package) + body
        frame.reply = reply
        frame.reply_token = token
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


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Operator server simulator: answers every request with code 0.")
    parser.add_argument("--port", type=int, default=0, help="TCP port to listen on (0: any free port)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--proto-dir", default=DEFAULT_PROTO_DIR, help="directory of the schema files")
    parser.add_argument("--quiet", action="store_true", help="do not print a line per frame")
    args = parser.parse_args(argv)

    sim = OperatorSim(port=args.port, host=args.host, proto_dir=args.proto_dir, verbose=not args.quiet)
    sim.start()
    print("operator simulator listening on %s:%d" % (args.host, sim.port), flush=True)
    done = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: done.set())
    while not done.wait(0.5):
        pass
    sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
