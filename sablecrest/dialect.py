"""Dialects: a parameter style (how a driver marks a value) combined with an engine (what
the database can do and how it says it).

The style is the driver's business: sqlite3 takes ``?``, psycopg and PyMySQL take
``%s``, asyncpg takes ``$1``. The engine is the server's: its quote character, whether
INSERT can return the generated keys, its NULL-safe comparison, how it folds the case of
names, how it writes an upsert, its types. A `Dialect` joins the two for one server
version and keeps the statement texts it has compiled, one per query shape.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import json
from typing import TYPE_CHECKING, Any, Callable, Dict, Hashable, List, Sequence, Tuple

from _sablecrest_rs import QueryCompiler


if TYPE_CHECKING:
    from .expr import Condition, Ordering
    from .model import Field, ModelInfo

Version = Tuple[int, ...]


class ParamStyle:
    """How a driver marks a value in the text (PEP 249's paramstyle)."""

    __slots__ = ("name", "code", "compiler_dialect", "escapes_percent")

    def __init__(self, name: str, code: int, compiler_dialect: str, escapes_percent: bool) -> None:
        self.name = name
        self.code = code  # the native core's style number
        self.compiler_dialect = compiler_dialect  # the QueryCompiler dialect with this style
        self.escapes_percent = escapes_percent  # the driver reads the text as a %-format

    def placeholder(self, position: int) -> str:
        return "?" if self.code == 0 else "%s" if self.code == 1 else "$%d" % position

    def values_groups(self, rows: int, cols: int) -> str:
        return ", ".join("(%s)" % ", ".join(self.placeholder(r * cols + c + 1) for c in range(cols)) for r in range(rows))

    def __repr__(self) -> str:
        return "<ParamStyle %s>" % self.name


QMARK = ParamStyle("qmark", 0, "sqlite", False)
FORMAT = ParamStyle("format", 1, "mysql", True)
NUMERIC = ParamStyle("numeric", 2, "postgres", False)


# ---------------------------------------------------------------- engines


def _iso(v: Any) -> Any:
    return v.isoformat()


def _decimal_from_sqlite(v: Any) -> decimal.Decimal:
    # NUMERIC affinity hands back an int, a float (up to 15 significant digits, which
    # repr() gives back exactly) or the text itself when it would not fit.
    if isinstance(v, float):
        return decimal.Decimal(repr(v))
    return decimal.Decimal(v)


def _datetime_from_text(v: Any) -> Any:
    return _dt.datetime.fromisoformat(v) if isinstance(v, str) else v


def _date_from_text(v: Any) -> Any:
    return _dt.date.fromisoformat(v) if isinstance(v, str) else v


_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


class Engine:
    """What one database engine can do and how it writes it."""

    name = ""
    quote = '"'
    array_in = False  # IN lists travel as one array parameter
    empty_insert = " DEFAULT VALUES"  # an INSERT with no column values
    offset_only_limit = ""  # the LIMIT to write before an OFFSET without one
    # Rows one UPDATE of a flush writes, as CASE key WHEN ... expressions, where the
    # driver's executemany would send each row by itself; 1: executemany.
    update_rows = 1
    # LIKE escapes with a backslash on every engine (SQLite has no default escape).
    like_escape = " ESCAPE '\\'"
    dumpers: Dict[int, Callable[[Any], Any]] = {}  # by field kind: Python value -> parameter
    loaders: Dict[int, Callable[[Any], Any]] = {}  # by field kind: driver value -> Python value

    def returning(self, version: Version, variant: str) -> bool:
        return True

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 65535

    def fold(self, name: str) -> str:
        """A column name as the engine compares it. Every name is written quoted, so on
        PostgreSQL it keeps its case exactly."""
        return name

    def null_safe_eq(self, a: str, b: str) -> str:
        return "%s IS NOT DISTINCT FROM %s" % (a, b)

    def null_safe_ne(self, a: str, b: str) -> str:
        return "%s IS DISTINCT FROM %s" % (a, b)

    def upsert(self, key: str, columns: Sequence[str]) -> str:
        """The clause after INSERT ... VALUES that makes it update `columns` (quoted
        names) of the row whose key (quoted) already exists."""
        sets = ", ".join("%s = excluded.%s" % (c, c) for c in columns)
        return " ON CONFLICT (%s) DO %s" % (key, ("UPDATE SET " + sets) if sets else "NOTHING")

    # DDL: the column type of a field (its db_type when given).
    types: Dict[int, str] = {}

    def column_type(self, field: "Field[Any]") -> str:
        return field.db_type or self.types[field.kind]

    def __repr__(self) -> str:
        return "<Engine %s>" % self.name


class SQLite(Engine):
    name = "sqlite"
    offset_only_limit = " LIMIT -1"
    # SQLite has no decimal or date storage: exact text, ISO-8601 text. A NUMERIC column
    # turns decimal text into a number where that is lossless, so comparisons stay numeric.
    dumpers = {6: str, 7: _iso, 8: _iso}
    loaders = {4: bool, 6: _decimal_from_sqlite, 7: _datetime_from_text, 8: _date_from_text}
    types = {1: "INTEGER", 2: "TEXT", 3: "REAL", 4: "BOOLEAN", 5: "BLOB", 6: "NUMERIC", 7: "TIMESTAMP", 8: "DATE"}

    def returning(self, version: Version, variant: str) -> bool:
        return version >= (3, 35, 0)

    def fold(self, name: str) -> str:
        return name.translate(_ASCII_LOWER)  # SQLite ignores the case of ASCII letters only

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 32766 if version >= (3, 32, 0) else 999

    def null_safe_eq(self, a: str, b: str) -> str:
        return "%s IS %s" % (a, b)

    def null_safe_ne(self, a: str, b: str) -> str:
        return "%s IS NOT %s" % (a, b)


class PostgreSQL(Engine):
    name = "postgresql"
    array_in = True
    types = {
        1: "INTEGER",
        2: "TEXT",
        3: "DOUBLE PRECISION",
        4: "BOOLEAN",
        5: "BYTEA",
        6: "NUMERIC",
        7: "TIMESTAMP",
        8: "DATE",
    }

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 32767 if style is NUMERIC else 65535  # asyncpg counts in a signed 16-bit


class MariaDB(Engine):
    name = "mariadb"
    quote = "`"
    update_rows = 100  # PyMySQL's executemany sends UPDATEs one round trip at a time
    # LIKE already escapes with a backslash here, and an explicit ESCAPE '\\' is refused
    # when the session's sql_mode has NO_BACKSLASH_ESCAPES.
    like_escape = ""
    empty_insert = " () VALUES ()"
    offset_only_limit = " LIMIT 18446744073709551615"
    loaders = {4: bool}  # BOOLEAN is TINYINT(1): it comes back as 0 or 1
    # DATETIME(6): without the precision the server silently drops the microseconds;
    # DECIMAL alone would be DECIMAL(10,0) and round away every fraction.
    types = {
        1: "INTEGER",
        2: "TEXT",
        3: "DOUBLE",
        4: "BOOLEAN",
        5: "LONGBLOB",
        6: "DECIMAL(65,30)",
        7: "DATETIME(6)",
        8: "DATE",
    }

    def returning(self, version: Version, variant: str) -> bool:
        return variant == "mariadb" and version >= (10, 5)

    def fold(self, name: str) -> str:
        return name.lower()  # column names compare without case

    def null_safe_eq(self, a: str, b: str) -> str:
        return "%s <=> %s" % (a, b)

    def null_safe_ne(self, a: str, b: str) -> str:
        return "NOT (%s <=> %s)" % (a, b)

    def upsert(self, key: str, columns: Sequence[str]) -> str:
        return " ON DUPLICATE KEY UPDATE " + ", ".join("%s = VALUES(%s)" % (c, c) for c in (columns or [key]))

    def column_type(self, field: "Field[Any]") -> str:
        # A TEXT or BLOB column cannot be a key without a prefix length.
        if field.db_type is None and field.kind in (2, 5) and (field.primary_key or field.references is not None):
            return "VARCHAR(255)" if field.kind == 2 else "VARBINARY(255)"
        return super().column_type(field)


ENGINES: Dict[str, Engine] = {"sqlite": SQLite(), "postgresql": PostgreSQL(), "mariadb": MariaDB()}


# ---------------------------------------------------------------- compilation


class Compiler:
    """Hands out placeholders in order while one statement is rendered."""

    __slots__ = ("dialect", "n")

    def __init__(self, dialect: "Dialect", start: int = 0) -> None:
        self.dialect = dialect
        self.n = start

    def ph(self) -> str:
        self.n += 1
        return self.dialect.style.placeholder(self.n)

    def col(self, field: "Field[Any]") -> str:
        return self.dialect.q(field.column)


class ModelSQL:
    """One model's texts and conversions in one dialect, made once."""

    __slots__ = (
        "info",
        "table",
        "columns",
        "select_list",
        "loaders",
        "dumpers",
        "pk_index",
        "pk_column",
        "insert_all",
        "insert_generated",
    )

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


_compiler = QueryCompiler()

# Statement texts a dialect keeps before it starts over: enough for every shape of a
# real application, bounded for one that builds shapes without end.
_CACHE_LIMIT = 2048


class Dialect:
    """An engine, a parameter style and a server version, with the compiled texts."""

    def __init__(self, engine: Engine, style: ParamStyle, version: Version, variant: str = "") -> None:
        self.engine = engine
        self.style = style
        self.version = version
        self.variant = variant or engine.name
        self.returning = engine.returning(version, self.variant)
        self.max_params = engine.max_params(version, style)
        self._models: Dict[Any, ModelSQL] = {}
        self._sql: Dict[Hashable, str] = {}

    def __repr__(self) -> str:
        return "<Dialect %s %s %s>" % (self.engine.name, ".".join(map(str, self.version)), self.style.name)

    # ---- names and values

    def q(self, name: str) -> str:
        """A quoted identifier, its quote characters doubled (and '%' doubled for
        drivers that read the text as a %-format)."""
        text = self.engine.quote + name.replace(self.engine.quote, self.engine.quote * 2) + self.engine.quote
        return text.replace("%", "%%") if self.style.escapes_percent else text

    def table(self, info: "ModelInfo") -> str:
        t = self.q(info.table)
        return self.q(info.schema) + "." + t if info.schema else t

    def model(self, info: "ModelInfo") -> ModelSQL:
        m = self._models.get(info.model)
        if m is None:
            m = self._models[info.model] = ModelSQL(self, info)
        return m

    def dump(self, field: "Field[Any]", value: Any) -> Any:
        if value is None:
            return None
        f = self.engine.dumpers.get(field.kind)
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
        return "json" if self.engine.name == "sqlite" else n

    def render_in(self, c: Compiler, field: "Field[Any]", negated: bool, n: int) -> str:
        col = c.col(field)
        shape = self.in_shape(n)
        if shape == 0:
            return "1 = 1" if negated else "1 = 0"
        if shape == "array":
            return ("%s <> ALL(%s)" if negated else "%s = ANY(%s)") % (col, c.ph())
        if shape == "json":
            rhs = "(SELECT value FROM json_each(%s))" % c.ph()
        else:
            rhs = "(%s)" % ", ".join(c.ph() for _ in range(shape))  # type: ignore[call-overload]
        return "%s %s %s" % (col, "NOT IN" if negated else "IN", rhs)

    def in_params(self, field: "Field[Any]", values: List[Any], out: List[Any]) -> None:
        n = len(values)
        shape = self.in_shape(n)
        if shape == 0:
            return
        dumper = self.engine.dumpers.get(field.kind)
        if dumper is not None:
            values = [None if v is None else dumper(v) for v in values]
        if shape == "array":
            out.append(values)
        elif shape == "json":
            if any(isinstance(v, bytes) for v in values):
                raise ValueError(
                    "%s.in_() with %d bytes values is past SQLite's %d-variable limit" % (field.name, n, self.max_params)
                )
            out.append(json.dumps(values))
        else:
            out.extend(values)
            if shape != n:
                out.extend([values[-1]] * (shape - n))  # type: ignore[operator]

    # ---- statements

    def select_sql(
        self,
        info: "ModelInfo",
        where: "Sequence[Condition]",
        order: "Sequence[Ordering]",
        has_limit: bool,
        has_offset: bool,
        count: bool,
    ) -> str:
        key = (
            "select",
            info.model,
            tuple([w.key(self) for w in where]),
            tuple([o.shape for o in order]),
            has_limit,
            has_offset,
            count,
        )
        return self._cached(key, lambda: self._compile_select(info, where, order, has_limit, has_offset, count))

    def _compile_select(self, info: "ModelInfo", where: "Sequence[Condition]", order: "Sequence[Ordering]",
                        has_limit: bool, has_offset: bool, count: bool) -> str:
        m = self.model(info)
        c = Compiler(self)
        paged = has_limit or has_offset
        head = "SELECT 1" if count and paged else "SELECT COUNT(*)" if count else "SELECT " + m.select_list
        parts = [head, " FROM ", m.table]
        if where:
            parts += [" WHERE ", " AND ".join(w.render(c) for w in where)]
        if order and not count:
            parts.append(" ORDER BY ")
            parts.append(", ".join(c.col(o.field) + (" DESC" if o.descending else " ASC") for o in order))
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

    def insert_sql(self, info: "ModelInfo", idxs: Tuple[int, ...], rows: int, returning: bool) -> str:
        key = ("insert", info.model, idxs, rows, returning)
        return self._cached(key, lambda: self._compile_insert(info, idxs, rows, returning))

    def _compile_insert(self, info: "ModelInfo", idxs: Tuple[int, ...], rows: int, returning: bool) -> str:
        m = self.model(info)
        tail = " RETURNING " + m.pk_column if returning else ""
        if not idxs:
            return "INSERT INTO " + m.table + self.engine.empty_insert + tail
        cols = [m.columns[i] for i in idxs]
        if rows == 1 and not returning:
            return _compiler.compile_insert(m.table, cols, self.style.compiler_dialect)
        groups = self.style.values_groups(rows, len(cols))
        return "INSERT INTO %s (%s) VALUES %s%s" % (m.table, ", ".join(cols), groups, tail)

    def upsert_sql(self, info: "ModelInfo", rows: int) -> str:
        """INSERT of every column that updates the row when its key exists."""

        def build() -> str:
            m = self.model(info)
            others = [c for i, c in enumerate(m.columns) if i != m.pk_index]
            groups = self.style.values_groups(rows, len(m.columns))
            return "INSERT INTO %s (%s) VALUES %s%s" % (
                m.table, ", ".join(m.columns), groups, self.engine.upsert(m.pk_column, others))

        return self._cached(("upsert", info.model, rows), build)

    def update_sql(self, info: "ModelInfo", idxs: Tuple[int, ...]) -> str:
        key = ("update", info.model, idxs)

        def build() -> str:
            m = self.model(info)
            return _compiler.compile_update(m.table, [m.columns[i] for i in idxs], m.pk_column, self.style.compiler_dialect)

        return self._cached(key, build)

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
            keys = ", ".join(c.ph() for _ in range(rows))
            return "UPDATE %s SET %s WHERE %s IN (%s)" % (m.table, ", ".join(sets), m.pk_column, keys)

        return self._cached(("update_case", info.model, idxs, rows), build)

    def delete_sql(self, info: "ModelInfo", n: int) -> str:
        key = ("delete", info.model, self.in_shape(n) if n != 1 else 1)

        def build() -> str:
            m = self.model(info)
            if n == 1:
                return _compiler.compile_delete(m.table, m.pk_column, self.style.compiler_dialect)
            return "DELETE FROM %s WHERE %s" % (m.table, self.render_in(Compiler(self), info.pk, False, n))

        return self._cached(key, build)

    def rows_per_insert(self, columns: int) -> int:
        """Rows in one multi-row INSERT: bounded by the parameter limit."""
        return max(1, min(1000, self.max_params // max(1, columns)))


__all__ = [
    "ParamStyle",
    "QMARK",
    "FORMAT",
    "NUMERIC",
    "Engine",
    "SQLite",
    "PostgreSQL",
    "MariaDB",
    "ENGINES",
    "Dialect",
    "Compiler",
    "ModelSQL",
]
