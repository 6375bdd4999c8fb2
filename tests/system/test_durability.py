"""What reaches the disk: receipts acknowledged to the point-of-sale program
survive the service being killed at any moment, and a write the system refuses
fails the command without ending the service."""

import http.client
import json
import os
import random
import resource
import signal
import threading
import time
import urllib.error

import pytest

import fiscal
from sim import Answer

TRANSPORT_ERRORS = (urllib.error.URLError, http.client.HTTPException, ConnectionError, OSError)


def cash_counted(vault) -> float:
    """The cash of all sales in the open shift's counters."""
    with vault.db() as db:
        rows = db.query("SELECT data FROM shiftcounters")
    assert len(rows) <= 1, rows
    if not rows:
        return 0
    return json.loads(rows[0][0]).get("OPERATION_SELL", {}).get("PAYMENT_CASH", 0)


def queued_names(vault):
    with vault.db() as db:
        return [m["request"]["items"][0]["commodity"]["name"] for _, m in db.messages()]


def test_kill_9_at_random_moments_loses_no_acknowledged_receipt_and_counts_none_twice(vault, sim):
    # Now and then the server drops every connection for a while, so that receipts
    # also go to the queue and the worker delivers them while the service is being killed.
    vault.configure({"DataSending:reconnectionTimeout": 50, "DataSending:operationTimeout": 400,
                     "Connection:connectionTimeout": 300})
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    print("seed", seed)
    quiet = {"TAXVAULT_LOG_LEVEL": "info"}

    acknowledged = []  # names of receipts the service answered for
    counted = 0  # cash in the counters, checked after the previous kill
    number = 0
    vault.start(env=quiet)
    deadline = time.monotonic() + 15
    kills = 0
    while time.monotonic() < deadline:
        pid = vault.process.pid
        killer = threading.Timer(rng.uniform(0.02, 1.2), os.kill, (pid, signal.SIGKILL))
        killer.start()
        answered = []
        in_flight = 0
        while True:
            number += 1
            name, total = "K%05d" % number, 1000 + number
            if rng.random() < 0.08:
                sim.default = Answer(action="close")  # an outage begins
            elif rng.random() < 0.25:
                sim.default = Answer()
            try:
                reply = vault.post("commandTicket", fiscal.ticket(total=total, name=name), timeout=10)
            except TRANSPORT_ERRORS:
                in_flight = total  # may or may not have been stored
                break
            # Sent and accepted, or queued in autonomous mode: either way the receipt is taken.
            status = reply["kkmInfoObject"]["serviceStatus"]
            assert status in (0, 1), reply
            acknowledged.append(name)
            answered.append(total)
            if status == 1:
                time.sleep(0.1)  # lets the worker keep pace with the queue
        killer.join()
        vault.kill()
        kills += 1

        now = cash_counted(vault)
        expected = counted + sum(answered)
        assert now in (expected, expected + in_flight), \
            "counters hold %s, acknowledged receipts make %s (+%s in flight); seed %d" % (
                now, expected, in_flight, seed)
        counted = now
        vault.start(env=quiet)

    sim.default = Answer()
    vault.wait_status(0, 10 + 0.1 * len(queued_names(vault)))  # the worker has drained the queue
    assert vault.stop() == 0
    assert kills >= 5
    assert cash_counted(vault) == counted

    queued = queued_names(vault)
    assert queued == []
    delivered = {f.request.ticket.items[0].commodity.name for f in sim.frames if f.command == 1 and f.reply}
    lost = [name for name in acknowledged if name not in delivered]
    assert lost == [], "acknowledged but neither delivered nor queued (seed %d)" % seed
    assert not list(vault.data_dir.glob("*-wal")), "a clean stop leaves the database file whole"


def test_write_past_the_file_size_limit_fails_the_command_and_the_service_goes_on(vault, sim):
    vault.start(env={"TAXVAULT_LOG_LEVEL": "info"})
    vault.post("commandTicket", fiscal.ticket(total=10))
    # Every file may now grow only a little further: the database, its log and the service's own log.
    sizes = [p.stat().st_size for p in list(vault.data_dir.iterdir()) + vault.runs]
    limit = max(sizes) + 4096
    resource.prlimit(vault.process.pid, resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))

    replies = []
    for _ in range(60):
        reply = vault.post("commandTicket", fiscal.ticket(total=10))
        replies.append(reply)
        if reply["kkmInfoObject"]["serviceStatus"] == 2:
            break
    assert vault.running, "the service was ended by the file-size limit"
    failed = replies[-1]["kkmInfoObject"]
    assert failed["serviceStatus"] == 2 and failed["errorMessage"], replies[-1]
    assert vault.status_block()["serviceStatus"] == 2

    # Nothing that was acknowledged is lost once the disk takes writes again.
    resource.prlimit(vault.process.pid, resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    assert vault.stop() == 0
    accepted = 1 + sum(1 for r in replies if r["kkmInfoObject"]["serviceStatus"] == 0)
    assert cash_counted(vault) == 10 * accepted


@pytest.mark.parametrize("ending", ["stopped", "killed"])
def test_block_from_a_failed_write_survives_restarts_until_the_status_is_cleaned(vault, sim, ending):
    vault.start(env={"TAXVAULT_LOG_LEVEL": "info"})
    vault.post("commandTicket", fiscal.ticket(total=10))
    sizes = [p.stat().st_size for p in list(vault.data_dir.iterdir()) + vault.runs]
    resource.prlimit(vault.process.pid, resource.RLIMIT_FSIZE, (max(sizes) + 4096, resource.RLIM_INFINITY))
    for _ in range(60):
        if vault.post("commandTicket", fiscal.ticket(total=10))["kkmInfoObject"]["serviceStatus"] == 2:
            break
    assert vault.status_block()["serviceStatus"] == 2
    # The disk takes writes again before the restart, as after the engineer made room.
    resource.prlimit(vault.process.pid, resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    if ending == "stopped":
        assert vault.stop() == 0
    else:
        vault.kill()

    for _ in range(2):
        vault.start()
        assert vault.status_block()["serviceStatus"] == 2, "a restart while blocked stays blocked"
        assert vault.post("commandTicket", fiscal.ticket(total=10))["kkmInfoObject"]["serviceStatus"] == 2
        assert vault.stop() == 0

    cleaned = vault.probe("status", "clean")
    assert cleaned.returncode == 0, cleaned.stdout + cleaned.stderr
    vault.start()
    assert vault.post("commandTicket", fiscal.ticket(total=10))["kkmInfoObject"]["serviceStatus"] == 0
    assert vault.stop() == 0
