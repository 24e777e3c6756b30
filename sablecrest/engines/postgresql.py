"""PostgreSQL: the engine, and its drivers (psycopg 3, asyncpg).

Both drivers take the server's own ``$1`` placeholders (psycopg through a RawCursor), so
they share every compiled text. IN lists travel as one array parameter (``= ANY($1)``).
A COMMIT of a transaction that an error aborted is answered with a rollback, which both
adapters report as the error it is.

Its schema is read from information_schema, and from pg_catalog where information_schema
joins constraints by names that are unique only per table. DDL is transactional: a
migration is one transaction.
"""

from __future__ import annotations

import asyncio
import re
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Type

from ..errors import (
    CheckViolation,
    DatabaseError,
    DataError,
    DeadlockError,
    ForeignKeyViolation,
    IntegrityError,
    InterfaceError,
    InternalError,
    NotNullViolation,
    NotSupportedError,
    OperationalError,
    ProgrammingError,
    UniqueViolation,
    pep249_class,
)
from ..kinds import Kind
from ..ops import ReadSetting, Steps
from .base import (
    FORMAT,
    NUMERIC,
    URL,
    AsyncAdapter,
    Catalog,
    Change,
    ColumnSchema,
    CursorAdapter,
    Engine,
    CheckSchema,
    ForeignKeySchema,
    IndexSchema,
    Option,
    ParamStyle,
    SocketWatch,
    TableName,
    TableSchema,
    Version,
    choice_option,
    int_option,
    join_type,
    json_text,
    need,
    seconds_option,
    split_type,
    text_option,
    transport_quiet,
    uuid_from_any,
)

if TYPE_CHECKING:
    from ..model import Field, ModelInfo


# pg_constraint.confdeltype: a foreign key's ON DELETE action ("a", no action, is the default).
_DELETE_ACTIONS = {"r": "RESTRICT", "c": "CASCADE", "n": "SET NULL", "d": "SET DEFAULT"}

# What information_schema.columns tells of a column's type, for _column_type.
_TYPE_COLUMNS = ("data_type, udt_name, character_maximum_length, numeric_precision, numeric_scale, "
                 "datetime_precision")


def _column_type(dtype: str, udt: str, length: Optional[int], prec: Optional[int], scale: Optional[int],
                 dprec: Optional[int]) -> str:
    """A column's type as DDL writes it, from information_schema's description."""
    if dtype in ("character varying", "character", "bit", "bit varying") and length is not None:
        return "%s(%d)" % (dtype, length)
    if dtype == "numeric" and prec is not None:
        return "numeric(%d,%d)" % (prec, scale or 0)
    if dtype.startswith(("timestamp", "time ")) and dprec is not None and dprec != 6:
        head, _, tail = dtype.partition(" ")
        return "%s(%d) %s" % (head, dprec, tail)
    if dtype == "USER-DEFINED":
        return udt
    if dtype == "ARRAY":
        return udt[1:] + "[]"
    return dtype


class PostgreSQL(Engine):
    name = "postgresql"
    array_in = True
    casts_case_values = True
    dollar_quotes = True
    nested_comments = True
    now_sql = "(CURRENT_TIMESTAMP AT TIME ZONE 'UTC')"
    # A session that only reads sends no BEGIN and COMMIT: its reads run as statements
    # of their own (each sees what was committed when it started, as each statement of
    # a READ COMMITTED transaction does) until the first write begins the transaction.
    lazy_begin = True
    types = {Kind.INT: "INTEGER", Kind.STR: "TEXT", Kind.FLOAT: "DOUBLE PRECISION", Kind.BOOL: "BOOLEAN",
             Kind.BYTES: "BYTEA", Kind.DECIMAL: "NUMERIC", Kind.DATETIME: "TIMESTAMP", Kind.DATE: "DATE",
             Kind.UUID: "UUID", Kind.JSON: "JSONB", Kind.TIME: "TIME", Kind.TIMEDELTA: "INTERVAL"}
    aware_type = "TIMESTAMPTZ"
    # Both drivers take uuid.UUID, time and timedelta (interval) as they are; psycopg
    # hands back JSON parsed and asyncpg as text, which the JSON loader takes both ways.
    dumpers = {Kind.JSON: json_text}
    value_dumpers = dumpers  # values inside expressions travel as a field's do
    loaders = {Kind.UUID: uuid_from_any}

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 32767 if style is NUMERIC else 65535  # asyncpg counts in a signed 16-bit

    # ---- schema
    migrates = True
    title = "PostgreSQL"
    type_aliases = {
        "int": "integer", "int4": "integer", "serial": "integer", "serial4": "integer",
        "int8": "bigint", "bigserial": "bigint", "serial8": "bigint",
        "int2": "smallint", "smallserial": "smallint", "serial2": "smallint",
        "varchar": "character varying", "char": "character", "bpchar": "character", "bool": "boolean",
        "float8": "double precision", "float4": "real", "decimal": "numeric",
        "timestamp": "timestamp without time zone", "timestamptz": "timestamp with time zone",
        "time": "time without time zone", "timetz": "time with time zone", "varbit": "bit varying",
    }
    _serial = {"integer": "SERIAL", "bigint": "BIGSERIAL", "smallint": "SMALLSERIAL"}

    def type_key(self, text: str) -> str:
        array = text.rstrip().endswith("[]")
        base, args = split_type(text.rstrip()[:-2] if array else text)
        base = self.type_aliases.get(base, base)
        if base == "float":
            base, args = "real" if args and args[0].isdigit() and int(args[0]) <= 24 else "double precision", ()
        elif base == "numeric" and len(args) == 1:
            args += ("0",)
        elif base in ("character", "bit") and not args:
            args = ("1",)
        elif base.startswith(("timestamp", "time ")) and args == ("6",):
            args = ()
        return join_type(base, args) + ("[]" if array else "")

    def generates(self, key: str) -> bool:
        return key in self._serial

    def key_definition(self, info: "ModelInfo", f: "Field[Any]") -> str:
        return self._serial[self.type_key(self.key_type(info, f))] + " PRIMARY KEY"

    def text_literal(self, s: str) -> str:
        # E'' reads backslashes the same whatever standard_conforming_strings says.
        text = super().text_literal(s)
        return "E" + text.replace("\\", "\\\\") if "\\" in s else text

    def literal(self, kind: Kind, v: Any) -> str:
        if kind == Kind.BOOL:
            return "TRUE" if v else "FALSE"
        if kind == Kind.BYTES:
            return "decode('%s', 'hex')" % bytes(v).hex()
        if kind == Kind.DATETIME and v.tzinfo is not None:
            return self.text_literal(v.isoformat(" ")) + "::timestamptz"  # converted as a parameter would be
        return super().literal(kind, v)

    def nonfinite(self, text: str) -> str:
        return "'%s'" % {"nan": "NaN", "inf": "Infinity", "-inf": "-Infinity"}.get(text.lower(), text)

    def interval_literal(self, v: Any) -> str:
        return "'%d days %d seconds %d microseconds'::interval" % (v.days, v.seconds, v.microseconds)

    def name_length(self, name: str) -> int:
        return len(name.encode("utf-8"))  # NAMEDATALEN counts bytes

    def null_of(self, type: str) -> str:
        return "CAST(NULL AS %s)" % type  # an untyped NULL would be text in an expression

    def setup(self, style: ParamStyle, version: Version) -> Steps:
        cat = Catalog(style, version)
        cat.schema = (yield ReadSetting("SELECT current_schema()"))[0][0] or ""
        return cat

    def schema_of(self, cat: Catalog, info: "ModelInfo") -> str:
        if not info.schema and not cat.schema:
            raise ValueError("%s has no schema and the connection's search_path names none" % info.name)
        return super().schema_of(cat, info)

    def inspect(self, cat: Catalog, info: "ModelInfo", name: Optional[str] = None) -> Steps:
        schema = self.schema_of(cat, info)
        table = name or info.table
        where = "table_schema = ? AND table_name = ?"
        if not (yield cat.read("SELECT 1 FROM information_schema.tables WHERE " + where, [schema, table])):
            return None
        t = TableSchema(schema, table, info.schema)
        for cname, *described, nullable, default in (yield cat.read(
                "SELECT column_name, " + _TYPE_COLUMNS + ", is_nullable, column_default FROM "
                "information_schema.columns WHERE " + where + " ORDER BY ordinal_position", [schema, table])):
            t.columns.append(ColumnSchema(cname, _column_type(*described), nullable == "YES", default))
        t.pk = [r[0] for r in (yield cat.read(
            "SELECT k.column_name FROM information_schema.table_constraints c "
            "JOIN information_schema.key_column_usage k ON k.constraint_schema = c.constraint_schema "
            "AND k.constraint_name = c.constraint_name AND k.table_name = c.table_name "
            "WHERE c.constraint_type = 'PRIMARY KEY' AND c.table_schema = ? AND c.table_name = ? "
            "ORDER BY k.ordinal_position", [schema, table]))]
        # pg_catalog: information_schema joins constraints by names that are unique only per table.
        for col, rschema, rtable, rcol, fname, on_delete in (yield cat.read(
                "SELECT a.attname, rn.nspname, r.relname, ra.attname, c.conname, c.confdeltype FROM pg_constraint c "
                "JOIN pg_class t ON t.oid = c.conrelid JOIN pg_namespace n ON n.oid = t.relnamespace "
                "JOIN pg_class r ON r.oid = c.confrelid JOIN pg_namespace rn ON rn.oid = r.relnamespace "
                "JOIN pg_attribute a ON a.attrelid = c.conrelid AND a.attnum = c.conkey[1] "
                "JOIN pg_attribute ra ON ra.attrelid = c.confrelid AND ra.attnum = c.confkey[1] "
                "WHERE c.contype = 'f' AND cardinality(c.conkey) = 1 AND n.nspname = ? AND t.relname = ?",
                [schema, table])):
            # asyncpg hands a "char" back as bytes, psycopg as str.
            action = _DELETE_ACTIONS.get(on_delete.decode() if isinstance(on_delete, bytes) else on_delete)
            t.fks.append(ForeignKeySchema([col], rschema, rtable, [rcol], fname, " ON DELETE " + action if action else ""))
        for iname, unique, constraint, sql, column in (yield cat.read(
                "SELECT x.relname, i.indisunique, EXISTS (SELECT 1 FROM pg_constraint c WHERE c.conindid = "
                "i.indexrelid AND c.contype = 'u'), pg_get_indexdef(i.indexrelid), a.attname "
                "FROM pg_index i JOIN pg_class x ON x.oid = i.indexrelid "
                "CROSS JOIN LATERAL unnest(i.indkey) WITH ORDINALITY AS k(attnum, n) "
                "LEFT JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum AND k.attnum > 0 "
                "JOIN pg_class t ON t.oid = i.indrelid JOIN pg_namespace n ON n.oid = t.relnamespace "
                "WHERE NOT i.indisprimary AND n.nspname = ? AND t.relname = ? AND k.n <= " + self._key_columns(cat) +
                " ORDER BY x.relname, k.n", [schema, table])):
            if not t.indexes or t.indexes[-1].name != iname:
                t.indexes.append(IndexSchema(iname, [], unique, constraint, sql))
            t.indexes[-1].columns.append(column)
        for cname, definition in (yield cat.read(
                "SELECT c.conname, pg_get_constraintdef(c.oid) FROM pg_constraint c JOIN pg_class t ON t.oid = "
                "c.conrelid JOIN pg_namespace n ON n.oid = t.relnamespace WHERE c.contype = 'c' AND n.nspname = ? "
                "AND t.relname = ? ORDER BY c.conname", [schema, table])):
            m = re.match(r"^CHECK \((.*)\)( NOT VALID)?$", definition, re.S)
            t.checks.append(CheckSchema(cname, m.group(1) if m else definition))
        return t

    def read_columns(self, cat: Catalog, tables: Sequence[TableName]) -> Steps:
        out: Dict[TableName, Optional[List[ColumnSchema]]] = {key: None for key in tables}
        if not out:
            return out
        by_name: Dict[Tuple[str, str], List[TableName]] = {}
        for declared, name in out:
            schema = declared or cat.schema
            if not schema:
                raise ValueError("the table %s has no schema and the connection's search_path names none" % name)
            by_name.setdefault((schema, name), []).append((declared, name))
        where = " OR ".join(["(table_schema = ? AND table_name = ?)"] * len(by_name))
        for schema, table, name, *described, nullable in (yield cat.read(
                "SELECT table_schema, table_name, column_name, " + _TYPE_COLUMNS + ", is_nullable FROM "
                "information_schema.columns WHERE " + where + " ORDER BY table_schema, table_name, ordinal_position",
                [p for key in by_name for p in key])):
            column = ColumnSchema(name, _column_type(*described), nullable == "YES", None)
            for key in by_name[(schema, table)]:
                columns = out[key]
                if columns is None:
                    columns = out[key] = []
                columns.append(column)
        return out

    def _key_columns(self, cat: Catalog) -> str:
        # An index's INCLUDE columns follow its key columns in indkey (11 and later).
        return "i.indnkeyatts" if cat.version >= (11,) else "i.indnatts"

    def change_column(self, cat: Catalog, info: "ModelInfo", table: TableSchema, f: "Field[Any]",
                      c: ColumnSchema, retype: bool, renull: bool, redefault: bool = False) -> List[Change]:
        col = "ALTER TABLE %s ALTER COLUMN %s" % (self.live_table(table), self.quote(c.name))
        out: List[Change] = []
        if redefault:
            out.append(self.set_default(cat, table, c, self.default_sql(info, f)))
        if retype:
            new = self.declared_type(info, f, cat)
            seq = re.match(r"nextval\('((?:[^']|'')*)'::regclass\)$", c.default or "")
            if f.generated and seq is not None:  # a serial's sequence has the column's type too
                name = seq.group(1).replace("''", "'")
                out.append(Change(["ALTER SEQUENCE %s AS %s" % (name, new)],
                                  ["ALTER SEQUENCE %s AS %s" % (name, c.type)]))
            out.append(Change(["%s TYPE %s USING %s::%s" % (col, new, self.quote(c.name), new)],
                              ["%s TYPE %s USING %s::%s" % (col, c.type, self.quote(c.name), c.type)]))
        if renull:
            set_, drop_ = col + " SET NOT NULL", col + " DROP NOT NULL"
            out.append(Change([drop_], [set_]) if f.nullable else Change([set_], [drop_]))
        return out


ENGINE = PostgreSQL()


# ---------------------------------------------------------------- errors
#
# Both drivers report the server's SQLSTATE; the class of a state follows its first two
# characters as PEP 249 (and psycopg) read them, so that psycopg and asyncpg raise the
# same sablecrest class for the same failure.

_SQLSTATES: Dict[str, Type[DatabaseError]] = {
    "23505": UniqueViolation,
    "23503": ForeignKeyViolation,
    "23502": NotNullViolation,
    "23514": CheckViolation,
    "40P01": DeadlockError,
}
_SQLSTATE_CLASSES: Dict[str, Type[DatabaseError]] = {}
for _cls, _prefixes in (
    (OperationalError, "08 27 28 2F 38 39 3B 40 53 54 55 57 58 F0 HV"),
    (ProgrammingError, "10 20 21 26 34 3D 3F 42 44 P0"),
    (InternalError, "24 25 2B 2D XX"),
    (DataError, "22"),
    (IntegrityError, "23"),
    (NotSupportedError, "0A"),
):
    for _prefix in _prefixes.split():
        _SQLSTATE_CLASSES[_prefix] = _cls


def sqlstate_class(sqlstate: str) -> Type[DatabaseError]:
    found = _SQLSTATES.get(sqlstate)
    if found is not None:
        return found
    return _SQLSTATE_CLASSES.get(sqlstate[:2], DatabaseError)


def psycopg_class(exc: BaseException) -> Optional[Type[DatabaseError]]:
    psycopg = sys.modules.get("psycopg")
    if psycopg is None or not isinstance(exc, psycopg.Error):
        return None
    state: Optional[str] = getattr(exc, "sqlstate", None)
    return sqlstate_class(state) if state else pep249_class(exc)


def asyncpg_class(exc: BaseException) -> Optional[Type[DatabaseError]]:
    asyncpg = sys.modules.get("asyncpg")
    if asyncpg is None:
        return None
    if isinstance(exc, asyncpg.PostgresError):
        return sqlstate_class(getattr(exc, "sqlstate", None) or "")
    errors = asyncpg.exceptions
    if isinstance(exc, errors.ConnectionDoesNotExistError):  # lost under a statement
        return OperationalError
    if isinstance(exc, errors.DataError):  # a parameter it could not encode
        return DataError
    if isinstance(exc, errors.InternalClientError):
        return InternalError
    if isinstance(exc, errors.InterfaceError):
        # Its check before a statement: the server closed the connection while it sat
        # in the session (the pool never hands out one it knows closed). Lost, as when
        # the statement meets the close itself.
        return OperationalError if exc.args == ("connection is closed",) else InterfaceError
    # Its socket's errors, and command_timeout's, come as they are.
    if isinstance(exc, (OSError, asyncio.TimeoutError)):
        return OperationalError
    return None


def pg_version(number: int) -> Version:
    """PostgreSQL's server_version_num: 150018 is 15.18, 90624 is 9.6.24."""
    if number >= 100000:
        return (number // 10000, number % 10000)
    return (number // 10000, (number // 100) % 100, number % 100)


def dsn(url: URL, options: Dict[str, Any]) -> str:
    """The URL for the driver: its query string holds only `options` (those the driver
    reads from the URL itself)."""
    from urllib.parse import quote, urlencode, urlsplit, urlunsplit

    parts = urlsplit(url.text)
    # libpq reads a '+' as itself, not as a space: spaces go as %20.
    query = urlencode([(k, str(v)) for k, v in options.items()], quote_via=quote)
    return urlunsplit(("postgresql", parts.netloc, parts.path, query, parts.fragment))


# ---- URL options. Both drivers take the same names where they mean the same thing, so
# that one URL serves `connect` and `connect_async`: statement_cache_size=0 turns
# prepared statements off on both (what PgBouncer in transaction mode needs).

_SSL = {
    "sslmode": choice_option("disable", "allow", "prefer", "require", "verify-ca", "verify-full"),
    "sslrootcert": text_option(),
    "sslcert": text_option(),
    "sslkey": text_option(),
    "target_session_attrs": choice_option("any", "read-write", "read-only", "primary", "standby",
                                          "prefer-standby"),
}
# libpq's own connection parameters, left in the URL for it.
_LIBPQ = dict(_SSL, **{
    "application_name": text_option(),
    "connect_timeout": int_option(0),
    "options": text_option(),
    "client_encoding": text_option(),
    "keepalives": int_option(0, 1),
    "keepalives_idle": int_option(0),
    "keepalives_interval": int_option(0),
    "keepalives_count": int_option(0),
    "tcp_user_timeout": int_option(0),
    "gssencmode": choice_option("disable", "prefer", "require"),
    "channel_binding": choice_option("disable", "prefer", "require"),
    "passfile": text_option(),
    "service": text_option(),
})


def _threshold(text: str) -> Any:
    return None if text.lower() == "none" else int_option(0).parse(text)


PSYCOPG_OPTIONS = dict(_LIBPQ, **{
    # psycopg prepares a statement on the server once it ran this often (None: never).
    "prepare_threshold": Option("an int from 0, or none", _threshold),
    "prepared_max": int_option(0),  # how many it keeps prepared
    "statement_cache_size": int_option(0),  # 0: prepare_threshold none; else prepared_max
})
ASYNCPG_OPTIONS = dict(_SSL, **{
    "statement_cache_size": int_option(0),
    "max_cached_statement_lifetime": int_option(0),
    "max_cacheable_statement_size": int_option(0),
    "command_timeout": seconds_option(),
    "connect_timeout": seconds_option(),
    "application_name": text_option(),
})


class PsycopgAdapter(CursorAdapter):
    """psycopg 3. From 3.2 on, a RawCursor takes PostgreSQL's own $1 placeholders (the
    text asyncpg takes too), so psycopg need not rewrite every statement's %s marks: it
    caches that rewrite only for short texts, and a multi-row INSERT is long."""

    engine = ENGINE
    classify = staticmethod(psycopg_class)
    driver = "psycopg"
    options = PSYCOPG_OPTIONS

    def __init__(self, url: URL) -> None:
        psycopg = need("psycopg", '"psycopg[binary]"', "postgresql://")
        self.errors = psycopg.errors
        options = dict(url.query)
        cache = options.pop("statement_cache_size", None)
        prepared = {k: options.pop(k) for k in ("prepare_threshold", "prepared_max") if k in options}
        # Autocommit at the driver, BEGIN from the session: psycopg would otherwise send
        # a BEGIN before the first read, a round trip a reading session does not need.
        self.raw = psycopg.connect(dsn(url, options), autocommit=True)
        if cache == 0:
            self.raw.prepare_threshold = None
        elif cache is not None:
            self.raw.prepared_max = cache
        for name, value in prepared.items():
            setattr(self.raw, name, value)
        raw_cursor = getattr(psycopg, "RawCursor", None)
        self.style = NUMERIC if raw_cursor is not None else FORMAT
        self.cur = raw_cursor(self.raw) if raw_cursor is not None else self.raw.cursor()
        self.watch = SocketWatch()

    def begin(self, lock: bool = False, isolation: Optional[str] = None) -> None:
        self.cur.execute("BEGIN")
        if isolation is not None:
            self.cur.execute(isolation)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        # executemany enters and leaves libpq's pipeline mode: for the one row of a
        # request's update, a plain execute does the same in less.
        if len(seq) == 1:
            self.cur.execute(sql, seq[0])
            return int(self.cur.rowcount)
        self.cur.executemany(sql, seq)
        return int(self.cur.rowcount)

    def commit(self) -> None:
        # PostgreSQL answers COMMIT of a transaction that an error aborted with a
        # rollback, and psycopg reports that as success: work flushed earlier would
        # vanish without a word.
        # The libpq connection's own status (`info` builds an object on each call).
        if int(self.raw.pgconn.transaction_status) == 3:  # INERROR
            self.raw.rollback()
            raise self.errors.InFailedSqlTransaction(
                "the transaction was aborted by an earlier error and has been rolled back, not committed"
            )
        self.raw.commit()

    def usable(self) -> bool:
        return not (self.raw.closed or self.raw.broken)

    def alive(self) -> bool:
        if not self.usable():
            return False
        if self.watch.quiet(self.raw.pgconn.socket):
            return True
        try:  # something arrived while idle: a notice, or the server's goodbye
            self.raw.execute("SELECT 1")
            self.raw.rollback()
        except Exception:
            return False
        return True

    def in_transaction(self) -> bool:
        # The libpq connection's own status: `info` would build an object on each call,
        # and this is asked at the end of every session.
        return int(self.raw.pgconn.transaction_status) != 0  # 0: idle

    def server_version(self) -> Tuple[Version, str]:
        return pg_version(self.raw.info.server_version), "postgresql"


def _status_count(status: Any) -> int:
    """The row count of a command status ("UPDATE 3", "INSERT 0 5"); -1 without one."""
    tail = status.rpartition(" ")[2] if isinstance(status, str) else ""
    return int(tail) if tail.isdigit() else -1


_STATEMENT_CACHE_BYTES = 64 * 1024


class AsyncpgAdapter(AsyncAdapter):
    """asyncpg. Its `executemany` reports no row count (-1 here), so the unit of work
    counts the rows of a batched UPDATE itself."""

    engine = ENGINE
    style = NUMERIC
    classify = staticmethod(asyncpg_class)
    driver = "asyncpg"
    options = ASYNCPG_OPTIONS
    survives_interrupt = True  # asyncpg cancels the query and resynchronises the protocol
    counts_many = False

    def __init__(self, raw: Any) -> None:
        self.raw = raw

    @classmethod
    async def open(cls, url: URL) -> "AsyncpgAdapter":
        asyncpg = need("asyncpg", "asyncpg", "postgresql://")
        options = dict(url.query)
        # asyncpg keeps its 100 most recent prepared statements; by default only those
        # under 15 KiB, which leaves out a multi-row INSERT of a flush (1,000 rows of 6
        # columns is about 45 KiB): preparing it again each time costs a third of an
        # insert's time.
        kwargs: Dict[str, Any] = {"max_cacheable_statement_size": _STATEMENT_CACHE_BYTES}
        for name in ("statement_cache_size", "max_cached_statement_lifetime", "max_cacheable_statement_size",
                     "command_timeout"):
            if name in options:
                kwargs[name] = options.pop(name)
        if "connect_timeout" in options:
            kwargs["timeout"] = options.pop("connect_timeout")
        if "application_name" in options:
            kwargs["server_settings"] = {"application_name": options.pop("application_name")}
        # What is left (TLS, target_session_attrs) asyncpg reads from the URL itself;
        # anything else there it would send to the server as a setting.
        return cls(await asyncpg.connect(dsn(url, options), **kwargs))

    async def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        return await self.raw.fetch(sql, *(params or ()))  # type: ignore[no-any-return]

    async def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        return _status_count(await self.raw.execute(sql, *(params or ())))

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        if len(seq) == 1:  # one row: the command status has its count
            return _status_count(await self.raw.execute(sql, *seq[0]))
        if seq:
            await self.raw.executemany(sql, seq)
        return -1 if seq else 0

    async def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        execute = getattr(self.raw, "_execute", None)
        if execute is not None:
            # What fetch() and execute() are built on: the rows and the command status
            # of one run, where each public method gives only one of the two.
            rows, status, _ = await execute(sql, tuple(params or ()), 0, None, return_status=True)
            status = status.decode() if isinstance(status, bytes) else status
        else:  # the public way, at the cost of a round trip to prepare
            stmt = await self.raw.prepare(sql)
            rows = await stmt.fetch(*(params or ()))
            status = stmt.get_statusmsg()
        rows = list(rows)
        return rows, len(rows) if rows else _status_count(status)

    async def begin(self, lock: bool = False, isolation: Optional[str] = None) -> None:
        # One round trip: without parameters the text goes as a simple query, which may
        # hold two statements.
        await self.raw.execute("BEGIN" if isolation is None else "BEGIN; " + isolation)

    async def commit(self) -> None:
        status = await self.raw.execute("COMMIT")
        if status == "ROLLBACK":
            # PostgreSQL answers COMMIT of a failed transaction with a rollback, not an
            # error: everything the transaction wrote is gone, which is no success.
            asyncpg = need("asyncpg", "asyncpg", "postgresql://")
            raise asyncpg.exceptions.InFailedSQLTransactionError(
                "COMMIT rolled back: a statement of this transaction had failed, nothing it wrote was kept"
            )

    async def rollback(self) -> None:
        if self.raw.is_in_transaction():
            await self.raw.execute("ROLLBACK")

    async def close(self) -> None:
        await self.raw.close()

    def terminate(self) -> None:
        self.raw.terminate()

    def usable(self) -> bool:
        return not self.raw.is_closed()

    async def alive(self) -> bool:
        if self.raw.is_closed():
            return False
        if transport_quiet(getattr(self.raw, "_transport", None)):
            return True
        try:  # something arrived while idle that the loop has not read yet
            await self.raw.execute("SELECT 1")
        except Exception:
            return False
        return True

    def in_transaction(self) -> bool:
        return bool(self.raw.is_in_transaction())

    def server_version(self) -> Tuple[Version, str]:
        v = self.raw.get_server_version()  # 15.18 comes as major 15, minor 0, micro 18
        return ((v.major, v.micro) if v.major >= 10 else (v.major, v.minor, v.micro)), "postgresql"


SYNC = PsycopgAdapter
ASYNC = AsyncpgAdapter

__all__ = ["PostgreSQL", "ENGINE", "PsycopgAdapter", "AsyncpgAdapter", "pg_version", "sqlstate_class", "psycopg_class",
           "asyncpg_class"]
