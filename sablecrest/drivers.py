"""Database URLs and the driver adapters behind them.

An adapter gives the session one small interface over a DB-API driver: `fetch` (rows),
`execute` (row count), `many` (executemany's row count), `insert_id` (the generated key of
a one-row INSERT), and `begin`/`commit`/`rollback`. Statements arrive in the driver's own
parameter style; values are passed as parameters, never formatted into the text.
"""

from __future__ import annotations

import importlib
import re
import sqlite3
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple
from urllib.parse import parse_qsl, unquote, urlsplit

from .dialect import ENGINES, FORMAT, NUMERIC, QMARK, Dialect, ParamStyle

SCHEMES = "sqlite://, postgresql:// (or postgres://), mysql:// (or mariadb://)"


class URL(NamedTuple):
    """A parsed database URL: the engine ("sqlite", "postgresql" or "mariadb") and what
    its driver needs."""

    engine: str
    database: str  # SQLite: a path or ":memory:"; servers: the database name
    host: str = ""
    port: Optional[int] = None
    user: str = ""
    password: str = ""
    query: Tuple[Tuple[str, str], ...] = ()
    text: str = ""

    @property
    def memory(self) -> bool:
        return self.engine == "sqlite" and self.database == ":memory:"


def parse_url(url: str) -> URL:
    """``sqlite://`` (in memory), ``sqlite:///relative.db``, ``sqlite:////absolute.db``,
    ``postgresql://user:pw@host:port/db``, ``mysql://...`` or ``mariadb://...``."""
    if not isinstance(url, str):
        raise TypeError("a database URL is a str, got %s" % type(url).__name__)
    scheme, sep, rest = url.partition("://")
    scheme = scheme.lower().split("+", 1)[0]
    if not sep or scheme not in ("sqlite", "postgresql", "postgres", "mysql", "mariadb"):
        raise ValueError("unsupported database URL %r: the supported schemes are %s" % (url, SCHEMES))
    if scheme == "sqlite":
        path = rest[1:] if rest.startswith("/") else rest
        if rest and not rest.startswith("/"):
            raise ValueError("a SQLite URL is sqlite:// (in memory) or sqlite:///path.db, got %r" % url)
        return URL("sqlite", unquote(path) or ":memory:", text=url)
    parts = urlsplit(url)
    try:
        port = parts.port
    except ValueError:
        raise ValueError("bad port in database URL %r" % url) from None
    return URL(
        "postgresql" if scheme in ("postgresql", "postgres") else "mariadb",
        unquote(parts.path.lstrip("/")),
        parts.hostname or "localhost",
        port,
        unquote(parts.username or ""),
        unquote(parts.password or ""),
        tuple(parse_qsl(parts.query)),
        url,
    )


def _need(module: str, package: str, scheme: str) -> Any:
    try:
        return __import__(module)
    except ImportError:
        raise ImportError("%s URLs need the %s driver: pip install %s" % (scheme, module, package)) from None


def _version(text: str) -> Tuple[int, ...]:
    # MariaDB reports "5.5.5-10.11.6-MariaDB-..." to clients that expect a MySQL 5 server.
    m = re.match(r"(?:5\.5\.5-)?(\d+)\.(\d+)(?:\.(\d+))?", text)
    return tuple(int(g) for g in m.groups() if g is not None) if m else (0,)


def pg_version(number: int) -> Tuple[int, ...]:
    """PostgreSQL's server_version_num: 150018 is 15.18, 90624 is 9.6.24."""
    if number >= 100000:
        return (number // 10000, number % 10000)
    return (number // 10000, (number // 100) % 100, number % 100)


class Adapter:
    """A sync driver connection in the interface the session drives."""

    style: ParamStyle = QMARK
    raw: Any
    # The transaction begins at the first write, not the first read: a SQLite read
    # transaction cannot turn into a write one once another connection has written.
    lazy_begin = False

    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        raise NotImplementedError

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        raise NotImplementedError

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        raise NotImplementedError

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        raise NotImplementedError

    def begin(self) -> None:
        pass

    def commit(self) -> None:
        self.raw.commit()

    def rollback(self) -> None:
        self.raw.rollback()

    def close(self) -> None:
        self.raw.close()

    def usable(self) -> bool:
        """False once the connection is known to be lost."""
        return True

    def in_transaction(self) -> bool:
        """Whether the driver has a transaction open (checked when the connection goes
        back to the pool: it must not carry one over to the next session)."""
        return False

    def dialect(self) -> Dialect:
        raise NotImplementedError


class SQLiteAdapter(Adapter):
    style = QMARK
    lazy_begin = True

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

    def dialect(self) -> Dialect:
        return Dialect(ENGINES["sqlite"], QMARK, sqlite3.sqlite_version_info)


class CursorAdapter(Adapter):
    """A server driver's connection with one reused cursor."""

    style = FORMAT
    cur: Any

    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        cur = self.cur
        cur.execute(sql, params)
        # rownumber is None when the statement returned no rows; `description` would
        # tell the same but builds a Column object per column on every access.
        rows: List[Any] = cur.fetchall() if cur.rownumber is not None else []
        return rows

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        self.cur.execute(sql, params)
        return int(self.cur.rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        self.cur.executemany(sql, seq)
        return int(self.cur.rowcount)

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        self.cur.execute(sql, params)
        return self.cur.lastrowid


class PsycopgAdapter(CursorAdapter):
    """psycopg 3. From 3.2 on, a RawCursor takes PostgreSQL's own $1 placeholders (the
    text asyncpg takes too), so psycopg need not rewrite every statement's %s marks: it
    caches that rewrite only for short texts, and a multi-row INSERT is long."""

    def __init__(self, url: URL) -> None:
        psycopg = _need("psycopg", '"psycopg[binary]"', "postgresql://")
        self.errors = psycopg.errors
        self.raw = psycopg.connect(url.text.replace("postgres://", "postgresql://", 1), autocommit=False)
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

    def in_transaction(self) -> bool:
        return int(self.raw.info.transaction_status) != 0  # 0: idle

    def dialect(self) -> Dialect:
        return Dialect(ENGINES["postgresql"], self.style, pg_version(self.raw.info.server_version))


class PyMySQLAdapter(CursorAdapter):

    def __init__(self, url: URL) -> None:
        pymysql = _need("pymysql", "PyMySQL", "mysql://")
        CLIENT = importlib.import_module("pymysql.constants.CLIENT")
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

    def usable(self) -> bool:
        return bool(self.raw.open)

    def in_transaction(self) -> bool:
        return bool(self.raw.server_status & 1)  # SERVER_STATUS_IN_TRANS

    def dialect(self) -> Dialect:
        info = self.raw.get_server_info()
        variant = "mariadb" if "mariadb" in info.lower() else "mysql"
        return Dialect(ENGINES["mariadb"], FORMAT, _version(info), variant)


ADAPTERS = {"sqlite": SQLiteAdapter, "postgresql": PsycopgAdapter, "mariadb": PyMySQLAdapter}

__all__ = ["URL", "parse_url", "Adapter", "CursorAdapter", "SQLiteAdapter", "PsycopgAdapter", "PyMySQLAdapter", "ADAPTERS"]
