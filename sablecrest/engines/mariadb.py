"""MariaDB (and MySQL): the engine, and its drivers (PyMySQL, asyncmy).

PyMySQL reads a statement with parameters as a %-format, so a '%' in the text is doubled
there, and a statement without parameters is sent as it is. Its executemany sends an
UPDATE row by row, so a flush batches UPDATEs itself (CASE key WHEN ... END). DDL
commits by itself: a migration here runs statement by statement, and MODIFY COLUMN
writes a column's whole definition again (collation, default, AUTO_INCREMENT, comment).
"""

from __future__ import annotations

import datetime as _dt
import importlib
import re
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Type

from ..errors import (
    CheckViolation,
    DatabaseError,
    DeadlockError,
    ForeignKeyViolation,
    NotNullViolation,
    UniqueViolation,
    pep249_class,
)
from ..kinds import Kind
from ..ops import ReadSetting, Setting, Steps
from .base import (
    FORMAT,
    URL,
    AsyncAdapter,
    Catalog,
    Change,
    CheckSchema,
    ColumnSchema,
    CursorAdapter,
    Engine,
    ForeignKeySchema,
    IndexSchema,
    ParamStyle,
    SocketWatch,
    TableName,
    TableSchema,
    Version,
    bool_option,
    join_type,
    json_text,
    micros,
    need,
    seconds_option,
    split_type,
    target,
    text_option,
    timedelta_from_micros,
    to_bool,
    transport_quiet,
    utc_naive,
    uuid_from_any,
    uuid_text,
    version_of,
)

if TYPE_CHECKING:
    from ..model import Field, ModelInfo

_INTS = ("tinyint", "smallint", "mediumint", "int", "bigint")
_TEXT = {"char", "varchar", "tinytext", "text", "mediumtext", "longtext", "enum", "set"}  # types with a collation


def _time_from_timedelta(v: Any) -> Any:
    if not isinstance(v, _dt.timedelta):
        return v
    if not _dt.timedelta(0) <= v < _dt.timedelta(days=1):
        raise ValueError("a TIME column holds %s, which is no time of day" % v)
    return (_dt.datetime.min + v).time()


class MariaDB(Engine):
    name = "mariadb"
    quote_char = "`"
    transactional_ddl = False
    stores_nan = False  # DOUBLE has no NaN: PyMySQL would write the bare word nan
    multi_row_default_insert = True
    update_rows = 100  # PyMySQL's executemany sends UPDATEs one round trip at a time
    # In the default sql_mode a backslash escapes inside '...' and "..." (both strings).
    backslash_escapes = True
    hash_comments = True
    backtick_quotes = True
    # LIKE already escapes with a backslash here, and an explicit ESCAPE '\\' is refused
    # when the session's sql_mode has NO_BACKSLASH_ESCAPES.
    like_escape = ""
    empty_insert = " () VALUES ()"
    offset_only_limit = " LIMIT 18446744073709551615"
    # BOOLEAN is TINYINT(1): it comes back as 0 or 1. A TIME column comes back as a
    # timedelta (it holds -838:59:59 to 838:59:59); UUID and JSON as text.
    loaders = {Kind.BOOL: to_bool, Kind.UUID: uuid_from_any, Kind.TIME: _time_from_timedelta,
               Kind.TIMEDELTA: timedelta_from_micros}
    dumpers = {Kind.UUID: uuid_text, Kind.JSON: json_text, Kind.TIMEDELTA: micros}
    value_dumpers = dumpers  # values inside expressions travel as a field's do
    # DATETIME(6): without the precision the server silently drops the microseconds;
    # DECIMAL alone would be DECIMAL(10,0) and round away every fraction. There is no
    # interval type: a timedelta is its microseconds in a BIGINT. A JSON column is
    # LONGTEXT, which the server keeps to valid JSON itself.
    types = {Kind.INT: "INTEGER", Kind.STR: "TEXT", Kind.FLOAT: "DOUBLE", Kind.BOOL: "BOOLEAN",
             Kind.BYTES: "LONGBLOB", Kind.DECIMAL: "DECIMAL(65,30)", Kind.DATETIME: "DATETIME(6)", Kind.DATE: "DATE",
             Kind.JSON: "JSON", Kind.TIME: "TIME(6)", Kind.TIMEDELTA: "BIGINT"}
    # An aware datetime is stored as its UTC time (DATETIME has no zone; TIMESTAMP would
    # convert by the session's time_zone and ends in 2038).
    aware_type = "DATETIME(6)"
    aware_dumper = staticmethod(utc_naive)

    now_sql = "UTC_TIMESTAMP(6)"

    def returning(self, version: Version, variant: str) -> bool:
        return variant == "mariadb" and version >= (10, 5)

    def update_returning(self, version: Version, variant: str) -> bool:
        return False  # neither MariaDB nor MySQL has it

    def delete_returning(self, version: Version, variant: str) -> bool:
        return variant == "mariadb" and version >= (10, 0, 5)

    def fold(self, name: str) -> str:
        return name.lower()  # column names compare without case

    def lock_options(self, version: Version, variant: str) -> Tuple[bool, bool]:
        if variant != "mariadb":
            return version >= (8, 0), version >= (8, 0)  # MySQL
        return version >= (10, 3), version >= (10, 6)

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return ("NOT (%s <=> %s)" if negated else "%s <=> %s") % (a, b)

    def upsert(self, keys: Sequence[str], columns: Sequence[str]) -> str:
        # A table of key columns only updates a key column to itself: the row stays.
        return " ON DUPLICATE KEY UPDATE " + ", ".join("%s = VALUES(%s)" % (c, c) for c in (columns or keys[:1]))

    # COALESCE(a DATETIME, a parameter) is text here (the driver sends the parameter as a
    # quoted literal): a temporal value is cast to its type.
    _FALLBACK_CASTS = {Kind.DATETIME: "DATETIME(6)", Kind.DATE: "DATE", Kind.TIME: "TIME(6)"}  # (intervals: BIGINT)

    def fallback_sql(self, kind: Optional[Kind], ph: str) -> str:
        cast = self._FALLBACK_CASTS.get(kind) if kind is not None else None
        return ph if cast is None else "CAST(%s AS %s)" % (ph, cast)

    def column_type(self, field: Any, version: Version = ()) -> str:
        # A TEXT or BLOB column cannot be a key, unique or indexed without a prefix length.
        if field.db_type is None and field.kind in (Kind.STR, Kind.BYTES) and field.keyed:
            return "VARCHAR(255)" if field.kind == Kind.STR else "VARBINARY(255)"
        if field.db_type is None and field.kind == Kind.UUID:
            return "UUID" if not version or version >= (10, 7) else "CHAR(36)"  # UUID came with 10.7
        return super().column_type(field, version)

    # ---- schema
    migrates = True
    title = "MariaDB"
    inline_references = False  # MariaDB before 10.5 ignores a REFERENCES on a column
    explicit_null = "NULL"
    drop_foreign_key = "DROP FOREIGN KEY"
    drop_unique = "DROP INDEX"  # a UNIQUE constraint is a unique index
    indexes_foreign_keys = True
    name_limit = 64
    type_aliases = {
        "integer": "int", "int4": "int", "bool": "tinyint", "boolean": "tinyint", "int1": "tinyint",
        "int2": "smallint", "int3": "mediumint", "middleint": "mediumint", "int8": "bigint", "dec": "decimal",
        "numeric": "decimal", "fixed": "decimal", "real": "double", "double precision": "double", "float8": "double",
        "float4": "float", "character varying": "varchar", "character": "char", "long varbinary": "mediumblob",
        "long": "mediumtext", "long varchar": "mediumtext", "json": "longtext",
    }

    def type_key(self, text: str) -> str:
        base, args = split_type(text)
        base = self.type_aliases.get(base, base)
        head, _, rest = base.partition(" ")
        head = self.type_aliases.get(head, head)
        if head in _INTS:
            args = ()  # a display width only
        elif head == "decimal" and len(args) < 2:
            args = (args[0], "0") if args else ("10", "0")
        elif head in ("datetime", "timestamp", "time") and args == ("0",):
            args = ()
        elif head in ("char", "binary") and not args:
            args = ("1",)
        elif head == "float" and len(args) == 1:
            head, args = ("float" if args[0].isdigit() and int(args[0]) <= 24 else "double"), ()
        return join_type((head + " " + rest).strip(), args)

    def generates(self, key: str) -> bool:
        return key.split(" ")[0] in _INTS

    def key_definition(self, info: "ModelInfo", f: "Field[Any]") -> str:
        text = self.key_type(info, f)
        return ("INT" if self.type_key(text) == "int" else text) + " AUTO_INCREMENT PRIMARY KEY"

    def text_literal(self, s: str) -> str:
        # Backslashes escape in literals unless sql_mode has NO_BACKSLASH_ESCAPES, which a
        # migration turns off for its length.
        return "'" + s.replace("\\", "\\\\").replace("'", "''").replace("\0", "\\0") + "'"

    def literal(self, kind: Kind, v: Any) -> str:
        if kind == Kind.DATETIME:  # as a parameter is sent: an aware one as its UTC time
            return self.text_literal((utc_naive(v) if v.tzinfo is not None else v).isoformat(" "))
        return super().literal(kind, v)

    def fk_action_key(self, actions: str) -> str:
        key = super().fk_action_key(actions)
        return "" if key == "restrict" else key  # RESTRICT is the default, reported as such

    def on_delete_key(self, on_delete: Optional[str]) -> str:
        return "" if on_delete is None or on_delete == "restrict" else on_delete

    def drop_index_sql(self, schema: Optional[str], name: str, table: str) -> str:
        return "DROP INDEX %s ON %s" % (self.quote(name), table)

    def rename_column(self, cat: Catalog, table: TableSchema, c: ColumnSchema, new: str) -> Change:
        if cat.version >= (10, 5):
            return super().rename_column(cat, table, c, new)
        change = "ALTER TABLE %s CHANGE COLUMN %s %s " + self.redefinition(c)  # RENAME COLUMN came with 10.5
        t = self.live_table(table)
        return Change([change % (t, self.quote(c.name), self.quote(new))],
                      [change % (t, self.quote(new), self.quote(c.name))])

    def table_renamed(self, table: TableSchema, new: str) -> None:
        # The server names a foreign key it named itself after its table, and renames it
        # with the table: <table>_ibfk_<n>.
        old = table.name + "_ibfk_"
        table.fks = [fk._replace(name=new + fk.name[len(table.name):]) if fk.name.startswith(old) else fk
                     for fk in table.fks]
        super().table_renamed(table, new)

    def rename_table(self, cat: Catalog, table: TableSchema, new: str) -> Change:
        # Qualified on both sides when the model names its schema: RENAME TO a bare name
        # moves the table to the current database.
        sql = "ALTER TABLE %s RENAME TO %s"
        return Change([sql % (self.live_table(table), self.live_table(table, new))],
                      [sql % (self.live_table(table, new), self.live_table(table))])

    def setup(self, style: ParamStyle, version: Version) -> Steps:
        cat = Catalog(style, version)
        mode, lower_case_tables, schema = (yield ReadSetting(
            "SELECT @@SESSION.sql_mode, @@lower_case_table_names, DATABASE()"))[0]
        cat.schema = schema or ""
        cat.settings["lower_case_table_names"] = int(lower_case_tables)
        if "NO_BACKSLASH_ESCAPES" in mode.split(","):
            # Literals are written, and the server reports defaults, with backslash escapes.
            plain = ",".join(m for m in mode.split(",") if m != "NO_BACKSLASH_ESCAPES")
            yield Setting("SET SESSION sql_mode = " + style.placeholder(1), [plain])
            cat.restore.append(Setting("SET SESSION sql_mode = " + style.placeholder(1), [mode]))
        return cat

    def schema_of(self, cat: Catalog, info: "ModelInfo") -> str:
        if not info.schema and not cat.schema:
            raise ValueError("%s has no schema and the connection has no current database" % info.name)
        return super().schema_of(cat, info)

    def references_sql(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]") -> str:
        # An unqualified name in a table's definition is looked up in that table's own
        # database, not the connection's: a table of another database refers to a model
        # of the current one by its qualified name.
        t = target(f)
        schema = t.schema or (self.schema_of(cat, t) if info.schema else None)
        return "%s (%s)%s" % (self.table_sql(schema, t.table), self.quote(t.pk.column), self.fk_actions(f))

    def fold_table(self, cat: Catalog, name: str) -> str:
        return name if cat.settings["lower_case_table_names"] == 0 else name.lower()

    def inspect(self, cat: Catalog, info: "ModelInfo", name: Optional[str] = None) -> Steps:
        schema = self.schema_of(cat, info)
        wanted = name or info.table
        folded = self.fold_table(cat, wanted)
        # information_schema compares names by its own collation: the rows are matched again
        # here as the server matches table names.
        names = [r[0] for r in (yield cat.read("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
                                               "TABLE_SCHEMA = ? AND TABLE_NAME = ?", [schema, wanted]))
                 if self.fold_table(cat, r[0]) == folded]
        if not names:
            return None
        t = TableSchema(schema, names[0], info.schema)
        for row in (yield cat.read("SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, COLUMN_KEY, EXTRA, "
                                   "COLLATION_NAME, COLUMN_COMMENT, TABLE_NAME FROM information_schema.COLUMNS "
                                   "WHERE TABLE_SCHEMA = ? AND TABLE_NAME = ? ORDER BY ORDINAL_POSITION",
                                   [schema, t.name])):
            cname, ctype, nullable, default, key, extra, collation, comment, table = row
            if table != t.name:
                continue
            words = [w for w in (extra or "").split(" ") if w]
            keep = " ".join(w for w in words if w.lower() in ("auto_increment", "on", "update")
                            or w.lower().startswith("current_timestamp"))
            if comment:
                keep += " COMMENT " + self.text_literal(comment)
            t.columns.append(ColumnSchema(
                cname, ctype, nullable == "YES", None if default in (None, "NULL") else default, keep.strip(),
                collation if collation and re.match(r"^\w+$", collation) else "", "GENERATED" in (extra or "").upper()))
            if key == "PRI":
                t.pk.append(cname)
        if len(t.pk) > 1:  # COLUMNS lists a composite key's columns in table order
            order = {r[0]: r[1] for r in (yield cat.read(
                "SELECT COLUMN_NAME, ORDINAL_POSITION FROM information_schema.KEY_COLUMN_USAGE WHERE TABLE_SCHEMA = ? "
                "AND TABLE_NAME = ? AND CONSTRAINT_NAME = 'PRIMARY'", [schema, t.name]))}
            t.pk.sort(key=lambda c: order.get(c, 0))
        for col, rschema, rtable, rcol, fname, table, on_delete in (yield cat.read(
                "SELECT k.COLUMN_NAME, k.REFERENCED_TABLE_SCHEMA, k.REFERENCED_TABLE_NAME, k.REFERENCED_COLUMN_NAME, "
                "k.CONSTRAINT_NAME, k.TABLE_NAME, r.DELETE_RULE FROM information_schema.KEY_COLUMN_USAGE k "
                "JOIN information_schema.REFERENTIAL_CONSTRAINTS r ON r.CONSTRAINT_SCHEMA = k.CONSTRAINT_SCHEMA "
                "AND r.CONSTRAINT_NAME = k.CONSTRAINT_NAME AND r.TABLE_NAME = k.TABLE_NAME WHERE k.TABLE_SCHEMA = ? "
                "AND k.TABLE_NAME = ? AND k.REFERENCED_TABLE_NAME IS NOT NULL", [schema, t.name])):
            if table == t.name:
                actions = " ON DELETE " + on_delete if on_delete and on_delete not in ("RESTRICT", "NO ACTION") else ""
                t.fks.append(ForeignKeySchema([col], rschema, rtable, [rcol], fname, actions))
        single = {fk.name for fk in t.fks if sum(1 for g in t.fks if g.name == fk.name) == 1}
        t.fks = [fk for fk in t.fks if fk.name in single]
        fk_names = {fk.name for fk in t.fks}
        for iname, non_unique, column, table in (yield cat.read(
                "SELECT INDEX_NAME, NON_UNIQUE, COLUMN_NAME, TABLE_NAME FROM information_schema.STATISTICS WHERE "
                "TABLE_SCHEMA = ? AND TABLE_NAME = ? AND INDEX_NAME <> 'PRIMARY' ORDER BY INDEX_NAME, SEQ_IN_INDEX",
                [schema, t.name])):
            if table != t.name or iname in fk_names:  # the index a foreign key made for itself
                continue
            if not t.indexes or t.indexes[-1].name != iname:
                # A UNIQUE constraint is a unique index here, by either name.
                t.indexes.append(IndexSchema(iname, [], not int(non_unique), not int(non_unique)))
            t.indexes[-1].columns.append(column)
        columns = {self.fold(c.name) for c in t.columns}
        for cname, clause, table in (yield cat.read(
                "SELECT CONSTRAINT_NAME, CHECK_CLAUSE, TABLE_NAME FROM information_schema.CHECK_CONSTRAINTS WHERE "
                "CONSTRAINT_SCHEMA = ? AND TABLE_NAME = ? ORDER BY CONSTRAINT_NAME", [schema, t.name])):
            # The CHECK a JSON column makes for itself, named after the column.
            own = self.fold(cname) in columns and clause.replace(" ", "").lower() == "json_valid(%s)" % (
                self.quote(cname).lower())
            if table == t.name and not own:
                t.checks.append(CheckSchema(cname, clause))
        return t

    def read_columns(self, cat: Catalog, tables: Sequence[TableName]) -> Steps:
        out: Dict[TableName, Optional[List[ColumnSchema]]] = {key: None for key in tables}
        if not out:
            return out
        # information_schema compares names by its own collation: the rows are matched again
        # here as the server matches table names.
        by_name: Dict[Tuple[str, str], List[TableName]] = {}
        for declared, name in out:
            schema = declared or cat.schema
            if not schema:
                raise ValueError("the table %s has no schema and the connection has no current database" % name)
            by_name.setdefault((schema, name), []).append((declared, name))
        folded: Dict[Tuple[str, str], List[TableName]] = {}
        for (schema, name), keys in by_name.items():
            folded.setdefault((self.fold_table(cat, schema), self.fold_table(cat, name)), []).extend(keys)
        where = " OR ".join(["(TABLE_SCHEMA = ? AND TABLE_NAME = ?)"] * len(by_name))
        for schema, table, name, ctype, nullable in (yield cat.read(
                "SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE "
                "FROM information_schema.COLUMNS WHERE " + where + " ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION",
                [p for key in by_name for p in key])):
            column = ColumnSchema(name, ctype, nullable == "YES", None)
            for key in folded.get((self.fold_table(cat, schema), self.fold_table(cat, table)), ()):
                columns = out[key]
                if columns is None:
                    columns = out[key] = []
                columns.append(column)
        return out

    def change_column(self, cat: Catalog, info: "ModelInfo", table: TableSchema, f: "Field[Any]",
                      c: ColumnSchema, retype: bool, renull: bool, redefault: bool = False) -> List[Change]:
        # MODIFY writes the whole column again: its collation, default, AUTO_INCREMENT and
        # comment are carried over (and the field's server default written).
        new_type = self.declared_type(info, f, cat) if retype else c.type
        text = self.type_key(new_type).split("(")[0].split(" ")[0] in _TEXT
        default = self.default_sql(info, f) or c.default
        new = self.definition(new_type, f.nullable and not f.primary_key, default, c.extra, c.collation if text else "")
        modify = "ALTER TABLE %s MODIFY COLUMN %s " % (self.live_table(table), self.quote(c.name))
        return [Change([modify + new], [modify + self.redefinition(c)])]

    def script_frame(self) -> Tuple[List[str], List[str]]:
        return ["-- MariaDB commits each DDL statement by itself"], []


ENGINE = MariaDB()

# ---------------------------------------------------------------- errors
#
# PyMySQL and asyncmy both raise the server's error number as the first argument, in
# classes of PEP 249's names; the constraints are told apart by number (MariaDB reports
# a failed CHECK, and a deadlock, as an OperationalError).

_ERRNOS: Dict[int, Type[DatabaseError]] = {
    1062: UniqueViolation,  # ER_DUP_ENTRY
    1586: UniqueViolation,  # ER_DUP_ENTRY_WITH_KEY_NAME
    1022: UniqueViolation,  # ER_DUP_KEY
    1169: UniqueViolation,  # ER_DUP_UNIQUE
    1451: ForeignKeyViolation,  # ER_ROW_IS_REFERENCED_2 (a parent still referred to)
    1452: ForeignKeyViolation,  # ER_NO_REFERENCED_ROW_2
    1216: ForeignKeyViolation,  # ER_NO_REFERENCED_ROW
    1217: ForeignKeyViolation,  # ER_ROW_IS_REFERENCED
    1048: NotNullViolation,  # ER_BAD_NULL_ERROR
    1364: NotNullViolation,  # ER_NO_DEFAULT_FOR_FIELD: a NOT NULL column left out
    1263: NotNullViolation,  # ER_WARN_NULL_TO_NOTNULL (strict mode)
    4025: CheckViolation,  # ER_CONSTRAINT_FAILED (MariaDB)
    3819: CheckViolation,  # ER_CHECK_CONSTRAINT_VIOLATED (MySQL)
    1213: DeadlockError,  # ER_LOCK_DEADLOCK
}


def _errno_class(exc: BaseException) -> Type[DatabaseError]:
    args = exc.args
    found = _ERRNOS.get(args[0]) if args and type(args[0]) is int else None
    return found if found is not None else pep249_class(exc)


def pymysql_class(exc: BaseException) -> Optional[Type[DatabaseError]]:
    err = sys.modules.get("pymysql.err")
    if err is None or not isinstance(exc, err.MySQLError):
        return None
    return _errno_class(exc)


def asyncmy_class(exc: BaseException) -> Optional[Type[DatabaseError]]:
    err = sys.modules.get("asyncmy.errors")
    if err is None:
        return None
    if isinstance(exc, err.MySQLError):
        return _errno_class(exc)
    return None

# Client errors PyMySQL raises when the server drops a statement past max_allowed_packet.
_PACKET_ERRORS = {1153, 1301, 2006, 2013}


# ---- URL options (the same names for both drivers)
_OPTIONS = {
    "charset": text_option(),
    "connect_timeout": seconds_option(),
    "read_timeout": seconds_option(),
    "init_command": text_option(),
    "sql_mode": text_option(),
    "unix_socket": text_option(),
    "local_infile": bool_option(),
    "ssl_ca": text_option(),
    "ssl_cert": text_option(),
    "ssl_key": text_option(),
}
PYMYSQL_OPTIONS = dict(_OPTIONS, write_timeout=seconds_option())
ASYNCMY_OPTIONS = dict(_OPTIONS)


class _ServerState:
    """What PyMySQL's and asyncmy's connections both tell of the server, the same way."""

    raw: Any

    def in_transaction(self) -> bool:
        return bool(self.raw.server_status & 1)  # SERVER_STATUS_IN_TRANS

    def server_version(self) -> Tuple[Version, str]:
        info = self.raw.get_server_info()
        return version_of(info), "mariadb" if "mariadb" in info.lower() else "mysql"


class PyMySQLAdapter(_ServerState, CursorAdapter):
    engine = ENGINE
    style = FORMAT
    classify = staticmethod(pymysql_class)
    driver = "PyMySQL"
    options = PYMYSQL_OPTIONS

    def __init__(self, url: URL) -> None:
        pymysql = need("pymysql", "PyMySQL", "mysql://")
        CLIENT = importlib.import_module("pymysql.constants.CLIENT")
        self.errors = pymysql.err
        options = dict(url.query)
        self.raw = pymysql.connect(
            host=url.host,
            port=url.port or 3306,
            user=url.user or None,
            password=url.password,
            database=url.database or None,
            charset=options.pop("charset", "utf8mb4"),
            autocommit=False,
            # UPDATE reports the rows it matched, not only those it changed: a row count
            # is how a flush knows that every row it meant to write was still there.
            client_flag=CLIENT.FOUND_ROWS,
            **options,
        )
        self.cur = self.raw.cursor()
        self.cur.execute("SELECT @@max_allowed_packet")  # for the hint on a statement past it
        self.max_packet: Optional[int] = int(self.cur.fetchall()[0][0])
        self.raw.rollback()
        self.watch = SocketWatch()

    # PyMySQL formats the text when it is given parameters (even none): None sends it as
    # it is, which is what an op without parameters means.
    def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        cur = self.cur
        self._run(cur.execute, sql, params)
        rows: List[Any] = cur.fetchall() if cur.rownumber is not None else []
        return rows

    def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        self._run(self.cur.execute, sql, params)
        return int(self.cur.rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        self._run(self.cur.executemany, sql, seq)
        return int(self.cur.rowcount)

    def insert_id(self, sql: str, params: Optional[Sequence[Any]]) -> Any:
        self._run(self.cur.execute, sql, params)
        return self.cur.lastrowid

    def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        cur = self.cur
        self._run(cur.execute, sql, params)
        if cur.description is None:
            return [], int(cur.rowcount)
        rows = list(cur.fetchall())
        return rows, len(rows)

    def _run(self, call: Any, sql: str, params: Any) -> None:
        try:
            call(sql, params)
        except self.errors.OperationalError as exc:
            packet_hint(exc, sql, params, self.max_packet)
            raise

    def usable(self) -> bool:
        return bool(self.raw.open)

    def alive(self) -> bool:
        sock = getattr(self.raw, "_sock", None)
        if not self.usable() or sock is None:
            return False
        if self.watch.quiet(sock.fileno()):
            return True
        try:
            self.raw.ping(reconnect=False)
        except Exception:
            return False
        return True


def packet_hint(exc: BaseException, sql: str, params: Any, limit: Optional[int]) -> None:
    """A statement larger than the server's max_allowed_packet is refused with a lost
    connection (or error 1153); say so, with the sizes."""
    if not exc.args or type(exc.args[0]) is not int or exc.args[0] not in _PACKET_ERRORS:
        return
    size = len(sql) + sum(len(v) for v in _flat(params) if isinstance(v, (bytes, bytearray, str)))
    if limit is None or size < limit // 2:
        return
    from ..errors import add_note

    add_note(exc, "the statement is about %d bytes and the server's max_allowed_packet is %d: raise it "
                  "(SET GLOBAL max_allowed_packet) or write smaller values" % (size, limit))


class AsyncmyAdapter(_ServerState, AsyncAdapter):
    """asyncmy: PyMySQL's protocol compiled with Cython, on asyncio (about four times
    PyMySQL's speed per round trip, where aiomysql runs PyMySQL's Python code). It reads
    a statement with parameters as a %-format, as PyMySQL does.

    A statement cancelled while it runs leaves the protocol out of step: asyncmy closes
    the connection, and the session discards it (`survives_interrupt` is False)."""

    engine = ENGINE
    style = FORMAT
    classify = staticmethod(asyncmy_class)
    driver = "asyncmy"
    options = ASYNCMY_OPTIONS

    def __init__(self, raw: Any, max_packet: Optional[int]) -> None:
        self.raw = raw
        self.cur = raw.cursor()
        self.max_packet = max_packet

    @classmethod
    async def open(cls, url: URL) -> "AsyncmyAdapter":
        asyncmy = need("asyncmy", "asyncmy", "mysql://")
        CLIENT = importlib.import_module("asyncmy.constants.CLIENT")
        options = dict(url.query)
        ssl = {key[4:]: options.pop(key) for key in ("ssl_ca", "ssl_cert", "ssl_key") if key in options}
        if ssl:
            options["ssl"] = ssl
        raw = await asyncmy.connect(
            host=url.host,
            port=url.port or 3306,
            user=url.user or None,
            password=url.password,
            database=url.database or None,
            charset=options.pop("charset", "utf8mb4"),
            autocommit=False,
            client_flag=CLIENT.FOUND_ROWS,  # matched rows, as for PyMySQL
            **options,
        )
        try:
            cur = raw.cursor()
            await cur.execute("SELECT @@max_allowed_packet")
            max_packet = int((await cur.fetchall())[0][0])
            await raw.rollback()
        except BaseException:
            raw.close()
            raise
        return cls(raw, max_packet)

    async def _run(self, call: Any, sql: str, params: Any) -> None:
        try:
            await call(sql, params)
        except Exception as exc:
            packet_hint(exc, sql, params, self.max_packet)  # where the error is raised
            raise

    async def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        cur = self.cur
        await self._run(cur.execute, sql, params)
        if cur.description is None:
            return []
        return list(await cur.fetchall())

    async def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        cur = self.cur
        await self._run(cur.execute, sql, params)
        if cur.description is None:
            return [], int(cur.rowcount)
        rows = list(await cur.fetchall())
        return rows, len(rows)

    async def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        await self._run(self.cur.execute, sql, params)
        return int(self.cur.rowcount)

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        await self._run(self.cur.executemany, sql, seq)
        return int(self.cur.rowcount)

    async def insert_id(self, sql: str, params: Optional[Sequence[Any]]) -> Any:
        await self._run(self.cur.execute, sql, params)
        return self.cur.lastrowid

    async def begin(self, lock: bool = False, isolation: Optional[str] = None) -> None:
        # Autocommit is off: the server begins a transaction at the first statement; an
        # isolation level is set for the next one before it.
        if isolation is not None:
            await self.execute(isolation, None)

    async def commit(self) -> None:
        await self.raw.commit()

    async def rollback(self) -> None:
        await self.raw.rollback()

    async def close(self) -> None:
        await self.raw.ensure_closed()

    def terminate(self) -> None:
        self.raw.close()

    def usable(self) -> bool:
        # asyncmy notes the end of its stream (the server's goodbye, a reset) as it
        # arrives, but says so only through this property.
        return bool(self.raw.connected) and not getattr(self.raw, "_stream_broken", False)

    async def alive(self) -> bool:
        if not self.usable():
            return False
        if transport_quiet(getattr(self.raw, "_transport", None)):
            return True
        try:  # something arrived while idle that the loop has not read yet
            await self.raw.ping(reconnect=False)
        except Exception:
            return False
        return True


def _flat(params: Any) -> Any:
    for p in params or ():
        if isinstance(p, (list, tuple)):
            yield from p
        else:
            yield p


SYNC = PyMySQLAdapter
ASYNC = AsyncmyAdapter

__all__ = ["MariaDB", "ENGINE", "PyMySQLAdapter", "AsyncmyAdapter", "pymysql_class", "asyncmy_class", "packet_hint"]
