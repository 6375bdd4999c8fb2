"""The journal's warnings alone tell why a till stopped taking documents or
queues them: every change out of normal mode has a warning line with its
cause, and a document the operator accepted but the till could not keep is
named in an error line, so that it can be settled."""

import os
import re
import resource
import shutil

import pytest

import fiscal
from harness import START_TIMEOUT, port_open, wait_for

# What the journal files at warning or above (syslog priorities 0 to 4): logger and text.
JOURNAL_WARNING = re.compile(r"^<[0-4]>\S+ \S+ \S+ +\[[0-9a-f]+\] (.*)$", re.M)


def changes(vault):
    """The warnings of mode changes, over every start."""
    return [line for line in JOURNAL_WARNING.findall(vault.all_logs()) if "Причина: " in line]


def error_answer(vault, sim):
    sim.control("code 6")
    vault.post("commandTicket", fiscal.ticket())


def restart_while_blocked(vault, sim):
    error_answer(vault, sim)
    vault.stop()
    vault.start(journal=True)


def server_blocks(vault, sim):
    sim.control("block")
    vault.post("commandTicket", fiscal.ticket())


def unreachable(vault, sim):
    sim.control("close")
    vault.post("commandTicket", fiscal.ticket())


def token_rejected(vault, sim):
    sim.control("reject-token")
    vault.post("commandTicket", fiscal.ticket())


def file_replaced(vault, sim):
    older = vault.root / "older.db"
    shutil.copyfile(vault.db_path, older)
    os.replace(older, vault.db_path)
    vault.post("commandTicket", fiscal.ticket())


def queued_document_refused(vault, sim):
    unreachable(vault, sim)
    sim.control("code 6")
    vault.wait_status(2, 15)


# How the till leaves normal mode, and the warning lines that must say why
# (logger and text), in order.
ROADS = {
    "error answer": (error_answer, [
        "sender - Переход в режим блокировки. Причина: код результата 6 (Неверные настройки устройства)"]),
    "restart while blocked": (restart_while_blocked, [
        "sender - Переход в режим блокировки. Причина: код результата 6 (Неверные настройки устройства)",
        "sender - Переход в режим блокировки. Причина: статус сохранен до перезапуска"]),
    "server blocks": (server_blocks, [
        "sender - Переход в режим серверной блокировки. Причина: код результата 15 (Касса заблокирована)"]),
    "unreachable": (unreachable, ["sender - Переход в автономный режим. Причина: нет связи с сервером ОФД"]),
    "token rejected": (token_rejected, [
        "sender - Переход в автономный режим. Причина: код результата 2 (Неверный токен)"]),
    "file replaced": (file_replaced, [
        "sender - Переход в режим блокировки. Причина: файл базы данных изменен вне сервиса"]),
    "queued document refused": (queued_document_refused, [
        "sender - Переход в автономный режим. Причина: нет связи с сервером ОФД",
        "queuehandler - Переход в режим блокировки. Причина: код результата 6 (Неверные настройки устройства) "
        "на сообщение из очереди с messageid = 1"]),
}


@pytest.mark.parametrize("road", ROADS)
def test_every_change_out_of_normal_mode_is_a_warning_with_its_cause(vault, sim, road):
    make, expected = ROADS[road]
    vault.configure({"DataSending:reconnectionTimeout": 1000})
    vault.start(journal=True)
    vault.post("commandTicket", fiscal.ticket())
    assert changes(vault) == [], "nothing to warn of while documents go through"

    make(vault, sim)

    assert changes(vault) == expected, vault.log_tail()


def test_document_accepted_but_not_kept_is_named_for_settling(vault, sim):
    # Warnings and errors only: the log must not reach the size limit before the database does.
    vault.spawn(env={"TAXVAULT_LOG_LEVEL": "warn"})
    wait_for(lambda: port_open(vault.service_port), START_TIMEOUT, what="the service's port")
    vault.post("commandTicket", fiscal.ticket(total=10, printed=1))
    sizes = [p.stat().st_size for p in list(vault.data_dir.iterdir()) + vault.runs]
    resource.prlimit(vault.process.pid, resource.RLIMIT_FSIZE, (max(sizes) + 4096, resource.RLIM_INFINITY))

    printed = 1
    while True:
        printed += 1
        assert printed < 60, "the disk never filled"
        block = vault.post("commandTicket", fiscal.ticket(total=10, printed=printed))["kkmInfoObject"]
        if block["serviceStatus"] == 2:
            break
    resource.prlimit(vault.process.pid, resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    assert block["errorMessage"] == "Ошибка при работе с фискальной памятью"

    # The operator has the receipt under its own number; the till has only this line.
    accepted = sim.book(vault.device_id)
    assert accepted.last == (3, printed)
    line = ("Документ принят сервером ОФД, но не сохранен: номер документа %d, смена 3, номер чека ОФД SIM-TICKET-%d"
            % (printed, accepted.tickets))
    assert re.search(r" ERROR \[[0-9a-f]+\] sender - %s$" % re.escape(line), vault.log(), re.M), vault.log_tail()

    # The engineer's settling: with the status cleaned, the operator's last document is that one.
    assert vault.stop() == 0
    assert vault.probe("status", "clean").returncode == 0
    vault.start()
    last = vault.post("commandSystem")["lastDocumentInfo"]
    assert last == {"frShiftNumber": 3, "printedDocumentNumber": printed}
