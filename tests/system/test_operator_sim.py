"""The operator's server simulator as an integrator drives it: start options,
control commands for the next N requests or until changed, the books it keeps
of each register, and its one log line per request."""

import subprocess
import sys

import fiscal
from harness import REPO, Vault, free_port, port_open, wait_for

SIM = REPO / "tools" / "operator-sim" / "sim.py"
OPEN_SHIFT_EXPIRED = "Время открытой смены истекло"


def test_standalone_start_options_and_control_port(tmp_path, offline_vault):
    port, control = free_port(), free_port()
    log = open(tmp_path / "sim.log", "w+", encoding="utf-8")
    process = subprocess.Popen([sys.executable, str(SIM), "--port", str(port), "--control-port", str(control),
                                "--block", "--taxation", "101:12,0", "--ad", "1:3:Спасибо за покупку",
                                "--registration", '{"kkm": {"kkm_id": "77"}, "pos": {"title": "Касса 2"}}'],
                               stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        wait_for(lambda: port_open(port) and port_open(control), 30, what="simulator ports")
        vault = offline_vault.configure({"Connection:port": port, "DataSending:reconnectionTimeout": 300})
        vault.start()
        blocked = vault.post("commandSystem")["kkmInfoObject"]
        assert (blocked["serviceStatus"], blocked["errorMessage"]) == (3, "Касса заблокирована")

        sent = subprocess.run([sys.executable, str(SIM), "--control-port", str(control), "--send", "unblock"],
                              capture_output=True, text=True, timeout=30)
        assert (sent.returncode, sent.stdout.strip()) == (0, "ok: normal answers")
        refused = subprocess.run([sys.executable, str(SIM), "--control-port", str(control), "--send", "code"],
                                 capture_output=True, text=True, timeout=30)
        assert refused.returncode == 1 and refused.stdout.startswith("error")
        vault.wait_status(0, 10)

        reply = vault.post("commandSystem")
        assert reply["bindedTaxation"] == {"taxes": [{"percent": 12, "type": 100}, {"percent": 0, "type": 100}],
                                           "type": 101}
        assert reply["ticketAds"] == [{"info": {"type": 1, "version": 3}, "text": "Спасибо за покупку"}]
        # The parts given replace the built-in ones; the others stay.
        assert reply["regInfo"]["kkm"] == {"fnsKkmId": "", "kkmId": "77", "pointOfPaymentNumber": "",
                                           "serialNumber": "", "terminalNumber": ""}
        assert reply["regInfo"]["pos"] == {"address": "", "addressKz": "", "latitude": 0, "longitude": 0,
                                           "title": "Касса 2"}
        assert reply["regInfo"]["org"]["title"] == "ТОО Симулятор"
    finally:
        process.terminate()
        process.wait(10)
    log.seek(0)
    lines = [line for line in log.read().splitlines() if line.startswith("#")]
    # One line per request: its command, the header's token and package number, the answer.
    assert lines[0] == "#1 command 0 (system) token 0 package 0 device 17: code 15, token 4096"
    assert lines[-1].startswith("#%d command 0 (system) token " % len(lines))
    assert lines[-1].endswith(": code 0, token %d" % (4096 + len(lines) - 1))


def test_behaviours_hold_for_the_next_requests_or_until_changed(vault, sim):
    vault.start()

    def texts(count):
        return [vault.post("commandSystem")["kkmInfoObject"]["errorMessage"] for _ in range(count)]

    assert sim.control("code 11 2") == "ok: code 11 for the next 2 request(s)"
    assert texts(3) == [OPEN_SHIFT_EXPIRED, OPEN_SHIFT_EXPIRED, ""]
    assert sim.control("code 11").startswith("ok")
    assert texts(3) == [OPEN_SHIFT_EXPIRED] * 3
    # A count runs first, then what holds until changed comes back.
    sim.control("delay 0.2 1")
    assert texts(2) == ["", OPEN_SHIFT_EXPIRED]
    sim.control("normal")
    assert texts(1) == [""]
    assert [f.command for f in sim.frames] == [0] * 9

    for bad in ("code", "code 11 0", "delay -1", "taxation 99", "ad 9 1 x", "last-document-info maybe", "fly"):
        assert sim.control(bad).startswith("error"), bad


def test_books_number_receipts_and_keep_the_last_document_per_register_and_shift(tmp_path, vault, sim):
    vault.start()
    first = vault.post("commandTicket", fiscal.ticket(shift=3, printed=14))
    second = vault.post("commandTicket", fiscal.ticket(shift=3, printed=15))
    assert (first["ticketNumber"], first["qrCode"]) == ("SIM-TICKET-1", "https://sim.example/ticket/1")
    assert (second["ticketNumber"], second["qrCode"]) == ("SIM-TICKET-2", "https://sim.example/ticket/2")
    assert vault.post("getLastServiceResponse")["lastDocumentInfo"] == {"frShiftNumber": 3, "printedDocumentNumber": 15}

    vault.post("commandCloseShift", fiscal.close_shift(shift=3))
    assert vault.post("commandSystem")["lastDocumentInfo"] == {"frShiftNumber": 3, "printedDocumentNumber": 10}
    # A document without a printed number is counted within its shift.
    placement = fiscal.money_placement(shift=4)
    del placement["printedDocumentNumber"]
    vault.post("commandMoneyPlacement", placement)
    assert vault.post("commandSystem")["lastDocumentInfo"] == {"frShiftNumber": 4, "printedDocumentNumber": 1}

    sim.control("last-document-info off")
    assert "lastDocumentInfo" not in vault.post("commandSystem")
    sim.control("last-document-info on")

    # A refused receipt is neither numbered nor booked.
    sim.control("code 13 1")
    refused = vault.post("commandTicket", fiscal.ticket(shift=4, printed=2))
    assert (refused["ticketNumber"], refused["qrCode"]) == ("", None)
    assert vault.post("getLastServiceResponse")["lastDocumentInfo"] == {"frShiftNumber": 4, "printedDocumentNumber": 1}
    assert sim.book(17).tickets == 2

    # Another register has numbers and books of its own.
    other = Vault(tmp_path / "other", sim.port, device_id=18).start()
    try:
        third = other.post("commandTicket", fiscal.ticket(shift=1, printed=1))
        assert third["ticketNumber"] == "SIM-TICKET-1"
        assert other.post("getLastServiceResponse")["lastDocumentInfo"] == {"frShiftNumber": 1, "printedDocumentNumber": 1}
    finally:
        other.stop()
    assert sim.book(17).tickets == 2
