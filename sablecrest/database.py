"""`connect(url)` and `connect_async(url)`: a database's engine, dialect, connection pool
and sessions."""

from __future__ import annotations

import inspect
from types import ModuleType
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Type, Union

from . import engines, logs
from .engines.base import URL
from .errors import wrap
from .pool import AsyncPool, Pool, check_connect_args
from .session import AsyncSession, Session
from .statements import Dialect

if TYPE_CHECKING:
    import os

    from .migrate import Migration
    from .model import Model
    from .revisions import Revision

    PathLike = Union[str, os.PathLike[str]]

Trace = Callable[[str, Sequence[Any]], None]


class DatabaseBase:
    """What the sync and async databases share: the URL, the engine and its dialect, the
    pool, the trace hook.

    ``trace``, when set to a callable, is called with each statement's text and
    parameters before it runs: the low-level hook. Statements are logged on the
    ``sablecrest.sql`` logger at DEBUG (``echo=True`` sets that up, to standard output,
    with the parameters, which then also appear in error messages).
    """

    _pool: Any

    def __init__(self, url: URL, module: ModuleType, first: Any, echo: bool) -> None:
        self.url = url
        self.engine = module.ENGINE
        version, variant = first.server_version()
        self.dialect = Dialect(self.engine, first.style, version, variant, first.counts_many)
        self.echo = echo
        self.trace: Optional[Trace] = None
        if echo:
            logs.echo()

    @property
    def pool(self) -> Any:
        """The connection pool; ``pool.status()`` tells its size, the connections in
        use and idle, and the sessions waiting."""
        return self._pool

    def __repr__(self) -> str:
        return "<%s %s %r>" % (type(self).__name__, self.dialect, self.url.text)


class Database(DatabaseBase):
    """A database URL's engine: its dialect, a connection pool, and sessions over it.
    ``on_connect`` is called with each new DB-API connection before any session uses it
    (to ATTACH a SQLite database, or set a session variable)."""

    def __init__(
        self,
        url: str,
        *,
        pool_size: int = 10,
        pool_timeout: float = 30.0,
        pool_recycle: Optional[float] = None,
        pool_max_lifetime: Optional[float] = None,
        pool_pre_ping: bool = True,
        echo: bool = False,
        on_connect: Optional[Callable[[Any], None]] = None,
    ) -> None:
        check_connect_args(pool_size, pool_timeout, echo, on_connect, pool_recycle, pool_max_lifetime, pool_pre_ping)
        module, parsed = engines.resolve(url)
        adapter = module.SYNC

        def factory() -> Any:  # no reference to self: a dropped database is freed at once
            try:
                conn = adapter(parsed)
            except Exception as exc:
                cls = adapter.classify(exc)
                if cls is None:
                    raise
                raise wrap(cls, exc, None, None, False) from exc
            if on_connect is not None:
                try:
                    on_connect(conn.raw)
                except BaseException:
                    conn.close()
                    raise
            return conn

        first = factory()  # connects now: a bad URL or a missing driver fails here
        super().__init__(parsed, module, first, echo)
        self._pool = Pool(factory, 1 if self.engine.single_connection(parsed) else pool_size, pool_timeout,
                          pool_pre_ping, pool_recycle, pool_max_lifetime)
        self._pool.adopt(first)

    def session(self, isolation: Optional[str] = None) -> Session:
        """A new session holding one pooled connection until it is closed. `isolation`
        ("serializable", "repeatable read" or "read committed", where the engine has it)
        sets the isolation level of each of its transactions."""
        return Session(self, isolation)

    def migrate(self, *models: "Type[Model]", dry_run: bool = False, drop: bool = False) -> "Migration":
        """Brings the database up to the models; returns the statements it ran (with
        dry_run, only returns them). See `sablecrest.migrate.migrate_steps`."""
        from .migrate import migrate_steps

        with self.session() as s:
            return s._run(migrate_steps(s, models, dry_run=dry_run, drop=drop))  # type: ignore[no-any-return]

    def check(self, *models: "Type[Model]") -> "Migration":
        """The statements that would bring the database to the models (`migrate` with
        dry_run): empty, and false, when they match. Runs nothing."""
        return self.migrate(*models, dry_run=True)

    def upgrade(self, directory: "PathLike" = "migrations", target: str = "head") -> "List[Revision]":
        """Runs the revisions of `directory` after the database's current one, up to
        `target` (an id, a prefix of one, or "head"); returns those applied. See
        `sablecrest.revisions`."""
        from .revisions import upgrade_steps

        with self.session() as s:
            return s._run(upgrade_steps(s, directory, target))  # type: ignore[no-any-return]

    def downgrade(self, directory: "PathLike", target: str) -> "List[Revision]":
        """Undoes the database's revisions after `target` (an id, a prefix of one, or
        "base" for all), the last first; returns those undone."""
        from .revisions import downgrade_steps

        with self.session() as s:
            return s._run(downgrade_steps(s, directory, target))  # type: ignore[no-any-return]

    def current(self) -> Optional[str]:
        """The id of the last revision applied to the database, or None."""
        from .revisions import current_steps

        with self.session() as s:
            return s._run(current_steps(s))  # type: ignore[no-any-return]

    def revision(self, directory: "PathLike", *models: "Type[Model]", message: str, rev_id: Optional[str] = None,
                 empty: bool = False, drop: bool = False) -> "Revision":
        """Writes a revision file in `directory` with what the models need of the database
        (which must be at the head of `directory`), after the head; returns it."""
        from .revisions import revision_steps

        with self.session() as s:
            steps = revision_steps(s, directory, models, message, rev_id, empty, drop)
            return s._run(steps)  # type: ignore[no-any-return]

    def close(self) -> None:
        """Closes the idle connections; sessions still open keep theirs until they end."""
        self._pool.close()

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class AsyncDatabase(DatabaseBase):
    """A database URL's engine on an async driver: its dialect, a bounded connection
    pool, and async sessions. Made by `connect_async`."""

    def __init__(self, url: URL, module: ModuleType, factory: Callable[[], Any], first: Any, pool_size: int,
                 pool_timeout: float, echo: bool, pool_pre_ping: bool = True, pool_recycle: Optional[float] = None,
                 pool_max_lifetime: Optional[float] = None) -> None:
        super().__init__(url, module, first, echo)
        self._pool = AsyncPool(factory, 1 if self.engine.single_connection(url) else pool_size, pool_timeout,
                               pool_pre_ping, pool_recycle, pool_max_lifetime)
        self._pool.adopt(first)

    def session(self, isolation: Optional[str] = None) -> AsyncSession:
        """A new session; it takes a pooled connection when it starts (``async with``,
        or its first statement) and holds it until it is closed. `isolation` as for the
        sync database."""
        return AsyncSession(self, isolation)

    async def migrate(self, *models: "Type[Model]", dry_run: bool = False, drop: bool = False) -> "Migration":
        """Brings the database up to the models; returns the statements (see
        `sablecrest.migrate`): the same steps as the sync database, awaited."""
        from .migrate import migrate_steps

        async with self.session() as s:
            return await s._run(migrate_steps(s, models, dry_run=dry_run, drop=drop))  # type: ignore[no-any-return]

    async def check(self, *models: "Type[Model]") -> "Migration":
        """The statements that would bring the database to the models; empty when they
        match (the sync database's `check`, awaited)."""
        return await self.migrate(*models, dry_run=True)

    async def upgrade(self, directory: "PathLike" = "migrations", target: str = "head") -> "List[Revision]":
        """The sync database's `upgrade`, awaited: the same steps. Data steps are `async def`."""
        from .revisions import upgrade_steps

        async with self.session() as s:
            return await s._run(upgrade_steps(s, directory, target))  # type: ignore[no-any-return]

    async def downgrade(self, directory: "PathLike", target: str) -> "List[Revision]":
        """The sync database's `downgrade`, awaited."""
        from .revisions import downgrade_steps

        async with self.session() as s:
            return await s._run(downgrade_steps(s, directory, target))  # type: ignore[no-any-return]

    async def current(self) -> Optional[str]:
        """The id of the last revision applied to the database, or None."""
        from .revisions import current_steps

        async with self.session() as s:
            return await s._run(current_steps(s))  # type: ignore[no-any-return]

    async def revision(self, directory: "PathLike", *models: "Type[Model]", message: str,
                       rev_id: Optional[str] = None, empty: bool = False, drop: bool = False) -> "Revision":
        """The sync database's `revision`, awaited: the plan is made with the same steps."""
        from .revisions import revision_steps

        async with self.session() as s:
            steps = revision_steps(s, directory, models, message, rev_id, empty, drop)
            return await s._run(steps)  # type: ignore[no-any-return]

    async def close(self) -> None:
        """Closes the idle connections; sessions still open close theirs when they end."""
        await self._pool.close()

    async def __aenter__(self) -> "AsyncDatabase":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()


def connect(
    url: str,
    *,
    pool_size: int = 10,
    pool_timeout: float = 30.0,
    pool_recycle: Optional[float] = None,
    pool_max_lifetime: Optional[float] = None,
    pool_pre_ping: bool = True,
    echo: bool = False,
    on_connect: Optional[Callable[[Any], None]] = None,
) -> Database:
    """A `Database` for ``sqlite://`` (in memory), ``sqlite:///path.db``,
    ``postgresql://user:pw@host:port/db`` (psycopg 3) or ``mysql://``/``mariadb://``
    (PyMySQL); the URL's query string sets driver options.

    The pool opens at most `pool_size` connections; a session waits `pool_timeout`
    seconds at most for one. An idle connection is checked before it is handed out
    (`pool_pre_ping`), and replaced when it sat idle longer than `pool_recycle` seconds
    or was opened more than `pool_max_lifetime` seconds ago."""
    return Database(url, pool_size=pool_size, pool_timeout=pool_timeout, pool_recycle=pool_recycle,
                    pool_max_lifetime=pool_max_lifetime, pool_pre_ping=pool_pre_ping, echo=echo,
                    on_connect=on_connect)


async def connect_async(
    url: str,
    *,
    pool_size: int = 10,
    pool_timeout: float = 30.0,
    pool_recycle: Optional[float] = None,
    pool_max_lifetime: Optional[float] = None,
    pool_pre_ping: bool = True,
    echo: bool = False,
    on_connect: Optional[Callable[[Any], Any]] = None,
) -> AsyncDatabase:
    """An `AsyncDatabase` for ``postgresql://user:pw@host:port/db`` (asyncpg),
    ``mysql://``/``mariadb://`` (asyncmy), ``sqlite://`` (in memory) or
    ``sqlite:///path.db`` (aiosqlite). It connects once
    now, so a bad URL or a missing driver fails here. `on_connect` is called (and
    awaited, when it returns an awaitable) with each new driver connection."""
    check_connect_args(pool_size, pool_timeout, echo, on_connect, pool_recycle, pool_max_lifetime, pool_pre_ping)
    module, parsed = engines.resolve(url, asynchronous=True)
    adapter = module.ASYNC

    async def factory() -> Any:
        try:
            conn = await adapter.open(parsed)
        except Exception as exc:
            cls = adapter.classify(exc)
            if cls is None:
                raise
            # A server that is down or refuses the login: an OperationalError.
            raise wrap(cls, exc, None, None, False) from exc
        if on_connect is not None:
            try:
                result = on_connect(conn.raw)
                if inspect.isawaitable(result):
                    await result
            except BaseException:
                conn.terminate()
                raise
        return conn

    first = await factory()
    return AsyncDatabase(parsed, module, factory, first, pool_size, pool_timeout, echo, pool_pre_ping, pool_recycle,
                         pool_max_lifetime)


__all__ = ["Database", "AsyncDatabase", "DatabaseBase", "connect", "connect_async"]
