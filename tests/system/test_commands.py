"""The six operator commands online, the stored service information that follows
each answer, and the result codes that keep, block or server-block the service."""

import json

import pytest

import fiscal
from sim import Answer, default_report, default_service, field

BLOCKED = "Сервис в режиме блокировки"

OK_BLOCK = {"data": "", "errorMessage": "", "lockDate": "", "offlineModeReason": 0, "serviceStatus": 0,
            "serviceStatusByDbState": 0}


@pytest.mark.parametrize("command", list(fiscal.OPERATOR_COMMANDS))
def test_operator_command_online(vault, sim, command):
    number, body, _ = fiscal.OPERATOR_COMMANDS[command]
    vault.start()
    reply = vault.post(command, fiscal.document(command))

    frame = sim.wait_for_frames(1, 5)[0]
    assert frame.command == number
    assert frame.body() == body
    service = frame.request.service
    assert service.HasField("reg_info") and service.HasField("offline_period") and service.get_reg_info
    assert fiscal.is_unset(service.offline_period.begin_time)

    assert reply["kkmInfoObject"] == OK_BLOCK
    if command == "commandTicket":
        assert reply["ticketNumber"] == "SIM-TICKET-1"
    elif command == "commandSystem":
        assert reply["regInfo"]["kkm"]["fnsKkmId"] == "010101010101"
        assert reply["regInfo"]["org"]["title"] == "ТОО Симулятор"
    elif command in ("commandInfo", "commandReport", "commandCloseShift"):
        # The server reports back the figures it was sent; device information has its own.
        assert reply["zxReport"]["shiftNumber"] == (1 if command == "commandInfo" else 3)
        stored = vault.post("getLastReportResponse")
        assert {k: v for k, v in stored.items() if k != "kkmInfoObject"} == \
               {k: v for k, v in reply.items() if k != "kkmInfoObject"}
    elif command == "commandMoneyPlacement":
        assert list(reply) == ["kkmInfoObject"]

    service_response = vault.post("getLastServiceResponse")
    assert service_response["regInfo"]["kkm"]["serialNumber"] == "SIM-0001"
    info = vault.post("getLastInfoServiceResponse")
    if command == "commandInfo":
        assert info["regInfo"]["kkm"]["serialNumber"] == "SIM-0001"
    else:
        assert info["kkmInfoObject"]["errorMessage"] == "В базе данных отсутствует информация для печати"


def test_sent_documents_carry_their_content(vault, sim):
    vault.start()
    vault.post("commandTicket", fiscal.ticket(total=150.25, shift=4, name="Молоко"))
    vault.post("commandMoneyPlacement", fiscal.money_placement(operation=1, amount=70.5))
    vault.post("commandReport", fiscal.report(kind=1))
    ticket, placement, report = [f.request for f in sim.wait_for_frames(3, 5)]

    commodity = ticket.ticket.items[0].commodity
    assert commodity.name == "Молоко"
    assert (commodity.sum.bills, commodity.sum.coins) == (150, 25)
    assert ticket.ticket.fr_shift_number == 4
    assert not ticket.ticket.HasField("offline_ticket_number")
    assert placement.money_placement.operation == 1
    assert (placement.money_placement.sum.bills, placement.money_placement.sum.coins) == (70, 50)
    assert placement.money_placement.is_offline is False
    assert report.report.report == 1


def test_service_part_follows_answers_and_configuration(vault, sim):
    vault.configure({"KKM:fnsKkmId": "CFG-FNS", "KKM:serialNumber": "CFG-SN", "Service:organizationTitle": "Орг"})
    vault.start()

    def registered(part):
        kkm = part.reg_info.kkm
        kkm.point_of_payment_number, kkm.terminal_number = "P-1", "T-9"
        kkm.fns_kkm_id, kkm.serial_number, kkm.kkm_id = "ANS-FNS", "ANS-SN", "555"
        org = part.reg_info.org
        org.title, org.address, org.inn, org.okved, org.address_kz = "Ответ", "Адрес", "111", "222", "Мекенжай"
        extra = part.auxiliary.add()
        extra.key, extra.value = "promo", "1"

    def empty(part):
        part.reg_info.kkm.SetInParent()
        part.reg_info.org.SetInParent()

    sim.script(Answer(service=registered), Answer(service=empty), Answer())
    for _ in range(3):
        vault.post("commandSystem")
    _, second, third = sim.wait_for_frames(3, 5)

    kkm = second.request.service.reg_info.kkm
    assert (kkm.point_of_payment_number, kkm.terminal_number, kkm.fns_kkm_id, kkm.serial_number, kkm.kkm_id) == \
           ("P-1", "T-9", "ANS-FNS", "ANS-SN", "555")
    assert second.request.service.reg_info.org.title == "Ответ"
    assert [(p.key, p.value) for p in second.request.service.auxiliary] == [("promo", "1")]

    # An answer with empty registration data: the configuration fills what it can.
    kkm = third.request.service.reg_info.kkm
    assert not kkm.HasField("point_of_payment_number") and not kkm.HasField("terminal_number")
    assert (kkm.fns_kkm_id, kkm.serial_number, kkm.kkm_id) == ("CFG-FNS", "CFG-SN", "17")
    assert third.request.service.reg_info.org.title == "Орг"
    assert [(p.key, p.value) for p in third.request.service.auxiliary] == [("promo", "1")]


@pytest.mark.parametrize("setting, expected", [
    ("RTS", 101),
    ("TRFF", 102),
    ("TRBP", 103),
    ("rts", 100),
    (None, 100),
])
def test_ticket_taxes_carry_the_configured_taxation_type(vault, sim, setting, expected):
    vault.configure({"KKM:taxationType": setting})
    vault.start()
    vault.post("commandTicket", fiscal.ticket())
    ticket = sim.wait_for_frames(1, 5)[0].request.ticket
    taxes = list(ticket.taxes) + [t for item in ticket.items for t in item.commodity.taxes]
    assert taxes
    assert all(t.HasField("taxation_type") and t.taxation_type == expected for t in taxes)


@pytest.mark.parametrize("setting", [True, False])
def test_close_shift_takes_withdraw_money_from_configuration(vault, sim, setting):
    vault.configure({"KKM:withdrawMoney": setting})
    vault.start()
    document = fiscal.close_shift()
    document["withdrawMoney"] = not setting
    vault.post("commandCloseShift", document)
    assert sim.wait_for_frames(1, 5)[0].request.close_shift.withdraw_money is setting


@pytest.mark.parametrize("answer_fns, blocked, expected", [
    ("", False, "CFG-FNS"),
    ("ANS-FNS", False, "ANS-FNS"),
    (None, True, "CFG-FNS"),
])
def test_command_system_always_returns_fiscal_registration_number(vault, sim, answer_fns, blocked, expected):
    vault.configure({"KKM:fnsKkmId": "CFG-FNS"})
    vault.start()
    if blocked:
        sim.script(Answer(code=16))
        vault.post("commandSystem")
    else:
        def service(part):
            part.reg_info.kkm.fns_kkm_id = answer_fns
            part.reg_info.org.SetInParent()
        sim.script(Answer(service=service))
    reply = vault.post("commandSystem")
    assert reply["regInfo"]["kkm"]["fnsKkmId"] == expected
    if blocked:
        assert reply["regInfo"] == {"kkm": {"fnsKkmId": "CFG-FNS"}}
        assert reply["kkmInfoObject"]["errorMessage"] == BLOCKED


@pytest.mark.parametrize("code, status, message", [
    (0, 0, ""),
    (11, 0, "Время открытой смены истекло"),
    (1, 2, "Неизвестный ID устройства"),
    (13, 2, "Неверные входные данные"),
    (16, 2, ""),
    (15, 3, "Касса заблокирована"),
])
def test_result_code_keeps_blocks_or_server_blocks(vault, sim, code, status, message):
    vault.start()
    sim.script(Answer(code=code))
    reply = vault.post("commandTicket", fiscal.ticket())
    assert reply["kkmInfoObject"]["serviceStatus"] == status
    assert reply["kkmInfoObject"]["errorMessage"] == message
    with vault.db() as db:
        assert db.status() == status
        clock = db.service_data("lastrequesttime")
    assert clock and clock["datetime"]

    second = vault.post("commandTicket", fiscal.ticket())
    if status == 0:
        assert len(sim.wait_for_frames(2, 5)) == 2
        assert second["kkmInfoObject"]["serviceStatus"] == 0
        return
    # Blocked: refused without an exchange and without touching the clock record.
    assert second["kkmInfoObject"] == dict(OK_BLOCK, serviceStatus=status, errorMessage=BLOCKED)
    assert len(sim.frames) == 1
    with vault.db() as db:
        assert db.service_data("lastrequesttime") == clock
        assert db.messages() == []
        # A receipt the operator did not accept is not counted.
        assert db.query("SELECT data FROM shiftcounters") == []
    vault.restart()
    assert vault.status_block()["serviceStatus"] == status


@pytest.mark.parametrize("command", ["commandReport", "commandCloseShift", "commandInfo"])
def test_blocked_answer_of_report_commands_is_stored(vault, sim, command):
    vault.start()
    sim.script(Answer(code=16))
    vault.post("commandSystem")
    reply = vault.post(command, fiscal.document(command))
    assert reply["kkmInfoObject"]["errorMessage"] == BLOCKED
    with vault.db() as db:
        assert db.service_data("reportresponse") == reply


def test_closing_shifts_without_sales_keeps_working(vault, sim):
    vault.start()
    for shift in (1, 2, 3):
        reply = vault.post("commandCloseShift", fiscal.close_shift(shift=shift))
        assert reply["kkmInfoObject"]["serviceStatus"] == 0, reply
        assert reply["kkmInfoObject"]["errorMessage"] == ""
    vault.post("commandTicket", fiscal.ticket(total=150.0, shift=4))
    vault.post("commandMoneyPlacement", fiscal.money_placement(operation=0, amount=500.0, shift=4))
    reply = vault.post("commandCloseShift", fiscal.close_shift(shift=4))
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    counted = {"CHANGE": 0, "MONEY_PLACEMENT_DEPOSIT": 500, "OPERATION_SELL": {"PAYMENT_CASH": 150}}
    with vault.db() as db:
        rows = db.query("SELECT shiftnum, data FROM fiscalmemory ORDER BY rowid")
        assert [r[0] for r in rows] == [1, 2, 3, 4]
        assert json.loads(rows[-1][1]) == counted
        assert json.loads(db.query("SELECT data FROM protectedcounters")[0][0]) == counted
        assert db.query("SELECT data FROM shiftcounters") == []


def test_records_limit_outside_int_range_keeps_the_default(vault, sim):
    # Its low 32 bits would be a negative limit that trims away every record.
    vault.configure({"FiscalMemory:fiscalMemoryRecordsLimit": 3000000000})
    vault.start()
    for shift in (1, 2):
        vault.post("commandTicket", fiscal.ticket(shift=shift))
        reply = vault.post("commandCloseShift", fiscal.close_shift(shift=shift))
        assert reply["kkmInfoObject"]["serviceStatus"] == 0
    with vault.db() as db:
        assert [r[0] for r in db.query("SELECT shiftnum FROM fiscalmemory ORDER BY rowid")] == [1, 2]


@pytest.mark.parametrize("block_on_damage", [False, True])
def test_unreadable_service_records(vault, sim, block_on_damage):
    vault.configure({"Blocks:blockOnDbDamaged": block_on_damage})
    vault.start()
    with vault.db() as db:
        db.execute("DROP TABLE servicedata")
    reply = vault.post("commandSystem")
    block = reply["kkmInfoObject"]
    assert block["serviceStatus"] == 0
    if block_on_damage:
        assert block["serviceStatusByDbState"] == 2
        assert block["errorMessage"] == "Нет доступа к БД. Обратитесь в службу техподдержки"
        assert sim.frames == []
    else:
        # Sent all the same; the reply tells that the records cannot be read.
        assert block["serviceStatusByDbState"] == 1
        assert len(sim.frames) == 1
    local = vault.post("getLastTicketRequest")["kkmInfoObject"]
    assert local["serviceStatusByDbState"] == (2 if block_on_damage else 1)


@pytest.mark.parametrize("text", ["NaN", "nan", "inf", "-inf", "1e999"])
def test_amount_text_that_is_no_finite_number_counts_as_no_number(vault, sim, text):
    # A point-of-sale program's NaN.toFixed(2) gives "NaN". Once the shift has a
    # cash sum, a non-finite one cannot be added to it.
    vault.start()
    vault.post("commandTicket", fiscal.ticket(total=150.0))
    ticket = fiscal.ticket(total=150.0)
    ticket["payments"] = {"0": text, "1": 150.0}
    ticket["amounts"]["change"] = text
    reply = vault.post("commandTicket", ticket)
    assert reply["kkmInfoObject"]["serviceStatus"] == 0, reply
    assert reply["ticketNumber"] == "SIM-TICKET-2"

    sent = sim.wait_for_frames(2, 5)[1].request.ticket
    assert {p.type: (p.sum.bills, p.sum.coins) for p in sent.payments} == {0: (0, 0), 1: (150, 0)}
    assert (sent.amounts.change.bills, sent.amounts.change.coins) == (0, 0)
    with vault.db() as db:
        counters = json.loads(db.query("SELECT data FROM shiftcounters")[0][0])
    assert counters == {"CHANGE": 0, "OPERATION_SELL": {"PAYMENT_CASH": 150, "PAYMENT_CARD": 150}}
    vault.restart()
    assert vault.status_block()["serviceStatus"] == 0


def test_integer_beyond_its_range_counts_as_no_number(vault, sim):
    # Cut to their low 32 bits, these would be operation 1 (a purchase return), cashier 7 and shift 3.
    vault.start()
    for operation, code, shift in (("no number", "no number", "no number"), (4294967297, 4294967303, 4294967299)):
        ticket = fiscal.ticket(total=150.0)
        ticket["operation"] = operation
        ticket["operatorCashier"]["code"] = code
        ticket["frShiftNumber"] = shift
        assert vault.post("commandTicket", ticket)["kkmInfoObject"]["errorMessage"] == ""
    sent = [frame.request.ticket for frame in sim.wait_for_frames(2, 5)]
    assert [(t.operation, t.operator.code, t.fr_shift_number) for t in sent] == [(2, 0, 0), (2, 0, 0)]
    with vault.db() as db:
        counters = json.loads(db.query("SELECT data FROM shiftcounters")[0][0])
    assert counters == {"CHANGE": 0, "OPERATION_SELL": {"PAYMENT_CASH": 300}}


AUXILIARY_DROPPED = "Дополнительные данные ответа сохранены не полностью"


def auxiliary_answer(pairs):
    def service(part):
        default_service(part)
        for key, value in pairs.items():
            pair = part.auxiliary.add()
            pair.key, pair.value = key, value
    return Answer(service=service)


def compact_size(mapping) -> int:
    return len(json.dumps(mapping, ensure_ascii=False, separators=(",", ":")).encode("utf-8"))


@pytest.mark.parametrize("pairs, kept", [
    ({"k%04d" % i: "v" for i in range(1000)}, ["k%04d" % i for i in range(256)]),
    ({"k%04d" % i: "ж" * 600 for i in range(200)}, None),
], ids=["many-keys", "long-values"])
def test_stored_auxiliary_data_stays_bounded(vault, sim, pairs, kept):
    vault.start()
    sim.script(auxiliary_answer(pairs))
    vault.post("commandSystem")
    stored = vault.post("getLastServiceRequest")["auxiliary"]
    assert len(stored) <= 256 and compact_size(stored) <= 64 * 1024
    if kept is not None:
        assert sorted(stored) == kept
    else:
        assert compact_size(stored) > 64 * 1024 - 1300, "as many as fit"
        assert all(stored[key] == pairs[key] for key in stored)
    assert vault.log().count(AUXILIARY_DROPPED) == 1

    # A key already stored is still updated; new ones beyond the bound are not stored.
    first = sorted(stored)[0]
    changed = "ю" * len(stored[first])
    sim.script(auxiliary_answer({first: changed, "zzz": stored[first]}))
    vault.post("commandSystem")
    again = vault.post("getLastServiceRequest")["auxiliary"]
    assert again[first] == changed and "zzz" not in again
    assert sorted(again) == sorted(stored)
    assert vault.log().count(AUXILIARY_DROPPED) == 2
    # What the next request carries is the stored map.
    vault.post("commandSystem")
    carried = {p.key: p.value for p in sim.frames[-1].request.service.auxiliary}
    assert carried == again
    assert vault.log().count(AUXILIARY_DROPPED) == 2


def undeclared_report(zx_fields: bytes, fill):
    """A report answer whose ZXReport carries what fill sets and then the raw fields."""
    def report(part):
        default_report(part)
        fill(part.zx_report)
    return Answer(report=report, tail=field(4, field(2, zx_fields)))


def buy_for_ten(z):
    operation = z.operations.add()
    operation.operation, operation.count, operation.sum.bills = 0, 1, 10


def deposit_of_ten(z):
    placement = z.money_placements.add()
    placement.operation, placement.operations_count, placement.operations_sum.bills = 0, 1, 10


@pytest.mark.parametrize("answer, path, expected", [
    # operation 4 {7, 999.00} after BUY {1, 10.00}
    (undeclared_report(field(4, field(1, 4) + field(2, 7) + field(3, field(1, 999))), buy_for_ten),
     ["operations"], {"0": {"count": 1, "sum": 10}}),
    # payment type 2 after cash, in one ticket operation
    (undeclared_report(field(10, field(1, 2) + field(5, field(1, 0) + field(2, field(1, 10)) + field(3, 1))
                             + field(5, field(1, 2) + field(2, field(1, 999)) + field(3, 7))), lambda z: None),
     ["ticketOperations", "2", "payments"], {"0": {"count": 1, "sum": 10}}),
    # placement kind 2 after a deposit
    (undeclared_report(field(11, field(1, 2) + field(3, 7) + field(4, field(1, 999))), deposit_of_ten),
     ["moneyPlacements"],
     {"0": {"offlineCount": 0, "operationsCount": 1, "operationsSum": 10, "operationsTotalCount": 0}}),
], ids=["operation", "payment-type", "placement-kind"])
def test_report_entries_with_undeclared_enumeration_values_are_skipped(vault, sim, answer, path, expected):
    vault.start()
    sim.script(answer)
    reply = vault.post("commandReport", fiscal.report())
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    stored = vault.post("getLastReportResponse")
    for document in (reply, stored):
        value = document["zxReport"]
        for step in path:
            value = value[step]
        assert value == expected
