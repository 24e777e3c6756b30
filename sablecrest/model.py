"""Model declarations: `Model` subclasses with `Field` attributes.

A model class gets a compact native layout: its instances keep their field values in one
array owned by the native core (no per-instance ``__dict__``), fields are type-checked on
assignment, and the core remembers what each object held when it was last read from or
written to the database, which is how a flush knows exactly what changed.
"""

from __future__ import annotations

import builtins
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    ClassVar,
    Dict,
    List,
    Optional,
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
    # Solved by Field(...) calls. _T is one of the types a field holds (kinds.KIND_OF: a
    # new field type goes in both), the narrower before the wider (to a checker a bool is
    # an int and a datetime a date). A reference by name leaves its model to the declared
    # type (`parent_id: Field[int, Optional[int], "Node"] = Field(int, references="Node")`),
    # or to Model when there is none.
    _T = _TypeVar("_T", bool, int, float, str, bytes, Decimal, _dt.datetime, _dt.date)
    _R = _TypeVar("_R", bound="Model", default="Model")
    _M = _TypeVar("_M", bound="Model")

    class _Options(TypedDict, total=False):
        """Field options that leave its type alone."""

        db_type: Optional[str]
        column: Optional[str]
        version: bool  # a version field is NOT NULL: declare it nullable=False to read it as int

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

# Every model class by name, so that `references="Author"` can name a model declared
# earlier (or the model itself, for a tree).
_registry: Dict[str, "Type[Model]"] = {}


class Field(_native.FieldBase, Column[T, V, R, M]):
    """A column of a model.

    ``Field(type, *, primary_key=False, nullable=None, default=MISSING, db_type=None,
    references=None, column=None, version=False)``. `type` is one of int, str, float, bool, bytes,
    Decimal, datetime and date. `nullable=None` means nullable unless it is the primary
    key. `default` is a value, or a callable called for each new object. `db_type`
    overrides the column type in DDL. `references` names the model (class or class name)
    whose primary key this field holds. `column` is the database column name, when it
    differs from the attribute name. `version=True` makes an int field the model's
    version column (optimistic locking): every UPDATE and DELETE of an object checks that
    the row still has the object's version and the UPDATE increments it; a new object
    starts at 1 unless given a value.

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
                    default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[_T, _T]: ...
        @overload
        def __new__(  # type: ignore[overload-overlap]  # pyright: ignore[reportOverlappingOverload]
                    cls, type: Type[_T], *, primary_key: Literal[False] = False,
                    nullable: Literal[False], default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[_T, _T]: ...
        @overload
        def __new__(cls, type: Type[_T], *, primary_key: Literal[False] = False, nullable: bool | None = None,
                    default: Any = ..., references: None = None,
                    **options: Unpack[_Options]) -> Field[_T, _T | None]: ...
        @overload
        def __new__(cls, type: Type[_T], *, primary_key: Literal[True], nullable: Literal[False] | None = None,
                    default: Any = ..., references: Type[_R] | str,
                    **options: Unpack[_Options]) -> Field[_T, _T, _R]: ...
        @overload
        def __new__(  # type: ignore[overload-overlap]  # pyright: ignore[reportOverlappingOverload]
                    cls, type: Type[_T], *, primary_key: Literal[False] = False,
                    nullable: Literal[False], default: Any = ..., references: Type[_R] | str,
                    **options: Unpack[_Options]) -> Field[_T, _T, _R]: ...
        @overload
        def __new__(cls, type: Type[_T], *, primary_key: Literal[False] = False, nullable: bool | None = None,
                    default: Any = ..., references: Type[_R] | str,
                    **options: Unpack[_Options]) -> Field[_T, _T | None, _R]: ...
        def __new__(cls, type: Type[Any], *, primary_key: bool = False, nullable: Optional[bool] = None,
                    default: Any = MISSING, db_type: Optional[str] = None,
                    references: Union[Type[Model], str, None] = None, column: Optional[str] = None,
                    version: bool = False) -> Any: ...

    @overload
    def __init__(self: Field[_T, _T], type: Type[_T], *, primary_key: Literal[True],
                 nullable: Literal[False] | None = None, default: _T | Callable[[], _T] = ...,
                 references: None = None, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: Literal[False], default: _T | Callable[[], _T] = ..., references: None = None,
                 **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T | None], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: bool | None = None, default: _T | None | Callable[[], _T | None] = ...,
                 references: None = None, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T, _R], type: Type[_T], *, primary_key: Literal[True],
                 nullable: Literal[False] | None = None, default: _T | Callable[[], _T] = ...,
                 references: Type[_R] | str, **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T, _R], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: Literal[False], default: _T | Callable[[], _T] = ..., references: Type[_R] | str,
                 **options: Unpack[_Options]) -> None: ...
    @overload
    def __init__(self: Field[_T, _T | None, _R], type: Type[_T], *, primary_key: Literal[False] = False,
                 nullable: bool | None = None, default: _T | None | Callable[[], _T | None] = ...,
                 references: Type[_R] | str, **options: Unpack[_Options]) -> None: ...
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
        version: bool = False,
    ) -> None:
        kind = KIND_OF.get(type) if isinstance(type, builtins.type) else None
        if kind is None:
            names = ", ".join(t.__name__ for t in KIND_OF)
            raise TypeError("unsupported field type %r; a field holds one of: %s" % (type, names))
        _flag("primary_key", primary_key)
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
        self.type: Type[T] = type
        self.kind = kind
        self.primary_key = primary_key
        self.nullable = (not primary_key) if nullable is None else nullable
        self.default = default
        self.db_type = db_type
        self.references = references
        self.column = column or ""  # the attribute name when left out, set with it
        self.version = version
        self.target: "Optional[Type[Model]]" = None  # the referenced model, once resolved

    __hash__ = object.__hash__

    @property
    def generated(self) -> bool:
        """An int primary key: the database makes its value when it is left None."""
        return self.primary_key and self.type is int

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


class ModelInfo:
    """What the ORM knows of one model class: table, fields, key and references."""

    __slots__ = (
        "model",
        "name",
        "table",
        "schema",
        "fields",
        "pk",
        "layout",
        "references",
        "self_referencing",
        "version",
    )

    def __init__(self, model: "Type[Model]", table: str, schema: Optional[str], fields: Tuple[AnyField, ...], pk: AnyField) -> None:
        self.model = model
        self.name = model.__name__
        self.table = table
        self.schema = schema
        self.fields = fields
        self.pk = pk
        self.layout: Any = None
        self.references: List[Tuple[AnyField, "Type[Model]"]] = []
        self.self_referencing = False
        self.version: Optional[Field[Any]] = None  # the version column (optimistic locking)

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
            if own or inherited:
                setattr(cls, "__sc_abstract_fields__", tuple(inherited + own))
            return cls
        fields: List[Tuple[str, AnyField]] = []
        for k, f in inherited:
            copy = f._copy()
            setattr(cls, k, copy)
            fields.append((k, copy))
        fields.extend(own)
        _build(cast("Type[Model]", cls), name, fields)
        return cls


def _build(cls: "Type[Model]", name: str, declared: List[Tuple[str, AnyField]]) -> None:
    pks = [k for k, f in declared if f.primary_key]
    if len(pks) > 1:
        raise TypeError("%s declares %d primary keys (%s); a model has exactly one" % (name, len(pks), ", ".join(pks)))
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
    pk_index = next(i for i, f in enumerate(fields) if f.primary_key)
    info = ModelInfo(cls, tablename, schema, fields, fields[pk_index])
    info.version = next((f for f in fields if f.version), None)
    cls.__sc_info__ = info
    for index, (attr, f) in enumerate(declared):
        label = "%s.%s" % (name, attr)
        ref_cls = None
        ref_pk = -1
        if f.references is not None:
            ref_cls = _resolve(f.references, cls, label)
            target = ref_cls.__sc_info__
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
        flags = (FieldFlag.NULLABLE if f.nullable else 0) | (FieldFlag.PRIMARY_KEY if f.primary_key else 0)
        f._bind(cls, label, index, int(f.kind), int(flags), ref_cls, ref_pk)
        if f.default is not MISSING and not callable(f.default):
            f._check(f.default)
    defaults = tuple(None if f.default is MISSING or callable(f.default) else f.default for f in fields)
    factories = tuple(f.default if f.default is not MISSING and callable(f.default) else None for f in fields)
    by_name = {k: f for k, f in declared}
    info.layout = _native.Layout(
        cls, fields, by_name, defaults, factories, pk_index, fields[pk_index].generated, _only_fields(cls)
    )
    setattr(cls, "__sc_layout__", info.layout)
    _registry[name] = cls


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
        out[f.name] = (old, getattr(obj, f.name))
    return out


__all__ = ["Field", "Model", "TypedModel", "MISSING", "ModelInfo", "info_of", "state", "changes"]
