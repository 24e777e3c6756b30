"""What every engine module builds on: parameter styles, the `Engine` base class (what a
database can do and how it writes it) and the driver adapter bases.

An engine module (sqlite.py, postgresql.py, mariadb.py) holds everything one database
means: its capabilities (asked by the rest of the package, which never tests an engine's
name), its types, quoting, how values travel (dumpers) and come back (loaders), its DDL
and introspection, and its drivers, sync and async. A driver adapter only handles its
driver: it runs a statement in the driver's parameter style and reports rows, counts and
keys; what the statement is and what the rows mean is decided elsewhere.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import math
import re
import select
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Type

from ..errors import DatabaseError
from ..kinds import Kind
from ..model import MISSING
from ..ops import Fetch, Op, Steps

if TYPE_CHECKING:
    from ..model import Field, ModelInfo

Version = Tuple[int, ...]
# A driver's exception -> the sablecrest class to raise it as; None: not a database
# error, it passes through as it is.
Classify = Callable[[BaseException], Optional[Type[DatabaseError]]]
Dumper = Callable[[Any], Any]  # a Python value -> the parameter the driver takes
Loader = Callable[[Any], Any]  # what the driver returns -> the Python value


class ParamStyle:
    """How a driver marks a value in the text (PEP 249's paramstyle)."""

    __slots__ = ("name", "marker", "escapes_percent", "toolkit_dialect")

    def __init__(self, name: str, marker: str, escapes_percent: bool, toolkit_dialect: str) -> None:
        self.name = name
        self.marker = marker  # "?", "%s" or "$" (numbered from 1)
        self.escapes_percent = escapes_percent  # the driver reads the text as a %-format
        self.toolkit_dialect = toolkit_dialect  # the native toolkit's dialect with this style

    def placeholder(self, position: int) -> str:
        return "$%d" % position if self.marker == "$" else self.marker

    def __repr__(self) -> str:
        return "<ParamStyle %s>" % self.name


QMARK = ParamStyle("qmark", "?", False, "sqlite")
FORMAT = ParamStyle("format", "%s", True, "mysql")
NUMERIC = ParamStyle("numeric", "$", False, "postgres")


class URL(NamedTuple):
    """A parsed database URL: the engine's name and what its driver needs. `query` holds
    the driver options of the query string, (name, value) in order; `engines.resolve`
    checks them against the driver's `options` and gives them their types."""

    engine: str
    database: str  # SQLite: a path or ":memory:"; servers: the database name
    host: str = ""
    port: Optional[int] = None
    user: str = ""
    password: str = ""
    query: Tuple[Tuple[str, Any], ...] = ()
    text: str = ""


# ---------------------------------------------------------------- URL options


class Option:
    """A driver option of a URL's query string: what it takes (for the message when the
    text is not that) and how the text becomes the value."""

    __slots__ = ("kind", "parse")

    def __init__(self, kind: str, parse: Callable[[str], Any]) -> None:
        self.kind = kind
        self.parse = parse  # raises ValueError for a text it does not take


def int_option(low: int = 0, high: Optional[int] = None) -> Option:
    def parse(text: str) -> int:
        if not re.fullmatch(r"[+-]?[0-9]+", text):
            raise ValueError(text)
        value = int(text)
        if value < low or high is not None and value > high:
            raise ValueError(text)
        return value

    return Option("an int from %d%s" % (low, " to %d" % high if high is not None else ""), parse)


def seconds_option() -> Option:
    def parse(text: str) -> float:
        value = float(text)  # ValueError for what is not a number
        if not (value > 0 and math.isfinite(value)):
            raise ValueError(text)
        return value

    return Option("a positive number of seconds", parse)


_BOOLS = {"true": True, "yes": True, "on": True, "1": True, "false": False, "no": False, "off": False, "0": False}


def bool_option() -> Option:
    def parse(text: str) -> bool:
        return _BOOLS[text.lower()] if text.lower() in _BOOLS else _no(text)

    return Option("true or false", parse)


def text_option() -> Option:
    def parse(text: str) -> str:
        return text if text and "\0" not in text else _no(text)

    return Option("a non-empty text", parse)


def choice_option(*choices: str) -> Option:
    def parse(text: str) -> str:
        return text if text in choices else _no(text)

    return Option("one of %s" % ", ".join(choices), parse)


def _no(text: str) -> Any:
    raise ValueError(text)


def url_options(url: URL, driver: str, options: Dict[str, Option]) -> Tuple[Tuple[str, Any], ...]:
    """The query string's options, each checked and typed by `options` (the driver's):
    an unknown one, one given twice or a value of the wrong form is a ValueError naming
    the option."""
    seen: Dict[str, Any] = {}
    for key, text in url.query:
        option = options.get(key)
        if option is None:
            raise ValueError("unknown option %r in the database URL: %s takes %s" % (
                key, driver, ", ".join(sorted(options)) if options else "none"))
        if key in seen:
            raise ValueError("the database URL gives the option %r twice" % key)
        try:
            seen[key] = option.parse(text)
        except ValueError:
            raise ValueError("the database URL's option %s takes %s, got %r" % (key, option.kind, text)) from None
    return tuple(seen.items())


# ---------------------------------------------------------------- value conversions


def iso_text(v: Any) -> Any:
    return v.isoformat()


def decimal_text(v: Any) -> Any:
    return str(v)


def to_bool(v: Any) -> Any:
    return bool(v)


def decimal_from_number(v: Any) -> decimal.Decimal:
    # NUMERIC affinity hands back an int, a float (up to 15 significant digits, which
    # repr() gives back exactly) or the text itself when it would not fit.
    if isinstance(v, float):
        return decimal.Decimal(repr(v))
    return decimal.Decimal(v)


def datetime_from_text(v: Any) -> Any:
    return _dt.datetime.fromisoformat(v) if isinstance(v, str) else v


def date_from_text(v: Any) -> Any:
    return _dt.date.fromisoformat(v) if isinstance(v, str) else v


# ---------------------------------------------------------------- schema descriptions
#
# What a migration reads of a live table (`TableSchema`, made by an engine's `inspect`)
# and what it writes (`Change`: statements with the statements that undo them). Every
# text in them is SQL the database wrote or will read, usable again in DDL as it is.


def split_type(text: str) -> Tuple[str, Tuple[str, ...]]:
    """A type name in lower case without its arguments, and the arguments:
    'Character Varying (200)' -> ('character varying', ('200',)); 'int(10) unsigned' ->
    ('int unsigned', ('10',)); 'timestamp(3) with time zone' -> ('timestamp with time
    zone', ('3',))."""
    t = " ".join(text.lower().split())
    m = re.match(r"^(.*?)\s*\(([^()]*)\)\s*(.*)$", t)
    if m is None:
        return t, ()
    return (m.group(1) + " " + m.group(3)).strip(), tuple(a.strip() for a in m.group(2).split(","))


def join_type(base: str, args: Tuple[str, ...]) -> str:
    return base + ("(%s)" % ",".join(args) if args else "")


class ColumnSchema(NamedTuple):
    name: str
    type: str
    nullable: bool
    default: Optional[str]  # the DEFAULT expression, None without one
    extra: str = ""  # what redefining the column must write again besides type, NULL and DEFAULT
    collation: str = ""  # written again only where it is not the table's
    generated: bool = False  # computed from an expression


class ForeignKeySchema(NamedTuple):
    columns: List[str]
    schema: str
    table: str
    to: List[Optional[str]]  # None: the referenced table's primary key, left implicit
    name: str = ""
    actions: str = ""  # " ON UPDATE ... ON DELETE ...", only those that are not the default


class IndexSchema(NamedTuple):
    name: str
    columns: List[Optional[str]]  # None for an expression
    unique: bool
    constraint: bool  # a UNIQUE constraint's own index, not one made by CREATE INDEX
    sql: str = ""  # SQLite: the CREATE INDEX text, to make it again after a rebuild


class TableSchema:
    """One live table. `declared` is the schema the model names (statements name a
    schema only when the model does); `schema` is the one the table was found in."""

    def __init__(self, schema: str, name: str, declared: Optional[str]) -> None:
        self.schema = schema
        self.name = name  # as the database spells it
        self.declared = declared
        self.columns: List[ColumnSchema] = []
        self.pk: List[str] = []
        self.fks: List[ForeignKeySchema] = []
        self.indexes: List[IndexSchema] = []  # the primary key's own left out
        # SQLite, for a rebuild: the CREATE TABLE text, the triggers, the AUTOINCREMENT counter.
        self.sql = ""
        self.triggers: List[str] = []
        self.seq: Optional[int] = None

    def __repr__(self) -> str:
        return "<TableSchema %s.%s: %s>" % (self.schema, self.name, ", ".join(c.name for c in self.columns))


class Change(NamedTuple):
    """The statements that make one change, and those that undo it (in the order to run them)."""

    up: List[str]
    down: List[str]


class Check(str):
    """A statement whose rows are failures (SQLite's foreign_key_check): a migration runs
    it as a read and stops, rolled back, if it returns any."""

    __slots__ = ()

    def failure(self, rows: List[Any]) -> str:
        return "%s returned %d rows" % (self, len(rows))


class Catalog:
    """What one migration learned of its connection when it began (the current schema,
    settings the engine's DDL depends on), and the settings it changed there for its
    length: `restore` puts them back."""

    def __init__(self, style: ParamStyle, version: Version) -> None:
        self.style = style
        self.version = version
        self.schema = ""  # the current schema (PostgreSQL) or database (MariaDB)
        self.restore: List[Op] = []
        # Foreign keys are enforced on this connection: what a migration changes without the
        # database checking it (SQLite with enforcement off for the rebuild) is checked
        # before the commit.
        self.checks_references = False
        self.settings: Dict[str, Any] = {}  # the engine's own, by setting name

    def read(self, sql: str, params: Sequence[Any] = ()) -> Fetch:
        """A read of the engine's own, its parameters marked '?' in `sql` and rewritten
        for the driver's style. Only SQLite's texts name identifiers (which may hold a
        '?'), and its drivers take '?' as it is."""
        style = self.style
        if params and style.marker != "?":
            head, *rest = sql.split("?")
            sql = head + "".join(style.placeholder(i + 1) + part for i, part in enumerate(rest))
        return Fetch(sql, list(params) if params else None)


def label(info: "ModelInfo", f: "Field[Any]") -> str:
    return "%s.%s" % (info.name, f.name)


def target(f: "Field[Any]") -> "ModelInfo":
    """The model a foreign key field refers to."""
    assert f.target is not None, f
    return f.target.__sc_info__


# ---------------------------------------------------------------- engines


class Engine:
    """What one database engine can do and how it writes it. One instance per engine;
    everything version-dependent takes the server's version."""

    name = ""
    quote_char = '"'
    # ---- capabilities
    array_in = False  # an IN list travels as one array parameter (= ANY(?))
    json_in = False  # past the parameter limit, an IN list travels as one JSON array
    stores_nan = True  # a float NaN round-trips (SQLite stores NULL instead)
    transactional_ddl = True  # DDL runs inside a transaction and rolls back with it
    lazy_begin = False  # a session's transaction begins at its first write, not its first read
    multi_row_default_insert = False  # INSERT of several rows with no column values (() VALUES (), ())
    # Rows one UPDATE of a flush writes, as CASE key WHEN ... expressions, where the
    # driver's executemany would send each row by itself; 1: executemany.
    update_rows = 1
    # ---- text
    like_escape = " ESCAPE '\\'"  # LIKE escapes with a backslash on every engine
    empty_insert = " DEFAULT VALUES"  # an INSERT with no column values
    offset_only_limit = ""  # the LIMIT to write before an OFFSET without one
    # ---- values, by field kind
    dumpers: Dict[Kind, Dumper] = {}
    loaders: Dict[Kind, Loader] = {}
    types: Dict[Kind, str] = {}  # DDL: the column type of a field without a db_type

    def returning(self, version: Version, variant: str) -> bool:
        """Whether INSERT ... RETURNING is there."""
        return True

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 65535

    def fold(self, name: str) -> str:
        """A column name as the engine compares it. Every name is written quoted, so on
        PostgreSQL it keeps its case exactly."""
        return name

    def quote(self, name: str) -> str:
        """An identifier between the engine's quotes, its quote characters doubled."""
        q = self.quote_char
        return q + name.replace(q, q + q) + q

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return "%s IS %sDISTINCT FROM %s" % (a, "" if negated else "NOT ", b)

    def upsert(self, key: str, columns: Sequence[str]) -> str:
        """The clause after INSERT ... VALUES that makes it update `columns` (quoted
        names) of the row whose key (quoted) already exists."""
        sets = ", ".join("%s = excluded.%s" % (c, c) for c in columns)
        return " ON CONFLICT (%s) DO %s" % (key, ("UPDATE SET " + sets) if sets else "NOTHING")

    def column_type(self, field: "Field[Any]") -> str:
        return field.db_type or self.types[Kind(field.kind)]

    def single_connection(self, url: URL) -> bool:
        """Whether the database lives in one connection (SQLite in memory)."""
        return False

    def parse_url(self, url: str) -> URL:
        """A server URL: ``scheme://user:pw@host:port/database?option=value``."""
        from urllib.parse import parse_qsl, unquote, urlsplit

        parts = urlsplit(url)
        try:
            port = parts.port
        except ValueError:
            raise ValueError("bad port in database URL %r" % url) from None
        return URL(self.name, unquote(parts.path.lstrip("/")), parts.hostname or "localhost", port,
                   unquote(parts.username or ""), unquote(parts.password or ""),
                   tuple(parse_qsl(parts.query, keep_blank_values=True)), url)

    # ---- schema: what migrations ask (capabilities first)
    migrates = False  # reads its schema and writes its DDL
    title = ""  # the engine's name in messages
    alters_columns = True  # changes a column in place (else: rebuilds the table)
    inline_references = True  # enforces a REFERENCES written on the column itself
    explicit_null = ""  # written after a nullable column's type
    drop_foreign_key = "DROP CONSTRAINT"
    name_limit = 63  # the longest identifier, in characters
    type_aliases: Dict[str, str] = {}  # a type name -> the name the engine reports for it

    def type_key(self, text: str) -> str:
        """A column type as the engine would report it, to compare a declared type with a
        live one: lower case, aliases resolved, defaults of arguments written out."""
        base, args = split_type(text)
        return join_type(self.type_aliases.get(base, base), args)

    def generates(self, key: str) -> bool:
        """Whether the database makes the values of a key column of this type (a type_key)."""
        raise NotImplementedError

    def key_type(self, info: "ModelInfo", f: "Field[Any]") -> str:
        """The column type of a generated key, as the database will report it."""
        text = f.db_type or "INTEGER"
        if not self.generates(self.type_key(text)):
            raise ValueError("%s is a generated key, so its db_type must be an integer type on %s, got %r"
                             % (label(info, f), self.name, f.db_type))
        return text

    def key_definition(self, info: "ModelInfo", f: "Field[Any]") -> str:
        """What CREATE TABLE writes after a generated key's name."""
        raise NotImplementedError

    def declared_type(self, info: "ModelInfo", f: "Field[Any]") -> str:
        """A field's column type in DDL."""
        if f.generated:
            return self.key_type(info, f)
        try:
            return self.column_type(f)
        except KeyError:
            raise ValueError("%s: the %s engine has no column type for %s; give the field a db_type"
                             % (label(info, f), self.name, f.type.__name__)) from None

    # ---- schema: literals (DDL takes no parameters)

    def text_literal(self, s: str) -> str:
        if "\0" in s:
            raise ValueError("holds a NUL character, which %s text cannot" % self.name)
        return "'" + s.replace("'", "''") + "'"

    def literal(self, kind: Kind, v: Any) -> str:
        """A field value as SQL text, stored as a parameter of that kind would be."""
        if kind == Kind.BOOL:
            return "1" if v else "0"
        if kind == Kind.INT:
            return str(int(v))
        if kind == Kind.STR:
            return self.text_literal(v)
        if kind == Kind.FLOAT:
            return repr(float(v)) if math.isfinite(v) else self.nonfinite(repr(float(v)))
        if kind == Kind.DECIMAL:
            return format(v, "f") if v.is_finite() else self.nonfinite(str(v))
        if kind == Kind.BYTES:
            return "X'%s'" % bytes(v).hex()
        if kind == Kind.DATETIME:
            return self.text_literal(v.isoformat(" "))
        return self.text_literal(v.isoformat())

    def nonfinite(self, text: str) -> str:
        raise ValueError("is %s, which %s cannot store" % (text, self.name))

    def default_sql(self, info: "ModelInfo", f: "Field[Any]") -> Optional[str]:
        """The field's default as a DEFAULT literal; None without a constant one."""
        if f.default is MISSING or f.default is None or callable(f.default):
            return None
        try:
            return self.literal(Kind(f.kind), f.default)
        except ValueError as exc:
            raise ValueError("%s: its default %s" % (label(info, f), exc)) from None

    # ---- schema: names

    def table_sql(self, schema: Optional[str], name: str) -> str:
        t = self.quote(name)
        return self.quote(schema) + "." + t if schema else t

    def model_table(self, info: "ModelInfo") -> str:
        return self.table_sql(info.schema, info.table)

    def live_table(self, table: TableSchema, name: str = "") -> str:
        return self.table_sql(table.declared, name or table.name)

    def fk_name(self, table: str, column: str) -> str:
        return ("%s_%s_fkey" % (table, column))[:self.name_limit]

    def schema_of(self, cat: Catalog, info: "ModelInfo") -> str:
        return info.schema or cat.schema

    def fold_table(self, cat: Catalog, name: str) -> str:
        """A table (or schema) name as the server compares it."""
        return name

    # ---- schema: DDL

    def references_sql(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]") -> str:
        t = target(f)
        return "%s (%s)" % (self.model_table(t), self.quote(t.pk.column))

    def fk_constraint(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]", named: bool = False) -> str:
        text = "FOREIGN KEY (%s) REFERENCES %s" % (self.quote(f.column), self.references_sql(cat, info, f))
        return "CONSTRAINT %s %s" % (self.quote(self.fk_name(info.table, f.column)), text) if named else text

    def column_sql(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]", default: Optional[str],
                   reference: bool) -> str:
        """A model column's definition after its name."""
        parts = [self.declared_type(info, f), "NOT NULL" if not f.nullable else self.explicit_null]
        if default is not None:
            parts.append("DEFAULT " + default)
        if f.primary_key:
            parts.append("PRIMARY KEY")
        if reference:
            parts.append("REFERENCES " + self.references_sql(cat, info, f))
        return " ".join(p for p in parts if p)

    def definition(self, type: str, nullable: bool, default: Optional[str], extra: str = "",
                   collation: str = "") -> str:
        """A column's definition after its name."""
        parts = [type + (" COLLATE " + collation if collation else ""),
                 "NOT NULL" if not nullable else self.explicit_null]
        if default is not None:
            parts.append("DEFAULT " + default)
        parts.append(extra)
        return " ".join(p for p in parts if p)

    def redefinition(self, c: ColumnSchema) -> str:
        """A live column's definition, as the database reported it."""
        return self.definition(c.type, c.nullable, c.default, c.extra, c.collation)

    def create_sql(self, name: str, parts: Sequence[str], if_not_exists: bool = True) -> str:
        return "CREATE TABLE %s%s (%s)" % ("IF NOT EXISTS " if if_not_exists else "", name, ", ".join(parts))

    def create_table(self, cat: Catalog, info: "ModelInfo") -> Change:
        """CREATE TABLE with every column, the key, defaults and foreign keys."""
        columns: List[str] = []
        constraints: List[str] = []
        for f in info.fields:
            if f.generated:
                definition = self.key_definition(info, f)
            else:
                inline = self.inline_references and f.references is not None
                definition = self.column_sql(cat, info, f, self.default_sql(info, f), inline)
            columns.append(self.quote(f.column) + " " + definition)
            if f.references is not None and (f.generated or not self.inline_references):
                constraints.append(self.fk_constraint(cat, info, f))
        name = self.model_table(info)
        return Change([self.create_sql(name, columns + constraints)], ["DROP TABLE IF EXISTS " + name])

    def add_column(self, cat: Catalog, info: "ModelInfo", table: TableSchema, f: "Field[Any]") -> List[Change]:
        """ADD COLUMN (and its foreign key), after the checks that the rows already there
        allow it."""
        if f.primary_key:
            raise ValueError("%s: the table %s exists without this primary key column; sablecrest does not "
                             "change primary keys" % (label(info, f), table.name))
        default = self.default_sql(info, f)
        if not f.nullable and default is None:
            why = "a callable default, which the database cannot run" if callable(f.default) else "no default"
            raise ValueError("%s is NOT NULL and has %s: adding it to the existing table %s needs a constant "
                             "Field(default=...) for the rows already there (or make it nullable)"
                             % (label(info, f), why, table.name))
        t, c = self.model_table(info), self.quote(f.column)
        inline = self.inline_references and f.references is not None
        out = [Change(["ALTER TABLE %s ADD COLUMN %s %s" % (t, c, self.column_sql(cat, info, f, default, inline))],
                      ["ALTER TABLE %s DROP COLUMN %s" % (t, c)])]
        if f.references is not None and not self.inline_references:
            out.append(self.add_foreign_key(cat, info, f))
        return out

    def add_foreign_key(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]") -> Change:
        t = self.model_table(info)
        name = self.quote(self.fk_name(info.table, f.column))
        return Change(["ALTER TABLE %s ADD %s" % (t, self.fk_constraint(cat, info, f, True))],
                      ["ALTER TABLE %s %s %s" % (t, self.drop_foreign_key, name)])

    def has_foreign_key(self, cat: Catalog, table: TableSchema, info: "ModelInfo", f: "Field[Any]") -> bool:
        """Whether the live table has the field's foreign key (to the referenced key)."""
        t = target(f)
        pk = self.fold(t.pk.column)
        schema, name = self.fold_table(cat, self.schema_of(cat, t)), self.fold_table(cat, t.table)
        return any(len(fk.columns) == 1 and self.fold(fk.columns[0]) == self.fold(f.column)
                   and self.fold_table(cat, fk.schema) == schema and self.fold_table(cat, fk.table) == name
                   and self.fold(fk.to[0] or pk) == pk for fk in table.fks)

    def change_column(self, cat: Catalog, info: "ModelInfo", table: TableSchema, f: "Field[Any]",
                      c: ColumnSchema, retype: bool, renull: bool) -> List[Change]:
        """The statements that give a live column the field's type and nullability."""
        raise NotImplementedError

    def drop_column(self, table: TableSchema, c: ColumnSchema) -> Change:
        """DROP COLUMN; undone by adding the column again as it was, without its values."""
        t, name = self.live_table(table), self.quote(c.name)
        return Change(["ALTER TABLE %s DROP COLUMN %s" % (t, name)],
                      ["ALTER TABLE %s ADD COLUMN %s %s" % (t, name, self.redefinition(c))])

    def rebuild(self, cat: Catalog, info: "ModelInfo", table: TableSchema, kept: List[ColumnSchema]) -> Steps:
        """Steps that return the Change that remakes the table as the model declares it
        (with the `kept` columns it does not declare), where columns are not altered in
        place."""
        raise NotImplementedError

    def check_references(self, cat: Catalog, table: TableSchema) -> Optional[Change]:
        """The check of a table's foreign keys where the migration changed them unchecked."""
        return None

    def null_count_sql(self, table: TableSchema, column: str) -> str:
        return "SELECT COUNT(*) FROM %s WHERE %s IS NULL" % (self.live_table(table), self.quote(column))

    # ---- schema: reading it

    def setup(self, style: ParamStyle, version: Version) -> Steps:
        """Steps, before the migration's transaction, that return its Catalog."""
        return Catalog(style, version)
        yield  # pragma: no cover  (makes this a generator)

    def teardown(self, cat: Catalog) -> Steps:
        """Steps, after the transaction, that put back the settings setup changed."""
        for op in cat.restore:
            yield op

    def inspect(self, cat: Catalog, info: "ModelInfo") -> Steps:
        """Steps that return the model's live table as a TableSchema, or None."""
        raise NotImplementedError

    # ---- schema: a migration script

    def script_frame(self) -> Tuple[List[str], List[str]]:
        """The lines a script writes before and after a block of migration statements."""
        return (["BEGIN;"], ["COMMIT;"]) if self.transactional_ddl else ([], [])

    def __repr__(self) -> str:
        return "<Engine %s>" % self.name


def version_of(text: str) -> Version:
    """The leading numbers of a server's version text (MariaDB reports
    "5.5.5-10.11.6-MariaDB-..." to clients that expect a MySQL 5 server)."""
    m = re.match(r"(?:5\.5\.5-)?(\d+)\.(\d+)(?:\.(\d+))?", text)
    return tuple(int(g) for g in m.groups() if g is not None) if m else (0,)


def need(module: str, package: str, scheme: str) -> Any:
    """The driver module, or an ImportError that says what to install."""
    try:
        return __import__(module)
    except ImportError:
        raise ImportError("%s URLs need the %s driver: pip install %s" % (scheme, module, package)) from None


# ---------------------------------------------------------------- driver adapters


def not_wrapped(exc: BaseException) -> Optional[Type[DatabaseError]]:
    return None


class Adapter:
    """A sync driver connection in the interface the sessions drive."""

    engine: Engine
    style: ParamStyle = QMARK
    raw: Any
    classify: Classify = staticmethod(not_wrapped)
    driver = ""  # the driver's name, in messages
    options: Dict[str, Option] = {}  # what a URL's query string may set
    # An interrupt (Ctrl-C) inside a driver call leaves the connection usable: true where
    # there is no wire protocol to fall out of step.
    survives_interrupt = False

    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        raise NotImplementedError

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        raise NotImplementedError

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        raise NotImplementedError

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        raise NotImplementedError("this engine returns generated keys with RETURNING")

    def begin(self) -> None:
        pass

    def commit(self) -> None:
        self.raw.commit()

    def rollback(self) -> None:
        self.raw.rollback()

    def close(self) -> None:
        self.raw.close()

    def usable(self) -> bool:
        """False once the connection is known to be lost."""
        return True

    def alive(self) -> bool:
        """Checked before the pool hands out a connection that sat idle: False when the
        server has closed it meanwhile (a restart, an idle timeout, a kill)."""
        return self.usable()

    def in_transaction(self) -> bool:
        """Whether the driver has a transaction open (checked when the connection goes
        back to the pool: it must not carry one over to the next session)."""
        return False

    def server_version(self) -> Tuple[Version, str]:
        """(version, variant): the server's version, and which server it is where one
        engine serves several (MariaDB and MySQL)."""
        raise NotImplementedError


def transport_quiet(transport: Any) -> bool:
    """`socket_quiet` for an asyncio transport's socket; True without one to look at."""
    sock = transport.get_extra_info("socket") if transport is not None else None
    return sock is None or socket_quiet(sock.fileno())


def socket_quiet(fd: int) -> bool:
    """An idle connection's socket has nothing to read: a server that closed it (or sent a
    termination notice) makes it readable. No round trip."""
    try:
        readable, _, _ = select.select([fd], [], [], 0)
    except (OSError, ValueError):
        return False
    return not readable


class CursorAdapter(Adapter):
    """A server driver's connection with one reused cursor."""

    cur: Any

    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        cur = self.cur
        cur.execute(sql, params)
        # rownumber is None when the statement returned no rows; `description` would
        # tell the same but builds a Column object per column on every access.
        rows: List[Any] = cur.fetchall() if cur.rownumber is not None else []
        return rows

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        self.cur.execute(sql, params)
        return int(self.cur.rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        self.cur.executemany(sql, seq)
        return int(self.cur.rowcount)

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        self.cur.execute(sql, params)
        return self.cur.lastrowid


class AsyncAdapter:
    """An async driver connection in the interface the sessions drive (the sync
    adapter's methods, awaited)."""

    engine: Engine
    style: ParamStyle = QMARK
    raw: Any
    classify: Classify = staticmethod(not_wrapped)
    driver = ""
    options: Dict[str, Option] = {}
    survives_interrupt = False  # a cancellation inside a driver call leaves it usable

    async def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        raise NotImplementedError

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        raise NotImplementedError

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        raise NotImplementedError

    async def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        raise NotImplementedError("this engine returns generated keys with RETURNING")

    async def begin(self) -> None:
        raise NotImplementedError

    async def commit(self) -> None:
        raise NotImplementedError

    async def rollback(self) -> None:
        raise NotImplementedError

    async def close(self) -> None:
        raise NotImplementedError

    def terminate(self) -> None:
        """Closes the connection at once, without a word to the server (which then rolls
        back whatever was not committed)."""
        raise NotImplementedError

    def usable(self) -> bool:
        """False once the connection is lost or closed."""
        raise NotImplementedError

    async def alive(self) -> bool:
        """Checked before the pool hands out a connection that sat idle (as the sync
        adapter's `alive`). The event loop reads a server's goodbye as it comes, so
        `usable` mostly knows already; what arrived and was not read yet is looked at
        here, without a round trip unless something did."""
        return self.usable()

    def in_transaction(self) -> bool:
        raise NotImplementedError

    def server_version(self) -> Tuple[Version, str]:
        raise NotImplementedError


__all__ = [
    "Version",
    "ParamStyle",
    "QMARK",
    "FORMAT",
    "NUMERIC",
    "URL",
    "Option",
    "int_option",
    "seconds_option",
    "bool_option",
    "text_option",
    "choice_option",
    "url_options",
    "Engine",
    "Adapter",
    "CursorAdapter",
    "AsyncAdapter",
    "Classify",
    "not_wrapped",
    "need",
    "version_of",
    "socket_quiet",
    "transport_quiet",
]
