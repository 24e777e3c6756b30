"""The numbers the Python side shares with the native core, by name.

Field kinds, object states, field flags and state transitions are declared here as enums
and checked against the constants the native module exports when the package is
imported, so the two sides can never drift apart silently.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import uuid
from enum import Enum, IntEnum, IntFlag
from typing import Dict, Iterable, Tuple, Type

from . import _native


class Kind(IntEnum):
    """What a field holds: the native core checks assignments and compares values by it."""

    INT = 1
    STR = 2
    FLOAT = 3
    BOOL = 4
    BYTES = 5
    DECIMAL = 6
    DATETIME = 7
    DATE = 8
    UUID = 9
    JSON = 10  # a dict or a list, stored as JSON text
    ENUM = 11  # a member of an enum.Enum subclass, stored by its value
    TIME = 12
    TIMEDELTA = 13


class State(IntEnum):
    """Where an object stands with its session."""

    TRANSIENT = 0  # never added, or its row was deleted (or its insert rolled back)
    PENDING = 1  # added, to be inserted at the next flush
    PERSISTENT = 2  # has a row, and a session whose identity map holds it
    DELETED = 3  # marked for deletion at the next flush
    DETACHED = 4  # has a row, but no session


class FieldFlag(IntFlag):
    NULLABLE = 1
    PRIMARY_KEY = 2
    AWARE = 4  # a datetime field holding timezone-aware values
    SERVER_DEFAULT = 8  # the database fills the column when an insert leaves it out


class RelationKind(IntEnum):
    """How a relation reaches its objects (Python-side only: the native core just keeps
    a slot per relation)."""

    MANY_TO_ONE = 1  # through a reference field of the model itself: one object or None
    ONE_TO_MANY = 2  # through another model's reference field to this one: a list
    MANY_TO_MANY = 3  # through a link model's two reference fields: a list


_TRANSITIONS = dict(_native.TRANSITIONS)


class Transition(IntEnum):
    """The state changes a session makes (the native core's numbering), each with what it
    does to the snapshot (the values the row held when last read or written) and to the
    object's owner (the session holding it)."""

    ATTACH = _TRANSITIONS["ATTACH"]  # -> persistent in this session, snapshot kept
    MARK_DELETED = _TRANSITIONS["MARK_DELETED"]  # -> deleted at the next flush
    DETACH = _TRANSITIONS["DETACH"]  # -> detached, snapshot kept (the session closed)
    EXPIRE = _TRANSITIONS["EXPIRE"]  # -> detached, snapshot forgotten (rolled back)
    RELEASE = _TRANSITIONS["RELEASE"]  # -> transient, snapshot kept (a pending object let go)
    REMOVED = _TRANSITIONS["REMOVED"]  # -> transient, snapshot forgotten (its row was deleted)
    UNINSERT = _TRANSITIONS["UNINSERT"]  # -> transient without its generated key (insert rolled back)


def _agree(enum: Type[Enum], pairs: Iterable[Tuple[str, int]]) -> None:
    native = dict(pairs)
    ours = {m.name: int(m.value) for m in enum}
    if native != ours:
        raise ImportError("sablecrest and its native core disagree on %s: %r against %r" % (enum.__name__, ours, native))


_agree(Kind, _native.KINDS)
_agree(State, _native.STATES)
_agree(FieldFlag, _native.FIELD_FLAGS)
_agree(Transition, _native.TRANSITIONS)

# The Python type of each kind, and back (an enum.Enum subclass is Kind.ENUM).
KIND_OF: Dict[type, Kind] = {
    int: Kind.INT,
    str: Kind.STR,
    float: Kind.FLOAT,
    bool: Kind.BOOL,
    bytes: Kind.BYTES,
    decimal.Decimal: Kind.DECIMAL,
    _dt.datetime: Kind.DATETIME,
    _dt.date: Kind.DATE,
    uuid.UUID: Kind.UUID,
    dict: Kind.JSON,
    list: Kind.JSON,
    _dt.time: Kind.TIME,
    _dt.timedelta: Kind.TIMEDELTA,
}

__all__ = ["Kind", "State", "FieldFlag", "Transition", "RelationKind", "KIND_OF"]
