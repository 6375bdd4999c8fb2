"""A start after the database file lost what the last run held: it never
replays a log into the file, never writes it and never makes a new one in its
place; it ends with 1 before its port opens and leaves every file as it was.
The engineer's way out is the README's."""

import hashlib
import os
import shutil

import pytest

import fiscal
from harness import Vault

NOT_STARTED = "Сервис не запущен: файлы базы данных оставлены как есть"


def receipt(vault, name: str) -> dict:
    return vault.post("commandTicket", fiscal.ticket(total=100.0, name=name))["kkmInfoObject"]


def checksums(vault) -> dict:
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(vault.data_dir.iterdir())}


def named(vault, path) -> str:
    return "%s//%s" % (vault.data_dir, path.name)


def expect_refused_start(vault, finding: str):
    """The start ends with 1 before its port opens, names the file and what is
    wrong, and changes no file."""
    before = checksums(vault)
    process = vault.spawn()
    assert vault.wait_exit(15) == 1, vault.log_tail()
    log = vault.log()
    assert finding in log, log
    assert NOT_STARTED in log
    assert "Таксволт запущен" not in log
    assert checksums(vault) == before, "a failed start changes no file"
    return process


def page_size(wal) -> int:
    return int.from_bytes(wal.read_bytes()[8:12], "big")


@pytest.mark.parametrize("cut", ["to nothing", "by one page", "to half"])
def test_file_cut_beside_its_log_is_refused_at_start(vault, sim, cut):
    vault.start()
    assert receipt(vault, "r0")["serviceStatus"] == 0
    assert vault.stop() == 0
    # Pages at the end of the file that the receipts after the restart do not write.
    with vault.db() as db:
        db.execute_script("INSERT INTO fiscalmemory (shiftnum, data) VALUES (1, '{\"pad\": \"%s\"}')" % ("x" * 20000))
    vault.start()
    for i in range(1, 20):
        assert receipt(vault, "r%d" % i)["serviceStatus"] == 0
    vault.kill()
    wal = vault.data_dir / (vault.db_path.name + "-wal")
    size = vault.db_path.stat().st_size
    os.truncate(vault.db_path, {"to nothing": 0, "by one page": size - page_size(wal), "to half": size // 2}[cut])

    expected = ("Файл базы данных %s пуст (0 байт)" % named(vault, vault.db_path) if cut == "to nothing" else
                "Файл базы данных %s короче" % named(vault, vault.db_path))
    expect_refused_start(vault, expected)
    # Another try finds the same, and still writes nothing.
    expect_refused_start(vault, expected)


def test_empty_file_without_a_log_is_refused_and_never_made_new(vault, sim):
    vault.start()
    assert receipt(vault, "r")["serviceStatus"] == 0
    assert vault.stop() == 0
    os.truncate(vault.db_path, 0)
    expect_refused_start(vault, "Файл базы данных %s пуст (0 байт)" % named(vault, vault.db_path))
    assert vault.db_path.stat().st_size == 0


def test_log_beside_a_removed_file_is_never_replayed_into_a_new_one(vault, sim):
    vault.start()
    assert receipt(vault, "r")["serviceStatus"] == 0
    vault.kill()
    vault.db_path.unlink()
    expect_refused_start(vault, "Файл базы данных %s отсутствует, но рядом лежит" % named(vault, vault.db_path))
    assert not vault.db_path.exists()


@pytest.mark.parametrize("change", ["file removed", "file replaced by an older copy", "log removed"])
def test_what_the_running_service_saved_keeps_every_start_off_until_it_is_restored(tmp_path, sim, change):
    vault = Vault(tmp_path / "root", sim.port)
    vault.start()
    try:
        assert receipt(vault, "before-1")["serviceStatus"] == 0
        older = tmp_path / "older.db"
        shutil.copyfile(vault.db_path, older)
        assert receipt(vault, "before-2")["serviceStatus"] == 0
        wal = vault.data_dir / (vault.db_path.name + "-wal")
        if change == "file removed":
            vault.db_path.unlink()
        elif change == "file replaced by an older copy":
            os.replace(older, vault.db_path)
        else:
            wal.unlink()
        # The first command after the change is refused, whichever it is.
        for command in ("getLastTicketRequest", "getLastServiceRequest", "saveTicketRequest"):
            block = vault.post(command, {} if command.startswith("save") else None)["kkmInfoObject"]
            assert block["serviceStatus"] == 2, (command, block)
            assert block["errorMessage"] == "Ошибка при работе с фискальной памятью", (command, block)
            assert block["serviceStatusByDbState"] == 1, (command, block)
        assert receipt(vault, "after")["serviceStatus"] == 2
        assert vault.stop() == 0
    finally:
        if vault.running:
            vault.kill()
    saved = sorted(p for p in vault.data_dir.glob(vault.db_path.name + ".replaced-*"))
    assert len(saved) == 1, list(vault.data_dir.iterdir())
    assert "сохранены в %s" % named(vault, saved[0]) in vault.log()

    expect_refused_start(vault, "Рядом с файлом базы данных %s лежит %s" % (
        named(vault, vault.db_path), named(vault, saved[0])))

    # The way out: the saved file in place of the database, everything else
    # beside it moved out of the data folder.
    aside = tmp_path / "aside"
    aside.mkdir()
    for path in vault.data_dir.iterdir():
        if path != saved[0]:
            shutil.move(str(path), str(aside / path.name))
    os.replace(saved[0], vault.db_path)
    vault.start()
    assert receipt(vault, "again")["serviceStatus"] == 0
    assert vault.stop() == 0
    with vault.db() as db:
        assert db.counted_cash() == 300, "both receipts acknowledged before the change, and the new one"


def test_a_till_that_starts_afresh_on_purpose_moves_the_old_files_out_and_is_told_of_its_token(vault, sim):
    vault.start()
    assert receipt(vault, "r")["serviceStatus"] == 0
    vault.kill()
    os.truncate(vault.db_path, 0)
    expect_refused_start(vault, "Файл базы данных %s пуст (0 байт)" % named(vault, vault.db_path))

    aside = vault.root / "old-database"
    aside.mkdir()
    for path in list(vault.data_dir.iterdir()):
        shutil.move(str(path), str(aside / path.name))
    # The configuration still shows that the till has exchanged before.
    vault.configure({"KKM:token": 77})
    vault.start()
    assert "Файл базы данных %s создается заново, хотя касса уже работала (KKM:token = 77" % (
        named(vault, vault.db_path)) in vault.log()
    assert receipt(vault, "first")["serviceStatus"] == 0
    assert vault.stop() == 0
    with vault.db() as db:
        assert db.counted_cash() == 100


def test_file_that_fails_its_check_is_refused_at_start_and_left_as_it_was(vault, sim):
    vault.start()
    assert receipt(vault, "r")["serviceStatus"] == 0
    assert vault.stop() == 0
    with vault.db() as db:
        db.execute_script("INSERT INTO fiscalmemory (shiftnum, data) VALUES (1, '{\"pad\": \"%s\"}')" % ("x" * 20000))
    size = vault.db_path.stat().st_size
    with open(vault.db_path, "r+b") as file:
        file.seek(size - 4096)
        file.write(os.urandom(512))
    expect_refused_start(vault, "Файл базы данных %s поврежден: " % named(vault, vault.db_path))
