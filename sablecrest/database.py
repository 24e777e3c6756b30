"""`connect(url)`: a `Database` with a small connection pool and its dialect."""

from __future__ import annotations

import threading
import time
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence

from .drivers import ADAPTERS, Adapter, parse_url
from .session import Session

if TYPE_CHECKING:
    from .migrate import Migration
    from .model import Model

Trace = Callable[[str, Sequence[Any]], None]


class Pool:
    """At most `size` connections; a session holds one from start to end. A connection
    that a session found broken is dropped instead of going back."""

    def __init__(self, factory: Callable[[], Any], size: int, timeout: float) -> None:
        if size < 1:
            raise ValueError("a pool holds at least one connection")
        self.factory = factory
        self.size = size
        self.timeout = timeout
        self.idle: List[Any] = []
        self.open = 0
        self.holders: List[int] = []  # thread ids holding a connection, for the one-connection case
        self.cond = threading.Condition()

    def acquire(self) -> Any:
        deadline = time.monotonic() + self.timeout
        me = threading.get_ident()
        with self.cond:
            while True:
                if self.idle:
                    conn = self.idle.pop()
                    break
                if self.open < self.size:
                    self.open += 1
                    conn = None
                    break
                if self.size == 1 and me in self.holders:
                    raise RuntimeError(
                        "this database has one connection (SQLite in memory) and this thread already holds it "
                        "in an open session; finish that session first"
                    )
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no connection came free within %.1f s (pool size %d)" % (self.timeout, self.size))
                self.cond.wait(left)
            self.holders.append(me)
        if conn is None:
            try:
                conn = self.factory()
            except BaseException:
                with self.cond:
                    self.open -= 1
                    self.holders.remove(me)
                    self.cond.notify()
                raise
        return conn

    def release(self, conn: Any, usable: bool) -> None:
        with self.cond:
            if threading.get_ident() in self.holders:
                self.holders.remove(threading.get_ident())
            elif self.holders:
                self.holders.pop()
            if usable:
                self.idle.append(conn)
            else:
                self.open -= 1
            self.cond.notify()
        if not usable:
            try:
                conn.close()
            except Exception:
                pass

    def close(self) -> None:
        with self.cond:
            idle, self.idle = self.idle, []
            self.open -= len(idle)
        for conn in idle:
            conn.close()

    def __del__(self) -> None:
        # A database dropped without close(): its idle connections go with it (sqlite3
        # warns about a connection left open).
        for conn in self.idle:
            try:
                conn.close()
            except Exception:
                pass


class Database:
    """A database URL's engine: its dialect, a connection pool, and sessions over it.

    ``trace``, when set to a callable, is called with each statement's text and
    parameters before it runs (``connect(url, echo=True)`` prints them). ``on_connect``
    is called with each new DB-API connection before any session uses it (to ATTACH a
    SQLite database, or set a session variable).
    """

    def __init__(
        self,
        url: str,
        *,
        pool_size: int = 10,
        pool_timeout: float = 30.0,
        echo: bool = False,
        on_connect: Optional[Callable[[Any], None]] = None,
    ) -> None:
        self.url = parsed = parse_url(url)
        adapter_cls = ADAPTERS[parsed.engine]

        def factory() -> Adapter:  # no reference to self: a dropped database is freed at once
            conn = adapter_cls(parsed)
            if on_connect is not None:
                on_connect(conn.raw)
            return conn

        self._factory = factory
        first = self._factory()  # connects now: a bad URL or a missing driver fails here
        self.dialect = first.dialect()
        # An in-memory SQLite database lives in one connection.
        self._pool = Pool(self._factory, 1 if self.url.memory else pool_size, pool_timeout)
        self._pool.open = 1
        self._pool.idle.append(first)
        self.trace: Optional[Trace] = _echo if echo else None

    def __repr__(self) -> str:
        return "<Database %s %r>" % (self.dialect, self.url.text)

    def session(self) -> Session:
        """A new session holding one pooled connection until it is closed."""
        return Session(self, self._acquire())

    def _acquire(self) -> Adapter:
        return self._pool.acquire()  # type: ignore[no-any-return]

    def _release(self, conn: Adapter) -> None:
        usable = conn.usable()
        if usable and conn.in_transaction():  # never hand a transaction to the next session
            try:
                conn.rollback()
            except Exception:
                usable = False
        self._pool.release(conn, usable)

    def migrate(self, *models: "type[Model]", dry_run: bool = False, drop: bool = False) -> "Migration":
        """Brings the database up to the models; returns the statements it ran (with
        dry_run, only returns them). See `sablecrest.migrate.migrate`."""
        from .migrate import migrate

        return migrate(self, models, dry_run=dry_run, drop=drop)

    def close(self) -> None:
        """Closes the idle connections; sessions still open keep theirs until they end."""
        self._pool.close()

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _echo(sql: str, params: Sequence[Any]) -> None:
    print(sql if not params else "%s  %r" % (sql, list(params) if len(params) <= 12 else "[%d values]" % len(params)))


def connect(
    url: str,
    *,
    pool_size: int = 10,
    pool_timeout: float = 30.0,
    echo: bool = False,
    on_connect: Optional[Callable[[Any], None]] = None,
) -> Database:
    """A `Database` for ``sqlite://`` (in memory), ``sqlite:///path.db``,
    ``postgresql://user:pw@host:port/db`` (psycopg 3) or ``mysql://``/``mariadb://``
    (PyMySQL)."""
    return Database(url, pool_size=pool_size, pool_timeout=pool_timeout, echo=echo, on_connect=on_connect)


__all__ = ["Database", "Pool", "connect"]
