"""Async sessions: the same models, unit of work, dialects and native core as the sync
ORM, driven over asyncpg (``postgresql://``) and aiosqlite (``sqlite://``).

Only the driver calls differ from the sync ORM: `AsyncSession._run` drives the very
`UnitOfWork` generators that `Session._run` drives, and awaits the driver where the sync
session calls it.

Failures and cancellation: a flush that fails half-way, or whose task is cancelled,
rolls the whole transaction back before the error propagates, so none of it can be
committed later. The rollback and the return of the connection to the pool run shielded
from a further cancellation. A connection that cannot roll back (it was lost, say) is
closed and dropped from the pool; the server rolls back what it had not committed.

Row counts on asyncpg: ``executemany`` reports none, so for an UPDATE run over several
rows the unit of work counts the rows that hold the written keys afterwards, in the same
transaction (see `UnitOfWork._update`); a one-row UPDATE and every DELETE report their
count in the command status.
"""

from __future__ import annotations

import asyncio
import inspect
import sqlite3
from collections import deque
from typing import (
    Any,
    Awaitable,
    Callable,
    Coroutine,
    Deque,
    Dict,
    List,
    Optional,
    Sequence,
    Set,
    Type,
    TypeVar,
)

from .database import Trace, _echo
from .dialect import ENGINES, NUMERIC, QMARK, Dialect
from .drivers import URL, _need, parse_url
from .model import Field, Model, info_of
from .session import ALL, COUNT, EXEC, FETCH, FIRST, INSERT_ID, MANY, RETURNING, QueryBase, SessionBase, Steps

M = TypeVar("M", bound=Model)


# ---------------------------------------------------------------- adapters


class AsyncAdapter:
    """An async driver connection in the interface the session drives. `ops` holds the
    coroutine function for each of the unit of work's ops, by op number."""

    raw: Any
    ops: Sequence[Callable[[str, Any], Awaitable[Any]]]
    # The transaction begins at the first write, not the first read (as the sync
    # adapter's `lazy_begin`).
    lazy_begin = False

    def __init__(self) -> None:
        by_op = {FETCH: self.fetch, RETURNING: self.fetch, EXEC: self.execute, MANY: self.many, INSERT_ID: self.insert_id}
        self.ops = [by_op[k] for k in range(len(by_op))]

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
        """False once the connection is lost or closed, or still inside a transaction."""
        raise NotImplementedError

    def dialect(self) -> Dialect:
        raise NotImplementedError


def _status_count(status: Any) -> int:
    """The row count of a command status ("UPDATE 3", "INSERT 0 5"); -1 without one."""
    tail = status.rpartition(" ")[2] if isinstance(status, str) else ""
    return int(tail) if tail.isdigit() else -1


_STATEMENT_CACHE_BYTES = 64 * 1024


class AsyncpgAdapter(AsyncAdapter):
    def __init__(self, raw: Any) -> None:
        super().__init__()
        self.raw = raw

    @classmethod
    async def open(cls, url: URL) -> "AsyncpgAdapter":
        asyncpg = _need("asyncpg", "asyncpg", "postgresql://")
        # asyncpg keeps its 100 most recent prepared statements; by default only those
        # under 15 KiB, which leaves out a multi-row INSERT of a flush (1,000 rows of 6
        # columns is about 45 KiB): preparing it again each time costs a third of an
        # insert's time.
        dsn = url.text.replace("postgres://", "postgresql://", 1)
        return cls(await asyncpg.connect(dsn, max_cacheable_statement_size=_STATEMENT_CACHE_BYTES))

    async def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        return await self.raw.fetch(sql, *params)  # type: ignore[no-any-return]

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        return _status_count(await self.raw.execute(sql, *params))

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        if len(seq) == 1:  # one row: the command status has its count
            return _status_count(await self.raw.execute(sql, *seq[0]))
        if seq:
            await self.raw.executemany(sql, seq)
        return -1 if seq else 0

    async def begin(self) -> None:
        await self.raw.execute("BEGIN")

    async def commit(self) -> None:
        status = await self.raw.execute("COMMIT")
        if status == "ROLLBACK":
            # PostgreSQL answers COMMIT of a failed transaction with a rollback, not an
            # error: everything the transaction wrote is gone, which is no success.
            asyncpg = _need("asyncpg", "asyncpg", "postgresql://")
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
        return not self.raw.is_closed() and not self.raw.is_in_transaction()

    def dialect(self) -> Dialect:
        v = self.raw.get_server_version()  # 15.18 comes as major 15, minor 0, micro 18
        version = (v.major, v.micro) if v.major >= 10 else (v.major, v.minor, v.micro)
        return Dialect(ENGINES["postgresql"], NUMERIC, version)


class AiosqliteAdapter(AsyncAdapter):
    lazy_begin = True

    def __init__(self, raw: Any) -> None:
        super().__init__()
        self.raw = raw
        self.closed = False

    @classmethod
    async def open(cls, url: URL) -> "AiosqliteAdapter":
        aiosqlite = _need("aiosqlite", "aiosqlite", "sqlite://")
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
        if not self.raw.in_transaction:
            await self.raw.execute("BEGIN")

    async def commit(self) -> None:
        if self.raw.in_transaction:
            await self.raw.execute("COMMIT")

    async def rollback(self) -> None:
        # Statements run in the connection's own thread, in order: this ROLLBACK runs
        # after any statement whose task was cancelled while it ran.
        if self.raw.in_transaction:
            await self.raw.execute("ROLLBACK")

    async def close(self) -> None:
        self.closed = True
        await self.raw.close()

    def terminate(self) -> None:
        if not self.closed:
            self.closed = True
            self.raw.stop()  # closes the connection in its thread, after what is queued

    def usable(self) -> bool:
        return not self.closed and not self.raw.in_transaction

    def dialect(self) -> Dialect:
        return Dialect(ENGINES["sqlite"], QMARK, sqlite3.sqlite_version_info)


ASYNC_ADAPTERS: Dict[str, Any] = {"postgresql": AsyncpgAdapter, "sqlite": AiosqliteAdapter}


# ---------------------------------------------------------------- pool


class AsyncPool:
    """At most `size` connections, handed to sessions first come, first served; a
    connection that is lost (or was left inside a transaction) is closed and dropped
    instead of going back."""

    def __init__(self, factory: Callable[[], Awaitable[AsyncAdapter]], size: int, timeout: float) -> None:
        if size < 1:
            raise ValueError("a pool holds at least one connection")
        self.factory = factory
        self.size = size
        self.timeout = timeout
        self.idle: List[AsyncAdapter] = []
        self.open = 0  # connections open or being opened (idle or held)
        self.held = 0  # connections given to sessions (or being opened for them)
        self.waiters: "Deque[asyncio.Future[None]]" = deque()
        self.closed = False

    async def acquire(self) -> AsyncAdapter:
        if self.held < self.size and not self.waiters:
            self.held += 1
        else:
            await self._wait()  # returns holding the slot a releasing session handed over
        try:
            while self.idle:
                conn = self.idle.pop()
                if conn.usable():
                    return conn
                self.open -= 1  # lost while it was idle
                conn.terminate()
            self.open += 1
            try:
                return await self.factory()
            except BaseException:
                self.open -= 1
                raise
        except BaseException:
            self._hand_on()
            raise

    async def _wait(self) -> None:
        loop = asyncio.get_running_loop()
        fut: "asyncio.Future[None]" = loop.create_future()
        self.waiters.append(fut)
        timer = loop.call_later(self.timeout, self._expire, fut)
        try:
            await fut
        except BaseException:
            if fut.done() and not fut.cancelled() and fut.exception() is None:
                self._hand_on()  # the slot came just as this task was cancelled: pass it on
            elif fut in self.waiters:
                self.waiters.remove(fut)
            raise
        finally:
            timer.cancel()

    def _expire(self, fut: "asyncio.Future[None]") -> None:
        if not fut.done():
            fut.set_exception(TimeoutError("no connection came free within %.1f s (pool size %d)" % (self.timeout, self.size)))

    def _hand_on(self) -> None:
        """A slot came free: to the first session still waiting, or back to the pool."""
        while self.waiters:
            fut = self.waiters.popleft()
            if not fut.done():
                fut.set_result(None)
                return
        self.held -= 1

    def release(self, conn: AsyncAdapter) -> None:
        if conn.usable() and not self.closed:
            self.idle.append(conn)
        else:
            self.open -= 1
            conn.terminate()
        self._hand_on()

    async def close(self) -> None:
        self.closed = True
        idle, self.idle = self.idle, []
        self.open -= len(idle)
        for conn in idle:
            try:
                await conn.close()
            except Exception:
                conn.terminate()


# Clean-up tasks that may outlive a cancelled caller; held here so that none is
# collected before it ends.
_cleanups: Set["asyncio.Task[None]"] = set()


def _spawn(coro: Coroutine[Any, Any, None]) -> "asyncio.Task[None]":
    """Starts `coro` as a task of its own: awaited through `asyncio.shield`, it runs to
    its end even when the awaiting task is cancelled meanwhile (which still gets its
    CancelledError at once)."""
    task = asyncio.ensure_future(coro)
    _cleanups.add(task)
    task.add_done_callback(_cleaned)
    return task


def _cleaned(task: "asyncio.Task[None]") -> None:
    _cleanups.discard(task)
    if not task.cancelled():
        task.exception()  # retrieved: its caller may be gone


async def _rollback_or_drop(conn: AsyncAdapter) -> None:
    """Rolls back; a connection that cannot is terminated (the server rolls back)."""
    done = False
    try:
        await conn.rollback()
        done = True
    except Exception:
        pass
    finally:
        if not done:
            conn.terminate()


# ---------------------------------------------------------------- sessions


class AsyncQuery(QueryBase[M]):
    """A SELECT under construction; ``await q.all()``, ``.first()`` or ``.count()``."""

    __slots__ = ()

    async def all(self) -> List[M]:
        return await self._session._run(self._session._uow.select(self, ALL))  # type: ignore[no-any-return]

    async def first(self) -> Optional[M]:
        return await self._session._run(self._session._uow.select(self, FIRST))  # type: ignore[no-any-return]

    async def count(self) -> int:
        return await self._session._run(self._session._uow.select(self, COUNT))  # type: ignore[no-any-return]


class AsyncSession(SessionBase):
    """One pooled connection, one transaction at a time, one object per row.

    ``async with db.session() as s:`` takes a connection, commits on normal exit and
    rolls back on an exception or a cancellation; either way the connection goes back to
    the pool (or is dropped, when it was lost).
    """

    def __init__(self, db: "AsyncDatabase") -> None:
        super().__init__(db)  # type: ignore[arg-type]
        self._adb = db
        self._conn: Optional[AsyncAdapter] = None
        self._cleanup: "Optional[asyncio.Task[None]]" = None

    async def __aenter__(self) -> "AsyncSession":
        await self._connection()
        return self

    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        try:
            if exc_type is None:
                await self.commit()
        finally:
            await self.close()

    async def _connection(self) -> AsyncAdapter:
        if self._conn is None:
            if self._closed:
                raise RuntimeError("the session is closed")
            self._conn = await self._adb._pool.acquire()
        return self._conn

    async def _run(self, steps: Steps) -> Any:
        if self._cleanup is not None:
            await self._settled()
        conn = self._conn or await self._connection()
        trace = self._adb.trace
        ops = conn.ops
        try:
            op = next(steps)
            while True:
                kind, sql, params = op
                if not self._in_txn and (kind != FETCH or not conn.lazy_begin):
                    await conn.begin()
                    self._in_txn = True
                if trace is not None:
                    trace(sql, params)
                op = steps.send(await ops[kind](sql, params))
        except StopIteration as stop:
            return stop.value
        except BaseException:
            if self._uow.writing:  # a flush failed half-way: none of it may stay
                self._uow.writing = False
                await self._abort()
            raise

    async def _abort(self) -> None:
        """Rolls back after a failure, shielded from cancellation; a connection that
        cannot roll back is dropped, and the failure being raised is never masked."""
        in_txn, self._in_txn = self._in_txn, False
        self._uow.rolled_back()
        if in_txn and self._conn is not None:
            self._cleanup = _spawn(_rollback_or_drop(self._conn))
            await asyncio.shield(self._cleanup)
            self._cleanup = None  # (left set when this task is cancelled meanwhile)

    async def _settled(self) -> None:
        """Waits for a rollback still running for a cancelled task on this connection."""
        cleanup, self._cleanup = self._cleanup, None
        if cleanup is not None and not cleanup.done():
            await asyncio.shield(cleanup)

    async def flush(self) -> None:
        """Writes pending inserts, changed fields and deletes, in one go. A check that
        fails raises before any statement runs; a statement that fails (or a
        cancellation) rolls the whole transaction back and its error propagates."""
        await self._run(self._uow.flush())

    async def commit(self) -> None:
        try:
            await self.flush()
            if self._in_txn and self._conn is not None:
                await self._conn.commit()
        except BaseException:
            await self._abort()
            raise
        self._in_txn = False
        self._uow.committed()

    async def rollback(self) -> None:
        """Rolls the transaction back; the identity map is emptied and the objects it
        held are detached."""
        try:
            if self._in_txn and self._conn is not None:
                await self._conn.rollback()
        finally:
            self._in_txn = False
            self._uow.rolled_back()

    async def close(self) -> None:
        """Rolls back what is not committed and returns the connection to the pool."""
        if self._closed:
            return
        self._closed = True
        conn, self._conn = self._conn, None
        in_txn, self._in_txn = self._in_txn, False
        if in_txn:
            self._uow.rolled_back()
        else:
            self._uow.closed()
        if conn is None:
            return
        if in_txn or self._cleanup is not None:
            await asyncio.shield(_spawn(self._give_back(conn, in_txn)))
        else:
            self._adb._pool.release(conn)

    async def _give_back(self, conn: AsyncAdapter, rollback: bool) -> None:
        try:
            try:
                await self._settled()
            finally:
                if rollback:
                    await _rollback_or_drop(conn)
        finally:
            self._adb._pool.release(conn)

    async def upsert(self, *objs: Model) -> None:
        """Inserts each object's row, or updates every column of it when a row with that
        primary key exists (ON CONFLICT), at once."""
        await self._run(self._uow.upsert(list(objs)))

    async def get(self, model: Type[M], key: Any) -> Optional[M]:
        """The object with this primary key, from the identity map or the database."""
        return await self._run(self._uow.get(model, key))  # type: ignore[no-any-return]

    def select(self, model: Type[M]) -> AsyncQuery[M]:
        return AsyncQuery(info_of(model), self)

    async def load_related(self, objs: Sequence[Model], field: "Field[Any]") -> Dict[Any, Model]:
        """{key: object} for the objects that `field` (a foreign key, like
        ``Post.author_id``) of `objs` refers to: one SELECT for those not yet loaded."""
        return await self._run(self._uow.load_related(objs, field))  # type: ignore[no-any-return]

    async def execute(self, sql: str, params: Sequence[Any] = ()) -> List[Any]:
        """Runs one statement of your own, in this session's transaction; returns its
        rows (an empty list when it has none). `sql` uses the driver's parameter style
        (``$1`` on asyncpg, ``?`` on aiosqlite)."""

        def steps() -> Steps:
            rows = yield (RETURNING, sql, list(params))  # may write: it runs in the transaction
            return rows

        return await self._run(steps())  # type: ignore[no-any-return]


# ---------------------------------------------------------------- database


class AsyncDatabase:
    """A database URL's engine on an async driver: its dialect, a bounded connection
    pool, and async sessions. Made by `connect_async`."""

    def __init__(
        self,
        url: URL,
        factory: Callable[[], Awaitable[AsyncAdapter]],
        first: AsyncAdapter,
        pool_size: int,
        pool_timeout: float,
        echo: bool,
    ) -> None:
        self.url = url
        self.dialect = first.dialect()
        # An in-memory SQLite database lives in one connection.
        self._pool = AsyncPool(factory, 1 if url.memory else pool_size, pool_timeout)
        self._pool.open = 1
        self._pool.idle.append(first)
        self.trace: Optional[Trace] = _echo if echo else None

    def __repr__(self) -> str:
        return "<AsyncDatabase %s %r>" % (self.dialect, self.url.text)

    def session(self) -> AsyncSession:
        """A new session; it takes a pooled connection when it starts (``async with``,
        or its first statement) and holds it until it is closed."""
        return AsyncSession(self)

    async def migrate(self, *models: "type[Model]", dry_run: bool = False, drop: bool = False) -> List[str]:
        """Brings the database up to the models; returns the statements (see
        `sablecrest.migrate`). The sync migration code runs in a worker thread, and each
        of its session calls runs on this event loop over this database's pool."""
        from .migrate import migrate

        loop = asyncio.get_running_loop()
        bridge = _Blocking(self, loop)
        return await loop.run_in_executor(None, lambda: migrate(bridge, models, dry_run=dry_run, drop=drop))  # type: ignore[arg-type]

    async def _acquire(self) -> AsyncAdapter:
        return await self._pool.acquire()

    def _release(self, conn: AsyncAdapter) -> None:
        self._pool.release(conn)

    async def close(self) -> None:
        """Closes the idle connections; sessions still open close theirs when they end."""
        await self._pool.close()

    async def __aenter__(self) -> "AsyncDatabase":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()


class _Blocking:
    """A sync view of an async database, session or query for sync code running in a
    worker thread: a call that returns an awaitable waits for it on the event loop."""

    def __init__(self, target: Any, loop: asyncio.AbstractEventLoop) -> None:
        self._target = target
        self._loop = loop

    def _wait(self, aw: Awaitable[Any]) -> Any:
        async def run() -> Any:
            return await aw

        return asyncio.run_coroutine_threadsafe(run(), self._loop).result()

    def __getattr__(self, name: str) -> Any:
        attr = getattr(self._target, name)
        if not callable(attr):
            return attr

        def call(*args: Any, **kw: Any) -> Any:
            args = tuple(a._target if isinstance(a, _Blocking) else a for a in args)
            result = attr(*args, **kw)
            if inspect.isawaitable(result):
                result = self._wait(result)
            if isinstance(result, (AsyncSession, AsyncQuery, AsyncAdapter)):
                return _Blocking(result, self._loop)
            return result

        return call

    def __enter__(self) -> "_Blocking":
        self._wait(self._target.__aenter__())
        return self

    def __exit__(self, *exc: Any) -> None:
        self._wait(self._target.__aexit__(*exc))


async def connect_async(
    url: str,
    *,
    pool_size: int = 10,
    pool_timeout: float = 30.0,
    echo: bool = False,
    on_connect: Optional[Callable[[Any], Any]] = None,
) -> AsyncDatabase:
    """An `AsyncDatabase` for ``postgresql://user:pw@host:port/db`` (asyncpg),
    ``sqlite://`` (in memory) or ``sqlite:///path.db`` (aiosqlite). It connects once
    now, so a bad URL or a missing driver fails here. `on_connect` is called (and
    awaited, when it returns an awaitable) with each new driver connection."""
    parsed = parse_url(url)
    adapter_cls = ASYNC_ADAPTERS.get(parsed.engine)
    if adapter_cls is None:
        raise ValueError(
            "unsupported database URL %r for async sessions: the supported schemes are "
            "postgresql:// (asyncpg) and sqlite:// (aiosqlite)" % url
        )

    async def factory() -> AsyncAdapter:
        conn: AsyncAdapter = await adapter_cls.open(parsed)
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
    return AsyncDatabase(parsed, factory, first, pool_size, pool_timeout, echo)


__all__ = ["connect_async", "AsyncDatabase", "AsyncSession", "AsyncQuery", "AsyncPool", "AsyncAdapter"]
