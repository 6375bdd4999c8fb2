"""Settling a receipt whose reply the point-of-sale program lost, as
docs/http-api.md tells it: compare the operator's last document before and
after, and look at the status."""

import urllib.error
from datetime import datetime

import pytest

import fiscal
from sim import Answer

ISO = "%Y-%m-%dT%H:%M:%S"


def last_document(vault):
    info = vault.post("getLastServiceResponse").get("lastDocumentInfo")
    return info and (info["frShiftNumber"], info["printedDocumentNumber"])


@pytest.mark.parametrize("answer, accepted, status", [
    (Answer(delay=1.5), True, 0),
    (Answer(code=13, delay=1.5), False, 2),
    (Answer(action="silent"), False, 1),
], ids=["accepted", "refused", "queued"])
def test_lost_reply_is_settled_by_the_operators_last_document(vault, sim, answer, accepted, status):
    # The service waits for the server longer than the client waits for the service.
    vault.configure({"Connection:readTimeout": 2500, "DataSending:operationTimeout": 3000})
    vault.start()
    vault.post("commandTicket", fiscal.ticket(shift=3, printed=14))
    assert last_document(vault) == (3, 14)

    sim.default = answer
    sent_at = datetime.now().replace(microsecond=0)
    with pytest.raises((TimeoutError, urllib.error.URLError)):
        vault.post("commandTicket", fiscal.ticket(shift=3, printed=15), timeout=0.5)

    # Answered only once the lost command has ended.
    block = vault.status_block()
    assert block["serviceStatus"] == status
    assert last_document(vault) == ((3, 15) if accepted else (3, 14))
    if status == 1:
        # Gone autonomous with this receipt: it is queued and counted, and will be delivered.
        begin = vault.post("getLastServiceRequest")["offlinePeriod"]["beginTime"]
        assert datetime.strptime(begin[:19], ISO) >= sent_at
        with vault.db() as db:
            assert [m["request"]["printedDocumentNumber"] for _, m in db.messages()] == [15]
    if accepted:
        # Asked afresh, the server says the same; it counted the receipt once.
        sim.default = Answer()
        assert vault.post("commandSystem")["lastDocumentInfo"] == {"frShiftNumber": 3, "printedDocumentNumber": 15}
        assert sim.book(17).tickets == 2
