"""The command interface as a client sees it on the wire: a reply of any size
arrives whole, and a web page open in a browser on the till gives no command."""

import json
import signal
import socket
import time

import pytest

import fiscal
from harness import HTTP_TIMEOUT


def large_ticket(lines=15000):
    """A stored receipt whose indented echo is several times the socket buffers (10 MB;
    12500 lines make 8.5 MB)."""
    items = [{"type": 1,
              "commodity": {"name": "Товар %d " % i + "x" * 200, "sectionCode": "1", "price": 1.5,
                            "quantity": 1000, "taxes": [fiscal.tax()]}}
             for i in range(lines)]
    return {"items": items, "frShiftNumber": 3}


def raw_request(payload: dict, version: str = "HTTP/1.1", fields=()) -> bytes:
    body = json.dumps(payload, ensure_ascii=False).encode("utf-8")
    head = "POST / %s\r\n" % version + "".join(field + "\r\n" for field in fields)
    return (head + "Content-Length: %d\r\n\r\n" % len(body)).encode("latin-1") + body


def split_reply(data: bytes):
    """(status, fields, body as far as it came) of the first reply in data."""
    head, separator, rest = data.partition(b"\r\n\r\n")
    assert separator, "no reply header in %r" % data[:200]
    lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), fields, rest


def read_to_end(client: socket.socket, timeout: float) -> bytes:
    data = b""
    client.settimeout(timeout)
    try:
        while True:
            chunk = client.recv(1 << 20)
            if not chunk:
                return data
            data += chunk
    except (socket.timeout, ConnectionResetError):
        return data


def read_reply(client: socket.socket, timeout: float, end_within: float = 0.0):
    """Reads one whole reply; then (status, fields, body, whether the server ended the
    stream within end_within seconds)."""
    data = b""
    client.settimeout(timeout)
    while True:
        if b"\r\n\r\n" in data:
            status, fields, body = split_reply(data)
            if len(body) >= int(fields.get("content-length", "0")):
                break
        chunk = client.recv(1 << 20)
        assert chunk, "stream ended within a reply: %r" % data[:200]
        data += chunk
    if end_within <= 0:
        return status, fields, body, False
    try:
        client.settimeout(end_within)
        ended = client.recv(1) == b""
    except socket.timeout:
        ended = False
    except ConnectionResetError:
        ended = True
    return status, fields, body, ended


def assert_whole_echo(data: bytes, stored: dict):
    status, fields, body = split_reply(data)
    assert status == 200
    assert len(body) == int(fields["content-length"]), "reply cut after %d of %s bytes" % (
        len(body), fields["content-length"])
    echoed = json.loads(body.decode("utf-8"))
    assert echoed.pop("kkmInfoObject")["errorMessage"] == ""
    assert echoed == stored


@pytest.fixture
def stored(vault):
    vault.start()
    ticket = large_ticket()
    assert vault.post("saveTicketRequest", ticket)["kkmInfoObject"]["errorMessage"] == ""
    return ticket


def test_large_reply_reaches_a_client_that_reads_it_late(vault, stored):
    # The last reply of a connection: it ends with the stream, once all of it is out.
    clients = {"Connection: close": ("HTTP/1.1", ["Connection: close"]), "HTTP/1.0": ("HTTP/1.0", [])}
    sockets = {}
    try:
        for name, (version, fields) in clients.items():
            sockets[name] = socket.create_connection(("127.0.0.1", vault.service_port), timeout=5)
            sockets[name].sendall(raw_request({"command": "getLastTicketRequest"}, version, fields))
        time.sleep(2.5)
        for name, client in sockets.items():
            data = read_to_end(client, 20)
            assert_whole_echo(data, stored)
    finally:
        for client in sockets.values():
            client.close()


def test_slow_steady_reader_gets_the_whole_reply(vault):
    # At 40 KiB/s the socket, with megabytes in its buffers, stays unwritable for longer than
    # the 30 s deadline while the client keeps taking bytes.
    vault.start()
    ticket = large_ticket(12500)
    assert vault.post("saveTicketRequest", ticket)["kkmInfoObject"]["errorMessage"] == ""
    with socket.create_connection(("127.0.0.1", vault.service_port), timeout=HTTP_TIMEOUT) as client:
        client.sendall(raw_request({"command": "getLastTicketRequest"}))
        data, started = b"", time.monotonic()
        while True:
            chunk = client.recv(4096)
            if not chunk:
                break
            data += chunk
            body = data.partition(b"\r\n\r\n")[2]
            if body and len(body) >= int(split_reply(data)[1]["content-length"]):
                break
            time.sleep(max(0.0, started + len(data) / (40 * 1024) - time.monotonic()))
    assert len(data) >= 8 * 1024 * 1024
    assert_whole_echo(data, ticket)
    assert "Client took no bytes" not in vault.log()


def test_reply_going_out_when_the_service_stops_is_finished(vault, stored):
    with socket.create_connection(("127.0.0.1", vault.service_port), timeout=HTTP_TIMEOUT) as client:
        client.sendall(raw_request({"command": "getLastTicketRequest"}))
        first = client.recv(65536)
        vault.process.send_signal(signal.SIGTERM)
        time.sleep(1.0)
        data = first + read_to_end(client, 20)
    assert vault.wait_exit(10) == 0
    assert_whole_echo(data, stored)


REFUSED = [
    # A cross-site request from a page: the browser names the page.
    ["Host: 127.0.0.1:{port}", "Origin: http://shop.example"],
    ["Host: localhost:{port}", "Origin: null"],
    # A page that pointed a host name of its own at 127.0.0.1.
    ["Host: rebind.example:{port}", "Origin: http://rebind.example:{port}"],
    ["Host: rebind.example:{port}"],
]
SERVED = [
    ("HTTP/1.0", []),
    ("HTTP/1.1", ["Host: 127.0.0.1:{port}"]),
    ("HTTP/1.1", ["Host: localhost:{port}"]),
    ("HTTP/1.1", ["Host: localhost:{port}", "Origin: http://localhost:{port}"]),
]


def test_web_pages_get_403_and_run_no_command(vault, sim):
    vault.start()
    port = vault.service_port

    def send(version, fields, end_within=0.0):
        with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
            client.sendall(raw_request({"command": "commandTicket", "object": fiscal.ticket()}, version,
                                       [f.format(port=port) for f in fields + ["Content-Type: text/plain"]]))
            return read_reply(client, 30, end_within)

    for fields in REFUSED:
        status, reply_fields, body, ended = send("HTTP/1.1", fields, end_within=5.0)
        assert (status, body, reply_fields.get("content-length"), ended) == (403, b"", "0", True), fields
    assert [f for f in sim.frames if f.command == 1] == []
    assert "Получена команда" not in vault.log()

    for version, fields in SERVED:
        status, _, body, _ = send(version, fields)
        assert status == 200, fields
        assert json.loads(body)["kkmInfoObject"]["errorMessage"] == "", fields
    assert len([f for f in sim.frames if f.command == 1]) == len(SERVED)
    assert vault.log().count("Получена команда: commandTicket") == len(SERVED)
    assert " ERROR " not in vault.log()
