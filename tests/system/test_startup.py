"""Start-up: the database file, refusing an unusable database, the exit code on
SIGTERM, and reconciling the stored status with the queue."""

import re
import shutil
import socket
import time
from datetime import datetime, timedelta

import pytest

import fiscal
from harness import port_open
from sim import Answer
from vaultdb import VaultDb

ISO = "%Y-%m-%dT%H:%M:%S"

TABLES = ["fiscalmemory", "messages", "protectedcounters", "servicedata", "shiftcounters", "status", "version"]


@pytest.mark.parametrize("device_id, file_name", [
    (17, "fr_17.db"),
    (-5, "fr_-5.db"),
])
def test_first_start_creates_database_and_second_changes_nothing(vault, device_id, file_name):
    vault.configure({"KKM:deviceId": device_id})
    vault.start()
    assert vault.stop() == 0
    assert [p.name for p in vault.data_dir.iterdir() if p.suffix == ".db"] == [file_name]
    assert "Таксволт запущен" in vault.log()

    with VaultDb(vault.data_dir / file_name) as db:
        assert db.tables() == TABLES
        assert db.query("SELECT version FROM version") == [(1,)]
        assert db.status() == 0

    vault.start()
    assert vault.stop() == 0
    with VaultDb(vault.data_dir / file_name) as db:
        assert db.tables() == TABLES
        assert db.query("SELECT version FROM version") == [(1,)]
        assert db.messages() == []
        assert db.status() == 0


def _plant_foreign_database(vault, key_statement):
    with VaultDb(vault.db_path, key_statement=key_statement, create=True) as db:
        db.execute_script("CREATE TABLE foreign_data(x); INSERT INTO foreign_data VALUES(42);")


@pytest.mark.parametrize("case, log_text", [
    ("another passphrase", "Запрос: SELECT count(*) FROM sqlite_master;"),
    ("plain sqlite file", "Запрос: SELECT count(*) FROM sqlite_master;"),
    ("missing data directory", "Ошибка открытия базы данных: unable to open database file (%(data)s: "
                               "No such file or directory)"),
])
def test_unusable_database_ends_with_1_without_opening_port(vault, case, log_text):
    if case == "another passphrase":
        _plant_foreign_database(vault, "PRAGMA key='not-ours';")
    elif case == "plain sqlite file":
        _plant_foreign_database(vault, None)
    else:
        shutil.rmtree(vault.data_dir)
    before = vault.db_path.read_bytes() if vault.db_path.exists() else None

    process = vault.spawn()
    deadline = time.monotonic() + 10
    while process.poll() is None and time.monotonic() < deadline:
        assert not port_open(vault.service_port), "the HTTP port opened although the database is unusable"
        time.sleep(0.02)
    assert vault.wait_exit(1) == 1

    log = vault.log()
    assert log_text % {"data": vault.data_dir} in log, log
    assert "Таксволт запущен" not in log
    if before is None:
        assert not vault.data_dir.exists(), "the service must not create the data directory"
    else:
        assert vault.db_path.read_bytes() == before


def test_service_port_already_taken_ends_with_1_before_start_up(vault, sim):
    # A second instance on the same database would run a queue worker of its
    # own and send the queued documents twice.
    vault.start()
    vault.stop()
    with vault.db() as db:
        db.add_message(QUEUED)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
        taken.bind(("127.0.0.1", vault.service_port))
        taken.listen()
        vault.spawn()
        assert vault.wait_exit(10) == 1
    log = vault.log()
    assert "Таксволт запущен" not in log
    assert re.search(r"sender - Инициализация$", log, re.MULTILINE) is None, "the main Sender must not start up"
    with vault.db() as db:
        assert db.status() == 0
        assert len(db.messages()) == 1
    assert sim.frames == []


@pytest.mark.parametrize("worker", ["none", "queue worker", "server-lock worker"])
def test_sigterm_ends_service_with_0(vault, sim, worker):
    vault.configure({"DataSending:reconnectionTimeout": 200, "DataSending:operationTimeout": 300})
    vault.start()
    if worker == "queue worker":
        # Every send fails, so the worker keeps running.
        sim.default = Answer(action="close")
        vault.post("commandTicket", fiscal.ticket())
        vault.wait_log("Отправка сообщения из очереди", 10)
    elif worker == "server-lock worker":
        sim.default = Answer(code=15)
        vault.post("commandTicket", fiscal.ticket())
        vault.wait_log("Отправка служебного запроса в режиме серверной блокировки", 10)
    started = time.monotonic()
    assert vault.stop(timeout=10) == 0
    assert time.monotonic() - started < 10


QUEUED = {"command": 1, "request": fiscal.ticket(name="Из очереди")}


@pytest.mark.parametrize("stored, queued, expected, worker", [
    (0, False, 0, None),
    (0, True, 1, "queue"),
    (1, False, 0, None),
    (1, True, 1, "queue"),
    (2, True, 2, None),
    (3, False, 3, "lock"),
])
def test_start_up_reconciles_stored_status_with_queue(vault, sim, stored, queued, expected, worker):
    interval = 1.5
    vault.configure({"DataSending:reconnectionTimeout": int(interval * 1000)})
    vault.start()
    vault.stop()
    with vault.db() as db:
        db.set_status(stored)
        if queued:
            db.add_message(QUEUED)

    vault.start()
    opened = time.monotonic()
    block = vault.status_block()
    assert block["serviceStatus"] == expected
    if expected == 1:
        # Documents wait: an offline period opens, and the limit counts from it.
        with vault.db() as db:
            begin = db.service_data("servicerequest")["offlinePeriod"]["beginTime"]
        assert begin != ""
        assert datetime.strptime(block["lockDate"][:19], ISO) - datetime.strptime(begin[:19], ISO) == \
            timedelta(hours=72)
    with vault.db() as db:
        assert db.status() == expected
    assert "Переход в " in vault.log()

    if worker is None:
        time.sleep(interval * 1.5)
        assert sim.frames == []
        assert vault.status_block()["serviceStatus"] == expected
        return

    first = sim.wait_for_frames(1, interval * 3)[0]
    assert first.received_at - opened >= interval * 0.8, "the first send comes one interval after start-up"
    if worker == "queue":
        assert first.command == 1 and first.body() == "ticket"
        assert first.request.ticket.items[0].commodity.name == "Из очереди"
    else:
        assert first.command == 0 and first.body() is None and first.request.HasField("service")
    vault.wait_status(0, 5)
    with vault.db() as db:
        assert db.messages() == []
        assert db.status() == 0


@pytest.mark.parametrize("case, message", [
    ("no file", "Не найден файл конфигурации %s"),
    ("a folder in its place", "Не удалось прочитать файл конфигурации %s"),
])
def test_without_its_configuration_file_ends_with_1_before_any_database(vault, case, message):
    # On defaults it would take receipts under device id 0 and strand them there.
    ini = vault.conf_dir / "taxvault.ini"
    if case == "a folder in its place":
        ini.mkdir()
    vault.spawn(config=False)
    assert vault.wait_exit(10) == 1

    log = vault.log()
    assert re.search(r"^\S+ \S+ ERROR \[[0-9a-f]+\] main - %s$" % re.escape(message % ini), log, re.MULTILINE), log
    assert "Инициализация базы данных" not in log
    assert "Таксволт запущен" not in log
    assert list(vault.data_dir.iterdir()) == []


def test_start_up_names_what_it_uses(vault, sim):
    vault.start()
    log = vault.log()
    lines = [line.split(" - ", 1)[1] for line in log.splitlines() if " main - " in line]
    used = ("Файл конфигурации: %s, KKM:deviceId: 17, база данных: %s, сервер ОФД: 127.0.0.1:%d, порт HTTP: %d"
            % (vault.conf_dir / "taxvault.ini", vault.db_path, sim.port, vault.service_port))
    assert lines == ["Запуск сервиса Таксволт", used, "Таксволт запущен"]
    assert re.search(r" INFO  \[[0-9a-f]+\] main - %s$" % re.escape(used), log, re.MULTILINE)
    # It comes before the database is touched, so it also explains a failed start.
    assert log.index(used) < log.index("Инициализация базы данных")


@pytest.mark.parametrize("case, config, unknown", [
    ("no line", {"KKM:deviceId": None}, []),
    ("0", {"KKM:deviceId": 0}, []),
    ("not a number", {"KKM:deviceId": "abc"}, []),
    ("misspelled key", {"KKM:deviceId": None, "KKM:devicId": 4711}, ["ключ", "KKM:devicId"]),
    ("misspelled section", {"KKM:deviceId": None, "KMM:deviceId": 4711},
     ["раздел", "[KMM]", "ключ", "KMM:deviceId"]),
])
def test_without_its_device_id_ends_with_1_before_any_database(vault, sim, case, config, unknown):
    # As device 0 it would take receipts that reach the operator under no till's id.
    vault.configure(config)
    ini = vault.write_config()
    vault.spawn(config=False)
    assert vault.wait_exit(10) == 1

    log = vault.log()
    error = "KKM:deviceId не задан или равен 0 в файле конфигурации %s: сервис не запущен" % ini
    assert re.search(r"^\S+ \S+ ERROR \[[0-9a-f]+\] main - %s$" % re.escape(error), log, re.MULTILINE), log
    # The mistake is named with its line, before the error that it causes.
    lines = ini.read_text(encoding="utf-8").splitlines()
    warned = re.findall(r" WARN  \[[0-9a-f]+\] config - Неизвестный (\S+) файла конфигурации (\S+):(\d+): (\S+)$",
                        log, re.MULTILINE)
    assert [(kind, name) for kind, _, _, name in warned] == list(zip(unknown[::2], unknown[1::2]))
    for kind, path, number, name in warned:
        assert path == str(ini)
        line = lines[int(number) - 1]
        assert line == name if kind == "раздел" else line.startswith(name.split(":")[-1] + "=")
        assert log.index(name) < log.index(error)
    assert "Инициализация базы данных" not in log
    assert "Таксволт запущен" not in log
    assert not port_open(vault.service_port)
    assert list(vault.data_dir.iterdir()) == []
    assert sim.frames == []
