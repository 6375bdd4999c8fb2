"""Offline receipt numbers: one per receipt, increasing, also across restarts,
and the second the receipt was queued in whenever that is still free."""

import time

import pytest

import fiscal

# A frozen wall clock: every receipt of the test is made in this one second.
FROZEN = "2026-12-09 08:30:52"
FROZEN_SECOND = int(time.mktime(time.strptime(FROZEN, "%Y-%m-%d %H:%M:%S")))


def queued_numbers(vault):
    with vault.db() as db:
        return [m["request"].get("offlineTicketNumber") for _, m in db.messages() if m["command"] == 1]


def offline_receipt(vault, printed):
    block = vault.post("commandTicket", fiscal.ticket(printed=printed))["kkmInfoObject"]
    assert (block["serviceStatus"], block["errorMessage"]) == (1, "Сервис в автономном режиме")
    return int(block["data"])


def test_receipts_of_one_second_get_consecutive_numbers_also_after_a_restart(offline_vault):
    offline_vault.start(faketime=FROZEN)
    first = offline_vault.post("commandTicket", fiscal.ticket(printed=1))["kkmInfoObject"]
    # The receipt that begins the outage is queued as it came, without a number.
    assert (first["serviceStatus"], first["errorMessage"], first["data"]) == (1, "Нет связи с сервером ОФД", "")

    numbers = [offline_receipt(offline_vault, printed) for printed in range(2, 32)]
    assert numbers == list(range(FROZEN_SECOND, FROZEN_SECOND + 30))

    offline_vault.restart(faketime=FROZEN)
    numbers += [offline_receipt(offline_vault, printed) for printed in (32, 33)]
    assert numbers[-2:] == [FROZEN_SECOND + 30, FROZEN_SECOND + 31]
    # What the reply said is what goes to the operator.
    assert queued_numbers(offline_vault) == [None] + numbers


def test_receipts_seconds_apart_keep_their_second(offline_vault):
    offline_vault.start(movable_clock=True)
    offline_vault.post("commandTicket", fiscal.ticket(printed=1))
    numbers = []
    for offset, printed in ((0, 2), (7, 3), (20, 4)):
        offline_vault.set_clock("+%ds" % offset)
        before = int(time.time()) + offset
        numbers.append(offline_receipt(offline_vault, printed))
        after = int(time.time()) + offset
        assert before <= numbers[-1] <= after
    assert queued_numbers(offline_vault) == [None] + numbers


@pytest.mark.parametrize("stored", ["garbage", '{"number":9223372036854775807}'], ids=["no-json", "int64-max"])
def test_receipt_is_not_queued_when_the_last_number_cannot_be_read(offline_vault, stored):
    offline_vault.start(faketime=FROZEN)
    offline_vault.post("commandTicket", fiscal.ticket(printed=1))
    assert offline_receipt(offline_vault, 2) == FROZEN_SECOND
    with offline_vault.db() as db:
        db.execute_script("UPDATE servicedata SET data = '%s' WHERE name = 'offlineticketnumber'" % stored)

    # Any number given now might repeat one given before.
    block = offline_vault.post("commandTicket", fiscal.ticket(printed=3))["kkmInfoObject"]
    assert (block["serviceStatus"], block["errorMessage"], block["data"]) == \
        (2, "Не удалось сохранить сообщение в очередь", "")
    assert queued_numbers(offline_vault) == [None, FROZEN_SECOND]
