"""Model declarations: `Model` subclasses with `Field` attributes.

A model class gets a compact native layout: its instances keep their field values in one
array owned by the native core (no per-instance ``__dict__``), fields are type-checked on
assignment, and the core remembers what each object held when it was last read from or
written to the database, which is how a flush knows exactly what changed.
"""

from __future__ import annotations

import builtins
import enum
import json
import re
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    ClassVar,
    Dict,
    List,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Type,
    TypeVar,
    Union,
    cast,
    overload,
)

from . import _native
from .expr import Column
from .kinds import KIND_OF, FieldFlag, Kind, State

if TYPE_CHECKING:
    import datetime as _dt
    import uuid
    from decimal import Decimal

    from typing_extensions import Literal, Never, TypedDict, Unpack, dataclass_transform
    from typing_extensions import TypeVar as _TypeVar

    # A field's type parameters, those of the column it is (expr.Column): T the values it
    # holds, V what reading it gives, R the model it refers to, M the model it belongs to
    # (Model until it is read from a model class: `Post.title` is a Field[..., Post]).
    T = _TypeVar("T")
    V = _TypeVar("V", default=T)
    R = _TypeVar("R", default=Never)
    M = _TypeVar("M", bound="Model", default="Model")
    # Solved by Field(...) calls. _T is one of the types a field holds as itself
    # (kinds.KIND_OF: a new field type goes in both), the narrower before the wider (to a
    # checker a bool is an int and a datetime a date); an enum and JSON (a dict or a
    # list) have overloads of their own. A reference by name leaves its model to the declared
    # type (`parent_id: Field[int, Optional[int], "Node"] = Field(int, references="Node")`),
    # or to Model when there is none.
    _T = _TypeVar("_T", bool, int, float, str, bytes, Decimal, _dt.datetime, _dt.date, _dt.time, _dt.timedelta,
                  uuid.UUID)
    _E = _TypeVar("_E", bound=enum.Enum)  # an enum field holds its members (stored by value)
    _R = _TypeVar("_R", bound="Model", default="Model")
    _M = _TypeVar("_M", bound="Model")

    class _Common(TypedDict, total=False):
        """Field options that leave its type alone."""

        db_type: Optional[str]
        column: Optional[str]
        unique: bool
        index: bool
        check: Optional[str]
        server_default: Optional[SQL]
        timezone: bool  # a datetime field holding aware datetimes: still a datetime
        renamed_from: Optional[str]

    class _Options(_Common, total=False):
        version: Literal[False]  # a version field is an int that is never None (its own overload)

    class _RefOptions(_Options, total=False):
        on_delete: Optional[Literal["cascade", "set null", "restrict"]]

else:

    def dataclass_transform(**kwargs: Any) -> Any:
        return lambda cls: cls

    T = V = R = M = TypeVar("T")


class _Missing:
    """The default of a field that has none (its value starts as None)."""

    _instance: ClassVar[Optional["_Missing"]] = None

    def __new__(cls) -> "_Missing":
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self) -> str:
        return "MISSING"

    def __reduce__(self) -> str:
        return "MISSING"


MISSING: Any = _Missing()

class SQL:
    """A piece of SQL written into DDL as it is: ``sablecrest.sql("CURRENT_TIMESTAMP")``
    for a server-side default."""

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        if not isinstance(text, str) or not text.strip():
            raise TypeError("sql() takes a non-empty str of SQL, got %r" % (text,))
        self.text = text

    def __repr__(self) -> str:
        return "sql(%r)" % self.text

    def __eq__(self, other: object) -> bool:
        return isinstance(other, SQL) and other.text == self.text

    def __hash__(self) -> int:
        return hash(("sql", self.text))


def sql(text: str) -> SQL:
    """SQL text for DDL, written as given (a server default: ``sql("CURRENT_TIMESTAMP")``)."""
    return SQL(text)


def _fields_arg(what: str, fields: Sequence[Any]) -> Tuple[Any, ...]:
    if not fields:
        raise TypeError("%s() names one or more fields" % what)
    for f in fields:
        if not isinstance(f, (str, Field)) or (isinstance(f, str) and not f):
            raise TypeError("%s() takes field names (or the fields themselves), got %r" % (what, f))
    return tuple(fields)


def _name_arg(what: str, name: Optional[str]) -> Optional[str]:
    if name is not None and (not isinstance(name, str) or not name):
        raise TypeError("%s(name=...) takes a non-empty str or None, got %r" % (what, name))
    return name


class Unique:
    """A UNIQUE constraint over one or more fields, in a model's ``__constraints__``:
    ``Unique("blog_id", "slug")``. Without a name, it is named ``uq_<table>_<columns>``."""

    __slots__ = ("fields", "name")

    def __init__(self, *fields: Union[str, AnyField], name: Optional[str] = None) -> None:
        self.fields = _fields_arg("Unique", fields)
        self.name = _name_arg("Unique", name)

    def __repr__(self) -> str:
        return "Unique(%s)" % ", ".join(repr(getattr(f, "name", f)) for f in self.fields)


class Index:
    """An index over one or more fields, in a model's ``__constraints__``:
    ``Index("author_id", "created_at", unique=False)``. Without a name, it is named
    ``ix_<table>_<columns>``."""

    __slots__ = ("fields", "name", "unique")

    def __init__(self, *fields: Union[str, AnyField], name: Optional[str] = None, unique: bool = False) -> None:
        self.fields = _fields_arg("Index", fields)
        self.name = _name_arg("Index", name)
        _flag("unique", unique)
        self.unique = unique

    def __repr__(self) -> str:
        return "Index(%s%s)" % (", ".join(repr(getattr(f, "name", f)) for f in self.fields),
                                ", unique=True" if self.unique else "")


class Check:
    """A CHECK constraint, in a model's ``__constraints__``: ``Check("price >= 0")``, its
    SQL naming columns. Without a name, it is named ``ck_<table>_<hash>``, the hash that
    of the expression: a changed expression is another constraint."""

    __slots__ = ("expression", "name")

    def __init__(self, expression: str, name: Optional[str] = None) -> None:
        if not isinstance(expression, str) or not expression.strip():
            raise TypeError("Check() takes the SQL expression as a non-empty str, got %r" % (expression,))
        self.expression = expression
        self.name = _name_arg("Check", name)

    def __repr__(self) -> str:
        return "Check(%r)" % self.expression


class IndexSpec(NamedTuple):
    """A model's unique constraint (`constraint`) or index, resolved to its fields."""

    name: Optional[str]  # None: generated from the table and the columns
    fields: Tuple["Field[Any]", ...]
    unique: bool
    constraint: bool  # a UNIQUE constraint (Unique, unique=True), not an index


class CheckSpec(NamedTuple):
    """A model's CHECK constraint: a field's ``check=`` (with `field`) or a table's Check."""

    name: Optional[str]
    expression: str
    field: Any  # the Field, or None (typed Any: a Field is a descriptor, which NamedTuple fields are not)


def json_text(value: Any) -> str:
    """A JSON value as text, the same text for the same value: keys sorted, no spaces,
    no NaN or infinity (which JSON has not)."""
    return json.dumps(value, ensure_ascii=False, sort_keys=True, separators=(",", ":"), allow_nan=False)


def _json_snapshot(label: str) -> Any:
    """The snapshot form of a JSON field's value: its text (so that a change made inside
    the value is seen), or a TypeError naming the field for a value JSON cannot hold."""

    def snapshot(value: Any) -> str:
        try:
            return json_text(value)
        except (TypeError, ValueError) as exc:
            raise TypeError("%s: the value is not JSON-serialisable: %s" % (label, exc)) from None

    return snapshot


# A db_type that makes the database generate the column's values.
_GENERATOR = re.compile(r"serial|auto_increment|identity|generated", re.I)

# Every model class by name, so that `references="Author"` can name a model declared
# earlier (or the model itself, for a tree).
_registry: Dict[str, "Type[Model]"] = {}


_ON_DELETE = {"cascade": "CASCADE", "set null": "SET NULL", "restrict": "RESTRICT"}


class Field(_native.FieldBase, Column[T, V, R, M]):
    """A column of a model.

    ``Field(type, *, primary_key=False, nullable=None, default=MISSING, db_type=None,
    references=None, column=None, unique=False, index=False, check=None,
    server_default=None, on_delete=None, timezone=False, renamed_from=None, version=False)``.

    `type` is one of int, str, float, bool, bytes, Decimal, datetime, date, time,
    timedelta, uuid.UUID, dict or list (JSON), or an enum.Enum subclass (stored by value).
    `nullable=None` means nullable unless it is a primary key. `default` is a value, or a
    callable called for each new object. `db_type` overrides the column type in DDL.
    `references` names the model (class or class name) whose primary key this field
    holds; `on_delete` ("cascade", "set null" or "restrict") is its foreign key's action.
    `column` is the database column name, when it differs from the attribute name.
    `unique` and `index` make a one-column UNIQUE constraint or index, `check` a CHECK
    constraint (SQL naming columns), `server_default` (``sablecrest.sql("...")``) the
    column's DEFAULT, which the database fills in when an insert leaves the field None.
    `timezone=True` makes a datetime field hold timezone-aware values. `renamed_from`
    names the column this field had before, so that a migration renames it. `version=True`
    makes an int field the model's version column (optimistic locking): every UPDATE and
    DELETE of an object checks that the row still has the object's version and the UPDATE
    increments it; a new object starts at 1 unless given a value.

    On the class, a field builds query conditions (``Author.name == "Ann"``); on an
    instance, it is the value.

    For a type checker it is ``Field[T, V, R, M]`` (see expr.Column): ``Field(int,
    primary_key=True)`` and ``Field(str, nullable=False)`` read as T, a nullable field as
    ``T | None``; ``Field(int, references=Author)`` also takes Author objects.
    """

    # Set when the model class is created.
    name: str
    model: "Type[Model]"

    # The type parameters a call gives: NOT NULL for a primary key or nullable=False,
    # nullable otherwise (also for a bool that is not a literal); a nullable primary key
    # matches none. pyright reads __new__, mypy __init__ (it prefers __init__ when a class
    # has both): the two lists say the same, and options that leave the type alone go in
    # _Options. Each NOT NULL case comes before the nullable one it overlaps. `default` is
    # checked by __init__ alone: in __new__ it would widen T (Field(int, default="x")
    # read as a field of int | str) where it should be refused.
    if TYPE_CHECKING:

        @overload
        def __new__(cls, type: Type[_T], *, primary_key: Literal[True], nullable: Literal[False] | None = None,
                    default: Any = ..., references: None = None, **options: Unpack[_Options]) -> Field[_T, _T]: ...
        @overload
        def __new__(  # type: ignore[overload-overlap]  # pyright: ignore[reportOverlappingOverload]
                    cls, type: Type[_T], *, primary_key: Literal[False] = False, nullable: Literal[False],
                    default: Any = ..., references: None = None, **options: Unpack[_Options]) -> Field[_T, _T]: ...
        @overload
        def __new__(cls, type: Type[int], *, primary_key: Literal[False] = False,
                    nullable: Literal[False] | None = None, default: Any = ..., references: None = None,
                    version: Literal[True], **options: Unpack[_Common]) -> Field[int, int]: ...
        @overload
        def __new__(cls, type: Type[_T], *, primary_key: Literal[False] = False, nullable: bool | None = None,
                    default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[_T, _T | None]: ...
        @overload
        def __new__(cls, type: Type[_T], *, primary_key: Literal[True], nullable: Literal[False] | None = None,
                    default: Any = ..., references: Type[_R] | str,
                    **options: Unpack[_RefOptions]) -> Field[_T, _T, _R]: ...
        @overload
        def __new__(  # type: ignore[overload-overlap]  # pyright: ignore[reportOverlappingOverload]
                    cls, type: Type[_T], *, primary_key: Literal[False] = False, nullable: Literal[False],
                    default: Any = ..., references: Type[_R] | str,
                    **options: Unpack[_RefOptions]) -> Field[_T, _T, _R]: ...
        @overload
        def __new__(cls, type: Type[_T], *, primary_key: Literal[False] = False, nullable: bool | None = None,
                    default: Any = ..., references: Type[_R] | str,
                    **options: Unpack[_RefOptions]) -> Field[_T, _T | None, _R]: ...
        @overload
        def __new__(cls, type: Type[_E], *, primary_key: Literal[True], nullable: Literal[False] | None = None,
                    default: Any = ..., references: None = None, **options: Unpack[_Options]) -> Field[_E, _E]: ...
        @overload
        def __new__(  # pyright: ignore[reportOverlappingOverload]
                    cls, type: Type[_E], *, primary_key: Literal[False] = False, nullable: Literal[False],
                    default: Any = ..., references: None = None, **options: Unpack[_Options]) -> Field[_E, _E]: ...
        @overload
        def __new__(cls, type: Type[_E], *, primary_key: Literal[False] = False, nullable: bool | None = None,
                    default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[_E, _E | None]: ...
        @overload
        def __new__(  # pyright: ignore[reportOverlappingOverload]
                    cls, type: Type[Dict[Any, Any]], *, primary_key: Literal[False] = False,
                    nullable: Literal[False], default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[Dict[str, Any], Dict[str, Any]]: ...
        @overload
        def __new__(cls, type: Type[Dict[Any, Any]], *, primary_key: Literal[False] = False,
                    nullable: bool | None = None, default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[Dict[str, Any], Dict[str, Any] | None]: ...
        @overload
        def __new__(  # pyright: ignore[reportOverlappingOverload]
                    cls, type: Type[List[Any]], *, primary_key: Literal[False] = False, nullable: Literal[False],
                    default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[List[Any], List[Any]]: ...
        @overload
        def __new__(cls, type: Type[List[Any]], *, primary_key: Literal[False] = False, nullable: bool | None = None,
                    default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[List[Any], List[Any] | None]: ...
        def __new__(cls, type: Type[Any], *, primary_key: bool = False, nullable: Optional[bool] = None,
                    default: Any = MISSING, db_type: Optional[str] = None,
                    references: Union[Type[Model], str, None] = None, column: Optional[str] = None,
                    unique: bool = False, index: bool = False, check: Optional[str] = None,
                    server_default: Optional[SQL] = None, on_delete: Optional[str] = None, timezone: bool = False,
                    renamed_from: Optional[str] = None, version: bool = False) -> Any: ...

    @overload
    def __init__(self: Field[_T, _T], type: Type[_T], *, primary_key: Literal[True],
                 nullable: Literal[False] | None = None, default: _T | Callable[[], _T] = ...,
                 references: None = None, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: Literal[False], default: _T | Callable[[], _T] = ..., references: None = None,
                 **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[int, int], type: Type[int], *, primary_key: Literal[False] = False,
                 nullable: Literal[False] | None = None, default: int | Callable[[], int] = ...,
                 references: None = None, version: Literal[True], **options: Unpack[_Common]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T | None], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: bool | None = None, default: _T | None | Callable[[], _T | None] = ...,
                 references: None = None, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T, _R], type: Type[_T], *, primary_key: Literal[True],
                 nullable: Literal[False] | None = None, default: _T | Callable[[], _T] = ...,
                 references: Type[_R] | str, **options: Unpack[_RefOptions]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T, _R], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: Literal[False], default: _T | Callable[[], _T] = ..., references: Type[_R] | str,
                 **options: Unpack[_RefOptions]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T | None, _R], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: bool | None = None, default: _T | None | Callable[[], _T | None] = ...,
                 references: Type[_R] | str, **options: Unpack[_RefOptions]) -> None: ...
    @overload
    def __init__(self: Field[_E, _E], type: Type[_E], *, primary_key: Literal[True],
                 nullable: Literal[False] | None = None, default: _E | Callable[[], _E] = ...,
                 references: None = None, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_E, _E], type: Type[_E], *, primary_key: Literal[False] = False,
                 nullable: Literal[False], default: _E | Callable[[], _E] = ..., references: None = None,
                 **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_E, _E | None], type: Type[_E], *, primary_key: Literal[False] = False,
                 nullable: bool | None = None, default: _E | None | Callable[[], _E | None] = ...,
                 references: None = None, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[Dict[str, Any], Dict[str, Any]], type: Type[Dict[Any, Any]], *,
                 primary_key: Literal[False] = False, nullable: Literal[False],
                 default: Dict[str, Any] | Callable[[], Dict[str, Any]] = ..., references: None = None,
                 **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[Dict[str, Any], Dict[str, Any] | None], type: Type[Dict[Any, Any]], *,
                 primary_key: Literal[False] = False, nullable: bool | None = None,
                 default: Dict[str, Any] | None | Callable[[], Dict[str, Any] | None] = ..., references: None = None,
                 **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[List[Any], List[Any]], type: Type[List[Any]], *, primary_key: Literal[False] = False,
                 nullable: Literal[False], default: List[Any] | Callable[[], List[Any]] = ...,
                 references: None = None, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[List[Any], List[Any] | None], type: Type[List[Any]], *,
                 primary_key: Literal[False] = False, nullable: bool | None = None,
                 default: List[Any] | None | Callable[[], List[Any] | None] = ..., references: None = None,
                 **options: Unpack[_Options]) -> None: ...
    def __init__(
        self,
        type: Type[Any],
        *,
        primary_key: bool = False,
        nullable: Optional[bool] = None,
        default: Any = MISSING,
        db_type: Optional[str] = None,
        references: "Union[Type[Model], str, None]" = None,
        column: Optional[str] = None,
        unique: bool = False,
        index: bool = False,
        check: Optional[str] = None,
        server_default: Optional[SQL] = None,
        on_delete: Optional[str] = None,
        timezone: bool = False,
        renamed_from: Optional[str] = None,
        version: bool = False,
    ) -> None:
        kind = _kind_of(type)
        for name, value in (("primary_key", primary_key), ("unique", unique), ("index", index),
                            ("timezone", timezone)):
            _flag(name, value)
        if nullable is not None:
            _flag("nullable", nullable)
        if primary_key and nullable:
            raise ValueError("a primary key cannot be nullable")
        if db_type is not None and (not isinstance(db_type, str) or not db_type.strip()):
            raise ValueError("db_type must be a non-empty SQL type name")
        if column is not None and (not isinstance(column, str) or not column):
            raise TypeError("column must be a non-empty str, got %r" % (column,))
        if references is not None and not isinstance(references, (str, builtins.type)):
            raise TypeError("references takes a model class or its name, got %r" % (references,))
        _flag("version", version)
        if version:
            if kind is not Kind.INT:
                raise TypeError("version=True needs an int field (a counter), got %s" % type.__name__)
            if primary_key or references is not None or nullable:
                raise ValueError("a version field is a NOT NULL counter of its own: it cannot be a primary key, "
                                 "a reference or nullable")
            nullable = False
            if default is MISSING:
                default = 1
        if check is not None and (not isinstance(check, str) or not check.strip()):
            raise TypeError("check takes the SQL expression as a non-empty str, got %r" % (check,))
        if server_default is not None and not isinstance(server_default, SQL):
            raise TypeError("server_default takes sablecrest.sql(\"...\") (SQL the database runs); for a value "
                            "written by sablecrest, use default=; got %r" % (server_default,))
        if renamed_from is not None and (not isinstance(renamed_from, str) or not renamed_from):
            raise TypeError("renamed_from takes the old column name as a non-empty str, got %r" % (renamed_from,))
        if on_delete is not None:
            if on_delete not in _ON_DELETE:
                raise ValueError("on_delete takes %s, got %r" % (", ".join(repr(k) for k in _ON_DELETE), on_delete))
            if references is None:
                raise TypeError("on_delete is the action of a foreign key: it needs references=")
            if on_delete == "set null" and (primary_key or nullable is False):
                raise ValueError("on_delete='set null' needs a nullable field")
        if timezone and kind != Kind.DATETIME:
            raise TypeError("timezone=True is for datetime fields, not %s" % _type_name(type))
        if kind == Kind.JSON and (primary_key or unique or index):
            raise TypeError("a JSON field (%s) cannot be a primary key, unique or indexed" % _type_name(type))
        if primary_key and server_default is not None:
            raise TypeError("a primary key takes no server_default: its value is given (default= may make it) or, "
                            "for a single int key, generated")
        self.type: Type[T] = type
        self.kind = kind
        self.primary_key = primary_key
        self.nullable = (not primary_key) if nullable is None else nullable
        self.default = default
        self.db_type = db_type
        self.references = references
        self.column = column or ""  # the attribute name when left out, set with it
        self.version = version
        self.unique = unique
        self.index = index
        self.check = check
        self.server_default = server_default
        self.on_delete = on_delete
        self.timezone = timezone
        self.renamed_from = renamed_from
        self.target: "Optional[Type[Model]]" = None  # the referenced model, once resolved
        # Set with the model: the database makes the value (a single int key left None).
        self.generated = primary_key and type is int
        # Set with the model: the field is part of a key, a unique constraint or an index.
        self.keyed = primary_key or unique or index or references is not None

    __hash__ = object.__hash__

    @property
    def enum_values(self) -> Tuple[Any, ...]:
        """An enum field's stored values, in the enum's order."""
        return tuple(m.value for m in cast("Type[enum.Enum]", self.type))

    def __repr__(self) -> str:
        where = getattr(self, "model", None)
        if where is None:
            return "Field(%s)" % self.type.__name__
        return "<Field %s.%s: %s>" % (where.__name__, self.name, self.type.__name__)

    def _copy(self) -> Field[T, V, R, M]:
        """An unbound copy, for a concrete model inheriting from an abstract one."""
        # The flags are plain bools here, which no overload takes; the copy has this
        # field's type parameters.
        make: Any = Field
        copy: Field[T, V, R, M] = make(
            self.type,
            primary_key=self.primary_key,
            nullable=self.nullable,
            default=self.default,
            db_type=self.db_type,
            references=self.references,
            column=self.column or None,
            version=self.version,
            unique=self.unique,
            index=self.index,
            check=self.check,
            server_default=self.server_default,
            on_delete=self.on_delete,
            timezone=self.timezone,
            renamed_from=self.renamed_from,
        )
        return copy

    def coerce(self, value: Any) -> Any:
        """The value a condition binds: checked against the field's type, and an object of
        the referenced model replaced by its key."""
        if self.target is not None and isinstance(value, self.target):
            key = getattr(value, self.target.__sc_info__.pk.name)
            if key is None:
                raise ValueError("%s is compared with a %s that has no primary key yet (flush it first)"
                                 % (self._label(), self.target.__name__))
            return key
        return self._check(value)

    def _label(self) -> str:
        where = getattr(self, "model", None)
        return "%s.%s" % (where.__name__, self.name) if where is not None else repr(self)

    # Instance access goes through the native descriptor; these tell type checkers what
    # it gives and takes. On the class, the field of that model (conditions then name
    # it); on an object, its value. A reference also takes an object of its model, which
    # it holds until a flush puts the object's key in its place.
    if TYPE_CHECKING:

        @overload
        def __get__(self, obj: None, owner: Type[_M]) -> Field[T, V, R, _M]: ...

        @overload
        def __get__(self, obj: Model, owner: object) -> V: ...

        def __get__(self, obj: Optional[Model], owner: object) -> Any: ...

        def __set__(self, obj: Model, value: V | R) -> None: ...


if TYPE_CHECKING:
    AnyField = Field[Any, Any, Any, Any]


def _flag(name: str, value: Any) -> None:
    if not isinstance(value, bool):
        raise TypeError("%s takes True or False, got %r" % (name, value))


def _type_name(t: Any) -> str:
    return t.__name__ if isinstance(t, builtins.type) else repr(t)


def _kind_of(t: Any) -> Kind:
    """The kind of a field type; TypeError for a type a field cannot hold."""
    if isinstance(t, builtins.type) and issubclass(t, enum.Enum):
        if issubclass(t, enum.Flag):
            raise TypeError("%s is a Flag enum, whose combined values no column lists: store it as int" % t.__name__)
        values = [m.value for m in t]
        plain = all(type(v) is str for v in values) or all(type(v) is int for v in values)
        if not values or not plain:
            raise TypeError("an enum field stores its members by value: the values of %s must all be str or all be "
                            "int" % t.__name__)
        if any(type(v) is str and len(v) > 255 for v in values):
            raise TypeError("the values of %s are stored as VARCHAR(255); one is longer" % t.__name__)
        return Kind.ENUM
    kind = KIND_OF.get(t) if isinstance(t, builtins.type) else None
    if kind is None:
        names = ", ".join(x.__name__ for x in KIND_OF)
        raise TypeError("unsupported field type %r; a field holds one of: %s, or an enum.Enum subclass" % (t, names))
    return kind


class ModelInfo:
    """What the ORM knows of one model class: table, fields, key, references, and the
    constraints and indexes its table has besides."""

    __slots__ = (
        "model",
        "name",
        "table",
        "schema",
        "fields",
        "pk",
        "key",
        "layout",
        "references",
        "self_referencing",
        "version",
        "indexes",
        "checks",
        "renamed_from",
        "mutable",
        "composite",
        "relations",
        "incoming",
    )

    def __init__(self, model: "Type[Model]", table: str, schema: Optional[str], fields: Tuple[AnyField, ...],
                 key: Tuple[AnyField, ...]) -> None:
        self.model = model
        self.name = model.__name__
        self.table = table
        self.schema = schema
        self.fields = fields
        self.key = key  # the primary key's fields: one, or several for a composite key
        self.pk = key[0]  # the key's (first) field
        self.composite = len(key) > 1
        self.layout: Any = None
        self.references: List[Tuple[AnyField, "Type[Model]"]] = []
        self.self_referencing = False
        self.relations: Tuple[Any, ...] = ()  # its relations (relations.Relation), in slot order
        # The collection relations (one-to-many, many-to-many) that reach their objects
        # through a field of this model, with that field: a write of one of its rows
        # changes the collection of the row the field names. Filled as they resolve.
        self.incoming: List[Tuple[Any, AnyField]] = []
        self.version: Optional[Field[Any]] = None  # the version column (optimistic locking)
        self.indexes: List[IndexSpec] = []  # unique constraints and indexes, fields' first
        self.checks: List[CheckSpec] = []  # CHECK constraints, fields' first
        self.renamed_from: Optional[str] = None  # the table's name before (__renamed_from__)
        # Its objects hold values that change in place (JSON): a flush compares them all.
        self.mutable = any(f.kind == Kind.JSON for f in fields)

    def key_of(self, obj: "Model") -> Any:
        """The object's current key: a value, or a tuple for a composite key."""
        if not self.composite:
            return getattr(obj, self.pk.name)
        return tuple(getattr(obj, f.name) for f in self.key)

    def check_key(self, key: Any) -> Any:
        """A key as given to get() (a tuple for a composite key), checked against the key's
        field types; TypeError otherwise."""
        if not self.composite:
            if key is None:
                raise TypeError("get() takes a primary key value, got None")
            return self.pk._check(key)
        if not isinstance(key, tuple) or len(key) != len(self.key):  # pyright: ignore[reportUnknownArgumentType]
            raise TypeError("%s has a composite primary key (%s): get() takes a tuple of %d values, got %r"
                            % (self.name, ", ".join(f.name for f in self.key), len(self.key), key))
        for f, part in zip(self.key, key):  # pyright: ignore[reportUnknownVariableType, reportUnknownArgumentType]
            if part is None:
                raise TypeError("get() takes a primary key value for %s.%s, got None" % (self.name, f.name))
            f._check(part)
        return key  # pyright: ignore[reportUnknownVariableType]

    def __repr__(self) -> str:
        return "<ModelInfo %s %s>" % (self.name, self.table)

    def version_field(self) -> "Field[Any]":
        """The version column, for the paths that run only on a versioned model."""
        if self.version is None:
            raise TypeError("%s has no version field" % self.name)
        return self.version


def _resolve(ref: "Union[Type[Model], str]", owner: "Type[Model]", label: str) -> "Type[Model]":
    if isinstance(ref, str):
        if ref == owner.__name__:
            return owner
        target = _registry.get(ref)
        if target is None:
            raise TypeError("%s references %r, which is not a model declared so far" % (label, ref))
        return target
    if not (isinstance(ref, type) and issubclass(ref, Model) and "__sc_info__" in ref.__dict__):
        raise TypeError("%s: references= takes a model class or its name, got %r" % (label, ref))
    return ref


class ModelMeta(type):
    """Collects a model's fields, gives it its native layout and a `__sc_info__`."""

    def __new__(mcls, name: str, bases: Tuple[type, ...], ns: Dict[str, Any], **kw: Any) -> "ModelMeta":
        ns.setdefault("__slots__", ())
        cls = super().__new__(mcls, name, bases, ns, **kw)
        own: List[Tuple[str, AnyField]] = [(k, v) for k, v in ns.items() if isinstance(v, Field)]
        rels = [(k, v) for k, v in ns.items() if getattr(type(v), "__sc_relation__", False)]  # pyright: ignore[reportUnknownArgumentType]
        shared: Dict[str, AnyField] = {}
        for base in reversed(cls.__mro__[1:]):
            if "__sc_info__" in base.__dict__:
                raise TypeError(
                    "%s: %s is a concrete model (it has a table) and cannot be subclassed; "
                    "put the shared fields on a model with __abstract__ = True" % (name, base.__name__)
                )
            shared.update(base.__dict__.get("__sc_abstract_fields__", ()))
        inherited = [(k, v) for k, v in shared.items() if k not in ns]
        if ns.get("__abstract__", False) or (not own and not inherited and not any(isinstance(b, ModelMeta) for b in bases)):
            if rels:
                raise TypeError("%s: relations are declared on concrete models (%s)" % (name, rels[0][0]))
            if own or inherited:
                setattr(cls, "__sc_abstract_fields__", tuple(inherited + own))
            return cls
        fields: List[Tuple[str, AnyField]] = []
        for k, f in inherited:
            copy = f._copy()
            setattr(cls, k, copy)
            fields.append((k, copy))
        fields.extend(own)
        _build(cast("Type[Model]", cls), name, fields, rels)
        return cls


def _build(cls: "Type[Model]", name: str, declared: List[Tuple[str, AnyField]],
           relations: List[Tuple[str, Any]]) -> None:
    pks = [k for k, f in declared if f.primary_key]
    if len(pks) > 1:
        for k, f in declared:
            if f.primary_key and (f.server_default is not None or (f.db_type and _GENERATOR.search(f.db_type))):
                raise TypeError("%s: a composite primary key (%s) cannot have a generated part (%s is %s): give "
                                "every part its value" % (name, ", ".join(pks), k, f.db_type or f.server_default))
            f.generated = False
    if not pks:
        if any(k == "id" for k, _ in declared):
            raise TypeError("%s has a field 'id' that is not its primary key; mark one field primary_key=True" % name)
        auto = Field(int, primary_key=True)
        setattr(cls, "id", auto)
        declared.insert(0, ("id", auto))
    tablename = cls.__dict__.get("__tablename__", name.lower())
    schema = cls.__dict__.get("__schema__")
    if not isinstance(tablename, str) or not tablename:
        raise TypeError("%s.__tablename__ must be a non-empty str" % name)
    if schema is None and "." in tablename:
        schema, tablename = tablename.rsplit(".", 1)
    names = [k for k, _ in declared]
    columns = [f.column or k for k, f in declared]
    for seen_list, what in ((names, "field"), (columns, "column")):
        dup = sorted({c for c in seen_list if seen_list.count(c) > 1})
        if dup:
            raise TypeError("%s declares the %s %s twice" % (name, what, dup[0]))
    fields = tuple(f for _, f in declared)
    versions = [k for k, f in declared if f.version]
    if len(versions) > 1:
        raise TypeError("%s declares %d version fields (%s); a model has at most one"
                        % (name, len(versions), ", ".join(versions)))
    key = tuple(f for f in fields if f.primary_key)
    if versions and len(key) > 1:
        raise TypeError("%s has a version field and a composite primary key; a version field needs a "
                        "single-column key" % name)
    info = ModelInfo(cls, tablename, schema, fields, key)
    renamed = cls.__dict__.get("__renamed_from__")
    if renamed is not None and (not isinstance(renamed, str) or not renamed):
        raise TypeError("%s.__renamed_from__ names the table's old name as a non-empty str, got %r" % (name, renamed))
    info.renamed_from = renamed
    info.version = next((f for f in fields if f.version), None)
    cls.__sc_info__ = info
    for index, (attr, f) in enumerate(declared):
        label = "%s.%s" % (name, attr)
        ref_cls = None
        ref_pk = -1
        if f.references is not None:
            ref_cls = _resolve(f.references, cls, label)
            target = ref_cls.__sc_info__
            if target.composite:
                raise TypeError("%s references %s, whose primary key is composite (%s): a reference holds a "
                                "one-field key" % (label, target.name, ", ".join(k.name for k in target.key)))
            if target.pk.type is not f.type:
                raise TypeError(
                    "%s is %s but references %s.%s, which is %s"
                    % (label, f.type.__name__, target.name, target.pk.name, target.pk.type.__name__)
                )
            ref_pk = target.fields.index(target.pk)
            f.target = ref_cls
            info.references.append((f, ref_cls))
            if ref_cls is cls:
                info.self_referencing = True
        f.name = attr
        f.position = index
        f.column = f.column or attr
        f.model = cls
        flags = ((FieldFlag.NULLABLE if f.nullable else 0) | (FieldFlag.PRIMARY_KEY if f.primary_key else 0)
                 | (FieldFlag.AWARE if f.timezone else 0) | (FieldFlag.SERVER_DEFAULT if f.server_default else 0))
        pytype = f.type if f.kind in (Kind.JSON, Kind.ENUM) else None
        f._bind(cls, label, index, int(f.kind), int(flags), ref_cls, ref_pk, pytype)
        if f.default is not MISSING and not callable(f.default):
            f._check(f.default)
            kind_name = type(f.default).__name__
            if isinstance(f.default, (dict, list)):
                raise TypeError("%s: a %s default would be one object shared by every %s; give a callable that "
                                "makes a new one (default=%s)" % (label, kind_name, name, kind_name))
    _constraints(cls, info, declared)
    for index, (attr, rel) in enumerate(relations):
        rel._bind(cls, attr, index)
    info.relations = tuple(rel for _, rel in relations)
    defaults = tuple(None if f.default is MISSING or callable(f.default) else f.default for f in fields)
    factories = tuple(f.default if f.default is not MISSING and callable(f.default) else None for f in fields)
    snapshots = tuple(_json_snapshot("%s.%s" % (name, f.name)) if f.kind == Kind.JSON else None for f in fields)
    by_name = {k: f for k, f in declared}
    positions = tuple(f.position for f in key)
    info.layout = _native.Layout(
        cls, fields, by_name, defaults, factories, positions[0] if len(positions) == 1 else positions,
        info.pk.generated, _only_fields(cls), snapshots if any(snapshots) else None, len(relations)
    )
    setattr(cls, "__sc_layout__", info.layout)
    _registry[name] = cls


def _constraints(cls: "Type[Model]", info: ModelInfo, declared: List[Tuple[str, Field[Any]]]) -> None:
    """The model's unique constraints, indexes and CHECKs: the fields' own (unique=,
    index=, check=), then the table's (``__constraints__``), each checked to name fields
    of the model."""
    by_name = dict(declared)
    for _, f in declared:
        if f.unique:
            info.indexes.append(IndexSpec(None, (f,), True, True))
        if f.index:
            info.indexes.append(IndexSpec(None, (f,), False, False))
        if f.check is not None:
            info.checks.append(CheckSpec(None, f.check, f))
    items = getattr(cls, "__constraints__", ())
    if not isinstance(items, (tuple, list)):
        raise TypeError("%s.__constraints__ is a tuple of sablecrest.Unique, Index and Check, got %r"
                        % (info.name, items))
    for item in items:  # pyright: ignore[reportUnknownVariableType]
        if isinstance(item, Check):
            info.checks.append(CheckSpec(item.name, item.expression, None))
            continue
        if not isinstance(item, (Unique, Index)):
            raise TypeError("%s.__constraints__ holds sablecrest.Unique, Index and Check, got %r" % (info.name, item))
        fields: List[Field[Any]] = []
        for ref in item.fields:
            found: Optional[Field[Any]] = by_name.get(ref) if isinstance(ref, str) else next(
                (g for g in by_name.values() if g is ref), None)
            if found is None:
                raise TypeError("%s: %r names %s, which is not a field of %s" % (
                    info.name, item, repr(ref) if isinstance(ref, str) else ref, info.name))
            f = found
            if f.kind == Kind.JSON:
                raise TypeError("%s: %r names the JSON field %s, which cannot be unique or indexed"
                                % (info.name, item, f.name))
            if any(g is f for g in fields):
                raise TypeError("%s: %r names %s twice" % (info.name, item, f.name))
            fields.append(f)
            f.keyed = True
        unique = isinstance(item, Unique) or item.unique
        info.indexes.append(IndexSpec(item.name, tuple(fields), unique, isinstance(item, Unique)))


def _only_fields(cls: type) -> bool:
    """Whether instances hold nothing but their fields (a weak-reference slot aside): then
    an instance whose values are all atomic can stay out of the garbage collector."""
    if getattr(cls, "__dictoffset__", 0):
        return False
    for klass in cls.__mro__:
        if klass is Model:
            return True
        slots = klass.__dict__.get("__slots__", ())
        if any(name != "__weakref__" for name in ((slots,) if isinstance(slots, str) else slots)):
            return False
    return True


class Model(_native.ModelBase, metaclass=ModelMeta):
    """Base class of every model.

    ``class Author(Model)`` with `Field` attributes declares a table (``__tablename__``,
    by default the class name in lower case; ``__schema__``, or a dotted table name, for
    a schema-qualified one). ``Author(name="Ann")`` takes only declared fields, by
    keyword; the fields left out get their default, or None. Declare
    ``__abstract__ = True`` on a model that only shares fields with its subclasses.
    """

    __slots__ = ()
    __sc_info__: ClassVar[ModelInfo]

    if TYPE_CHECKING:

        def __init__(self, **values: Any) -> None: ...

    def __repr__(self) -> str:
        info = type(self).__sc_info__
        parts = ", ".join("%s=%s" % (f.name, _shallow(getattr(self, f.name))) for f in info.fields)
        return "%s(%s)" % (type(self).__name__, parts)


@dataclass_transform(kw_only_default=True, eq_default=False)
class TypedModel(Model):
    """A model whose constructor a type checker checks: declare each field with its
    type, ``name: Field[str] = Field(str, nullable=False)``, and ``Author(nme="Ann")``
    or ``Author(name=1)`` is an error where it is written. At run time it is a `Model`.

    Type checkers build a class's constructor from its annotated attributes only
    (dataclass_transform, PEP 681): a field without its annotation is missing from
    it, and so is the primary key a model without one gets (declare it). Every field is
    an optional keyword, as at run time; a reference field also takes an object of its
    model. Models compare by identity (eq_default=False keeps them hashable).
    """

    __abstract__ = True
    __slots__ = ()


def _shallow(value: Any) -> str:
    """A field value for a repr; a referenced object by its key only (objects may refer
    to each other in a cycle)."""
    if isinstance(value, Model):
        pk = type(value).__sc_info__.pk
        return "%s(%s=%r)" % (type(value).__name__, pk.name, getattr(value, pk.name))
    return repr(value)


def info_of(model: "Type[Model]") -> ModelInfo:
    """The declaration of a model class; TypeError for anything else."""
    info = model.__dict__.get("__sc_info__") if isinstance(model, type) else None
    if info is None:
        raise TypeError("expected a model class (a subclass of sablecrest.Model with fields), got %r" % (model,))
    return info  # type: ignore[no-any-return]


def state(obj: "Model") -> str:
    """The object's state: transient, pending, persistent, deleted or detached."""
    if not isinstance(obj, Model):
        raise TypeError("state() takes a model object, got %r" % (obj,))
    return State(_native.state(obj)).name.lower()


def changes(obj: "Model") -> Dict[str, Tuple[Any, Any]]:
    """{field name: (loaded value, current value)} for each field that would be written.

    A field is changed when its value differs from the loaded one by type or by value:
    1, True and 1.0 differ, None and "None" differ, and Decimal("1.50") differs from
    Decimal("1.5"). Fields of an object whose rows are unknown (never loaded, or after a
    rollback) are all changed, with None as the loaded value.
    """
    info = info_of(type(obj))
    out: Dict[str, Tuple[Any, Any]] = {}
    for i in _native.changes(obj):
        f = info.fields[i]
        try:
            old = _native.loaded(obj, i)
        except LookupError:
            old = None
        if f.kind == Kind.JSON and isinstance(old, str):
            old = json.loads(old)  # kept as its text, which a change inside the value leaves alone
        out[f.name] = (old, getattr(obj, f.name))
    return out


__all__ = ["Field", "Model", "TypedModel", "MISSING", "ModelInfo", "info_of", "state", "changes", "SQL", "sql", "Unique",
           "Index", "Check", "IndexSpec", "CheckSpec", "json_text"]
