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
import enum
import functools
import hashlib
import json
import math
import re
import select
import uuid
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple, Type

from ..errors import DatabaseError
from ..kinds import Kind
from ..model import MISSING
from ..model import json_text as json_text  # the engines' JSON dumper
from ..ops import Fetch, Op, Steps

if TYPE_CHECKING:
    from ..model import AnyField, Field, ModelInfo

Version = Tuple[int, ...]
TableName = Tuple[Optional[str], str]  # (the schema the model names, or None; the table)
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


# bool itself: a loader runs for every row of a boolean column, and the type's own call
# costs no Python frame.
to_bool: Loader = bool


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


UTC = _dt.timezone.utc


def time_from_text(v: Any) -> Any:
    return _dt.time.fromisoformat(v) if isinstance(v, str) else v


def uuid_text(v: Any) -> Any:
    return str(v)


def uuid_from_any(v: Any) -> Any:
    # A driver's own UUID type (asyncpg has one) or the text: always a uuid.UUID, so that
    # a loaded key equals (and hashes as) the one the program holds.
    return v if type(v) is uuid.UUID else uuid.UUID(str(v))


def micros(v: Any) -> Any:
    """A timedelta as an exact count of microseconds (where there is no interval type)."""
    return (v.days * 86400 + v.seconds) * 1000000 + v.microseconds


def timedelta_from_micros(v: Any) -> Any:
    return _dt.timedelta(microseconds=v) if isinstance(v, int) else v


def json_from_text(v: Any) -> Any:
    return json.loads(v) if isinstance(v, (str, bytes, bytearray)) else v


def utc_naive(v: Any) -> Any:
    """An aware datetime as the naive UTC time it is (for a column without a zone)."""
    return v.astimezone(UTC).replace(tzinfo=None)


def utc_aware(v: Any) -> Any:
    """A datetime read back for an aware field: UTC, whatever zone the driver gave it in
    (a naive one is UTC already)."""
    if v.tzinfo is None:
        return v.replace(tzinfo=UTC)
    return v if v.tzinfo is UTC else v.astimezone(UTC)


def enum_value(v: Any) -> Any:
    # A str or int enum's member has been made its plain value already (the native
    # param_of binds subclasses of str and int as such).
    return v.value if isinstance(v, enum.Enum) else v


def enum_loader(f: "Field[Any]") -> Loader:
    """The member of the field's enum for a stored value; ValueError naming the field and
    the value for one the enum does not have (a row written outside sablecrest, or
    before a member was removed)."""
    cls, label_text = f.type, "%s.%s" % (f.model.__name__, f.name)

    def load(v: Any) -> Any:
        try:
            return cls(v)
        except ValueError:
            raise ValueError("%s: the database holds %r, which is not a value of %s"
                             % (label_text, v, cls.__name__)) from None

    return load


def json_loader(f: "Field[Any]") -> Loader:
    """A JSON field's value from its text, checked to be what the field holds (dict or
    list)."""
    want, label_text = f.type, "%s.%s" % (f.model.__name__, f.name)

    def load(v: Any) -> Any:
        value = json_from_text(v)
        if type(value) is not want:
            raise ValueError("%s: the database holds JSON %s, and the field holds %s"
                             % (label_text, type(value).__name__, want.__name__))
        return value

    return load


def decimal_float(v: Any) -> Any:
    return float(v)


# What an aggregate or an expression returns, as the Python type of its kind: engines
# widen (PostgreSQL sums ints as bigint or numeric, MariaDB as DECIMAL) and SQLite
# computes with floats.


def decimal_of(v: Any) -> decimal.Decimal:
    if type(v) is decimal.Decimal:
        return v
    if isinstance(v, float):
        # A sum of floats carries the error of every addition: 15 significant digits are
        # what a double holds exactly (Decimal("0.1") * 3 sums to 0.30000000000000004).
        return decimal.Decimal(format(v, ".15g"))
    return decimal.Decimal(v)


# ---------------------------------------------------------------- schema descriptions
#
# What a migration reads of a live table (`TableSchema`, made by an engine's `inspect`)
# and what it writes (`Change`: statements with the statements that undo them). Every
# text in them is SQL the database wrote or will read, usable again in DDL as it is.


def _balanced(text: str) -> bool:
    depth = 0
    for ch in text:
        depth += 1 if ch == "(" else -1 if ch == ")" else 0
        if depth < 0:
            return False
    return depth == 0


@functools.lru_cache(maxsize=256)
def decimal_scale(db_type: Optional[str]) -> Optional[int]:
    """The scale a DECIMAL or NUMERIC db_type declares ('DECIMAL(10,2)' -> 2), else None."""
    if db_type is None:
        return None
    name, args = split_type(db_type)
    if name not in ("decimal", "numeric", "dec") or len(args) != 2 or not args[1].isdigit():
        return None
    return int(args[1])


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
    sql: str = ""  # the CREATE INDEX text, to make it again (after a rebuild, in a downgrade)


class CheckSchema(NamedTuple):
    name: str  # "" for a CHECK without a name (SQLite)
    sql: str  # the expression, as the database writes it


class WantedIndex(NamedTuple):
    """A unique constraint or index a model declares, named for one engine."""

    name: str
    columns: List[str]
    unique: bool
    constraint: bool  # UNIQUE constraint (Unique, unique=True) rather than an index
    explicit: bool  # named by the model


class WantedCheck(NamedTuple):
    """A CHECK a model's table has: the model's own (`kind` "check"), or one that keeps a
    column's values to its field's type ("enum": the enum's values; "json": valid JSON)."""

    name: str
    sql: str
    kind: str
    field: Any  # the Field, or None (typed Any: a Field is a descriptor, which NamedTuple fields are not)


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
        self.checks: List[CheckSchema] = []
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


_ON_DELETE = {"cascade": "CASCADE", "set null": "SET NULL", "restrict": "RESTRICT"}


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
    # The generated key of a one-row INSERT costs less from the driver (lastrowid) than
    # from RETURNING, which makes the statement return rows.
    last_id_cheaper = False
    # Rows one UPDATE of a flush writes, as CASE key WHEN ... expressions, where the
    # driver's executemany would send each row by itself; 1: executemany.
    update_rows = 1
    # The values of such a CASE are written CAST(? AS type): the server types each
    # parameter when it prepares the text, and one that only CASE results surround is text.
    casts_case_values = False
    # A DECIMAL(p,s) column rounds what is written to it to its scale. Where it does not
    # (SQLite, which computes decimals in floats and stores the double), a Decimal field
    # set to an expression by a set-based write is rounded to its db_type's scale in the
    # statement: the price * 1.1 of DECIMAL(10,2) is then 13.2, not 13.200000000000001.
    rounds_decimals = True
    # ---- locking and transactions
    # SELECT ... FOR UPDATE locks the rows it reads. Where it cannot (SQLite, which locks
    # the whole database), a locking read takes the write lock first: the transaction
    # begins with BEGIN IMMEDIATE, so two sessions reading to write take turns.
    locks_rows = True
    # The levels `db.session(isolation=...)` takes; each is set with SET TRANSACTION
    # ISOLATION LEVEL at the start of the transaction, unless it is the engine's only one.
    isolation_levels = frozenset({"serializable", "repeatable read", "read committed"})
    sets_isolation = True
    # ---- how a statement of the user's own is read (its :name parameters)
    backslash_escapes = False  # a backslash escapes the next character in '...' and "..."
    hash_comments = False  # '#' starts a comment, to the end of the line
    dollar_quotes = False  # $tag$...$tag$ bodies and E'...' strings (with backslash escapes)
    backtick_quotes = False  # `name`
    bracket_quotes = False  # [name]
    nested_comments = False  # /* /* */ */
    # ---- text
    like_escape = " ESCAPE '\\'"  # LIKE escapes with a backslash on every engine
    empty_insert = " DEFAULT VALUES"  # an INSERT with no column values
    offset_only_limit = ""  # the LIMIT to write before an OFFSET without one
    # ---- values, by field kind
    dumpers: Dict[Kind, Dumper] = {}
    loaders: Dict[Kind, Loader] = {}
    types: Dict[Kind, str] = {}  # DDL: the column type of a field without a db_type
    # A value compared with (or computed into) an expression other than a plain column,
    # which has no column type to convert the parameter to.
    value_dumpers: Dict[Kind, Dumper] = {}
    # The results of expressions and aggregates, as the Python type of their kind. A
    # loader that is a type is not called for a value of exactly that type (the native
    # core gives it back as it is).
    result_loaders: Dict[Kind, Loader] = {
        Kind.INT: int, Kind.FLOAT: float, Kind.DECIMAL: decimal_of, Kind.BOOL: to_bool,
        Kind.DATETIME: datetime_from_text, Kind.DATE: date_from_text,
    }
    # ---- functions: the text of each function of `sablecrest.func` that differs
    length_function = "CHAR_LENGTH"  # characters, not bytes
    now_sql = "LOCALTIMESTAMP"  # the current time in UTC, naive

    def returning(self, version: Version, variant: str) -> bool:
        """Whether INSERT ... RETURNING is there."""
        return True

    def update_returning(self, version: Version, variant: str) -> bool:
        """Whether UPDATE ... RETURNING is there."""
        return self.returning(version, variant)

    def delete_returning(self, version: Version, variant: str) -> bool:
        """Whether DELETE ... RETURNING is there."""
        return self.returning(version, variant)

    def function_sql(self, name: str, args: List[str]) -> str:
        """A call of `sablecrest.func`'s function `name` with rendered arguments."""
        if name == "count" and not args:
            return "COUNT(*)"
        if name == "now":
            return self.now_sql
        return "%s(%s)" % (self.length_function if name == "length" else name.upper(), ", ".join(args))

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 65535

    def lock_options(self, version: Version, variant: str) -> Tuple[bool, bool]:
        """Whether FOR UPDATE takes NOWAIT, and SKIP LOCKED, on this server version."""
        return self.locks_rows, self.locks_rows

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

    def upsert(self, keys: Sequence[str], columns: Sequence[str]) -> str:
        """The clause after INSERT ... VALUES that makes it update `columns` (quoted
        names) of the row whose key (its quoted columns) already exists."""
        sets = ", ".join("%s = excluded.%s" % (c, c) for c in columns)
        return " ON CONFLICT (%s) DO %s" % (", ".join(keys), ("UPDATE SET " + sets) if sets else "NOTHING")

    # ---- values, by field: the kind's converters, and those that depend on the field
    aware_type = "TIMESTAMP"  # DDL: the column type of a timezone-aware datetime field
    aware_dumper: Optional[Dumper] = None  # an aware datetime -> the parameter
    aware_loader: Optional[Loader] = staticmethod(utc_aware)  # -> an aware datetime in UTC

    def dumper(self, f: Any) -> Optional[Dumper]:
        """What turns field (or column) `f`'s values into parameters; None: nothing."""
        kind = f.kind
        if kind == Kind.ENUM:
            return enum_value
        if kind == Kind.DATETIME and getattr(f, "timezone", False):
            return self.aware_dumper
        return self.dumpers.get(kind)

    def loader(self, f: "AnyField") -> Optional[Loader]:
        """What turns the driver's values of field `f` into the field's; None: nothing."""
        kind = f.kind
        if kind == Kind.ENUM:
            return enum_loader(f)
        if kind == Kind.JSON:
            return json_loader(f)
        if kind == Kind.DATETIME and f.timezone:
            return self.aware_loader
        return self.loaders.get(kind)

    def fallback_sql(self, kind: Optional[Kind], ph: str) -> str:
        """The placeholder of a value COALESCE falls back to, as this engine keeps the
        type of the column before it."""
        return ph

    def column_type(self, field: "AnyField", version: Version = ()) -> str:
        if field.db_type:
            return field.db_type
        if field.kind == Kind.ENUM:
            return "INTEGER" if type(field.enum_values[0]) is int else "VARCHAR(255)"
        if field.kind == Kind.DATETIME and field.timezone:
            return self.aware_type
        return self.types[Kind(field.kind)]

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

    def declared_type(self, info: "ModelInfo", f: "Field[Any]", cat: Optional[Catalog] = None) -> str:
        """A field's column type in DDL (on the server version of `cat`)."""
        if f.generated:
            return self.key_type(info, f)
        try:
            return self.column_type(f, cat.version if cat is not None else ())
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
        if kind == Kind.ENUM:
            v = v.value if isinstance(v, enum.Enum) else v
            return str(int(v)) if isinstance(v, int) else self.text_literal(v)
        if kind == Kind.UUID:
            return self.text_literal(str(v))
        if kind == Kind.JSON:
            return self.text_literal(json_text(v))
        if kind == Kind.TIMEDELTA:
            return self.interval_literal(v)
        return self.text_literal(v.isoformat())

    def interval_literal(self, v: Any) -> str:
        return str(micros(v))  # microseconds, where there is no interval type

    def nonfinite(self, text: str) -> str:
        raise ValueError("is %s, which %s cannot store" % (text, self.name))

    def default_sql(self, info: "ModelInfo", f: "Field[Any]") -> Optional[str]:
        """The column's DEFAULT: the field's server_default, or its constant default as a
        literal; None without either."""
        if f.server_default is not None:
            return self.server_default_sql(f.server_default.text)
        if f.default is MISSING or f.default is None or callable(f.default):
            return None
        try:
            return self.literal(Kind(f.kind), f.default)
        except ValueError as exc:
            raise ValueError("%s: its default %s" % (label(info, f), exc)) from None

    # ---- schema: names

    def server_default_sql(self, text: str) -> str:
        """A server default's SQL as DEFAULT takes it."""
        return text

    def default_key(self, text: Optional[str]) -> Optional[str]:
        """A DEFAULT expression as comparable text: the engines report what they were
        given with their own spelling (case, parentheses, casts, `()` after
        current_timestamp)."""
        if text is None:
            return None

        def plain(part: str) -> str:  # outside string literals, whose case and spaces count
            part = re.sub(r"::[a-z_ ]+(?:\[\])?(?:\(\d+(?:,\d+)?\))?", "", part.lower())
            # MariaDB writes CURRENT_TIMESTAMP as current_timestamp(), with the column's
            # precision: current_timestamp(6).
            part = re.sub(r"\b(current_timestamp|current_date|current_time|localtimestamp|localtime)\(\d*\)",
                          r"\1", part)
            return re.sub(r"\s+", "", part)

        pieces = re.split(r"('(?:[^']|'')*')", text)
        t = "".join(piece if i % 2 else plain(piece) for i, piece in enumerate(pieces))
        while t.startswith("(") and t.endswith(")") and _balanced(t[1:-1]):
            t = t[1:-1]
        return t

    # ---- schema: names

    def fit_name(self, name: str) -> str:
        """A generated name within the engine's identifier limit: a longer one is cut and
        ends in _ and 8 hex digits of the SHA-1 of the whole name, so that two long names
        stay apart."""
        if self.name_length(name) <= self.name_limit:
            return name
        tail = "_" + hashlib.sha1(name.encode("utf-8")).hexdigest()[:8]
        head = name
        while self.name_length(head) > self.name_limit - len(tail):
            head = head[:-1]
        return head + tail

    def name_length(self, name: str) -> int:
        return len(name)

    def index_name(self, info: "ModelInfo", columns: Sequence[str], unique: bool) -> str:
        """uq_<table>_<columns> for a unique constraint, ix_<table>_<columns> for an index."""
        return self.fit_name("_".join(["uq" if unique else "ix", info.table] + list(columns)))

    def check_name(self, info: "ModelInfo", expression: str, column: Optional[str]) -> str:
        """ck_<table>_[<column>_]<hash>, the hash the first 8 hex digits of the SHA-1 of the
        expression: another expression is another constraint."""
        digest = hashlib.sha1(expression.encode("utf-8")).hexdigest()[:8]
        return self.fit_name("_".join(["ck", info.table] + ([column] if column else []) + [digest]))

    def wanted_indexes(self, info: "ModelInfo") -> List[WantedIndex]:
        out: List[WantedIndex] = []
        for spec in info.indexes:
            columns = [f.column for f in spec.fields]
            name = spec.name or self.index_name(info, columns, spec.constraint or spec.unique)
            out.append(WantedIndex(name, columns, spec.unique, spec.constraint, spec.name is not None))
        return out

    json_check = False  # a JSON column is text, kept to valid JSON by a CHECK

    def wanted_checks(self, info: "ModelInfo") -> List[WantedCheck]:
        """The model's CHECKs (fields' first), then those that keep an enum column to its
        values (ck_<table>_<column>_enum) and, where JSON is text, a JSON column to valid
        JSON (ck_<table>_<column>_json)."""
        out: List[WantedCheck] = []
        for spec in info.checks:
            column = spec.field.column if spec.field is not None else None
            out.append(WantedCheck(spec.name or self.check_name(info, spec.expression, column), spec.expression,
                                   "check", spec.field))
        for f in info.fields:
            if f.kind == Kind.ENUM and f.db_type is None:
                values = ", ".join(self.literal(Kind.ENUM, v) for v in f.enum_values)
                out.append(WantedCheck(self.fit_name("ck_%s_%s_enum" % (info.table, f.column)),
                                       "%s IN (%s)" % (self.quote(f.column), values), "enum", f))
            elif f.kind == Kind.JSON and self.json_check and f.db_type is None:
                # json_valid(NULL) is 0 on SQLite, which a CHECK takes as a failure.
                col = self.quote(f.column)
                out.append(WantedCheck(self.fit_name("ck_%s_%s_json" % (info.table, f.column)),
                                       "%s IS NULL OR json_valid(%s)" % (col, col), "json", f))
        return out

    def check_values(self, sql: str) -> Tuple[Set[str], Set[int]]:
        """The str and the int literals of a CHECK's text as the database reports it (an
        enum's values, however the engine spells the list)."""
        text = re.sub(r'"(?:[^"]|"")*"|`(?:[^`]|``)*`', " ", sql)
        strings = {m.replace("''", "'") for m in re.findall(r"'((?:[^']|'')*)'", text)}
        text = re.sub(r"'(?:[^']|'')*'", " ", text)
        ints = {int(m) for m in re.findall(r"(?<![\w.])-?\d+(?![\w.])", text)}
        return strings, ints

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
        return "%s (%s)%s" % (self.model_table(t), self.quote(t.pk.column), self.fk_actions(f))

    def fk_actions(self, f: "Field[Any]") -> str:
        """What follows a foreign key's REFERENCES: its ON DELETE action, when it has one."""
        return " ON DELETE " + _ON_DELETE[f.on_delete] if f.on_delete else ""

    def fk_action_key(self, actions: str) -> str:
        """A live foreign key's ON DELETE action (from its `actions`), as the model's
        on_delete names it ("" for the engine's default)."""
        m = re.search(r"ON DELETE (CASCADE|SET NULL|RESTRICT|SET DEFAULT|NO ACTION)", actions.upper())
        action = m.group(1) if m else ""
        return "" if action in ("", "NO ACTION") else action.lower()

    def on_delete_key(self, on_delete: Optional[str]) -> str:
        """A field's on_delete as fk_action_key reports it once made."""
        return on_delete or ""

    def fk_constraint(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]", named: bool = False) -> str:
        text = "FOREIGN KEY (%s) REFERENCES %s" % (self.quote(f.column), self.references_sql(cat, info, f))
        return "CONSTRAINT %s %s" % (self.quote(self.fk_name(info.table, f.column)), text) if named else text

    def column_sql(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]", default: Optional[str],
                   reference: bool) -> str:
        """A model column's definition after its name."""
        parts = [self.declared_type(info, f, cat), "NOT NULL" if not f.nullable else self.explicit_null]
        if default is not None:
            parts.append("DEFAULT " + default)
        if f.primary_key and not info.composite:
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

    unique_constraints = True  # ALTER TABLE ADD CONSTRAINT ... UNIQUE (else: a unique index)
    indexes_foreign_keys = False  # a foreign key makes an index of its own where none serves it

    def table_constraints(self, cat: Catalog, info: "ModelInfo") -> List[str]:
        """What CREATE TABLE writes after the columns besides foreign keys: a composite
        primary key, the UNIQUE constraints and the CHECKs."""
        out: List[str] = []
        if info.composite:
            out.append("PRIMARY KEY (%s)" % ", ".join(self.quote(f.column) for f in info.key))
        if self.unique_constraints:
            out += [self.unique_sql(w) for w in self.wanted_indexes(info) if w.constraint]
        out += ["CONSTRAINT %s CHECK (%s)" % (self.quote(w.name), w.sql) for w in self.wanted_checks(info)]
        return out

    def unique_sql(self, w: WantedIndex) -> str:
        return "CONSTRAINT %s UNIQUE (%s)" % (self.quote(w.name), ", ".join(self.quote(c) for c in w.columns))

    def create_table(self, cat: Catalog, info: "ModelInfo") -> Change:
        """CREATE TABLE with every column, the key, defaults, foreign keys, unique
        constraints and CHECKs; then the indexes."""
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
        up = [self.create_sql(name, columns + constraints + self.table_constraints(cat, info))]
        for w in self.wanted_indexes(info):
            if not (w.constraint and self.unique_constraints):
                up += self.create_index(cat, info, w).up
        return Change(up, ["DROP TABLE IF EXISTS " + name])

    # ---- schema: indexes, constraints and renames of a live table

    def create_index(self, cat: Catalog, info: "ModelInfo", w: WantedIndex) -> Change:
        """A model's unique constraint or index added to its table."""
        t = self.model_table(info)
        if w.constraint and self.unique_constraints:
            return Change(["ALTER TABLE %s ADD %s" % (t, self.unique_sql(w))],
                          ["ALTER TABLE %s %s %s" % (t, self.drop_unique, self.quote(w.name))])
        create = "CREATE %sINDEX %s ON %s (%s)" % ("UNIQUE " if w.unique else "", self.index_ref(info.schema, w.name),
                                                   self.index_table(info), ", ".join(self.quote(c) for c in w.columns))
        return Change([create], [self.drop_index_sql(info.schema, w.name, t)])

    drop_unique = "DROP CONSTRAINT"

    def index_table(self, info: "ModelInfo") -> str:
        """The table where CREATE INDEX names it."""
        return self.model_table(info)

    def index_ref(self, schema: Optional[str], name: str) -> str:
        """An index's name where CREATE INDEX takes it."""
        return self.quote(name)

    def drop_index_sql(self, schema: Optional[str], name: str, table: str) -> str:
        return "DROP INDEX %s" % self.table_sql(schema, name)

    def drop_index(self, cat: Catalog, table: TableSchema, ix: IndexSchema) -> Change:
        """A live unique constraint or index dropped; undone by making it again."""
        t = self.live_table(table)
        if ix.constraint and self.unique_constraints:
            columns = ", ".join(self.quote(c or "") for c in ix.columns)
            return Change(["ALTER TABLE %s %s %s" % (t, self.drop_unique, self.quote(ix.name))],
                          ["ALTER TABLE %s ADD CONSTRAINT %s UNIQUE (%s)" % (t, self.quote(ix.name), columns)])
        again = ix.sql or "CREATE %sINDEX %s ON %s (%s)" % (
            "UNIQUE " if ix.unique else "", self.index_ref(table.declared, ix.name), t,
            ", ".join(self.quote(c or "") for c in ix.columns))
        return Change([self.drop_index_sql(table.declared, ix.name, t)], [again])

    def add_check(self, cat: Catalog, info: "ModelInfo", w: WantedCheck) -> Change:
        t = self.model_table(info)
        return Change(["ALTER TABLE %s ADD CONSTRAINT %s CHECK (%s)" % (t, self.quote(w.name), w.sql)],
                      ["ALTER TABLE %s DROP CONSTRAINT %s" % (t, self.quote(w.name))])

    def drop_check(self, cat: Catalog, table: TableSchema, c: CheckSchema) -> Change:
        t = self.live_table(table)
        return Change(["ALTER TABLE %s DROP CONSTRAINT %s" % (t, self.quote(c.name))],
                      ["ALTER TABLE %s ADD CONSTRAINT %s CHECK (%s)" % (t, self.quote(c.name), c.sql)])

    def drop_foreign_key_change(self, cat: Catalog, table: TableSchema, fk: ForeignKeySchema) -> Change:
        """A live foreign key dropped; undone by adding it again as it was."""
        t = self.live_table(table)
        to = " (%s)" % ", ".join(self.quote(c or "") for c in fk.to) if all(fk.to) else ""
        again = "ALTER TABLE %s ADD CONSTRAINT %s FOREIGN KEY (%s) REFERENCES %s%s%s" % (
            t, self.quote(fk.name), ", ".join(self.quote(c) for c in fk.columns),
            self.table_sql(fk.schema if table.declared or fk.schema != table.schema else None, fk.table), to,
            fk.actions)
        return Change(["ALTER TABLE %s %s %s" % (t, self.drop_foreign_key, self.quote(fk.name))], [again])

    def rename_column(self, cat: Catalog, table: TableSchema, c: ColumnSchema, new: str) -> Change:
        t = self.live_table(table)
        sql = "ALTER TABLE %s RENAME COLUMN %s TO %s"
        return Change([sql % (t, self.quote(c.name), self.quote(new))], [sql % (t, self.quote(new), self.quote(c.name))])

    def rename_table(self, cat: Catalog, table: TableSchema, new: str) -> Change:
        sql = "ALTER TABLE %s RENAME TO %s"
        return Change([sql % (self.live_table(table), self.quote(new))],
                      [sql % (self.live_table(table, new), self.quote(table.name))])

    def table_renamed(self, table: TableSchema, new: str) -> None:
        """`table` (read under its old name) as it is once renamed to `new`."""
        table.name = new

    def set_default(self, cat: Catalog, table: TableSchema, c: ColumnSchema, default: Optional[str]) -> Change:
        """A live column's DEFAULT changed (None: dropped)."""
        col = "ALTER TABLE %s ALTER COLUMN %s " % (self.live_table(table), self.quote(c.name))

        def to(d: Optional[str]) -> str:
            return col + ("DROP DEFAULT" if d is None else "SET DEFAULT " + d)

        return Change([to(default)], [to(c.default)])

    def null_of(self, type: str) -> str:
        """A NULL of a column type, in a SELECT list (where a CHECK is tried out)."""
        return "NULL"

    def rows_as_model_sql(self, cat: Catalog, info: "ModelInfo", table: Optional[TableSchema],
                          live: Dict[str, str]) -> str:
        """A SELECT of the live table's rows naming every column as the model does (`live`
        maps a field's column to the live column it is; a column to be added holds its
        constant default), or, without a table, of one row of NULLs."""
        parts: List[str] = []
        for f in info.fields:
            name = live.get(f.column)
            if name is not None:
                value = self.quote(name)
            else:
                default = self.default_sql(info, f) if f.server_default is None else None
                value = self.null_of(self.declared_type(info, f, cat)) if default is None else default
            parts.append("%s AS %s" % (value, self.quote(f.column)))
        return "SELECT %s%s" % (", ".join(parts), " FROM " + self.live_table(table) if table is not None else "")

    def rows_failing_sql(self, source: str, expression: str, rows: bool = True) -> str:
        """The count of the rows of `source` (a SELECT naming every column as the model
        does) that a CHECK expression refuses; without `rows`, a statement that only
        asks the database whether it takes the expression."""
        return "SELECT COUNT(*) FROM (%s) %s WHERE %sNOT (%s)" % (source, self.quote("sc_rows"),
                                                                 "" if rows else "1 = 0 AND ", expression)

    def duplicates_sql(self, source: str, columns: Sequence[str]) -> str:
        """The count of the values of `columns` (none NULL) that more than one row of
        `source` holds."""
        cols = ", ".join(self.quote(c) for c in columns)
        present = " AND ".join("%s IS NOT NULL" % self.quote(c) for c in columns)
        return "SELECT COUNT(*) FROM (SELECT 1 AS %s FROM (%s) %s WHERE %s GROUP BY %s HAVING COUNT(*) > 1) %s" % (
            self.quote("n"), source, self.quote("sc_rows"), present, cols, self.quote("sc_dups"))

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
        """Whether the live table has the field's foreign key (to the referenced key, with
        its ON DELETE action when the field names one: without on_delete, the action is
        left as the database has it)."""
        t = target(f)
        pk = self.fold(t.pk.column)
        schema, name = self.fold_table(cat, self.schema_of(cat, t)), self.fold_table(cat, t.table)
        return any(self.fold_table(cat, fk.schema) == schema and self.fold_table(cat, fk.table) == name
                   and self.fold(fk.to[0] or pk) == pk
                   and (f.on_delete is None or self.fk_action_key(fk.actions) == self.on_delete_key(f.on_delete))
                   for fk in self.foreign_keys_on(table, f.column))

    def foreign_keys_on(self, table: TableSchema, column: str) -> List[ForeignKeySchema]:
        """The live one-column foreign keys on `column`."""
        return [fk for fk in table.fks if len(fk.columns) == 1 and self.fold(fk.columns[0]) == self.fold(column)]

    def change_column(self, cat: Catalog, info: "ModelInfo", table: TableSchema, f: "Field[Any]",
                      c: ColumnSchema, retype: bool, renull: bool, redefault: bool = False) -> List[Change]:
        """The statements that give a live column the field's type, nullability and
        server default."""
        raise NotImplementedError

    def drop_column(self, table: TableSchema, c: ColumnSchema) -> Change:
        """DROP COLUMN; undone by adding the column again as it was, without its values."""
        t, name = self.live_table(table), self.quote(c.name)
        return Change(["ALTER TABLE %s DROP COLUMN %s" % (t, name)],
                      ["ALTER TABLE %s ADD COLUMN %s %s" % (t, name, self.redefinition(c))])

    def rebuild(self, cat: Catalog, info: "ModelInfo", table: TableSchema, kept: List[ColumnSchema],
                renamed: Optional[Dict[str, str]] = None, keep_checks: Optional[List[CheckSchema]] = None,
                keep_indexes: Optional[List[IndexSchema]] = None) -> Steps:
        """Steps that return the Change that remakes the table as the model declares it
        (with the `kept` columns, CHECKs and indexes it does not declare, and its columns
        renamed as `renamed` says), where columns are not altered in place."""
        raise NotImplementedError

    def check_references(self, cat: Catalog, table: TableSchema) -> Optional[Change]:
        """The check of a table's foreign keys where the migration changed them unchecked."""
        return None

    def null_count_sql(self, table: TableSchema, column: str) -> str:
        return "SELECT COUNT(*) FROM %s WHERE %s IS NULL" % (self.live_table(table), self.quote(column))

    def check_all_references(self, cat: Catalog) -> Steps:
        """Steps that check every foreign key of the database where the migration's
        connection does not enforce them (SQLite, with enforcement off for a rebuild), so
        that rows written meanwhile (by a revision's data step) are checked before the
        commit: they return what is wrong, as text, or None."""
        return None
        yield  # pragma: no cover  (makes this a generator)

    # ---- schema: reading it

    def setup(self, style: ParamStyle, version: Version) -> Steps:
        """Steps, before the migration's transaction, that return its Catalog."""
        return Catalog(style, version)
        yield  # pragma: no cover  (makes this a generator)

    def teardown(self, cat: Catalog) -> Steps:
        """Steps, after the transaction, that put back the settings setup changed."""
        for op in cat.restore:
            yield op

    def inspect(self, cat: Catalog, info: "ModelInfo", name: Optional[str] = None) -> Steps:
        """Steps that return the model's live table as a TableSchema, or None."""
        raise NotImplementedError

    def read_columns(self, cat: Catalog, tables: Sequence[TableName]) -> Steps:
        """Steps that return {(declared schema, table): its columns, or None where there
        is no such table} for the tables asked, in one query: names, types and
        nullability as `inspect` reports them (a revision's check of the tables it was
        written against costs one round trip, not an inspection per table)."""
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
    counts_many = True  # executemany reports the rows it matched

    def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        raise NotImplementedError

    def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        raise NotImplementedError

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        raise NotImplementedError

    def insert_id(self, sql: str, params: Optional[Sequence[Any]]) -> Any:
        raise NotImplementedError("this engine returns generated keys with RETURNING")

    def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        """A statement of the user's own: (rows, row count). The count of a statement
        that returns rows is their number (an UPDATE ... RETURNING returns a row per row
        it changed); otherwise the driver's count of the rows it changed."""
        raise NotImplementedError

    def begin(self, lock: bool = False, isolation: Optional[str] = None) -> None:
        """Opens the session's transaction (where the driver does not open one by
        itself at the first statement). `lock`: take the write lock now, where the
        engine locks the whole database rather than rows (`Engine.locks_rows` False);
        `isolation`: the statement that sets this transaction's isolation level."""
        if isolation is not None:
            self.execute(isolation, None)  # None: the text as it is

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


class SocketWatch:
    """`socket_quiet` for the socket of one connection, asked at each checkout: a poll
    object registered once costs a third of what select() costs with the lists it builds
    each time (select() where there is no poll)."""

    __slots__ = ("fd", "poll")

    def __init__(self) -> None:
        self.fd = -1
        self.poll: Any = None

    def quiet(self, fd: int) -> bool:
        if fd != self.fd:
            if not hasattr(select, "poll"):
                return socket_quiet(fd)
            poll = select.poll()
            poll.register(fd, select.POLLIN | select.POLLPRI)  # hang-ups and errors are always reported
            self.fd, self.poll = fd, poll
        try:
            return not self.poll.poll(0)
        except (OSError, ValueError):
            return False


class CursorAdapter(Adapter):
    """A server driver's connection with one reused cursor."""

    cur: Any

    def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        cur = self.cur
        cur.execute(sql, params)
        # rownumber is None when the statement returned no rows; `description` would
        # tell the same but builds a Column object per column on every access.
        rows: List[Any] = cur.fetchall() if cur.rownumber is not None else []
        return rows

    def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        self.cur.execute(sql, params)
        return int(self.cur.rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        self.cur.executemany(sql, seq)
        return int(self.cur.rowcount)

    def insert_id(self, sql: str, params: Optional[Sequence[Any]]) -> Any:
        self.cur.execute(sql, params)
        return self.cur.lastrowid

    def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        cur = self.cur
        cur.execute(sql, params)
        if cur.description is None:
            return [], int(cur.rowcount)
        rows = list(cur.fetchall())
        return rows, len(rows)


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
    counts_many = True  # executemany reports the rows it matched

    async def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        raise NotImplementedError

    async def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        raise NotImplementedError

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        raise NotImplementedError

    async def insert_id(self, sql: str, params: Optional[Sequence[Any]]) -> Any:
        raise NotImplementedError("this engine returns generated keys with RETURNING")

    async def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        raise NotImplementedError

    async def begin(self, lock: bool = False, isolation: Optional[str] = None) -> None:
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
    "TableName",
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
    "SocketWatch",
    "transport_quiet",
]
