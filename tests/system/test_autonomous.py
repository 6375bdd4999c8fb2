"""Autonomous mode: going offline, the queue message forms and their stamps,
the offline period and lock date, the offline limit and the clock check."""

import time
from datetime import datetime, timedelta

import pytest

import fiscal
from harness import wait_for
from sim import Answer

AUTONOMOUS = "Сервис в автономном режиме"
ISO = "%Y-%m-%dT%H:%M:%S"


def go_offline(vault, sim, reason, command="commandTicket", document=None):
    """Starts the service and sends one command that fails in normal mode."""
    vault.start()
    if reason == 2:
        sim.script(Answer(code=2))
    elif sim is not None:
        sim.default = Answer(action="close")
    if document is None:
        document = fiscal.document(command)
    return vault.post(command, document)


@pytest.fixture(params=[1, 2], ids=["no-connection", "invalid-token"])
def reason(request):
    return request.param


@pytest.fixture
def installation(request, reason):
    """(vault, sim) for the reason: a refused port, or a server that rejects the token."""
    if reason == 1:
        return request.getfixturevalue("offline_vault"), None
    return request.getfixturevalue("vault"), request.getfixturevalue("sim")


def test_failed_command_makes_service_autonomous(installation, reason):
    vault, sim = installation
    before = datetime.now().replace(microsecond=0)
    reply = go_offline(vault, sim, reason, document=fiscal.ticket(name="Первый"))
    after = datetime.now()

    block = reply["kkmInfoObject"]
    assert block["serviceStatus"] == 1
    assert block["errorMessage"] == ("Нет связи с сервером ОФД" if reason == 1 else "Invalid token")
    assert block["offlineModeReason"] == reason
    assert block["data"] == ""

    with vault.db() as db:
        assert db.status() == 1
        assert db.service_data("offlinemodereason") == {"reason": reason}
        (_, message), = db.messages()
        period = db.service_data("servicerequest")["offlinePeriod"]
    # The message whose failure starts autonomous mode carries no stamp.
    assert message["command"] == 1
    assert message["request"]["items"][0]["commodity"]["name"] == "Первый"
    assert "offlineTicketNumber" not in message["request"] and "isOfflineFlag" not in message["request"]

    begin = datetime.strptime(period["beginTime"][:19], ISO)
    assert before <= begin <= after
    assert period["endTime"] == ""
    assert datetime.strptime(block["lockDate"][:19], ISO) == begin + timedelta(hours=72)
    if sim is not None:
        # Code 2 is an accepted reply: the token moved on.
        assert len(sim.frames) == 1
        with vault.db() as db:
            assert db.service_data("transportdata")["packageNumber"] == 1


def test_queue_message_forms_while_autonomous(installation, reason):
    vault, sim = installation
    go_offline(vault, sim, reason)
    sent = len(sim.frames) if sim else 0

    replies = {}
    for command in ("commandTicket", "commandCloseShift", "commandReport", "commandMoneyPlacement",
                    "commandSystem"):
        replies[command] = vault.post(command, fiscal.document(command))
        block = replies[command]["kkmInfoObject"]
        assert block["serviceStatus"] == 1
        # A shift closing gets the current status block in place of the autonomous text.
        assert block["errorMessage"] == ("" if command == "commandCloseShift" else AUTONOMOUS)
        assert block["offlineModeReason"] == reason
    second_ticket = vault.post("commandTicket", fiscal.ticket(name="Второй"))

    with vault.db() as db:
        messages = [m for _, m in db.messages()]
    assert [m["command"] for m in messages] == [1, 1, 2, 3, 6, 1], "commandSystem queues nothing in status 1"
    ticket, close, report, placement, ticket2 = messages[1:]

    number = ticket["request"]["offlineTicketNumber"]
    assert isinstance(number, int) and abs(number - time.time()) < 30
    assert replies["commandTicket"]["kkmInfoObject"]["data"] == str(number)
    assert second_ticket["kkmInfoObject"]["data"] == str(ticket2["request"]["offlineTicketNumber"])
    for stamped in (close, placement):
        assert stamped["request"]["isOfflineFlag"] is True
        assert "offlineTicketNumber" not in stamped["request"]
    # The report goes on as the point-of-sale program sent it, plus the stamp.
    assert report["request"] == dict(fiscal.report(), isOfflineFlag=True)
    for command in ("commandCloseShift", "commandReport", "commandMoneyPlacement", "commandSystem"):
        assert replies[command]["kkmInfoObject"]["data"] == ""

    # Nothing left the machine while autonomous.
    assert (len(sim.frames) if sim else 0) == sent


def test_offline_stamp_replaces_what_the_document_holds(offline_vault):
    go_offline(offline_vault, None, 1)
    document = fiscal.close_shift()
    document["isOfflineFlag"] = False
    offline_vault.post("commandCloseShift", document)
    ticket = fiscal.ticket()
    ticket["offlineTicketNumber"] = 12345
    offline_vault.post("commandTicket", ticket)
    with offline_vault.db() as db:
        _, close, stamped = [m for _, m in db.messages()]
    assert close["request"]["isOfflineFlag"] is True
    assert stamped["request"]["offlineTicketNumber"] != 12345


@pytest.mark.parametrize("command", ["commandSystem", "commandInfo"])
def test_command_without_document_queues_placeholder(offline_vault, command):
    go_offline(offline_vault, None, 1, command=command)
    assert offline_vault.status_block()["serviceStatus"] == 1
    with offline_vault.db() as db:
        assert [m for _, m in db.messages()] == [{"command": 0, "request": None}]


def test_command_info_while_autonomous(offline_vault):
    go_offline(offline_vault, None, 1)
    reply = offline_vault.post("commandInfo")
    # Without a stored report answer: refused, while the service itself stays autonomous.
    assert list(reply) == ["kkmInfoObject"]
    block = dict(reply["kkmInfoObject"])
    assert block.pop("lockDate") != ""
    assert block == {"data": "", "errorMessage": "Инициализация ККМ невозможна", "offlineModeReason": 1,
                     "serviceStatus": 2, "serviceStatusByDbState": 0}
    assert offline_vault.status_block()["serviceStatus"] == 1

    offline_vault.post("commandReport", fiscal.report())
    stored = offline_vault.post("commandInfo")
    assert stored["kkmInfoObject"]["serviceStatus"] == 1
    assert stored["kkmInfoObject"]["errorMessage"] == ""
    with offline_vault.db() as db:
        assert [m["command"] for _, m in db.messages()] == [1, 3]


def test_offline_limit_blocks_the_service(offline_vault):
    offline_vault.configure({"DataSending:offlineModeLimit": 0})
    first = go_offline(offline_vault, None, 1)
    block = first["kkmInfoObject"]
    assert block["serviceStatus"] == 1
    with offline_vault.db() as db:
        begin = db.service_data("servicerequest")["offlinePeriod"]["beginTime"]
    assert block["lockDate"][:19] == begin[:19]

    reply = offline_vault.post("commandTicket", fiscal.ticket())
    assert reply["kkmInfoObject"]["serviceStatus"] == 2
    assert reply["kkmInfoObject"]["errorMessage"] == \
        "Время нахождения в автономном режиме превышено. Сервис в режиме блокировки"
    with offline_vault.db() as db:
        assert len(db.messages()) == 1, "the refused receipt is not queued"
        assert db.status() == 2
    assert offline_vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]["errorMessage"] == \
        "Сервис в режиме блокировки"


@pytest.mark.parametrize("hours, expected", [(2, 2), (0, 0)])
def test_lock_date_is_offline_begin_plus_limit(offline_vault, hours, expected):
    offline_vault.configure({"DataSending:offlineModeLimit": hours})
    go_offline(offline_vault, None, 1)
    block = offline_vault.status_block()
    with offline_vault.db() as db:
        begin = datetime.strptime(db.service_data("servicerequest")["offlinePeriod"]["beginTime"][:19], ISO)
    assert datetime.strptime(block["lockDate"][:19], ISO) - begin == timedelta(hours=expected)


def test_largest_offline_limit_does_not_block_the_queued_receipt(offline_vault):
    # Its seconds do not fit 32 bits; wrapped, the lock date fell before the outage.
    offline_vault.configure({"DataSending:offlineModeLimit": 2147483647})
    assert go_offline(offline_vault, None, 1)["kkmInfoObject"]["serviceStatus"] == 1

    block = offline_vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]
    assert (block["serviceStatus"], block["errorMessage"]) == (1, AUTONOMOUS)
    assert block["data"] != ""
    # The year 247007 has no ISO 8601 text of four digits; "" would read as no lock.
    assert block["lockDate"] == "9999-12-31T23:59:59"
    with offline_vault.db() as db:
        assert len(db.messages()) == 2
        assert db.status() == 1


@pytest.mark.parametrize("first, second, only_date, blocked", [
    ("2024-03-01 12:00:00", "2024-03-01 11:00:00", False, True),
    ("2024-03-01 12:00:00", "2024-03-01 11:00:00", True, False),
    ("2024-03-01 12:00:00", "2024-02-29 12:00:00", True, True),
    ("2024-03-01 12:00:00", "2024-03-01 12:30:00", False, False),
])
def test_clock_set_back_blocks_the_service(vault, sim, first, second, only_date, blocked):
    vault.configure({"Checks:checkOnlyRequestDate": only_date})
    vault.start(faketime="@" + first)
    assert vault.post("commandSystem")["kkmInfoObject"]["serviceStatus"] == 0
    with vault.db() as db:
        stamp = db.service_data("lastrequesttime")
    assert stamp["datetime"].startswith(first[:15]), "the first command creates the clock record"

    vault.restart(faketime="@" + second)
    reply = vault.post("commandSystem")
    with vault.db() as db:
        after = db.service_data("lastrequesttime")
        status = db.status()
    if blocked:
        assert reply["kkmInfoObject"]["serviceStatus"] == 2
        assert reply["kkmInfoObject"]["errorMessage"] == "Время некорректно. Сервис в режиме блокировки"
        assert len(sim.frames) == 1
        assert after == stamp
        assert status == 2
        assert "Недопустимое время выполнения запроса. Текущее время: " in vault.log()
    else:
        assert reply["kkmInfoObject"]["serviceStatus"] == 0
        assert len(sim.frames) == 2
        assert after["datetime"].startswith(second[:15])


LIMIT_TEXT = "Время нахождения в автономном режиме превышено. Сервис в режиме блокировки"


def stored_period_begin(vault) -> str:
    with vault.db() as db:
        return db.service_data("servicerequest")["offlinePeriod"]["beginTime"]


def lock_date_of_stored_period(vault, hours=72) -> str:
    begin = datetime.strptime(stored_period_begin(vault)[:19], ISO)
    return (begin + timedelta(hours=hours)).strftime(ISO)


def test_return_to_autonomous_mode_after_a_server_block_opens_a_period(vault, sim):
    vault.configure({"DataSending:reconnectionTimeout": 800})
    vault.start(movable_clock=True)
    # Main: A goes offline. Worker: A accepted (its period closed), B answered 15.
    # Lock worker: the block is lifted with B still queued. Later sends fail.
    sim.script(Answer(code=2), Answer(), Answer(code=15), Answer())
    sim.default = Answer(action="close")
    vault.post("commandTicket", fiscal.ticket(name="A"))
    vault.post("commandTicket", fiscal.ticket(name="B"))
    sim.wait_for_frames(4, 10)
    block = vault.wait_status(1, 5)

    assert stored_period_begin(vault) != "", "documents wait, so an offline period is open"
    assert block["lockDate"][:19] == lock_date_of_stored_period(vault)
    # The queue worker's failing send keeps that period and that lock date.
    sim.wait_for_frames(5, 5)
    time.sleep(1.5)
    assert vault.status_block()["lockDate"][:19] == lock_date_of_stored_period(vault)

    vault.set_clock("+73h")
    reply = vault.post("commandTicket", fiscal.ticket(name="C"))
    assert reply["kkmInfoObject"]["serviceStatus"] == 2
    assert reply["kkmInfoObject"]["errorMessage"] == LIMIT_TEXT


def test_lock_date_follows_the_period_the_queue_worker_opens(vault, sim):
    vault.configure({"DataSending:reconnectionTimeout": 1500})
    vault.start(movable_clock=True)
    sim.script(Answer(code=2))
    vault.post("commandTicket", fiscal.ticket(name="A"))
    vault.post("commandTicket", fiscal.ticket(name="B"))
    first_begin = stored_period_begin(vault)
    assert vault.status_block()["lockDate"][:19] == lock_date_of_stored_period(vault)

    # Ten hours later the worker delivers A (the period closes) and fails on B,
    # which opens a new period.
    vault.set_clock("+10h")
    sim.script(Answer())
    sim.default = Answer(action="close")
    wait_for(lambda: stored_period_begin(vault) not in ("", first_begin), 10, interval=0.1,
             what="a new offline period")
    assert vault.status_block()["lockDate"][:19] == lock_date_of_stored_period(vault)

    # 73 hours after the first period began, but 63 after the open one: still autonomous.
    vault.set_clock("+73h")
    reply = vault.post("commandTicket", fiscal.ticket(name="C"))
    assert reply["kkmInfoObject"]["serviceStatus"] == 1
    assert reply["kkmInfoObject"]["errorMessage"] == AUTONOMOUS
    assert reply["kkmInfoObject"]["lockDate"][:19] == lock_date_of_stored_period(vault)

    vault.set_clock("+83h")
    reply = vault.post("commandTicket", fiscal.ticket(name="D"))
    assert reply["kkmInfoObject"]["serviceStatus"] == 2
    assert reply["kkmInfoObject"]["errorMessage"] == LIMIT_TEXT


FISCAL_MEMORY_TEXT = "Ошибка при работе с фискальной памятью"
NOT_QUEUED_TEXT = "Не удалось сохранить сообщение в очередь"


@pytest.mark.parametrize("refused, text", [
    ("messages", NOT_QUEUED_TEXT),
    ("shiftcounters", FISCAL_MEMORY_TEXT),
], ids=["message-refused", "counters-refused"])
def test_receipt_while_autonomous_is_queued_and_counted_together_or_not_at_all(offline_vault, refused, text):
    go_offline(offline_vault, None, 1)
    with offline_vault.db() as db:
        queued = db.messages()
        counters = db.query("SELECT rowid, data FROM shiftcounters")
        db.execute_script("CREATE TRIGGER refuse_insert BEFORE INSERT ON %s BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                          "CREATE TRIGGER refuse_update BEFORE UPDATE ON %s BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                          % (refused, refused))

    block = offline_vault.post("commandTicket", fiscal.ticket(name="Второй"))["kkmInfoObject"]

    assert block["serviceStatus"] == 2
    assert block["errorMessage"] == text
    assert block["data"] == "", "an offline number for a receipt stored nowhere"
    with offline_vault.db() as db:
        assert db.messages() == queued
        assert db.query("SELECT rowid, data FROM shiftcounters") == counters
        assert db.status() == 2


@pytest.mark.parametrize("spoil", [
    "UPDATE servicedata SET data = 'garbage' WHERE name = 'servicerequest'",
    "ALTER TABLE servicedata RENAME TO servicedata_away",
], ids=["damaged-record", "unreadable-table"])
def test_offline_limit_holds_when_the_stored_period_cannot_be_read(offline_vault, spoil):
    offline_vault.start(movable_clock=True)
    offline_vault.post("commandTicket", fiscal.ticket(name="A"))
    assert offline_vault.status_block()["serviceStatus"] == 1
    with offline_vault.db() as db:
        db.execute_script(spoil)

    offline_vault.set_clock("+73h")
    block = offline_vault.post("commandTicket", fiscal.ticket(name="B"))["kkmInfoObject"]

    assert block["serviceStatus"] == 2
    assert block["errorMessage"] == LIMIT_TEXT
    assert offline_vault.log().count("Получение даты блокировки") == 1
