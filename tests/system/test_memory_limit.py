"""A command too large for the memory the service may take ends alone: it is
answered, logged and rolled back, and the service serves the next one."""

import subprocess
from pathlib import Path

import pytest

import fiscal
from harness import wait_for
from sim import Answer

NOT_CARRIED_OUT = "Недостаточно памяти для выполнения команды"
# Room for a small receipt; a receipt of 16,000 lines takes several times this.
MARGIN = 64 * 1024 * 1024


def address_space(pid):
    for line in Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize for %d" % pid)


def limit_address_space(vault, margin=MARGIN):
    """Caps the running service at what it holds now and the margin."""
    pid = vault.process.pid
    held = address_space(pid)
    if held > 1 << 40:
        pytest.skip("a sanitizer's shadow memory takes terabytes of address space")
    subprocess.run(["prlimit", "--pid", str(pid), "--as=%d" % (held + margin)], check=True)


def large_ticket(lines):
    ticket = fiscal.ticket()
    ticket["items"] = ticket["items"] * lines
    return ticket


def shift_counters(vault):
    with vault.db() as db:
        return db.query("SELECT data FROM shiftcounters")


def test_receipt_too_large_for_the_memory_is_refused_and_the_next_one_served(vault, sim):
    vault.start()
    limit_address_space(vault)
    assert vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]["serviceStatus"] == 0
    counted = shift_counters(vault)

    block = vault.post("commandTicket", large_ticket(16000), timeout=60)["kkmInfoObject"]

    assert (block["serviceStatus"], block["errorMessage"]) == (0, NOT_CARRIED_OUT)
    assert vault.running
    assert "Недостаточно памяти для выполнения команды, команда не выполнена" in vault.log()
    assert len(sim.frames) == 1, "the large receipt never reached the operator"
    assert shift_counters(vault) == counted
    with vault.db() as db:
        assert db.messages() == []
        assert db.status() == 0

    block = vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]
    assert (block["serviceStatus"], block["errorMessage"]) == (0, "")
    assert len(sim.frames) == 2
    assert shift_counters(vault) != counted


def test_receipt_too_large_while_autonomous_leaves_the_queue_to_the_next_ones(vault, sim):
    # Room for the large receipt to be parsed and stamped, not to be stored.
    vault.configure({"DataSending:reconnectionTimeout": 300})
    sim.default = Answer(action="close")
    vault.start()
    limit_address_space(vault, 200 * 1024 * 1024)
    assert vault.post("commandTicket", fiscal.ticket(name="A"))["kkmInfoObject"]["serviceStatus"] == 1

    block = vault.post("commandTicket", large_ticket(16000), timeout=60)["kkmInfoObject"]
    assert (block["serviceStatus"], block["errorMessage"]) == (1, NOT_CARRIED_OUT)

    block = vault.post("commandTicket", fiscal.ticket(name="C"))["kkmInfoObject"]
    assert (block["serviceStatus"], block["errorMessage"]) == (1, "Сервис в автономном режиме")
    assert block["data"] != ""
    with vault.db() as db:
        queued = [message["request"]["items"][0]["commodity"]["name"] for _, message in db.messages()]
        counted = db.query("SELECT data FROM shiftcounters")
    assert queued == ["A", "C"]
    assert counted and '"PAYMENT_CASH"' in counted[0][0]

    # The worker delivers both, and the service ends on SIGTERM.
    sim.default = Answer()
    wait_for(lambda: vault.db().messages() == [], 15, what="the queue delivered")
    delivered = [f.request.ticket.items[0].commodity.name for f in sim.frames if f.command == 1 and f.reply]
    assert delivered == ["A", "C"]
    assert vault.stop(timeout=15) == 0
