"""Relations: declared on a model, loaded only when asked.

- ``author = relation(author_id)`` (a reference field of the model itself): many-to-one;
  ``post.author`` is the Author or None.
- ``posts = relation("Post.author_id")`` (another model's reference field to this one):
  one-to-many; ``author.posts`` is a list.
- ``tags = relation("PostTag.post_id", "PostTag.tag_id")`` (a link model's two reference
  fields, the first to this model): many-to-many; ``post.tags`` is a list of Tag.

A loaded relation lives in the object's native array, in a slot after its snapshot: it
is not a field, so dirty checks, flushes and the parameters of a write never see it, and
a model without relations has no such slot at all. Reading a relation that was not loaded
raises `NotLoadedError`: nothing is ever loaded behind the user's back. A many-to-one is
checked against its reference field when it is read, so that a field assigned since
the load never hands out the object it no longer refers to. Loading is the unit of
work's (`UnitOfWork.load`): one statement per relation and level.

Names ("Post.author_id") are resolved at first use, so a relation may name a model
declared after its own.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional, Tuple, Type, Union, overload

from . import _native
from .errors import NotLoadedError
from .kinds import RelationKind
from .model import Field, Model, _registry

if TYPE_CHECKING:
    from typing import Generic as _Generic

    from typing_extensions import Self, TypeVar

    from .model import AnyField

    # A relation's type parameters: T the model of the objects it loads, V what reading
    # it gives (T | None for a many-to-one, a list of T otherwise), O the model it is
    # declared on (Model until it is read from a model class: `Post.author` is a
    # Relation[Author, Author | None, Post]).
    T = TypeVar("T")
    V = TypeVar("V", default=List[T])
    O_co = TypeVar("O_co", covariant=True, default=Model)
    _T = TypeVar("_T", bound=Model)
    _O = TypeVar("_O")
else:
    from typing import TypeVar

    from .expr import _Generic

    T = V = O_co = TypeVar("T")

Spec = Union["AnyField", str]


class Relation(_native.RelationBase, _Generic[T, V, O_co]):
    """A relation of a model, declared with `relation()`. On the class it names the
    relation (for ``.load()``, ``.join()``, ``s.load()``); on an object it is the loaded
    value (read by the native base, from the object's relation slot).

    For a type checker it is ``Relation[T, V, O]``: it loads objects of the model `T`,
    reads as `V` (``T | None`` for a many-to-one, ``list[T]`` for a collection) and is
    declared on the model `O`. `relation()` infers it from a field; a relation that names
    its fields by name (a model declared later) is annotated:
    ``posts: Relation["Post"] = relation("Post.author_id")``."""

    __sc_relation__ = True  # what the model's metaclass looks for (model.py cannot import this module)

    __slots__ = ("spec", "link_spec", "model", "name", "index", "kind", "target", "local", "remote", "link_a",
                 "link_b", "_fk", "_resolved")

    def __init__(self, via: Spec, link_to: Optional[Spec] = None) -> None:
        for s in (via, link_to):
            if s is not None and not isinstance(s, (Field, str)):
                raise TypeError("relation() takes reference fields, or their names like \"Post.author_id\"; got %r"
                                % (s,))
            if isinstance(s, str) and (s.count(".") < 1 or not all(s.rpartition(".")[::2])):
                raise TypeError("relation() names a field as \"Model.field\", got %r" % (s,))
        self.spec = via
        self.link_spec = link_to
        self.model: "Type[Model]" = Model  # set by _bind
        self.name = ""
        self.index = -1
        self.kind = RelationKind.ONE_TO_MANY if link_to is None else RelationKind.MANY_TO_MANY
        self.target: "Type[Model]" = Model  # the model of the objects it loads
        self.local: "Optional[Field[Any]]" = None  # many-to-one: this model's reference field
        self.remote: "Optional[Field[Any]]" = None  # one-to-many: the other model's reference field to this one
        self.link_a: "Optional[Field[Any]]" = None  # many-to-many: the link model's field to this model
        self.link_b: "Optional[Field[Any]]" = None  # ... and its field to the target
        self._fk = -1  # many-to-one: the field index the value is checked against when read
        self._resolved = False

    def __repr__(self) -> str:
        return "<relation %s>" % self.label if self.index >= 0 else "<relation (unbound)>"

    @property
    def label(self) -> str:
        return "%s.%s" % (self.model.__name__, self.name)

    def _bind(self, model: "Type[Model]", name: str, index: int) -> None:
        """Called once by the model's class statement, after its fields are bound."""
        if self.index >= 0:
            raise TypeError("relation %s is already declared as %s" % (name, self.label))
        self.model, self.name, self.index = model, name, index
        spec = self.spec
        if isinstance(spec, Field) and getattr(spec, "model", None) is model:
            if self.link_spec is not None:
                raise TypeError("%s: a many-to-many relation names the link model's two fields, like "
                                "relation(\"PostTag.post_id\", \"PostTag.tag_id\")" % self.label)
            if spec.target is None:
                raise TypeError("%s: %s.%s is not a reference field (declare it with references=...)"
                                % (self.label, model.__name__, spec.name))
            self.kind = RelationKind.MANY_TO_ONE
            self.local = spec
            self.target = spec.target
            self._fk = spec.position
            self._resolved = True
        self._bind_slot(model, index, self._fk, self._missing)

    def resolve(self) -> Self:
        """Looks up the fields it names (models declared after this one included); a
        TypeError names what does not fit."""
        if self._resolved:
            return self
        if self.index < 0:
            raise TypeError("this relation() is not declared on a model")
        a = self._field(self.spec)
        if a.target is not self.model:
            raise TypeError("%s: %s.%s refers to %s, not to %s" % (self.label, a.model.__name__, a.name,
                                                                  a.target.__name__ if a.target else "no model",
                                                                  self.model.__name__))
        if self.link_spec is None:
            self.remote = a
            self.target = a.model
            a.model.__sc_info__.incoming.append((self, a))
        else:
            b = self._field(self.link_spec)
            if b.model is not a.model:
                raise TypeError("%s: the link fields %s.%s and %s.%s belong to different models"
                                % (self.label, a.model.__name__, a.name, b.model.__name__, b.name))
            if b.target is None:
                raise TypeError("%s: %s.%s is not a reference field" % (self.label, b.model.__name__, b.name))
            self.link_a, self.link_b = a, b
            self.target = b.target
            a.model.__sc_info__.incoming.append((self, a))
            if b.target is self.model and b is not a:
                # A link between rows of one model (friends): a change of either field
                # changes the collection of the row it names.
                a.model.__sc_info__.incoming.append((self, b))
        self._resolved = True
        return self

    def _field(self, spec: Spec) -> "Field[Any]":
        if isinstance(spec, Field):
            if getattr(spec, "model", None) is None:
                raise TypeError("%s: %r is not a field of a model" % (self.label, spec))
            return spec
        model_name, _, field_name = spec.rpartition(".")
        model = self.model if model_name == self.model.__name__ else _registry.get(model_name)
        if model is None:
            raise TypeError("%s: relation(%r) names %s, which is not a declared model" % (self.label, spec, model_name))
        f = model.__dict__.get(field_name)
        if not isinstance(f, Field):
            raise TypeError("%s: %s has no field %r" % (self.label, model_name, field_name))
        if f.target is None:
            raise TypeError("%s: %s.%s is not a reference field" % (self.label, model_name, field_name))
        return f  # pyright: ignore[reportUnknownVariableType]

    @property
    def link(self) -> "Type[Model]":
        """The link model of a many-to-many relation."""
        assert self.link_a is not None
        return self.link_a.model

    def models(self) -> Tuple["Type[Model]", ...]:
        """The models a join through it brings into a statement, in join order."""
        self.resolve()
        if self.kind == RelationKind.MANY_TO_MANY:
            return (self.link, self.target)
        return (self.target,)

    # ---- the loaded value

    if TYPE_CHECKING:  # the native base reads it

        @overload
        def __get__(self, obj: None, owner: Type[_O]) -> Relation[T, V, _O]: ...

        @overload
        def __get__(self, obj: object, owner: Any) -> V: ...

        def __get__(self, obj: Any, owner: Any = None) -> Any: ...

    # A collection cannot be assigned (AttributeError): to a checker only a many-to-one
    # takes a value.
    def __set__(self: Relation[T, Optional[T], Any], obj: Any, value: Optional[T]) -> None:
        if self.kind != RelationKind.MANY_TO_ONE:
            self.resolve()
            how = ("set each %s's %s instead" % (self.target.__name__, self.remote.name) if self.remote is not None
                   else "add or delete the link model's objects instead")
            raise AttributeError("%s is loaded from the database and cannot be assigned: %s" % (self.label, how))
        if value is not None and not isinstance(value, self.target):
            raise TypeError("%s: expected %s or None, got %s" % (self.label, self.target.__name__,
                                                                 type(value).__name__))
        assert self.local is not None
        key = None if value is None else getattr(value, self.target.__sc_info__.pk.name)
        # A key where the object has one; the object itself until then (the flush puts
        # its key in when it is inserted), as the reference field takes it.
        setattr(obj, self.local.name, value if key is None else key)
        _native.set_related([obj], self.index, [value])

    def __delete__(self, obj: Any) -> None:
        raise AttributeError("%s cannot be deleted%s" % (self.label, "; assign None instead"
                             if self.kind == RelationKind.MANY_TO_ONE else ""))

    def _missing(self, obj: Any, stale: bool) -> NotLoadedError:
        """The error for reading the relation on `obj` where it is not loaded (or, for a
        many-to-one, no longer matches its field)."""
        how = "s.select(%s).load(%s) or s.load(objects, %s)" % (self.model.__name__, self.label, self.label)
        if stale:
            assert self.local is not None
            return NotLoadedError("%s is not loaded: %s.%s was assigned since it was loaded; load it again with %s"
                                  % (self.label, self.model.__name__, self.local.name, how))
        return NotLoadedError("%s is not loaded: load it with %s" % (self.label, how))


# The model's own field, in its class body, is a Field[..., Model] (it becomes the
# model's on the class): a many-to-one. The other forms name models declared after this
# one (the fields of another model that refer to this one), by text.
@overload
def relation(via: Field[Any, Any, _T, Model], link_to: None = None) -> Relation[_T, Optional[_T]]: ...
@overload
def relation(via: Spec, link_to: Optional[Spec] = None) -> Relation[Any, Any]: ...
def relation(via: Spec, link_to: Optional[Spec] = None) -> Relation[Any, Any]:
    """A relation of the model it is declared on.

    - ``relation(author_id)``: many-to-one through a reference field of this model (the
      field itself); the value is the referenced object or None.
    - ``relation("Post.author_id")``: one-to-many through another model's reference field
      to this one; the value is a list, in the other model's key order.
    - ``relation("PostTag.post_id", "PostTag.tag_id")``: many-to-many through a link
      model, named by its field to this model, then its field to the target; the value
      is a list of targets, in their key order.

    Fields may also be given as objects of models declared earlier (``Post.author_id``).

    A type checker reads a many-to-one's type from its field. Named by text, a relation
    is typed as it is annotated: ``posts: Relation["Post"] = relation("Post.author_id")``
    (``Relation[Tag]`` for a many-to-many; a list of them either way).
    """
    return Relation(via, link_to)


if TYPE_CHECKING:
    AnyRelation = Relation[Any, Any, Any]

__all__ = ["Relation", "relation"]
