"""docs/http-api.md holds to the service: every json block is a request the
service accepts, and the table of every reply states what really comes back,
command by command and state by state."""

import json
import re

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
        rows.append((re.findall(r"`(\w+)`", commands), state.strip("`"), {
            "serviceStatus": int(status),
            "errorMessage": "" if message == "empty" else message.strip('"'),
            "data": data,
            "lockDate": lock,
            "offlineModeReason": int(reason),
            # What follows in parentheses is a remark, not a key.
            "keys": re.findall(r"`([\w.]+)`", keys.split("(")[0]),
        }))
    return rows


def cases():
    return [pytest.param(command, state, expected, id="%s-%s" % (state, command))
            for commands, state, expected in reply_rows(doc_text()) for command in commands]


def test_the_reply_table_covers_every_command_and_state():
    rows = reply_rows(doc_text())
    covered = {command for commands, _, _ in rows for command in commands}
    assert covered == set(COMMANDS)
    assert {state for _, state, _ in rows} <= set(STATES)
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


def records(vault, sim):
    vault.start()
    for command in ("commandTicket", "commandSystem", "commandInfo", "commandReport", "saveTicketRequest",
                    "saveReportRequest"):
        vault.post(command, examples().get(command))


STATES = {
    "online": online,
    "online-11": answering(11),
    "refused": answering(13),
    "unreachable": unreachable,
    "token-rejected": token_rejected,
    "autonomous": autonomous,
    "draining": draining,
    "after-outage": after_outage,
    "blocked": blocked,
    "server-blocks": server_blocking,
    "server-blocked": server_blocked,
    "no-record": online,
    "record": records,
}


@pytest.mark.parametrize("command, state, expected", cases())
def test_every_reply_is_as_the_table_states(vault, sim, command, state, expected):
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

    top = sorted({path.split(".")[0] for path in expected["keys"]})
    assert sorted(set(reply) - {"kkmInfoObject"}) == top, reply
    for path in expected["keys"]:
        steps = path.split(".")
        value = reply
        for step, inner in zip(steps, steps[1:]):
            value = value[step]
            assert sorted(value) == [inner], (path, reply)


def listed_texts(text):
    """The texts of the table under "## Every text", in order."""
    return [m.group(1) for m in re.finditer(r'^\| "([^"]*)"', section(text, "Every text"), re.M)]


def test_every_text_the_service_gives_is_listed_once():
    text = doc_text()
    listed = listed_texts(text)
    said = [t for t in listed if t]
    assert len(said) == len(set(said)), "a text listed twice"
    # All the result-code texts of the service's own table, and every text a reply of the table carries.
    tables = (REPO / "service" / "servicetables.cpp").read_text(encoding="utf-8")
    codes = tables.split("resultCodeMessages", 1)[1].split("};", 1)[0]
    result_texts = re.findall(r'\{\d+, "([^"]+)"\}', codes)
    assert result_texts, "the result-code table was not found"
    replied = {expected["errorMessage"] for _, _, expected in reply_rows(text)}
    assert set(result_texts) | replied <= set(listed)


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
