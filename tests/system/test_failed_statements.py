"""A statement that fails is reported once, by one layer, with the statement
and SQLite's text; what the failure means to the caller stands beside it."""

import os
import re
import shutil

import fiscal
from harness import Vault

ERROR_LINE = re.compile(r" ERROR \[[0-9a-f]+\] (\S+ - .*)$", re.MULTILINE)


def error_lines(log):
    return ERROR_LINE.findall(log)


def test_commands_on_a_replaced_file_report_each_failure_once(tmp_path, sim):
    vault = Vault(tmp_path / "root", sim.port)
    vault.start()
    try:
        assert vault.post("commandTicket", fiscal.ticket())["kkmInfoObject"]["serviceStatus"] == 0
        older = tmp_path / "older.db"
        shutil.copyfile(vault.db_path, older)
        os.replace(older, vault.db_path)

        for command in range(3):
            before = len(vault.log())
            vault.post("commandTicket", fiscal.ticket())
            lines = error_lines(vault.log()[before:])
            assert lines, "the refusal is logged"
            assert len(lines) == len(set(lines)), "\n".join(lines)
            for line in lines:
                if "Ошибка выполнения запроса" in line:
                    assert re.search(r"dao - Ошибка выполнения запроса: .+\. Запрос: \S+", line), line
        assert vault.stop() == 0
    finally:
        if vault.running:
            vault.kill()
