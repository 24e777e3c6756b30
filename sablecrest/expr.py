"""Query conditions and orderings, written against a small column protocol.

A condition has three views: its *shape* (a hashable key: which columns and operators,
never the values), its *text* for a dialect (rendered once per shape and cached), and its
*parameters* (collected on every execution, in placeholder order). Values never enter
the text. A condition also names the columns it reads (`columns`), so that a statement
can refuse one that names a model it does not query.

A column is anything that is a `Column`: a model's field is one. This module knows
nothing of models; the column protocol is what it asks of them.
"""

from __future__ import annotations

from decimal import Decimal
from typing import TYPE_CHECKING, Any, Hashable, Iterable, Iterator, List, Optional, Tuple, overload

from .kinds import Kind

# The type parameters a checker sees (see Column). At run time the classes below are not
# typing.Generic: subscripting one (`Condition[Post]` in an annotation) gives the class
# itself, and creating a condition costs what it did (Generic's own __new__ ran for every
# instance on 3.8).
if TYPE_CHECKING:
    from typing import Generic as _Generic
    from typing import Protocol

    from typing_extensions import Never, TypeVar

    T = TypeVar("T")  # what the column holds: int, str, Decimal, ...
    V = TypeVar("V", default=T)  # what reading it gives: T, or T | None where it may be NULL
    R = TypeVar("R", default=Never)  # a reference column's model, whose objects stand for their keys
    M = TypeVar("M", default=Any)  # the model the column belongs to
    M_co = TypeVar("M_co", covariant=True)
    _M = TypeVar("_M")
    _M2 = TypeVar("_M2")

    class Compiler(Protocol):
        """What rendering needs of a statement being written (see statements.Compiler)."""

        def col(self, column: AnyColumn) -> str: ...
        def ph(self) -> str: ...
        def null_safe(self, a: str, b: str, negated: bool) -> str: ...
        def in_list(self, column: AnyColumn, negated: bool, n: int) -> str: ...

        @property
        def like_escape(self) -> str: ...

    class Dialect(Protocol):
        """What parameter collection needs of a dialect (see statements.Dialect)."""

        def dump(self, column: AnyColumn, value: Any) -> Any: ...
        def in_shape(self, n: int) -> Hashable: ...
        def in_params(self, column: AnyColumn, values: List[Any], out: List[Any]) -> None: ...

else:
    from typing import TypeVar

    T = V = R = M = M_co = _M = _M2 = TypeVar("T")

    class _Generic:
        __slots__ = ()

        def __class_getitem__(cls, params: Any) -> Any:
            return cls


class Column(_Generic[T, V, R, M]):
    """The column protocol: a model's field implements it. `model` is the model class it
    belongs to, `column` the column name, `name` the attribute name, `kind` the native
    kind; `coerce(value)` checks a value against the column's type (an object of the
    model a reference column refers to stands for its key) and returns what to bind.

    For a type checker a column is ``Column[T, V, R, M]``: it holds `T` values (`V` is
    what reading one gives, T or T | None), refers to the model `R` (Never when it refers
    to none) and belongs to the model `M`. A condition takes a `T` (an int too where T is
    Decimal, as the run-time check does; an `R` object for a reference), or another
    column of the same `T`; it reads the models of its columns: `Condition[M]`.
    """

    __slots__ = ()

    model: Any
    column: str
    name: str
    kind: Kind
    position: int  # its index among its model's fields

    def coerce(self, value: Any) -> Any:
        raise NotImplementedError

    # Its __eq__ builds conditions; a column itself is a dict key by identity.
    __hash__ = object.__hash__

    # ---- conditions
    # Each operator has three signatures for the checker: against another column, a
    # Decimal column against an int, and against a value. `==` and `!=` take None too
    # (IS NULL); they narrow object.__eq__, which is what the ignore says.

    @overload  # type: ignore[override]
    def __eq__(self, other: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def __eq__(self: Column[Decimal, Any, Any, _M], other: Optional[int]) -> Condition[_M]: ...
    @overload
    def __eq__(self, other: T | R | None) -> Condition[M]: ...
    def __eq__(self, other: Any) -> Any:
        return IsNull(self, False) if other is None else Compare(self, "=", other)

    @overload  # type: ignore[override]
    def __ne__(self, other: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def __ne__(self: Column[Decimal, Any, Any, _M], other: Optional[int]) -> Condition[_M]: ...
    @overload
    def __ne__(self, other: T | R | None) -> Condition[M]: ...
    def __ne__(self, other: Any) -> Any:
        return IsNull(self, True) if other is None else Compare(self, "<>", other)

    @overload
    def __lt__(self, other: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def __lt__(self: Column[Decimal, Any, Any, _M], other: int) -> Condition[_M]: ...
    @overload
    def __lt__(self, other: T | R) -> Condition[M]: ...
    def __lt__(self, other: Any) -> Any:
        return Compare(self, "<", other)

    @overload
    def __le__(self, other: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def __le__(self: Column[Decimal, Any, Any, _M], other: int) -> Condition[_M]: ...
    @overload
    def __le__(self, other: T | R) -> Condition[M]: ...
    def __le__(self, other: Any) -> Any:
        return Compare(self, "<=", other)

    @overload
    def __gt__(self, other: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def __gt__(self: Column[Decimal, Any, Any, _M], other: int) -> Condition[_M]: ...
    @overload
    def __gt__(self, other: T | R) -> Condition[M]: ...
    def __gt__(self, other: Any) -> Any:
        return Compare(self, ">", other)

    @overload
    def __ge__(self, other: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def __ge__(self: Column[Decimal, Any, Any, _M], other: int) -> Condition[_M]: ...
    @overload
    def __ge__(self, other: T | R) -> Condition[M]: ...
    def __ge__(self, other: Any) -> Any:
        return Compare(self, ">=", other)

    @overload
    def in_(self: Column[Decimal, Any, Any, _M], values: Iterable[Decimal | int]) -> Condition[_M]: ...
    @overload
    def in_(self, values: Iterable[T | R]) -> Condition[M]: ...
    def in_(self, values: Iterable[Any]) -> Any:
        return InList(self, values, False)

    @overload
    def not_in(self: Column[Decimal, Any, Any, _M], values: Iterable[Decimal | int]) -> Condition[_M]: ...
    @overload
    def not_in(self, values: Iterable[T | R]) -> Condition[M]: ...
    def not_in(self, values: Iterable[Any]) -> Any:
        return InList(self, values, True)

    def like(self: Column[str, Any, Any, _M], pattern: str) -> Condition[_M]:
        return Like(self, pattern)

    @overload
    def is_(self, value: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def is_(self: Column[Decimal, Any, Any, _M], value: Optional[int]) -> Condition[_M]: ...
    @overload
    def is_(self, value: T | R | None) -> Condition[M]: ...
    def is_(self, value: Any) -> Any:
        """IS NULL for None; for a value, the engine's NULL-safe equality."""
        return IsNull(self, False) if value is None else Compare(self, "is", value)

    @overload
    def is_not(self, value: Column[T, Any, Any, _M2]) -> Condition[M | _M2]: ...
    @overload
    def is_not(self: Column[Decimal, Any, Any, _M], value: Optional[int]) -> Condition[_M]: ...
    @overload
    def is_not(self, value: T | R | None) -> Condition[M]: ...
    def is_not(self, value: Any) -> Any:
        """IS NOT NULL for None; for a value, the engine's NULL-safe inequality."""
        return IsNull(self, True) if value is None else Compare(self, "is not", value)

    # ---- orderings

    def asc(self) -> Ordering[M]:
        return Ordering(self, False)

    def desc(self) -> Ordering[M]:
        return Ordering(self, True)


if TYPE_CHECKING:
    AnyColumn = Column[Any, Any, Any, Any]


class Condition(_Generic[M_co]):
    """A WHERE condition; combine with ``&``, ``|`` and ``~``. For a type checker it is
    ``Condition[M]``, M being the models whose columns it reads (``Condition[Post]``;
    ``Condition[Post | Author]`` for one that compares columns of both)."""

    __slots__ = ()

    def __and__(self, other: Condition[_M2]) -> Condition[M_co | _M2]:
        return Junction("AND", _flatten("AND", (self, _check(other))))

    def __or__(self, other: Condition[_M2]) -> Condition[M_co | _M2]:
        return Junction("OR", _flatten("OR", (self, _check(other))))

    def __invert__(self) -> Condition[M_co]:
        return Not(self)

    def __bool__(self) -> bool:
        raise TypeError("a query condition has no truth value: combine conditions with &, | and ~, not and/or/not")

    def key(self, d: "Dialect") -> Hashable:
        raise NotImplementedError

    def render(self, c: "Compiler") -> str:
        raise NotImplementedError

    def params(self, d: "Dialect", out: List[Any]) -> None:
        raise NotImplementedError

    def columns(self) -> Iterator[AnyColumn]:
        raise NotImplementedError


def _check(cond: Condition[Any]) -> Condition[Any]:
    if not isinstance(cond, Condition):
        raise TypeError("expected a query condition (like Model.field == value), got %r" % (cond,))
    return cond


def _flatten(op: str, items: Iterable[Condition[Any]]) -> Tuple[Condition[Any], ...]:
    out: List[Condition[Any]] = []
    for item in items:
        if isinstance(item, Junction) and item.op == op:
            out.extend(item.items)
        else:
            out.append(item)
    return tuple(out)


class Compare(Condition[Any]):
    """``column <op> value``, or ``column <op> other_column``. The ops "is" and "is not"
    are the engine's NULL-safe comparisons."""

    __slots__ = ("field", "op", "value", "shape")
    value: Any  # a column, or the value to bind

    def __init__(self, field: AnyColumn, op: str, value: Any) -> None:
        self.field = field
        self.op = op
        if isinstance(value, Column):
            self.value = value
            self.shape: Tuple[Any, ...] = ("cc", op, field, value)
        else:
            self.value = field.coerce(value)
            self.shape = ("c", op, field)

    def __bool__(self) -> bool:
        # Lets fields sit in lists and dict keys: `f1 == f2` is identity there.
        if self.shape[0] == "cc" and self.op in ("=", "<>"):
            return (self.field is self.value) == (self.op == "=")
        return super().__bool__()

    def key(self, d: "Dialect") -> Hashable:
        return self.shape

    def render(self, c: "Compiler") -> str:
        col = c.col(self.field)
        rhs = c.col(self.value) if self.shape[0] == "cc" else c.ph()
        if self.op == "is" or self.op == "is not":
            return c.null_safe(col, rhs, self.op == "is not")
        return "%s %s %s" % (col, self.op, rhs)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        if self.shape[0] == "c":
            out.append(d.dump(self.field, self.value))

    def columns(self) -> Iterator[AnyColumn]:
        yield self.field
        if self.shape[0] == "cc":
            yield self.value


class IsNull(Condition[Any]):
    __slots__ = ("field", "negated")

    def __init__(self, field: AnyColumn, negated: bool) -> None:
        self.field = field
        self.negated = negated

    def key(self, d: "Dialect") -> Hashable:
        return ("null", self.field, self.negated)

    def render(self, c: "Compiler") -> str:
        return c.col(self.field) + (" IS NOT NULL" if self.negated else " IS NULL")

    def params(self, d: "Dialect", out: List[Any]) -> None:
        pass

    def columns(self) -> Iterator[AnyColumn]:
        yield self.field


class InList(Condition[Any]):
    """``column IN (...)`` / ``NOT IN``. How the list travels is the dialect's choice: one
    array parameter where the engine takes one, otherwise a placeholder list padded to a
    power of two (so a few texts serve every length), and past the engine's variable
    limit a JSON array where the engine can read one. An empty list matches nothing (and
    NOT IN an empty list, everything)."""

    __slots__ = ("field", "values", "negated")

    def __init__(self, field: AnyColumn, values: Iterable[Any], negated: bool) -> None:
        if isinstance(values, (str, bytes)):
            raise TypeError("in_() takes an iterable of values, not a single %s" % type(values).__name__)
        coerce = field.coerce
        self.field = field
        self.values = [coerce(v) for v in values]
        self.negated = negated

    def key(self, d: "Dialect") -> Hashable:
        return ("in", self.field, self.negated, d.in_shape(len(self.values)))

    def render(self, c: "Compiler") -> str:
        return c.in_list(self.field, self.negated, len(self.values))

    def params(self, d: "Dialect", out: List[Any]) -> None:
        d.in_params(self.field, self.values, out)

    def columns(self) -> Iterator[AnyColumn]:
        yield self.field


class Like(Condition[Any]):
    """``column LIKE pattern``: % and _ are wildcards, and a backslash escapes them on
    every engine. Letter case follows the engine (SQLite ignores ASCII case, PostgreSQL
    does not, MariaDB follows the column's collation)."""

    __slots__ = ("field", "pattern")

    def __init__(self, field: AnyColumn, pattern: str) -> None:
        if not isinstance(pattern, str):
            raise TypeError("like() takes a str pattern, got %s" % type(pattern).__name__)
        self.field = field
        self.pattern = pattern

    def key(self, d: "Dialect") -> Hashable:
        return ("like", self.field)

    def render(self, c: "Compiler") -> str:
        return "%s LIKE %s%s" % (c.col(self.field), c.ph(), c.like_escape)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        out.append(self.pattern)

    def columns(self) -> Iterator[AnyColumn]:
        yield self.field


class Junction(Condition[Any]):
    __slots__ = ("op", "items")

    def __init__(self, op: str, items: Tuple[Condition[Any], ...]) -> None:
        self.op = op
        self.items = items

    def key(self, d: "Dialect") -> Hashable:
        return (self.op, tuple(i.key(d) for i in self.items))

    def render(self, c: "Compiler") -> str:
        return "(" + (" %s " % self.op).join(i.render(c) for i in self.items) + ")"

    def params(self, d: "Dialect", out: List[Any]) -> None:
        for i in self.items:
            i.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        for i in self.items:
            yield from i.columns()


class Not(Condition[Any]):
    __slots__ = ("item",)

    def __init__(self, item: Condition[Any]) -> None:
        self.item = _check(item)

    def key(self, d: "Dialect") -> Hashable:
        return ("not", self.item.key(d))

    def render(self, c: "Compiler") -> str:
        return "NOT (%s)" % self.item.render(c)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.item.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        return self.item.columns()


class Ordering(_Generic[M_co]):
    """One ORDER BY item: ``Model.field.desc()`` or ``.asc()``; for a type checker,
    ``Ordering[M]`` of a column of the model M."""

    __slots__ = ("field", "descending", "shape")

    def __init__(self, field: AnyColumn, descending: bool) -> None:
        self.field = field
        self.descending = descending
        self.shape = (field, descending)


__all__ = ["Column", "Condition", "Compare", "IsNull", "InList", "Like", "Junction", "Not", "Ordering"]
