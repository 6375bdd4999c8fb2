"""The queue worker that drains the queue while the service is autonomous, and
the server-lock worker that polls the server while it blocks the register."""

import re
import time

import pytest

import fiscal
from sim import Answer

# Qt's complaints when an object is used from a thread it does not belong to.
THREAD_WARNINGS = ("different thread", "another thread", "Cannot create children", "does not belong to the calling thread")


def assert_no_thread_warnings(vault):
    log = vault.all_logs()
    for text in THREAD_WARNINGS:
        assert text not in log, "thread-affinity warning in the log: %r" % text


def assert_logged(vault, level, logger, text):
    line = r"%s +\[[^\]]*\] %s - %s$" % (level, logger, re.escape(text))
    assert re.search(line, vault.all_logs(), re.MULTILINE), "no %s line of %s: %r" % (level, logger, text)


def ticket_names(frames):
    return [f.request.ticket.items[0].commodity.name for f in frames if f.command == 1]


def test_queue_drains_oldest_first_once_server_answers(offline_vault, dead_port, make_sim):
    vault = offline_vault
    vault.configure({"DataSending:reconnectionTimeout": 1500})
    vault.start()
    went_offline = vault.post("commandTicket", fiscal.ticket(name="A"))
    assert went_offline["kkmInfoObject"]["serviceStatus"] == 1
    vault.post("commandTicket", fiscal.ticket(name="B"))
    vault.post("commandMoneyPlacement", fiscal.money_placement())
    vault.post("commandCloseShift", fiscal.close_shift())
    vault.post("commandReport", fiscal.report())
    with vault.db() as db:
        begin = db.service_data("servicerequest")["offlinePeriod"]["beginTime"]
    sim = make_sim(port=dead_port)

    frames = sim.wait_for_frames(5, 15)
    assert [f.command for f in frames] == [1, 1, 6, 2, 3]
    assert ticket_names(frames) == ["A", "B"]
    first, second = frames[0].request, frames[1].request

    # The first drained request closes the offline period; later ones carry none.
    period = first.service.offline_period
    assert fiscal.as_tuple(period.begin_time) == fiscal.iso_tuple(begin)
    assert not fiscal.is_unset(period.end_time)
    assert fiscal.as_tuple(period.end_time) >= fiscal.as_tuple(period.begin_time)
    for later in frames[1:]:
        assert fiscal.is_unset(later.request.service.offline_period.begin_time)
        assert fiscal.is_unset(later.request.service.offline_period.end_time)

    assert not first.ticket.HasField("offline_ticket_number")
    assert second.ticket.HasField("offline_ticket_number")
    assert frames[2].request.money_placement.is_offline and frames[3].request.close_shift.is_offline
    # After a success in status 1 the next send follows after 100 ms.
    gaps = [b.received_at - a.received_at for a, b in zip(frames, frames[1:])]
    assert all(g < 0.8 for g in gaps), gaps

    block = vault.wait_status(0, 5)
    assert block["offlineModeReason"] == 1, "the last reason stays stored"
    assert block["lockDate"] == ""
    with vault.db() as db:
        assert db.messages() == []
        assert db.status() == 0
        assert db.service_data("servicerequest")["offlinePeriod"] == {"beginTime": "", "endTime": ""}
    time.sleep(0.5)
    assert len(sim.frames) == 5
    for text in ("Старт обработчика очереди", "Отправка сообщения из очереди",
                 "Команда выполнена. Код результата: 0, сообщение об ошибке: ''", "Очередь сообщений пуста"):
        assert_logged(vault, "INFO", "queuehandler", text)
    assert_no_thread_warnings(vault)


def test_first_send_one_interval_after_going_offline_and_retry_after_failure(vault, sim):
    interval = 1.5
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000), "DataSending:operationTimeout": 600})
    vault.start()
    # Two failing attempts take the command offline; the worker's first send fails the same way.
    sim.script(*[Answer(action="close")] * 4)
    reply = vault.post("commandTicket", fiscal.ticket(name="Повтор"))
    offline_at = time.monotonic()
    assert reply["kkmInfoObject"]["serviceStatus"] == 1

    frames = sim.wait_for_frames(4, interval * 4)
    first_send = frames[2]
    assert interval * 0.8 <= first_send.received_at - offline_at <= interval + 1.0
    with vault.db() as db:
        assert len(db.messages()) == 1, "a failed send keeps the message"

    retry = sim.wait_for_frames(5, interval * 4)[4]
    # 500 ms pause after the second failed attempt, then one interval.
    assert interval + 0.3 <= retry.received_at - frames[3].received_at <= interval + 1.5
    assert ticket_names([retry]) == ["Повтор"]
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.messages() == []
    assert_no_thread_warnings(vault)


def test_failure_after_a_success_opens_a_new_offline_period(vault, sim):
    interval = 1.2
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000), "DataSending:operationTimeout": 300})
    vault.start()
    # Main: "1" goes offline. Worker: "1" accepted, "2" fails once, then is accepted.
    sim.script(Answer(code=2), Answer(), Answer(action="close"))
    vault.post("commandTicket", fiscal.ticket(name="1"))
    vault.post("commandTicket", fiscal.ticket(name="2"))
    with vault.db() as db:
        first_begin = db.service_data("servicerequest")["offlinePeriod"]["beginTime"]

    frames = sim.wait_for_frames(4, interval * 5)
    assert ticket_names(frames[1:4]) == ["1", "2", "2"]
    # After the failure the interval is the reconnection interval again, not 100 ms.
    assert frames[3].received_at - frames[2].received_at >= interval
    # The retried request carries the new period's begin.
    begin = frames[3].request.service.offline_period.begin_time
    assert not fiscal.is_unset(begin)
    assert fiscal.as_tuple(begin) > fiscal.iso_tuple(first_begin)
    vault.wait_status(0, 5)


@pytest.mark.parametrize("final_code", [0, 11])
def test_answer_15_server_blocks_until_lock_worker_sees_normal_answer(vault, sim, final_code):
    interval = 0.8
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000)})
    vault.start()
    # Main: X goes offline. Worker's send of X: 15. Lock worker polls: 2 (still blocked), 15, the final code.
    sim.script(Answer(code=2), Answer(code=15), Answer(code=2), Answer(code=15, text="Заблокирована"),
               Answer(code=final_code))
    vault.post("commandTicket", fiscal.ticket(name="X"))
    vault.post("commandTicket", fiscal.ticket(name="Y"))

    frames = sim.wait_for_frames(3, interval * 4)
    assert ticket_names([frames[1]]) == ["X"]
    block = vault.wait_status(3, 3)
    assert block["errorMessage"] == ""
    with vault.db() as db:
        assert len(db.messages()) == 2, "the message answered with 15 stays queued"
        assert db.status() == 3
    assert vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]["errorMessage"] == \
        "Сервис в режиме блокировки"

    frames = sim.wait_for_frames(5, interval * 6)
    polls = frames[2:5]
    assert all(p.command == 0 and p.body() is None and p.request.HasField("service") for p in polls)
    gaps = [b.received_at - a.received_at for a, b in zip(polls, polls[1:])]
    assert all(interval * 0.8 <= g <= interval + 0.8 for g in gaps), gaps

    # Block lifted with documents still queued: they are drained in order.
    frames = sim.wait_for_frames(7, interval * 6)
    assert ticket_names(frames[5:7]) == ["X", "Y"]
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.messages() == []
        assert db.status() == 0
    for text in ("Старт обработчика", "Отправка служебного запроса в режиме серверной блокировки",
                 "Команда выполнена. Код результата: 15, сообщение об ошибке: 'Заблокирована'",
                 "Выход из режима серверной блокировкии"):
        assert_logged(vault, "INFO", "lockhandler", text)
    assert_no_thread_warnings(vault)


def test_invalid_token_on_first_send_keeps_the_open_period(offline_vault, dead_port, make_sim):
    vault = offline_vault
    interval = 1.2
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000)})
    vault.start()
    vault.post("commandTicket", fiscal.ticket(name="T"))
    vault.stop()
    with vault.db() as db:
        begin = db.service_data("servicerequest")["offlinePeriod"]["beginTime"]
        assert db.service_data("offlinemodereason") == {"reason": 1}
    sim = make_sim(port=dead_port)
    sim.script(Answer(code=2), Answer())

    vault.start()
    first, retry = sim.wait_for_frames(2, interval * 4)
    assert ticket_names([first, retry]) == ["T", "T"]
    # Neither a new period nor a new interval: the retry follows one unchanged interval later
    # and still carries the period opened before the restart.
    assert interval * 0.8 <= retry.received_at - first.received_at <= interval + 0.8
    assert fiscal.as_tuple(retry.request.service.offline_period.begin_time) == fiscal.iso_tuple(begin)
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.service_data("offlinemodereason") == {"reason": 2}
        assert db.messages() == []
    assert vault.log().count("- Переход в автономный режим\n") == 1, "no status change for a period already open"


def test_worker_keeps_sending_while_the_service_is_blocked(offline_vault, dead_port, make_sim):
    vault = offline_vault
    interval = 1.5
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000), "DataSending:offlineModeLimit": 0})
    vault.start()
    vault.post("commandTicket", fiscal.ticket(name="Z"))
    assert vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]["serviceStatus"] == 2
    with vault.db() as db:
        begin = db.service_data("servicerequest")["offlinePeriod"]["beginTime"]
    sim = make_sim(port=dead_port)

    sent = sim.wait_for_frames(1, interval * 3)[0]
    assert ticket_names([sent]) == ["Z"]
    # Stored status 2: the period is neither ended in the request nor cleared.
    assert fiscal.is_unset(sent.request.service.offline_period.end_time)
    vault.wait_status(0, interval * 3)
    emptied = time.monotonic()
    assert emptied - sent.received_at >= interval * 0.8, "a success in status 2 keeps the full interval"
    with vault.db() as db:
        assert db.messages() == []
        assert db.service_data("servicerequest")["offlinePeriod"]["beginTime"] == begin


def test_failed_deletion_blocks_and_keeps_the_message(vault, sim):
    interval = 0.8
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000)})
    vault.start()
    sim.script(Answer(code=2))
    vault.post("commandTicket", fiscal.ticket(name="D"))
    with vault.db() as db:
        db.execute_script("CREATE TRIGGER keep_messages BEFORE DELETE ON messages "
                          "BEGIN SELECT RAISE(ABORT, 'kept'); END;")

    frames = sim.wait_for_frames(2, interval * 4)
    assert ticket_names(frames) == ["D", "D"]
    vault.wait_status(2, 5)
    time.sleep(interval * 2)
    assert len(sim.frames) == 2, "the worker has ended"
    with vault.db() as db:
        assert [m["request"]["items"][0]["commodity"]["name"] for _, m in db.messages()] == ["D"]
        assert db.status() == 2


def test_placeholder_goes_out_as_service_request(vault, sim):
    vault.configure({"DataSending:reconnectionTimeout": 500})
    vault.start()
    sim.script(Answer(code=2))
    vault.post("commandSystem")
    with vault.db() as db:
        assert [m for _, m in db.messages()] == [{"command": 0, "request": None}]
    placeholder = sim.wait_for_frames(2, 5)[1]
    assert placeholder.command == 0 and placeholder.body() is None and placeholder.request.HasField("service")
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.messages() == []


def test_message_is_sent_even_when_worker_starts_at_once(vault, sim):
    vault.configure({"DataSending:reconnectionTimeout": 0})
    vault.start()
    sim.script(Answer(code=2))
    vault.post("commandTicket", fiscal.ticket(name="Сразу"))
    frames = sim.wait_for_frames(2, 5)
    assert ticket_names(frames) == ["Сразу", "Сразу"]
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.messages() == []


@pytest.mark.parametrize("interruption", ["between sends", "answer in flight"])
def test_restart_in_the_middle_of_a_drain_loses_nothing(vault, sim, interruption):
    interval = 1.0
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000), "DataSending:operationTimeout": 300})
    vault.start()
    # Main: T1 goes offline. Worker: T1 and T2 accepted, then T3 fails or is never answered.
    third = Answer(action="close") if interruption == "between sends" else Answer(action="silent")
    sim.script(Answer(code=2), Answer(), Answer(), third)
    names = ["T1", "T2", "T3", "T4", "T5"]
    for name in names:
        vault.post("commandTicket", fiscal.ticket(name=name))
    with vault.db() as db:
        assert len(db.messages()) == 5

    sim.wait_for_frames(4, interval * 4)
    time.sleep(0.2)
    assert vault.stop() == 0
    held = len(sim.frames)
    with vault.db() as db:
        left = [m["request"]["items"][0]["commodity"]["name"] for _, m in db.messages()]
        assert db.status() == 1
    assert left == ["T3", "T4", "T5"]

    vault.start()
    assert vault.status_block()["serviceStatus"] == 1
    frames = sim.wait_for_frames(held + 3, interval * 5)
    assert ticket_names(frames[held:]) == ["T3", "T4", "T5"]
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.messages() == []
    delivered = ticket_names([f for f in frames[1:] if f.reply])
    assert [n for n in delivered if n in names] == ["T1", "T2", "T3", "T4", "T5"]
    assert_no_thread_warnings(vault)


@pytest.mark.parametrize("text", [
    "garbage",
    '{"command": 1, "request": {"items": [{"commodity"',
    "[1, 2]",
    "{}",
    '{"request": {"operation": 2}}',
    '{"command": "1", "request": {"operation": 2}}',
    "",
], ids=["no-json", "cut", "array", "empty-object", "no-command", "text-command", "empty-text"])
def test_damaged_queue_entry_blocks_until_the_engineer_removes_it(vault, sim, text):
    vault.configure({"DataSending:reconnectionTimeout": 300})
    vault.start()
    vault.stop()
    with vault.db() as db:
        db.set_status(1)
        db.execute("INSERT INTO messages(data) VALUES(?)", (text,))
        db.add_message({"command": 1, "request": fiscal.ticket(name="После")})
        (damaged, _), (behind, _) = db.query("SELECT messageid, data FROM messages ORDER BY messageid")

    vault.start()
    vault.wait_status(2, 5)
    time.sleep(1.0)
    assert sim.frames == [], "a damaged entry is not sent, and nothing behind it either"
    with vault.db() as db:
        rows = db.query("SELECT messageid, data FROM messages ORDER BY messageid")
        assert db.status() == 2
    assert [r[0] for r in rows] == [damaged, behind] and rows[0][1] == text, "nothing is deleted"
    assert_logged(vault, "ERROR", "queuehandler",
                  "Сообщение в очереди с messageid = %d повреждено и не может быть отправлено" % damaged)
    assert vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]["errorMessage"] == \
        "Сервис в режиме блокировки"

    # The engineer's road: inspect, remove, reset the status; the next start drains the rest.
    vault.stop()
    assert text in vault.probe("message", str(damaged)).stdout
    assert vault.probe("message", str(damaged), "delete").stdout.strip() == "Сообщение удалено"
    assert vault.probe("status", "clean").returncode == 0
    vault.start()
    sent = sim.wait_for_frames(1, 5)
    assert ticket_names(sent) == ["После"]
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.messages() == []
