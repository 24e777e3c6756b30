"""Queries: a SELECT under construction, the same for sync and async sessions.

Each method returns a new query; `all`, `first`, `count` and `scalar` run it through the
session, whose `_run` gives the result (sync) or an awaitable of it (async), and
`update` and `delete` turn it into a set-based write of the rows it selects.

A query of one model's objects with plain conditions and orderings is compiled by the
single-table path (statements.Dialect.select_sql); joins, column selects, grouping,
DISTINCT, loads and conditions that hold a query go through sql.py.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Hashable, Iterator, List, Optional, Tuple, Type, TypeVar, Union, overload

from .expr import EXISTS, SCALAR, Compare, Condition, Expression, Ordering, Selectable, Subquery
from .kinds import Kind
from .model import ModelInfo
from .relations import Relation
from .sql import Select, select_key, select_params
from .unit import ALL, COUNT, FIRST, ONE

if TYPE_CHECKING:
    from typing import Generic as _Generic

    from typing_extensions import Self, Unpack
    from typing_extensions import TypeVar as _TypeVar

    from .expr import AnyCondition, AnyExpression, AnyOrdering, Dialect

    # A query's type parameters: R what a row gives (a model's object, or a tuple of
    # column values), M the models its conditions, orderings and groups may name (the
    # model queried, those of the columns selected, and those joined). M is
    # contravariant: a query that takes conditions on more models is one that takes
    # them on fewer (a joined query of Post passes for a Query[Post], and a variable
    # may take the query a join makes of it).
    R = _TypeVar("R")
    M = _TypeVar("M", contravariant=True, default=R)
    _T = _TypeVar("_T")
    _T1 = _TypeVar("_T1")
    _T2 = _TypeVar("_T2")
    _T3 = _TypeVar("_T3")
    _T4 = _TypeVar("_T4")
    _X = _TypeVar("_X")
else:
    from .expr import _Generic

    R = M = TypeVar("R")

Q = TypeVar("Q", bound="Query[Any, Any]")


class Parts:
    """What a query has beyond one model's rows with plain conditions: columns, joins,
    grouping, DISTINCT, relations to load. A query without any keeps none (None), so that
    the single-table path builds and copies no more than it ever did."""

    __slots__ = ("cols", "joins", "group", "having", "distinct", "loads")

    def __init__(self) -> None:
        self.cols: Optional[Tuple[AnyExpression, ...]] = None  # None: the model's objects
        self.joins: Tuple[Tuple[Relation[Any, Any, Any], bool], ...] = ()
        self.group: Tuple[AnyExpression, ...] = ()
        self.having: Tuple[AnyCondition, ...] = ()
        self.distinct = False
        self.loads: Tuple[Relation[Any, Any, Any], ...] = ()

    def copy(self) -> "Parts":
        p = Parts.__new__(Parts)
        p.cols, p.joins, p.group, p.having, p.distinct, p.loads = (
            self.cols, self.joins, self.group, self.having, self.distinct, self.loads)
        return p


class Query(Selectable[R], _Generic[R, M]):
    """A SELECT under construction: of one model's objects, or of columns and
    expressions (rows as tuples).

    For a type checker it is ``Query[R, M]``: its rows are `R` (``Query[Post]`` gives
    Posts, ``Query[Tuple[int, str]]`` tuples of those types), and its conditions,
    orderings and groups name the models `M` (the model queried and those joined)."""

    __slots__ = ("_session", "_info", "_where", "_order", "_limit", "_offset", "_parts", "_lock")

    def __init__(self, info: ModelInfo, session: Any = None) -> None:
        self._session = session
        self._info = info
        self._where: Tuple[AnyCondition, ...] = ()
        self._order: Tuple[AnyOrdering, ...] = ()
        self._limit: Optional[int] = None
        self._offset: Optional[int] = None
        self._parts: Optional[Parts] = None  # None: the single-table path compiles it
        self._lock = ""  # a locking read: "update", "nowait" or "skip_locked"

    @classmethod
    def _of_columns(cls: "Type[Q]", session: Any, items: Tuple[Any, ...]) -> Q:
        """A query of columns and expressions; its model (the FROM table) is the one of
        the first column named."""
        cols: List[AnyExpression] = []
        for item in items:
            if isinstance(item, Selectable):
                item = Subquery(item, SCALAR)  # pyright: ignore[reportUnknownArgumentType]
            if not isinstance(item, Expression):
                if isinstance(item, type):
                    raise TypeError("select() takes one model, or fields and expressions (like Post.title, "
                                    "func.count()); got the model %s among them" % item.__name__)
                raise TypeError("select() takes a model, or fields and expressions; got %r" % (item,))
            cols.append(item)  # pyright: ignore[reportUnknownArgumentType]
        first = next((c for e in cols for c in e.columns()), None)
        if first is None:
            raise TypeError("select(%s) names no field, so no table: count rows with s.select(Model).count(), or "
                            "name one (func.count(Post.id))" % ", ".join(repr(c) for c in cols))
        q = cls(first.model.__sc_info__, session)
        q._parts = Parts()
        q._parts.cols = tuple(cols)
        return q

    def _copy(self: Q) -> Q:
        q = type(self).__new__(type(self))
        q._session = self._session
        q._info = self._info
        q._where = self._where
        q._order = self._order
        q._limit = self._limit
        q._offset = self._offset
        q._parts = self._parts
        q._lock = self._lock
        return q

    def _extended(self: Q) -> "Tuple[Q, Parts]":
        """A copy whose parts it may change."""
        q = self._copy()
        q._parts = p = self._parts.copy() if self._parts is not None else Parts()
        return q, p

    @property
    def _cols(self) -> Optional[Tuple[AnyExpression, ...]]:
        return self._parts.cols if self._parts is not None else None

    def where(self, *conditions: Condition[M]) -> Self:
        """The rows that meet every condition (AND). For a type checker a condition on a
        model the query does not name (``Condition[Author]`` in a query of Post) is an
        error, as it is at run time when the query runs."""
        general = False
        for c in conditions:
            if type(c) is Compare and c.shape is not None:
                continue  # a column against a value or a column: the common case
            if not isinstance(c, Condition):
                raise TypeError("where() takes conditions like Model.field == value, got %r" % (c,))
            if c.aggregate():
                raise ValueError("an aggregate (COUNT, SUM, ...) cannot be tested in where(): test it in having(), "
                                 "with group_by()")
            general = general or c.nested()
        q, _ = self._extended() if general and self._parts is None else (self._copy(), None)
        q._where = self._where + conditions
        return q

    def order_by(self, *items: Union[Expression[Any, Any, M, Any], Ordering[M]]) -> Self:
        order: List[AnyOrdering] = []
        general = False
        for item in items:
            if isinstance(item, Expression):
                item = item.asc()
            elif not isinstance(item, Ordering):
                raise TypeError("order_by() takes fields or field.desc(), got %r" % (item,))
            if item.shape is None:
                general = True
            order.append(item)
        q, _ = self._extended() if general and self._parts is None else (self._copy(), None)
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

    # ---- across tables, grouping, loading

    def join(self, relation: Relation[_T, Any, M]) -> Query[R, Union[M, _T]]:
        """An inner JOIN through `relation` (of the query's model, or of a model joined
        before): conditions and orderings may then name the joined model."""
        return self._join(relation, False)

    def outer_join(self, relation: Relation[_T, Any, M]) -> Query[R, Union[M, _T]]:
        """A LEFT OUTER JOIN through `relation`: rows without a match are kept, their
        joined columns None."""
        return self._join(relation, True)

    def _join(self, relation: Relation[Any, Any, Any], outer: bool) -> Query[Any, Any]:
        if not isinstance(relation, Relation):
            raise TypeError("join() takes a relation, like Post.author; got %r" % (relation,))
        q, p = self._extended()
        p.joins = p.joins + ((relation, outer),)
        return q

    def group_by(self, *exprs: Expression[Any, Any, M, Any]) -> Self:
        for e in exprs:
            if not isinstance(e, Expression):
                raise TypeError("group_by() takes fields or expressions, got %r" % (e,))
            if e.aggregate():
                raise ValueError("group_by() takes fields or expressions without aggregates, got %r" % (e,))
        q, p = self._extended()
        p.group = p.group + exprs
        return q

    def having(self, *conditions: Condition[M]) -> Self:
        """Conditions on the groups of group_by() (aggregates allowed)."""
        for c in conditions:
            if not isinstance(c, Condition):
                raise TypeError("having() takes conditions like func.count() > 1, got %r" % (c,))
        q, p = self._extended()
        p.having = p.having + conditions
        return q

    def distinct(self) -> Self:
        """SELECT DISTINCT: each different row once."""
        q, p = self._extended()
        p.distinct = True
        return q

    # Each relation is one of the query's model, or of a model a relation before it
    # loads: a checker follows the chain for up to four.
    @overload
    def load(self, r1: Relation[_T1, Any, R], /) -> Self: ...
    @overload
    def load(self, r1: Relation[_T1, Any, R], r2: Relation[_T2, Any, Union[R, _T1]], /) -> Self: ...
    @overload
    def load(self, r1: Relation[_T1, Any, R], r2: Relation[_T2, Any, Union[R, _T1]],
             r3: Relation[_T3, Any, Union[R, _T1, _T2]], /) -> Self: ...
    @overload
    def load(self, r1: Relation[_T1, Any, R], r2: Relation[_T2, Any, Union[R, _T1]],
             r3: Relation[_T3, Any, Union[R, _T1, _T2]], r4: Relation[_T4, Any, Union[R, _T1, _T2, _T3]], /,
             *more: Relation[Any, Any, Any]) -> Self: ...
    def load(self, *relations: Relation[Any, Any, Any]) -> Self:
        """Loads `relations` on the objects the query returns, one statement per relation:
        a relation of the query's model, or of the model a relation before it loads
        (``.load(Author.posts, Post.tags)``: the posts, then their tags)."""
        if self._cols is not None:
            raise TypeError("load() loads relations of objects; this query selects columns")
        for rel in relations:
            if not isinstance(rel, Relation):
                raise TypeError("load() takes relations, like Author.posts; got %r" % (rel,))
        q, p = self._extended()
        p.loads = p.loads + relations
        return q

    # ---- running it

    def _select(self) -> Select:
        p = self._parts
        if p is None:
            return Select(self._info, None, (), self._where, (), (), self._order, False, self._limit, self._offset)
        return Select(self._info, p.cols, p.joins, self._where, p.group, p.having, self._order, p.distinct,
                      self._limit, self._offset)

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
        uow = self._session._uow
        if self._lock and mode == COUNT:
            raise ValueError("count() cannot lock rows: for_update() is for reading rows to change them; count "
                             "the rows of the query without it")
        if self._parts is None:
            return uow.select(self._info, self._where, self._order, self._limit, self._offset, mode, self._lock)
        if self._lock:
            raise ValueError("for_update() locks the rows of a query of one model's objects; this query joins, "
                             "groups or selects columns")
        return uow.query(self._select(), mode, self._parts.loads)

    def _go(self, steps: Any) -> Any:
        s = self._session
        return s._run(s._guarded(steps))

    # Reads run their steps as they are: the flush a read may run first is guarded by the
    # unit of work (UnitOfWork.reads_flush), and nothing else in them writes.

    def all(self) -> List[R]:
        """The objects of every row (one object per row in the session), or each row's
        values as a tuple for a query of columns."""
        return self._session._run(self._steps(ALL))  # type: ignore[no-any-return]

    def first(self) -> Optional[R]:
        """The first row's object (or tuple), or None."""
        return self._session._run(self._steps(FIRST))  # type: ignore[no-any-return]

    def count(self) -> int:
        """The number of rows (within the limit and offset, when given)."""
        return self._session._run(self._steps(COUNT))  # type: ignore[no-any-return]

    def scalar(self: Query[Tuple[_X, Unpack[Tuple[Any, ...]]], Any]) -> Optional[_X]:
        """The first column of the first row (None without a row), for a query of
        columns: ``s.select(func.max(Post.likes)).scalar()``."""
        if self._cols is None:
            raise TypeError("scalar() reads a query of columns, like s.select(func.max(Post.likes))")
        return self._session._run(self._session._uow.query(self._select(), ONE, ()))  # type: ignore[no-any-return]

    def update(self, **values: Any) -> int:
        """UPDATE of the rows the query selects: each keyword a field of the model, set to
        a value or an expression of the row's fields (``stock=Product.stock - 1``).
        Pending changes are flushed first; returns the number of rows matched. Loaded
        objects of those rows get the new values. A model's version column is bumped
        too (unless it is set here), so that a flush of an object loaded before fails
        with StaleDataError rather than overwrite the row."""
        self._writable("update")
        return self._go(self._session._uow.update_where(self._info, self._where, values))  # type: ignore[no-any-return]

    def delete(self) -> int:
        """DELETE of the rows the query selects. Pending changes are flushed first;
        returns the number of rows deleted. Loaded objects of those rows leave the
        session, as after a flushed delete."""
        self._writable("delete")
        return self._go(self._session._uow.delete_where(self._info, self._where))  # type: ignore[no-any-return]

    def _writable(self, what: str) -> None:
        p = self._parts
        if not self._order and self._limit is None and self._offset is None and (
                p is None or not (p.cols is not None or p.joins or p.group or p.having or p.distinct or p.loads)):
            return  # a query of one model with conditions (a subquery among them or not)
        p = p or Parts()
        extra = [name for name, used in (("columns", p.cols is not None), ("join()", bool(p.joins)),
                                         ("group_by()", bool(p.group)), ("having()", bool(p.having)),
                                         ("distinct()", p.distinct), ("order_by()", bool(self._order)),
                                         ("limit()", self._limit is not None), ("offset()", self._offset is not None),
                                         ("load()", bool(p.loads))) if used]
        raise ValueError("%s() writes the rows a query of one model selects with where(); this query has %s "
                         "(select by another table with a subquery: Model.field.in_(s.select(...)))"
                         % (what, ", ".join(extra)))

    def __iter__(self) -> Iterator[R]:
        return iter(self.all())

    # ---- as a query inside another statement

    def _sub_key(self, d: Dialect, mode: str) -> Hashable:
        return select_key(d, self._select(), mode)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]

    def _sub_params(self, d: Dialect, mode: str, out: List[Any]) -> None:
        select_params(d, self._select(), mode, out)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]

    def _sub_kind(self, mode: str) -> Optional[Kind]:
        if mode == EXISTS:
            return None
        cols = self._cols
        if cols is None or len(cols) != 1:
            what = "the objects of %s" % self._info.name if cols is None else "%d columns" % len(cols)
            raise TypeError("a query used as a value, or in in_(), selects one column (like s.select(Author.id)); "
                            "this one selects %s" % what)
        return cols[0].kind


class AsyncQuery(Query[R, M]):
    """A query of an async session: ``await q.all()``, ``.first()``, ``.count()``,
    ``.scalar()``, ``.update(...)`` or ``.delete()``."""

    __slots__ = ()

    if TYPE_CHECKING:

        def join(self, relation: Relation[_T, Any, M]) -> AsyncQuery[R, Union[M, _T]]: ...

        def outer_join(self, relation: Relation[_T, Any, M]) -> AsyncQuery[R, Union[M, _T]]: ...

        async def all(self) -> List[R]: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

        async def first(self) -> Optional[R]: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

        async def count(self) -> int: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

        async def scalar(  # type: ignore[override]
                self: AsyncQuery[Tuple[_X, Unpack[Tuple[Any, ...]]], Any]) -> Optional[_X]: ...

        async def update(self, **values: Any) -> int: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

        async def delete(self) -> int: ...  # type: ignore[override]  # pyright: ignore[reportIncompatibleMethodOverride]

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
