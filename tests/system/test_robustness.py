"""Unlucky conditions: the service must neither crash nor lose an accepted
document, nor leave one in the queue while it runs in normal mode."""

import json
import select
import signal
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import fiscal
from harness import wait_for
from sim import Answer, default_service


def queued_names(vault):
    with vault.db() as db:
        return [m["request"]["items"][0]["commodity"]["name"] for _, m in db.messages()]


def test_sigterm_while_the_queue_worker_is_busy_ends_cleanly_and_loses_nothing(vault, sim):
    vault.configure({"DataSending:reconnectionTimeout": 0, "DataSending:operationTimeout": 300})
    vault.start()
    sim.script(Answer(code=2))
    names = ["Q%02d" % i for i in range(12)]
    sim.default = Answer(action="close")
    for name in names:
        vault.post("commandTicket", fiscal.ticket(name=name))
    assert vault.stop() == 0
    assert queued_names(vault) == names
    sim.default = Answer()

    def terminate_as_the_answer_goes_out(service):
        # The worker then stores the answer while the service is ending.
        vault.process.send_signal(signal.SIGTERM)
        default_service(service)

    for _ in range(4):
        sim.script(Answer(), Answer(service=terminate_as_the_answer_goes_out))
        vault.spawn()
        assert vault.wait_exit(10) == 0, vault.log_tail()
        left = queued_names(vault)
        assert left == names[len(names) - len(left):], "the queue keeps its order and only loses its head"

    vault.start()
    vault.wait_status(0, 10)
    assert queued_names(vault) == []
    delivered = [f.request.ticket.items[0].commodity.name for f in sim.frames if f.command == 1 and f.reply]
    assert list(dict.fromkeys(delivered)) == names, "every queued ticket reached the server, oldest first"


def test_queue_that_cannot_be_read_ends_autonomous_mode_and_loses_nothing(vault, sim):
    # The worker takes a failed read of the queue for an empty queue: the service
    # returns to normal mode, so new documents reach the server directly instead
    # of failing to be stored.
    vault.configure({"DataSending:reconnectionTimeout": 400})
    vault.start()
    sim.default = Answer(action="close")
    vault.post("commandTicket", fiscal.ticket(name="Отложенный"))
    assert queued_names(vault) == ["Отложенный"]

    with vault.db() as db:
        db.execute_script("ALTER TABLE messages RENAME TO messages_away;")
    sim.default = Answer()
    vault.wait_log("Очередь сообщений пуста", 5)
    vault.wait_status(0, 5)
    reply = vault.post("commandTicket", fiscal.ticket(name="Новый"))
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    assert reply["kkmInfoObject"]["errorMessage"] == ""
    time.sleep(1.0)
    assert vault.status_block()["serviceStatus"] == 0
    assert vault.log().count("Запускаем обработчик очереди") == 1

    # The document stored before stays queued and goes out once the service is
    # autonomous again, here after a restart.
    with vault.db() as db:
        db.execute_script("ALTER TABLE messages_away RENAME TO messages;")
    assert queued_names(vault) == ["Отложенный"]
    vault.restart()
    wait_for(lambda: queued_names(vault) == [], 5, interval=0.1, what="the queue drained")
    vault.wait_status(0, 5)
    delivered = [f.request.ticket.items[0].commodity.name for f in sim.frames if f.command == 1 and f.reply]
    assert delivered[-2:] == ["Новый", "Отложенный"]


def raw_post(payload: dict) -> bytes:
    body = json.dumps(payload).encode("utf-8")
    return (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            b"Content-Length: %d\r\n\r\n" % len(body)) + body


def parse_reply(data: bytes):
    """(status, JSON body) of the first reply in data; (None, None) when it is incomplete."""
    head, separator, rest = data.partition(b"\r\n\r\n")
    if not separator:
        return None, None
    lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    length = int(fields.get("content-length", "0"))
    if len(rest) < length:
        return None, None
    return int(lines[0].split()[1]), json.loads(rest[:length].decode("utf-8"))


def half_closed_post(port: int, payload: dict, timeout: float):
    """Sends the whole request, ends the sending side and reads until the server ends the stream."""
    data = b""
    deadline = time.monotonic() + timeout
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as client:
        client.sendall(raw_post(payload))
        client.shutdown(socket.SHUT_WR)
        while time.monotonic() < deadline:
            chunk = client.recv(65536)
            if not chunk:
                break
            data += chunk
    return parse_reply(data)


def test_clients_that_end_their_sending_side_after_the_request_are_all_answered(vault, sim):
    vault.start()
    # One command holds the main thread while it waits for the operator's server.
    sim.script(Answer(delay=0.5))
    busy = {}
    worker = threading.Thread(target=lambda: busy.update(reply=vault.post("commandSystem", timeout=20)))
    worker.start()
    vault.wait_log("Получена команда: commandSystem", 5)

    def post(n):
        return half_closed_post(vault.service_port, {"command": "saveTicketRequest", "object": {"n": n}}, 20)

    with ThreadPoolExecutor(max_workers=20) as pool:
        replies = list(pool.map(post, range(20)))
    worker.join(20)

    for status, reply in replies:
        assert status == 200
        assert reply["kkmInfoObject"]["errorMessage"] == ""
    assert "kkmInfoObject" in busy["reply"]
    assert vault.log().count("Получена команда: saveTicketRequest") == 20


def test_clients_trickling_their_requests_are_closed_at_the_deadline_and_free_the_slots(vault):
    # Every slot is held by a client that sends a byte of its request each
    # second; the point-of-sale program waits in the backlog meanwhile.
    vault.start()
    deadline, bound = 30.0, 36.0
    tricklers = [socket.create_connection(("127.0.0.1", vault.service_port), timeout=5) for _ in range(64)]
    started = time.monotonic()
    request = b"POST / HTTP/1.1\r\nX-Slow: " + b"a" * 64
    closed_after = {}
    waiting = socket.create_connection(("127.0.0.1", vault.service_port), timeout=5)
    waiting.sendall(raw_post({"command": "saveTicketRequest", "object": {}}))
    waiting.setblocking(False)
    answer, answered_after = b"", None
    try:
        for sock in tricklers:
            sock.setblocking(False)
        tick = 0
        while (time.monotonic() - started < bound
               and (len(closed_after) < len(tricklers) or answered_after is None)):
            now = time.monotonic() - started
            if now >= tick:
                for sock in tricklers:
                    if sock not in closed_after:
                        try:
                            sock.send(request[tick:tick + 1])
                        except OSError:
                            closed_after[sock] = now
                tick += 1
            open_ones = [s for s in tricklers if s not in closed_after]
            if answered_after is None:
                open_ones.append(waiting)
            readable, _, _ = select.select(open_ones, [], [], max(0.0, tick - (time.monotonic() - started)))
            for sock in readable:
                try:
                    chunk = sock.recv(65536)
                except OSError:
                    chunk = b""
                now = time.monotonic() - started
                if sock is waiting:
                    answer += chunk
                    if parse_reply(answer)[0] is not None or not chunk:
                        answered_after = now
                elif not chunk:
                    closed_after[sock] = now
    finally:
        for sock in tricklers + [waiting]:
            sock.close()

    assert len(closed_after) == len(tricklers), "every trickling client is closed"
    assert deadline - 0.5 <= min(closed_after.values()) and max(closed_after.values()) <= deadline + 3
    assert answered_after is not None and answered_after <= deadline + 4
    status, reply = parse_reply(answer)
    assert status == 200 and reply["kkmInfoObject"]["errorMessage"] == ""
    assert vault.log().count("Request not complete within 30000 ms; connection closed") == 64


def test_shift_counters_that_cannot_be_read_block_the_service_and_keep_the_totals(vault, sim):
    vault.start()
    assert vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]["serviceStatus"] == 0
    with vault.db() as db:
        totals = db.query("SELECT data FROM shiftcounters")
        # Reads fail while writes still land: a lock held past the busy timeout
        # for the read and gone before the write.
        db.execute_script(
            "ALTER TABLE shiftcounters RENAME TO shiftcounters_kept;"
            "CREATE VIEW shiftcounters AS SELECT abs(-9223372036854775807 - 1) AS rowid, NULL AS data "
            "UNION ALL SELECT rowid, data FROM shiftcounters_kept;"
            "CREATE TRIGGER kept_insert INSTEAD OF INSERT ON shiftcounters "
            "BEGIN INSERT INTO shiftcounters_kept(data) VALUES(NEW.data); END;")

    block = vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]

    assert block["serviceStatus"] == 2
    assert block["errorMessage"] == "Ошибка при работе с фискальной памятью"
    with vault.db() as db:
        assert db.query("SELECT data FROM shiftcounters_kept") == totals
