"""docs/http-api.md: every json block is a request the service accepts."""

import json
import re

from harness import REPO

DOC = REPO / "docs" / "http-api.md"

COMMANDS = [
    "commandSystem", "commandInfo", "commandCloseShift", "saveTicketRequest", "saveReportRequest",
    "getLastTicketRequest", "commandReport", "commandMoneyPlacement", "commandTicket", "getLastReportRequest",
    "getLastReportResponse", "getLastServiceResponse", "getLastServiceRequest", "getLastInfoServiceResponse",
]


def json_blocks(text):
    return [m.group(1) for m in re.finditer(r"^```json\n(.*?)^```$", text, re.S | re.M)]


def test_every_command_has_a_section_with_an_example():
    text = DOC.read_text(encoding="utf-8")
    headings = re.findall(r"^### (\S+)$", text, re.M)
    assert sorted(headings) == sorted(COMMANDS)
    examples = [json.loads(block)["command"] for block in json_blocks(text)]
    assert sorted(examples) == sorted(COMMANDS)


def test_every_example_is_accepted_in_order(vault, sim):
    vault.start()
    blocks = json_blocks(DOC.read_text(encoding="utf-8"))
    for block in blocks:
        body = json.loads(block)
        status, _, raw = vault.http(block.encode("utf-8"))
        reply = json.loads(raw.decode("utf-8"))
        assert status == 200
        assert reply.get("kkmInfoObject", {}).get("serviceStatus") == 0, (body["command"], reply)
        assert reply["kkmInfoObject"]["errorMessage"] == "", (body["command"], reply)
    # Each document that goes to the operator's server got there.
    assert [f.command for f in sim.frames] == [0, 5, 1, 6, 3, 2]
