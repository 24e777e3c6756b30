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

from typing import TYPE_CHECKING, Any, Hashable, Iterable, Iterator, List, Tuple

from .kinds import Kind

if TYPE_CHECKING:
    from typing import Protocol

    class Compiler(Protocol):
        """What rendering needs of a statement being written (see statements.Compiler)."""

        def col(self, column: "Column") -> str: ...
        def ph(self) -> str: ...
        def null_safe(self, a: str, b: str, negated: bool) -> str: ...
        def in_list(self, column: "Column", negated: bool, n: int) -> str: ...

        @property
        def like_escape(self) -> str: ...

    class Dialect(Protocol):
        """What parameter collection needs of a dialect (see statements.Dialect)."""

        def dump(self, column: "Column", value: Any) -> Any: ...
        def in_shape(self, n: int) -> Hashable: ...
        def in_params(self, column: "Column", values: List[Any], out: List[Any]) -> None: ...


class Column:
    """The column protocol: a model's field implements it. `model` is the model class it
    belongs to, `column` the column name, `name` the attribute name, `kind` the native
    kind; `coerce(value)` checks a value against the column's type (an object of the
    model a reference column refers to stands for its key) and returns what to bind."""

    __slots__ = ()

    model: Any
    column: str
    name: str
    kind: Kind
    position: int  # its index among its model's fields

    def coerce(self, value: Any) -> Any:
        raise NotImplementedError

    # ---- conditions

    def __eq__(self, other: object) -> Any:
        return IsNull(self, False) if other is None else Compare(self, "=", other)

    def __ne__(self, other: object) -> Any:
        return IsNull(self, True) if other is None else Compare(self, "<>", other)

    def __lt__(self, other: Any) -> "Compare":
        return Compare(self, "<", other)

    def __le__(self, other: Any) -> "Compare":
        return Compare(self, "<=", other)

    def __gt__(self, other: Any) -> "Compare":
        return Compare(self, ">", other)

    def __ge__(self, other: Any) -> "Compare":
        return Compare(self, ">=", other)

    def in_(self, values: Iterable[Any]) -> "InList":
        return InList(self, values, False)

    def not_in(self, values: Iterable[Any]) -> "InList":
        return InList(self, values, True)

    def like(self, pattern: str) -> "Like":
        return Like(self, pattern)

    def is_(self, value: Any) -> Any:
        """IS NULL for None; for a value, the engine's NULL-safe equality."""
        return IsNull(self, False) if value is None else Compare(self, "is", value)

    def is_not(self, value: Any) -> Any:
        """IS NOT NULL for None; for a value, the engine's NULL-safe inequality."""
        return IsNull(self, True) if value is None else Compare(self, "is not", value)

    # ---- orderings

    def asc(self) -> "Ordering":
        return Ordering(self, False)

    def desc(self) -> "Ordering":
        return Ordering(self, True)


class Condition:
    """A WHERE condition; combine with ``&``, ``|`` and ``~``."""

    __slots__ = ()

    def __and__(self, other: "Condition") -> "Condition":
        return Junction("AND", _flatten("AND", (self, _check(other))))

    def __or__(self, other: "Condition") -> "Condition":
        return Junction("OR", _flatten("OR", (self, _check(other))))

    def __invert__(self) -> "Condition":
        return Not(self)

    def __bool__(self) -> bool:
        raise TypeError("a query condition has no truth value: combine conditions with &, | and ~, not and/or/not")

    def key(self, d: "Dialect") -> Hashable:
        raise NotImplementedError

    def render(self, c: "Compiler") -> str:
        raise NotImplementedError

    def params(self, d: "Dialect", out: List[Any]) -> None:
        raise NotImplementedError

    def columns(self) -> Iterator[Column]:
        raise NotImplementedError


def _check(cond: Any) -> Condition:
    if not isinstance(cond, Condition):
        raise TypeError("expected a query condition (like Model.field == value), got %r" % (cond,))
    return cond


def _flatten(op: str, items: Iterable[Condition]) -> Tuple[Condition, ...]:
    out: List[Condition] = []
    for item in items:
        if isinstance(item, Junction) and item.op == op:
            out.extend(item.items)
        else:
            out.append(item)
    return tuple(out)


class Compare(Condition):
    """``column <op> value``, or ``column <op> other_column``. The ops "is" and "is not"
    are the engine's NULL-safe comparisons."""

    __slots__ = ("field", "op", "value", "shape")

    def __init__(self, field: Column, op: str, value: Any) -> None:
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
        if isinstance(self.value, Column) and self.op in ("=", "<>"):
            return (self.field is self.value) == (self.op == "=")
        return Condition.__bool__(self)

    def key(self, d: "Dialect") -> Hashable:
        return self.shape

    def render(self, c: "Compiler") -> str:
        col = c.col(self.field)
        rhs = c.col(self.value) if isinstance(self.value, Column) else c.ph()
        if self.op == "is" or self.op == "is not":
            return c.null_safe(col, rhs, self.op == "is not")
        return "%s %s %s" % (col, self.op, rhs)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        if self.shape[0] == "c":
            out.append(d.dump(self.field, self.value))

    def columns(self) -> Iterator[Column]:
        yield self.field
        if isinstance(self.value, Column):
            yield self.value


class IsNull(Condition):
    __slots__ = ("field", "negated")

    def __init__(self, field: Column, negated: bool) -> None:
        self.field = field
        self.negated = negated

    def key(self, d: "Dialect") -> Hashable:
        return ("null", self.field, self.negated)

    def render(self, c: "Compiler") -> str:
        return c.col(self.field) + (" IS NOT NULL" if self.negated else " IS NULL")

    def params(self, d: "Dialect", out: List[Any]) -> None:
        pass

    def columns(self) -> Iterator[Column]:
        yield self.field


class InList(Condition):
    """``column IN (...)`` / ``NOT IN``. How the list travels is the dialect's choice: one
    array parameter where the engine takes one, otherwise a placeholder list padded to a
    power of two (so a few texts serve every length), and past the engine's variable
    limit a JSON array where the engine can read one. An empty list matches nothing (and
    NOT IN an empty list, everything)."""

    __slots__ = ("field", "values", "negated")

    def __init__(self, field: Column, values: Iterable[Any], negated: bool) -> None:
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

    def columns(self) -> Iterator[Column]:
        yield self.field


class Like(Condition):
    """``column LIKE pattern``: % and _ are wildcards, and a backslash escapes them on
    every engine. Letter case follows the engine (SQLite ignores ASCII case, PostgreSQL
    does not, MariaDB follows the column's collation)."""

    __slots__ = ("field", "pattern")

    def __init__(self, field: Column, pattern: str) -> None:
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

    def columns(self) -> Iterator[Column]:
        yield self.field


class Junction(Condition):
    __slots__ = ("op", "items")

    def __init__(self, op: str, items: Tuple[Condition, ...]) -> None:
        self.op = op
        self.items = items

    def key(self, d: "Dialect") -> Hashable:
        return (self.op, tuple(i.key(d) for i in self.items))

    def render(self, c: "Compiler") -> str:
        return "(" + (" %s " % self.op).join(i.render(c) for i in self.items) + ")"

    def params(self, d: "Dialect", out: List[Any]) -> None:
        for i in self.items:
            i.params(d, out)

    def columns(self) -> Iterator[Column]:
        for i in self.items:
            yield from i.columns()


class Not(Condition):
    __slots__ = ("item",)

    def __init__(self, item: Condition) -> None:
        self.item = _check(item)

    def key(self, d: "Dialect") -> Hashable:
        return ("not", self.item.key(d))

    def render(self, c: "Compiler") -> str:
        return "NOT (%s)" % self.item.render(c)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.item.params(d, out)

    def columns(self) -> Iterator[Column]:
        return self.item.columns()


class Ordering:
    """One ORDER BY item: ``Model.field.desc()`` or ``.asc()``."""

    __slots__ = ("field", "descending", "shape")

    def __init__(self, field: Column, descending: bool) -> None:
        self.field = field
        self.descending = descending
        self.shape = (field, descending)


__all__ = ["Column", "Condition", "Compare", "IsNull", "InList", "Like", "Junction", "Not", "Ordering"]
