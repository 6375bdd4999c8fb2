"""The configuration file as the service reads it while running."""

import time

import fiscal
from harness import free_port

# A change of the file counts at the next read of a key, at the latest this long after.
RELOAD_BOUND = 2.0


def ticket_taxation_types(frame):
    ticket = frame.request.ticket
    return {t.taxation_type for t in list(ticket.taxes) + [t for i in ticket.items for t in i.commodity.taxes]}


def test_changed_file_counts_without_restart(vault, sim, make_sim):
    vault.configure({"KKM:taxationType": "STS", "KKM:token": 5})
    vault.start()
    vault.post("commandTicket", fiscal.ticket())
    first = sim.wait_for_frames(1, 5)[0]
    assert ticket_taxation_types(first) == {100}
    assert first.token == 5

    moved = make_sim()
    # Set behind configure(), which would move the test to the new port: the HTTP port
    # is read once per start, so the service keeps answering on the one it opened.
    vault.config["Connection:servicePort"] = free_port()
    vault.configure({"Connection:port": moved.port, "KKM:taxationType": "RTS", "KKM:token": 6,
                     "KKM:packageNumber": 40})
    vault.write_config(by_rename=True)
    time.sleep(RELOAD_BOUND + 0.1)

    reply = vault.post("commandTicket", fiscal.ticket(printed=2))
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    second = moved.wait_for_frames(1, 5)[0]
    assert ticket_taxation_types(second) == {101}
    # Token and package number are the ones the last answer gave, not the file's.
    assert (second.token, second.package_number) == (first.reply_token, 1)
    assert len(sim.frames) == 1


def test_unsigned_token_in_file_is_sent(vault, sim):
    vault.configure({"KKM:token": 3000000000})
    vault.start()
    vault.post("commandSystem")
    assert sim.wait_for_frames(1, 5)[0].token == 3000000000
