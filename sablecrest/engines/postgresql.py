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

import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

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
    ParamStyle,
    TableName,
    TableSchema,
    Version,
    join_type,
    json_text,
    need,
    socket_quiet,
    split_type,
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


def pg_version(number: int) -> Version:
    """PostgreSQL's server_version_num: 150018 is 15.18, 90624 is 9.6.24."""
    if number >= 100000:
        return (number // 10000, number % 10000)
    return (number // 10000, (number // 100) % 100, number % 100)


def dsn(url: URL) -> str:
    return url.text.replace("postgres://", "postgresql://", 1)


class PsycopgAdapter(CursorAdapter):
    """psycopg 3. From 3.2 on, a RawCursor takes PostgreSQL's own $1 placeholders (the
    text asyncpg takes too), so psycopg need not rewrite every statement's %s marks: it
    caches that rewrite only for short texts, and a multi-row INSERT is long."""

    engine = ENGINE

    def __init__(self, url: URL) -> None:
        psycopg = need("psycopg", '"psycopg[binary]"', "postgresql://")
        self.errors = psycopg.errors
        self.raw = psycopg.connect(dsn(url), autocommit=False)
        raw_cursor = getattr(psycopg, "RawCursor", None)
        self.style = NUMERIC if raw_cursor is not None else FORMAT
        self.cur = raw_cursor(self.raw) if raw_cursor is not None else self.raw.cursor()

    def commit(self) -> None:
        # PostgreSQL answers COMMIT of a transaction that an error aborted with a
        # rollback, and psycopg reports that as success: work flushed earlier would
        # vanish without a word.
        if int(self.raw.info.transaction_status) == 3:  # INERROR
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
        if socket_quiet(self.raw.pgconn.socket):
            return True
        try:  # something arrived while idle: a notice, or the server's goodbye
            self.raw.execute("SELECT 1")
            self.raw.rollback()
        except Exception:
            return False
        return True

    def in_transaction(self) -> bool:
        return int(self.raw.info.transaction_status) != 0  # 0: idle

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
    survives_interrupt = True  # asyncpg cancels the query and resynchronises the protocol
    counts_many = False

    def __init__(self, raw: Any) -> None:
        self.raw = raw

    @classmethod
    async def open(cls, url: URL) -> "AsyncpgAdapter":
        asyncpg = need("asyncpg", "asyncpg", "postgresql://")
        # asyncpg keeps its 100 most recent prepared statements; by default only those
        # under 15 KiB, which leaves out a multi-row INSERT of a flush (1,000 rows of 6
        # columns is about 45 KiB): preparing it again each time costs a third of an
        # insert's time.
        return cls(await asyncpg.connect(dsn(url), max_cacheable_statement_size=_STATEMENT_CACHE_BYTES))

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

    def in_transaction(self) -> bool:
        return bool(self.raw.is_in_transaction())

    def server_version(self) -> Tuple[Version, str]:
        v = self.raw.get_server_version()  # 15.18 comes as major 15, minor 0, micro 18
        return ((v.major, v.micro) if v.major >= 10 else (v.major, v.minor, v.micro)), "postgresql"


SYNC = PsycopgAdapter
ASYNC = AsyncpgAdapter

__all__ = ["PostgreSQL", "ENGINE", "PsycopgAdapter", "AsyncpgAdapter", "pg_version"]
