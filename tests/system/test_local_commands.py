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


def nested_object(depth: int, leaf="лист") -> dict:
    """The "object" of a body that nests depth levels: the body is level 1, the
    object level 2, and below it arrays and objects alternate down to the leaf."""
    value = leaf
    for level in range(depth, 2, -1):
        value = [value] if level % 2 else {"k": value}
    return {"k": value}


@pytest.mark.parametrize("command, read", [
    ("saveTicketRequest", "getLastTicketRequest"),
    ("saveReportRequest", "getLastReportRequest"),
    ("commandTicket", None),
])
@pytest.mark.parametrize("depth, leaf, served", [
    (16, "лист", True),
    (17, "лист", False),
    # Brackets and escaped quotes inside a text are no levels.
    (16, '\\"' + "[{" * 20 + '\\\\', True),
], ids=["16-levels", "17-levels", "brackets-in-text"])
def test_body_nested_deeper_than_16_levels_is_not_json(vault, sim, command, read, depth, leaf, served):
    vault.start()
    document = nested_object(depth, leaf)
    if command == "commandTicket":
        document = dict(fiscal.ticket(), **document)
    reply = vault.post(command, document)
    if not served:
        assert reply == {}
        assert "Получена неподдерживаемая команда: \n" in vault.log()
    else:
        assert reply["kkmInfoObject"]["serviceStatus"] == 0
    if read is not None:
        back = vault.post(read)
        back.pop("kkmInfoObject")
        assert back == (document if served else {})
    else:
        assert len(sim.frames) == (1 if served else 0)
        with vault.db() as db:
            assert len(db.query("SELECT data FROM shiftcounters")) == (1 if served else 0)


@pytest.mark.parametrize("command, lines, served", [
    # The body, its object and the list of lines are three of the 65536 objects and arrays.
    ("saveTicketRequest", 65533, True),
    ("saveTicketRequest", 65534, False),
    ("commandTicket", 65534, False),
])
def test_body_of_more_than_65536_objects_and_arrays_is_not_json(vault, sim, command, lines, served):
    vault.start()
    body = '{"command":"%s","object":{"items":[%s]}}' % (command, ",".join(["{}"] * lines))
    status, _, reply = vault.http(body.encode("ascii"))
    assert status == 200
    if served:
        assert json.loads(reply)["kkmInfoObject"]["serviceStatus"] == 0
        assert len(vault.post("getLastTicketRequest")["items"]) == lines
    else:
        assert json.loads(reply) == {}
        assert "Получена неподдерживаемая команда: \n" in vault.log()
        assert sim.frames == []
        assert "items" not in vault.post("getLastTicketRequest")
