"""What a statement of the user's own returned: its rows and its row count.

The rows are the driver's, as it returned them (tuples, or asyncpg's records); a value
comes back in the driver's type, which for a Decimal or a datetime on SQLite is a number
or ISO text. `scalars(type)` reads the first column as that Python type the way a field
of that type is read (the engine's loaders), so the same code gets a `Decimal` sum or a
`datetime` maximum on every engine.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import uuid
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Sequence, Type, TypeVar, overload

from .kinds import KIND_OF, Kind

if TYPE_CHECKING:
    # The types `scalars` reads a column as (a field of that type's loader), the
    # narrower before the wider (to a checker a bool is an int and a datetime a date).
    T = TypeVar("T", bool, int, float, str, bytes, decimal.Decimal, _dt.datetime, _dt.date, _dt.time,
                _dt.timedelta, uuid.UUID)

# A row as the driver gives it: a tuple, or asyncpg's Record (indexed, sized and
# iterated like one).
Row = Sequence[Any]


def _to_int(v: Any) -> Any:
    # PostgreSQL's SUM of integers is NUMERIC; MariaDB's too (DECIMAL): whole values only.
    if isinstance(v, (decimal.Decimal, float)) and v == int(v):
        return int(v)
    return v


def _to_float(v: Any) -> Any:
    return float(v) if isinstance(v, (int, decimal.Decimal)) and not isinstance(v, bool) else v


def _to_decimal(v: Any) -> Any:
    if isinstance(v, bool):
        return v
    if isinstance(v, float):
        return decimal.Decimal(repr(v))
    if isinstance(v, (int, str)):
        try:
            return decimal.Decimal(v)
        except decimal.InvalidOperation:
            return v
    return v


def _to_bool(v: Any) -> Any:
    return bool(v) if type(v) is int and v in (0, 1) else v


def _to_datetime(v: Any) -> Any:
    if isinstance(v, str):
        try:
            return _dt.datetime.fromisoformat(v)
        except ValueError:
            return v
    return v


def _to_date(v: Any) -> Any:
    if isinstance(v, str):
        try:
            return _dt.date.fromisoformat(v)
        except ValueError:
            return v
    if type(v) is _dt.datetime:
        return v  # not silently cut to its date
    return v


# After the engine's loader: what an expression's value may still need (an aggregate is
# not a column, so a driver may give a wider type than the column's).
_COERCE: Dict[Kind, Callable[[Any], Any]] = {
    Kind.INT: _to_int, Kind.FLOAT: _to_float, Kind.DECIMAL: _to_decimal, Kind.BOOL: _to_bool,
    Kind.DATETIME: _to_datetime, Kind.DATE: _to_date,
}


class Result:
    """The rows a statement returned (`rows`, a list; iterating a result iterates them)
    and `rowcount`: the rows it changed (an UPDATE counts the rows its WHERE matched),
    or for a statement that returns rows, their number; -1 where the driver cannot tell.
    """

    __slots__ = ("rows", "rowcount", "_loaders")

    def __init__(self, rows: List[Row], rowcount: int, loaders: Dict[Kind, Callable[[Any], Any]]) -> None:
        self.rows = rows
        self.rowcount = rowcount
        self._loaders = loaders

    def __repr__(self) -> str:
        return "<Result %d rows, rowcount %d>" % (len(self.rows), self.rowcount)

    def __iter__(self) -> Iterator[Row]:
        return iter(self.rows)

    @overload
    def scalars(self) -> List[Any]: ...

    @overload
    def scalars(self, type: Type[T]) -> List[T]: ...

    def scalars(self, type: Optional[type] = None) -> List[Any]:
        """The first column of every row; with a `type` (int, str, float, bool, bytes,
        Decimal, datetime, date, time, timedelta, UUID) read as a field of that type is,
        and TypeError for a value that is not one. None stays None (a checker takes the
        column for NOT NULL, as a COUNT or a key is: ``list[T]``)."""
        if type is None:
            return [r[0] for r in self.rows]
        return [self._typed(r[0], type) for r in self.rows]

    @overload
    def scalar(self) -> Any: ...

    @overload
    def scalar(self, type: Type[T]) -> Optional[T]: ...

    def scalar(self, type: Optional[type] = None) -> Any:
        """The first column of the first row (None without rows), typed as in `scalars`."""
        if not self.rows:
            return None
        v = self.rows[0][0]
        return v if type is None else self._typed(v, type)

    def first(self) -> Optional[Row]:
        """The first row, or None."""
        return self.rows[0] if self.rows else None

    def one(self) -> Row:
        """The one row; ValueError when there are none or several."""
        if len(self.rows) != 1:
            raise ValueError("one() expected exactly one row, the statement returned %d" % len(self.rows))
        return self.rows[0]

    def _typed(self, v: Any, want: type) -> Any:
        if v is None:
            return None
        kind = KIND_OF.get(want)
        if kind is None:
            names = ", ".join(t.__name__ for t in KIND_OF)
            raise TypeError("scalars() takes one of %s, got %r" % (names, want))
        if type(v) is want:
            return v
        got = v
        loader = self._loaders.get(kind)
        try:
            if loader is not None:
                v = loader(v)
            v = _COERCE.get(kind, _same)(v)
        except (ValueError, ArithmeticError):
            v = got
        if type(v) is not want:
            raise TypeError("scalars(%s): the statement returned %s %r, which is not %s %s"
                            % (want.__name__, type(got).__name__, got, "an" if want is int else "a", want.__name__))
        return v


def _same(v: Any) -> Any:
    return v


__all__ = ["Result"]
