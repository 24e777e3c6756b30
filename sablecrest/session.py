"""Sessions: the identity map and the unit of work.

Everything a session decides (what to insert, update and delete, in which order, with
which text and parameters, and what the rows mean) lives in `UnitOfWork`, written as
generators that yield the statements they need run and receive the driver's answer. The
sync `Session` and the async one drive the same generators; only the driver calls differ.
"""

from __future__ import annotations

from typing import (
    TYPE_CHECKING,
    Any,
    Dict,
    Generator,
    Generic,
    Iterable,
    Iterator,
    List,
    Optional,
    Sequence,
    Set,
    Tuple,
    Type,
    TypeVar,
    Union,
)

from _sablecrest_rs import BatchAggregator

from . import _native

TRANSIENT, PENDING, PERSISTENT, DELETED, DETACHED = (value for _, value in _native.STATES)
_T = dict(_native.TRANSITIONS)
from .expr import Condition, Ordering
from .model import Field, Model, ModelInfo, info_of

if TYPE_CHECKING:
    from .database import Database
    from .dialect import Dialect
    from .drivers import Adapter

M = TypeVar("M", bound=Model)
Q = TypeVar("Q", bound="QueryBase[Any]")

# What a unit-of-work generator asks its driver to do: (op, sql, params).
FETCH = 0  # a read -> list of rows
RETURNING = 1  # a write that returns rows -> list of rows
EXEC = 2  # -> row count
MANY = 3  # executemany -> total row count (-1 when the driver cannot tell)
INSERT_ID = 4  # one-row INSERT -> the generated key

Op = Tuple[int, str, Any]
Steps = Generator[Op, Any, Any]

ALL, FIRST, COUNT = "all", "first", "count"


class StaleDataError(Exception):
    """An UPDATE or DELETE of a flush matched fewer rows than it meant to write: the rows
    were deleted (or their keys changed) by someone else since they were loaded."""


def _chunks(items: List[Any], size: int) -> Iterator[List[Any]]:
    for i in range(0, len(items), size):
        yield items[i : i + size]


def _case_params(width: int, rows: List[Tuple[Any, ...]]) -> List[Any]:
    """The parameters of `Dialect.update_case_sql` from update rows (values..., key): for
    each column, key and value of every row; then the keys."""
    out: List[Any] = []
    for j in range(width):
        for row in rows:
            out.append(row[-1])
            out.append(row[j])
    out.extend(row[-1] for row in rows)
    return out


def _order(infos: Iterable[ModelInfo]) -> List[ModelInfo]:
    """Parents before children, by the foreign keys among `infos` (declaration order
    otherwise)."""
    pending = list(infos)
    present = {i.model for i in pending}
    done: Dict[Any, ModelInfo] = {}
    visiting: Set[Any] = set()

    def visit(info: ModelInfo) -> None:
        if info.model in done or info.model in visiting:
            return  # a cycle: left in the order it was met
        visiting.add(info.model)
        for _, target in info.references:
            if target is not info.model and target in present:
                visit(target.__sc_info__)
        visiting.discard(info.model)
        done[info.model] = info

    for info in pending:
        visit(info)
    return list(done.values())


class UnitOfWork:
    """The state of one session: identity map, pending inserts and deletes, and what the
    current transaction wrote (so that a rollback can undo it on the objects)."""

    __slots__ = ("dialect", "identity", "new", "deleted", "inserted", "removed", "epoch", "writing")

    def __init__(self, dialect: "Dialect") -> None:
        self.dialect = dialect
        self.identity: Dict[Type[Model], Dict[Any, Model]] = {}
        self.new: Dict[int, Model] = {}  # id -> object, in add order
        self.deleted: Dict[int, Model] = {}
        self.inserted: List[Model] = []  # inserted by this transaction
        self.removed: List[Model] = []  # deleted by this transaction
        self.epoch = -1  # the field-assignment count when the last flush began
        self.writing = False  # a flush got past its checks and may have written rows

    # ---- membership

    def add(self, obj: Model) -> None:
        info = info_of(type(obj))
        st = _native.state(obj)
        if st == TRANSIENT or (st == PENDING and id(obj) not in self.new):
            _native.add_pending([obj], self.new, 0, 0)
        elif st in (PERSISTENT, DETACHED):
            idm = self.identity.setdefault(info.model, {})
            key = getattr(obj, info.pk.name)
            there = idm.get(key)
            if there is None:
                idm[key] = obj
                _native.transition([obj], _T["ATTACH"])
                self.epoch = -1  # it may hold changes made before it was added
            elif there is not obj:
                raise ValueError(
                    "another %s with primary key %r is already in this session" % (info.name, key)
                )
        elif st == DELETED and self.deleted.pop(id(obj), None) is not None:
            _native.transition([obj], _T["ATTACH"])

    def add_all(self, objs: Iterable[Model]) -> None:
        """`add` for each object, in order; new objects go the native way in one call."""
        items = objs if type(objs) is list else list(objs)
        i, n = 0, len(items)
        while i < n:
            i = _native.add_pending(items, self.new, i, 0)
            if i < n:
                self.add(items[i])
                i += 1

    def delete(self, obj: Model) -> None:
        info_of(type(obj))
        st = _native.state(obj)
        if st == PENDING and self.new.pop(id(obj), None) is not None:
            _native.transition([obj], _T["RELEASE"])
        elif st in (PERSISTENT, DETACHED):
            self.add(obj)
            _native.transition([obj], _T["MARK_DELETED"])
            self.deleted[id(obj)] = obj
        elif st != DELETED:
            raise ValueError("%r is not in the session: there is no row to delete" % (obj,))

    def dirty(self) -> List[Model]:
        out: List[Model] = []
        for model, idm in self.identity.items():
            out.extend(_native.dirty_objects(model.__sc_info__.layout, idm))
        return out

    # ---- flush

    def flush(self) -> Steps:
        self.writing = False
        if not self.new and not self.deleted and self.epoch == _native.touch_epoch():
            return
        self.epoch = _native.touch_epoch()
        d = self.dialect
        inserts: Dict[ModelInfo, List[Model]] = {}
        for obj in self.new.values():
            inserts.setdefault(type(obj).__sc_info__, []).append(obj)
        updates: Dict[ModelInfo, List[Model]] = {}
        for model, idm in self.identity.items():
            info = model.__sc_info__
            dirty = _native.dirty_objects(info.layout, idm)
            if dirty:
                updates[info] = dirty
        deletes: Dict[ModelInfo, List[Model]] = {}
        for obj in self.deleted.values():
            deletes.setdefault(type(obj).__sc_info__, []).append(obj)
        # Everything is checked before the first statement runs.
        for group in (inserts, updates):
            for info, objs in group.items():
                _native.validate(info.layout, objs, False)
                _native.begin_write(objs)
        order = _order(list(inserts) + list(updates) + list(deletes))
        self.writing = True
        for info in order:
            if info in inserts:
                yield from self._insert(d, info, inserts[info])
        self.new.clear()
        for info in order:
            if info in updates:
                yield from self._update(d, info, updates[info])
        for info in reversed(order):
            if info in deletes:
                yield from self._delete(d, info, deletes[info])
        self.deleted.clear()
        self.writing = False

    def _insert(self, d: "Dialect", info: ModelInfo, objs: List[Model]) -> Steps:
        m = d.model(info)
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
                sql = d.insert_sql(info, cols, len(chunk), False)
                yield (EXEC, sql, _native.insert_params(layout, chunk, cols, m.dumpers, True, None))
                _native.mark_flushed(layout, chunk, idm, None)
                self.inserted.extend(chunk)
        if not generated:
            return
        cols = m.insert_generated
        # One row per statement when a row may refer to another row of the same batch, or
        # when nothing else can say which key went to which row.
        multi = d.returning and not info.self_referencing and (cols or d.engine.name == "mariadb")
        size = d.rows_per_insert(len(cols)) if multi else 1
        for chunk in _chunks(generated, size):
            if d.returning:
                sql = d.insert_sql(info, cols, len(chunk), True)
                rows = yield (RETURNING, sql, _native.insert_params(layout, chunk, cols, m.dumpers, True, None))
                if len(rows) != len(chunk):
                    raise StaleDataError("INSERT into %s returned %d keys for %d rows" % (m.table, len(rows), len(chunk)))
                # Keys are generated in ascending order as the rows are inserted; RETURNING
                # promises no order, so the sorted keys are matched to the rows in order.
                keys = sorted(r[0] for r in rows) if len(rows) > 1 else [rows[0][0]]
            else:
                sql = d.insert_sql(info, cols, 1, False)
                params = _native.insert_params(layout, chunk, cols, m.dumpers, False, None)[0]
                keys = [(yield (INSERT_ID, sql, params))]
            _native.mark_flushed(layout, chunk, idm, keys)
            self.inserted.extend(chunk)

    def _update(self, d: "Dialect", info: ModelInfo, dirty: List[Model]) -> Steps:
        m = d.model(info)
        idm = self.identity.setdefault(info.model, {})
        for idxs, params, objs in _native.update_groups(info.layout, dirty, m.dumpers, None):
            if d.engine.update_rows > 1 and len(params) > 1:
                count = 0
                for chunk in _chunks(params, d.engine.update_rows):
                    count += yield (EXEC, d.update_case_sql(info, idxs, len(chunk)), _case_params(len(idxs), chunk))
            else:
                count = yield (MANY, d.update_sql(info, idxs), params)
            if count < 0:
                # The driver cannot count what executemany matched (asyncpg): count the
                # rows that hold these keys now, in this transaction, which holds them
                # locked since the UPDATE.
                count = yield from self._count_keys(d, info, objs)
            if count != len(params):
                raise StaleDataError(
                    "UPDATE of %s matched %d of %d rows: rows were deleted since they were loaded"
                    % (m.table, count, len(params))
                )
            _native.mark_flushed(info.layout, objs, idm, None)

    def _count_keys(self, d: "Dialect", info: ModelInfo, objs: List[Model]) -> Steps:
        where = (info.pk.in_(_native.field_values(objs, d.model(info).pk_index)),)
        params: List[Any] = []
        where[0].params(d, params)
        rows = yield (FETCH, d.select_sql(info, where, (), False, False, True), params)
        return int(rows[0][0])

    def _delete(self, d: "Dialect", info: ModelInfo, objs: List[Model]) -> Steps:
        m = d.model(info)
        idm = self.identity.get(info.model, {})
        keys = _native.key_params(info.layout, objs)
        for chunk in _chunks(list(dict.fromkeys(keys)), max(1, d.max_params // 2)):
            params: List[Any] = []
            if len(chunk) == 1:
                params.append(d.dump(info.pk, chunk[0]))
            else:
                d.in_params(info.pk, chunk, params)
            count = yield (EXEC, d.delete_sql(info, len(chunk)), params)
            if count >= 0 and count != len(chunk):
                raise StaleDataError(
                    "DELETE from %s matched %d of %d rows: rows were deleted since they were loaded"
                    % (m.table, count, len(chunk))
                )
        for key in keys:
            idm.pop(key, None)
        _native.transition(objs, _T["REMOVED"])
        self.removed.extend(objs)

    def upsert(self, objs: List[Model]) -> Steps:
        """Writes each object whole: its row is inserted, or updated when its key exists.
        The objects become persistent in this session."""
        yield from self.flush()
        d = self.dialect
        groups: Dict[ModelInfo, List[Model]] = {}
        for obj in objs:
            info = info_of(type(obj))
            key = getattr(obj, info.pk.name)
            if key is None:
                raise ValueError("upsert() needs the primary key of %r" % (obj,))
            there = self.identity.get(info.model, {}).get(key)
            if there is not None and there is not obj:
                raise ValueError("another %s with primary key %r is already in this session" % (info.name, key))
            groups.setdefault(info, []).append(obj)
        for info, group in groups.items():
            _native.validate(info.layout, group, False)
            _native.begin_write(group)
        self.writing = True
        for info in _order(groups):
            m = d.model(info)
            idm = self.identity.setdefault(info.model, {})
            for chunk in _chunks(groups[info], d.rows_per_insert(len(m.columns))):
                yield (EXEC, d.upsert_sql(info, len(chunk)), _native.insert_params(info.layout, chunk, m.insert_all, m.dumpers, True, None))
                for obj in chunk:
                    self.new.pop(id(obj), None)
                _native.mark_flushed(info.layout, chunk, idm, None)
        self.writing = False

    # ---- reads

    def select(self, query: "QueryBase[Any]", mode: str) -> Steps:
        yield from self.flush()
        d = self.dialect
        info = query._info
        limit = 1 if mode == FIRST else query._limit
        offset = query._offset
        sql = d.select_sql(info, query._where, query._order, limit is not None, offset is not None, mode == COUNT)
        params: List[Any] = []
        for w in query._where:
            w.params(d, params)
        if limit is not None:
            params.append(limit)
        if offset is not None:
            params.append(offset)
        rows = yield (FETCH, sql, params)
        if mode == COUNT:
            return int(rows[0][0])
        objs = _native.materialize(info.layout, rows, self.identity.setdefault(info.model, {}), d.model(info).loaders, 0)
        if mode == FIRST:
            return objs[0] if objs else None
        return objs

    def get(self, model: Type[M], key: Any) -> Steps:
        info = info_of(model)
        idm = self.identity.get(model)
        obj = idm.get(key) if idm else None
        if obj is not None:
            return None if _native.state(obj) == DELETED else obj
        query: QueryBase[M] = QueryBase(info).where(info.pk == key)
        found = yield from self.select(query, FIRST)
        return found

    def load_related(self, objs: Sequence[Model], field: "Field[Any]") -> Steps:
        yield from self.flush()
        if not isinstance(field, Field) or field.references is None:
            raise TypeError("load_related() takes a foreign-key field, like Post.author_id; got %r" % (field,))
        target = next(t for f, t in field.model.__sc_info__.references if f is field)
        info = target.__sc_info__
        values = _native.field_values(list(objs), field.model.__sc_info__.fields.index(field))
        if info.pk.type in (int, str):
            agg = BatchAggregator()
            agg.add_keys_batch([v for v in values if v is not None])
            keys = agg.get_keys()
        else:
            keys = list(dict.fromkeys(v for v in values if v is not None))
        idm = self.identity.setdefault(info.model, {})
        missing = [k for k in keys if k not in idm]
        if missing:
            yield from self.select(QueryBase(info).where(info.pk.in_(missing)), ALL)
        out: Dict[Any, Model] = {}
        for k in keys:
            obj = idm.get(k)
            if obj is not None and _native.state(obj) != DELETED:
                out[k] = obj
        return out

    # ---- transaction ends

    def committed(self) -> None:
        self.inserted.clear()
        self.removed.clear()

    def rolled_back(self) -> None:
        """Nothing this transaction wrote exists any more: objects it inserted are
        transient again (without the keys the database generated), and every object it
        knew is detached with its snapshot forgotten, so that adding one to a session
        writes all of its fields."""
        for obj in self.inserted:
            info = type(obj).__sc_info__
            _native.transition([obj], _T["UNINSERT"], 0, info.fields.index(info.pk) if info.pk.generated else -1)
        gone = {id(o) for o in self.inserted}
        for idm in self.identity.values():
            _native.transition([o for o in idm.values() if id(o) not in gone], _T["EXPIRE"])
        _native.transition(self.removed, _T["EXPIRE"])
        _native.transition(self.deleted.values(), _T["EXPIRE"])
        _native.transition(self.new.values(), _T["RELEASE"])
        self.identity.clear()
        self.new.clear()
        self.deleted.clear()
        self.inserted.clear()
        self.removed.clear()
        self.epoch = -1

    def closed(self) -> None:
        for idm in self.identity.values():
            _native.transition(idm.values(), _T["DETACH"])
        _native.transition(self.new.values(), _T["RELEASE"])
        self.identity.clear()
        self.new.clear()
        self.deleted.clear()


class QueryBase(Generic[M]):
    """A SELECT under construction. Each method returns a new query."""

    __slots__ = ("_session", "_info", "_where", "_order", "_limit", "_offset")

    def __init__(self, info: ModelInfo, session: Any = None) -> None:
        self._session = session
        self._info = info
        self._where: Tuple[Condition, ...] = ()
        self._order: Tuple[Ordering, ...] = ()
        self._limit: Optional[int] = None
        self._offset: Optional[int] = None

    def _copy(self: Q) -> Q:
        q = type(self).__new__(type(self))
        q._session = self._session
        q._info = self._info
        q._where = self._where
        q._order = self._order
        q._limit = self._limit
        q._offset = self._offset
        return q

    def where(self: Q, *conditions: Condition) -> Q:
        for c in conditions:
            if not isinstance(c, Condition):
                raise TypeError("where() takes conditions like Model.field == value, got %r" % (c,))
        q = self._copy()
        q._where = self._where + conditions
        return q

    def order_by(self: Q, *items: "Union[Field[Any], Ordering]") -> Q:
        order = []
        for item in items:
            if isinstance(item, Field):
                item = item.asc()
            if not isinstance(item, Ordering):
                raise TypeError("order_by() takes fields or field.desc(), got %r" % (item,))
            order.append(item)
        q = self._copy()
        q._order = self._order + tuple(order)
        return q

    def limit(self: Q, n: Optional[int]) -> Q:
        q = self._copy()
        q._limit = _count_arg("limit", n)
        return q

    def offset(self: Q, n: Optional[int]) -> Q:
        q = self._copy()
        q._offset = _count_arg("offset", n)
        return q


def _count_arg(name: str, n: Optional[int]) -> Optional[int]:
    if n is None:
        return None
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError("%s() takes an int, got %s" % (name, type(n).__name__))
    if n < 0 or n > 2**63 - 1:
        raise ValueError("%s() takes 0 to 2**63-1, got %d" % (name, n))
    return n


class Query(QueryBase[M]):
    __slots__ = ()

    def all(self) -> List[M]:
        return self._session._run(self._session._uow.select(self, ALL))  # type: ignore[no-any-return]

    def first(self) -> Optional[M]:
        return self._session._run(self._session._uow.select(self, FIRST))  # type: ignore[no-any-return]

    def count(self) -> int:
        return self._session._run(self._session._uow.select(self, COUNT))  # type: ignore[no-any-return]

    def __iter__(self) -> Iterator[M]:
        return iter(self.all())


class SessionBase:
    """What the sync and async sessions share: membership and the identity map."""

    def __init__(self, db: "Database") -> None:
        self.db = db
        self._uow = UnitOfWork(db.dialect)
        self._in_txn = False
        self._closed = False

    def add(self, obj: Model) -> None:
        """Adds a new object (inserted at the next flush) or a detached one."""
        self._uow.add(obj)

    def add_all(self, objs: Iterable[Model]) -> None:
        self._uow.add_all(objs)

    def delete(self, obj: Model) -> None:
        """Marks the object's row for deletion at the next flush."""
        self._uow.delete(obj)

    @property
    def dirty(self) -> List[Model]:
        """The loaded objects whose fields would be written by a flush."""
        return self._uow.dirty()

    @property
    def new(self) -> List[Model]:
        return list(self._uow.new.values())

    @property
    def deleted(self) -> List[Model]:
        return list(self._uow.deleted.values())

    def __contains__(self, obj: Model) -> bool:
        if id(obj) in self._uow.new:
            return True
        idm = self._uow.identity.get(type(obj))
        return idm is not None and idm.get(getattr(obj, info_of(type(obj)).pk.name)) is obj


class Session(SessionBase):
    """One connection, one transaction at a time, one object per row.

    ``with db.session() as s:`` commits on normal exit and rolls back on an exception;
    either way the connection goes back to the pool.
    """

    def __init__(self, db: "Database", conn: "Adapter") -> None:
        super().__init__(db)
        self._conn: Optional[Adapter] = conn

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        try:
            if exc_type is None:
                self.commit()
        finally:
            self.close()

    def _run(self, steps: Steps) -> Any:
        conn = self._conn
        if conn is None:
            raise RuntimeError("the session is closed")
        trace = self.db.trace
        try:
            op = next(steps)
            while True:
                kind, sql, params = op
                if not self._in_txn and (kind != FETCH or not conn.lazy_begin):
                    conn.begin()
                    self._in_txn = True
                if trace is not None:
                    trace(sql, params)
                if kind <= RETURNING:
                    result: Any = conn.fetch(sql, params)
                elif kind == MANY:
                    result = conn.many(sql, params)
                elif kind == EXEC:
                    result = conn.execute(sql, params)
                else:
                    result = conn.insert_id(sql, params)
                op = steps.send(result)
        except StopIteration as stop:
            return stop.value
        except BaseException:
            if self._uow.writing:  # a flush failed half-way: none of it may stay
                self._uow.writing = False
                self.rollback()
            raise

    def flush(self) -> None:
        """Writes pending inserts, changed fields and deletes, in one go. A check that
        fails (a wrong NOT NULL, say) raises before any statement runs; a statement that
        fails rolls the whole transaction back and its error propagates."""
        self._run(self._uow.flush())

    def commit(self) -> None:
        try:
            self.flush()
            if self._in_txn and self._conn is not None:
                self._conn.commit()
        except BaseException:
            self.rollback()
            raise
        self._in_txn = False
        self._uow.committed()

    def rollback(self) -> None:
        """Rolls the transaction back; the identity map is emptied and the objects it
        held are detached."""
        try:
            if self._in_txn and self._conn is not None:
                self._conn.rollback()
        finally:
            self._in_txn = False
            self._uow.rolled_back()

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        conn = self._conn
        try:
            if self._in_txn:
                self.rollback()
            else:
                self._uow.closed()
        finally:
            self._conn = None
            if conn is not None:
                self.db._release(conn)

    def upsert(self, *objs: Model) -> None:
        """Inserts each object's row, or updates every column of it when a row with that
        primary key exists (ON CONFLICT / ON DUPLICATE KEY), at once."""
        self._run(self._uow.upsert(list(objs)))

    def get(self, model: Type[M], key: Any) -> Optional[M]:
        """The object with this primary key, from the identity map or the database."""
        return self._run(self._uow.get(model, key))  # type: ignore[no-any-return]

    def select(self, model: Type[M]) -> Query[M]:
        return Query(info_of(model), self)

    def load_related(self, objs: Sequence[Model], field: "Field[Any]") -> Dict[Any, Model]:
        """{key: object} for the objects that `field` (a foreign key, like
        ``Post.author_id``) of `objs` refers to: one SELECT for those not yet loaded."""
        return self._run(self._uow.load_related(objs, field))  # type: ignore[no-any-return]

    def execute(self, sql: str, params: Sequence[Any] = ()) -> List[Any]:
        """Runs one statement of your own, in this session's transaction; returns its
        rows (an empty list when it has none). `sql` uses the driver's parameter style."""

        def steps() -> Steps:
            rows = yield (RETURNING, sql, list(params))  # may write: it runs in the transaction
            return rows

        return self._run(steps())  # type: ignore[no-any-return]


__all__ = ["Session", "SessionBase", "Query", "QueryBase", "UnitOfWork", "StaleDataError"]
