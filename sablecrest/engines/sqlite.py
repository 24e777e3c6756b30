"""SQLite: the engine, and its drivers (sqlite3, aiosqlite).

SQLite has no decimal or date storage: decimals go in as exact text into NUMERIC columns
(which turn them into numbers where that is lossless, so comparisons stay numeric) and
come back as int, float or text; datetimes and dates are ISO-8601 text. It stores a
float NaN as NULL, so NaN is refused before a flush writes anything. A transaction
begins at the first write: a read transaction cannot become a write one once another
connection has written. An in-memory database lives in its one connection.
"""

from __future__ import annotations

import sqlite3
from typing import Any, List, Sequence, Tuple
from urllib.parse import unquote

from ..kinds import Kind
from .base import (
    QMARK,
    URL,
    Adapter,
    AsyncAdapter,
    Engine,
    ParamStyle,
    Version,
    date_from_text,
    datetime_from_text,
    decimal_from_number,
    decimal_text,
    iso_text,
    need,
    to_bool,
)

_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


class SQLite(Engine):
    name = "sqlite"
    json_in = True
    stores_nan = False
    lazy_begin = True
    offset_only_limit = " LIMIT -1"
    dumpers = {Kind.DECIMAL: decimal_text, Kind.DATETIME: iso_text, Kind.DATE: iso_text}
    loaders = {Kind.BOOL: to_bool, Kind.DECIMAL: decimal_from_number, Kind.DATETIME: datetime_from_text,
               Kind.DATE: date_from_text}
    types = {Kind.INT: "INTEGER", Kind.STR: "TEXT", Kind.FLOAT: "REAL", Kind.BOOL: "BOOLEAN", Kind.BYTES: "BLOB",
             Kind.DECIMAL: "NUMERIC", Kind.DATETIME: "TIMESTAMP", Kind.DATE: "DATE"}

    def returning(self, version: Version, variant: str) -> bool:
        return version >= (3, 35, 0)

    def fold(self, name: str) -> str:
        return name.translate(_ASCII_LOWER)  # SQLite ignores the case of ASCII letters only

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 32766 if version >= (3, 32, 0) else 999

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return "%s IS %s%s" % (a, "NOT " if negated else "", b)

    def single_connection(self, url: URL) -> bool:
        return url.database == ":memory:"

    def parse_url(self, url: str) -> URL:
        """``sqlite://`` (in memory), ``sqlite:///relative.db``, ``sqlite:////absolute.db``."""
        rest = url.partition("://")[2]
        if rest and not rest.startswith("/"):
            raise ValueError("a SQLite URL is sqlite:// (in memory) or sqlite:///path.db, got %r" % url)
        return URL(self.name, unquote(rest[1:]) or ":memory:", text=url)


ENGINE = SQLite()


class SQLiteAdapter(Adapter):
    engine = ENGINE
    style = QMARK
    survives_interrupt = True

    def __init__(self, url: URL) -> None:
        # Autocommit mode at the driver, BEGIN/COMMIT from the session: the sqlite3
        # module's implicit transactions differ between Python versions.
        self.raw = sqlite3.connect(url.database, isolation_level=None, check_same_thread=False)
        self.raw.execute("PRAGMA foreign_keys = ON")

    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        rows: List[Any] = self.raw.execute(sql, params).fetchall()
        return rows

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        return int(self.raw.execute(sql, params).rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        return int(self.raw.executemany(sql, seq).rowcount)

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        return self.raw.execute(sql, params).lastrowid

    def begin(self) -> None:
        if not self.raw.in_transaction:
            self.raw.execute("BEGIN")

    def commit(self) -> None:
        if self.raw.in_transaction:
            self.raw.execute("COMMIT")

    def rollback(self) -> None:
        if self.raw.in_transaction:
            self.raw.execute("ROLLBACK")

    def in_transaction(self) -> bool:
        return bool(self.raw.in_transaction)

    def server_version(self) -> Tuple[Version, str]:
        return sqlite3.sqlite_version_info, "sqlite"


class AiosqliteAdapter(AsyncAdapter):
    """aiosqlite runs each connection in a thread of its own. The sqlite3 connection is
    never touched from the event loop's thread (not even its `in_transaction`): with a
    statement running in the worker thread, newer SQLite libraries deadlock on that. The
    transaction state is tracked here instead, from the statements this adapter sent."""

    engine = ENGINE
    style = QMARK
    survives_interrupt = True  # a cancelled statement finishes in the worker thread, in order

    def __init__(self, raw: Any) -> None:
        self.raw = raw
        self.closed = False
        self.txn = False

    @classmethod
    async def open(cls, url: URL) -> "AiosqliteAdapter":
        aiosqlite = need("aiosqlite", "aiosqlite", "sqlite://")
        # Autocommit at the driver, BEGIN/COMMIT from the session (as the sync adapter).
        raw = await aiosqlite.connect(url.database, isolation_level=None)
        try:
            await raw.execute("PRAGMA foreign_keys = ON")
        except BaseException:
            await raw.close()
            raise
        return cls(raw)

    async def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        return list(await self.raw.execute_fetchall(sql, params))

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        return int((await self.raw.execute(sql, params)).rowcount)

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        return int((await self.raw.executemany(sql, seq)).rowcount)

    async def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        return (await self.raw.execute(sql, params)).lastrowid

    async def begin(self) -> None:
        if not self.txn:
            self.txn = True  # set first: a BEGIN cancelled while it runs still runs
            await self.raw.execute("BEGIN")

    async def commit(self) -> None:
        if self.txn:
            await self.raw.execute("COMMIT")
            self.txn = False

    async def rollback(self) -> None:
        # Statements run in the connection's own thread, in order: this ROLLBACK runs
        # after any statement whose task was cancelled while it ran. Without a
        # transaction open there, SQLite reports an error that changes nothing.
        if self.txn:
            try:
                await self.raw.execute("ROLLBACK")
            except sqlite3.OperationalError as exc:
                if "no transaction is active" not in str(exc):
                    raise
            self.txn = False

    async def close(self) -> None:
        self.closed = True
        await self.raw.close()

    def terminate(self) -> None:
        if not self.closed:
            self.closed = True
            self.raw.stop()  # closes the connection in its thread, after what is queued

    def usable(self) -> bool:
        return not self.closed

    def in_transaction(self) -> bool:
        return self.txn

    def server_version(self) -> Tuple[Version, str]:
        return sqlite3.sqlite_version_info, "sqlite"


SYNC = SQLiteAdapter
ASYNC = AiosqliteAdapter

__all__ = ["SQLite", "ENGINE", "SQLiteAdapter", "AiosqliteAdapter"]
