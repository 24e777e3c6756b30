"""Model declarations: `Model` subclasses with `Field` attributes.

A model class gets a compact native layout: its instances keep their field values in one
array owned by the native core (no per-instance ``__dict__``), fields are type-checked on
assignment, and the core remembers what each object held when it was last read from or
written to the database, which is how a flush knows exactly what changed.
"""

from __future__ import annotations

import builtins

import datetime as _dt
import decimal
from typing import (
    TYPE_CHECKING,
    Any,
    ClassVar,
    Dict,
    Generic,
    Iterable,
    List,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
    overload,
)

from . import _native
from .expr import Column
from .kinds import KIND_OF, FieldFlag, Kind, State

T = TypeVar("T")
M = TypeVar("M", bound="Model")


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


class Field(_native.FieldBase, Column, Generic[T]):
    """A column of a model.

    ``Field(type, *, primary_key=False, nullable=None, default=MISSING, db_type=None,
    references=None, column=None)``. `type` is one of int, str, float, bool, bytes,
    Decimal, datetime and date. `nullable=None` means nullable unless it is the primary
    key. `default` is a value, or a callable called for each new object. `db_type`
    overrides the column type in DDL. `references` names the model (class or class name)
    whose primary key this field holds. `column` is the database column name, when it
    differs from the attribute name.

    On the class, a field builds query conditions (``Author.name == "Ann"``); on an
    instance, it is the value.
    """

    # Set when the model class is created.
    name: str
    model: "Type[Model]"

    def __init__(
        self,
        type: Type[T],
        *,
        primary_key: bool = False,
        nullable: Optional[bool] = None,
        default: Any = MISSING,
        db_type: Optional[str] = None,
        references: "Union[Type[Model], str, None]" = None,
        column: Optional[str] = None,
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
        self.type = type
        self.kind = kind
        self.primary_key = primary_key
        self.nullable = (not primary_key) if nullable is None else nullable
        self.default = default
        self.db_type = db_type
        self.references = references
        self.column = column or ""  # the attribute name when left out, set with it
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

    def _copy(self) -> "Field[T]":
        """An unbound copy, for a concrete model inheriting from an abstract one."""
        return Field(
            self.type,
            primary_key=self.primary_key,
            nullable=self.nullable,
            default=self.default,
            db_type=self.db_type,
            references=self.references,
            column=self.column or None,
        )

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

    # Instance access goes through the native descriptor; these overloads tell type
    # checkers what it returns.
    if TYPE_CHECKING:

        @overload
        def __get__(self, obj: None, owner: Any) -> "Field[T]": ...

        @overload
        def __get__(self, obj: "Model", owner: Any) -> T: ...

        def __get__(self, obj: Any, owner: Any) -> Any: ...

        def __set__(self, obj: "Model", value: Optional[T]) -> None: ...


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
        "relations",
        "incoming",
    )

    def __init__(self, model: "Type[Model]", table: str, schema: Optional[str], fields: Tuple[Field[Any], ...], pk: Field[Any]) -> None:
        self.model = model
        self.name = model.__name__
        self.table = table
        self.schema = schema
        self.fields = fields
        self.pk = pk
        self.layout: Any = None
        self.references: List[Tuple[Field[Any], "Type[Model]"]] = []
        self.self_referencing = False
        self.relations: Tuple[Any, ...] = ()  # its relations (relations.Relation), in slot order
        # The collection relations (one-to-many, many-to-many) that reach their objects
        # through a field of this model, with that field: a write of one of its rows
        # changes the collection of the row the field names. Filled as they resolve.
        self.incoming: List[Tuple[Any, Field[Any]]] = []

    def __repr__(self) -> str:
        return "<ModelInfo %s %s>" % (self.name, self.table)


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
        own = [(k, v) for k, v in ns.items() if isinstance(v, Field)]
        rels = [(k, v) for k, v in ns.items() if getattr(type(v), "__sc_relation__", False)]
        shared: Dict[str, Field[Any]] = {}
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
                cls.__sc_abstract_fields__ = tuple(inherited + own)  # type: ignore[attr-defined]
            return cls
        fields: List[Tuple[str, Field[Any]]] = []
        for k, f in inherited:
            copy = f._copy()
            setattr(cls, k, copy)
            fields.append((k, copy))
        fields.extend(own)
        _build(cls, name, fields, rels)  # type: ignore[arg-type]
        return cls


def _build(cls: "Type[Model]", name: str, declared: List[Tuple[str, Field[Any]]],
           relations: List[Tuple[str, Any]]) -> None:
    pks = [k for k, f in declared if f.primary_key]
    if len(pks) > 1:
        raise TypeError("%s declares %d primary keys (%s); a model has exactly one" % (name, len(pks), ", ".join(pks)))
    if not pks:
        if any(k == "id" for k, _ in declared):
            raise TypeError("%s has a field 'id' that is not its primary key; mark one field primary_key=True" % name)
        auto: Field[int] = Field(int, primary_key=True)
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
    pk_index = next(i for i, f in enumerate(fields) if f.primary_key)
    info = ModelInfo(cls, tablename, schema, fields, fields[pk_index])
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
    for index, (attr, rel) in enumerate(relations):
        rel._bind(cls, attr, index)
    info.relations = tuple(rel for _, rel in relations)
    defaults = tuple(None if f.default is MISSING or callable(f.default) else f.default for f in fields)
    factories = tuple(f.default if f.default is not MISSING and callable(f.default) else None for f in fields)
    by_name = {k: f for k, f in declared}
    info.layout = _native.Layout(
        cls, fields, by_name, defaults, factories, pk_index, fields[pk_index].generated, _only_fields(cls),
        len(relations)
    )
    cls.__sc_layout__ = info.layout  # type: ignore[attr-defined]
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


__all__ = ["Field", "Model", "MISSING", "ModelInfo", "info_of", "state", "changes"]
