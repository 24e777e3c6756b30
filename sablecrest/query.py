"""Queries: a SELECT under construction, the same for sync and async sessions.

Each method returns a new query; `all`, `first` and `count` run it through the session,
whose `_run` gives the result (sync) or an awaitable of it (async).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, Iterator, List, Optional, Tuple, TypeVar, Union

from .expr import Column, Condition, Ordering
from .model import Model, ModelInfo
from .unit import ALL, COUNT, FIRST

if TYPE_CHECKING:
    from typing_extensions import Self

M = TypeVar("M", bound=Model)


class Query(Generic[M]):
    """A SELECT of one model under construction."""

    __slots__ = ("_session", "_info", "_where", "_order", "_limit", "_offset", "_lock")

    def __init__(self, info: ModelInfo, session: Any = None) -> None:
        self._session = session
        self._info = info
        self._where: Tuple[Condition[M], ...] = ()
        self._order: Tuple[Ordering[M], ...] = ()
        self._limit: Optional[int] = None
        self._offset: Optional[int] = None
        self._lock = ""  # a locking read: "update", "nowait" or "skip_locked"

    def _copy(self) -> Self:
        q = type(self).__new__(type(self))
        q._session = self._session
        q._info = self._info
        q._where = self._where
        q._order = self._order
        q._limit = self._limit
        q._offset = self._offset
        q._lock = self._lock
        return q

    def where(self, *conditions: Condition[M]) -> Self:
        """The rows that meet every condition (AND). For a type checker a condition of
        another model's fields (``Condition[Author]`` in a query of Post) is an error, as
        it is at run time when the query runs."""
        for c in conditions:
            if not isinstance(c, Condition):
                raise TypeError("where() takes conditions like Model.field == value, got %r" % (c,))
        q = self._copy()
        q._where = self._where + conditions
        return q

    def order_by(self, *items: Union[Column[Any, Any, Any, M], Ordering[M]]) -> Self:
        order: List[Ordering[M]] = []
        for item in items:
            if isinstance(item, Column):
                item = item.asc()
            if not isinstance(item, Ordering):
                raise TypeError("order_by() takes fields or field.desc(), got %r" % (item,))
            order.append(item)
        q = self._copy()
        q._order = self._order + tuple(order)
        return q

    def limit(self, n: Optional[int]) -> Self:
        q = self._copy()
        q._limit = _count_arg("limit", n)
        return q

    def offset(self, n: Optional[int]) -> Self:
        q = self._copy()
        q._offset = _count_arg("offset", n)
        return q

    def for_update(self, nowait: bool = False, skip_locked: bool = False) -> Self:
        """A locking read: the rows it returns stay locked against other writers (and
        other locking reads) until the transaction ends, and the objects it returns hold
        the rows as they are now, also those already loaded. SELECT ... FOR UPDATE
        where the engine locks rows; where it locks the whole database (SQLite), the
        transaction takes the write lock when it begins, so the same code gives the
        same guarantee. `nowait`: fail at once (the driver's error) instead of waiting
        for a row another transaction holds; `skip_locked`: leave such rows out."""
        for name, flag in (("nowait", nowait), ("skip_locked", skip_locked)):
            if not isinstance(flag, bool):
                raise TypeError("for_update() takes %s=True or False, got %r" % (name, flag))
        if nowait and skip_locked:
            raise ValueError("for_update() takes nowait or skip_locked, not both")
        if (nowait or skip_locked) and self._session is not None:
            dialect = self._session.db.dialect
            engine = dialect.engine
            option = "nowait" if nowait else "skip_locked"
            if not engine.locks_rows:
                raise ValueError("for_update(%s=True) needs row locks, which %s does not have: it locks the whole "
                                 "database, so a locking read waits for the write lock" % (option, engine.title))
            if not dialect.lock_options[0 if nowait else 1]:
                raise ValueError("for_update(%s=True) is not supported by this %s server (version %s)"
                                 % (option, engine.title, ".".join(map(str, dialect.version))))
        q = self._copy()
        q._lock = "nowait" if nowait else "skip_locked" if skip_locked else "update"
        return q

    def _steps(self, mode: str) -> Any:
        if self._lock and mode == COUNT:
            raise ValueError("count() cannot lock rows: for_update() is for reading rows to change them; count "
                             "the rows of the query without it")
        return self._session._uow.select(self._info, self._where, self._order, self._limit, self._offset, mode,
                                         self._lock)

    def all(self) -> List[M]:
        """The objects of every row (one object per row in the session)."""
        return self._session._run(self._steps(ALL))  # type: ignore[no-any-return]

    def first(self) -> Optional[M]:
        """The object of the first row, or None."""
        return self._session._run(self._steps(FIRST))  # type: ignore[no-any-return]

    def count(self) -> int:
        """The number of rows (within the limit and offset, when given)."""
        return self._session._run(self._steps(COUNT))  # type: ignore[no-any-return]

    def __iter__(self) -> Iterator[M]:
        return iter(self.all())


class AsyncQuery(Query[M]):
    """A query of an async session: ``await q.all()``, ``.first()`` or ``.count()``."""

    __slots__ = ()

    if TYPE_CHECKING:

        async def all(self) -> List[M]: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

        async def first(self) -> Optional[M]: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

        async def count(self) -> int: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

    if TYPE_CHECKING:
        # Not iterable, for a type checker too (`for p in s.select(Post)` in async code).
        __iter__: None  # type: ignore[assignment]  # pyright: ignore[reportIncompatibleMethodOverride]
    else:

        def __iter__(self):
            raise TypeError("an async query is not iterable: use `await query.all()`")


def _count_arg(name: str, n: Optional[int]) -> Optional[int]:
    if n is None:
        return None
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError("%s() takes an int, got %s" % (name, type(n).__name__))
    if n < 0 or n > 2**63 - 1:
        raise ValueError("%s() takes 0 to 2**63-1, got %d" % (name, n))
    return n


__all__ = ["Query", "AsyncQuery"]
