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
from typing import TYPE_CHECKING, Any, Callable, Dict, Hashable, Iterable, List, Optional, Sequence, Tuple

from . import toolkit
from .engines.base import Engine, ParamStyle, Version
from .kinds import Kind
from .expr import Column, Condition, Expression, Ordering

if TYPE_CHECKING:
    from .model import Field, ModelInfo

# Statement texts a dialect keeps before it starts over: enough for every shape of a
# real application, bounded for one that builds shapes without end.
_CACHE_LIMIT = 2048


class Compiler:
    """Writes one statement: placeholders in order, columns quoted."""

    __slots__ = ("dialect", "n")

    def __init__(self, dialect: "Dialect", start: int = 0) -> None:
        self.dialect = dialect
        self.n = start

    def ph(self) -> str:
        self.n += 1
        return self.dialect.style.placeholder(self.n)

    def phs(self, count: int) -> str:
        return ", ".join([self.ph() for _ in range(count)])

    def col(self, column: Column) -> str:
        return self.dialect.q(column.column)

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return self.dialect.engine.null_safe(a, b, negated)

    @property
    def like_escape(self) -> str:
        return self.dialect.engine.like_escape

    def function(self, name: str, args: List[str]) -> str:
        text = self.dialect.engine.function_sql(name, args)
        if not args and self.dialect.style.escapes_percent:
            text = text.replace("%", "%%")  # the engine's own text (arguments are escaped already)
        return text

    def subquery(self, query: Any, mode: str) -> str:
        raise ValueError("a query inside a condition needs a statement that qualifies its columns")

    def in_list(self, column: Expression, negated: bool, n: int) -> str:
        col = column.render(self)
        shape = self.dialect.in_shape(n)
        if shape == 0:
            return "1 = 1" if negated else "1 = 0"
        if shape == "array":
            return ("%s <> ALL(%s)" if negated else "%s = ANY(%s)") % (col, self.ph())
        if shape == "json":
            rhs = "(SELECT value FROM json_each(%s))" % self.ph()
        else:
            rhs = "(%s)" % self.phs(shape)  # type: ignore[arg-type]
        return "%s %s %s" % (col, "NOT IN" if negated else "IN", rhs)


class ModelSQL:
    """One model's names and conversions in one dialect, made once."""

    __slots__ = ("info", "table", "columns", "select_list", "loaders", "dumpers", "pk_index", "pk_column",
                 "insert_all", "insert_generated")

    def __init__(self, d: "Dialect", info: "ModelInfo") -> None:
        self.info = info
        self.table = d.table(info)
        self.columns = [d.q(f.column) for f in info.fields]
        self.select_list = ", ".join(self.columns)
        loaders = tuple(d.engine.loaders.get(f.kind) for f in info.fields)
        dumpers = tuple(d.engine.dumpers.get(f.kind) for f in info.fields)
        self.loaders = loaders if any(loaders) else None
        self.dumpers = dumpers if any(dumpers) else None
        self.pk_index = info.fields.index(info.pk)
        self.pk_column = self.columns[self.pk_index]
        self.insert_all = tuple(range(len(info.fields)))
        self.insert_generated = tuple(i for i in self.insert_all if i != self.pk_index)


class Dialect:
    """An engine, a parameter style and a server version, with the compiled texts."""

    def __init__(self, engine: Engine, style: ParamStyle, version: Version, variant: str = "") -> None:
        self.engine = engine
        self.style = style
        self.version = version
        self.variant = variant or engine.name
        self.returning = engine.returning(version, self.variant)
        self.update_returning = engine.update_returning(version, self.variant)
        self.delete_returning = engine.delete_returning(version, self.variant)
        self.max_params = engine.max_params(version, style)
        self._models: Dict[Any, ModelSQL] = {}
        self._sql: Dict[Hashable, str] = {}
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

    def dump(self, column: Column, value: Any) -> Any:
        if value is None:
            return None
        f = self.engine.dumpers.get(column.kind)
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

    def in_shape(self, n: int) -> Hashable:
        if n == 0:
            return 0
        if self.engine.array_in:
            return "array"
        size = 1 << (n - 1).bit_length()
        if size <= self.max_params // 2:
            return size
        return "json" if self.engine.json_in else n

    def in_params(self, column: Expression, values: List[Any], out: List[Any]) -> None:
        n = len(values)
        shape = self.in_shape(n)
        if shape == 0:
            return
        dumpers = self.engine.dumpers if isinstance(column, Column) else self.engine.value_dumpers
        dumper = dumpers.get(column.kind) if column.kind is not None else None
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
                out.extend([values[-1]] * (shape - n))  # type: ignore[operator]

    # ---- reads

    def select_sql(self, info: "ModelInfo", where: Sequence[Condition], order: Sequence[Ordering],
                   has_limit: bool, has_offset: bool, count: bool) -> str:
        key = ("select", info.model, tuple([w.key(self) for w in where]), tuple([o.shape for o in order]),
               has_limit, has_offset, count)
        text = self._sql.get(key)
        if text is None:
            text = self._cached(key, lambda: self._compile_select(info, where, order, has_limit, has_offset, count))
        return text

    def _compile_select(self, info: "ModelInfo", where: Sequence[Condition], order: Sequence[Ordering],
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

    def insert_sql(self, info: "ModelInfo", idxs: Tuple[int, ...], rows: int, returning: bool) -> str:
        key = ("insert", info.model, idxs, rows, returning)

        def build() -> str:
            m = self.model(info)
            tail = " RETURNING " + m.pk_column if returning else ""
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
            others = [c for i, c in enumerate(m.columns) if i != m.pk_index]
            return "INSERT INTO %s (%s) VALUES %s%s" % (m.table, ", ".join(m.columns), self.values_groups(
                rows, len(m.columns)), self.engine.upsert(m.pk_column, others))

        return self._cached(("upsert", info.model, rows), build)

    def update_sql(self, info: "ModelInfo", idxs: Tuple[int, ...]) -> str:
        def build() -> str:
            m = self.model(info)
            return toolkit.update_by_key(m.table, [m.columns[i] for i in idxs], m.pk_column, self.style.toolkit_dialect)

        return self._cached(("update", info.model, idxs), build)

    def update_case_sql(self, info: "ModelInfo", idxs: Tuple[int, ...], rows: int) -> str:
        """One UPDATE of `rows` rows: each column set to CASE key WHEN k THEN v ... END,
        for the rows WHERE key IN (...)."""

        def build() -> str:
            m = self.model(info)
            c = Compiler(self)
            sets = []
            for i in idxs:
                whens = "".join(" WHEN %s THEN %s" % (c.ph(), c.ph()) for _ in range(rows))
                sets.append("%s = CASE %s%s END" % (m.columns[i], m.pk_column, whens))
            return "UPDATE %s SET %s WHERE %s IN (%s)" % (m.table, ", ".join(sets), m.pk_column, c.phs(rows))

        return self._cached(("update_case", info.model, idxs, rows), build)

    def delete_sql(self, info: "ModelInfo", n: int) -> str:
        def build() -> str:
            m = self.model(info)
            if n == 1:
                return toolkit.delete_by_key(m.table, m.pk_column, self.style.toolkit_dialect)
            return "DELETE FROM %s WHERE %s" % (m.table, Compiler(self).in_list(info.pk, False, n))

        return self._cached(("delete", info.model, self.in_shape(n) if n != 1 else 1), build)

    def rows_per_insert(self, columns: int) -> int:
        """Rows in one multi-row INSERT: bounded by the parameter limit."""
        return max(1, min(1000, self.max_params // max(1, columns)))


def check_columns(info: "ModelInfo", columns: Iterable[Column], allowed: Optional[Iterable[Any]] = None) -> None:
    """ValueError for a column of a model that is not part of the statement."""
    models = {info.model} if allowed is None else set(allowed)
    for col in columns:
        if col.model not in models:
            raise ValueError("%s.%s belongs to %s, which is not part of this query of %s"
                             % (col.model.__name__, col.name, col.model.__name__, info.name))


def case_params(width: int, rows: List[Tuple[Any, ...]]) -> List[Any]:
    """The parameters of `Dialect.update_case_sql` from update rows (values..., key): for
    each column, key and value of every row; then the keys."""
    out: List[Any] = []
    for j in range(width):
        for row in rows:
            out.append(row[-1])
            out.append(row[j])
    out.extend(row[-1] for row in rows)
    return out


__all__ = ["Dialect", "Compiler", "ModelSQL", "check_columns", "case_params"]
