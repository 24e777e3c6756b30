"""All the statement text the ORM writes at run time, and its cache.

A `Dialect` joins an engine (what the server can do, how it writes it), a driver's
parameter style and a server version. It writes each statement shape once (a query's
conditions and orderings, an INSERT of so many rows of so many columns) and keeps the
text; values are never part of a text, they travel as parameters. `Compiler` hands out
placeholders in order while one statement is written.

Identifiers are always quoted (`q`): quote characters doubled by the engine, and '%'
doubled for drivers that read the text as a %-format.
"""

from __future__ import annotations

import json
from operator import attrgetter
from typing import (TYPE_CHECKING, Any, Callable, Dict, Hashable, Iterable, List, Literal, Optional, Sequence, Tuple, Union,
                    cast)

from . import toolkit
from .engines.base import Engine, ParamStyle, Version
from .expr import Column, Compare, Ordering
from .kinds import Kind

if TYPE_CHECKING:
    from .expr import AnyColumn, AnyCondition, AnyExpression, AnyOrdering
    from .model import AnyField, ModelInfo

# Statement texts a dialect keeps before it starts over: enough for every shape of a
# real application, bounded for one that builds shapes without end.
_CACHE_LIMIT = 2048

SHAPE_OF = attrgetter("shape")  # a condition's or an ordering's shape, when made with it


class How:
    """How a plan collects one item's parameters (beside a column compared with a value,
    whose how is the column's dumper, or PLAIN)."""

    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name

    def __repr__(self) -> str:
        return self.name


PLAIN = How("PLAIN")  # a column compared with a value: the value as it is
NONE = How("NONE")  # nothing: its text has no placeholder
GENERAL = How("GENERAL")  # its own params()


class Plan:
    """A statement shape's text, written once, and how each of its items collects its
    parameters on every execution (`hows`: one per item, in the order of `parts`, the
    names of the statement's parts that have parameters), so that running the shape
    again costs one lookup and the parameters. `loaders` turn the rows of a select of
    columns into their Python types."""

    __slots__ = ("sql", "where", "parts", "loaders")

    def __init__(self, sql: str, where: Tuple[Any, ...] = (), parts: Tuple[Tuple[str, Tuple[Any, ...]], ...] = (),
                 loaders: Optional[Tuple[Any, ...]] = None) -> None:
        self.sql = sql
        self.where = where  # the hows of a single-table select's conditions
        self.parts = parts
        self.loaders = loaders


def condition_hows(d: "Dialect", conditions: Sequence[Any]) -> Tuple[Any, ...]:
    """The hows of conditions, expressions or orderings: a column compared with a value
    appends the value through the column's dumper; anything else collects its own
    parameters, unless it has none (a shape's count of parameters is fixed: its text has
    that many placeholders)."""
    out: List[Any] = []
    for w in conditions:
        shape = w.shape if type(w) is Compare else None
        if shape is not None:
            if shape[0] == "c":
                dumper = d.dumper(cast("AnyColumn", w.field))  # the shape of a column's comparison
                out.append(PLAIN if dumper is None else dumper)
            else:
                out.append(NONE)
        else:
            probe: List[Any] = []
            (w.field if isinstance(w, Ordering) else w).params(d, probe)
            out.append(GENERAL if probe else NONE)
    return tuple(out)


def where_params(d: "Dialect", hows: Tuple[Any, ...], items: Sequence[Any], out: List[Any]) -> None:
    """The parameters of `items` (conditions, expressions or orderings) by their hows."""
    for w, how in zip(items, hows):
        if how is NONE:
            continue
        if how is GENERAL:
            (w.field if isinstance(w, Ordering) else w).params(d, out)
            continue
        v = w.value
        out.append(v if how is PLAIN or v is None else how(v))


class Compiler:
    """Writes one statement: placeholders in order, columns quoted."""

    __slots__ = ("dialect", "n")
    n: int  # the placeholders written so far

    def __init__(self, dialect: "Dialect", start: int = 0) -> None:
        self.dialect = dialect
        self.n = start

    def ph(self) -> str:
        self.n += 1
        return self.dialect.style.placeholder(self.n)

    def phs(self, count: int) -> str:
        return ", ".join([self.ph() for _ in range(count)])

    def col(self, column: AnyColumn) -> str:
        return self.dialect.q(column.column)

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return self.dialect.engine.null_safe(a, b, negated)

    @property
    def like_escape(self) -> str:
        return self.dialect.engine.like_escape

    def fallback(self, kind: Optional[Kind]) -> str:
        """The placeholder of a value COALESCE falls back to (see Engine.fallback_sql)."""
        return self.dialect.engine.fallback_sql(kind, self.ph())

    def function(self, name: str, args: List[str]) -> str:
        text = self.dialect.engine.function_sql(name, args)
        if not args and self.dialect.style.escapes_percent:
            text = text.replace("%", "%%")  # the engine's own text (arguments are escaped already)
        return text

    def subquery(self, query: Any, mode: str) -> str:
        raise ValueError("a query inside a condition needs a statement that qualifies its columns")

    def in_list(self, column: AnyExpression, negated: bool, n: int) -> str:
        col = column.render(self)
        shape = self.dialect.in_shape(n)
        if shape == 0:
            return "1 = 1" if negated else "1 = 0"
        if shape == "array":
            return ("%s <> ALL(%s)" if negated else "%s = ANY(%s)") % (col, self.ph())
        if shape == "json":
            rhs = "(SELECT value FROM json_each(%s))" % self.ph()
        else:
            rhs = "(%s)" % self.phs(shape)
        return "%s %s %s" % (col, "NOT IN" if negated else "IN", rhs)


class ModelSQL:
    """One model's names and conversions in one dialect, made once."""

    __slots__ = ("info", "table", "columns", "select_list", "loaders", "dumpers", "pk_index", "pk_column",
                 "insert_all", "insert_generated", "key_indexes", "key_columns", "filled", "get_sql",
                 "insert_one")

    def __init__(self, d: "Dialect", info: "ModelInfo") -> None:
        self.info = info
        self.table = d.table(info)
        self.columns = [d.q(f.column) for f in info.fields]
        self.select_list = ", ".join(self.columns)
        loaders = tuple(d.engine.loader(f) for f in info.fields)
        dumpers = tuple(d.engine.dumper(f) for f in info.fields)
        self.loaders = loaders if any(loaders) else None
        self.dumpers = dumpers if any(dumpers) else None
        self.pk_index = info.fields.index(info.pk)
        self.pk_column = self.columns[self.pk_index]
        self.insert_all = tuple(range(len(info.fields)))
        self.insert_generated = tuple(i for i in self.insert_all if i != self.pk_index)
        # The key's fields (several for a composite key), and the fields the database fills
        # when an insert leaves them out (a server default).
        self.key_indexes = tuple(f.position for f in info.key)
        self.key_columns = [self.columns[i] for i in self.key_indexes]
        self.filled = tuple(f.position for f in info.fields if f.server_default is not None)
        self.get_sql: Optional[str] = None  # get() by a single-column key, once written
        self.insert_one: Optional[str] = None  # one row with a generated key, without RETURNING


class Dialect:
    """An engine, a parameter style and a server version, with the compiled texts."""

    def __init__(self, engine: Engine, style: ParamStyle, version: Version, variant: str = "",
                 counts_many: bool = True) -> None:
        self.engine = engine
        self.style = style
        self.version = version
        self.variant = variant or engine.name
        self.returning = engine.returning(version, self.variant)
        self.update_returning = engine.update_returning(version, self.variant)
        self.delete_returning = engine.delete_returning(version, self.variant)
        self.max_params = engine.max_params(version, style)
        # The driver's executemany reports the rows it matched (asyncpg's does not).
        self.counts_many = counts_many
        self.lock_options = engine.lock_options(version, self.variant)
        self._models: Dict[Any, ModelSQL] = {}
        self._sql: Dict[Hashable, str] = {}
        self._plans: Dict[Hashable, Plan] = {}  # queries: a shape's text and how its parameters are collected
        self._dumpers: Dict[Any, Any] = {}  # column -> its dumper (or None)
        self._shapes: Dict[Hashable, Any] = {}  # other facts of a shape (a column select's loaders)

    def __repr__(self) -> str:
        return "<Dialect %s %s %s>" % (self.engine.name, ".".join(map(str, self.version)), self.style.name)

    # ---- names and values

    def q(self, name: str) -> str:
        """A quoted identifier (and '%' doubled for drivers that read a %-format)."""
        text = self.engine.quote(name)
        return text.replace("%", "%%") if self.style.escapes_percent else text

    def table(self, info: "ModelInfo") -> str:
        t = self.q(info.table)
        return self.q(info.schema) + "." + t if info.schema else t

    def model(self, info: "ModelInfo") -> ModelSQL:
        m = self._models.get(info.model)
        if m is None:
            m = self._models[info.model] = ModelSQL(self, info)
        return m

    def dumper(self, column: AnyColumn) -> Any:
        try:
            return self._dumpers[column]
        except KeyError:
            f = self._dumpers[column] = self.engine.dumper(column)
            return f

    def dump(self, column: AnyColumn, value: Any) -> Any:
        if value is None:
            return None
        f = self.dumper(column)
        return value if f is None else f(value)

    def dump_value(self, kind: Optional[Kind], value: Any) -> Any:
        """A value bound against a computed expression (not a plain column)."""
        if value is None or kind is None:
            return value
        f = self.engine.value_dumpers.get(kind)
        return value if f is None else f(value)

    def _cached(self, key: Hashable, build: Callable[[], str]) -> str:
        text = self._sql.get(key)
        if text is None:
            if len(self._sql) >= _CACHE_LIMIT:
                self._sql.clear()
            text = self._sql[key] = build()
        return text

    # ---- IN lists

    def in_shape(self, n: int) -> Union[int, Literal["array", "json"]]:
        if n == 0:
            return 0
        if self.engine.array_in:
            return "array"
        size = 1 << (n - 1).bit_length()
        if size <= self.max_params // 2:
            return size
        return "json" if self.engine.json_in else n

    def in_params(self, column: AnyExpression, values: List[Any], out: List[Any]) -> None:
        n = len(values)
        shape = self.in_shape(n)
        if shape == 0:
            return
        if isinstance(column, Column):
            dumper = self.dumper(column)
        else:
            dumper = self.engine.value_dumpers.get(column.kind) if column.kind is not None else None
        if dumper is not None:
            values = [None if v is None else dumper(v) for v in values]
        if shape == "array":
            out.append(values)
        elif shape == "json":
            if any(isinstance(v, bytes) for v in values):
                raise ValueError("%s.in_() with %d bytes values is past the engine's %d-parameter limit"
                                 % (column.name if isinstance(column, Column) else column, n, self.max_params))
            out.append(json.dumps(values))
        else:
            out.extend(values)
            if shape != n:
                out.extend([values[-1]] * (shape - n))

    # ---- reads

    def select_sql(self, info: "ModelInfo", where: Sequence[AnyCondition], order: Sequence[AnyOrdering],
                   has_limit: bool, has_offset: bool, count: bool, lock: str = "") -> str:
        return self.select_plan(info, where, order, has_limit, has_offset, count, lock).sql

    def select_plan(self, info: "ModelInfo", where: Sequence[AnyCondition], order: Sequence[AnyOrdering],
                    has_limit: bool, has_offset: bool, count: bool, lock: str = "") -> Plan:
        """The plan of a query of one model's objects with plain orderings (each `shape`
        made): its text, and how its conditions collect their parameters (`where_params`),
        then the limit and the offset."""
        shapes = tuple(map(SHAPE_OF, where))
        if None in shapes:
            shapes = tuple([w.shape or w.key(self) for w in where])
        key = ("select", info.model, shapes, tuple(map(SHAPE_OF, order)), has_limit, has_offset, count, lock)
        plan = self._plans.get(key)
        if plan is None:
            plan = Plan(self._compile_select(info, where, order, has_limit, has_offset, count) + self.lock_clause(lock),
                        condition_hows(self, where))
            self.keep_plan(key, plan)
        return plan

    def keep_plan(self, key: Hashable, plan: Plan) -> None:
        if len(self._plans) >= _CACHE_LIMIT:
            self._plans.clear()
        self._plans[key] = plan

    def lock_clause(self, lock: str) -> str:
        """What a locking read (`Query.for_update`) writes after its SELECT: FOR UPDATE,
        with NOWAIT or SKIP LOCKED; nothing where the engine locks the whole database
        (the transaction took the write lock when it began)."""
        if not lock or not self.engine.locks_rows:
            return ""
        return {"update": " FOR UPDATE", "nowait": " FOR UPDATE NOWAIT", "skip_locked": " FOR UPDATE SKIP LOCKED"}[lock]

    def isolation_sql(self, level: str) -> Optional[str]:
        """The statement that sets a transaction's isolation level (None where the engine
        has only the one level)."""
        return "SET TRANSACTION ISOLATION LEVEL " + level.upper() if self.engine.sets_isolation else None

    def savepoint_sql(self, name: str) -> str:
        return "SAVEPOINT " + self.q(name)

    def rollback_to_sql(self, name: str) -> str:
        return "ROLLBACK TO SAVEPOINT " + self.q(name)

    def release_sql(self, name: str) -> str:
        return "RELEASE SAVEPOINT " + self.q(name)

    def _compile_select(self, info: "ModelInfo", where: Sequence[AnyCondition], order: Sequence[AnyOrdering],
                        has_limit: bool, has_offset: bool, count: bool) -> str:
        # A shape is checked once, when it is first written: each column must belong to
        # the model queried (on SQLite an unknown quoted name would even read as a string).
        check_columns(info, (c for w in where for c in w.columns()))
        check_columns(info, (c for o in order for c in o.field.columns()))
        m = self.model(info)
        c = Compiler(self)
        paged = has_limit or has_offset
        head = "SELECT 1" if count and paged else "SELECT COUNT(*)" if count else "SELECT " + m.select_list
        parts = [head, " FROM ", m.table]
        if where:
            parts += [" WHERE ", " AND ".join(w.render(c) for w in where)]
        if order and not count:
            parts.append(" ORDER BY ")
            parts.append(", ".join(o.field.render(c) + (" DESC" if o.descending else " ASC") for o in order))
        if has_limit:
            parts += [" LIMIT ", c.ph()]
        elif has_offset:
            parts.append(self.engine.offset_only_limit)
        if has_offset:
            parts += [" OFFSET ", c.ph()]
        text = "".join(parts)
        if count and paged:
            text = "SELECT COUNT(*) FROM (%s) AS %s" % (text, self.q("sc_counted"))
        return text

    # ---- writes

    def insert_sql(self, info: "ModelInfo", idxs: Tuple[int, ...], rows: int, returning: bool,
                   back: Tuple[int, ...] = ()) -> str:
        """INSERT of fields `idxs` in `rows` rows; RETURNING the generated key (with
        `returning`), then fields `back` (filled in by the database)."""
        key = ("insert", info.model, idxs, rows, returning, back)

        def build() -> str:
            m = self.model(info)
            returned = ([m.pk_column] if returning else []) + [m.columns[i] for i in back]
            tail = " RETURNING " + ", ".join(returned) if returned else ""
            if not idxs:
                if rows == 1:
                    return "INSERT INTO " + m.table + self.engine.empty_insert + tail
                return "INSERT INTO %s () VALUES %s%s" % (m.table, ", ".join(["()"] * rows), tail)
            return "INSERT INTO %s (%s) VALUES %s%s" % (
                m.table, ", ".join(m.columns[i] for i in idxs), self.values_groups(rows, len(idxs)), tail)

        return self._cached(key, build)

    def values_groups(self, rows: int, cols: int) -> str:
        """``(p, p), (p, p)``: `rows` groups of `cols` placeholders."""
        c = Compiler(self)
        return ", ".join(["(%s)" % c.phs(cols) for _ in range(rows)])

    def upsert_sql(self, info: "ModelInfo", rows: int) -> str:
        """INSERT of every column that updates the row when its key exists."""

        def build() -> str:
            m = self.model(info)
            others = [c for i, c in enumerate(m.columns) if i not in m.key_indexes]
            return "INSERT INTO %s (%s) VALUES %s%s" % (m.table, ", ".join(m.columns), self.values_groups(
                rows, len(m.columns)), self.engine.upsert(m.key_columns, others))

        return self._cached(("upsert", info.model, rows), build)

    def update_sql(self, info: "ModelInfo", idxs: Tuple[int, ...]) -> str:
        """UPDATE of one row by its key; for a model with a version column, also only
        while the row has the version the object was based on."""

        def build() -> str:
            m = self.model(info)
            if len(m.key_columns) > 1:
                text = self._update_by_keys(m, idxs)
            else:
                text = toolkit.update_by_key(m.table, [m.columns[i] for i in idxs], m.pk_column,
                                             self.style.toolkit_dialect)
            if info.version is not None:
                text += " AND %s = %s" % (m.columns[info.version.position],
                                          Compiler(self, len(idxs) + len(m.key_columns)).ph())
            return text

        return self._cached(("update", info.model, idxs), build)

    def update_case_sql(self, info: "ModelInfo", idxs: Tuple[int, ...], rows: int) -> str:
        """One UPDATE of `rows` rows: each column set to CASE key WHEN k THEN v ... END,
        for the rows WHERE key IN (...) (and, with a version column, whose version is
        each row's own: a stale row is not matched, so the count tells)."""

        def build() -> str:
            m = self.model(info)
            c = Compiler(self)
            sets: List[str] = []
            for i in idxs:
                sets.append("%s = %s" % (m.columns[i], self._case(c, m.pk_column, rows, info.fields[i])))
            text = "UPDATE %s SET %s WHERE %s IN (%s)" % (m.table, ", ".join(sets), m.pk_column, c.phs(rows))
            if info.version is not None:
                text += " AND %s = %s" % (m.columns[info.version.position],
                                          self._case(c, m.pk_column, rows, info.version))
            return text

        return self._cached(("update_case", info.model, idxs, rows), build)

    def _case(self, c: Compiler, key: str, rows: int, field: "Optional[AnyField]" = None) -> str:
        """CASE key WHEN k THEN v ... END. Where the server infers the type of each
        parameter when it prepares the text (PostgreSQL), the values are cast to the
        field's column type: parameters that only a CASE's results surround would be
        text otherwise."""
        then = "%s"
        if field is not None and self.engine.casts_case_values:
            then = "CAST(%%s AS %s)" % self.engine.column_type(field).replace("%", "%%")
        return "CASE %s%s END" % (key, "".join(" WHEN %s THEN %s" % (c.ph(), then % c.ph()) for _ in range(rows)))

    def delete_sql(self, info: "ModelInfo", n: int) -> str:
        if info.version is not None:
            return self._versioned_delete_sql(info, n)
        if info.composite:
            return self._cached(("delete", info.model, self.keys_shape(n)), lambda: "DELETE FROM %s WHERE %s" % (
                self.model(info).table, self._keys_match(self.model(info), Compiler(self), self.keys_shape(n))))

        def build() -> str:
            m = self.model(info)
            if n == 1:
                return toolkit.delete_by_key(m.table, m.pk_column, self.style.toolkit_dialect)
            return "DELETE FROM %s WHERE %s" % (m.table, Compiler(self).in_list(info.pk, False, n))

        return self._cached(("delete", info.model, self.in_shape(n) if n != 1 else 1), build)

    def _versioned_delete_sql(self, info: "ModelInfo", n: int) -> str:
        """DELETE of `n` rows (a power of two: the last row repeats, see
        `versioned_delete_params`), each only while it has the object's version."""
        assert info.version is not None and n & (n - 1) == 0, n

        def build() -> str:
            m = self.model(info)
            c = Compiler(self)
            keys = c.phs(n)
            ver = m.columns[info.version_field().position]
            if n == 1:
                return "DELETE FROM %s WHERE %s = %s AND %s = %s" % (m.table, m.pk_column, keys, ver, c.ph())
            return "DELETE FROM %s WHERE %s IN (%s) AND %s = %s" % (m.table, m.pk_column, keys, ver,
                                                                   self._case(c, m.pk_column, n))

        return self._cached(("delete_versioned", info.model, n), build)

    def versioned_delete_params(self, info: "ModelInfo", keys: List[Any], versions: List[Any]) -> List[Any]:
        """The parameters of `delete_sql` for a model with a version column: the rows
        padded to a power of two by repeating the last (the same row twice matches once)."""
        n = 1 << (len(keys) - 1).bit_length()
        keys = keys + [keys[-1]] * (n - len(keys))
        versions = versions + [versions[-1]] * (n - len(versions))
        out = [self.dump(info.pk, k) for k in keys]
        if n == 1:
            out.extend(versions)
        else:
            for k, v in zip(out[:n], versions):
                out += (k, v)
        return out

    # ---- composite keys: a key is several columns, matched together

    def _update_by_keys(self, m: ModelSQL, idxs: Tuple[int, ...]) -> str:
        c = Compiler(self)
        sets = ", ".join("%s = %s" % (m.columns[i], c.ph()) for i in idxs)
        return "UPDATE %s SET %s WHERE %s" % (m.table, sets, self._keys_match(m, c, 1))

    def keys_shape(self, n: int) -> int:
        """The number of keys a statement matching `n` composite keys is written for: a
        power of two, so that a few texts serve every count (`key_params` pads)."""
        return 1 if n <= 1 else 1 << (n - 1).bit_length()

    def _keys_match(self, m: ModelSQL, c: Compiler, n: int) -> str:
        if n == 1:
            return " AND ".join("%s = %s" % (col, c.ph()) for col in m.key_columns)
        rows = ", ".join("(%s)" % c.phs(len(m.key_columns)) for _ in range(n))
        return "(%s) IN (%s)" % (", ".join(m.key_columns), rows)

    def key_params(self, info: "ModelInfo", keys: List[Any], out: List[Any]) -> None:
        """The parameters of `keys_match` texts for `keys` (tuples of a composite key),
        padded to the text's count with the last key."""
        m = self.model(info)
        dumpers = [None if m.dumpers is None else m.dumpers[i] for i in m.key_indexes]
        padded = keys + [keys[-1]] * (self.keys_shape(len(keys)) - len(keys))
        for key in padded:
            for dumper, part in zip(dumpers, key):
                out.append(part if dumper is None or part is None else dumper(part))

    def count_keys_sql(self, info: "ModelInfo", n: int) -> str:
        """SELECT COUNT(*) of the rows holding `n` composite keys."""
        m = self.model(info)
        return self._cached(("count_keys", info.model, self.keys_shape(n)), lambda: "SELECT COUNT(*) FROM %s WHERE %s" % (
            m.table, self._keys_match(m, Compiler(self), self.keys_shape(n))))

    def rows_per_insert(self, columns: int) -> int:
        """Rows in one multi-row INSERT: bounded by the parameter limit."""
        return max(1, min(1000, self.max_params // max(1, columns)))


def check_columns(info: "ModelInfo", columns: Iterable[AnyColumn], allowed: Optional[Iterable[Any]] = None) -> None:
    """ValueError for a column of a model that is not part of the statement."""
    models = {info.model} if allowed is None else set(allowed)
    for col in columns:
        if col.model not in models:
            raise ValueError("%s.%s belongs to %s, which is not part of this query of %s"
                             % (col.model.__name__, col.name, col.model.__name__, info.name))


def case_params(width: int, rows: List[Tuple[Any, ...]]) -> List[Any]:
    """The parameters of `Dialect.update_case_sql` from update rows (values..., key[,
    version]): for each column, key and value of every row; then the keys; then, with a
    version column, key and version of every row."""
    out: List[Any] = []
    for j in range(width):
        for row in rows:
            out.append(row[width])
            out.append(row[j])
    out.extend(row[width] for row in rows)
    if len(rows[0]) > width + 1:
        for row in rows:
            out.append(row[width])
            out.append(row[width + 1])
    return out


__all__ = ["Dialect", "Compiler", "ModelSQL", "Plan", "How", "PLAIN", "NONE", "GENERAL", "SHAPE_OF", "condition_hows",
           "where_params", "check_columns", "case_params"]
