"""Unlucky conditions: the service must neither crash nor lose an accepted
document, nor leave one in the queue while it runs in normal mode."""

import signal
import time

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
