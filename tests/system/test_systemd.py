"""What the service tells systemd through $NOTIFY_SOCKET: ready once it can take
commands, stopping when it begins to end, and nothing on a start that fails."""

import os
import signal
import socket
import uuid

import pytest

from harness import START_TIMEOUT, STOP_TIMEOUT, port_open


class NotifySocket:
    """The service manager's end: an abstract-namespace datagram socket."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        name = "taxvault-test-%d-%s" % (os.getpid(), uuid.uuid4().hex)
        self.socket.bind("\0" + name)
        self.address = "@" + name

    def receive(self, timeout: float):
        """The next datagram, or None when none comes within timeout (0: none waiting now)."""
        self.socket.settimeout(timeout)
        try:
            return self.socket.recv(4096)
        except (socket.timeout, BlockingIOError):
            return None


@pytest.fixture
def notify():
    manager = NotifySocket()
    yield manager
    manager.socket.close()


def test_ready_once_it_serves_and_stopping_on_sigterm(vault, notify):
    process = vault.spawn(env={"NOTIFY_SOCKET": notify.address})
    assert notify.receive(START_TIMEOUT) == b"READY=1"
    # When systemd hears it, start-up is complete and a command is served.
    assert port_open(vault.service_port)
    assert "Таксволт запущен" in vault.log()
    assert vault.status_block()["serviceStatus"] == 0
    assert notify.receive(0) is None

    process.send_signal(signal.SIGTERM)
    assert notify.receive(STOP_TIMEOUT) == b"STOPPING=1"
    assert vault.wait_exit(STOP_TIMEOUT) == 0
    assert notify.receive(0) is None


@pytest.mark.parametrize("case", ["port taken", "database unusable", "configuration file missing"])
def test_failed_start_ends_with_1_and_never_says_ready(vault, notify, case):
    taken = None
    if case == "port taken":
        taken = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        taken.bind(("127.0.0.1", vault.service_port))
        taken.listen()
    elif case == "database unusable":
        vault.data_dir.rmdir()
    try:
        vault.spawn(env={"NOTIFY_SOCKET": notify.address}, config=case != "configuration file missing")
        assert vault.wait_exit(10) == 1
    finally:
        if taken is not None:
            taken.close()
    assert notify.receive(0) is None



def test_a_refused_database_is_told_to_systemd_at_start_and_while_running(vault, notify):
    process = vault.spawn(env={"NOTIFY_SOCKET": notify.address})
    assert notify.receive(START_TIMEOUT) == b"READY=1"
    assert vault.post("getLastTicketRequest")["kkmInfoObject"]["serviceStatus"] == 0
    os.truncate(vault.db_path, 0)
    assert vault.post("getLastTicketRequest")["kkmInfoObject"]["serviceStatus"] == 2
    expected = "STATUS=Файл базы данных %s//%s укорочен с " % (vault.data_dir, vault.db_path.name)
    assert notify.receive(5).decode().startswith(expected)
    process.send_signal(signal.SIGTERM)
    assert notify.receive(STOP_TIMEOUT) == b"STOPPING=1"
    assert vault.wait_exit(STOP_TIMEOUT) == 0

    vault.spawn(env={"NOTIFY_SOCKET": notify.address})
    assert vault.wait_exit(10) == 1
    status = notify.receive(5).decode()
    assert status.startswith("STATUS=") and vault.db_path.name in status, status
    assert notify.receive(0) is None, "never ready"
