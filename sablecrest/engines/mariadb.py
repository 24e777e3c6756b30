"""MariaDB (and MySQL): the engine, and its drivers (PyMySQL, asyncmy).

PyMySQL reads a statement with parameters as a %-format, so a '%' in the text is doubled
there, and a statement without parameters is sent as it is. Its executemany sends an
UPDATE row by row, so a flush batches UPDATEs itself (CASE key WHEN ... END). DDL
commits by itself: a migration here runs statement by statement, and MODIFY COLUMN
writes a column's whole definition again (collation, default, AUTO_INCREMENT, comment).
"""

from __future__ import annotations

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
    ColumnSchema,
    CursorAdapter,
    Engine,
    ForeignKeySchema,
    IndexSchema,
    ParamStyle,
    TableSchema,
    Version,
    bool_option,
    join_type,
    need,
    seconds_option,
    socket_quiet,
    split_type,
    text_option,
    to_bool,
    transport_quiet,
    version_of,
)

if TYPE_CHECKING:
    from ..model import Field, ModelInfo

_INTS = ("tinyint", "smallint", "mediumint", "int", "bigint")
_TEXT = {"char", "varchar", "tinytext", "text", "mediumtext", "longtext", "enum", "set"}  # types with a collation


class MariaDB(Engine):
    name = "mariadb"
    quote_char = "`"
    transactional_ddl = False
    stores_nan = False  # DOUBLE has no NaN: PyMySQL would write the bare word nan
    multi_row_default_insert = True
    update_rows = 100  # PyMySQL's executemany sends UPDATEs one round trip at a time
    # LIKE already escapes with a backslash here, and an explicit ESCAPE '\\' is refused
    # when the session's sql_mode has NO_BACKSLASH_ESCAPES.
    like_escape = ""
    empty_insert = " () VALUES ()"
    offset_only_limit = " LIMIT 18446744073709551615"
    loaders = {Kind.BOOL: to_bool}  # BOOLEAN is TINYINT(1): it comes back as 0 or 1
    # DATETIME(6): without the precision the server silently drops the microseconds;
    # DECIMAL alone would be DECIMAL(10,0) and round away every fraction.
    types = {Kind.INT: "INTEGER", Kind.STR: "TEXT", Kind.FLOAT: "DOUBLE", Kind.BOOL: "BOOLEAN",
             Kind.BYTES: "LONGBLOB", Kind.DECIMAL: "DECIMAL(65,30)", Kind.DATETIME: "DATETIME(6)", Kind.DATE: "DATE"}

    def returning(self, version: Version, variant: str) -> bool:
        return variant == "mariadb" and version >= (10, 5)

    def fold(self, name: str) -> str:
        return name.lower()  # column names compare without case

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return ("NOT (%s <=> %s)" if negated else "%s <=> %s") % (a, b)

    def upsert(self, key: str, columns: Sequence[str]) -> str:
        return " ON DUPLICATE KEY UPDATE " + ", ".join("%s = VALUES(%s)" % (c, c) for c in (columns or [key]))

    def column_type(self, field: Any) -> str:
        # A TEXT or BLOB column cannot be a key without a prefix length.
        if field.db_type is None and field.kind in (Kind.STR, Kind.BYTES) and (
                field.primary_key or field.references is not None):
            return "VARCHAR(255)" if field.kind == Kind.STR else "VARBINARY(255)"
        return super().column_type(field)

    # ---- schema
    migrates = True
    title = "MariaDB"
    inline_references = False  # MariaDB before 10.5 ignores a REFERENCES on a column
    explicit_null = "NULL"
    drop_foreign_key = "DROP FOREIGN KEY"
    name_limit = 64
    type_aliases = {
        "integer": "int", "int4": "int", "bool": "tinyint", "boolean": "tinyint", "int1": "tinyint",
        "int2": "smallint", "int3": "mediumint", "middleint": "mediumint", "int8": "bigint", "dec": "decimal",
        "numeric": "decimal", "fixed": "decimal", "real": "double", "double precision": "double", "float8": "double",
        "float4": "float", "character varying": "varchar", "character": "char", "long varbinary": "mediumblob",
        "long": "mediumtext", "long varchar": "mediumtext",
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
        if kind == Kind.DATETIME:
            return self.text_literal(v.replace(tzinfo=None).isoformat(" "))  # as PyMySQL sends a parameter
        return super().literal(kind, v)

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

    def fold_table(self, cat: Catalog, name: str) -> str:
        return name if cat.settings["lower_case_table_names"] == 0 else name.lower()

    def inspect(self, cat: Catalog, info: "ModelInfo") -> Steps:
        schema = self.schema_of(cat, info)
        folded = self.fold_table(cat, info.table)
        # information_schema compares names by its own collation: the rows are matched again
        # here as the server matches table names.
        names = [r[0] for r in (yield cat.read("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
                                               "TABLE_SCHEMA = ? AND TABLE_NAME = ?", [schema, info.table]))
                 if self.fold_table(cat, r[0]) == folded]
        if not names:
            return None
        t = TableSchema(schema, names[0], info.schema)
        for row in (yield cat.read("SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, COLUMN_KEY, EXTRA, "
                                   "COLLATION_NAME, COLUMN_COMMENT, TABLE_NAME FROM information_schema.COLUMNS "
                                   "WHERE TABLE_SCHEMA = ? AND TABLE_NAME = ? ORDER BY ORDINAL_POSITION",
                                   [schema, t.name])):
            name, ctype, nullable, default, key, extra, collation, comment, table = row
            if table != t.name:
                continue
            words = [w for w in (extra or "").split(" ") if w]
            keep = " ".join(w for w in words if w.lower() in ("auto_increment", "on", "update")
                            or w.lower().startswith("current_timestamp"))
            if comment:
                keep += " COMMENT " + self.text_literal(comment)
            t.columns.append(ColumnSchema(
                name, ctype, nullable == "YES", None if default in (None, "NULL") else default, keep.strip(),
                collation if collation and re.match(r"^\w+$", collation) else "", "GENERATED" in (extra or "").upper()))
            if key == "PRI":
                t.pk.append(name)
        for col, rschema, rtable, rcol, name, table in (yield cat.read(
                "SELECT COLUMN_NAME, REFERENCED_TABLE_SCHEMA, REFERENCED_TABLE_NAME, REFERENCED_COLUMN_NAME, "
                "CONSTRAINT_NAME, TABLE_NAME FROM information_schema.KEY_COLUMN_USAGE WHERE TABLE_SCHEMA = ? "
                "AND TABLE_NAME = ? AND REFERENCED_TABLE_NAME IS NOT NULL", [schema, t.name])):
            if table == t.name:
                t.fks.append(ForeignKeySchema([col], rschema, rtable, [rcol], name))
        single = {fk.name for fk in t.fks if sum(1 for g in t.fks if g.name == fk.name) == 1}
        t.fks = [fk for fk in t.fks if fk.name in single]
        for name, non_unique, column, table in (yield cat.read(
                "SELECT INDEX_NAME, NON_UNIQUE, COLUMN_NAME, TABLE_NAME FROM information_schema.STATISTICS WHERE "
                "TABLE_SCHEMA = ? AND TABLE_NAME = ? AND INDEX_NAME <> 'PRIMARY' ORDER BY INDEX_NAME, SEQ_IN_INDEX",
                [schema, t.name])):
            if table != t.name:
                continue
            if not t.indexes or t.indexes[-1].name != name:
                # A UNIQUE constraint is a unique index here, by either name.
                t.indexes.append(IndexSchema(name, [], not int(non_unique), not int(non_unique)))
            t.indexes[-1].columns.append(column)
        return t

    def change_column(self, cat: Catalog, info: "ModelInfo", table: TableSchema, f: "Field[Any]",
                      c: ColumnSchema, retype: bool, renull: bool) -> List[Change]:
        # MODIFY writes the whole column again: its collation, default, AUTO_INCREMENT and
        # comment are carried over.
        new_type = self.declared_type(info, f)
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


class PyMySQLAdapter(CursorAdapter):
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

    # PyMySQL formats the text when it is given parameters (even none): None sends it as
    # it is, which is what an op without parameters means.
    def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        cur = self.cur
        self._run(cur.execute, sql, params)
        rows: List[Any] = cur.fetchall() if cur.rownumber is not None else []
        return rows

    def execute(self, sql: str, params: Sequence[Any]) -> int:
        self._run(self.cur.execute, sql, params)
        return int(self.cur.rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        self._run(self.cur.executemany, sql, seq)
        return int(self.cur.rowcount)

    def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        self._run(self.cur.execute, sql, params)
        return self.cur.lastrowid

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
        if socket_quiet(sock.fileno()):
            return True
        try:
            self.raw.ping(reconnect=False)
        except Exception:
            return False
        return True

    def in_transaction(self) -> bool:
        return bool(self.raw.server_status & 1)  # SERVER_STATUS_IN_TRANS

    def server_version(self) -> Tuple[Version, str]:
        info = self.raw.get_server_info()
        return version_of(info), "mariadb" if "mariadb" in info.lower() else "mysql"


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


class AsyncmyAdapter(AsyncAdapter):
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

    # The packet hint is added where the error is raised; `try` costs nothing until then.
    async def fetch(self, sql: str, params: Sequence[Any]) -> List[Any]:
        cur = self.cur
        try:
            await cur.execute(sql, params)
        except Exception as exc:
            packet_hint(exc, sql, params, self.max_packet)
            raise
        if cur.description is None:
            return []
        return list(await cur.fetchall())

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        try:
            await self.cur.execute(sql, params)
        except Exception as exc:
            packet_hint(exc, sql, params, self.max_packet)
            raise
        return int(self.cur.rowcount)

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        try:
            await self.cur.executemany(sql, seq)
        except Exception as exc:
            packet_hint(exc, sql, seq, self.max_packet)
            raise
        return int(self.cur.rowcount)

    async def insert_id(self, sql: str, params: Sequence[Any]) -> Any:
        try:
            await self.cur.execute(sql, params)
        except Exception as exc:
            packet_hint(exc, sql, params, self.max_packet)
            raise
        return self.cur.lastrowid

    async def begin(self) -> None:
        pass  # autocommit is off: the server begins a transaction at the first statement

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

    def in_transaction(self) -> bool:
        return bool(self.raw.server_status & 1)  # SERVER_STATUS_IN_TRANS

    def server_version(self) -> Tuple[Version, str]:
        info = self.raw.get_server_info()
        return version_of(info), "mariadb" if "mariadb" in info.lower() else "mysql"


def _flat(params: Any) -> Any:
    for p in params or ():
        if isinstance(p, (list, tuple)):
            yield from p
        else:
            yield p


SYNC = PyMySQLAdapter
ASYNC = AsyncmyAdapter

__all__ = ["MariaDB", "ENGINE", "PyMySQLAdapter", "AsyncmyAdapter", "pymysql_class", "asyncmy_class", "packet_hint"]
