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

    __slots__ = ("_session", "_info", "_where", "_order", "_limit", "_offset")

    def __init__(self, info: ModelInfo, session: Any = None) -> None:
        self._session = session
        self._info = info
        self._where: Tuple[Condition[M], ...] = ()
        self._order: Tuple[Ordering[M], ...] = ()
        self._limit: Optional[int] = None
        self._offset: Optional[int] = None

    def _copy(self) -> Self:
        q = type(self).__new__(type(self))
        q._session = self._session
        q._info = self._info
        q._where = self._where
        q._order = self._order
        q._limit = self._limit
        q._offset = self._offset
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

    def _steps(self, mode: str) -> Any:
        return self._session._uow.select(self._info, self._where, self._order, self._limit, self._offset, mode)

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
