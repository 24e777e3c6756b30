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

For a type checker an expression is ``Expression[T, V, M, R]``: its values are `T`s,
reading one gives a `V` (T, or T | None where it may be NULL), it reads columns of the
models `M`, and a comparison takes a T as its value, or for a reference column an object
of the model `R` it refers to (Never for any other expression). Arithmetic keeps the value type where the engines
agree on it (an int column plus 1 is an int, a Decimal times an int a Decimal), and
`func` types its results the same way (``func.count()`` an int, ``func.sum`` of a
column that column's type or None). A condition is ``Condition[M]``, an ordering
``Ordering[M]``, M being the models whose columns it reads.
"""

from __future__ import annotations

# The operators' overloads are tried in order, and rely on it: an int is a float to a
# checker, so an int column plus a float matches the overloads of float results only
# after those of int results were passed over. pyright reports such overlaps; they are
# meant. (Elsewhere, a value the package checks at run time is typed Any, and
# isinstance() narrows it to its class with unknown type arguments: the reportUnknown...
# ignores.)
# pyright: reportOverlappingOverload=false

import datetime as _dt
import decimal
import enum
import uuid
from typing import TYPE_CHECKING, Any, Hashable, Iterable, Iterator, List, Optional, Sequence, Tuple, Union, overload

from .kinds import KIND_OF, Kind

# The type parameters a checker sees (see Expression and Column). At run time the classes
# below are not typing.Generic: subscripting one (`Condition[Post]` in an annotation)
# gives the class itself, and creating a condition costs what it did (Generic's own
# __new__ ran for every instance on 3.8).
if TYPE_CHECKING:
    from decimal import Decimal
    from typing import Generic as _Generic
    from typing import Protocol

    from typing_extensions import Never, TypeVar

    T = TypeVar("T")  # what the values are: int, str, Decimal, ...
    V = TypeVar("V", default=T)  # what reading one gives: T, or T | None where it may be NULL
    # An expression's V, covariant: one that never reads None passes where one that may
    # is asked for (a column of a select, a query's value in a comparison). A field's V
    # is invariant: a field is assigned as well as read.
    V_co = TypeVar("V_co", covariant=True, default=T)
    R = TypeVar("R", default=Never)  # a reference column's model, whose objects stand for their keys
    M = TypeVar("M", default=Any)  # the model a column belongs to
    M_co = TypeVar("M_co", covariant=True, default=Any)  # the models an expression or condition reads
    Row_co = TypeVar("Row_co", covariant=True, default=Any)  # what a row of a query gives

    # Solved per call. _F is a number AVG gives a float for. The operators' overloads
    # name each number type (int, float, Decimal) where a type variable would do: mypy
    # binds a self type's type variable whatever its bound or constraints (a str column
    # would add like an int one).
    _M1 = TypeVar("_M1")
    _M2 = TypeVar("_M2")
    _V1 = TypeVar("_V1")
    _V2 = TypeVar("_V2")
    _X = TypeVar("_X")
    _F = TypeVar("_F", bound=Union[int, float])
    _A = TypeVar("_A")
    _B = TypeVar("_B")

    class Compiler(Protocol):
        """What rendering needs of a statement being written (see statements.Compiler)."""

        def col(self, column: AnyColumn) -> str: ...
        def ph(self) -> str: ...
        def null_safe(self, a: str, b: str, negated: bool) -> str: ...
        def in_list(self, column: AnyExpression, negated: bool, n: int) -> str: ...
        def function(self, name: str, args: List[str]) -> str: ...
        def fallback(self, kind: Optional[Kind]) -> str: ...
        def subquery(self, query: AnySelectable, mode: str) -> str: ...

        @property
        def like_escape(self) -> str: ...

    class Dialect(Protocol):
        """What parameter collection needs of a dialect (see statements.Dialect)."""

        def dump(self, column: AnyColumn, value: Any) -> Any: ...
        def dump_value(self, kind: Optional[Kind], value: Any) -> Any: ...
        def in_shape(self, n: int) -> Hashable: ...
        def in_params(self, column: AnyExpression, values: List[Any], out: List[Any]) -> None: ...

else:
    from typing import TypeVar

    T = V = V_co = R = M = M_co = Row_co = TypeVar("T")

    class _Generic:
        __slots__ = ()

        def __class_getitem__(cls, params: Any) -> Any:
            return cls


# How a query sits inside another statement: as one value, as the rows of an IN list,
# or tested by EXISTS.
SCALAR, IN, EXISTS = "scalar", "in", "exists"

_NUMERIC = (Kind.INT, Kind.FLOAT, Kind.DECIMAL)


class Selectable(_Generic[Row_co]):
    """A query that can sit inside another statement (`query.Query` is one). It gives
    the shape and the parameters of its statement in a mode (SCALAR, IN or EXISTS); the
    text is written by the statement around it, through `Compiler.subquery`. For a type
    checker it is ``Selectable[Row]``: a query of one column, ``Selectable[Tuple[int]]``,
    is a value or a list of values of that column's type."""

    __slots__ = ()

    def _sub_key(self, d: Dialect, mode: str) -> Hashable:
        raise NotImplementedError

    def _sub_params(self, d: Dialect, mode: str, out: List[Any]) -> None:
        raise NotImplementedError

    def _sub_kind(self, mode: str) -> Optional[Kind]:
        """The kind of its one column (TypeError when it has not exactly one)."""
        raise NotImplementedError


class Expression(_Generic[T, V_co, M_co, R]):
    """A value the database computes. Compare it (``==``, ``<``, ``.in_()``,
    ``.between()``, ...) to make a condition; combine it with ``+ - * /`` and numbers or
    other expressions; order by it with ``.asc()`` / ``.desc()``."""

    __slots__ = ()

    kind: Optional[Kind] = None  # the kind of its values, where known
    # Its shape when that is the same in every dialect and was made with it (a value,
    # arithmetic and functions of columns and values): `key` without walking the tree.
    shape: Optional[Hashable] = None

    # ---- the three views, and what a statement checks

    def key(self, d: Dialect) -> Hashable:
        raise NotImplementedError

    def render(self, c: Compiler) -> str:
        raise NotImplementedError

    def params(self, d: Dialect, out: List[Any]) -> None:
        raise NotImplementedError

    def columns(self) -> Iterator[AnyColumn]:
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

    # What a checker sees of the operators: written once here (a column's fast paths
    # below have the same types); < <= > >= are aliases of one another, and so are + - and
    # * (== and != are written out: pyright would read an alias of __eq__ as object's
    # __ne__). A comparison takes another expression of the same type (numbers compare
    # with numbers of any type), a value (an int for a Decimal too, as at run time; an
    # object of the model a reference column refers to) or a query of one such column;
    # None is IS NULL for == and != only. To a checker, an `==` with a value of another
    # type is Python's own equality, a bool, which where() refuses. A comparison reads
    # the models of its left side: the other side may be a column of a model around the
    # query (a correlated subquery's `Post.author_id == Author.id` in a query of Post)
    # or of one joined, which a checker cannot tell apart.
    if TYPE_CHECKING:

        @overload  # type: ignore[override]
        def __eq__(self, other: Expression[T, Any, Any, Any]) -> Condition[M_co]: ...
        @overload
        def __eq__(self: Expression[int, Any, _M1, Any], other: _Numbers[float, Decimal]) -> Condition[_M1]: ...
        @overload
        def __eq__(self: Expression[float, Any, _M1, Any], other: _Numbers[int, Decimal]) -> Condition[_M1]: ...
        @overload
        def __eq__(self: Expression[Decimal, Any, _M1, Any], other: _Numbers[int, float]) -> Condition[_M1]: ...
        @overload
        def __eq__(self: Expression[Decimal, Any, _M1, Any], other: Optional[int]) -> Condition[_M1]: ...
        @overload
        def __eq__(self, other: Optional[Union[T, R]]) -> Condition[M_co]: ...
        @overload
        def __eq__(self, other: Selectable[Tuple[Optional[T]]]) -> Condition[M_co]: ...
        @overload
        def __eq__(self: Expression[int, Any, _M1, Any], other: _NumbersQuery[float, Decimal]) -> Condition[_M1]: ...
        @overload
        def __eq__(self: Expression[float, Any, _M1, Any], other: _NumbersQuery[int, Decimal]) -> Condition[_M1]: ...
        @overload
        def __eq__(self: Expression[Decimal, Any, _M1, Any], other: _NumbersQuery[int, float]) -> Condition[_M1]: ...
        def __eq__(self, other: Any) -> Any: ...

        @overload  # type: ignore[override]
        def __ne__(self, other: Expression[T, Any, Any, Any]) -> Condition[M_co]: ...
        @overload
        def __ne__(self: Expression[int, Any, _M1, Any], other: _Numbers[float, Decimal]) -> Condition[_M1]: ...
        @overload
        def __ne__(self: Expression[float, Any, _M1, Any], other: _Numbers[int, Decimal]) -> Condition[_M1]: ...
        @overload
        def __ne__(self: Expression[Decimal, Any, _M1, Any], other: _Numbers[int, float]) -> Condition[_M1]: ...
        @overload
        def __ne__(self: Expression[Decimal, Any, _M1, Any], other: Optional[int]) -> Condition[_M1]: ...
        @overload
        def __ne__(self, other: Optional[Union[T, R]]) -> Condition[M_co]: ...
        @overload
        def __ne__(self, other: Selectable[Tuple[Optional[T]]]) -> Condition[M_co]: ...
        @overload
        def __ne__(self: Expression[int, Any, _M1, Any], other: _NumbersQuery[float, Decimal]) -> Condition[_M1]: ...
        @overload
        def __ne__(self: Expression[float, Any, _M1, Any], other: _NumbersQuery[int, Decimal]) -> Condition[_M1]: ...
        @overload
        def __ne__(self: Expression[Decimal, Any, _M1, Any], other: _NumbersQuery[int, float]) -> Condition[_M1]: ...
        def __ne__(self, other: Any) -> Any: ...

        is_ = __eq__  # IS NULL for None; for a value, the engine's NULL-safe equality
        is_not = __eq__

        @overload
        def __lt__(self, other: Expression[T, Any, Any, Any]) -> Condition[M_co]: ...
        @overload
        def __lt__(self: Expression[int, Any, _M1, Any], other: _Numbers[float, Decimal]) -> Condition[_M1]: ...
        @overload
        def __lt__(self: Expression[float, Any, _M1, Any], other: _Numbers[int, Decimal]) -> Condition[_M1]: ...
        @overload
        def __lt__(self: Expression[Decimal, Any, _M1, Any], other: _Numbers[int, float]) -> Condition[_M1]: ...
        @overload
        def __lt__(self: Expression[Decimal, Any, _M1, Any], other: int) -> Condition[_M1]: ...
        @overload
        def __lt__(self, other: Union[T, R]) -> Condition[M_co]: ...
        @overload
        def __lt__(self, other: Selectable[Tuple[Optional[T]]]) -> Condition[M_co]: ...
        @overload
        def __lt__(self: Expression[int, Any, _M1, Any], other: _NumbersQuery[float, Decimal]) -> Condition[_M1]: ...
        @overload
        def __lt__(self: Expression[float, Any, _M1, Any], other: _NumbersQuery[int, Decimal]) -> Condition[_M1]: ...
        @overload
        def __lt__(self: Expression[Decimal, Any, _M1, Any], other: _NumbersQuery[int, float]) -> Condition[_M1]: ...
        def __lt__(self, other: Any) -> Any: ...

        __le__ = __lt__
        __gt__ = __lt__
        __ge__ = __lt__

        @overload  # first: a query is also iterable (of its rows)
        def in_(self, values: Selectable[Tuple[Optional[T]]]) -> Condition[M_co]: ...
        @overload
        def in_(self: Expression[Decimal, Any, _M1, Any], values: Iterable[Union[Decimal, int]]) -> Condition[_M1]: ...
        @overload
        def in_(self, values: Iterable[Union[T, R]]) -> Condition[M_co]: ...
        def in_(self, values: Any) -> Any:
            """IN a list of values, or IN the rows of a query of one column."""

        not_in = in_

        @overload
        def between(self: Expression[Decimal, Any, _M1, Any], low: Union[Decimal, int, Expression[Decimal, Any, Any, Any]],
                    high: Union[Decimal, int, Expression[Decimal, Any, Any, Any]]) -> Condition[_M1]: ...
        @overload
        def between(self, low: Union[T, R, Expression[T, Any, Any, Any]],
                    high: Union[T, R, Expression[T, Any, Any, Any]]) -> Condition[M_co]: ...
        def between(self, low: Any, high: Any) -> Any:
            """``low <= self <= high`` (BETWEEN: both ends included)."""

        def like(self: Expression[str, Any, _M1, Any], pattern: str) -> Condition[_M1]: ...

        # Arithmetic: the result's V is None-able where an operand's is.
        @overload
        def __add__(self: Expression[int, _V1, _M1, Any], other: int) -> Expression[int, _V1, _M1]: ...
        @overload
        def __add__(self: Expression[float, _V1, _M1, Any], other: float) -> Expression[float, _V1, _M1]: ...
        @overload
        def __add__(self: Expression[Decimal, _V1, _M1, Any],
                    other: Union[Decimal, int]) -> Expression[Decimal, _V1, _M1]: ...
        @overload
        def __add__(self: Expression[int, int, _M1, Any], other: float) -> Expression[float, float, _M1]: ...
        @overload
        def __add__(self: Expression[int, Any, _M1, Any],
                    other: float) -> Expression[float, Optional[float], _M1]: ...
        @overload
        def __add__(self: Expression[int, int, _M1, Any], other: Decimal) -> Expression[Decimal, Decimal, _M1]: ...
        @overload
        def __add__(self: Expression[int, Any, _M1, Any],
                    other: Decimal) -> Expression[Decimal, Optional[Decimal], _M1]: ...
        @overload
        def __add__(self: Expression[int, _V1, _M1, Any],
                    other: Expression[int, _V2, _M2, Any]) -> Expression[int, Union[_V1, _V2], Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[float, _V1, _M1, Any],
                    other: Expression[float, _V2, _M2, Any]
                   ) -> Expression[float, Union[_V1, _V2], Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[Decimal, _V1, _M1, Any],
                    other: Expression[Decimal, _V2, _M2, Any]
                   ) -> Expression[Decimal, Union[_V1, _V2], Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[Decimal, Decimal, _M1, Any],
                    other: Expression[int, int, _M2, Any]) -> Expression[Decimal, Decimal, Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[Decimal, Any, _M1, Any],
                    other: Expression[int, Any, _M2, Any]
                   ) -> Expression[Decimal, Optional[Decimal], Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[int, int, _M1, Any],
                    other: Expression[Decimal, Decimal, _M2, Any]
                   ) -> Expression[Decimal, Decimal, Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[int, Any, _M1, Any],
                    other: Expression[Decimal, Any, _M2, Any]
                   ) -> Expression[Decimal, Optional[Decimal], Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[float, float, _M1, Any],
                    other: Expression[int, int, _M2, Any]) -> Expression[float, float, Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[float, Any, _M1, Any],
                    other: Expression[int, Any, _M2, Any]) -> Expression[float, Optional[float], Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[int, int, _M1, Any],
                    other: Expression[float, float, _M2, Any]) -> Expression[float, float, Union[_M1, _M2]]: ...
        @overload
        def __add__(self: Expression[int, Any, _M1, Any],
                    other: Expression[float, Any, _M2, Any]
                   ) -> Expression[float, Optional[float], Union[_M1, _M2]]: ...
        def __add__(self, other: Any) -> Any: ...

        __sub__ = __add__
        __mul__ = __add__

        # Division: as above, without an int divided by an int. (An int value is a float
        # to a checker, so `Post.likes / 2` passes it; the run time refuses it.)
        @overload
        def __truediv__(self: Expression[float, _V1, _M1, Any], other: float) -> Expression[float, _V1, _M1]: ...
        @overload
        def __truediv__(self: Expression[Decimal, _V1, _M1, Any],
                        other: Union[Decimal, int]) -> Expression[Decimal, _V1, _M1]: ...
        @overload
        def __truediv__(self: Expression[int, int, _M1, Any],
                        other: Decimal) -> Expression[Decimal, Decimal, _M1]: ...
        @overload
        def __truediv__(self: Expression[int, Any, _M1, Any],
                        other: Decimal) -> Expression[Decimal, Optional[Decimal], _M1]: ...
        @overload
        def __truediv__(self: Expression[int, int, _M1, Any], other: float) -> Expression[float, float, _M1]: ...
        @overload
        def __truediv__(self: Expression[int, Any, _M1, Any],
                        other: float) -> Expression[float, Optional[float], _M1]: ...
        @overload
        def __truediv__(self: Expression[float, _V1, _M1, Any],
                        other: Expression[float, _V2, _M2, Any]
                       ) -> Expression[float, Union[_V1, _V2], Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[Decimal, _V1, _M1, Any],
                        other: Expression[Decimal, _V2, _M2, Any]
                       ) -> Expression[Decimal, Union[_V1, _V2], Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[Decimal, Decimal, _M1, Any],
                        other: Expression[int, int, _M2, Any]) -> Expression[Decimal, Decimal, Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[Decimal, Any, _M1, Any],
                        other: Expression[int, Any, _M2, Any]
                       ) -> Expression[Decimal, Optional[Decimal], Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[int, int, _M1, Any],
                        other: Expression[Decimal, Decimal, _M2, Any]
                       ) -> Expression[Decimal, Decimal, Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[int, Any, _M1, Any],
                        other: Expression[Decimal, Any, _M2, Any]
                       ) -> Expression[Decimal, Optional[Decimal], Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[float, float, _M1, Any],
                        other: Expression[int, int, _M2, Any]) -> Expression[float, float, Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[float, Any, _M1, Any],
                        other: Expression[int, Any, _M2, Any]
                       ) -> Expression[float, Optional[float], Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[int, int, _M1, Any],
                        other: Expression[float, float, _M2, Any]) -> Expression[float, float, Union[_M1, _M2]]: ...
        @overload
        def __truediv__(self: Expression[int, Any, _M1, Any],
                        other: Expression[float, Any, _M2, Any]
                       ) -> Expression[float, Optional[float], Union[_M1, _M2]]: ...
        def __truediv__(self, other: Any) -> Any: ...

        # A value on the left (`2 * Product.price`): the same rules.
        @overload
        def __radd__(self: Expression[int, _V1, _M1, Any], other: int) -> Expression[int, _V1, _M1]: ...
        @overload
        def __radd__(self: Expression[float, _V1, _M1, Any], other: float) -> Expression[float, _V1, _M1]: ...
        @overload
        def __radd__(self: Expression[Decimal, _V1, _M1, Any],
                     other: Union[Decimal, int]) -> Expression[Decimal, _V1, _M1]: ...
        @overload
        def __radd__(self: Expression[int, int, _M1, Any], other: float) -> Expression[float, float, _M1]: ...
        @overload
        def __radd__(self: Expression[int, Any, _M1, Any],
                     other: float) -> Expression[float, Optional[float], _M1]: ...
        @overload
        def __radd__(self: Expression[int, int, _M1, Any], other: Decimal) -> Expression[Decimal, Decimal, _M1]: ...
        @overload
        def __radd__(self: Expression[int, Any, _M1, Any],
                     other: Decimal) -> Expression[Decimal, Optional[Decimal], _M1]: ...
        def __radd__(self, other: Any) -> Any: ...

        __rsub__ = __radd__
        __rmul__ = __radd__

        @overload
        def __rtruediv__(self: Expression[float, _V1, _M1, Any], other: float) -> Expression[float, _V1, _M1]: ...
        @overload
        def __rtruediv__(self: Expression[Decimal, _V1, _M1, Any],
                         other: Union[Decimal, int]) -> Expression[Decimal, _V1, _M1]: ...
        @overload
        def __rtruediv__(self: Expression[int, int, _M1, Any],
                         other: Decimal) -> Expression[Decimal, Decimal, _M1]: ...
        @overload
        def __rtruediv__(self: Expression[int, Any, _M1, Any],
                         other: Decimal) -> Expression[Decimal, Optional[Decimal], _M1]: ...
        @overload
        def __rtruediv__(self: Expression[int, int, _M1, Any], other: float) -> Expression[float, float, _M1]: ...
        @overload
        def __rtruediv__(self: Expression[int, Any, _M1, Any],
                         other: float) -> Expression[float, Optional[float], _M1]: ...
        def __rtruediv__(self, other: Any) -> Any: ...

        @overload
        def __neg__(self: Expression[int, _V1, _M1, Any]) -> Expression[int, _V1, _M1]: ...
        @overload
        def __neg__(self: Expression[float, _V1, _M1, Any]) -> Expression[float, _V1, _M1]: ...
        @overload
        def __neg__(self: Expression[Decimal, _V1, _M1, Any]) -> Expression[Decimal, _V1, _M1]: ...
        def __neg__(self) -> Any: ...

        def asc(self) -> Ordering[M_co]: ...
        def desc(self) -> Ordering[M_co]: ...

    else:
        # ---- conditions

        def __eq__(self, other):
            return IsNull(self, False) if other is None else Compare(self, "=", other)

        def __ne__(self, other):
            return IsNull(self, True) if other is None else Compare(self, "<>", other)

        def __lt__(self, other):
            return Compare(self, "<", other)

        def __le__(self, other):
            return Compare(self, "<=", other)

        def __gt__(self, other):
            return Compare(self, ">", other)

        def __ge__(self, other):
            return Compare(self, ">=", other)

        def in_(self, values):
            """IN a list of values, or IN the rows of a query of one column."""
            if isinstance(values, Selectable):
                return InQuery(self, values, False)
            return InList(self, values, False)

        def not_in(self, values):
            if isinstance(values, Selectable):
                return InQuery(self, values, True)
            return InList(self, values, True)

        def between(self, low, high):
            """``low <= self <= high`` (BETWEEN: both ends included)."""
            return Between(self, low, high)

        def like(self, pattern):
            return Like(self, pattern)

        def is_(self, value):
            """IS NULL for None; for a value, the engine's NULL-safe equality."""
            return IsNull(self, False) if value is None else Compare(self, "is", value)

        def is_not(self, value):
            """IS NOT NULL for None; for a value, the engine's NULL-safe inequality."""
            return IsNull(self, True) if value is None else Compare(self, "is not", value)

        # ---- arithmetic

        def __add__(self, other):
            return Arith(self, "+", other)

        def __radd__(self, other):
            return Arith(other, "+", self)

        def __sub__(self, other):
            return Arith(self, "-", other)

        def __rsub__(self, other):
            return Arith(other, "-", self)

        def __mul__(self, other):
            return Arith(self, "*", other)

        def __rmul__(self, other):
            return Arith(other, "*", self)

        def __truediv__(self, other):
            return Arith(self, "/", other)

        def __rtruediv__(self, other):
            return Arith(other, "/", self)

        def __neg__(self):
            return Arith(Value(0, Kind.INT), "-", self)

        # ---- orderings

        def asc(self):
            return Ordering(self, False)

        def desc(self):
            return Ordering(self, True)


class Column(Expression[T, V, M, R], _Generic[T, V, R, M]):
    """The column protocol: a model's field implements it. `model` is the model class it
    belongs to, `column` the column name, `name` the attribute name, `kind` the native
    kind; `coerce(value)` checks a value against the column's type (an object of the
    model a reference column refers to stands for its key) and returns what to bind.
    A column's shape is the column itself (compared by identity).

    For a type checker a column is ``Column[T, V, R, M]``: it holds `T` values (`V` is
    what reading one gives, T or T | None), refers to the model `R` (Never when it refers
    to none) and belongs to the model `M`; as an expression it is
    ``Expression[T, V, M, R]``: a comparison also takes an `R` object for its key."""

    __slots__ = ()

    model: Any
    column: str
    name: str
    kind: Kind  # pyright: ignore[reportIncompatibleVariableOverride]  (a column always knows it)
    position: int  # its index among its model's fields

    if TYPE_CHECKING:

        def __hash__(self) -> int: ...  # a column is a dict key by identity (Field's __hash__)

    def coerce(self, value: Any) -> Any:
        raise NotImplementedError

    def key(self, d: Dialect) -> Hashable:
        return self

    def render(self, c: Compiler) -> str:
        return c.col(self)

    def params(self, d: Dialect, out: List[Any]) -> None:
        pass

    def columns(self) -> Iterator[AnyColumn]:
        yield self

    # A column compared with a plain value, or ordered by, is most of every query: these
    # build the condition or ordering with its shape at once. Their types are
    # Expression's.
    if not TYPE_CHECKING:

        def __eq__(self, other):
            return IsNull(self, False) if other is None else _column_compare(self, "=", other)

        def __ne__(self, other):
            return IsNull(self, True) if other is None else _column_compare(self, "<>", other)

        def __lt__(self, other):
            return _column_compare(self, "<", other)

        def __le__(self, other):
            return _column_compare(self, "<=", other)

        def __gt__(self, other):
            return _column_compare(self, ">", other)

        def __ge__(self, other):
            return _column_compare(self, ">=", other)

        def asc(self):
            o = Ordering.__new__(Ordering)
            o.field, o.descending, o.shape = self, False, (self, False)
            return o

        def desc(self):
            o = Ordering.__new__(Ordering)
            o.field, o.descending, o.shape = self, True, (self, True)
            return o



# ---------------------------------------------------------------- values and arithmetic


def _plain(value: Any, kind: Kind) -> Any:
    """A value of a subclass of int or str (an IntEnum, a str enum) as its exact base
    type: a driver may bind its str() or refuse it. An enum member compared with an
    expression of an enum field (its MAX, say) is its value, as the field stores it."""
    t: type = type(value)  # pyright: ignore[reportUnknownVariableType]
    if t is int or t is str or t is float:
        return value
    if kind == Kind.ENUM:
        return value.value
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
    if kind == Kind.BOOL:
        return isinstance(value, bool)
    if kind == Kind.UUID:
        return isinstance(value, uuid.UUID)
    if kind == Kind.TIME:
        return isinstance(value, _dt.time)
    if kind == Kind.TIMEDELTA:
        return isinstance(value, _dt.timedelta)
    if kind == Kind.JSON:
        return isinstance(value, (dict, list))
    # An expression of an enum field knows the kind, not the enum: any member whose
    # value is of a type an enum field stores.
    return isinstance(value, enum.Enum) and type(value.value) in (int, str)


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
_KIND_NAMES[Kind.JSON] = "dict or list"
_KIND_NAMES[Kind.ENUM] = "an enum member"


def _static(e: AnyExpression) -> Optional[Hashable]:
    """An expression's shape when it is the same in every dialect (a column is its own),
    else None."""
    return e if isinstance(e, Column) else e.shape


class Value(Expression[Any, Any, Any, Any]):
    """A value inside an expression, bound as a parameter."""

    __slots__ = ("value", "kind", "shape")

    def __init__(self, value: Any, kind: Kind) -> None:
        self.value = value
        self.kind = kind
        self.shape = ("v", kind)

    def __repr__(self) -> str:
        return repr(self.value)

    def key(self, d: Dialect) -> Hashable:
        return ("v", self.kind)

    def render(self, c: Compiler) -> str:
        return c.ph()

    def params(self, d: Dialect, out: List[Any]) -> None:
        out.append(d.dump_value(self.kind, self.value))

    def columns(self) -> Iterator[AnyColumn]:
        return iter(())


def operand(value: Any, kind: Optional[Kind], where: object) -> AnyExpression:
    """An expression for an argument: expressions as they are, a query as its one value,
    and any other value bound as a parameter, checked against `kind` (its own kind when
    that is None)."""
    if isinstance(value, Expression):
        return value  # pyright: ignore[reportUnknownVariableType]
    if isinstance(value, Selectable):
        return Subquery(value, SCALAR)  # pyright: ignore[reportUnknownArgumentType]
    if value is None:
        raise TypeError("%s: None has no place in an expression (compare with == None, or use func.coalesce)"
                        % (_where_text(where),))
    checked = check_value(kind, value, where)
    return Value(checked, kind if kind is not None else kind_of_value(checked))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]


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


class Arith(Expression[Any, Any, Any, Any]):
    """``left <op> right`` for + - * /: numbers only. Its kind: Decimal with a Decimal,
    float with a float (never both), int with ints; int / int is refused, since the
    engines divide it differently."""

    __slots__ = ("left", "op", "right", "kind", "shape")

    def __init__(self, left: Any, op: str, right: Any) -> None:
        self.op = op
        self.left: AnyExpression = left if isinstance(left, Expression) else _number(left, left, op, right)
        self.right: AnyExpression = right if isinstance(right, Expression) else _number(right, left, op, right)
        a, b = self.left.kind, self.right.kind
        # Most arithmetic is ints with ints (stock - q): its kind without the checks' cost.
        self.kind = Kind.INT if a is b is Kind.INT and op != "/" else _arith_kind(a, op, b, _Where(left, op, right))
        ls = self.left if isinstance(self.left, Column) else self.left.shape  # _static, inline: made per statement
        rs = self.right if isinstance(self.right, Column) else self.right.shape
        self.shape = ("op", op, ls, rs, self.kind) if ls is not None and rs is not None else None

    def __repr__(self) -> str:
        return "(%s %s %s)" % (_label(self.left), self.op, _label(self.right))

    def key(self, d: Dialect) -> Hashable:
        if self.shape is not None:
            return self.shape
        return ("op", self.op, self.left.key(d), self.right.key(d), self.kind)

    def render(self, c: Compiler) -> str:
        return "(%s %s %s)" % (self.left.render(c), self.op, self.right.render(c))

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.left.params(d, out)
        self.right.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        yield from self.left.columns()
        yield from self.right.columns()

    def aggregate(self) -> bool:
        return self.left.aggregate() or self.right.aggregate()

    def nested(self) -> bool:
        return self.left.nested() or self.right.nested()


def _label(x: Any) -> str:
    """An operand as a message shows it: a column as Model.field."""
    if isinstance(x, Column) and getattr(x, "model", None) is not None:  # pyright: ignore[reportUnknownArgumentType]
        return "%s.%s" % (x.model.__name__, x.name)
    return repr(x)  # pyright: ignore[reportUnknownArgumentType]


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


def _number(value: Any, left: Any, op: str, right: Any) -> AnyExpression:
    """A number (or a query's one value) inside arithmetic."""
    if type(value) is int:
        return Value(value, Kind.INT)
    if isinstance(value, Selectable):
        return Subquery(value, SCALAR)  # pyright: ignore[reportUnknownArgumentType]
    where = _Where(left, op, right)
    return operand(value, _number_kind(value, where), where)


def _number_kind(value: Any, where: object) -> Kind:
    if isinstance(value, bool) or not isinstance(value, (int, float, decimal.Decimal)):
        raise TypeError("%s: arithmetic takes numbers (int, float, Decimal), got %s" % (where, type(value).__name__))
    return Kind.INT if isinstance(value, int) else Kind.FLOAT if isinstance(value, float) else Kind.DECIMAL


# ---------------------------------------------------------------- functions


class Func(Expression[Any, Any, Any, Any]):
    """A function of the database: an aggregate (COUNT, SUM, AVG, MIN, MAX) or a scalar
    one (COALESCE, LOWER, UPPER, LENGTH, the current time). Each engine writes its own
    name for it where they differ."""

    __slots__ = ("name", "args", "kind", "is_aggregate", "shape")

    def __init__(self, name: str, args: Sequence[AnyExpression], kind: Optional[Kind], is_aggregate: bool) -> None:
        if is_aggregate and any(a.aggregate() for a in args):
            raise ValueError("func.%s(%s): an aggregate cannot hold another aggregate"
                             % (name, ", ".join(_label(a) for a in args)))
        self.name = name
        self.args = tuple(args)
        self.kind = kind
        self.is_aggregate = is_aggregate
        shapes: List[Hashable] = []
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

    def key(self, d: Dialect) -> Hashable:
        if self.shape is not None:
            return self.shape
        return ("f", self.name, tuple([a.key(d) for a in self.args]), self.kind)

    def render(self, c: Compiler) -> str:
        return c.function(self.name, [a.render(c) for a in self.args])

    def params(self, d: Dialect, out: List[Any]) -> None:
        for a in self.args:
            a.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        for a in self.args:
            yield from a.columns()

    def aggregate(self) -> bool:
        return self.is_aggregate or any(a.aggregate() for a in self.args)

    def source(self) -> Optional[AnyColumn]:
        """The column whose values it gives as they are (MIN, MAX or COALESCE of a
        column, of the same kind): its results read as that column's (an enum's member,
        a JSON value, an aware datetime)."""
        if self.name in _PASSING and self.args:
            a = self.args[0]
            found = a if isinstance(a, Column) else a.source() if isinstance(a, Func) else None
            if found is not None and found.kind == self.kind:
                return found
        return None

    def nested(self) -> bool:
        return any(a.nested() for a in self.args)

    def coerce(self, value: Any) -> Any:
        column = _zoned(self)
        return column.coerce(value) if column is not None else check_value(self.kind, value, self)


def _zoned(e: AnyExpression) -> Optional[AnyColumn]:
    """The aware-datetime column whose values `e` gives as they are (the column itself,
    its MIN, MAX or COALESCE), else None: a value compared with such an expression is
    checked and bound as the column's (aware, stored in UTC), not as a naive datetime."""
    column = e if isinstance(e, Column) else e.source() if isinstance(e, Func) else None
    return column if column is not None and getattr(column, "timezone", False) else None


class Fallback(Value):
    """A value COALESCE falls back to: bound as the column before it binds its values
    where that differs from its kind's way (an aware datetime: see `_zoned`), and written
    as the engine needs it to keep the column's type (MariaDB types a COALESCE of a
    DATETIME and a parameter as text)."""

    __slots__ = ("column",)

    def __init__(self, value: Any, kind: Kind, column: Optional[AnyColumn], where: object) -> None:
        Value.__init__(self, column.coerce(value) if column is not None else check_value(kind, value, where), kind)
        self.column = column

    def render(self, c: Compiler) -> str:
        return c.fallback(self.kind)

    def params(self, d: Dialect, out: List[Any]) -> None:
        column = self.column
        out.append(d.dump(column, self.value) if column is not None else d.dump_value(self.kind, self.value))


# The functions whose result is one of their first argument's values.
_PASSING = frozenset(["min", "max", "coalesce"])


def _arg(value: Any, name: str) -> AnyExpression:
    if isinstance(value, Selectable):
        return Subquery(value, SCALAR)  # pyright: ignore[reportUnknownArgumentType]
    if not isinstance(value, Expression):
        raise TypeError("func.%s() takes a field or an expression, got %r" % (name, value))
    return value  # pyright: ignore[reportUnknownVariableType]


class Functions:
    """`sablecrest.func`: the database's functions, as expressions. Results come back as
    the argument's Python type where that is known: ``func.sum`` of a Decimal column
    gives a Decimal, ``func.max`` of a datetime column a datetime, on every engine;
    ``func.count`` an int and ``func.avg`` of ints a float."""

    __slots__ = ()

    @overload
    def count(self) -> Expression[int, int, Never]: ...
    @overload
    def count(self, expr: Expression[Any, Any, _M1, Any]) -> Expression[int, int, _M1]: ...
    def count(self, expr: Optional[AnyExpression] = None) -> AnyExpression:
        """COUNT(*), or COUNT(expr): the rows where it is not NULL."""
        return Func("count", () if expr is None else (_arg(expr, "count"),), Kind.INT, True)

    @overload
    def sum(self, expr: Expression[int, Any, _M1, Any]) -> Expression[int, Optional[int], _M1]: ...
    @overload
    def sum(self, expr: Expression[float, Any, _M1, Any]) -> Expression[float, Optional[float], _M1]: ...
    @overload
    def sum(self, expr: Expression[Decimal, Any, _M1, Any]) -> Expression[Decimal, Optional[Decimal], _M1]: ...
    def sum(self, expr: AnyExpression) -> AnyExpression:
        """SUM: None over no rows (``func.coalesce(func.sum(x), 0)`` for 0)."""
        e = _arg(expr, "sum")
        _numeric(e, "sum")
        return Func("sum", (e,), e.kind, True)

    @overload
    def avg(self, expr: Expression[Decimal, Any, _M1, Any]) -> Expression[Decimal, Optional[Decimal], _M1]: ...
    @overload
    def avg(self, expr: Expression[_F, Any, _M1, Any]) -> Expression[float, Optional[float], _M1]: ...
    def avg(self, expr: AnyExpression) -> AnyExpression:
        """AVG: a float for int and float columns, a Decimal for Decimal ones."""
        e = _arg(expr, "avg")
        _numeric(e, "avg")
        return Func("avg", (e,), Kind.DECIMAL if e.kind == Kind.DECIMAL else Kind.FLOAT if e.kind else None, True)

    def min(self, expr: Expression[_X, Any, _M1, Any]) -> Expression[_X, Optional[_X], _M1]:
        e = _arg(expr, "min")
        return Func("min", (e,), e.kind, True)

    def max(self, expr: Expression[_X, Any, _M1, Any]) -> Expression[_X, Optional[_X], _M1]:
        e = _arg(expr, "max")
        return Func("max", (e,), e.kind, True)

    # With values after the first, never NULL; an int is a value of a Decimal one.
    @overload
    def coalesce(self, first: Expression[_X, Any, _M1, Any], other: _X, /, *more: _X) -> Expression[_X, _X, _M1]: ...
    @overload
    def coalesce(self, first: Expression[Decimal, Any, _M1, Any], other: Union[Decimal, int], /,
                 *more: Union[Decimal, int]) -> Expression[Decimal, Decimal, _M1]: ...
    @overload
    def coalesce(self, first: Expression[_X, Any, _M1, Any], other: Union[_X, Expression[_X, Any, Any, Any]], /,
                 *more: Union[_X, Expression[_X, Any, Any, Any]]) -> Expression[_X, Optional[_X], _M1]: ...
    @overload
    def coalesce(self, first: Expression[Decimal, Any, _M1, Any],
                 other: Union[Decimal, int, Expression[Decimal, Any, Any, Any], Expression[int, Any, Any, Any]], /,
                 *more: Union[Decimal, int, Expression[Decimal, Any, Any, Any], Expression[int, Any, Any, Any]]
                 ) -> Expression[Decimal, Optional[Decimal], _M1]: ...
    def coalesce(self, first: AnyExpression, *others: Any) -> AnyExpression:
        """The first of its arguments that is not NULL; values (``func.coalesce(x, 0)``)
        are checked against the first argument's kind."""
        e = _arg(first, "coalesce")
        if not others:
            raise TypeError("func.coalesce() takes at least two arguments")
        where = "func.coalesce(%s, ...)" % (_label(e),)
        zoned = _zoned(e)
        args = [operand(o, e.kind, where) if e.kind is None or o is None or isinstance(o, (Expression, Selectable))
                else Fallback(o, e.kind, zoned, where) for o in others]
        args.insert(0, e)
        kinds = {a.kind for a in args if a.kind is not None}
        if len(kinds) > 1 and not kinds <= {Kind.INT, Kind.FLOAT} and not kinds <= {Kind.INT, Kind.DECIMAL}:
            raise TypeError("%s: its arguments have different types (%s)"
                            % (where, ", ".join(sorted(_KIND_NAMES[k] for k in kinds))))
        kind = e.kind if len(kinds) < 2 else Kind.FLOAT if Kind.FLOAT in kinds else Kind.DECIMAL
        return Func("coalesce", args, kind, False)

    def lower(self, expr: Expression[str, _V1, _M1, Any]) -> Expression[str, _V1, _M1]:
        """LOWER (SQLite folds ASCII letters only)."""
        return Func("lower", (_text(expr, "lower"),), Kind.STR, False)

    def upper(self, expr: Expression[str, _V1, _M1, Any]) -> Expression[str, _V1, _M1]:
        """UPPER (SQLite folds ASCII letters only)."""
        return Func("upper", (_text(expr, "upper"),), Kind.STR, False)

    @overload
    def length(self, expr: Expression[str, str, _M1, Any]) -> Expression[int, int, _M1]: ...
    @overload
    def length(self, expr: Expression[str, Any, _M1, Any]) -> Expression[int, Optional[int], _M1]: ...
    def length(self, expr: AnyExpression) -> AnyExpression:
        """The length of a text in characters."""
        return Func("length", (_text(expr, "length"),), Kind.INT, False)

    def now(self) -> Expression[_dt.datetime, _dt.datetime, Never]:
        """The database's current time in UTC, as a naive datetime."""
        return Func("now", (), Kind.DATETIME, False)


def _numeric(e: AnyExpression, name: str) -> None:
    if e.kind is not None and e.kind not in _NUMERIC:
        raise TypeError("func.%s(%s): takes numbers (int, float, Decimal), not %s"
                        % (name, _label(e), _KIND_NAMES[e.kind]))


def _text(expr: Any, name: str) -> AnyExpression:
    e = _arg(expr, name)
    if e.kind is not None and e.kind != Kind.STR:
        raise TypeError("func.%s(%s): takes text, not %s" % (name, _label(e), _KIND_NAMES[e.kind]))
    return e


func = Functions()


# ---------------------------------------------------------------- queries inside statements


class Subquery(Expression[Any, Any, Any, Any]):
    """A query inside another statement: as a value (SCALAR: its one column of its one
    row), or the rows of an IN. Its columns may name the models of the statement around
    it (a correlated subquery); checking them is that statement's job."""

    __slots__ = ("query", "mode", "kind")

    def __init__(self, query: AnySelectable, mode: str) -> None:
        self.query = query
        self.mode = mode
        self.kind = query._sub_kind(mode) if mode != EXISTS else None

    def __repr__(self) -> str:
        return "(subquery)"

    def key(self, d: Dialect) -> Hashable:
        return ("sub", self.mode, self.query._sub_key(d, self.mode))

    def render(self, c: Compiler) -> str:
        return "(%s)" % c.subquery(self.query, self.mode)

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.query._sub_params(d, self.mode, out)

    def columns(self) -> Iterator[AnyColumn]:
        return iter(())

    def nested(self) -> bool:
        return True


# ---------------------------------------------------------------- conditions


class Condition(_Generic[M_co]):
    """A WHERE condition; combine with ``&``, ``|`` and ``~``. For a type checker it is
    ``Condition[M]``, M being the models whose columns it reads (``Condition[Post]``;
    ``Condition[Post | Author]`` for one that compares columns of both)."""

    __slots__ = ()

    # Its shape when it is made with it (a column compared with a value or a column):
    # statements take it as it is, without asking for `key`.
    shape: Optional[Tuple[Any, ...]] = None

    def __and__(self, other: Condition[_M2]) -> Condition[Union[M_co, _M2]]:
        return Junction("AND", _flatten("AND", (self, _check(other))))

    def __or__(self, other: Condition[_M2]) -> Condition[Union[M_co, _M2]]:
        return Junction("OR", _flatten("OR", (self, _check(other))))

    def __invert__(self) -> Condition[M_co]:
        return Not(self)

    def __bool__(self) -> bool:
        raise TypeError("a query condition has no truth value: combine conditions with &, | and ~, not and/or/not")

    def key(self, d: Dialect) -> Hashable:
        raise NotImplementedError

    def render(self, c: Compiler) -> str:
        raise NotImplementedError

    def params(self, d: Dialect, out: List[Any]) -> None:
        raise NotImplementedError

    def columns(self) -> Iterator[AnyColumn]:
        raise NotImplementedError

    def aggregate(self) -> bool:
        """Whether it tests an aggregate (a HAVING condition)."""
        return False

    def nested(self) -> bool:
        """Whether it holds a query."""
        return False


def _check(cond: Any) -> AnyCondition:
    if not isinstance(cond, Condition):
        raise TypeError("expected a query condition (like Model.field == value), got %r" % (cond,))
    return cond  # pyright: ignore[reportUnknownVariableType]


def _flatten(op: str, items: Iterable[AnyCondition]) -> Tuple[AnyCondition, ...]:
    out: List[AnyCondition] = []
    for item in items:
        if isinstance(item, Junction) and item.op == op:
            out.extend(item.items)
        else:
            out.append(item)
    return tuple(out)


# The types of plain values (a condition compares a column with one of them).
_ATOMS = frozenset([int, str, float, bool, bytes, decimal.Decimal, _dt.datetime, _dt.date])


def _column_compare(column: AnyColumn, op: str, value: Any) -> "Compare":
    if type(value) in _ATOMS:
        c = Compare.__new__(Compare)
        c.field, c.op, c.value, c.shape = column, op, column.coerce(value), ("c", op, column)
        return c
    return Compare(column, op, value)


class Compare(Condition[Any]):
    """``left <op> value``, or ``left <op> other_expression``. The ops "is" and "is not"
    are the engine's NULL-safe comparisons. A column compared with a value or a column
    (the common case) has its shape made once, here."""

    __slots__ = ("field", "op", "value", "shape")
    field: AnyExpression
    value: Any  # an expression, or the value to bind
    shape: Optional[Tuple[Any, ...]]

    def __init__(self, field: AnyExpression, op: str, value: Any) -> None:
        self.field = field
        self.op = op
        if isinstance(value, (Expression, Selectable)):
            self.value = value if isinstance(value, Expression) else Subquery(value, SCALAR)  # pyright: ignore[reportUnknownArgumentType]
            both = isinstance(field, Column) and isinstance(value, Column)
            self.shape = ("cc", op, field, value) if both else None
        else:
            self.value = field.coerce(value)
            self.shape = ("c", op, field) if isinstance(field, Column) else None

    def __bool__(self) -> bool:
        # Lets fields sit in lists and dict keys: `f1 == f2` is identity there.
        if isinstance(self.value, Column) and self.op in ("=", "<>"):
            return (self.field is self.value) == (self.op == "=")  # pyright: ignore[reportUnknownMemberType]
        return Condition.__bool__(self)

    def key(self, d: Dialect) -> Hashable:
        shape = self.shape
        if shape is not None:
            return shape
        value = self.value
        return ("ce", self.op, self.field.key(d), value.key(d) if isinstance(value, Expression) else None)

    def render(self, c: Compiler) -> str:
        col = self.field.render(c)
        rhs = self.value.render(c) if isinstance(self.value, Expression) else c.ph()  # pyright: ignore[reportUnknownMemberType]
        if self.op == "is" or self.op == "is not":
            return c.null_safe(col, rhs, self.op == "is not")
        return "%s %s %s" % (col, self.op, rhs)

    def params(self, d: Dialect, out: List[Any]) -> None:
        shape = self.shape
        if shape is not None:
            if shape[0] == "c":
                out.append(d.dump(self.field, self.value))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
            return
        self.field.params(d, out)
        value = self.value
        if isinstance(value, Expression):
            value.params(d, out)
        elif isinstance(self.field, Column):
            out.append(d.dump(self.field, value))
        else:
            zoned = _zoned(self.field)
            out.append(d.dump(zoned, value) if zoned is not None else d.dump_value(self.field.kind, value))

    def columns(self) -> Iterator[AnyColumn]:
        yield from self.field.columns()
        if isinstance(self.value, Expression):
            yield from self.value.columns()  # pyright: ignore[reportUnknownMemberType]

    def aggregate(self) -> bool:
        return self.shape is None and (self.field.aggregate() or
                                       isinstance(self.value, Expression) and self.value.aggregate())  # pyright: ignore[reportUnknownMemberType]

    def nested(self) -> bool:
        return self.shape is None and (self.field.nested() or
                                       isinstance(self.value, Expression) and self.value.nested())  # pyright: ignore[reportUnknownMemberType]


class IsNull(Condition[Any]):
    __slots__ = ("field", "negated")

    def __init__(self, field: AnyExpression, negated: bool) -> None:
        self.field = field
        self.negated = negated

    def key(self, d: Dialect) -> Hashable:
        return ("null", self.field.key(d), self.negated)

    def render(self, c: Compiler) -> str:
        return self.field.render(c) + (" IS NOT NULL" if self.negated else " IS NULL")

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.field.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return self.field.nested()


class InList(Condition[Any]):
    """``column IN (...)`` / ``NOT IN``. How the list travels is the dialect's choice: one
    array parameter where the engine takes one, otherwise a placeholder list padded to a
    power of two (so a few texts serve every length), and past the engine's variable
    limit a JSON array where the engine can read one. An empty list matches nothing (and
    NOT IN an empty list, everything)."""

    __slots__ = ("field", "values", "negated")

    def __init__(self, field: AnyExpression, values: Iterable[Any], negated: bool) -> None:
        if isinstance(values, (str, bytes)):
            raise TypeError("in_() takes an iterable of values, not a single %s" % type(values).__name__)
        coerce = field.coerce
        self.field = field
        self.values = [coerce(v) for v in values]
        self.negated = negated

    @classmethod
    def of_keys(cls, field: AnyExpression, values: List[Any]) -> InList:
        """``field IN values`` for values that are the field's already (keys read from
        objects or rows): not checked again, one by one."""
        c = cls.__new__(cls)
        c.field, c.values, c.negated = field, values, False
        return c

    def key(self, d: Dialect) -> Hashable:
        return ("in", self.field.key(d), self.negated, d.in_shape(len(self.values)))

    def render(self, c: Compiler) -> str:
        return c.in_list(self.field, self.negated, len(self.values))

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.field.params(d, out)
        d.in_params(self.field, self.values, out)

    def columns(self) -> Iterator[AnyColumn]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return self.field.nested()


class InQuery(Condition[Any]):
    """``expr IN (SELECT ...)`` / ``NOT IN``: the query selects one column. NOT IN a
    query that returns a NULL matches nothing (SQL's rule)."""

    __slots__ = ("field", "query", "negated")

    def __init__(self, field: AnyExpression, query: AnySelectable, negated: bool) -> None:
        self.field = field
        self.query = Subquery(query, IN)
        self.negated = negated

    def key(self, d: Dialect) -> Hashable:
        return ("inq", self.field.key(d), self.negated, self.query.key(d))

    def render(self, c: Compiler) -> str:
        return "%s %s %s" % (self.field.render(c), "NOT IN" if self.negated else "IN", self.query.render(c))

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.field.params(d, out)
        self.query.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return True


class Exists(Condition[Any]):
    """``EXISTS (SELECT ...)``: whether the query has a row."""

    __slots__ = ("query",)

    def __init__(self, query: AnySelectable) -> None:
        if not isinstance(query, Selectable):
            raise TypeError("exists() takes a query, like s.select(Post).where(...), got %r" % (query,))
        self.query = query

    def key(self, d: Dialect) -> Hashable:
        return ("exists", self.query._sub_key(d, EXISTS))

    def render(self, c: Compiler) -> str:
        return "EXISTS (%s)" % c.subquery(self.query, EXISTS)

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.query._sub_params(d, EXISTS, out)

    def columns(self) -> Iterator[AnyColumn]:
        return iter(())

    def nested(self) -> bool:
        return True


def exists(query: AnySelectable) -> Condition[Never]:
    """A condition that holds when `query` has a row: ``exists(s.select(Post).where(
    Post.author_id == Author.id))`` (the query may name the models around it)."""
    return Exists(query)


class Between(Condition[Any]):
    """``expr BETWEEN low AND high``: both ends included."""

    __slots__ = ("field", "low", "high")

    def __init__(self, field: AnyExpression, low: Any, high: Any) -> None:
        where = "%s.between()" % (_label(field),)
        self.field = field
        self.low = _bound(field, low, where)
        self.high = _bound(field, high, where)

    def key(self, d: Dialect) -> Hashable:
        return ("between", self.field.key(d), self.low.key(d), self.high.key(d))

    def render(self, c: Compiler) -> str:
        return "%s BETWEEN %s AND %s" % (self.field.render(c), self.low.render(c), self.high.render(c))

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.field.params(d, out)
        self.low.params(d, out)
        self.high.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        yield from self.field.columns()
        yield from self.low.columns()
        yield from self.high.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate() or self.low.aggregate() or self.high.aggregate()

    def nested(self) -> bool:
        return self.field.nested() or self.low.nested() or self.high.nested()


class _Bound(Expression[Any, Any, Any, Any]):
    """A value compared with a column: bound as that column binds its values."""

    __slots__ = ("column", "value")

    def __init__(self, column: AnyColumn, value: Any) -> None:
        self.column = column
        self.value = column.coerce(value)

    def key(self, d: Dialect) -> Hashable:
        return "b"

    def render(self, c: Compiler) -> str:
        return c.ph()

    def params(self, d: Dialect, out: List[Any]) -> None:
        out.append(d.dump(self.column, self.value))

    def columns(self) -> Iterator[AnyColumn]:
        return iter(())


def _bound(field: AnyExpression, value: Any, where: str) -> AnyExpression:
    if isinstance(value, (Expression, Selectable)) or value is None:
        return operand(value, field.kind, where)
    if isinstance(field, Column):
        return _Bound(field, value)
    return operand(value, field.kind, where)


class Like(Condition[Any]):
    """``column LIKE pattern``: % and _ are wildcards, and a backslash escapes them on
    every engine. Letter case follows the engine (SQLite ignores ASCII case, PostgreSQL
    does not, MariaDB follows the column's collation)."""

    __slots__ = ("field", "pattern")

    def __init__(self, field: AnyExpression, pattern: str) -> None:
        if not isinstance(pattern, str):
            raise TypeError("like() takes a str pattern, got %s" % type(pattern).__name__)
        self.field = field
        self.pattern = pattern

    def key(self, d: Dialect) -> Hashable:
        return ("like", self.field.key(d))

    def render(self, c: Compiler) -> str:
        return "%s LIKE %s%s" % (self.field.render(c), c.ph(), c.like_escape)

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.field.params(d, out)
        out.append(self.pattern)

    def columns(self) -> Iterator[AnyColumn]:
        return self.field.columns()

    def aggregate(self) -> bool:
        return self.field.aggregate()

    def nested(self) -> bool:
        return self.field.nested()


class Junction(Condition[Any]):
    __slots__ = ("op", "items")

    def __init__(self, op: str, items: Tuple[AnyCondition, ...]) -> None:
        self.op = op
        self.items = items

    def key(self, d: Dialect) -> Hashable:
        return (self.op, tuple(i.key(d) for i in self.items))

    def render(self, c: Compiler) -> str:
        return "(" + (" %s " % self.op).join(i.render(c) for i in self.items) + ")"

    def params(self, d: Dialect, out: List[Any]) -> None:
        for i in self.items:
            i.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        for i in self.items:
            yield from i.columns()

    def aggregate(self) -> bool:
        return any(i.aggregate() for i in self.items)

    def nested(self) -> bool:
        return any(i.nested() for i in self.items)


class Not(Condition[Any]):
    __slots__ = ("item",)

    def __init__(self, item: AnyCondition) -> None:
        self.item = _check(item)

    def key(self, d: Dialect) -> Hashable:
        return ("not", self.item.key(d))

    def render(self, c: Compiler) -> str:
        return "NOT (%s)" % self.item.render(c)

    def params(self, d: Dialect, out: List[Any]) -> None:
        self.item.params(d, out)

    def columns(self) -> Iterator[AnyColumn]:
        return self.item.columns()

    def aggregate(self) -> bool:
        return self.item.aggregate()

    def nested(self) -> bool:
        return self.item.nested()


class Ordering(_Generic[M_co]):
    """One ORDER BY item: ``Model.field.desc()`` or ``.asc()``, of a column or of any
    expression. A column's shape is made here; an expression's when it is compiled.
    For a type checker it is ``Ordering[M]``, M being the model of its column."""

    __slots__ = ("field", "descending", "shape")

    def __init__(self, field: AnyExpression, descending: bool) -> None:
        self.field = field
        self.descending = descending
        self.shape = (field, descending) if isinstance(field, Column) else None

    def key(self, d: Dialect) -> Hashable:
        return self.shape if self.shape is not None else (self.field.key(d), self.descending)


if TYPE_CHECKING:
    # What the package's own code handles, whatever the types of the values.
    AnyExpression = Expression[Any, Any, Any, Any]
    AnyColumn = Column[Any, Any, Any, Any]
    AnyCondition = Condition[Any]
    AnyOrdering = Ordering[Any]
    AnySelectable = Selectable[Any]
    # An expression of either of two number types (others than a comparison's left side's).
    _Numbers = Union[Expression[_A, Any, Any, Any], Expression[_B, Any, Any, Any]]
    _NumbersQuery = Union[Selectable[Tuple[Optional[_A]]], Selectable[Tuple[Optional[_B]]]]

__all__ = ["Expression", "Column", "Value", "Arith", "Func", "Functions", "func", "Subquery", "Selectable", "Condition",
           "Compare", "IsNull", "InList", "InQuery", "Exists", "exists", "Between", "Like", "Junction", "Not",
           "Ordering", "check_value", "kind_of_value", "operand", "SCALAR", "IN", "EXISTS"]
