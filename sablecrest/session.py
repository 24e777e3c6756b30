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
  be trusted after that (the wire protocol may be out of step);
- a savepoint begins and ends with a flush (what was changed belongs to the transaction
  it was changed in); a failure inside one, a failed flush included, rolls back to it
  and the objects with it (`UnitOfWork.rolled_back_to`), and the transaction goes on;
- a session's isolation level is set at the start of each of its transactions.

`Session._run` and `AsyncSession._run` are the two driver loops: each runs the
operations its steps yield, opens the transaction before the first operation that needs
one, traces every statement, and throws the driver's errors back into the steps, wrapped
in sablecrest's classes (`errors.py`; the engine module names the class).
"""

from __future__ import annotations

import asyncio
from typing import (TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Set, Tuple, Type, TypeVar,
                    Union, overload)

from .errors import add_note, reason, wrap
from .expr import Expression, Selectable
from .logs import DEBUG, POOL, SQL, logged
from .model import Field, Model, info_of
from .ops import BEGIN, COMMIT, LOCK, ROLLBACK, Execute, Op, Release, RollbackTo, Statement, Steps
from .params import bind, named
from .query import AsyncQuery, Query
from .relations import Relation
from .result import Result
from .unit import ALL, UnitOfWork, end_token, new_token

if TYPE_CHECKING:
    from typing_extensions import Never
    from typing_extensions import TypeVar as _TypeVar

    from .expr import AnyExpression, AnySelectable
    from .model import AnyField

    # The row (or object) type of a query a statement may be; the T, V and M of each
    # column of a select (see expr.Expression), with defaults for a subquery's column,
    # which has no T or M (a function's type variables with defaults come after those
    # without, in the order they appear).
    _R = _TypeVar("_R")
    _V1 = _TypeVar("_V1", default=Any)
    _V2 = _TypeVar("_V2", default=Any)
    _V3 = _TypeVar("_V3", default=Any)
    _V4 = _TypeVar("_V4", default=Any)
    _V5 = _TypeVar("_V5", default=Any)
    _V6 = _TypeVar("_V6", default=Any)
    _V7 = _TypeVar("_V7", default=Any)
    _V8 = _TypeVar("_V8", default=Any)
    _M1 = _TypeVar("_M1", default=Never)
    _M2 = _TypeVar("_M2", default=Never)
    _M3 = _TypeVar("_M3", default=Never)
    _M4 = _TypeVar("_M4", default=Never)
    _M5 = _TypeVar("_M5", default=Never)
    _M6 = _TypeVar("_M6", default=Never)
    _M7 = _TypeVar("_M7", default=Never)
    _M8 = _TypeVar("_M8", default=Never)
    _T1 = _TypeVar("_T1")
    _T2 = _TypeVar("_T2")
    _T3 = _TypeVar("_T3")
    _T4 = _TypeVar("_T4")
    _C1 = _TypeVar("_C1", default=Never)
    _C2 = _TypeVar("_C2", default=Never)
    _C3 = _TypeVar("_C3", default=Never)
    _C4 = _TypeVar("_C4", default=Never)
    _C5 = _TypeVar("_C5", default=Never)
    _C6 = _TypeVar("_C6", default=Never)
    _C7 = _TypeVar("_C7", default=Never)
    _C8 = _TypeVar("_C8", default=Never)
    _C = _TypeVar("_C")
    _V = _TypeVar("_V")
    _M = _TypeVar("_M")
    # A column of a select: an expression whose values (C) read as V, of the models M, or
    # a query of one column, whose value it is. C is solved apart (not Any), so that a
    # function's result type is its argument's, not the one the select would give it.
    _Col = Union[Expression[_C, _V, _M, Any], Selectable[Tuple[_V]]]
    _Item = Union[AnyExpression, AnySelectable]

M = TypeVar("M", bound=Model)
K = TypeVar("K")  # a reference field's key type
R = TypeVar("R", bound=Model)  # the model a reference field refers to


class Pin:
    """A hold on a session whose transaction belongs to someone else (a revision run,
    while its data step has the session): ending the transaction is refused with
    `reason`, and a rollback that happens all the same (a flush that failed) is
    recorded, since it undid what ran before."""

    __slots__ = ("reason", "rolled_back")

    def __init__(self, reason: str) -> None:
        self.reason = reason
        self.rolled_back = False


class SessionBase:
    """What the sync and async sessions share: membership, the identity map, every
    method whose logic is the same, and the transaction policy."""

    _query: Type[Query[Any, Any]] = Query
    # Set while a revision's data step holds the session: the transaction is the
    # revision's, and ending it there would commit half a revision.
    _pinned: Optional[Pin] = None

    _is_async = False

    def __init__(self, db: Any, isolation: Optional[str] = None) -> None:
        d = db.dialect
        # Checked before a connection is taken.
        self._isolation = _isolation_sql(d, isolation) if isolation is not None else None
        self.db = db
        self._uow = UnitOfWork(d, new_token(self))
        self._conn: Any = None
        self._in_txn = False
        self._closed = False
        self._broken = False  # the connection cannot be trusted: discard it at the end
        # A transaction that begins at its first write leaves the reads before it to
        # statements of their own: not what a session that asked for an isolation level
        # (repeatable reads, serializable) means.
        self._lazy = 1 if d.engine.lazy_begin and self._isolation is None else 0
        self._savepoints: List["Savepoint"] = []  # open, innermost last
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

    @overload
    def select(self, model: Type[M], /) -> Query[M, M]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], /) -> Query[Tuple[_V1], _M1]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], /
                    ) -> Query[Tuple[_V1, _V2], Union[_M1, _M2]]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3], /
                    ) -> Query[Tuple[_V1, _V2, _V3], Union[_M1, _M2, _M3]]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                     c4: _Col[_C4, _V4, _M4], /) -> Query[Tuple[_V1, _V2, _V3, _V4], Union[_M1, _M2, _M3, _M4]]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                     c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], /
                    ) -> Query[Tuple[_V1, _V2, _V3, _V4, _V5], Union[_M1, _M2, _M3, _M4, _M5]]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                     c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], c6: _Col[_C6, _V6, _M6], /
                    ) -> Query[Tuple[_V1, _V2, _V3, _V4, _V5, _V6], Union[_M1, _M2, _M3, _M4, _M5, _M6]]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                     c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], c6: _Col[_C6, _V6, _M6],
                     c7: _Col[_C7, _V7, _M7], /
                    ) -> Query[Tuple[_V1, _V2, _V3, _V4, _V5, _V6, _V7], Union[_M1, _M2, _M3, _M4, _M5, _M6, _M7]]: ...
    @overload
    def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                     c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], c6: _Col[_C6, _V6, _M6],
                     c7: _Col[_C7, _V7, _M7], c8: _Col[_C8, _V8, _M8], /
                    ) -> Query[Tuple[_V1, _V2, _V3, _V4, _V5, _V6, _V7, _V8], Union[_M1, _M2, _M3, _M4, _M5, _M6, _M7, _M8]]: ...
    @overload  # nine and more: tuples of Any
    def select(self, c1: _Item, c2: _Item, c3: _Item, c4: _Item, c5: _Item, c6: _Item, c7: _Item, c8: _Item, c9: _Item, /,
               *more: _Item) -> Query[Tuple[Any, ...], Any]: ...

    def select(self, first: Any, /, *more: Any) -> Any:
        """A query of `model`'s rows (``select(Author)``), or of the values of fields and
        expressions, as tuples (``select(Post.author_id, func.count())``: the first
        field's model is the one queried)."""
        if self._closed:
            self._usable()
        if not more:
            info = first.__dict__.get("__sc_info__") if isinstance(first, type) else None
            if info is not None:  # a model: the common case, without info_of's call
                return self._query(info, self)
            if isinstance(first, type) or not isinstance(first, (Expression, Selectable)):
                return self._query(info_of(first), self)
        return self._query._of_columns(self, (first,) + more)  # pyright: ignore[reportUnknownArgumentType]

    def _usable(self) -> None:
        if self._closed:
            raise RuntimeError("the session is closed")

    def _unpinned(self, what: str) -> None:
        if self._pinned is not None:
            raise RuntimeError("%s() is not allowed here: %s" % (what, self._pinned.reason))

    # ---- methods that run statements: the same steps for both sessions

    def flush(self) -> Any:
        """Writes pending inserts, changed fields and deletes, in one go. A check that
        fails (a wrong NOT NULL, say) raises before any statement runs; a statement that
        fails rolls the whole transaction back and its error propagates."""
        self._usable()
        return self._run(self._guarded(self._uow.flush()))

    def commit(self) -> Any:
        self._usable()
        self._unpinned("commit")
        return self._run(self._commit_steps())

    def rollback(self) -> Any:
        """Rolls the transaction back; the identity map is emptied and the objects it
        held are detached."""
        self._usable()
        self._unpinned("rollback")
        return self._run(self._rollback_steps())

    def close(self) -> Any:
        """Rolls back what is not committed and returns the connection to the pool."""
        self._unpinned("close")
        return self._run(self._close_steps(None))

    def upsert(self, *objs: Model) -> Any:
        """Inserts each object's row, or updates every column of it when a row with that
        primary key exists (ON CONFLICT / ON DUPLICATE KEY), at once."""
        self._usable()
        return self._run(self._guarded(self._uow.upsert(objs)))

    def get(self, model: Type[M], key: object) -> Any:
        """The object with this primary key, from the identity map or the database."""
        if self._closed:
            self._usable()
        # A read: the flush it may run first is guarded by the unit of work (reads_flush).
        return self._run(self._uow.get(model, key))

    def load(self, objs: Sequence[M], *relations: Relation[Any, Any, Any]) -> Any:
        """Loads `relations` on `objs` (objects of this session, of one model) and returns
        them as a list: one SELECT per relation, for all of them. A relation may be one
        of the model an earlier relation loads (``s.load(authors, Author.posts,
        Post.tags)``)."""
        self._usable()
        return self._run(self._uow.load(objs, relations))

    def load_related(self, objs: Iterable[Model], field: AnyField) -> Any:
        """{key: object} for the objects that `field` (a foreign key, like
        ``Post.author_id``) of `objs` refers to: one SELECT for those not yet loaded."""
        self._usable()
        return self._run(self._uow.load_related(objs, field))

    def execute(self, statement: Any, params: Optional[Mapping[str, Any]] = None) -> Any:
        """Runs a statement of your own in this session's transaction, after a flush, and
        returns a `Result` (`.rows`, `.rowcount`, `.scalars()`). Its values are named
        ``:name`` in the text and given in `params`, a mapping, on every driver; each is
        converted as a field of its type would be. A query (``s.select(...)``) runs as its
        ``all()`` does and returns what that returns."""
        if isinstance(statement, Query):
            if params is not None:
                raise TypeError("execute(query) takes no params: the query holds its values")
            self._usable()
            q: Query[Any] = statement._copy()  # pyright: ignore[reportUnknownVariableType]
            q._session = self
            return self._run(q._steps(ALL))
        if not isinstance(statement, str):
            raise TypeError("execute() takes the statement as a str, or a query, got %s" % type(statement).__name__)
        self._usable()
        d = self.db.dialect
        text = named(statement, d.style, d.engine)
        values = bind(text, params, d.engine)
        return self._run(self._execute_steps(text.sql, values))

    def savepoint(self) -> "Savepoint":
        """``with s.savepoint():`` (``async with`` in an async session): a nested
        transaction. An exception inside rolls the database back to where the block
        began, and the objects with it, and propagates; the transaction goes on. It
        flushes when it begins and when it ends."""
        if self._closed:
            raise ValueError("savepoint() needs an open session: this one is closed")
        return Savepoint(self)

    # ---- the transaction policy, as steps

    def _execute_steps(self, sql: str, params: Optional[List[Any]]) -> Steps:
        yield from self._guarded(self._uow.flush())
        rows, count = yield Statement(sql, params)  # may write: it runs in the transaction
        return Result(rows, count, self.db.dialect.engine.loaders)

    def _savepoint_steps(self, sp: "Savepoint") -> Steps:
        if self._closed:
            raise ValueError("the savepoint's session is closed")
        if sp.mark is not None:
            raise ValueError("this savepoint was used already: call s.savepoint() for each block")
        # What was changed before the block belongs to the transaction outside it.
        yield from self._guarded(self._uow.flush())
        sp.name = "sc_savepoint_%d" % (len(self._savepoints) + 1)
        yield Execute(self.db.dialect.savepoint_sql(sp.name), None)
        sp.mark = self._uow.mark()
        self._savepoints.append(sp)
        self._uow.depth = len(self._savepoints)

    def _end_savepoint_steps(self, sp: "Savepoint", failure: Optional[BaseException]) -> Steps:
        if sp not in self._savepoints:
            return  # the transaction ended inside the block (a commit or a rollback): nothing to end
        if failure is None:
            try:
                yield from self._guarded(self._uow.flush())  # what the block changed, inside it
            except BaseException as exc:
                failure = exc
                if sp in self._savepoints:
                    yield from self._to_savepoint(sp, failure)
                raise
            yield Release(self.db.dialect.release_sql(sp.name), None)
            self._pop_savepoint(sp)
        else:
            yield from self._to_savepoint(sp, failure)

    def _to_savepoint(self, sp: "Savepoint", failure: BaseException, end: bool = True) -> Steps:
        """Rolls back to `sp` (and ends it), in memory and on the connection; a failure
        of that (a lost connection) rolls the whole transaction back."""
        self._uow.rolled_back_to(sp.mark)
        d = self.db.dialect
        try:
            yield RollbackTo(d.rollback_to_sql(sp.name), None)
            if end:
                self._pop_savepoint(sp)
                yield Release(d.release_sql(sp.name), None)
            else:
                del self._savepoints[self._savepoints.index(sp) + 1:]
                self._uow.depth = len(self._savepoints)
        except BaseException as err:
            add_note(failure, "rolling back to the savepoint failed too (%s: %s): the whole transaction was rolled "
                              "back" % (type(err).__name__, err))
            yield from self._abort(failure)

    def _pop_savepoint(self, sp: "Savepoint") -> None:
        if sp in self._savepoints:
            del self._savepoints[self._savepoints.index(sp):]  # and any still open inside it
        self._uow.depth = len(self._savepoints)

    def _no_savepoints(self) -> None:
        self._savepoints.clear()
        self._uow.depth = 0

    def _guarded(self, steps: Steps) -> Steps:
        """`steps`, with a flush that fails half-way rolled back: to the innermost
        savepoint when one is open (and the connection can be trusted), else the whole
        transaction."""
        try:
            return (yield from steps)
        except BaseException as failure:
            if self._uow.writing:
                if self._savepoints and isinstance(failure, Exception) and not self._broken:
                    # The savepoint stays open: its block has not ended.
                    yield from self._to_savepoint(self._savepoints[-1], failure, end=False)
                else:
                    yield from self._abort(failure)
            raise

    def _abort(self, failure: Optional[BaseException]) -> Steps:
        """Rolls the transaction back, in memory and on the connection."""
        in_txn, self._in_txn = self._in_txn, False
        self._no_savepoints()
        self._uow.rolled_back()
        if self._pinned is not None:
            self._pinned.rolled_back = True
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
        self._no_savepoints()
        self._uow.committed()

    def _rollback_steps(self) -> Steps:
        in_txn, self._in_txn = self._in_txn, False
        self._no_savepoints()
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

    def _quiet_end(self) -> bool:
        """The end of a ``with`` block that has nothing to commit, flush or roll back (a
        request that only read): the session is closed and its connection given back
        without steps, as `_exit_steps` would; False, having done nothing, otherwise."""
        uow = self._uow
        if self._in_txn or self._closed or self._savepoints or not uow.clean():
            return False
        conn = self._conn
        if conn is not None and (self._broken or conn.in_transaction()):
            return False  # a statement of the user's own opened a transaction: the steps end it
        self._closed = True
        try:
            uow.closed()
        finally:
            end_token(uow.token)
            self._conn = None
            if conn is not None:
                self._give_back(conn)
        return True

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

    def _failed(self, conn: Any, exc: BaseException) -> None:
        """A driver call (or what the loop did around it) raised `exc`."""
        if conn is not None and not isinstance(exc, Exception) and not conn.survives_interrupt:
            self._broken = True  # interrupted mid-call: the protocol may be out of step

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

    def __init__(self, db: Any, isolation: Optional[str] = None) -> None:
        super().__init__(db, isolation)
        self._conn = db._pool.acquire()

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if exc is None and self._quiet_end():
            return
        self._run(self._exit_steps(exc))

    if TYPE_CHECKING:

        def flush(self) -> None: ...
        def commit(self) -> None: ...
        def rollback(self) -> None: ...
        def close(self) -> None: ...
        def upsert(self, *objs: Model) -> None: ...
        def get(self, model: Type[M], key: object) -> Optional[M]: ...
        def load_related(self, objs: Iterable[M], field: Field[K, Any, R, M]) -> Dict[K, R]: ...
        # The objects by position, the relations after them (the base also takes objs=).
        @overload  # type: ignore[override]
        def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M], /) -> List[M]: ...
        @overload
        def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M],
                 r2: Relation[_T2, Any, Union[M, _T1]], /) -> List[M]: ...
        @overload
        def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M], r2: Relation[_T2, Any, Union[M, _T1]],
                 r3: Relation[_T3, Any, Union[M, _T1, _T2]], /) -> List[M]: ...
        @overload
        def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M], r2: Relation[_T2, Any, Union[M, _T1]],
                 r3: Relation[_T3, Any, Union[M, _T1, _T2]],
                 r4: Relation[_T4, Any, Union[M, _T1, _T2, _T3]], /,
                 *more: Relation[Any, Any, Any]) -> List[M]: ...
        def load(self, objs: Sequence[M], /, *relations: Relation[Any, Any, Any]) -> List[M]: ...  # pyright: ignore[reportIncompatibleMethodOverride]
        @overload
        def execute(self, statement: Query[_R, Any]) -> List[_R]: ...
        @overload
        def execute(self, statement: str, params: Optional[Mapping[str, Any]] = None) -> Result: ...
        def execute(self, statement: Any, params: Optional[Mapping[str, Any]] = None) -> Any: ...

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
                        conn.begin(op.begins == LOCK, self._isolation)
                        self._in_txn = True
                    if trace is not None and op.traced:
                        trace(op.sql, op.params)
                    result = op.run(conn)
                    if op.opens:
                        self._in_txn = True
                except Exception as exc:
                    op = steps.throw(self._wrapped(exc, op, conn))
                except BaseException as exc:
                    self._failed(conn, exc)
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
    _is_async = True

    def __init__(self, db: Any, isolation: Optional[str] = None) -> None:
        super().__init__(db, isolation)
        self._cleanup_task: "Optional[asyncio.Task[Any]]" = None

    async def __aenter__(self) -> "AsyncSession":
        await self._checkout()
        return self

    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if exc is None and self._cleanup_task is None and self._quiet_end():
            return
        await self._run(self._exit_steps(exc))

    if TYPE_CHECKING:

        @overload
        def select(self, model: Type[M], /) -> AsyncQuery[M, M]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], /) -> AsyncQuery[Tuple[_V1], _M1]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], /
                        ) -> AsyncQuery[Tuple[_V1, _V2], Union[_M1, _M2]]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3], /
                        ) -> AsyncQuery[Tuple[_V1, _V2, _V3], Union[_M1, _M2, _M3]]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                         c4: _Col[_C4, _V4, _M4], /
                        ) -> AsyncQuery[Tuple[_V1, _V2, _V3, _V4], Union[_M1, _M2, _M3, _M4]]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                         c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], /
                        ) -> AsyncQuery[Tuple[_V1, _V2, _V3, _V4, _V5], Union[_M1, _M2, _M3, _M4, _M5]]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                         c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], c6: _Col[_C6, _V6, _M6], /
                        ) -> AsyncQuery[Tuple[_V1, _V2, _V3, _V4, _V5, _V6], Union[_M1, _M2, _M3, _M4, _M5, _M6]]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                         c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], c6: _Col[_C6, _V6, _M6],
                         c7: _Col[_C7, _V7, _M7], /
                        ) -> AsyncQuery[Tuple[_V1, _V2, _V3, _V4, _V5, _V6, _V7], Union[_M1, _M2, _M3, _M4, _M5, _M6, _M7]]: ...
        @overload
        def select(self, c1: _Col[_C1, _V1, _M1], c2: _Col[_C2, _V2, _M2], c3: _Col[_C3, _V3, _M3],
                         c4: _Col[_C4, _V4, _M4], c5: _Col[_C5, _V5, _M5], c6: _Col[_C6, _V6, _M6],
                         c7: _Col[_C7, _V7, _M7], c8: _Col[_C8, _V8, _M8], /
                        ) -> AsyncQuery[Tuple[_V1, _V2, _V3, _V4, _V5, _V6, _V7, _V8], Union[_M1, _M2, _M3, _M4, _M5, _M6, _M7, _M8]]: ...
        @overload  # nine and more: tuples of Any
        def select(self, c1: _Item, c2: _Item, c3: _Item, c4: _Item, c5: _Item, c6: _Item, c7: _Item, c8: _Item, c9: _Item, /,
                   *more: _Item) -> AsyncQuery[Tuple[Any, ...], Any]: ...
        def select(self, first: Any, /, *more: Any) -> Any: ...
        async def flush(self) -> None: ...
        async def commit(self) -> None: ...
        async def rollback(self) -> None: ...
        async def close(self) -> None: ...
        async def upsert(self, *objs: Model) -> None: ...
        async def get(self, model: Type[M], key: object) -> Optional[M]: ...
        async def load_related(self, objs: Iterable[M], field: Field[K, Any, R, M]) -> Dict[K, R]: ...
        @overload  # type: ignore[override]
        async def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M], /) -> List[M]: ...
        @overload
        async def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M],
                 r2: Relation[_T2, Any, Union[M, _T1]], /) -> List[M]: ...
        @overload
        async def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M], r2: Relation[_T2, Any, Union[M, _T1]],
                 r3: Relation[_T3, Any, Union[M, _T1, _T2]], /) -> List[M]: ...
        @overload
        async def load(self, objs: Sequence[M], r1: Relation[_T1, Any, M], r2: Relation[_T2, Any, Union[M, _T1]],
                 r3: Relation[_T3, Any, Union[M, _T1, _T2]],
                 r4: Relation[_T4, Any, Union[M, _T1, _T2, _T3]], /,
                 *more: Relation[Any, Any, Any]) -> List[M]: ...
        async def load(  # pyright: ignore[reportIncompatibleMethodOverride]
                self, objs: Sequence[M], /, *relations: Relation[Any, Any, Any]) -> List[M]: ...
        @overload
        async def execute(self, statement: Query[_R, Any]) -> List[_R]: ...
        @overload
        async def execute(self, statement: str, params: Optional[Mapping[str, Any]] = None) -> Result: ...
        async def execute(self, statement: Any, params: Optional[Mapping[str, Any]] = None) -> Any: ...

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
                        await conn.begin(op.begins == LOCK, self._isolation)
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
                    self._failed(conn, exc)
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


class Savepoint:
    """A nested transaction of a session (`SessionBase.savepoint`): ``with`` in a sync
    session, ``async with`` in an async one."""

    __slots__ = ("session", "name", "mark")

    def __init__(self, session: SessionBase) -> None:
        self.session = session
        self.name = ""
        self.mark: Any = None  # where it began in what the transaction wrote, once open

    def __repr__(self) -> str:
        return "<Savepoint %s>" % (self.name or "not begun")

    def __enter__(self) -> "Savepoint":
        if self.session._is_async:
            raise TypeError("an async session's savepoint is used with `async with s.savepoint():`")
        self.session._run(self.session._savepoint_steps(self))
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self.session._run(self.session._end_savepoint_steps(self, exc))

    async def __aenter__(self) -> "Savepoint":
        if not self.session._is_async:
            raise TypeError("a sync session's savepoint is used with `with s.savepoint():`")
        await self.session._run(self.session._savepoint_steps(self))
        return self

    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        await self.session._run(self.session._end_savepoint_steps(self, exc))


def _isolation_sql(dialect: Any, level: Optional[str]) -> Optional[str]:
    """The statement that starts each transaction of a session at `level` (None: the
    engine's default, or its only level); ValueError before anything runs for a level
    that is unknown or that the engine does not have."""
    if level is None:
        return None
    if not isinstance(level, str):
        raise TypeError("isolation takes a str, like \"serializable\", got %r" % (level,))
    known = ("serializable", "repeatable read", "read committed")
    if level not in known:
        raise ValueError("unknown isolation level %r: it is one of %s" % (level, ", ".join(repr(k) for k in known)))
    engine = dialect.engine
    if level not in engine.isolation_levels:
        raise ValueError("%s has no isolation level %r: it offers %s" % (
            engine.title, level, ", ".join(repr(k) for k in known if k in engine.isolation_levels)))
    return dialect.isolation_sql(level)  # type: ignore[no-any-return]


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


__all__ = ["SessionBase", "Session", "AsyncSession", "Savepoint", "Pin"]
