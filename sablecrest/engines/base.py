"""What every engine module builds on: parameter styles, the `Engine` base class (what a
database can do and how it writes it) and the driver adapter bases.

An engine module (sqlite.py, postgresql.py, mariadb.py) holds everything one database
means: its capabilities (asked by the rest of the package, which never tests an engine's
name), its types, quoting, how values travel (dumpers) and come back (loaders), its DDL
and introspection, and its drivers, sync and async. A driver adapter only handles its
driver: it runs a statement in the driver's parameter style and reports rows, counts and
keys; what the statement is and what the rows mean is decided elsewhere.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import re
import select
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ..kinds import Kind

if TYPE_CHECKING:
    from ..model import AnyField

Version = Tuple[int, ...]
Dumper = Callable[[Any], Any]  # a Python value -> the parameter the driver takes
Loader = Callable[[Any], Any]  # what the driver returns -> the Python value


class ParamStyle:
    """How a driver marks a value in the text (PEP 249's paramstyle)."""

    __slots__ = ("name", "marker", "escapes_percent", "toolkit_dialect")

    def __init__(self, name: str, marker: str, escapes_percent: bool, toolkit_dialect: str) -> None:
        self.name = name
        self.marker = marker  # "?", "%s" or "$" (numbered from 1)
        self.escapes_percent = escapes_percent  # the driver reads the text as a %-format
        self.toolkit_dialect = toolkit_dialect  # the native toolkit's dialect with this style

    def placeholder(self, position: int) -> str:
        return "$%d" % position if self.marker == "$" else self.marker

    def __repr__(self) -> str:
        return "<ParamStyle %s>" % self.name


QMARK = ParamStyle("qmark", "?", False, "sqlite")
FORMAT = ParamStyle("format", "%s", True, "mysql")
NUMERIC = ParamStyle("numeric", "$", False, "postgres")


class URL(NamedTuple):
    """A parsed database URL: the engine's name and what its driver needs."""

    engine: str
    database: str  # SQLite: a path or ":memory:"; servers: the database name
    host: str = ""
    port: Optional[int] = None
    user: str = ""
    password: str = ""
    query: Tuple[Tuple[str, str], ...] = ()
    text: str = ""


# ---------------------------------------------------------------- value conversions


def iso_text(v: Any) -> Any:
    return v.isoformat()


def decimal_text(v: Any) -> Any:
    return str(v)


def to_bool(v: Any) -> Any:
    return bool(v)


def decimal_from_number(v: Any) -> decimal.Decimal:
    # NUMERIC affinity hands back an int, a float (up to 15 significant digits, which
    # repr() gives back exactly) or the text itself when it would not fit.
    if isinstance(v, float):
        return decimal.Decimal(repr(v))
    return decimal.Decimal(v)


def datetime_from_text(v: Any) -> Any:
    return _dt.datetime.fromisoformat(v) if isinstance(v, str) else v


def date_from_text(v: Any) -> Any:
    return _dt.date.fromisoformat(v) if isinstance(v, str) else v


# ---------------------------------------------------------------- engines


class Engine:
    """What one database engine can do and how it writes it. One instance per engine;
    everything version-dependent takes the server's version."""

    name = ""
    quote_char = '"'
    # ---- capabilities
    array_in = False  # an IN list travels as one array parameter (= ANY(?))
    json_in = False  # past the parameter limit, an IN list travels as one JSON array
    stores_nan = True  # a float NaN round-trips (SQLite stores NULL instead)
    transactional_ddl = True  # DDL runs inside a transaction and rolls back with it
    lazy_begin = False  # a session's transaction begins at its first write, not its first read
    multi_row_default_insert = False  # INSERT of several rows with no column values (() VALUES (), ())
    # Rows one UPDATE of a flush writes, as CASE key WHEN ... expressions, where the
    # driver's executemany would send each row by itself; 1: executemany.
    update_rows = 1
    # ---- text
    like_escape = " ESCAPE '\\'"  # LIKE escapes with a backslash on every engine
    empty_insert = " DEFAULT VALUES"  # an INSERT with no column values
    offset_only_limit = ""  # the LIMIT to write before an OFFSET without one
    # ---- values, by field kind
    dumpers: Dict[Kind, Dumper] = {}
    loaders: Dict[Kind, Loader] = {}
    types: Dict[Kind, str] = {}  # DDL: the column type of a field without a db_type

    def returning(self, version: Version, variant: str) -> bool:
        """Whether INSERT ... RETURNING is there."""
        return True

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 65535

    def fold(self, name: str) -> str:
        """A column name as the engine compares it. Every name is written quoted, so on
        PostgreSQL it keeps its case exactly."""
        return name

    def quote(self, name: str) -> str:
        """An identifier between the engine's quotes, its quote characters doubled."""
        q = self.quote_char
        return q + name.replace(q, q + q) + q

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return "%s IS %sDISTINCT FROM %s" % (a, "" if negated else "NOT ", b)

    def upsert(self, key: str, columns: Sequence[str]) -> str:
        """The clause after INSERT ... VALUES that makes it update `columns` (quoted
        names) of the row whose key (quoted) already exists."""
        sets = ", ".join("%s = excluded.%s" % (c, c) for c in columns)
        return " ON CONFLICT (%s) DO %s" % (key, ("UPDATE SET " + sets) if sets else "NOTHING")

    def column_type(self, field: "AnyField") -> str:
        return field.db_type or self.types[field.kind]

    def single_connection(self, url: URL) -> bool:
        """Whether the database lives in one connection (SQLite in memory)."""
        return False

    def parse_url(self, url: str) -> URL:
        """A server URL: ``scheme://user:pw@host:port/database?option=value``."""
        from urllib.parse import parse_qsl, unquote, urlsplit

        parts = urlsplit(url)
        try:
            port = parts.port
        except ValueError:
            raise ValueError("bad port in database URL %r" % url) from None
        return URL(self.name, unquote(parts.path.lstrip("/")), parts.hostname or "localhost", port,
                   unquote(parts.username or ""), unquote(parts.password or ""), tuple(parse_qsl(parts.query)), url)

    def __repr__(self) -> str:
        return "<Engine %s>" % self.name


def version_of(text: str) -> Version:
    """The leading numbers of a server's version text (MariaDB reports
    "5.5.5-10.11.6-MariaDB-..." to clients that expect a MySQL 5 server)."""
    m = re.match(r"(?:5\.5\.5-)?(\d+)\.(\d+)(?:\.(\d+))?", text)
    return tuple(int(g) for g in m.groups() if g is not None) if m else (0,)


def need(module: str, package: str, scheme: str) -> Any:
    """The driver module, or an ImportError that says what to install."""
    try:
        return __import__(module)
    except ImportError:
        raise ImportError("%s URLs need the %s driver: pip install %s" % (scheme, module, package)) from None


# ---------------------------------------------------------------- driver adapters


class Adapter:
    """A sync driver connection in the interface the sessions drive."""

    engine: Engine
    style: ParamStyle = QMARK
    raw: Any
    # An interrupt (Ctrl-C) inside a driver call leaves the connection usable: true where
    # there is no wire protocol to fall out of step.
    survives_interrupt = False

    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        raise NotImplementedError

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        raise NotImplementedError

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        raise NotImplementedError

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        raise NotImplementedError("this engine returns generated keys with RETURNING")

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

    def alive(self) -> bool:
        """Checked before the pool hands out a connection that sat idle: False when the
        server has closed it meanwhile (a restart, an idle timeout, a kill)."""
        return self.usable()

    def in_transaction(self) -> bool:
        """Whether the driver has a transaction open (checked when the connection goes
        back to the pool: it must not carry one over to the next session)."""
        return False

    def server_version(self) -> Tuple[Version, str]:
        """(version, variant): the server's version, and which server it is where one
        engine serves several (MariaDB and MySQL)."""
        raise NotImplementedError


def socket_quiet(fd: int) -> bool:
    """An idle connection's socket has nothing to read: a server that closed it (or sent a
    termination notice) makes it readable. No round trip."""
    try:
        readable, _, _ = select.select([fd], [], [], 0)
    except (OSError, ValueError):
        return False
    return not readable


class CursorAdapter(Adapter):
    """A server driver's connection with one reused cursor."""

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


class AsyncAdapter:
    """An async driver connection in the interface the sessions drive (the sync
    adapter's methods, awaited)."""

    engine: Engine
    style: ParamStyle = QMARK
    raw: Any
    survives_interrupt = False  # a cancellation inside a driver call leaves it usable

    async def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        raise NotImplementedError

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        raise NotImplementedError

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        raise NotImplementedError

    async def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        raise NotImplementedError("this engine returns generated keys with RETURNING")

    async def begin(self) -> None:
        raise NotImplementedError

    async def commit(self) -> None:
        raise NotImplementedError

    async def rollback(self) -> None:
        raise NotImplementedError

    async def close(self) -> None:
        raise NotImplementedError

    def terminate(self) -> None:
        """Closes the connection at once, without a word to the server (which then rolls
        back whatever was not committed)."""
        raise NotImplementedError

    def usable(self) -> bool:
        """False once the connection is lost or closed."""
        raise NotImplementedError

    def in_transaction(self) -> bool:
        raise NotImplementedError

    def server_version(self) -> Tuple[Version, str]:
        raise NotImplementedError


__all__ = [
    "Version",
    "ParamStyle",
    "QMARK",
    "FORMAT",
    "NUMERIC",
    "URL",
    "Engine",
    "Adapter",
    "CursorAdapter",
    "AsyncAdapter",
    "need",
    "version_of",
    "socket_quiet",
]
