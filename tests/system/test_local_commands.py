"""The eight commands that never leave the machine, the reply's HTTP shape and
requests the service does not know."""

import json

import pytest

import fiscal
from sim import Answer

READ_BACK = [
    ("getLastTicketRequest", "В базе данных отсутствует чек"),
    ("getLastReportRequest", "В базе данных отсутствует отчет"),
    ("getLastReportResponse", "В базе данных отсутствует ответ с отчетом"),
    ("getLastServiceResponse", "В базе данных отсутствует служебный ответ"),
    ("getLastServiceRequest", "В базе данных отсутствует служебный запрос"),
    ("getLastInfoServiceResponse", "В базе данных отсутствует информация для печати"),
]


@pytest.mark.parametrize("command, missing", READ_BACK)
def test_read_back_without_record(vault, sim, command, missing):
    vault.start()
    assert vault.post(command) == {"kkmInfoObject": {
        "data": "", "errorMessage": missing, "lockDate": "", "offlineModeReason": 0, "serviceStatus": 0,
        "serviceStatusByDbState": 0}}
    assert sim.frames == []


@pytest.mark.parametrize("save, read, document", [
    ("saveTicketRequest", "getLastTicketRequest", fiscal.ticket(name="Сохраненный")),
    ("saveReportRequest", "getLastReportRequest", fiscal.report(kind=0)),
    ("saveReportRequest", "getLastReportRequest", {"any": ["shape", 1, {"nested": True}], "unknown": "ключ"}),
])
def test_saved_document_reads_back_as_received(vault, sim, save, read, document):
    vault.start()
    reply = vault.post(save, document)
    assert reply["kkmInfoObject"]["errorMessage"] == ""
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    back = vault.post(read)
    block = back.pop("kkmInfoObject")
    assert back == document
    assert block["errorMessage"] == "" and block["serviceStatus"] == 0
    vault.restart()
    back = vault.post(read)
    back.pop("kkmInfoObject")
    assert back == document
    assert sim.frames == []


def test_saving_an_empty_ticket_reads_back_as_missing(vault):
    vault.start()
    vault.post("saveTicketRequest", fiscal.ticket())
    vault.post("saveTicketRequest", {})
    assert vault.post("getLastTicketRequest")["kkmInfoObject"]["errorMessage"] == "В базе данных отсутствует чек"


def test_local_commands_keep_working_while_blocked(vault, sim):
    vault.start()
    sim.script(Answer(code=16))
    vault.post("commandSystem")
    reply = vault.post("saveTicketRequest", {"n": 1})
    assert reply["kkmInfoObject"]["serviceStatus"] == 2
    assert reply["kkmInfoObject"]["errorMessage"] == ""
    back = vault.post("getLastTicketRequest")
    assert back["n"] == 1 and back["kkmInfoObject"]["serviceStatus"] == 2
    stored = vault.post("getLastServiceRequest")
    assert stored["kkmInfoObject"]["serviceStatus"] == 2
    assert stored["regInfo"]["kkm"]["fnsKkmId"] == "010101010101"
    assert len(sim.frames) == 1


@pytest.mark.parametrize("body", [
    b'{"command": "commandsystem"}',
    b'{"command": "CommandTicket", "object": {}}',
    b'{"command": "noSuchCommand"}',
    b'{"command": 5}',
    b'{}',
    b'[]',
    b'not json at all',
    b'',
], ids=["lower-case", "capitalised", "unknown", "number", "no-command", "array", "no-json", "empty"])
def test_unknown_request_gets_empty_object(vault, sim, body):
    vault.start()
    status, headers, content = vault.http(body)
    assert status == 200
    assert json.loads(content) == {}
    assert "Получена неподдерживаемая команда: " in vault.log()
    assert sim.frames == []


def test_reply_shape(vault):
    vault.start()
    status, headers, content = vault.http(json.dumps({"command": "getLastTicketRequest", "extra": 1}).encode())
    assert status == 200
    assert headers["Content-Type"] == "application/json"
    assert int(headers["Content-Length"]) == len(content)
    text = content.decode("utf-8")
    # Indented form, keys sorted.
    assert text.startswith('{\n    "kkmInfoObject": {\n        "data": ""')
    assert list(json.loads(text)["kkmInfoObject"]) == sorted(json.loads(text)["kkmInfoObject"])
    assert "Получена команда: getLastTicketRequest" in vault.log()
