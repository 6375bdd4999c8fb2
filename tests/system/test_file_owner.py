"""The service runs as a user of its own while the engineer's tool runs as root: every
file of the database stays the service user's, so the service starts and writes after a
repair."""

import os
import pwd
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

import fiscal
from harness import Vault, build_dir

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="runs the tool as root and the service as another user")

SERVICE_USER = "nobody"


@pytest.fixture
def user_vault(sim):
    """An installation whose data folder belongs to SERVICE_USER, mode 0700, as the package makes it."""
    # Outside pytest's own temporary folder, which only root may enter.
    base = Path(tempfile.mkdtemp(prefix="taxvault-owner-"))
    os.chmod(base, 0o711)
    vault = Vault(base / "root", sim.port)
    account = pwd.getpwnam(SERVICE_USER)
    os.chown(vault.data_dir, account.pw_uid, account.pw_gid)
    os.chmod(vault.data_dir, 0o700)
    yield vault
    if vault.running:
        vault.kill()
    shutil.rmtree(base)


def owners(vault):
    """file name -> owning user name, for the data folder and every file in it."""
    paths = [vault.data_dir, *sorted(vault.data_dir.iterdir())]
    return {p.name: pwd.getpwuid(os.lstat(p).st_uid).pw_name for p in paths}


def assert_all_owned(vault):
    found = owners(vault)
    assert set(found.values()) == {SERVICE_USER}, found
    return set(found) - {vault.data_dir.name}


def accepted_online(vault):
    reply = vault.post("commandTicket", fiscal.ticket())
    return reply["kkmInfoObject"]["serviceStatus"] == 0 and reply["kkmInfoObject"]["serviceStatusByDbState"] == 0


@pytest.mark.parametrize("ending, left", [
    ("stopped", {"fr_17.db"}),
    # A crash leaves the write-ahead log and its index.
    ("killed", {"fr_17.db", "fr_17.db-wal", "fr_17.db-shm"}),
    # The tool reads while the service runs; the service then stops.
    ("read by the tool while running", {"fr_17.db"}),
])
def test_repair_by_root_leaves_every_file_to_the_service_user(user_vault, ending, left):
    vault = user_vault
    vault.start(user=SERVICE_USER)
    assert accepted_online(vault)
    if ending == "killed":
        vault.kill()
    else:
        if ending == "read by the tool while running":
            result = vault.probe("shiftcounters")
            assert result.returncode == 0, result.stdout + result.stderr
            assert_all_owned(vault)
        assert vault.stop() == 0
    assert assert_all_owned(vault) == left

    result = vault.probe("status", "clean")
    assert result.returncode == 0, result.stdout + result.stderr
    assert assert_all_owned(vault) == {"fr_17.db"}

    vault.start(user=SERVICE_USER)
    assert accepted_online(vault)
    assert vault.stop() == 0
    assert assert_all_owned(vault) == {"fr_17.db"}


def test_log_files_a_root_process_makes_belong_to_the_owner_of_the_database(user_vault):
    """While a root process of the data-access code holds the database open, the
    write-ahead log and its index it made are the database owner's, should it end
    without removing them."""
    vault = user_vault
    vault.start(user=SERVICE_USER)
    assert vault.stop() == 0
    assert assert_all_owned(vault) == {"fr_17.db"}
    holder = subprocess.Popen([str(build_dir() / "tests" / "probe" / "probe_fixture"), "hold"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              env=dict(os.environ, TAXVAULT_ROOT=str(vault.root)))
    try:
        assert holder.stdout.readline() == b"held\n"
        assert assert_all_owned(vault) == {"fr_17.db", "fr_17.db-wal", "fr_17.db-shm"}
    finally:
        holder.stdin.close()
        assert holder.wait(30) == 0


@pytest.mark.parametrize("case, sqlite_text, named", [
    # cp as root after removing the service's file: root's, and as cp makes it.
    ("root's, mode 0600", "unable to open database file", "db"),
    ("root's, mode 0644", "attempt to write a readonly database", "db"),
    ("the service user's, mode 0400", "attempt to write a readonly database", "db"),
    ("no file, root's folder", "unable to open database file", "folder"),
])
def test_database_the_service_may_not_write_is_named_with_the_system_reason(user_vault, case, sqlite_text, named):
    vault = user_vault
    vault.start(user=SERVICE_USER)
    assert vault.stop() == 0
    account = pwd.getpwnam(SERVICE_USER)
    if case == "no file, root's folder":
        vault.db_path.unlink()
        os.chown(vault.data_dir, 0, 0)
        os.chmod(vault.data_dir, 0o755)
    else:
        copy = vault.root / "copy.db"
        shutil.copy(vault.db_path, copy)
        vault.db_path.unlink()
        shutil.copy(copy, vault.db_path)
        if case.startswith("the service user's"):
            os.chown(vault.db_path, account.pw_uid, account.pw_gid)
        os.chmod(vault.db_path, int(case[-4:], 8))
    before = sorted(vault.data_dir.iterdir())
    contents = vault.db_path.read_bytes() if vault.db_path.exists() else None

    vault.spawn(user=SERVICE_USER)
    assert vault.wait_exit(10) == 1
    path = vault.db_path if named == "db" else vault.data_dir
    error = "Ошибка открытия базы данных: %s (%s: Permission denied)" % (sqlite_text, path)
    assert re.search(r" ERROR \[[0-9a-f]+\] database - %s$" % re.escape(error), vault.log(), re.MULTILINE), \
        vault.log()
    assert "Таксволт запущен" not in vault.log()
    assert sorted(vault.data_dir.iterdir()) == before
    if contents is not None:
        assert vault.db_path.read_bytes() == contents
