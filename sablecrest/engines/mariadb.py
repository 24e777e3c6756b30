"""MariaDB (and MySQL): the engine, and its driver (PyMySQL).

PyMySQL reads a statement with parameters as a %-format, so a '%' in the text is doubled
there, and a statement without parameters is sent as it is. Its executemany sends an
UPDATE row by row, so a flush batches UPDATEs itself (CASE key WHEN ... END). DDL
commits by itself: a migration here runs statement by statement.
"""

from __future__ import annotations

import importlib
from typing import Any, List, Optional, Sequence, Tuple

from ..kinds import Kind
from .base import FORMAT, URL, CursorAdapter, Engine, Version, need, socket_quiet, to_bool, version_of


class MariaDB(Engine):
    name = "mariadb"
    quote_char = "`"
    transactional_ddl = False
    stores_nan = False  # DOUBLE has no NaN: PyMySQL would write the bare word nan
    multi_row_default_insert = True
    update_rows = 100  # PyMySQL's executemany sends UPDATEs one round trip at a time
    # LIKE already escapes with a backslash here, and an explicit ESCAPE '\\' is refused
    # when the session's sql_mode has NO_BACKSLASH_ESCAPES.
    like_escape = ""
    empty_insert = " () VALUES ()"
    offset_only_limit = " LIMIT 18446744073709551615"
    loaders = {Kind.BOOL: to_bool}  # BOOLEAN is TINYINT(1): it comes back as 0 or 1
    # DATETIME(6): without the precision the server silently drops the microseconds;
    # DECIMAL alone would be DECIMAL(10,0) and round away every fraction.
    types = {Kind.INT: "INTEGER", Kind.STR: "TEXT", Kind.FLOAT: "DOUBLE", Kind.BOOL: "BOOLEAN",
             Kind.BYTES: "LONGBLOB", Kind.DECIMAL: "DECIMAL(65,30)", Kind.DATETIME: "DATETIME(6)", Kind.DATE: "DATE"}

    def returning(self, version: Version, variant: str) -> bool:
        return variant == "mariadb" and version >= (10, 5)

    def fold(self, name: str) -> str:
        return name.lower()  # column names compare without case

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return ("NOT (%s <=> %s)" if negated else "%s <=> %s") % (a, b)

    def upsert(self, key: str, columns: Sequence[str]) -> str:
        return " ON DUPLICATE KEY UPDATE " + ", ".join("%s = VALUES(%s)" % (c, c) for c in (columns or [key]))

    def column_type(self, field: Any) -> str:
        # A TEXT or BLOB column cannot be a key without a prefix length.
        if field.db_type is None and field.kind in (Kind.STR, Kind.BYTES) and (
                field.primary_key or field.references is not None):
            return "VARCHAR(255)" if field.kind == Kind.STR else "VARBINARY(255)"
        return super().column_type(field)


ENGINE = MariaDB()

# Client errors PyMySQL raises when the server drops a statement past max_allowed_packet.
_PACKET_ERRORS = {1153, 1301, 2006, 2013}


class PyMySQLAdapter(CursorAdapter):
    engine = ENGINE
    style = FORMAT

    def __init__(self, url: URL) -> None:
        pymysql = need("pymysql", "PyMySQL", "mysql://")
        CLIENT = importlib.import_module("pymysql.constants.CLIENT")
        self.errors = pymysql.err
        options = dict(url.query)
        self.raw = pymysql.connect(
            host=url.host,
            port=url.port or 3306,
            user=url.user or None,
            password=url.password,
            database=url.database or None,
            charset=options.pop("charset", "utf8mb4"),
            autocommit=False,
            # UPDATE reports the rows it matched, not only those it changed: a row count
            # is how a flush knows that every row it meant to write was still there.
            client_flag=CLIENT.FOUND_ROWS,
            **options,
        )
        self.cur = self.raw.cursor()
        self.cur.execute("SELECT @@max_allowed_packet")  # for the hint on a statement past it
        self.max_packet: Optional[int] = int(self.cur.fetchall()[0][0])
        self.raw.rollback()

    # PyMySQL formats the text with the parameters only when there are some: a '%' in a
    # statement without parameters is sent as it is.
    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        cur = self.cur
        self._run(cur.execute, sql, params or None)
        rows: List[Any] = cur.fetchall() if cur.rownumber is not None else []
        return rows

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        self._run(self.cur.execute, sql, params or None)
        return int(self.cur.rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        self._run(self.cur.executemany, sql, seq)
        return int(self.cur.rowcount)

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        self._run(self.cur.execute, sql, params or None)
        return self.cur.lastrowid

    def _run(self, call: Any, sql: str, params: Any) -> None:
        try:
            call(sql, params)
        except self.errors.OperationalError as exc:
            self._packet_hint(exc, sql, params)
            raise

    def _packet_hint(self, exc: BaseException, sql: str, params: Any) -> None:
        """A statement larger than the server's max_allowed_packet is refused with a
        lost connection (or error 1153); say so, with the sizes."""
        if not exc.args or exc.args[0] not in _PACKET_ERRORS:
            return
        size = len(sql) + sum(len(v) for v in _flat(params) if isinstance(v, (bytes, bytearray, str)))
        limit = self.max_packet
        if limit is None or size < limit // 2:
            return
        from ..errors import add_note

        add_note(exc, "the statement is about %d bytes and the server's max_allowed_packet is %d: raise it "
                      "(SET GLOBAL max_allowed_packet) or write smaller values" % (size, limit))

    def usable(self) -> bool:
        return bool(self.raw.open)

    def alive(self) -> bool:
        sock = getattr(self.raw, "_sock", None)
        if not self.usable() or sock is None:
            return False
        if socket_quiet(sock.fileno()):
            return True
        try:
            self.raw.ping(reconnect=False)
        except Exception:
            return False
        return True

    def in_transaction(self) -> bool:
        return bool(self.raw.server_status & 1)  # SERVER_STATUS_IN_TRANS

    def server_version(self) -> Tuple[Version, str]:
        info = self.raw.get_server_info()
        return version_of(info), "mariadb" if "mariadb" in info.lower() else "mysql"


def _flat(params: Any) -> Any:
    for p in params or ():
        if isinstance(p, (list, tuple)):
            yield from p
        else:
            yield p


SYNC = PyMySQLAdapter
ASYNC = None

__all__ = ["MariaDB", "ENGINE", "PyMySQLAdapter"]
