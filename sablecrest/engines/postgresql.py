"""PostgreSQL: the engine, and its drivers (psycopg 3, asyncpg).

Both drivers take the server's own ``$1`` placeholders (psycopg through a RawCursor), so
they share every compiled text. IN lists travel as one array parameter (``= ANY($1)``).
A COMMIT of a transaction that an error aborted is answered with a rollback, which both
adapters report as the error it is.
"""

from __future__ import annotations

from typing import Any, List, Sequence, Tuple

from ..kinds import Kind
from .base import (
    FORMAT,
    NUMERIC,
    URL,
    AsyncAdapter,
    CursorAdapter,
    Engine,
    ParamStyle,
    Version,
    need,
    socket_quiet,
)


class PostgreSQL(Engine):
    name = "postgresql"
    array_in = True
    types = {Kind.INT: "INTEGER", Kind.STR: "TEXT", Kind.FLOAT: "DOUBLE PRECISION", Kind.BOOL: "BOOLEAN",
             Kind.BYTES: "BYTEA", Kind.DECIMAL: "NUMERIC", Kind.DATETIME: "TIMESTAMP", Kind.DATE: "DATE"}

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 32767 if style is NUMERIC else 65535  # asyncpg counts in a signed 16-bit


ENGINE = PostgreSQL()


def pg_version(number: int) -> Version:
    """PostgreSQL's server_version_num: 150018 is 15.18, 90624 is 9.6.24."""
    if number >= 100000:
        return (number // 10000, number % 10000)
    return (number // 10000, (number // 100) % 100, number % 100)


def dsn(url: URL) -> str:
    return url.text.replace("postgres://", "postgresql://", 1)


class PsycopgAdapter(CursorAdapter):
    """psycopg 3. From 3.2 on, a RawCursor takes PostgreSQL's own $1 placeholders (the
    text asyncpg takes too), so psycopg need not rewrite every statement's %s marks: it
    caches that rewrite only for short texts, and a multi-row INSERT is long."""

    engine = ENGINE

    def __init__(self, url: URL) -> None:
        psycopg = need("psycopg", '"psycopg[binary]"', "postgresql://")
        self.errors = psycopg.errors
        self.raw = psycopg.connect(dsn(url), autocommit=False)
        raw_cursor = getattr(psycopg, "RawCursor", None)
        self.style = NUMERIC if raw_cursor is not None else FORMAT
        self.cur = raw_cursor(self.raw) if raw_cursor is not None else self.raw.cursor()

    def commit(self) -> None:
        # PostgreSQL answers COMMIT of a transaction that an error aborted with a
        # rollback, and psycopg reports that as success: work flushed earlier would
        # vanish without a word.
        if int(self.raw.info.transaction_status) == 3:  # INERROR
            self.raw.rollback()
            raise self.errors.InFailedSqlTransaction(
                "the transaction was aborted by an earlier error and has been rolled back, not committed"
            )
        self.raw.commit()

    def usable(self) -> bool:
        return not (self.raw.closed or self.raw.broken)

    def alive(self) -> bool:
        if not self.usable():
            return False
        if socket_quiet(self.raw.pgconn.socket):
            return True
        try:  # something arrived while idle: a notice, or the server's goodbye
            self.raw.execute("SELECT 1")
            self.raw.rollback()
        except Exception:
            return False
        return True

    def in_transaction(self) -> bool:
        return int(self.raw.info.transaction_status) != 0  # 0: idle

    def server_version(self) -> Tuple[Version, str]:
        return pg_version(self.raw.info.server_version), "postgresql"


def _status_count(status: Any) -> int:
    """The row count of a command status ("UPDATE 3", "INSERT 0 5"); -1 without one."""
    tail = status.rpartition(" ")[2] if isinstance(status, str) else ""
    return int(tail) if tail.isdigit() else -1


_STATEMENT_CACHE_BYTES = 64 * 1024


class AsyncpgAdapter(AsyncAdapter):
    """asyncpg. Its `executemany` reports no row count (-1 here), so the unit of work
    counts the rows of a batched UPDATE itself."""

    engine = ENGINE
    style = NUMERIC
    survives_interrupt = True  # asyncpg cancels the query and resynchronises the protocol

    def __init__(self, raw: Any) -> None:
        self.raw = raw

    @classmethod
    async def open(cls, url: URL) -> "AsyncpgAdapter":
        asyncpg = need("asyncpg", "asyncpg", "postgresql://")
        # asyncpg keeps its 100 most recent prepared statements; by default only those
        # under 15 KiB, which leaves out a multi-row INSERT of a flush (1,000 rows of 6
        # columns is about 45 KiB): preparing it again each time costs a third of an
        # insert's time.
        return cls(await asyncpg.connect(dsn(url), max_cacheable_statement_size=_STATEMENT_CACHE_BYTES))

    async def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        return await self.raw.fetch(sql, *params)  # type: ignore[no-any-return]

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        return _status_count(await self.raw.execute(sql, *params))

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        await self.raw.executemany(sql, seq)
        return -1

    async def begin(self) -> None:
        await self.raw.execute("BEGIN")

    async def commit(self) -> None:
        status = await self.raw.execute("COMMIT")
        if status == "ROLLBACK":
            # PostgreSQL answers COMMIT of a failed transaction with a rollback, not an
            # error: everything the transaction wrote is gone, which is no success.
            asyncpg = need("asyncpg", "asyncpg", "postgresql://")
            raise asyncpg.exceptions.InFailedSQLTransactionError(
                "COMMIT rolled back: a statement of this transaction had failed, nothing it wrote was kept"
            )

    async def rollback(self) -> None:
        if self.raw.is_in_transaction():
            await self.raw.execute("ROLLBACK")

    async def close(self) -> None:
        await self.raw.close()

    def terminate(self) -> None:
        self.raw.terminate()

    def usable(self) -> bool:
        return not self.raw.is_closed()

    def in_transaction(self) -> bool:
        return bool(self.raw.is_in_transaction())

    def server_version(self) -> Tuple[Version, str]:
        v = self.raw.get_server_version()  # 15.18 comes as major 15, minor 0, micro 18
        return ((v.major, v.micro) if v.major >= 10 else (v.major, v.minor, v.micro)), "postgresql"


SYNC = PsycopgAdapter
ASYNC = AsyncpgAdapter

__all__ = ["PostgreSQL", "ENGINE", "PsycopgAdapter", "AsyncpgAdapter", "pg_version"]
