"""docs/http-api.md holds to the service: every json block is a request the
service accepts, and the table of every reply states what really comes back,
command by command and state by state."""

import datetime
import json
import re
import time

import pytest

from harness import REPO, wait_for
from sim import Answer

DOC = REPO / "docs" / "http-api.md"

COMMANDS = [
    "commandSystem", "commandInfo", "commandCloseShift", "saveTicketRequest", "saveReportRequest",
    "getLastTicketRequest", "commandReport", "commandMoneyPlacement", "commandTicket", "getLastReportRequest",
    "getLastReportResponse", "getLastServiceResponse", "getLastServiceRequest", "getLastInfoServiceResponse",
]
OPERATOR_COMMANDS = ["commandSystem", "commandInfo", "commandTicket", "commandMoneyPlacement", "commandReport",
                     "commandCloseShift"]


def doc_text():
    return DOC.read_text(encoding="utf-8")


def json_blocks(text):
    return [m.group(1) for m in re.finditer(r"^```json\n(.*?)^```$", text, re.S | re.M)]


def examples():
    """The first request example of each command, as the document gives it."""
    first = {}
    for block in json_blocks(doc_text()):
        body = json.loads(block)
        first.setdefault(body["command"], body.get("object"))
    return first


# ---------------------------------------------------------------- the reply table

BLOCK_COLUMNS = ("serviceStatus", "errorMessage", "data", "lockDate", "offlineModeReason")


def section(text, heading):
    """The text under a "## " heading; empty when there is none (the tests that read it then fail)."""
    marker = "\n## %s\n" % heading
    return text.split(marker, 1)[1].split("\n## ", 1)[0] if marker in text else ""


def reply_rows(text):
    """The rows of the table under "## Every reply": (commands, state, expected)."""
    rows = []
    for line in section(text, "Every reply").splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if not line.startswith("| `") or len(cells) != 8:
            continue  # the table of the states, or no row
        commands, state, status, message, data, lock, reason, keys = cells
        # What follows in parentheses is a remark, not a key; a key marked † comes only when the
        # operator's server sends it.
        listed = re.findall(r"`([\w.]+)`(†?)", keys.split("(")[0])
        rows.append((re.findall(r"`(\w+)`", commands), state.strip("`"), {
            "serviceStatus": int(status),
            "errorMessage": "" if message == "empty" else message.strip('"'),
            "data": data,
            "lockDate": lock,
            "offlineModeReason": int(reason),
            "keys": [key for key, mark in listed if not mark],
            "server keys": [key for key, mark in listed if mark],
        }))
    return rows


# The replies that carry the service part of the operator's answer, whose optional keys the server decides.
SERVICE_PART_COMMANDS = {"commandSystem", "getLastServiceResponse", "getLastInfoServiceResponse"}


def cases():
    """Each row once with a server that sends every optional part, and the rows of the service part
    once more with a server that sends none."""
    params = []
    for commands, state, expected in reply_rows(doc_text()):
        for command in commands:
            params.append(pytest.param(command, state, expected, False, id="%s-%s" % (state, command)))
            if command in SERVICE_PART_COMMANDS:
                params.append(pytest.param(command, state, expected, True, id="%s-%s-bare" % (state, command)))
    return params


def test_the_reply_table_covers_every_command_and_state():
    rows = reply_rows(doc_text())
    covered = {command for commands, _, _ in rows for command in commands}
    assert covered == set(COMMANDS)
    assert {state for _, state, _ in rows} == set(STATES)
    seen = [(command, state) for commands, state, _ in rows for command in commands]
    assert len(seen) == len(set(seen)), "a command and state stated twice"


# How the simulator brings a fresh service into each state of the table.

def online(vault, sim):
    vault.start()


def answering(code):
    def state(vault, sim):
        vault.start()
        sim.control("code %d" % code)
    return state


def accepting_with_11(vault, sim):
    # A receipt first, so that the server has a last document to tell of.
    answering(11)(vault, sim)
    vault.post("commandTicket", examples()["commandTicket"])


def unreachable(vault, sim):
    vault.start()
    sim.control("close")


def token_rejected(vault, sim):
    vault.start()
    sim.control("reject-token")


def autonomous(vault, sim):
    unreachable(vault, sim)
    vault.post("commandTicket", examples()["commandTicket"])


def draining(vault, sim):
    # Long timeouts hold the second delivery open while the test asks.
    vault.configure({"DataSending:reconnectionTimeout": 300, "Connection:readTimeout": 5000,
                     "DataSending:operationTimeout": 5000})
    autonomous(vault, sim)
    vault.post("commandTicket", examples()["commandTicket"])
    # Scripted answers come before the default, so the worker's next two tries take them.
    sim.script(Answer(), Answer(action="silent"))
    sim.default = Answer()
    wait_for(lambda: sim.scripted == 0, 15, what="first queued document delivered, second held")


def after_outage(vault, sim):
    vault.configure({"DataSending:reconnectionTimeout": 300})
    autonomous(vault, sim)
    sim.control("normal")
    vault.wait_status(0, 15)


def blocked(vault, sim):
    answering(13)(vault, sim)
    vault.post("commandSystem")


def server_blocking(vault, sim):
    vault.start()
    sim.control("block")


def server_blocked(vault, sim):
    server_blocking(vault, sim)
    vault.post("commandSystem")


def closing_queued(vault, sim):
    autonomous(vault, sim)
    vault.post("commandCloseShift", examples()["commandCloseShift"])


def records(vault, sim):
    vault.start()
    for command in ("commandTicket", "commandSystem", "commandInfo", "commandReport", "saveTicketRequest",
                    "saveReportRequest"):
        vault.post(command, examples().get(command))


STATES = {
    "online": online,
    "online-11": accepting_with_11,
    "refused": answering(13),
    "unreachable": unreachable,
    "token-rejected": token_rejected,
    "autonomous": autonomous,
    "closing-queued": closing_queued,
    "draining": draining,
    "after-outage": after_outage,
    "blocked": blocked,
    "server-blocks": server_blocking,
    "server-blocked": server_blocked,
    "no-record": online,
    "record": records,
}


@pytest.mark.parametrize("command, state, expected, bare", cases())
def test_every_reply_is_as_the_table_states(vault, sim, command, state, expected, bare):
    if bare:
        sim.control("last-document-info off")
    else:
        sim.control("taxation 100 12")
        sim.control("ad 0 1 'Спасибо за покупку'")
    STATES[state](vault, sim)
    reply = vault.post(command, examples().get(command))

    block = reply["kkmInfoObject"]
    assert sorted(block) == sorted(BLOCK_COLUMNS + ("serviceStatusByDbState",))
    got = {name: block[name] for name in ("serviceStatus", "errorMessage", "offlineModeReason")}
    assert got == {name: expected[name] for name in got}, reply
    # The offline number and the lock date change from run to run: the table says whether they are there.
    assert ("offline number" if block["data"].isdigit() else block["data"] or "empty") == expected["data"], reply
    assert ("set" if block["lockDate"] else "empty") == expected["lockDate"], reply
    assert block["serviceStatusByDbState"] == 0

    always = {path.split(".")[0] for path in expected["keys"]}
    sometimes = set(expected["server keys"])
    got = set(reply) - {"kkmInfoObject"}
    # A listed key may be missing only where it is marked as the server's; none comes unlisted.
    assert always <= got <= always | sometimes, reply
    if bare:
        assert got == always, reply
    for path in expected["keys"]:
        steps = path.split(".")
        value = reply
        for step, inner in zip(steps, steps[1:]):
            value = value[step]
            assert sorted(value) == [inner], (path, reply)


def text_rows(text):
    """The rows of the table under "## Every text": (text, status, commands the row is for, answer).
    A row for no command in particular holds for every command without a row of its own."""
    rows = []
    for m in re.finditer(r'^\| "([^"]*)"[^|]*\|([^|]*)\|([^|]*)\|([^|]*)\|$', section(text, "Every text"), re.M):
        message, status, when, action = m.groups()
        scope = frozenset(re.findall(r"`(\w+)`", when)) & set(COMMANDS)
        rows.append((message, status.strip(), scope, action.strip()))
    return rows


def listed_texts(text):
    """The texts of the table under "## Every text", in order."""
    return [message for message, _, _, _ in text_rows(text)]


def test_every_text_the_service_gives_is_listed_once():
    text = doc_text()
    listed = listed_texts(text)
    scoped = [(message, scope) for message, _, scope, _ in text_rows(text) if message]
    assert len(scoped) == len(set(scoped)), "a text listed twice for the same commands"
    # All the result-code texts of the service's own table, and every text a reply of the table carries.
    tables = (REPO / "service" / "servicetables.cpp").read_text(encoding="utf-8")
    codes = tables.split("resultCodeMessages", 1)[1].split("};", 1)[0]
    result_texts = re.findall(r'\{\d+, "([^"]+)"\}', codes)
    assert result_texts, "the result-code table was not found"
    replied = {expected["errorMessage"] for _, _, expected in reply_rows(text)}
    assert set(result_texts) | replied <= set(listed)


# What a reply asks of the till: only a fiscal document is ever queued and counted.
DOCUMENTS = {"commandTicket", "commandMoneyPlacement", "commandReport", "commandCloseShift"}
DOCUMENT_ANSWERS = ("queued, never resend",)


def test_every_reply_of_the_table_has_one_answer_that_fits_its_command():
    text = doc_text()
    texts = text_rows(text)
    for commands, state, expected in reply_rows(text):
        for command in set(commands) & set(OPERATOR_COMMANDS):
            status = expected["serviceStatus"]
            same = [r for r in texts if r[0] == expected["errorMessage"]
                    and (str(status) in r[1] or r[1].startswith("current"))]
            rows = [r for r in same if command in r[2]] or [r for r in same if not r[2]]
            where = (command, state, expected["errorMessage"], status)
            assert len(rows) == 1, where
            action = rows[0][3]
            queued = action.startswith(DOCUMENT_ANSWERS)
            assert queued == (command in DOCUMENTS and status == 1), (where, action)


# ---------------------------------------------------------------- requests

def test_every_command_has_a_section_with_an_example():
    text = doc_text()
    headings = re.findall(r"^### (\S+)$", text, re.M)
    assert sorted(headings) == sorted(COMMANDS)
    assert sorted({json.loads(block)["command"] for block in json_blocks(text)}) == sorted(COMMANDS)


def test_every_example_is_accepted_in_order(vault, sim):
    vault.start()
    sent = []
    for block in json_blocks(doc_text()):
        body = json.loads(block)
        status, _, raw = vault.http(block.encode("utf-8"))
        reply = json.loads(raw.decode("utf-8"))
        assert status == 200
        assert reply.get("kkmInfoObject", {}).get("serviceStatus") == 0, (body["command"], reply)
        assert reply["kkmInfoObject"]["errorMessage"] == "", (body["command"], reply)
        if body["command"] in OPERATOR_COMMANDS:
            sent.append(body["command"])
    # Each document that goes to the operator's server got there.
    numbers = {"commandSystem": 0, "commandTicket": 1, "commandCloseShift": 2, "commandReport": 3,
               "commandInfo": 5, "commandMoneyPlacement": 6}
    assert [f.command for f in sim.frames] == [numbers[c] for c in sent]


def test_an_unknown_command_gets_the_empty_object_as_written(vault, sim):
    vault.start()
    _, _, raw = vault.http(b'{"command": "commandUnknown"}')
    assert raw == b"{\n}\n"


def test_the_report_fields_name_every_key_of_the_echoed_report(vault, sim):
    vault.start()
    reply = vault.post("commandReport", examples()["commandReport"])
    fields = doc_text().split("The report (`zxReport` here", 1)[1].split("\n\n", 2)[1]
    named = set(re.findall(r"\w+", fields))

    def keys(value):
        if isinstance(value, dict):
            for key, inner in value.items():
                if not key.isdigit():  # operation types, payment types, rates, section codes
                    yield key
                yield from keys(inner)

    assert set(keys(reply["zxReport"])) <= named


def test_the_first_document_after_a_closing_opens_the_next_shift(vault, sim):
    vault.start()
    bodies = [json.loads(block) for block in json_blocks(doc_text())]
    commands = [body["command"] for body in bodies]
    closing = commands.index("commandCloseShift")
    after = [body for body in bodies[closing + 1:] if body["command"] in ("commandTicket", "commandMoneyPlacement")]
    assert after, "no example of a document after the closing"
    for body in bodies:
        assert vault.post(body["command"], body.get("object"))["kkmInfoObject"]["serviceStatus"] == 0, body
    shift = bodies[closing]["object"]["frShiftNumber"]
    with vault.db() as db:
        assert [row[0] for row in db.query("SELECT shiftnum FROM fiscalmemory")] == [shift]
        counters = json.loads(db.query("SELECT data FROM shiftcounters")[0][0])
    # Only what came after the closing is counted in the open shift.
    expected = {}
    operations = {0: "OPERATION_BUY", 1: "OPERATION_BUY_RETURN", 2: "OPERATION_SELL", 3: "OPERATION_SELL_RETURN"}
    payments = {"0": "PAYMENT_CASH", "1": "PAYMENT_CARD", "4": "PAYMENT_MOBILE"}
    for body in after:
        document = body["object"]
        if body["command"] == "commandTicket":
            counted = expected.setdefault(operations[document["operation"]], {})
            for kind, amount in document["payments"].items():
                counted[payments[kind]] = counted.get(payments[kind], 0) + amount
        else:
            key = ("MONEY_PLACEMENT_DEPOSIT", "MONEY_PLACEMENT_WITHDRAWAL")[document.get("operation", 0)]
            expected[key] = expected.get(key, 0) + document["sum"]
    assert {key: counters[key] for key in expected} == expected
    assert {b["object"]["frShiftNumber"] for b in after} == {shift + 1}


def test_the_offline_period_begins_in_the_tills_local_time(vault, sim):
    section_text = doc_text().split("### getLastServiceRequest", 1)[1].split("\n### ", 1)[0]
    form = re.search(r"`(yyyy-MM-ddTHH:mm:ss)`", section_text)
    assert form, "the form of beginTime is not given"
    pattern = re.escape(form.group(1))
    for letters, digits in (("yyyy", r"\d{4}"), ("MM", r"\d\d"), ("dd", r"\d\d"), ("HH", r"\d\d"),
                            ("mm", r"\d\d"), ("ss", r"\d\d")):
        pattern = pattern.replace(letters, digits)
    # A zone seven hours east of UTC without daylight saving: a time written in UTC would show.
    vault.start(env={"TZ": "XYZ-07"})
    sim.control("close")
    vault.post("commandTicket", examples()["commandTicket"])
    now = datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=7))).replace(tzinfo=None)
    reply = vault.post("getLastServiceRequest")
    begin, lock = reply["offlinePeriod"]["beginTime"], reply["kkmInfoObject"]["lockDate"]
    assert re.fullmatch(pattern, begin) and re.fullmatch(pattern, lock), reply
    assert abs((datetime.datetime.fromisoformat(begin) - now).total_seconds()) < 10
    assert datetime.datetime.fromisoformat(lock) - datetime.datetime.fromisoformat(begin) == \
        datetime.timedelta(hours=72)
    assert reply["offlinePeriod"]["endTime"] == ""


def test_a_documents_own_date_time_is_not_the_clock_that_is_checked(vault, sim):
    rows = section(doc_text(), "Every text").splitlines()
    clock_row = [line for line in rows if line.startswith('| "Время некорректно. Сервис в режиме блокировки"')]
    assert clock_row and "`dateTime`" in clock_row[0], "the clock check does not say which time counts"
    vault.start()
    sale = examples()["commandTicket"]
    for date_time in ("2030-01-01T00:00:00", "2000-01-01T00:00:00", ""):
        reply = vault.post("commandTicket", dict(sale, dateTime=date_time))
        assert reply["kkmInfoObject"]["serviceStatus"] == 0, (date_time, reply)


def return_examples():
    return [json.loads(block)["object"] for block in json_blocks(doc_text())
            if json.loads(block)["command"] == "commandTicket" and "parentTicket" in json.loads(block).get("object", {})]


def test_the_return_of_an_outages_first_receipt_is_sent_as_the_document_says(vault, sim):
    unnumbered = [r for r in return_examples() if r["parentTicket"]["number"] == ""]
    assert unnumbered, "no example of the return of an outage's first receipt"
    refund = unnumbered[0]
    parent = refund["parentTicket"]
    vault.configure({"DataSending:reconnectionTimeout": 300})
    vault.start()
    sim.control("close")
    sale = dict(examples()["commandTicket"], dateTime=parent["dateTime"],
                amounts={"total": parent["sum"]}, payments={"0": parent["sum"]})
    first = vault.post("commandTicket", sale)["kkmInfoObject"]
    assert (first["serviceStatus"], first["data"]) == (1, "")
    sim.control("normal")
    vault.wait_status(0, 15)
    # The operator got the original as an ordinary receipt, without an offline number.
    delivered = [f for f in sim.frames if f.command == 1 and f.reply][-1].request.ticket
    assert not delivered.HasField("offline_ticket_number")
    assert vault.post("commandTicket", refund)["kkmInfoObject"]["serviceStatus"] == 0
    sent = sim.frames[-1].request.ticket.parent_ticket
    assert (sent.parent_ticket_number, sent.parent_ticket_is_offline) == ("", False)
    assert sent.parent_ticket_data_time == delivered.date_time


def copies_rows(text):
    """The table of how many copies of one receipt the operator's server holds:
    (settings, simulator command, reply status, reply text, copies)."""
    rows = []
    for line in section(text, "When a reply does not come").splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 4 or not cells[3].isdigit():
            continue
        settings = {key: int(value) for key, value in re.findall(r"`([\w:]+)` (\d+)", cells[0])}
        status, message = re.fullmatch(r'(\d)(?:, "([^"]*)")?', cells[2]).groups()
        rows.append((settings, cells[1].strip("`"), int(status), message or "", int(cells[3])))
    return rows


def test_the_operator_holds_a_document_once_per_attempt_that_reached_it(vault, sim):
    rows = copies_rows(doc_text())
    assert rows, "no table of the operator's copies"
    for index, (settings, command, status, message, copies) in enumerate(rows):
        if vault.running:
            vault.stop()
        # A register of its own for each row: a fresh database and fresh books at the simulator.
        device = 100 + index
        vault.configure(dict(settings, **{"DataSending:reconnectionTimeout": 300, "KKM:deviceId": device}))
        vault.start()
        sim.control("normal")
        sim.control(command)
        sale = examples()["commandTicket"]
        block = vault.post("commandTicket", sale)["kkmInfoObject"]
        assert (block["serviceStatus"], block["errorMessage"]) == (status, message), command
        vault.wait_status(0, 15)
        wait_for(lambda: sim.book(device).tickets >= copies, 5, what="%d copies" % copies)
        time.sleep(0.3)
        assert sim.book(device).tickets == copies, command
        # Every copy carries the receipt's own numbers, by which the till tells copies from documents.
        tickets = [f.request.ticket for f in sim.frames if f.device_id == device and f.command == 1]
        assert {(t.fr_shift_number, t.printed_document_number) for t in tickets} == \
            {(sale["frShiftNumber"], sale["printedDocumentNumber"])}
        # The service counts it once.
        with vault.db() as db:
            counters = json.loads(db.query("SELECT data FROM shiftcounters")[0][0])
        assert sum(counters["OPERATION_SELL"].values()) == sum(sale["payments"].values())
