"""Sessions: one connection, one transaction at a time, one object per row.

`SessionBase` holds everything the sync and the async session share, written once: the
public methods (each builds its steps and hands them to `_run`, which gives the result
or, in the async session, an awaitable of it) and the transaction policy as steps:

- a flush that fails after it may have written rolls the transaction back (and the
  objects with it, see `UnitOfWork.rolled_back`);
- an error raised while cleaning up after a failure (a rollback on a lost connection,
  say) never replaces that failure: the connection is discarded and the cleanup error
  is attached to the failure as a note. Without a failure in flight, a cleanup error is
  raised;
- a COMMIT whose outcome the client cannot know (interrupted, or the connection lost
  while it ran) leaves the objects as committed: they keep their keys and snapshots, so
  that adding them again never inserts their rows twice. The error is raised with a
  note that says so;
- a connection interrupted inside a driver call is discarded, where its driver cannot
  be trusted after that (the wire protocol may be out of step).

`Session._run` and `AsyncSession._run` are the two driver loops: each runs the
operations its steps yield, opens the transaction before the first operation that needs
one, traces every statement, and throws the driver's errors back into the steps, wrapped
in sablecrest's classes (`errors.py`; the engine module names the class).
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Sequence, Set, Type, TypeVar

from .errors import add_note, reason, wrap
from .logs import DEBUG, POOL, SQL, logged
from .model import Field, Model, info_of
from .ops import BEGIN, COMMIT, ROLLBACK, Op, Returning, Steps
from .query import AsyncQuery, Query
from .unit import UnitOfWork, end_token, new_token

M = TypeVar("M", bound=Model)


class SessionBase:
    """What the sync and async sessions share: membership, the identity map, every
    method whose logic is the same, and the transaction policy."""

    _query = Query

    def __init__(self, db: Any) -> None:
        self.db = db
        self._uow = UnitOfWork(db.dialect, new_token(self))
        self._conn: Any = None
        self._in_txn = False
        self._closed = False
        self._broken = False  # the connection cannot be trusted: discard it at the end
        self._lazy = 1 if db.dialect.engine.lazy_begin else 0
        # Asked once per session: a statement costs nothing more while the logger is off.
        self._logs = SQL.isEnabledFor(DEBUG)

    def __repr__(self) -> str:
        state = "closed" if self._closed else "in a transaction" if self._in_txn else "open"
        return "<%s %s on %r>" % (type(self).__name__, state, self.db)

    def _run(self, steps: Steps) -> Any:
        raise NotImplementedError

    # ---- membership (no I/O)

    def add(self, obj: Model) -> None:
        """Adds a new object (inserted at the next flush) or a detached one."""
        self._usable()
        self._uow.add(obj)

    def add_all(self, objs: Iterable[Model]) -> None:
        self._usable()
        self._uow.add_all(objs)

    def delete(self, obj: Model) -> None:
        """Marks the object's row for deletion at the next flush."""
        self._usable()
        self._uow.delete(obj)

    @property
    def dirty(self) -> List[Model]:
        """The loaded objects whose fields would be written by a flush."""
        return self._uow.dirty()

    @property
    def new(self) -> List[Model]:
        """The objects added and not yet inserted."""
        return list(self._uow.pending.values())

    @property
    def deleted(self) -> List[Model]:
        """The objects whose rows the next flush deletes."""
        return list(self._uow.doomed.values())

    def __contains__(self, obj: Model) -> bool:
        return self._uow.contains(obj)

    def select(self, model: Type[M]) -> Query[M]:
        """A query of `model`'s rows."""
        self._usable()
        return self._query(info_of(model), self)

    def _usable(self) -> None:
        if self._closed:
            raise RuntimeError("the session is closed")

    # ---- methods that run statements: the same steps for both sessions

    def flush(self) -> Any:
        """Writes pending inserts, changed fields and deletes, in one go. A check that
        fails (a wrong NOT NULL, say) raises before any statement runs; a statement that
        fails rolls the whole transaction back and its error propagates."""
        self._usable()
        return self._run(self._guarded(self._uow.flush()))

    def commit(self) -> Any:
        self._usable()
        return self._run(self._commit_steps())

    def rollback(self) -> Any:
        """Rolls the transaction back; the identity map is emptied and the objects it
        held are detached."""
        self._usable()
        return self._run(self._rollback_steps())

    def close(self) -> Any:
        """Rolls back what is not committed and returns the connection to the pool."""
        return self._run(self._close_steps(None))

    def upsert(self, *objs: Model) -> Any:
        """Inserts each object's row, or updates every column of it when a row with that
        primary key exists (ON CONFLICT / ON DUPLICATE KEY), at once."""
        self._usable()
        return self._run(self._guarded(self._uow.upsert(objs)))

    def get(self, model: Type[M], key: Any) -> Any:
        """The object with this primary key, from the identity map or the database."""
        self._usable()
        return self._run(self._guarded(self._uow.get(model, key)))

    def load_related(self, objs: Sequence[Model], field: "Field[Any]") -> Any:
        """{key: object} for the objects that `field` (a foreign key, like
        ``Post.author_id``) of `objs` refers to: one SELECT for those not yet loaded."""
        self._usable()
        return self._run(self._guarded(self._uow.load_related(objs, field)))

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Any:
        """Runs one statement of your own, in this session's transaction; returns its
        rows (an empty list when it has none). `sql` uses the driver's parameter style."""
        if not isinstance(sql, str):
            raise TypeError("execute() takes the statement as a str, got %s" % type(sql).__name__)
        self._usable()
        return self._run(self._execute_steps(sql, list(params) or None))

    # ---- the transaction policy, as steps

    def _execute_steps(self, sql: str, params: Optional[List[Any]]) -> Steps:
        rows = yield Returning(sql, params)  # may write: it runs in the transaction
        return rows

    def _guarded(self, steps: Steps) -> Steps:
        """`steps`, with a flush that fails half-way rolled back."""
        try:
            return (yield from steps)
        except BaseException as failure:
            if self._uow.writing:
                yield from self._abort(failure)
            raise

    def _abort(self, failure: Optional[BaseException]) -> Steps:
        """Rolls the transaction back, in memory and on the connection."""
        in_txn, self._in_txn = self._in_txn, False
        self._uow.rolled_back()
        if in_txn:
            yield from self._cleanup(ROLLBACK, failure)

    def _cleanup(self, op: Op, failure: Optional[BaseException]) -> Steps:
        """Runs a clean-up operation. Its error never replaces `failure`: the connection
        is discarded and the error noted on the failure; without a failure, it raises."""
        if self._broken or self._conn is None:
            return  # discarding the connection rolls back on the server
        try:
            yield op
        except BaseException as err:
            self._broken = True
            if failure is None:
                raise
            POOL.info("%s failed after %s: %s: %s; the connection is discarded", op.sql, type(failure).__name__,
                      type(err).__name__, reason(err))
            add_note(failure, "while rolling back after it, %s also failed: %s: %s (the connection was discarded)"
                     % (op.sql, type(err).__name__, reason(err)))

    def _commit_steps(self) -> Steps:
        yield from self._guarded(self._uow.flush())
        if self._in_txn:
            try:
                yield COMMIT
            except BaseException as failure:
                if not isinstance(failure, Exception) or self._broken or not self._conn.usable():
                    # The COMMIT went out and no answer came back: it may have taken
                    # effect. Rolling the objects back would make a retry insert twice.
                    self._in_txn = False
                    self._broken = True
                    self._uow.committed()
                    add_note(failure, "the COMMIT was sent and its outcome is unknown: the objects are left as "
                                      "committed (with their keys); check the database before writing them again")
                else:
                    yield from self._abort(failure)
                raise
            self._in_txn = False
        self._uow.committed()

    def _rollback_steps(self) -> Steps:
        in_txn, self._in_txn = self._in_txn, False
        self._uow.rolled_back()
        if in_txn:
            yield from self._cleanup(ROLLBACK, None)

    def _close_steps(self, failure: Optional[BaseException]) -> Steps:
        if self._closed:
            return
        self._closed = True
        conn = self._conn
        try:
            if self._in_txn:
                yield from self._abort(failure)
            else:
                self._uow.closed()
            # Never hand a transaction to the next session (a statement of the user's
            # own may have opened one).
            if conn is not None and not self._broken and conn.in_transaction():
                yield from self._cleanup(ROLLBACK, failure)
        finally:
            end_token(self._uow.token)
            self._conn = None
            if conn is not None:
                self._give_back(conn)

    def _exit_steps(self, failure: Optional[BaseException]) -> Steps:
        """The end of a ``with`` block: commit unless it raised, then close. The error
        that ended the block (or that the commit raised) is the one that propagates."""
        try:
            if failure is None:
                yield from self._commit_steps()
        except BaseException as exc:
            failure = exc
            raise
        finally:
            yield from self._close_steps(failure)

    def _give_back(self, conn: Any) -> None:
        raise NotImplementedError

    def _wrapped(self, exc: Exception, op: Op, conn: Any) -> Exception:
        """A driver's error as sablecrest's class for it (the engine module names it),
        before the steps see it; any other error as it is. Without a connection the
        error came from taking one: the pool's own, or connecting, already wrapped."""
        if conn is None:
            return exc
        cls = conn.classify(exc)
        if cls is None:
            return exc
        if op.begins > self._lazy and not self._in_txn:
            # The statement needs the transaction and it is not open: its BEGIN failed.
            return wrap(cls, exc, BEGIN.sql, None, self.db.echo)
        return wrap(cls, exc, op.sql, op.params, self.db.echo)


class Session(SessionBase):
    """One connection, one transaction at a time, one object per row.

    ``with db.session() as s:`` commits on normal exit and rolls back on an exception;
    either way the connection goes back to the pool.
    """

    def __init__(self, db: Any) -> None:
        super().__init__(db)
        self._conn = db._pool.acquire()

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self._run(self._exit_steps(exc))

    if TYPE_CHECKING:

        def flush(self) -> None: ...
        def commit(self) -> None: ...
        def rollback(self) -> None: ...
        def close(self) -> None: ...
        def upsert(self, *objs: Model) -> None: ...
        def get(self, model: Type[M], key: Any) -> Optional[M]: ...
        def load_related(self, objs: Sequence[Model], field: "Field[Any]") -> Dict[Any, Model]: ...
        def execute(self, sql: str, params: Sequence[Any] = ()) -> List[Any]: ...

    def _run(self, steps: Steps) -> Any:
        trace = self.db.trace
        if self._logs:
            trace = logged(trace, self.db.echo)
        lazy = self._lazy
        result: Any = None
        try:
            op = steps.send(None)
            conn = self._conn
            while True:
                try:
                    if conn is None:
                        raise RuntimeError("the session is closed")
                    if op.begins > lazy and not self._in_txn:
                        conn.begin()
                        self._in_txn = True
                    if trace is not None and op.traced:
                        trace(op.sql, op.params)
                    result = op.run(conn)
                    if op.opens:
                        self._in_txn = True
                except Exception as exc:
                    op = steps.throw(self._wrapped(exc, op, conn))
                except BaseException as exc:
                    if conn is not None and not conn.survives_interrupt:
                        self._broken = True  # interrupted mid-call: the protocol may be out of step
                    op = steps.throw(exc)
                else:
                    op = steps.send(result)
        except StopIteration as stop:
            return stop.value

    def _give_back(self, conn: Any) -> None:
        self.db._pool.release(conn, not self._broken)


class AsyncSession(SessionBase):
    """One pooled connection, one transaction at a time, one object per row.

    ``async with db.session() as s:`` takes a connection, commits on normal exit and
    rolls back on an exception or a cancellation; either way the connection goes back to
    the pool (or is dropped, when it was lost). A rollback that a cancellation
    interrupts runs to its end all the same, before the connection is used again.
    """

    _query = AsyncQuery

    def __init__(self, db: Any) -> None:
        super().__init__(db)
        self._cleanup_task: "Optional[asyncio.Task[Any]]" = None

    async def __aenter__(self) -> "AsyncSession":
        await self._checkout()
        return self

    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        await self._run(self._exit_steps(exc))

    if TYPE_CHECKING:

        def select(self, model: Type[M]) -> AsyncQuery[M]: ...
        async def flush(self) -> None: ...
        async def commit(self) -> None: ...
        async def rollback(self) -> None: ...
        async def close(self) -> None: ...
        async def upsert(self, *objs: Model) -> None: ...
        async def get(self, model: Type[M], key: Any) -> Optional[M]: ...
        async def load_related(self, objs: Sequence[Model], field: "Field[Any]") -> Dict[Any, Model]: ...
        async def execute(self, sql: str, params: Sequence[Any] = ()) -> List[Any]: ...

    async def _checkout(self) -> Any:
        if self._conn is None:
            self._usable()
            self._conn = await self.db._pool.acquire()
        return self._conn

    async def _run(self, steps: Steps) -> Any:
        if self._cleanup_task is not None:
            await self._settled()
        trace = self.db.trace
        if self._logs:
            trace = logged(trace, self.db.echo)
        lazy = self._lazy
        deferred: Optional[BaseException] = None  # a cancellation that came during a clean-up
        result: Any = None
        try:
            op = steps.send(None)
            conn = self._conn
            while True:
                try:
                    if conn is None:  # the connection is taken at the first statement
                        conn = await self._checkout()
                    if op.begins > lazy and not self._in_txn:
                        await conn.begin()
                        self._in_txn = True
                    if trace is not None and op.traced:
                        trace(op.sql, op.params)
                    if op.cleanup:
                        result, cancelled = await self._shielded(op.arun(conn))
                        deferred = deferred or cancelled
                    else:
                        result = await op.arun(conn)
                    if op.opens:
                        self._in_txn = True
                except Exception as exc:
                    op = steps.throw(self._wrapped(exc, op, conn))
                except BaseException as exc:
                    if conn is not None and not conn.survives_interrupt:
                        self._broken = True  # interrupted mid-call: the protocol may be out of step
                    op = steps.throw(exc)
                else:
                    op = steps.send(result)
        except StopIteration as stop:
            if deferred is not None:
                raise deferred
            return stop.value

    async def _shielded(self, coro: Any) -> Any:
        """Runs a clean-up to its end even if this task is cancelled meanwhile: the
        cancellation is then delivered when the steps are done, and the clean-up's own
        outcome decides, when it ends, whether the connection goes back to the pool."""
        task = _spawn(coro)
        try:
            return await asyncio.shield(task), None
        except asyncio.CancelledError as cancelled:
            if task.done():
                raise
            self._cleanup_task = task
            return None, cancelled

    async def _settled(self) -> None:
        """Waits for a clean-up still running for a cancelled task on this connection."""
        task, self._cleanup_task = self._cleanup_task, None
        if task is not None and not task.done():
            try:
                await asyncio.shield(task)
            except Exception:
                self._broken = True

    def _give_back(self, conn: Any) -> None:
        pool, usable = self.db._pool, not self._broken
        task, self._cleanup_task = self._cleanup_task, None
        if task is not None and not task.done():
            task.add_done_callback(lambda t: pool.release(conn, usable and not t.cancelled() and t.exception() is None))
        else:
            pool.release(conn, usable)


# Clean-up tasks that may outlive a cancelled caller; held here so that none is
# collected before it ends.
_cleanups: Set["asyncio.Task[Any]"] = set()


def _spawn(coro: Any) -> "asyncio.Task[Any]":
    task: "asyncio.Task[Any]" = asyncio.ensure_future(coro)
    _cleanups.add(task)
    task.add_done_callback(_cleaned)
    return task


def _cleaned(task: "asyncio.Task[Any]") -> None:
    _cleanups.discard(task)
    if not task.cancelled():
        task.exception()  # retrieved: its caller may be gone


__all__ = ["SessionBase", "Session", "AsyncSession"]
