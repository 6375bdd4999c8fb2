"""Direct access to the service's encrypted database for the system tests.

Goes through the SQLCipher shared library with ctypes. The library is loaded
with RTLD_DEEPBIND so that it keeps to its own sqlite3_* symbols even when a
plain SQLite is loaded into the same interpreter.
"""

import ctypes
import json
import os
from pathlib import Path
from typing import Any, List, Optional, Sequence

KEY_STATEMENT = "PRAGMA key='Rq8&uLx2';"

SQLITE_OK = 0
SQLITE_ROW = 100
SQLITE_DONE = 101
SQLITE_OPEN_READWRITE = 0x2
SQLITE_OPEN_CREATE = 0x4
SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL = 1, 2, 3, 4, 5
SQLITE_TRANSIENT = ctypes.c_void_p(-1)

_lib = None


def _library():
    global _lib
    if _lib is None:
        lib = ctypes.CDLL("libsqlcipher.so.0", mode=os.RTLD_LOCAL | getattr(os, "RTLD_DEEPBIND", 0))
        p, i, s = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p
        lib.sqlite3_open_v2.argtypes = [s, ctypes.POINTER(p), i, s]
        lib.sqlite3_close_v2.argtypes = [p]
        lib.sqlite3_exec.argtypes = [p, s, p, p, p]
        lib.sqlite3_errmsg.argtypes = [p]
        lib.sqlite3_errmsg.restype = s
        lib.sqlite3_busy_timeout.argtypes = [p, i]
        lib.sqlite3_prepare_v2.argtypes = [p, s, i, ctypes.POINTER(p), p]
        lib.sqlite3_step.argtypes = [p]
        lib.sqlite3_finalize.argtypes = [p]
        lib.sqlite3_column_count.argtypes = [p]
        lib.sqlite3_column_type.argtypes = [p, i]
        lib.sqlite3_column_int64.argtypes = [p, i]
        lib.sqlite3_column_int64.restype = ctypes.c_int64
        lib.sqlite3_column_double.argtypes = [p, i]
        lib.sqlite3_column_double.restype = ctypes.c_double
        lib.sqlite3_column_text.argtypes = [p, i]
        lib.sqlite3_column_text.restype = ctypes.c_void_p
        lib.sqlite3_column_bytes.argtypes = [p, i]
        lib.sqlite3_bind_int64.argtypes = [p, i, ctypes.c_int64]
        lib.sqlite3_bind_double.argtypes = [p, i, ctypes.c_double]
        lib.sqlite3_bind_text.argtypes = [p, i, s, i, p]
        lib.sqlite3_bind_null.argtypes = [p, i]
        _lib = lib
    return _lib


class DbError(RuntimeError):
    pass


class VaultDb:
    """One connection to a database file; key None opens it as plain SQLite."""

    def __init__(self, path: Path, key_statement: Optional[str] = KEY_STATEMENT, create: bool = False):
        self.lib = _library()
        self.path = Path(path)
        if not create and not self.path.exists():
            raise DbError("no database at %s" % self.path)
        self.db = ctypes.c_void_p()
        flags = SQLITE_OPEN_READWRITE | (SQLITE_OPEN_CREATE if create else 0)
        rc = self.lib.sqlite3_open_v2(str(self.path).encode(), ctypes.byref(self.db), flags, None)
        if rc != SQLITE_OK:
            raise DbError("cannot open %s: %d" % (self.path, rc))
        self.lib.sqlite3_busy_timeout(self.db, 5000)
        if key_statement:
            self.execute(key_statement)

    def close(self) -> None:
        if self.db:
            self.lib.sqlite3_close_v2(self.db)
            self.db = ctypes.c_void_p()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _error(self, what: str) -> DbError:
        return DbError("%s: %s" % (what, self.lib.sqlite3_errmsg(self.db).decode("utf-8", "replace")))

    def execute_script(self, sql: str) -> None:
        if self.lib.sqlite3_exec(self.db, sql.encode(), None, None, None) != SQLITE_OK:
            raise self._error(sql)

    def query(self, sql: str, params: Sequence[Any] = ()) -> List[tuple]:
        stmt = ctypes.c_void_p()
        if self.lib.sqlite3_prepare_v2(self.db, sql.encode(), -1, ctypes.byref(stmt), None) != SQLITE_OK:
            raise self._error(sql)
        try:
            for index, value in enumerate(params, start=1):
                self._bind(stmt, index, value)
            rows = []
            while True:
                rc = self.lib.sqlite3_step(stmt)
                if rc == SQLITE_DONE:
                    return rows
                if rc != SQLITE_ROW:
                    raise self._error(sql)
                rows.append(tuple(self._column(stmt, c) for c in range(self.lib.sqlite3_column_count(stmt))))
        finally:
            self.lib.sqlite3_finalize(stmt)

    def execute(self, sql: str, params: Sequence[Any] = ()) -> None:
        self.query(sql, params)

    def _bind(self, stmt, index: int, value: Any) -> None:
        if value is None:
            rc = self.lib.sqlite3_bind_null(stmt, index)
        elif isinstance(value, bool) or isinstance(value, int):
            rc = self.lib.sqlite3_bind_int64(stmt, index, int(value))
        elif isinstance(value, float):
            rc = self.lib.sqlite3_bind_double(stmt, index, value)
        else:
            data = str(value).encode("utf-8")
            rc = self.lib.sqlite3_bind_text(stmt, index, data, len(data), SQLITE_TRANSIENT)
        if rc != SQLITE_OK:
            raise self._error("bind %d" % index)

    def _column(self, stmt, c: int) -> Any:
        kind = self.lib.sqlite3_column_type(stmt, c)
        if kind == SQLITE_NULL:
            return None
        if kind == SQLITE_INTEGER:
            return self.lib.sqlite3_column_int64(stmt, c)
        if kind == SQLITE_FLOAT:
            return self.lib.sqlite3_column_double(stmt, c)
        size = self.lib.sqlite3_column_bytes(stmt, c)
        pointer = self.lib.sqlite3_column_text(stmt, c)
        return ctypes.string_at(pointer, size).decode("utf-8", "replace") if pointer else ""

    # ---- the service's tables

    def tables(self) -> List[str]:
        return sorted(r[0] for r in self.query("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'"))

    def status(self) -> Optional[int]:
        rows = self.query("SELECT status FROM status WHERE rowid = 1")
        return rows[0][0] if rows else None

    def set_status(self, status: int) -> None:
        self.execute("INSERT OR REPLACE INTO status(rowid, status) VALUES(1, ?)", (status,))

    def service_data(self, name: str) -> Optional[dict]:
        rows = self.query("SELECT data FROM servicedata WHERE name = ?", (name,))
        return json.loads(rows[0][0]) if rows else None

    def set_service_data(self, name: str, document: dict) -> None:
        self.execute("INSERT INTO servicedata(name, data) VALUES(?, ?)",
                     (name, json.dumps(document, ensure_ascii=False, separators=(",", ":"), sort_keys=True)))

    def counted_cash(self) -> float:
        """The cash of all sales in the open shift's counters."""
        rows = self.query("SELECT data FROM shiftcounters")
        return json.loads(rows[0][0]).get("OPERATION_SELL", {}).get("PAYMENT_CASH", 0) if rows else 0

    def messages(self) -> List[tuple]:
        """The queue, oldest first: (messageid, queue message as dict)."""
        return [(mid, json.loads(data)) for mid, data in self.query("SELECT messageid, data FROM messages ORDER BY messageid")]

    def add_message(self, message: dict) -> None:
        self.execute("INSERT INTO messages(data) VALUES(?)",
                     (json.dumps(message, ensure_ascii=False, separators=(",", ":"), sort_keys=True),))

    def clear_messages(self) -> None:
        self.execute("DELETE FROM messages")
