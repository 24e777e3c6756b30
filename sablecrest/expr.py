"""Query conditions and orderings.

A condition has three views: its *shape* (a hashable key: which columns and operators,
never the values), its *text* for a dialect (rendered once per shape and cached), and its
*parameters* (collected on every execution, in placeholder order). Values never enter
the text.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Hashable, Iterable, List, Tuple

if TYPE_CHECKING:
    from .dialect import Compiler, Dialect
    from .model import Field

# Set by sablecrest.model once its classes exist (it imports this module first).
_Field: Any = None
_Model: Any = None


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


def _value(field: "Field[Any]", value: Any) -> Any:
    """The value checked against the field's type; an object of the referenced model
    stands for its primary key."""
    if isinstance(value, _Model) and field.references is not None:
        value = getattr(value, type(value).__sc_info__.pk.name)
    return field._check(value)


class Compare(Condition):
    """``field <op> value``, or ``field <op> other_field``. The ops "is" and "is not"
    are the engine's NULL-safe comparisons."""

    __slots__ = ("field", "op", "value", "shape")

    def __init__(self, field: "Field[Any]", op: str, value: Any) -> None:
        self.field = field
        self.op = op
        if isinstance(value, _Field):
            self.value = value
            self.shape: Tuple[Any, ...] = ("cc", op, field, value)
        else:
            self.value = _value(field, value)
            self.shape = ("c", op, field)

    def __bool__(self) -> bool:
        # Lets fields sit in lists and dict keys: `f1 == f2` is identity there.
        if isinstance(self.value, _Field) and self.op in ("=", "<>"):
            return (self.field is self.value) == (self.op == "=")
        return Condition.__bool__(self)

    def key(self, d: "Dialect") -> Hashable:
        return self.shape

    def render(self, c: "Compiler") -> str:
        col = c.col(self.field)
        rhs = c.col(self.value) if isinstance(self.value, _Field) else c.ph()
        if self.op == "is":
            return c.dialect.engine.null_safe_eq(col, rhs)
        if self.op == "is not":
            return c.dialect.engine.null_safe_ne(col, rhs)
        return "%s %s %s" % (col, self.op, rhs)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        if self.shape[0] == "c":
            out.append(d.dump(self.field, self.value))


class IsNull(Condition):
    __slots__ = ("field", "negated")

    def __init__(self, field: "Field[Any]", negated: bool) -> None:
        self.field = field
        self.negated = negated

    def key(self, d: "Dialect") -> Hashable:
        return ("null", self.field, self.negated)

    def render(self, c: "Compiler") -> str:
        return c.col(self.field) + (" IS NOT NULL" if self.negated else " IS NULL")

    def params(self, d: "Dialect", out: List[Any]) -> None:
        pass


class InList(Condition):
    """``field IN (...)`` / ``NOT IN``. How the list travels is the dialect's choice: one
    array parameter on PostgreSQL, otherwise a placeholder list padded to a power of two
    (so a few texts serve every length), and on SQLite a JSON array past the engine's
    variable limit. An empty list matches nothing (and NOT IN an empty list, everything)."""

    __slots__ = ("field", "values", "negated")

    def __init__(self, field: "Field[Any]", values: Iterable[Any], negated: bool) -> None:
        if isinstance(values, (str, bytes)):
            raise TypeError("in_() takes an iterable of values, not a single %s" % type(values).__name__)
        self.field = field
        self.values = [_value(field, v) for v in values]
        self.negated = negated

    def key(self, d: "Dialect") -> Hashable:
        return ("in", self.field, self.negated, d.in_shape(len(self.values)))

    def render(self, c: "Compiler") -> str:
        return c.dialect.render_in(c, self.field, self.negated, len(self.values))

    def params(self, d: "Dialect", out: List[Any]) -> None:
        d.in_params(self.field, self.values, out)


class Like(Condition):
    """``field LIKE pattern``: % and _ are wildcards, and a backslash escapes them on
    every engine. Letter case follows the engine (SQLite ignores ASCII case, PostgreSQL
    does not, MariaDB follows the column's collation)."""

    __slots__ = ("field", "pattern")

    def __init__(self, field: "Field[Any]", pattern: str) -> None:
        if not isinstance(pattern, str):
            raise TypeError("like() takes a str pattern, got %s" % type(pattern).__name__)
        self.field = field
        self.pattern = pattern

    def key(self, d: "Dialect") -> Hashable:
        return ("like", self.field)

    def render(self, c: "Compiler") -> str:
        return "%s LIKE %s%s" % (c.col(self.field), c.ph(), c.dialect.engine.like_escape)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        out.append(self.pattern)


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


class Ordering:
    """One ORDER BY item: ``Model.field.desc()`` or ``.asc()``."""

    __slots__ = ("field", "descending", "shape")

    def __init__(self, field: "Field[Any]", descending: bool) -> None:
        self.field = field
        self.descending = descending
        self.shape = (field, descending)


__all__ = ["Condition", "Compare", "IsNull", "InList", "Like", "Junction", "Not", "Ordering"]
