"""The unit of work: one session's identity map, what it will write, and what its
transaction wrote.

Everything a session decides lives here, written as steps (generators that yield the
operations of ops.py and receive their results), so the sync and the async session run
the very same code. A flush runs in three phases:

- **collect**: what to insert (tables parents first, and rows of a self-referencing
  table parents first), update (exactly the changed fields) and delete (children
  first), and every check: NOT NULL, values the engine cannot store, references to
  objects that will have no key. Nothing has been sent when one fails.
- **emit**: the statements, in that order; generated keys are set on the objects as
  their INSERTs return them, since the rows after may refer to them.
- **finalize**: the pending and deleted lists lose what was written (and only that: an
  async task may add objects while a flush awaits the driver).

A flush that fails half-way leaves the transaction to be rolled back (the session's
policy); `rolled_back` then puts every object it touched back: inserted objects are
transient again without the keys the database gave them, references that held objects
hold those objects again, and loaded objects forget their snapshot.
"""

from __future__ import annotations

import itertools
import weakref
from collections import deque
from itertools import groupby
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple, Type, TypeVar, cast

from . import _native, toolkit
from .errors import StaleDataError
from .expr import SCALAR, Expression, InList, Selectable, Subquery
from .kinds import Kind, RelationKind, State, Transition
from .model import Field, Model, ModelInfo, info_of
from .ops import Execute, ExecuteMany, Fetch, InsertId, LockingFetch, Returning, Steps
from .relations import Relation
from .sql import COUNT as COUNT_ROWS
from .sql import (ROWS, Select, delete_sql, link_sql, plan_params, row_loaders, select_params, select_plan, select_sql,
                  update_params, update_plan)
from .statements import case_params, where_params

if TYPE_CHECKING:
    from .relations import AnyRelation
    from .expr import AnyCondition, AnyOrdering
    from .model import AnyField
    from .statements import Dialect

M = TypeVar("M", bound=Model)

ALL, FIRST, COUNT, ONE = "all", "first", "count", "one"  # ONE: the first column of the first row

_TRANSIENT, _PENDING, _PERSISTENT, _DELETED, _DETACHED = (int(s) for s in State)

# Open sessions by owner token, for naming the session that holds an object.
_tokens = itertools.count(1)
_owners: Dict[int, "weakref.ref[Any]"] = {}


def new_token(session: Any) -> int:
    token = next(_tokens)
    _owners[token] = weakref.ref(session)
    return token


def end_token(token: int) -> None:
    _owners.pop(token, None)


def _held_elsewhere(obj: Model, owner: int) -> ValueError:
    ref = _owners.get(owner)
    other = ref() if ref is not None else None
    return ValueError("%r is in another open session (%r): an object belongs to one session at a time; close "
                      "that session (or commit and close it) first" % (obj, other if other is not None else owner))


def _differ(a: Any, b: Any) -> bool:
    return a is not b and (type(a) is not type(b) or a != b)


def _chunks(items: List[Any], size: int) -> Iterator[List[Any]]:
    for i in range(0, len(items), size):
        yield items[i : i + size]


def table_order(infos: Iterable[ModelInfo]) -> List[ModelInfo]:
    """Parents before children, by the foreign keys among `infos` (declaration order
    otherwise; tables that refer to each other stay in the order they were met)."""
    pending = list(infos)
    if len(pending) < 2:
        return pending
    present = {i.model for i in pending}
    done: Dict[Any, ModelInfo] = {}
    visiting: Set[Any] = set()

    def visit(info: ModelInfo) -> None:
        if info.model in done or info.model in visiting:
            return
        visiting.add(info.model)
        for _, target in info.references:
            if target is not info.model and target in present:
                visit(target.__sc_info__)
        visiting.discard(info.model)
        done[info.model] = info

    for info in pending:
        visit(info)
    return list(done.values())


class FlushPlan:
    """What one flush writes, in order; made by the collect phase."""

    __slots__ = ("order", "inserts", "updates", "deletes", "added", "doomed")

    def __init__(self) -> None:
        self.order: List[ModelInfo] = []
        self.inserts: Dict[ModelInfo, List[Model]] = {}
        self.updates: Dict[ModelInfo, List[Model]] = {}
        self.deletes: Dict[ModelInfo, List[Model]] = {}
        self.added: List[int] = []  # ids of the pending objects it inserts
        self.doomed: List[int] = []  # ids of the objects it deletes


class UnitOfWork:
    """The state of one session: identity map, objects to insert and to delete, and what
    the current transaction wrote (so that a rollback can undo it on the objects)."""

    __slots__ = ("dialect", "token", "identity", "pending", "doomed", "inserted", "removed", "epoch",
                 "writing", "reject_nan", "versions", "updated", "depth", "mutable", "models_seen")

    def __init__(self, dialect: "Dialect", token: int) -> None:
        self.dialect = dialect
        self.token = token  # the owner mark of this session's objects
        self.identity: Dict[Type[Model], Dict[Any, Model]] = {}
        self.pending: Dict[int, Model] = {}  # id -> object to insert, in add order
        self.doomed: Dict[int, Model] = {}  # id -> object whose row the next flush deletes
        self.inserted: List[Model] = []  # rows this transaction inserted
        self.removed: List[Model] = []  # rows this transaction deleted
        self.epoch = -1  # the field-assignment count when the last flush collected
        self.writing = False  # a flush got past its checks and may have written rows
        self.reject_nan = not dialect.engine.stores_nan
        # (object, version it had) for each versioned object an UPDATE of this transaction
        # bumped: a rollback gives it back the version its row has again.
        self.versions: List[Tuple[Model, Any]] = []
        # Objects whose rows an UPDATE changed, recorded only inside a savepoint (whose
        # rollback detaches them); `depth` is the number of savepoints open.
        self.updated: List[Model] = []
        self.depth = 0
        self.mutable = False  # the identity map holds a model with JSON fields
        self.models_seen = 0  # the identity map's model count when `mutable` was worked out

    # ---- membership

    def add(self, obj: Model) -> None:
        info = info_of(type(obj))
        owner = _native.owner(obj)
        if owner and owner != self.token:
            raise _held_elsewhere(obj, owner)
        st = _native.state(obj)
        if st == _TRANSIENT or st == _PENDING:
            _native.add_pending([obj], self.pending, 0, self.token)
        elif st == _PERSISTENT or st == _DETACHED:
            idm = self.identity.setdefault(info.model, {})
            key = info.key_of(obj)
            there = idm.get(key)
            if there is None:
                idm[key] = obj
                _native.transition([obj], Transition.ATTACH, self.token)
                self.epoch = -1  # it may hold changes made before it was added
            elif there is not obj:
                raise ValueError("another %s with primary key %r is already in this session" % (info.name, key))
        elif st == _DELETED and self.doomed.pop(id(obj), None) is not None:
            _native.transition([obj], Transition.ATTACH, self.token)

    def add_all(self, objs: Iterable[Model]) -> None:
        """`add` for each object, in order; new objects go the native way in one call."""
        items = cast("List[Model]", objs) if type(objs) is list else list(objs)
        i, n = 0, len(items)
        while i < n:
            i = _native.add_pending(items, self.pending, i, self.token)
            if i < n:
                self.add(items[i])
                i += 1

    def delete(self, obj: Model) -> None:
        info_of(type(obj))
        owner = _native.owner(obj)
        if owner and owner != self.token:
            raise _held_elsewhere(obj, owner)
        st = _native.state(obj)
        if st == _PENDING and self.pending.pop(id(obj), None) is not None:
            _native.transition([obj], Transition.RELEASE)
        elif st == _PERSISTENT or st == _DETACHED:
            self.add(obj)
            _native.transition([obj], Transition.MARK_DELETED, self.token)
            self.doomed[id(obj)] = obj
        elif st != _DELETED:
            raise ValueError("%r is not in the session: there is no row to delete" % (obj,))

    def dirty(self) -> List[Model]:
        out: List[Model] = []
        for model, idm in self.identity.items():
            out.extend(_native.dirty_objects(model.__sc_info__.layout, idm))
        return out

    def contains(self, obj: Model) -> bool:
        if id(obj) in self.pending:
            return True
        idm = self.identity.get(type(obj))
        return idm is not None and idm.get(info_of(type(obj)).key_of(obj)) is obj

    # ---- flush

    def clean(self, epoch: int = -1) -> bool:
        """Whether a flush would write nothing (the check `_collect` starts with), so that
        a read need not run one: nothing added or deleted, no field assigned since the
        last flush looked, and no loaded object whose JSON may have changed in place
        (which no assignment marks). `epoch`: the assignment count, when read already."""
        if epoch < 0:
            epoch = _native.touch_epoch()
        if not self.pending and not self.doomed and (self.epoch == epoch or not self.identity) and not (
                self.mutable or (len(self.identity) != self.models_seen and self._holds_mutable())):
            self.epoch = epoch
            return True
        return False

    def reads_flush(self) -> Steps:
        """The flush a read runs before its statement, under the policy of the session
        whose token this is (its `_guarded`: a flush that fails half-way is rolled back).
        Only the flush needs the policy: a read with nothing to flush runs without it."""
        ref = _owners.get(self.token)
        session = ref() if ref is not None else None
        return session._guarded(self.flush()) if session is not None else self.flush()

    def flush(self) -> Steps:
        plan = self._collect()
        if plan is None:
            return
        self.writing = True
        yield from self._emit(plan)
        self._finalize(plan)
        self.writing = False

    def _collect(self) -> Optional[FlushPlan]:
        """What to write and in which order; every check runs here."""
        epoch = _native.touch_epoch()
        if self.clean(epoch):
            return None
        updates: Dict[ModelInfo, List[Model]] = {}
        for model, idm in self.identity.items():
            info = model.__sc_info__
            dirty = _native.dirty_objects(info.layout, idm)
            if dirty:
                updates[info] = dirty
        if not updates and not self.pending and not self.doomed:
            self.epoch = epoch
            return None
        plan = FlushPlan()
        plan.updates = updates
        if self.pending:
            _group(self.pending, plan.inserts)
            plan.added = list(self.pending)
        if self.doomed:
            _group(self.doomed, plan.deletes)
            plan.doomed = list(self.doomed)
        for info, objs in plan.inserts.items():
            _native.validate(info.layout, objs, self.reject_nan, self.token, True)
        for info, objs in updates.items():
            _native.validate(info.layout, objs, self.reject_nan, self.token, False)
        order = list(plan.inserts)
        if updates:
            order += updates
        if plan.deletes:
            order += plan.deletes
        plan.order = table_order(order) if len(order) > 1 else order
        if plan.inserts:
            self._order_rows(plan)
        for objs in plan.inserts.values():
            _native.begin_write(objs)
        for objs in updates.values():
            _native.begin_write(objs)
        self.epoch = epoch
        return plan

    def _holds_mutable(self) -> bool:
        """Whether a loaded object may hold a JSON value changed in place, which no
        assignment marks: then a flush compares them, whatever the assignment count."""
        if len(self.identity) != self.models_seen:
            self.models_seen = len(self.identity)
            self.mutable = False
            for model in self.identity:
                if model.__sc_info__.mutable:
                    self.mutable = True
                    break
        return self.mutable

    def _order_rows(self, plan: FlushPlan) -> None:
        """Puts the new rows of a self-referencing table each after the new row it refers
        to, and refuses new rows of tables that refer to each other (neither could go
        first). Parents of other tables are inserted first by the table order; validate
        has refused references to new objects of other sessions."""
        position: Dict[Any, int] = {}  # made when a reference needs it
        single = len(plan.order) == 1
        for info, objs in plan.inserts.items():
            edges: Dict[int, List[Model]] = {}  # id(parent) -> children, within this table
            for f, target in info.references:
                if target is not info.model:
                    if single:
                        continue  # the model it refers to has nothing in this flush
                    if not position:
                        position = {i.model: n for n, i in enumerate(plan.order)}
                    if position.get(target, -1) < position[info.model]:
                        continue  # parents first by the table order
                values = _native.field_values(objs, f.position)
                for child, parent in zip(objs, values):
                    if type(parent) is not target or _native.state(parent) != _PENDING:
                        continue
                    if target is info.model:
                        edges.setdefault(id(parent), []).append(child)
                    elif position[target] > position[info.model]:
                        raise ValueError("%s.%s refers to a new %s, but %s and %s refer to each other, so one of them "
                                         "must be flushed first" % (info.name, f.name, target.__name__, info.name,
                                                                    target.__name__))
            if edges:
                plan.inserts[info] = _parents_first(info, objs, edges)

    def _emit(self, plan: FlushPlan) -> Steps:
        # Table by table, parents first, each table's inserts then its updates: rows are
        # locked in the order of the references, so that two flushes that each insert a
        # child and update its parent (an order and its product's stock) never hold the
        # child's lock on the parent (taken by the foreign key check) while waiting for
        # each other's parent row. A table that refers to one later in the order (tables
        # that refer to each other) is updated after every insert, since its changed
        # rows may refer to rows inserted after it.
        position: Dict[Any, int] = {}  # made when an update needs it
        later: List[ModelInfo] = []
        for info in plan.order:
            if info in plan.inserts:
                yield from self._insert(info, plan.inserts[info])
                if info.incoming:
                    self._changed_collections(info, plan.inserts[info], False)
            if info in plan.updates:
                if len(plan.order) > 1 and not position:
                    position = {i.model: n for n, i in enumerate(plan.order)}
                if position and any(position.get(t, -1) > position[info.model] for _, t in info.references):
                    later.append(info)
                else:
                    yield from self._update(info, plan.updates[info])
        for info in later:
            yield from self._update(info, plan.updates[info])
        for info in reversed(plan.order):
            if info in plan.deletes:
                yield from self._delete(info, plan.deletes[info])

    def _finalize(self, plan: FlushPlan) -> None:
        for done, keys in ((self.pending, plan.added), (self.doomed, plan.doomed)):
            if len(done) == len(keys):
                done.clear()  # nothing was added while the flush ran
            else:
                for key in keys:
                    done.pop(key, None)

    def _insert(self, info: ModelInfo, objs: List[Model]) -> Steps:
        d = self.dialect
        m = d.model(info)
        if m.filled or info.mutable:
            yield from self._insert_filled(info, objs)
            return
        layout = info.layout
        idm = self.identity.setdefault(info.model, {})
        if info.pk.generated:
            keys = _native.field_values(objs, m.pk_index)
            if keys.count(None) == len(keys):
                generated, explicit = objs, []
            else:
                generated = [o for o, k in zip(objs, keys) if k is None]
                explicit = [o for o, k in zip(objs, keys) if k is not None]
        else:
            generated, explicit = [], objs
        if explicit:
            cols = m.insert_all
            for chunk in _chunks(explicit, d.rows_per_insert(len(cols))):
                params = _native.insert_params(layout, chunk, cols, m.dumpers, True)
                yield Execute(d.insert_sql(info, cols, len(chunk), False), params)
                _native.mark_flushed(layout, chunk, idm, None)
                self.inserted.extend(chunk)
        if not generated:
            return
        cols = m.insert_generated
        if len(generated) == 1 and d.engine.last_id_cheaper:
            # One row, whose key the driver gives for less than RETURNING would cost.
            sql = m.insert_one
            if sql is None:
                sql = m.insert_one = d.insert_sql(info, cols, 1, False)
            key = yield InsertId(sql, _native.insert_params(layout, generated, cols, m.dumpers, False)[0])
            _native.mark_flushed(layout, generated, idm, [key])
            self.inserted.extend(generated)
            return
        # One row per statement when a row may refer to another row of the same batch, or
        # when nothing else can say which key went to which row.
        multi = d.returning and not info.self_referencing and (cols or d.engine.multi_row_default_insert)
        size = d.rows_per_insert(len(cols)) if multi else 1
        for chunk in _chunks(generated, size):
            if d.returning:
                params = _native.insert_params(layout, chunk, cols, m.dumpers, True)
                rows = yield Returning(d.insert_sql(info, cols, len(chunk), True), params)
                if len(rows) != len(chunk):
                    raise StaleDataError("INSERT into %s returned %d keys for %d rows" % (m.table, len(rows), len(chunk)))
                # Keys are generated in ascending order as the rows are inserted; RETURNING
                # promises no order, so the sorted keys are matched to the rows in order.
                keys = sorted(r[0] for r in rows) if len(rows) > 1 else [rows[0][0]]
            else:
                params = _native.insert_params(layout, chunk, cols, m.dumpers, False)[0]
                keys = [(yield InsertId(d.insert_sql(info, cols, 1, False), params))]
            _native.mark_flushed(layout, chunk, idm, keys)
            self.inserted.extend(chunk)

    def _insert_filled(self, info: ModelInfo, objs: List[Model]) -> Steps:
        """The INSERTs of a model with server defaults or JSON fields. A field with a
        server default left None is left out, and the value the database gave it is read
        back (RETURNING, or a SELECT by key where there is none) into the object, which
        then holds what its row holds; objects are grouped by the fields they leave out.
        A JSON field's snapshot is the text sent."""
        d = self.dialect
        m = d.model(info)
        layout = info.layout
        idm = self.identity.setdefault(info.model, {})
        groups: Dict[Tuple[bool, Tuple[int, ...]], List[Model]] = {}
        keys_now = _native.field_values(objs, m.pk_index) if info.pk.generated else [0] * len(objs)
        nones = [[v is None for v in _native.field_values(objs, i)] for i in m.filled]
        for n, obj in enumerate(objs):
            left = tuple(i for i, none in zip(m.filled, nones) if none[n])
            groups.setdefault((keys_now[n] is None, left), []).append(obj)
        for (gen, left), group in groups.items():
            cols = tuple(i for i in m.insert_all if i not in left and not (gen and i == m.pk_index))
            # Read back: the generated key (matched in key order), or the key, to match rows.
            back = left if gen else (m.key_indexes + left if left else ())
            reads = gen or bool(left)
            if not reads:
                size = d.rows_per_insert(len(cols))
            elif d.returning and (cols or d.engine.multi_row_default_insert) and not (gen and info.self_referencing):
                size = d.rows_per_insert(len(cols))
            else:
                size = 1
            for chunk in _chunks(group, size):
                params = _native.insert_params(layout, chunk, cols, m.dumpers, True)
                written = (cols, params, True) if info.mutable else None
                keys: Optional[List[Any]] = None
                filled: Optional[Tuple[Tuple[int, ...], List[Tuple[Any, ...]]]] = None
                if d.returning and (gen or left):
                    rows = yield Returning(d.insert_sql(info, cols, len(chunk), gen, back), params)
                    if len(rows) != len(chunk):
                        raise StaleDataError("INSERT into %s returned %d rows for %d" % (m.table, len(rows), len(chunk)))
                    rows = [tuple(r) for r in rows]
                    if gen:
                        rows.sort(key=lambda r: r[0])  # keys ascend with the rows, as in _insert
                        keys = [r[0] for r in rows]
                        values = [r[1:] for r in rows]
                    else:
                        width = len(m.key_indexes)
                        by_key = {self._loaded_key(info, r[:width]): r[width:] for r in rows}
                        values = [by_key[info.key_of(o)] for o in chunk]
                    filled = (left, [self._load_values(m, left, v) for v in values]) if left else None
                elif gen:
                    keys = [(yield InsertId(d.insert_sql(info, cols, 1, False), params))]
                else:
                    yield Execute(d.insert_sql(info, cols, len(chunk), False), params)
                if left and filled is None:
                    key = keys[0] if keys is not None else info.key_of(chunk[0])
                    filled = (left, [(yield from self._read_back(info, key, left))])
                _native.mark_flushed(layout, chunk, idm, keys, written, filled)
                self.inserted.extend(chunk)

    def _loaded_key(self, info: ModelInfo, parts: Tuple[Any, ...]) -> Any:
        m = self.dialect.model(info)
        loaded = self._load_values(m, m.key_indexes, parts)
        return loaded[0] if len(loaded) == 1 else loaded

    def _load_values(self, m: Any, idxs: Tuple[int, ...], values: Tuple[Any, ...]) -> Tuple[Any, ...]:
        if m.loaders is None:
            return tuple(values)
        return tuple(v if v is None or m.loaders[i] is None else m.loaders[i](v) for i, v in zip(idxs, values))

    def _read_back(self, info: ModelInfo, key: Any, idxs: Tuple[int, ...]) -> Steps:
        """The values of fields `idxs` of the row with this key (where INSERT returns none)."""
        d = self.dialect
        parts = (key,) if not info.composite else key
        where = tuple(f == part for f, part in zip(info.key, parts))
        params: List[Any] = []
        for w in where:
            w.params(d, params)
        rows = yield Fetch(d.select_sql(info, where, (), False, False, False), params)
        return self._load_values(d.model(info), idxs, tuple(rows[0][i] for i in idxs))

    def _update(self, info: ModelInfo, dirty: List[Model]) -> Steps:
        d = self.dialect
        m = d.model(info)
        idm = self.identity.setdefault(info.model, {})
        batch = d.engine.update_rows if not info.composite else 1  # CASE batches match one key column
        version = info.version.position if info.version is not None else -1
        if version >= 0 and batch <= 1 and not d.counts_many:
            # Counting the rows that hold the keys afterwards cannot tell a stale version
            # from the one this UPDATE wrote: one statement per batch, whose count is exact.
            batch = 100
        for idxs, params, objs in _native.update_groups(info.layout, dirty, m.dumpers, version):
            # The kernel has set each object's version to the next one; recorded first, so
            # that a rollback gives each back the version its row has again.
            if version >= 0:
                self.versions.extend(zip(objs, [p[-1] for p in params]))
            if self.depth:
                self.updated.extend(objs)
            if info.incoming and any(f.position in idxs for _, f in info.incoming):
                self._changed_collections(info, objs, True)
            if batch > 1 and len(params) > 1:
                count = 0
                for chunk in _chunks(params, batch):
                    count += yield Execute(d.update_case_sql(info, idxs, len(chunk)), case_params(len(idxs), chunk))
            else:
                count = yield ExecuteMany(d.update_sql(info, idxs), params)
            if count < 0:
                # The driver cannot count what executemany matched (asyncpg): count the
                # rows that hold these keys now, in this transaction, which holds them
                # locked since the UPDATE.
                count = yield from self._count_keys(info, objs)
            if count != len(params):
                if version >= 0:
                    raise (yield from self._stale(info, objs, [p[-1] for p in params], count, "UPDATE"))
                raise StaleDataError("UPDATE of %s matched %d of %d rows: rows were deleted since they were loaded"
                                     % (m.table, count, len(params)))
            _native.mark_flushed(info.layout, objs, idm, None, (idxs, params, False) if info.mutable else None)

    def _stale(self, info: ModelInfo, objs: List[Model], versions: List[Any], count: int, what: str) -> Steps:
        """The StaleDataError for a write of versioned rows that matched `count` of them,
        naming an object whose row no longer has the version it was based on. With one
        row it is that one; with more, the rows are read again (in this transaction,
        which holds the rows it wrote) for one this statement did not write: an UPDATE's
        row without the next version, a DELETE's row still there. A row that another
        writer took to the very version this UPDATE wrote cannot be told apart: then
        the error names the batch."""
        d = self.dialect
        keys = _native.key_params(info.layout, objs)
        table = d.model(info).table
        stale = 0 if len(objs) == 1 else -1
        if stale < 0:
            where = (InList.of_keys(info.pk, keys),)
            params: List[Any] = []
            where[0].params(d, params)
            rows = yield Fetch(d.select_sql(info, where, (), False, False, False), params)
            pk, ver = info.fields.index(info.pk), info.version_field().position
            now = {r[pk]: r[ver] for r in rows}
            for i, (key, old) in enumerate(zip(keys, versions)):
                if (key in now) if what == "DELETE" else (key not in now or now[key] != old + 1):
                    stale = i
                    break
        if stale < 0:
            return StaleDataError("%s of %s matched %d of %d rows: rows of these %s objects were changed or deleted "
                                  "since they were loaded (%s %s)" % (what, table, count, len(objs), info.name,
                                                                      info.pk.name, ", ".join(map(repr, keys))))
        return StaleDataError("%s with %s %r was changed or deleted since it was loaded: its row no longer has "
                              "version %r (%s of %s matched %d of %d rows)"
                              % (info.name, info.pk.name, keys[stale], versions[stale], what, table, count, len(objs)))

    def _count_keys(self, info: ModelInfo, objs: List[Model]) -> Steps:
        d = self.dialect
        params: List[Any] = []
        if info.composite:
            total = 0
            keys = _native.key_params(info.layout, objs)
            for chunk in _chunks(keys, max(1, d.max_params // (2 * len(info.key)))):
                params = []
                d.key_params(info, chunk, params)
                rows = yield Fetch(d.count_keys_sql(info, len(chunk)), params)
                total += int(rows[0][0])
            return total
        where = (InList.of_keys(info.pk, _native.key_params(info.layout, objs)),)
        where[0].params(d, params)
        rows = yield Fetch(d.select_sql(info, where, (), False, False, True), params)
        return int(rows[0][0])

    def _delete(self, info: ModelInfo, objs: List[Model]) -> Steps:
        d = self.dialect
        m = d.model(info)
        idm = self.identity.get(info.model, {})
        keys = _native.key_params(info.layout, objs)
        if info.version is not None:
            yield from self._delete_versioned(info, objs, keys)
            keys = []
        for chunk in _chunks(list(dict.fromkeys(keys)), max(1, d.max_params // (2 * len(info.key)))):
            params: List[Any] = []
            if info.composite:
                d.key_params(info, chunk, params)
            elif len(chunk) == 1:
                params.append(d.dump(info.pk, chunk[0]))
            else:
                d.in_params(info.pk, chunk, params)
            count = yield Execute(d.delete_sql(info, len(chunk)), params)
            if count >= 0 and count != len(chunk):
                raise StaleDataError("DELETE from %s matched %d of %d rows: rows were deleted since they were loaded"
                                     % (m.table, count, len(chunk)))
        for key in _native.key_params(info.layout, objs):
            idm.pop(key, None)
        if info.incoming:
            self._changed_collections(info, objs, True)
        _native.transition(objs, Transition.REMOVED)
        self.removed.extend(objs)

    def _delete_versioned(self, info: ModelInfo, objs: List[Model], keys: List[Any]) -> Steps:
        """DELETE of rows that still have the objects' versions: one statement per chunk,
        whose row count is exact on every driver."""
        d = self.dialect
        versions = _native.field_values(objs, info.version_field().position)
        size = max(1, min(256, d.max_params // 4))
        for start in range(0, len(objs), size):
            chunk_objs, chunk_keys = objs[start:start + size], keys[start:start + size]
            chunk_versions = versions[start:start + size]
            n = 1 << (len(chunk_keys) - 1).bit_length()
            count = yield Execute(d.delete_sql(info, n), d.versioned_delete_params(info, chunk_keys, chunk_versions))
            if count != len(chunk_keys):
                raise (yield from self._stale(info, chunk_objs, chunk_versions, count, "DELETE"))

    def _changed_collections(self, info: ModelInfo, objs: List[Model], loaded_too: bool) -> None:
        """Rows of `info` were written: the loaded collections they join or leave (the
        one-to-many and many-to-many relations through their reference fields) are not
        loaded any more, on the objects of this session, so that none is read stale."""
        for rel, f in info.incoming:
            parents = self.identity.get(rel.model)
            if not parents:
                continue
            keys = set(_native.field_values(objs, f.position))
            if loaded_too:  # the value the row had: the collection the object leaves
                for obj in objs:
                    try:
                        keys.add(_native.loaded(obj, f.position))
                    except LookupError:
                        pass
            hit = [parents[k] for k in keys if k is not None and k in parents]
            if hit:
                _native.clear_related(hit, rel.index)

    def _changed_all(self, info: ModelInfo, fields: Sequence["Field[Any]"]) -> None:
        """A set-based write changed rows of `info` that may be anywhere: every loaded
        collection through `fields` (all of the model's, for a delete) is dropped."""
        for rel, f in info.incoming:
            for g in fields:
                if f is g:
                    parents = self.identity.get(rel.model)
                    if parents:
                        _native.clear_related(list(parents.values()), rel.index)
                    break

    def upsert(self, objs: Sequence[Model]) -> Steps:
        """Writes each object whole: its row is inserted, or updated when its key exists.
        The objects become persistent in this session."""
        yield from self.flush()
        d = self.dialect
        groups: Dict[ModelInfo, List[Model]] = {}
        for obj in objs:
            info = info_of(type(obj))
            if info.version is not None:
                raise ValueError("upsert() writes whole rows without checking %s.%s, the version column: add the "
                                 "object and flush it instead" % (info.name, info.version.name))
            owner = _native.owner(obj)
            if owner and owner != self.token:
                raise _held_elsewhere(obj, owner)
            key = info.key_of(obj)
            if key is None or (info.composite and None in key):
                raise ValueError("upsert() needs the primary key of %r" % (obj,))
            there = self.identity.get(info.model, {}).get(key)
            if there is not None and there is not obj:
                raise ValueError("another %s with primary key %r is already in this session" % (info.name, key))
            groups.setdefault(info, []).append(obj)
        for info, group in groups.items():
            _native.validate(info.layout, group, self.reject_nan, self.token, False)  # every column is written
            _native.begin_write(group)
        self.writing = True
        for info in table_order(groups):
            m = d.model(info)
            idm = self.identity.setdefault(info.model, {})
            for chunk in _chunks(groups[info], d.rows_per_insert(len(m.columns))):
                params = _native.insert_params(info.layout, chunk, m.insert_all, m.dumpers, True)
                yield Execute(d.upsert_sql(info, len(chunk)), params)
                for obj in chunk:
                    self.pending.pop(id(obj), None)
                _native.transition(chunk, Transition.ATTACH, self.token)
                _native.mark_flushed(info.layout, chunk, idm, None,
                                     (m.insert_all, params, True) if info.mutable else None)
        self.writing = False

    # ---- reads

    def select(self, info: ModelInfo, where: Sequence[AnyCondition], order: Sequence[AnyOrdering],
               limit: Optional[int], offset: Optional[int], mode: str, lock: str = "") -> Steps:
        d = self.dialect
        if mode == FIRST:
            limit = 1
        # Written (and its columns checked) before the flush: a condition on a model that
        # is not in the query raises before anything runs.
        plan = d.select_plan(info, where, order, limit is not None, offset is not None, mode == COUNT, lock)
        if not self.clean():
            yield from self.reads_flush()
        params: List[Any] = []
        if where:
            where_params(d, plan.where, where, params)
        if limit is not None:
            params.append(limit)
        if offset is not None:
            params.append(offset)
        rows = yield (LockingFetch(plan.sql, params) if lock else Fetch(plan.sql, params))
        if mode == COUNT:
            return int(rows[0][0])
        # A locking read refreshes the objects already loaded: what it locked is the row
        # as it is now, which is what the caller goes on to change.
        objs = _native.materialize(info.layout, rows, self.identity.setdefault(info.model, {}),
                                   d.model(info).loaders, self.token, bool(lock))
        if mode == FIRST:
            return objs[0] if objs else None
        return objs

    def query(self, sel: Select, mode: str, loads: Sequence[AnyRelation]) -> Steps:
        """A SELECT across tables, or of columns and expressions: objects of the query's
        model (with `loads` loaded), or tuples. Its text is written (and its shape
        checked) before the flush, so that bad input runs nothing."""
        d = self.dialect
        if mode == FIRST or mode == ONE:
            sel.limit = 1
        plan = select_plan(d, sel, COUNT_ROWS if mode == COUNT else ROWS)
        loaders = plan.loaders
        if loads:
            self._check_loads(sel.info, loads)
        if not self.clean():
            yield from self.reads_flush()
        params: List[Any] = []
        plan_params(d, plan, sel, params)
        rows = yield Fetch(plan.sql, params)
        if mode == COUNT:
            return int(rows[0][0])
        if sel.cols is None:
            info = sel.info
            objs = _native.materialize(info.layout, rows, self.identity.setdefault(info.model, {}),
                                       d.model(info).loaders, self.token)
            if loads and objs:
                yield from self._load(objs, info, loads)
            if mode == FIRST:
                return objs[0] if objs else None
            return objs
        if loaders is not None or (rows and type(rows[0]) is not tuple):
            rows = _native.convert_rows(rows if type(rows) is list else list(rows), loaders)  # pyright: ignore[reportUnknownArgumentType]
        if mode == FIRST:
            return rows[0] if rows else None
        if mode == ONE:
            return rows[0][0] if rows else None
        return rows if type(rows) is list else list(rows)  # pyright: ignore[reportUnknownVariableType]

    def get(self, model: Type[M], key: Any) -> Steps:
        info = info_of(model)
        if info.composite:
            key = info.check_key(key)
        else:
            if key is None:
                raise TypeError("get() takes a primary key value, got None")
            key = info.pk._check(key)
        idm = self.identity.get(model)
        obj = idm.get(key) if idm else None
        if obj is not None:
            return None if self.doomed and _native.state(obj) == _DELETED else obj
        if info.composite:
            where = tuple(f == part for f, part in zip(info.key, key))
            found = yield from self.select(info, where, (), None, None, FIRST)
            return found
        # By a single-column key: the model's statement, written once, and the key as its
        # parameter, without a condition object or a shape to look up.
        d = self.dialect
        m = d.model(info)
        sql = m.get_sql
        if sql is None:
            sql = m.get_sql = d.select_sql(info, (info.pk == key,), (), True, False, False)
        if not self.clean():
            yield from self.reads_flush()
        dumper = m.dumpers[m.pk_index] if m.dumpers is not None else None
        rows = yield Fetch(sql, [key if dumper is None else dumper(key), 1])
        objs = _native.materialize(info.layout, rows, self.identity.setdefault(model, {}), m.loaders, self.token)
        return objs[0] if objs else None

    def load_related(self, objs: Iterable[Model], field: "AnyField") -> Steps:
        if not isinstance(field, Field) or field.target is None:
            raise TypeError("load_related() takes a foreign-key field, like Post.author_id; got %r" % (field,))
        items = list(objs)
        for obj in items:
            if not isinstance(obj, field.model):
                raise ValueError("load_related(..., %s.%s) takes %s objects, got a %s"
                                 % (field.model.__name__, field.name, field.model.__name__, type(obj).__name__))
        if not self.clean():
            yield from self.reads_flush()
        info = field.target.__sc_info__
        values = _native.field_values(items, field.position)
        keys = toolkit.distinct_keys(values, info.pk.kind == Kind.STR) if info.pk.kind in (Kind.INT, Kind.STR) \
            else list(dict.fromkeys(v for v in values if v is not None))
        idm = self.identity.setdefault(info.model, {})
        missing = [k for k in keys if k not in idm]
        if missing:
            yield from self.select(info, (InList.of_keys(info.pk, missing),), (), None, None, ALL)
        out: Dict[Any, Model] = {}
        if self.doomed:
            for k in keys:
                found = idm.get(k)
                if found is not None and _native.state(found) != _DELETED:
                    out[k] = found
        else:  # an object is deleted (and still in the identity map) only while it is doomed
            for k in keys:
                found = idm.get(k)
                if found is not None:
                    out[k] = found
        return out

    def load(self, objs: Sequence[Model], relations: Sequence[AnyRelation]) -> Steps:
        """Loads `relations` on `objs` (objects of this session, of one model): one
        statement per relation. A relation applies to the objects given, when it is a
        relation of their model, and to the objects that the relations before it
        loaded, when it is a relation of theirs: ``load(authors, Author.posts,
        Post.tags)`` loads the posts of the authors, then the tags of those posts."""
        items = list(objs)
        if not relations:
            raise TypeError("load() takes the relations to load, like Author.posts")
        first = relations[0]
        if not isinstance(first, Relation):
            raise TypeError("load() takes relations, like Author.posts; got %r" % (first,))
        info = info_of(type(items[0])) if items else first.resolve().model.__sc_info__
        for obj in items:
            if type(obj) is not info.model:
                raise ValueError("load() takes objects of one model; got a %s (%r) among %s objects"
                                 % (type(obj).__name__, obj, info.name))
        self._check_loads(info, relations)
        for obj in items:
            if _native.owner(obj) != self.token or _native.state(obj) not in (_PENDING, _PERSISTENT):
                raise ValueError("%r is not an object of this session (it is %s): load() reads the rows of this "
                                 "session's objects; add it first" % (obj, State(_native.state(obj)).name.lower()))
        if not self.clean():
            yield from self.reads_flush()
        if items:
            yield from self._load(items, info, relations)
        return items

    def _check_loads(self, info: ModelInfo, relations: Sequence[AnyRelation]) -> None:
        """Each relation is one of the loaded objects' model, or of the model an earlier
        relation loads."""
        reached = {info.model}
        for rel in relations:
            if not isinstance(rel, Relation):
                raise TypeError("load() takes relations, like Author.posts; got %r" % (rel,))
            rel.resolve()
            if rel.model not in reached:
                raise ValueError("load(%s) is a relation of %s objects, and the objects here are %s objects (or "
                                 "loaded for them by the relations before it)" % (rel.label, rel.model.__name__,
                                                                                info.name))
            reached.add(rel.target)

    def _load(self, objs: List[Model], info: ModelInfo, relations: Sequence[AnyRelation]) -> Steps:
        # The objects each relation applies to, by model: kept only for a model that a
        # later relation loads for (objects hash by identity).
        have: Dict[Any, List[Model]] = {info.model: objs}
        for i, rel in enumerate(relations):
            found = yield from self._load_one(rel, have[rel.model])
            if found and any(later.model is rel.target for later in relations[i + 1:]):
                known = have.get(rel.target)
                have[rel.target] = list(dict.fromkeys(known + found if known else found))

    def _load_one(self, rel: AnyRelation, owners: List[Model]) -> Steps:
        """One relation on `owners`: at most one statement. Returns the objects loaded."""
        d = self.dialect
        target = rel.target.__sc_info__
        idm = self.identity.setdefault(target.model, {})
        if rel.kind == RelationKind.MANY_TO_ONE:
            assert rel.local is not None
            values = _native.field_values(owners, rel.local.position)
            keys = _distinct(values, target.pk.kind)
            missing = [k for k in keys if k not in idm]
            if missing:
                yield from self.select(target, (InList.of_keys(target.pk, missing),), (), None, None, ALL)
            _native.link_related(owners, rel.index, rel.local.position, idm)
            return [o for o in (idm.get(k) for k in keys) if o is not None and _native.state(o) != _DELETED]
        info = rel.model.__sc_info__
        keys = _distinct(_native.key_params(info.layout, owners), info.pk.kind)
        if not keys:
            _native.group_related(owners, rel.index, [], [])
            return []
        if rel.kind == RelationKind.ONE_TO_MANY:
            assert rel.remote is not None
            children = yield from self.select(target, (InList.of_keys(rel.remote, keys),), (target.pk.asc(),), None,
                                              None, ALL)
            _native.group_related(owners, rel.index, children, rel.remote.position)
            return children
        assert rel.link_a is not None
        params: List[Any] = []
        d.in_params(rel.link_a, keys, params)
        rows = yield Fetch(link_sql(d, rel, len(keys)), params)
        n = len(target.fields)
        rows = [tuple(r) for r in rows] if rows and type(rows[0]) is not tuple else rows
        found = _native.materialize(target.layout, [r[:n] for r in rows], idm, d.model(target).loaders, self.token)
        loader = d.engine.loaders.get(rel.link_a.kind)
        links = [r[n] if loader is None or r[n] is None else loader(r[n]) for r in rows]
        _native.group_related(owners, rel.index, found, links)
        return found

    # ---- set-based writes

    def update_where(self, info: ModelInfo, where: Sequence[AnyCondition], values: Dict[str, Any]) -> Steps:
        """UPDATE of the rows `where` selects; returns the number of rows it matched. The
        objects of the identity map whose rows it changed get the new values (and take
        them as loaded): from RETURNING where the engine has it, else read back by key."""
        sets, objects = self._sets(info, values)
        d = self.dialect
        plan = update_plan(d, info, sets, where, ())  # written (and checked) before anything runs
        if not self.clean():
            yield from self.flush()
        if objects:  # a pending object got its key from the flush
            sets = [(f, getattr(v, f.target.__sc_info__.pk.name) if isinstance(v, Model) else v)  # type: ignore[union-attr]  # pyright: ignore[reportOptionalMemberAccess]
                    for f, v in sets]
        idm = self.identity.get(info.model)
        params: List[Any] = []
        update_params(d, plan, sets, where, params)
        self.writing = True
        if idm:
            idxs = tuple(f.position for f, _ in sets)
            # What the objects held before, where undoing the write on them needs it: a
            # rollback gives versioned objects their rows' versions back, and one to a
            # savepoint detaches the objects the write changed.
            objs = list(idm.values()) if info.version is not None or self.depth else None
            before = [_native.field_values(objs, i) for i in idxs] if objs is not None else None
            if d.update_returning:
                rows = yield Returning(update_plan(d, info, sets, where, idxs).sql, params)
                count = len(rows)
                _native.refresh(info.layout, rows, idxs, idm, _refresh_loaders(d, info, idxs))
            else:
                count = yield Execute(plan.sql, params)
                yield from self._reread(info, idm, idxs)
            if objs is not None and before is not None:
                self._written(info, objs, idxs, before)
        else:
            count = yield Execute(plan.sql, params)
        if info.incoming:
            self._changed_all(info, [f for f, _ in sets])
        self.writing = False
        return count

    def _written(self, info: ModelInfo, objs: List[Model], idxs: Tuple[int, ...], before: List[List[Any]]) -> None:
        """Records the objects whose values a set-based UPDATE changed, as a flush records
        those it updates. Objects it left as they were (rows it did not match, or set to
        what they held) agree with their rows whatever is undone, and are left out."""
        after = [_native.field_values(objs, i) for i in idxs]
        changed = [n for n in range(len(objs)) if any(_differ(b[n], a[n]) for b, a in zip(before, after))]
        if info.version is not None:
            v = idxs.index(info.version.position)
            self.versions.extend((objs[n], before[v][n]) for n in changed if before[v][n] != after[v][n])
        if self.depth:
            self.updated.extend(objs[n] for n in changed)

    def _reread(self, info: ModelInfo, idm: Dict[Any, Model], idxs: Tuple[int, ...]) -> Steps:
        """The fields `idxs` of the identity map's objects of `info`, read again."""
        d = self.dialect
        pk = info.pk
        sel = Select(info, (pk,) + tuple(info.fields[i] for i in idxs), where=(InList.of_keys(pk, list(idm)),))
        params: List[Any] = []
        select_params(d, sel, ROWS, params)
        rows = yield Fetch(select_sql(d, sel, ROWS), params)
        _native.refresh(info.layout, rows if type(rows) is list else list(rows), idxs, idm,  # pyright: ignore[reportUnknownArgumentType]
                        _refresh_loaders(d, info, idxs))

    def delete_where(self, info: ModelInfo, where: Sequence[AnyCondition]) -> Steps:
        """DELETE of the rows `where` selects; returns the number of rows deleted. The
        objects of the identity map whose rows it deleted leave it, as after a flushed
        delete: found by RETURNING where the engine has it, else by reading which of
        their keys are left."""
        d = self.dialect
        sql = delete_sql(d, info, where, False)  # written (and checked) before anything runs
        if not self.clean():
            yield from self.flush()
        idm = self.identity.get(info.model)
        params: List[Any] = []
        for w in where:
            w.params(d, params)
        self.writing = True
        if idm and d.delete_returning:
            rows = yield Returning(delete_sql(d, info, where, True), params)
            count = len(rows)
            m = d.model(info)
            loader = m.loaders[m.pk_index] if m.loaders is not None else None
            gone = [r[0] if loader is None else loader(r[0]) for r in rows]
        else:
            count = yield Execute(sql, params)
            gone = []
            if idm:
                pk = info.pk
                keys = list(idm)
                sel = Select(info, (pk,), where=(InList.of_keys(pk, keys),))
                left_params: List[Any] = []
                select_params(d, sel, ROWS, left_params)
                left = yield Fetch(select_sql(d, sel, ROWS), left_params)
                kept = {r[0] for r in _native.convert_rows(list(left), row_loaders(d, (pk,)))}
                gone = [k for k in keys if k not in kept]
        if gone and idm:
            objs = [o for o in (idm.pop(k, None) for k in gone) if o is not None]
            _native.transition(objs, Transition.REMOVED)
            self.removed.extend(objs)
        self._changed_all(info, info.fields)
        self.writing = False
        return count

    def _sets(self, info: ModelInfo, values: Dict[str, Any]) -> Tuple[List[Tuple["Field[Any]", Any]], bool]:
        """update()'s assignments, checked: fields of the model (not its key), values of
        the field's type (NOT NULL and NaN as a flush checks them), expressions of the
        model's own columns of a type the field can hold, no aggregates; and whether a
        value is an object whose key the flush before the statement gives it."""
        if not values:
            raise ValueError("update() takes the fields to set, like update(stock=Product.stock - 1)")
        out: List[Tuple[Field[Any], Any]] = []
        objects = False
        for name, value in values.items():
            f = info.model.__dict__.get(name)
            if not isinstance(f, Field):
                raise TypeError("update() got %r, which is not a field of %s" % (name, info.name))
            if f.primary_key:
                raise ValueError("update() cannot set %s.%s, the primary key: the identity map knows rows by it"
                                 % (info.name, name))
            if isinstance(value, Selectable):
                value = Subquery(value, SCALAR)  # pyright: ignore[reportUnknownArgumentType]
            if isinstance(value, Expression):
                # Its columns and aggregates are checked as its shape is compiled (once).
                if value.kind is not None and value.kind != f.kind and not (
                        value.kind == Kind.INT and f.kind in (Kind.FLOAT, Kind.DECIMAL)):
                    raise TypeError("%s.%s: expected %s, got an expression of %s"
                                    % (info.name, name, f.type.__name__, value.kind.name.lower()))  # pyright: ignore[reportUnknownMemberType]
            elif value is None:
                if not f.nullable:
                    raise ValueError("%s.%s is NOT NULL but is None" % (info.name, name))
            elif f.target is not None and isinstance(value, f.target) and \
                    getattr(value, f.target.__sc_info__.pk.name) is None:
                # An object without its key yet: the flush before the statement inserts it
                # when it is pending here; anything else would never get one.
                if _native.owner(value) != self.token or _native.state(value) != _PENDING:
                    raise ValueError("%s.%s is set to a %s that has no primary key and is not pending in this "
                                     "session: add it first" % (info.name, name, f.target.__name__))
                objects = True
            else:
                value = f.coerce(value)
                if self.reject_nan and isinstance(value, float) and value != value:
                    raise ValueError("%s.%s is NaN, which this database cannot store" % (info.name, name))
            out.append((f, value))  # pyright: ignore[reportUnknownArgumentType]
        ver = info.version
        if ver is not None and ver.name not in values:
            # A row a set-based write changed is no longer the row an object was loaded
            # with: a flush based on the version read before it must fail, not write.
            out.append((ver, ver + 1))
        return out, objects

    # ---- transaction ends

    def committed(self) -> None:
        self.inserted.clear()
        self.removed.clear()
        self.versions.clear()
        self.updated.clear()

    def mark(self) -> Tuple[int, int, int, int]:
        """Where a savepoint begins in what this transaction wrote."""
        return len(self.inserted), len(self.removed), len(self.updated), len(self.versions)

    def rolled_back_to(self, mark: Tuple[int, int, int, int]) -> None:
        """The transaction went back to a savepoint: what was written since, and what
        was changed since without being written, is undone on the objects as a rollback
        does, and only that. Objects inserted since are transient again; those updated,
        deleted or changed since are detached with their snapshots forgotten (their rows
        hold what they held at the savepoint); objects added or marked for deletion
        since are let go or kept. What came before the savepoint stays as it was."""
        ins, rem, upd, ver = mark
        inserted, removed, updated = self.inserted[ins:], self.removed[rem:], self.updated[upd:]
        del self.inserted[ins:], self.removed[rem:], self.updated[upd:]
        self._restore_versions(self.versions[ver:])
        del self.versions[ver:]
        self._restore_references(inserted)
        gone = {id(o) for o in inserted}
        for obj in inserted:
            info = type(obj).__sc_info__
            _native.transition([obj], Transition.UNINSERT, 0, info.pk.position if info.pk.generated else -1)
        changed = [o for o in updated if id(o) not in gone]
        self._forget(gone)
        # Changed without being written: a savepoint begins with a flush, so every
        # difference from a snapshot now was made inside it.
        changed += self.dirty()
        _native.transition(changed, Transition.EXPIRE)
        expired = {id(o) for o in changed}
        self._forget(expired)
        _native.transition(removed, Transition.EXPIRE)
        _native.transition([o for o in self.doomed.values() if id(o) not in expired], Transition.ATTACH, self.token)
        _native.transition(self.pending.values(), Transition.RELEASE)
        self.doomed.clear()
        self.pending.clear()
        self.epoch = -1
        self.writing = False

    def _forget(self, ids: Set[int]) -> None:
        """Takes the objects with these ids out of the identity map."""
        if not ids:
            return
        for idm in self.identity.values():
            for key in [k for k, o in idm.items() if id(o) in ids]:
                del idm[key]

    def _restore_versions(self, bumped: List[Tuple[Model, Any]]) -> None:
        for obj, old in reversed(bumped):  # the oldest last: an object bumped twice gets its first version
            setattr(obj, type(obj).__sc_info__.version_field().name, old)

    def rolled_back(self) -> None:
        """Nothing this transaction wrote exists any more: objects it inserted are
        transient again (without the keys the database generated), references it bound
        hold their objects again, versioned objects have their rows' versions again, and
        every object it knew is detached with its snapshot forgotten, so that adding one
        to a session writes all of its fields."""
        self._restore_versions(self.versions)
        self._restore_references(self.inserted)
        for obj in self.inserted:
            info = type(obj).__sc_info__
            _native.transition([obj], Transition.UNINSERT, 0, info.pk.position if info.pk.generated else -1)
        gone = {id(o) for o in self.inserted}
        for idm in self.identity.values():
            _native.transition([o for o in idm.values() if id(o) not in gone], Transition.EXPIRE)
        _native.transition(self.removed, Transition.EXPIRE)
        _native.transition(self.doomed.values(), Transition.EXPIRE)
        _native.transition(self.pending.values(), Transition.RELEASE)
        self._clear()

    def _restore_references(self, inserted: List[Model]) -> None:
        """Before the keys these inserts generated are taken back: a reference field
        holding one holds the object it came from again (a flush replaced the object by
        its key), so that a retry binds whatever key that object gets next, never a key
        another row may take meanwhile. Done here, on the rare path, so that flushes
        record nothing."""
        by_key: Dict[Any, Dict[Any, Model]] = {}  # model -> {generated key: object}
        for obj in inserted:
            info = type(obj).__sc_info__
            if info.pk.generated:
                by_key.setdefault(info.model, {})[getattr(obj, info.pk.name)] = obj
        if not by_key:
            return
        holders: Dict[int, Model] = {id(o): o for o in self.inserted}
        holders.update((id(o), o) for o in inserted)
        for idm in self.identity.values():
            holders.update((id(o), o) for o in idm.values())
        for obj in holders.values():
            for f, target in type(obj).__sc_info__.references:
                keys = by_key.get(target)
                if keys is not None:
                    parent = keys.get(_native.field_values([obj], f.position)[0])
                    if parent is not None:
                        setattr(obj, f.name, parent)

    def closed(self) -> None:
        for idm in self.identity.values():
            _native.transition(idm.values(), Transition.DETACH)
        if self.pending:
            _native.transition(self.pending.values(), Transition.RELEASE)
        self._clear()

    def _clear(self) -> None:
        self.identity.clear()
        self.pending.clear()
        self.doomed.clear()
        self.inserted.clear()
        self.removed.clear()
        self.versions.clear()
        self.updated.clear()
        self.depth = 0
        self.epoch = -1
        self.writing = False


def _distinct(values: List[Any], kind: Kind) -> List[Any]:
    """The distinct non-None keys of `values`, for an IN list."""
    if kind in (Kind.INT, Kind.STR):
        return toolkit.distinct_keys(values, kind == Kind.STR)
    return list(dict.fromkeys(v for v in values if v is not None))


def _refresh_loaders(d: "Dialect", info: ModelInfo, idxs: Tuple[int, ...]) -> Any:
    loaders = d.model(info).loaders
    if loaders is None:
        return None
    return (loaders[info.fields.index(info.pk)],) + tuple(loaders[i] for i in idxs)


def _group(objs: Dict[int, Model], into: Dict[ModelInfo, List[Model]]) -> None:
    """The objects by model, in their order; objects are mostly added in runs of one model."""
    for model, run in groupby(objs.values(), type):
        into.setdefault(model.__sc_info__, []).extend(run)  # type: ignore[attr-defined]  # pyright: ignore[reportUnknownMemberType, reportUnknownArgumentType]


def _parents_first(info: ModelInfo, objs: List[Model], children: Dict[int, List[Model]]) -> List[Model]:
    """The rows of a self-referencing table, each after the new row it refers to; a cycle
    among new rows is a ValueError (none of them could be inserted first)."""
    indegree: Dict[int, int] = {id(o): 0 for o in objs}
    for kids in children.values():
        for kid in kids:
            indegree[id(kid)] += 1
    ready = deque(o for o in objs if indegree[id(o)] == 0)
    out: List[Model] = []
    while ready:
        obj = ready.popleft()
        out.append(obj)
        for kid in children.get(id(obj), ()):
            indegree[id(kid)] -= 1
            if indegree[id(kid)] == 0:
                ready.append(kid)
    if len(out) != len(objs):
        stuck = [o for o in objs if indegree[id(o)] > 0]
        raise ValueError("new %s rows refer to each other in a cycle (%s): flush one of them first"
                         % (info.name, ", ".join(repr(o) for o in stuck[:3])))
    return out


__all__ = ["UnitOfWork", "FlushPlan", "table_order", "new_token", "ALL", "FIRST", "COUNT", "ONE"]
