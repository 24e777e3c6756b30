"""The per-row core of sablecrest (C++).

Its functions take their arguments by position (only `transition` takes keywords), which
the `/` in each signature says: the module gives no text signatures, so stubtest checks
names, classes and kinds of objects here, not parameter lists.
"""

from types import ModuleType
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union, final

from typing_extensions import disjoint_base

# (name, value) pairs, for IntEnums built in Python.
KINDS: Tuple[Tuple[str, int], ...]
STATES: Tuple[Tuple[str, int], ...]
FIELD_FLAGS: Tuple[Tuple[str, int], ...]
TRANSITIONS: Tuple[Tuple[str, int], ...]

# A converter per field (None: the value as it is), or None for no conversion at all. A
# converter that is a type (int, float) is not called for a value of exactly that type.
_Converters = Optional[Tuple[Optional[Callable[[Any], Any]], ...]]

@disjoint_base
class FieldBase:
    __sc_native__: ModuleType  # the module, for _bind
    @property
    def _index(self) -> Optional[int]: ...
    def _bind(
        self,
        owner: type,
        label: str,
        index: int,
        kind: int,
        flags: int,
        ref: Optional[type],
        ref_pk: int,
        type: Optional[type] = ...,
        /,
    ) -> None: ...
    def _check(self, value: Any, /) -> Any: ...

@disjoint_base
class ModelBase:
    # Keywords only: a positional argument is a TypeError (Model declares the keywords).
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    def __setstate__(self, state: Dict[int, Any]) -> None: ...

@disjoint_base
class RelationBase:
    __sc_native__: ModuleType  # the module, for _bind_slot
    # Reads the loaded value from the object's relation slot (the class itself from the
    # class): `relations.Relation` declares what a checker sees of it.
    def _bind_slot(self, owner: type, index: int, fk: int, missing: Callable[[Any, bool], BaseException], /) -> None: ...

@final
class Layout:
    __sc_native__: ModuleType  # the module, for Layout()
    def __new__(
        cls,
        model: type,
        fields: Tuple[FieldBase, ...],
        by_name: Dict[str, Any],
        defaults: Tuple[Any, ...],
        factories: Tuple[Optional[Callable[[], Any]], ...],
        pk: Union[int, Tuple[int, ...]],
        pk_generated: bool,
        untrackable: bool,
        snapshots: Optional[Tuple[Optional[Callable[[Any], str]], ...]] = ...,
        relations: int = ...,
        /,
    ) -> Layout: ...

def materialize(
    layout: Layout,
    rows: Sequence[Sequence[Any]],
    identity: Dict[Any, Any],
    loaders: _Converters,
    token: int,
    refresh: bool = ...,
    /,
) -> List[Any]: ...
def validate(layout: Layout, objs: List[Any], reject_nan: bool, token: int, fresh: bool = ..., /) -> None: ...
def insert_params(
    layout: Layout,
    objs: List[Any],
    idxs: Tuple[int, ...],
    dumpers: _Converters,
    flat: bool,
    /,
) -> List[Any]: ...
def update_groups(
    layout: Layout, objs: List[Any], dumpers: _Converters, version: int = ..., /
) -> List[Tuple[Tuple[int, ...], List[Tuple[Any, ...]], List[Any]]]: ...
def begin_write(objs: Iterable[Any], /) -> None: ...
def mark_flushed(
    layout: Layout,
    objs: List[Any],
    identity: Dict[Any, Any],
    keys: Optional[List[Any]],
    written: Optional[Tuple[Tuple[int, ...], List[Any], bool]] = ...,
    filled: Optional[Tuple[Tuple[int, ...], List[Tuple[Any, ...]]]] = ...,
    /,
) -> None: ...
def dirty_objects(layout: Layout, objects: Iterable[Any], /) -> List[Any]: ...
def key_params(layout: Layout, objs: List[Any], /) -> List[Any]: ...
def field_values(objs: List[Any], index: int, /) -> List[Any]: ...
def changes(obj: Any, /) -> Tuple[int, ...]: ...
def loaded(obj: Any, index: int, /) -> Any: ...
def state(obj: Any, /) -> int: ...
def owner(obj: Any, /) -> int: ...
def transition(objs: Iterable[Any], op: int, token: int = 0, pk: int = -1) -> None: ...
def add_pending(objs: List[Any], pending: Dict[int, Any], start: int, token: int, /) -> int: ...
def touch_epoch() -> int: ...
def _rebuild(
    cls: type,
    values: Tuple[Any, ...],
    snapshot: Optional[Tuple[Any, ...]],
    flags: int,
    dict: Optional[Dict[str, Any]],
    /,
) -> Any: ...
def set_related(objs: List[Any], index: int, values: List[Any], /) -> None: ...
def clear_related(objs: List[Any], index: int, /) -> None: ...
def group_related(parents: List[Any], index: int, children: List[Any], keys: Union[List[Any], int], /) -> None: ...
def link_related(objs: List[Any], index: int, fk: int, identity: Dict[Any, Any], /) -> None: ...
def refresh(
    layout: Layout,
    rows: List[Sequence[Any]],
    idxs: Tuple[int, ...],
    identity: Dict[Any, Any],
    loaders: _Converters,
    /,
) -> int: ...
def convert_rows(rows: List[Sequence[Any]], loaders: _Converters, /) -> List[Tuple[Any, ...]]: ...
