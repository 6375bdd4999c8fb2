"""The database file changed under the running service: replaced by another
file, or cut short. Nothing is acknowledged after the change, nothing
acknowledged before it is lost, and the file is never written into."""

import fcntl
import os
import shutil
import struct

import pytest

import fiscal
from harness import Vault

REFUSED = "Ошибка при работе с фискальной памятью"


def receipt(vault, name: str) -> dict:
    return vault.post("commandTicket", fiscal.ticket(total=100.0, name=name))["kkmInfoObject"]


def queued_names(db):
    return [m["request"]["items"][0]["commodity"]["name"] for _, m in db.messages()]


def expect_refused_from_now_on(vault, sim_frames=None):
    for name in ("after-1", "after-2"):
        block = receipt(vault, name)
        assert block["serviceStatus"] == 2, block
        assert block["errorMessage"] == REFUSED, block
        assert block["serviceStatusByDbState"] == 1, block
    if sim_frames is not None:
        assert sim_frames() == 0, "nothing goes to the operator after the change"


def named(vault, path) -> str:
    """A file of the data folder as the service names it."""
    return "%s//%s" % (vault.data_dir, path.name)


def installation_with(tmp_path, name: str, database, port: int) -> Vault:
    """A fresh installation whose database is the given file."""
    other = Vault(tmp_path / name, port)
    other.write_config()
    shutil.copyfile(database, other.db_path)
    return other


@pytest.mark.parametrize("online", [True, False], ids=["online", "autonomous"])
def test_replaced_file_refuses_every_command_and_what_was_acknowledged_is_saved_beside_it(
        tmp_path, sim, dead_port, online):
    operator_port = sim.port if online else dead_port
    vault = Vault(tmp_path / "root", operator_port)
    vault.start()
    try:
        assert receipt(vault, "before-1")["serviceStatus"] == (0 if online else 1)
        older = tmp_path / "older.db"
        shutil.copyfile(vault.db_path, older)  # without its log: an older state
        for name in ("before-2", "before-3"):
            assert receipt(vault, name)["serviceStatus"] == (0 if online else 1)
        sent = len(sim.frames)
        os.replace(older, vault.db_path)

        expect_refused_from_now_on(vault, lambda: len(sim.frames) - sent)
        assert vault.stop() == 0
    finally:
        if vault.running:
            vault.kill()
    log = vault.log()
    assert "Файл базы данных %s заменен другим файлом" % named(vault, vault.db_path) in log
    saved = sorted(vault.data_dir.glob(vault.db_path.name + ".replaced-*"))
    copies = [p for p in saved if "-wal" not in p.name]
    assert len(copies) == 1, saved
    assert "Записи замененного файла базы данных сохранены в %s" % named(vault, copies[0]) in log
    assert not (vault.data_dir / (vault.db_path.name + "-wal")).exists(), "no start replays it into the new file"

    # Every receipt acknowledged before the change is in the saved file.
    with_saved = installation_with(tmp_path, "saved", copies[0], operator_port)
    with with_saved.db() as db:
        assert db.counted_cash() == 300
        assert queued_names(db) == ([] if online else ["before-1", "before-2", "before-3"])
    probed = with_saved.probe("shiftcounters")
    assert probed.returncode == 0 and "300" in probed.stdout, probed.stdout


@pytest.mark.parametrize("half", [False, True], ids=["to-nothing", "to-half"])
def test_cut_file_is_never_checkpointed_into_and_is_left_with_its_log(tmp_path, sim, half):
    vault = Vault(tmp_path / "root", sim.port)
    vault.start()
    try:
        for name in ("before-1", "before-2"):
            assert receipt(vault, name)["serviceStatus"] == 0
        wal = vault.data_dir / (vault.db_path.name + "-wal")
        # A backup as the engineer may take one between two commands: the file and its log.
        backup = {path.name: path.read_bytes() for path in (vault.db_path, wal)}
        size = vault.db_path.stat().st_size
        cut = size // 2 if half else 0
        os.truncate(vault.db_path, cut)
        file_bytes, wal_bytes = vault.db_path.read_bytes(), wal.read_bytes()
        sent = len(sim.frames)

        expect_refused_from_now_on(vault, lambda: len(sim.frames) - sent)
        assert vault.stop() == 0
    finally:
        if vault.running:
            vault.kill()
    assert "Файл базы данных %s укорочен с %d до %d байт" % (named(vault, vault.db_path), size, cut) in vault.log()
    assert vault.db_path.read_bytes() == file_bytes, "never checkpointed into"
    assert wal.read_bytes() == wal_bytes
    # What the service could still read whole was saved beside it; the rest only the backup has.
    for saved in vault.data_dir.glob("*.replaced-*"):
        with installation_with(tmp_path, "saved", saved, sim.port).db() as db:
            assert db.counted_cash() == 200
        saved.unlink()

    # Once a sound file is put back the service starts and serves again.
    vault.data_dir.joinpath(vault.db_path.name + "-shm").unlink(missing_ok=True)
    for name, data in backup.items():
        vault.data_dir.joinpath(name).write_bytes(data)
    vault.start()
    assert receipt(vault, "again")["serviceStatus"] == 0
    vault.stop()
    with vault.db() as db:
        assert db.counted_cash() == 300


FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_IMMUTABLE_FL = 0x80086601, 0x40086602, 0x10


def set_flags(path, change) -> int:
    """Changes the file's attribute flags (as chattr does); returns the earlier ones."""
    fd = os.open(path, os.O_RDONLY)
    try:
        flags = struct.unpack("l", fcntl.ioctl(fd, FS_IOC_GETFLAGS, struct.pack("l", 0)))[0]
        fcntl.ioctl(fd, FS_IOC_SETFLAGS, struct.pack("l", change(flags)))
        return flags
    finally:
        os.close(fd)


def test_index_made_immutable_is_refused_instead_of_ending_the_service(vault, sim):
    vault.start()
    assert receipt(vault, "before-1")["serviceStatus"] == 0
    index = vault.data_dir / (vault.db_path.name + "-shm")
    try:
        flags = set_flags(index, lambda f: f | FS_IMMUTABLE_FL)
    except OSError as error:
        pytest.skip("this file system or user cannot make a file immutable: %s" % error)
    try:
        expect_refused_from_now_on(vault)
        assert vault.running
        assert vault.stop() == 0
    finally:
        set_flags(index, lambda f: flags)
    assert "Файл %s-shm защищен от записи" % named(vault, vault.db_path) in vault.log()
    vault.start()
    assert receipt(vault, "again")["serviceStatus"] == 0
    vault.stop()
    with vault.db() as db:
        assert db.counted_cash() == 200
