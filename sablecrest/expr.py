"""Expressions, conditions and orderings, written against a small column protocol.

An expression is a value the database computes: a column, a literal bound as a
parameter, arithmetic (``Post.likes + 1``), a function (``func.sum(Post.likes)``) or a
query used as a value. A condition is a WHERE (or HAVING) test. Both have three views:
their *shape* (a hashable key: which columns, operators and functions, never the
values), their *text* for a dialect (rendered once per shape and cached), and their
*parameters* (collected on every execution, in placeholder order). Values never enter
the text. Each also names the columns it reads (`columns`), so that a statement can
refuse one that names a model it does not query, and says whether it holds an
aggregate (`aggregate`, which only HAVING and select lists may) or a subquery
(`nested`, which needs a statement that qualifies its columns).

An expression knows the kind of its values where it can (`kind`): a column's own, an
aggregate's from its argument (the sum of a Decimal column is a Decimal), so that
results come back as that Python type on every engine.

A column is anything that is a `Column`: a model's field is one. This module knows
nothing of models or queries; the column protocol and `Selectable` (a query that can sit
inside another statement) are what it asks of them.
"""

from __future__ import annotations

import datetime as _dt
import decimal
from typing import TYPE_CHECKING, Any, Hashable, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from .kinds import KIND_OF, Kind

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

    class Compiler(Protocol):
        """What rendering needs of a statement being written (see statements.Compiler)."""

        def col(self, column: "Column") -> str: ...
        def ph(self) -> str: ...
        def null_safe(self, a: str, b: str, negated: bool) -> str: ...
        def in_list(self, column: "Expression", negated: bool, n: int) -> str: ...
        def function(self, name: str, args: List[str]) -> str: ...
        def subquery(self, query: "Selectable", mode: str) -> str: ...

        @property
        def like_escape(self) -> str: ...

    class Dialect(Protocol):
        """What parameter collection needs of a dialect (see statements.Dialect)."""

        def dump(self, column: "Column", value: Any) -> Any: ...
        def dump_value(self, kind: Optional[Kind], value: Any) -> Any: ...
        def in_shape(self, n: int) -> Hashable: ...
        def in_params(self, column: "Expression", values: List[Any], out: List[Any]) -> None: ...

else:
    from typing import TypeVar

    T = V = R = M = M_co = TypeVar("T")

    class _Generic:
        __slots__ = ()

        def __class_getitem__(cls, params: Any) -> Any:
            return cls


# How a query sits inside another statement: as one value, as the rows of an IN list,
# or tested by EXISTS.
SCALAR, IN, EXISTS = "scalar", "in", "exists"

_NUMERIC = (Kind.INT, Kind.FLOAT, Kind.DECIMAL)


class Selectable:
    """A query that can sit inside another statement (`query.Query` is one). It gives
    the shape and the parameters of its statement in a mode (SCALAR, IN or EXISTS); the
    text is written by the statement around it, through `Compiler.subquery`."""

    __slots__ = ()

    def _sub_key(self, d: "Dialect", mode: str) -> Hashable:
        raise NotImplementedError

    def _sub_params(self, d: "Dialect", mode: str, out: List[Any]) -> None:
        raise NotImplementedError

    def _sub_kind(self, mode: str) -> Optional[Kind]:
        """The kind of its one column (TypeError when it has not exactly one)."""
        raise NotImplementedError


class Expression:
    """A value the database computes. Compare it (``==``, ``<``, ``.in_()``,
    ``.between()``, ...) to make a condition; combine it with ``+ - * /`` and numbers or
    other expressions; order by it with ``.asc()`` / ``.desc()``."""

    __slots__ = ()

    kind: Optional[Kind] = None  # the kind of its values, where known
    # Its shape when that is the same in every dialect and was made with it (a value,
    # arithmetic and functions of columns and values): `key` without walking the tree.
    shape: Optional[Hashable] = None

    # ---- the three views, and what a statement checks

    def key(self, d: "Dialect") -> Hashable:
        raise NotImplementedError

    def render(self, c: "Compiler") -> str:
        raise NotImplementedError

    def params(self, d: "Dialect", out: List[Any]) -> None:
        raise NotImplementedError

    def columns(self) -> Iterator["Column"]:
        raise NotImplementedError

    def aggregate(self) -> bool:
        """Whether it holds an aggregate function (COUNT, SUM, ...)."""
        return False

    def nested(self) -> bool:
        """Whether it holds a query."""
        return False

    def coerce(self, value: Any) -> Any:
        """The value a comparison with this expression binds: checked against its kind."""
        return check_value(self.kind, value, self)

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

    def in_(self, values: "Union[Iterable[Any], Selectable]") -> "Condition":
        """IN a list of values, or IN the rows of a query of one column."""
        if isinstance(values, Selectable):
            return InQuery(self, values, False)
        return InList(self, values, False)

    def not_in(self, values: "Union[Iterable[Any], Selectable]") -> "Condition":
        if isinstance(values, Selectable):
            return InQuery(self, values, True)
        return InList(self, values, True)

    def between(self, low: Any, high: Any) -> "Between":
        """``low <= self <= high`` (BETWEEN: both ends included)."""
        return Between(self, low, high)

    def like(self, pattern: str) -> "Like":
        return Like(self, pattern)

    def is_(self, value: Any) -> Any:
        """IS NULL for None; for a value, the engine's NULL-safe equality."""
        return IsNull(self, False) if value is None else Compare(self, "is", value)

    def is_not(self, value: Any) -> Any:
        """IS NOT NULL for None; for a value, the engine's NULL-safe inequality."""
        return IsNull(self, True) if value is None else Compare(self, "is not", value)

    # ---- arithmetic

    def __add__(self, other: Any) -> "Arith":
        return Arith(self, "+", other)

    def __radd__(self, other: Any) -> "Arith":
        return Arith(other, "+", self)

    def __sub__(self, other: Any) -> "Arith":
        return Arith(self, "-", other)

    def __rsub__(self, other: Any) -> "Arith":
        return Arith(other, "-", self)

    def __mul__(self, other: Any) -> "Arith":
        return Arith(self, "*", other)

    def __rmul__(self, other: Any) -> "Arith":
        return Arith(other, "*", self)

    def __truediv__(self, other: Any) -> "Arith":
        return Arith(self, "/", other)

    def __rtruediv__(self, other: Any) -> "Arith":
        return Arith(other, "/", self)

    def __neg__(self) -> "Arith":
        return Arith(Value(0, Kind.INT), "-", self)

    # ---- orderings

    def asc(self) -> "Ordering":
        return Ordering(self, False)

    def desc(self) -> "Ordering":
        return Ordering(self, True)


class Column(Expression, _Generic[T, V, R, M]):
    """The column protocol: a model's field implements it. `model` is the model class it
    belongs to, `column` the column name, `name` the attribute name, `kind` the native
    kind; `coerce(value)` checks a value against the column's type (an object of the
    model a reference column refers to stands for its key) and returns what to bind.
    A column's shape is the column itself (compared by identity)."""

    __slots__ = ()

    model: Any
    column: str
    name: str
    kind: Kind
    position: int  # its index among its model's fields

    def coerce(self, value: Any) -> Any:
        raise NotImplementedError

    def key(self, d: "Dialect") -> Hashable:
        return self

    def render(self, c: "Compiler") -> str:
        return c.col(self)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        pass

    def columns(self) -> Iterator["Column"]:
        yield self

    # A column compared with a plain value, or ordered by, is most of every query: these
    # build the condition or ordering with its shape at once.

    def __eq__(self, other: object) -> Any:
        return IsNull(self, False) if other is None else _column_compare(self, "=", other)

    def __ne__(self, other: object) -> Any:
        return IsNull(self, True) if other is None else _column_compare(self, "<>", other)

    def __lt__(self, other: Any) -> "Compare":
        return _column_compare(self, "<", other)

    def __le__(self, other: Any) -> "Compare":
        return _column_compare(self, "<=", other)

    def __gt__(self, other: Any) -> "Compare":
        return _column_compare(self, ">", other)

    def __ge__(self, other: Any) -> "Compare":
        return _column_compare(self, ">=", other)

    def asc(self) -> "Ordering":
        o = Ordering.__new__(Ordering)
        o.field, o.descending, o.shape = self, False, (self, False)
        return o

    def desc(self) -> "Ordering":
        o = Ordering.__new__(Ordering)
        o.field, o.descending, o.shape = self, True, (self, True)
        return o


# ---------------------------------------------------------------- values and arithmetic


def _plain(value: Any, kind: Kind) -> Any:
    """A value of a subclass of int or str (an IntEnum, a str enum) as its exact base
    type: a driver may bind its str() or refuse it."""
    t = type(value)
    if t is int or t is str or t is float:
        return value
    if kind == Kind.INT or (kind in (Kind.FLOAT, Kind.DECIMAL) and isinstance(value, int)):
        return int.__index__(value)
    if kind == Kind.STR:
        return str.__str__(value)
    if kind == Kind.FLOAT:
        return float(value)
    return value


def _fits(kind: Kind, value: Any) -> bool:
    if kind == Kind.INT:
        return isinstance(value, int) and not isinstance(value, bool)
    if kind == Kind.FLOAT:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    if kind == Kind.DECIMAL:
        return isinstance(value, (int, decimal.Decimal)) and not isinstance(value, bool)
    if kind == Kind.DATETIME:
        return isinstance(value, _dt.datetime) and value.utcoffset() is None
    if kind == Kind.DATE:
        return isinstance(value, _dt.date) and not isinstance(value, _dt.datetime)
    if kind == Kind.STR:
        return isinstance(value, str)
    if kind == Kind.BYTES:
        return isinstance(value, bytes)
    return isinstance(value, bool)


def kind_of_value(value: Any) -> Optional[Kind]:
    """The kind of a plain value (None for a value of no field type)."""
    if isinstance(value, bool):
        return Kind.BOOL
    for t, k in KIND_OF.items():
        if isinstance(value, t) and (t is not _dt.date or not isinstance(value, _dt.datetime)):
            return k
    return None


def check_value(kind: Optional[Kind], value: Any, where: object) -> Any:
    """`value` checked against `kind` (any field type when the kind is unknown), as its
    exact base type; TypeError naming `where` otherwise."""
    if kind is None:
        k = kind_of_value(value)
        if k is None or (k == Kind.DATETIME and value.utcoffset() is not None):
            raise TypeError("%s: expected a value of a field type, got %s" % (_where_text(where), type(value).__name__))
        return _plain(value, k)
    if not _fits(kind, value):
        extra = " (a naive one)" if kind == Kind.DATETIME and isinstance(value, _dt.datetime) else ""
        raise TypeError("%s: expected %s%s, got %s"
                        % (_where_text(where), _KIND_NAMES[kind], extra, type(value).__name__))
    return _plain(value, kind)


_KIND_NAMES = {k: t.__name__ for t, k in KIND_OF.items()}


def _static(e: Expression) -> Optional[Hashable]:
    """An expression's shape when it is the same in every dialect (a column is its own),
    else None."""
    return e if isinstance(e, Column) else e.shape


class Value(Expression):
    """A value inside an expression, bound as a parameter."""

    __slots__ = ("value", "kind", "shape")

    def __init__(self, value: Any, kind: Kind) -> None:
        self.value = value
        self.kind = kind
        self.shape = ("v", kind)

    def __repr__(self) -> str:
        return repr(self.value)

    def key(self, d: "Dialect") -> Hashable:
        return ("v", self.kind)

    def render(self, c: "Compiler") -> str:
        return c.ph()

    def params(self, d: "Dialect", out: List[Any]) -> None:
        out.append(d.dump_value(self.kind, self.value))

    def columns(self) -> Iterator["Column"]:
        return iter(())


def operand(value: Any, kind: Optional[Kind], where: object) -> Expression:
    """An expression for an argument: expressions as they are, a query as its one value,
    and any other value bound as a parameter, checked against `kind` (its own kind when
    that is None)."""
    if isinstance(value, Expression):
        return value
    if isinstance(value, Selectable):
        return Subquery(value, SCALAR)
    if value is None:
        raise TypeError("%s: None has no place in an expression (compare with == None, or use func.coalesce)"
                        % (_where_text(where),))
    checked = check_value(kind, value, where)
    return Value(checked, kind if kind is not None else kind_of_value(checked))  # type: ignore[arg-type]


def _arith_kind(a: Optional[Kind], op: str, b: Optional[Kind], where: object) -> Optional[Kind]:
    for k in (a, b):
        if k is not None and k not in _NUMERIC:
            raise TypeError("%s: arithmetic takes numbers (int, float, Decimal), not %s" % (where, _KIND_NAMES[k]))
    if a is None or b is None:
        return None
    if {a, b} == {Kind.FLOAT, Kind.DECIMAL}:
        raise TypeError("%s mixes float and Decimal: make both Decimal (or both float)" % where)
    if op == "/" and a == b == Kind.INT:
        raise TypeError("%s divides an int by an int, which the engines do differently (SQLite and PostgreSQL "
                        "drop the fraction, MariaDB keeps it): make one side a float or a Decimal" % where)
    if Kind.DECIMAL in (a, b):
        return Kind.DECIMAL
    return Kind.FLOAT if Kind.FLOAT in (a, b) else Kind.INT


class Arith(Expression):
    """``left <op> right`` for + - * /: numbers only. Its kind: Decimal with a Decimal,
    float with a float (never both), int with ints; int / int is refused, since the
    engines divide it differently."""

    __slots__ = ("left", "op", "right", "kind", "shape")

    def __init__(self, left: Any, op: str, right: Any) -> None:
        self.op = op
        self.left = left if isinstance(left, Expression) else _number(left, left, op, right)
        self.right = right if isinstance(right, Expression) else _number(right, left, op, right)
        a, b = self.left.kind, self.right.kind
        # Most arithmetic is ints with ints (stock - q): its kind without the checks' cost.
        self.kind = Kind.INT if a is b is Kind.INT and op != "/" else _arith_kind(a, op, b, _Where(left, op, right))
        ls = self.left if isinstance(self.left, Column) else self.left.shape  # _static, inline: made per statement
        rs = self.right if isinstance(self.right, Column) else self.right.shape
        self.shape = ("op", op, ls, rs, self.kind) if ls is not None and rs is not None else None

    def __repr__(self) -> str:
        return "(%s %s %s)" % (_label(self.left), self.op, _label(self.right))

    def key(self, d: "Dialect") -> Hashable:
        if self.shape is not None:
            return self.shape
        return ("op", self.op, self.left.key(d), self.right.key(d), self.kind)

    def render(self, c: "Compiler") -> str:
        return "(%s %s %s)" % (self.left.render(c), self.op, self.right.render(c))

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.left.params(d, out)
        self.right.params(d, out)

    def columns(self) -> Iterator["Column"]:
        yield from self.left.columns()
        yield from self.right.columns()

    def aggregate(self) -> bool:
        return self.left.aggregate() or self.right.aggregate()

    def nested(self) -> bool:
        return self.left.nested() or self.right.nested()


def _label(x: Any) -> str:
    """An operand as a message shows it: a column as Model.field."""
    if isinstance(x, Column) and getattr(x, "model", None) is not None:
        return "%s.%s" % (x.model.__name__, x.name)
    return repr(x)


def _where_text(where: object) -> str:
    """What a message names as the place of a bad value: a text, or an expression."""
    return where if isinstance(where, str) else _label(where)


class _Where:
    """The text of an arithmetic expression for an error message, written only when one
    is raised."""

    __slots__ = ("left", "op", "right")

    def __init__(self, left: Any, op: str, right: Any) -> None:
        self.left, self.op, self.right = left, op, right

    def __repr__(self) -> str:
        return "%s %s %s" % (_label(self.left), self.op, _label(self.right))

    __str__ = __repr__


def _number(value: Any, left: Any, op: str, right: Any) -> Expression:
    """A number (or a query's one value) inside arithmetic."""
    if type(value) is int:
        return Value(value, Kind.INT)
    if isinstance(value, Selectable):
        return Subquery(value, SCALAR)
    where = _Where(left, op, right)
    return operand(value, _number_kind(value, where), where)


def _number_kind(value: Any, where: object) -> Kind:
    if isinstance(value, bool) or not isinstance(value, (int, float, decimal.Decimal)):
        raise TypeError("%s: arithmetic takes numbers (int, float, Decimal), got %s" % (where, type(value).__name__))
    return Kind.INT if isinstance(value, int) else Kind.FLOAT if isinstance(value, float) else Kind.DECIMAL


# ---------------------------------------------------------------- functions


class Func(Expression):
    """A function of the database: an aggregate (COUNT, SUM, AVG, MIN, MAX) or a scalar
    one (COALESCE, LOWER, UPPER, LENGTH, the current time). Each engine writes its own
    name for it where they differ."""

    __slots__ = ("name", "args", "kind", "is_aggregate", "shape")

    def __init__(self, name: str, args: Sequence[Expression], kind: Optional[Kind], is_aggregate: bool) -> None:
        if is_aggregate and any(a.aggregate() for a in args):
            raise ValueError("func.%s(%s): an aggregate cannot hold another aggregate"
                             % (name, ", ".join(_label(a) for a in args)))
        self.name = name
        self.args = tuple(args)
        self.kind = kind
        self.is_aggregate = is_aggregate
        shapes = []
        for a in self.args:
            shape = _static(a)
            if shape is None:
                self.shape = None
                break
            shapes.append(shape)
        else:
            self.shape = ("f", name, tuple(shapes), kind)

    def __repr__(self) -> str:
        return "func.%s(%s)" % (self.name, ", ".join(_label(a) for a in self.args))

    def key(self, d: "Dialect") -> Hashable:
        if self.shape is not None:
            return self.shape
        return ("f", self.name, tuple([a.key(d) for a in self.args]), self.kind)

    def render(self, c: "Compiler") -> str:
        return c.function(self.name, [a.render(c) for a in self.args])

    def params(self, d: "Dialect", out: List[Any]) -> None:
        for a in self.args:
            a.params(d, out)

    def columns(self) -> Iterator["Column"]:
        for a in self.args:
            yield from a.columns()

    def aggregate(self) -> bool:
        return self.is_aggregate or any(a.aggregate() for a in self.args)

    def nested(self) -> bool:
        return any(a.nested() for a in self.args)


def _arg(value: Any, name: str) -> Expression:
    if isinstance(value, Selectable):
        return Subquery(value, SCALAR)
    if not isinstance(value, Expression):
        raise TypeError("func.%s() takes a field or an expression, got %r" % (name, value))
    return value


class Functions:
    """`sablecrest.func`: the database's functions, as expressions. Results come back as
    the argument's Python type where that is known: ``func.sum`` of a Decimal column
    gives a Decimal, ``func.max`` of a datetime column a datetime, on every engine;
    ``func.count`` an int and ``func.avg`` of ints a float."""

    __slots__ = ()

    def count(self, expr: Optional[Expression] = None) -> Func:
        """COUNT(*), or COUNT(expr): the rows where it is not NULL."""
        return Func("count", () if expr is None else (_arg(expr, "count"),), Kind.INT, True)

    def sum(self, expr: Expression) -> Func:
        """SUM: None over no rows (``func.coalesce(func.sum(x), 0)`` for 0)."""
        e = _arg(expr, "sum")
        _numeric(e, "sum")
        return Func("sum", (e,), e.kind, True)

    def avg(self, expr: Expression) -> Func:
        """AVG: a float for int and float columns, a Decimal for Decimal ones."""
        e = _arg(expr, "avg")
        _numeric(e, "avg")
        return Func("avg", (e,), Kind.DECIMAL if e.kind == Kind.DECIMAL else Kind.FLOAT if e.kind else None, True)

    def min(self, expr: Expression) -> Func:
        e = _arg(expr, "min")
        return Func("min", (e,), e.kind, True)

    def max(self, expr: Expression) -> Func:
        e = _arg(expr, "max")
        return Func("max", (e,), e.kind, True)

    def coalesce(self, first: Expression, *others: Any) -> Func:
        """The first of its arguments that is not NULL; values (``func.coalesce(x, 0)``)
        are checked against the first argument's kind."""
        e = _arg(first, "coalesce")
        if not others:
            raise TypeError("func.coalesce() takes at least two arguments")
        where = "func.coalesce(%s, ...)" % (_label(e),)
        args = [e] + [operand(o, e.kind, where) for o in others]
        kinds = {a.kind for a in args if a.kind is not None}
        if len(kinds) > 1 and not kinds <= {Kind.INT, Kind.FLOAT} and not kinds <= {Kind.INT, Kind.DECIMAL}:
            raise TypeError("%s: its arguments have different types (%s)"
                            % (where, ", ".join(sorted(_KIND_NAMES[k] for k in kinds))))
        kind = e.kind if len(kinds) < 2 else Kind.FLOAT if Kind.FLOAT in kinds else Kind.DECIMAL
        return Func("coalesce", args, kind, False)

    def lower(self, expr: Expression) -> Func:
        """LOWER (SQLite folds ASCII letters only)."""
        return Func("lower", (_text(expr, "lower"),), Kind.STR, False)

    def upper(self, expr: Expression) -> Func:
        """UPPER (SQLite folds ASCII letters only)."""
        return Func("upper", (_text(expr, "upper"),), Kind.STR, False)

    def length(self, expr: Expression) -> Func:
        """The length of a text in characters."""
        return Func("length", (_text(expr, "length"),), Kind.INT, False)

    def now(self) -> Func:
        """The database's current time in UTC, as a naive datetime."""
        return Func("now", (), Kind.DATETIME, False)


def _numeric(e: Expression, name: str) -> None:
    if e.kind is not None and e.kind not in _NUMERIC:
        raise TypeError("func.%s(%s): takes numbers (int, float, Decimal), not %s"
                        % (name, _label(e), _KIND_NAMES[e.kind]))


def _text(expr: Any, name: str) -> Expression:
    e = _arg(expr, name)
    if e.kind is not None and e.kind != Kind.STR:
        raise TypeError("func.%s(%s): takes text, not %s" % (name, _label(e), _KIND_NAMES[e.kind]))
    return e


func = Functions()


# ---------------------------------------------------------------- queries inside statements


class Subquery(Expression):
    """A query inside another statement: as a value (SCALAR: its one column of its one
    row), or the rows of an IN. Its columns may name the models of the statement around
    it (a correlated subquery); checking them is that statement's job."""

    __slots__ = ("query", "mode", "kind")

    def __init__(self, query: Selectable, mode: str) -> None:
        self.query = query
        self.mode = mode
        self.kind = query._sub_kind(mode) if mode != EXISTS else None

    def __repr__(self) -> str:
        return "(subquery)"

    def key(self, d: "Dialect") -> Hashable:
        return ("sub", self.mode, self.query._sub_key(d, self.mode))

    def render(self, c: "Compiler") -> str:
        return "(%s)" % c.subquery(self.query, self.mode)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.query._sub_params(d, self.mode, out)

    def columns(self) -> Iterator["Column"]:
        return iter(())

    def nested(self) -> bool:
        return True


# ---------------------------------------------------------------- conditions


class Condition(_Generic[M_co]):
    """A WHERE condition; combine with ``&``, ``|`` and ``~``."""

    __slots__ = ()

    # Its shape when it is made with it (a column compared with a value or a column):
    # statements take it as it is, without asking for `key`.
    shape: Optional[Tuple[Any, ...]] = None

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

    def aggregate(self) -> bool:
        """Whether it tests an aggregate (a HAVING condition)."""
        return False

    def nested(self) -> bool:
        """Whether it holds a query."""
        return False


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


# The types of plain values (a condition compares a column with one of them).
_ATOMS = frozenset([int, str, float, bool, bytes, decimal.Decimal, _dt.datetime, _dt.date])


def _column_compare(column: Column, op: str, value: Any) -> "Compare":
    if type(value) in _ATOMS:
        c = Compare.__new__(Compare)
        c.field, c.op, c.value, c.shape = column, op, column.coerce(value), ("c", op, column)
        return c
    return Compare(column, op, value)


class Compare(Condition):
    """``left <op> value``, or ``left <op> other_expression``. The ops "is" and "is not"
    are the engine's NULL-safe comparisons. A column compared with a value or a column
    (the common case) has its shape made once, here."""

    __slots__ = ("field", "op", "value", "shape")

    def __init__(self, field: Expression, op: str, value: Any) -> None:
        self.field = field
        self.op = op
        if isinstance(value, (Expression, Selectable)):
            self.value = value if isinstance(value, Expression) else Subquery(value, SCALAR)
            both = isinstance(field, Column) and isinstance(value, Column)
            self.shape: Optional[Tuple[Any, ...]] = ("cc", op, field, value) if both else None
        else:
            self.value = field.coerce(value)
            self.shape = ("c", op, field) if isinstance(field, Column) else None

    def __bool__(self) -> bool:
        # Lets fields sit in lists and dict keys: `f1 == f2` is identity there.
        if isinstance(self.value, Column) and self.op in ("=", "<>"):
            return (self.field is self.value) == (self.op == "=")
        return Condition.__bool__(self)

    def key(self, d: "Dialect") -> Hashable:
        shape = self.shape
        if shape is not None:
            return shape
        value = self.value
        return ("ce", self.op, self.field.key(d), value.key(d) if isinstance(value, Expression) else None)

    def render(self, c: "Compiler") -> str:
        col = self.field.render(c)
        rhs = self.value.render(c) if isinstance(self.value, Expression) else c.ph()
        if self.op == "is" or self.op == "is not":
            return c.null_safe(col, rhs, self.op == "is not")
        return "%s %s %s" % (col, self.op, rhs)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        shape = self.shape
        if shape is not None:
            if shape[0] == "c":
                out.append(d.dump(self.field, self.value))  # type: ignore[arg-type]
            return
        self.field.params(d, out)
        value = self.value
        if isinstance(value, Expression):
            value.params(d, out)
        elif isinstance(self.field, Column):
            out.append(d.dump(self.field, value))
        else:
            out.append(d.dump_value(self.field.kind, value))

    def columns(self) -> Iterator[Column]:
        yield from self.field.columns()
        if isinstance(self.value, Expression):
            yield from self.value.columns()

    def aggregate(self) -> bool:
        return self.shape is None and (self.field.aggregate() or
                                       isinstance(self.value, Expression) and self.value.aggregate())

    def nested(self) -> bool:
        return self.shape is None and (self.field.nested() or
                                       isinstance(self.value, Expression) and self.value.nested())


class IsNull(Condition):
    __slots__ = ("field", "negated")

    def __init__(self, field: Expression, negated: bool) -> None:
        self.field = field
        self.negated = negated

    def key(self, d: "Dialect") -> Hashable:
        return ("null", self.field.key(d), self.negated)

    def render(self, c: "Compiler") -> str:
        return self.field.render(c) + (" IS NOT NULL" if self.negated else " IS NULL")

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.field.params(d, out)

    def columns(self) -> Iterator[Column]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return self.field.nested()


class InList(Condition):
    """``column IN (...)`` / ``NOT IN``. How the list travels is the dialect's choice: one
    array parameter where the engine takes one, otherwise a placeholder list padded to a
    power of two (so a few texts serve every length), and past the engine's variable
    limit a JSON array where the engine can read one. An empty list matches nothing (and
    NOT IN an empty list, everything)."""

    __slots__ = ("field", "values", "negated")

    def __init__(self, field: Expression, values: Iterable[Any], negated: bool) -> None:
        if isinstance(values, (str, bytes)):
            raise TypeError("in_() takes an iterable of values, not a single %s" % type(values).__name__)
        coerce = field.coerce
        self.field = field
        self.values = [coerce(v) for v in values]
        self.negated = negated

    @classmethod
    def of_keys(cls, field: Expression, values: List[Any]) -> "InList":
        """``field IN values`` for values that are the field's already (keys read from
        objects or rows): not checked again, one by one."""
        c = cls.__new__(cls)
        c.field, c.values, c.negated = field, values, False
        return c

    def key(self, d: "Dialect") -> Hashable:
        return ("in", self.field.key(d), self.negated, d.in_shape(len(self.values)))

    def render(self, c: "Compiler") -> str:
        return c.in_list(self.field, self.negated, len(self.values))

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.field.params(d, out)
        d.in_params(self.field, self.values, out)

    def columns(self) -> Iterator[Column]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return self.field.nested()


class InQuery(Condition):
    """``expr IN (SELECT ...)`` / ``NOT IN``: the query selects one column. NOT IN a
    query that returns a NULL matches nothing (SQL's rule)."""

    __slots__ = ("field", "query", "negated")

    def __init__(self, field: Expression, query: Selectable, negated: bool) -> None:
        self.field = field
        self.query = Subquery(query, IN)
        self.negated = negated

    def key(self, d: "Dialect") -> Hashable:
        return ("inq", self.field.key(d), self.negated, self.query.key(d))

    def render(self, c: "Compiler") -> str:
        return "%s %s %s" % (self.field.render(c), "NOT IN" if self.negated else "IN", self.query.render(c))

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.field.params(d, out)
        self.query.params(d, out)

    def columns(self) -> Iterator[Column]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return True


class Exists(Condition):
    """``EXISTS (SELECT ...)``: whether the query has a row."""

    __slots__ = ("query",)

    def __init__(self, query: Selectable) -> None:
        if not isinstance(query, Selectable):
            raise TypeError("exists() takes a query, like s.select(Post).where(...), got %r" % (query,))
        self.query = query

    def key(self, d: "Dialect") -> Hashable:
        return ("exists", self.query._sub_key(d, EXISTS))

    def render(self, c: "Compiler") -> str:
        return "EXISTS (%s)" % c.subquery(self.query, EXISTS)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.query._sub_params(d, EXISTS, out)

    def columns(self) -> Iterator[Column]:
        return iter(())

    def nested(self) -> bool:
        return True


def exists(query: Selectable) -> Condition:
    """A condition that holds when `query` has a row: ``exists(s.select(Post).where(
    Post.author_id == Author.id))`` (the query may name the models around it)."""
    return Exists(query)


class Between(Condition):
    """``expr BETWEEN low AND high``: both ends included."""

    __slots__ = ("field", "low", "high")

    def __init__(self, field: Expression, low: Any, high: Any) -> None:
        where = "%s.between()" % (_label(field),)
        self.field = field
        self.low = _bound(field, low, where)
        self.high = _bound(field, high, where)

    def key(self, d: "Dialect") -> Hashable:
        return ("between", self.field.key(d), self.low.key(d), self.high.key(d))

    def render(self, c: "Compiler") -> str:
        return "%s BETWEEN %s AND %s" % (self.field.render(c), self.low.render(c), self.high.render(c))

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.field.params(d, out)
        self.low.params(d, out)
        self.high.params(d, out)

    def columns(self) -> Iterator[Column]:
        yield from self.field.columns()
        yield from self.low.columns()
        yield from self.high.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate() or self.low.aggregate() or self.high.aggregate()

    def nested(self) -> bool:
        return self.field.nested() or self.low.nested() or self.high.nested()


class _Bound(Expression):
    """A value compared with a column: bound as that column binds its values."""

    __slots__ = ("column", "value")

    def __init__(self, column: Column, value: Any) -> None:
        self.column = column
        self.value = column.coerce(value)

    def key(self, d: "Dialect") -> Hashable:
        return "b"

    def render(self, c: "Compiler") -> str:
        return c.ph()

    def params(self, d: "Dialect", out: List[Any]) -> None:
        out.append(d.dump(self.column, self.value))

    def columns(self) -> Iterator[Column]:
        return iter(())


def _bound(field: Expression, value: Any, where: str) -> Expression:
    if isinstance(value, (Expression, Selectable)) or value is None:
        return operand(value, field.kind, where)
    if isinstance(field, Column):
        return _Bound(field, value)
    return operand(value, field.kind, where)


class Like(Condition):
    """``column LIKE pattern``: % and _ are wildcards, and a backslash escapes them on
    every engine. Letter case follows the engine (SQLite ignores ASCII case, PostgreSQL
    does not, MariaDB follows the column's collation)."""

    __slots__ = ("field", "pattern")

    def __init__(self, field: Expression, pattern: str) -> None:
        if not isinstance(pattern, str):
            raise TypeError("like() takes a str pattern, got %s" % type(pattern).__name__)
        self.field = field
        self.pattern = pattern

    def key(self, d: "Dialect") -> Hashable:
        return ("like", self.field.key(d))

    def render(self, c: "Compiler") -> str:
        return "%s LIKE %s%s" % (self.field.render(c), c.ph(), c.like_escape)

    def params(self, d: "Dialect", out: List[Any]) -> None:
        self.field.params(d, out)
        out.append(self.pattern)

    def columns(self) -> Iterator[Column]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return self.field.nested()


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

    def aggregate(self) -> bool:
        return any(i.aggregate() for i in self.items)

    def nested(self) -> bool:
        return any(i.nested() for i in self.items)


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

    def aggregate(self) -> bool:
        return self.item.aggregate()

    def nested(self) -> bool:
        return self.item.nested()


class Ordering(_Generic[M_co]):
    """One ORDER BY item: ``Model.field.desc()`` or ``.asc()``, of a column or of any
    expression. A column's shape is made here; an expression's when it is compiled."""

    __slots__ = ("field", "descending", "shape")

    def __init__(self, field: Expression, descending: bool) -> None:
        self.field = field
        self.descending = descending
        self.shape = (field, descending) if isinstance(field, Column) else None

    def key(self, d: "Dialect") -> Hashable:
        return self.shape if self.shape is not None else (self.field.key(d), self.descending)


if TYPE_CHECKING:
    AnyColumn = Column[Any, Any, Any, Any]

__all__ = ["Expression", "Column", "Value", "Arith", "Func", "Functions", "func", "Subquery", "Selectable", "Condition",
           "Compare", "IsNull", "InList", "InQuery", "Exists", "exists", "Between", "Like", "Junction", "Not",
           "Ordering", "check_value", "kind_of_value", "operand", "SCALAR", "IN", "EXISTS"]
