"""SQLite: the engine, and its drivers (sqlite3, aiosqlite).

SQLite has no decimal or date storage: decimals go in as exact text into NUMERIC columns
(which turn them into numbers where that is lossless, so comparisons stay numeric) and
come back as int, float or text; datetimes and dates are ISO-8601 text. It stores a
float NaN as NULL, so NaN is refused before a flush writes anything. A transaction
begins at the first write: a read transaction cannot become a write one once another
connection has written. An in-memory database lives in its one connection.

Its schema is read with PRAGMAs. ALTER TABLE cannot change a column, so a migration that
changes one rebuilds the table (`SQLite.rebuild`), with foreign keys off for its length
and checked before the commit.
"""

from __future__ import annotations

import asyncio
import re
import sqlite3
import sys
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple, Type
from urllib.parse import unquote

from ..errors import (
    CheckViolation,
    DatabaseError,
    DeadlockError,
    ForeignKeyViolation,
    NotNullViolation,
    ProgrammingError,
    UniqueViolation,
    pep249_class,
)
from ..kinds import Kind
from ..ops import ReadSetting, Setting, Steps
from .base import (
    QMARK,
    URL,
    Adapter,
    AsyncAdapter,
    Catalog,
    UTC,
    Change,
    Check,
    CheckSchema,
    ColumnSchema,
    Engine,
    ForeignKeySchema,
    IndexSchema,
    ParamStyle,
    TableName,
    TableSchema,
    Version,
    label,
    target,
    date_from_text,
    datetime_from_text,
    decimal_float,
    decimal_from_number,
    decimal_text,
    iso_text,
    json_text,
    micros,
    need,
    time_from_text,
    timedelta_from_micros,
    to_bool,
    utc_aware,
    uuid_from_any,
    uuid_text,
)

if TYPE_CHECKING:
    from ..model import Field, ModelInfo

_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}
_FK_ACTIONS = {"CASCADE", "SET NULL", "SET DEFAULT", "RESTRICT"}  # NO ACTION is the default
# What a table rebuild cannot carry from the old table's CREATE TABLE text to the new one:
# words inside the column list, and options after it.
_TOKENS = re.compile(r"'(?:[^']|'')*'|\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`|\[[^\]]*\]|--[^\n]*|/\*.*?(?:\*/|$)|(\w+)",
                     re.S)
_UNCARRIED = {"COLLATE": "collations"}
_OPTIONS = {"WITHOUT": "WITHOUT ROWID", "STRICT": "STRICT typing"}
_NAME = r"(?:\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`|\[[^\]]*\]|'(?:[^']|'')*'|[^\s(]+)"
_CREATE_TABLE = re.compile(r"^\s*CREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(%s)" % _NAME, re.I)
# SQLite's default limit on the SELECTs of one UNION is 500.
_COMPOUND_TERMS = 400
_CREATE_OBJECT = re.compile(r"^\s*CREATE\s+(?:UNIQUE\s+)?(?:INDEX|TRIGGER)\s+(?:IF\s+NOT\s+EXISTS\s+)?", re.I)


# A CREATE TABLE text in pieces: quoted strings and names, comments, words, and single
# characters (parentheses, commas).
_PIECES = re.compile(r"'(?:[^']|'')*'|\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`|\[[^\]]*\]|--[^\n]*|/\*.*?(?:\*/|$)|\w+|\s+|.",
                     re.S)


def _unquote(name: str) -> str:
    if name[:1] in "\"`'" and len(name) > 1:
        q = name[0]
        return name[1:-1].replace(q + q, q)
    return name[1:-1] if name[:1] == "[" else name


def table_checks(sql: str) -> List[CheckSchema]:
    """The CHECK constraints of a CREATE TABLE text, the columns' and the table's (SQLite
    keeps no other record of them), each with its name ("" without CONSTRAINT)."""
    pieces = [m.group(0) for m in _PIECES.finditer(sql)]
    significant = [(i, p) for i, p in enumerate(pieces) if not p.isspace() and not p.startswith(("--", "/*"))]
    out: List[CheckSchema] = []
    depth = 0
    for n, (_, p) in enumerate(significant):
        if p == "(":
            depth += 1
        elif p == ")":
            depth -= 1
        elif depth == 1 and p.upper() == "CHECK" and n + 1 < len(significant) and significant[n + 1][1] == "(":
            name = ""
            if n >= 2 and significant[n - 2][1].upper() == "CONSTRAINT":
                name = _unquote(significant[n - 1][1])
            start = significant[n + 1][0]
            level, end = 0, start
            for j in range(start, len(pieces)):
                level += 1 if pieces[j] == "(" else -1 if pieces[j] == ")" else 0
                if level == 0:
                    end = j
                    break
            out.append(CheckSchema(name, "".join(pieces[start + 1:end]).strip()))
    return out


def _aware_text(v: Any) -> Any:
    # UTC with its offset (the text says which instant it is), and a space between date
    # and time as SQLite's own CURRENT_TIMESTAMP writes it, so that a server default's
    # text and the ORM's sort together.
    return v.astimezone(UTC).isoformat(" ")


def _aware_from_text(v: Any) -> Any:
    return utc_aware(datetime_from_text(v))


class ForeignKeyCheck(Check):
    __slots__ = ()

    def failure(self, rows: List[Any]) -> str:
        # foreign_key_check rows: (table, rowid, parent table, constraint id)
        return "%d rows of %s refer to rows that do not exist in %s" % (
            len(rows), rows[0][0], ", ".join(sorted({str(r[2]) for r in rows})))


class SQLite(Engine):
    name = "sqlite"
    json_in = True
    stores_nan = False
    lazy_begin = True
    last_id_cheaper = True  # sqlite3's lastrowid is read from the connection; RETURNING runs a row loop
    locks_rows = False
    rounds_decimals = False
    # Its transactions are serializable, and there is no other level to ask for.
    isolation_levels = frozenset({"serializable"})
    sets_isolation = False
    backtick_quotes = True
    bracket_quotes = True
    offset_only_limit = " LIMIT -1"
    dumpers = {Kind.DECIMAL: decimal_text, Kind.DATETIME: iso_text, Kind.DATE: iso_text, Kind.UUID: uuid_text,
               Kind.JSON: json_text, Kind.TIME: iso_text, Kind.TIMEDELTA: micros}
    # A decimal compared with a computed value goes as a number: a text parameter would
    # compare as text (every number sorts before every text).
    value_dumpers = {Kind.DECIMAL: decimal_float, Kind.DATETIME: iso_text, Kind.DATE: iso_text, Kind.UUID: uuid_text,
                     Kind.TIME: iso_text, Kind.TIMEDELTA: micros}
    length_function = "LENGTH"
    # The text datetimes are stored as (ISO 8601 with a T), so that it compares with them.
    now_sql = "STRFTIME('%Y-%m-%dT%H:%M:%f', 'now')"
    loaders = {Kind.BOOL: to_bool, Kind.DECIMAL: decimal_from_number, Kind.DATETIME: datetime_from_text,
               Kind.DATE: date_from_text, Kind.UUID: uuid_from_any, Kind.TIME: time_from_text,
               Kind.TIMEDELTA: timedelta_from_micros}
    # Text affinity for UUIDs and JSON (a JSON text that looks like a number would become
    # one in a column of numeric affinity); a timedelta is its microseconds.
    types = {Kind.INT: "INTEGER", Kind.STR: "TEXT", Kind.FLOAT: "REAL", Kind.BOOL: "BOOLEAN", Kind.BYTES: "BLOB",
             Kind.DECIMAL: "NUMERIC", Kind.DATETIME: "TIMESTAMP", Kind.DATE: "DATE", Kind.UUID: "CHAR(36)",
             Kind.JSON: "TEXT", Kind.TIME: "TIME", Kind.TIMEDELTA: "INTEGER"}
    aware_type = "TIMESTAMPTZ"
    aware_dumper = staticmethod(_aware_text)
    aware_loader = staticmethod(_aware_from_text)
    json_check = True
    unique_constraints = False  # ALTER TABLE adds no constraint: a unique constraint is a unique index

    def returning(self, version: Version, variant: str) -> bool:
        return version >= (3, 35, 0)

    def fold(self, name: str) -> str:
        return name.translate(_ASCII_LOWER)  # SQLite ignores the case of ASCII letters only

    def max_params(self, version: Version, style: ParamStyle) -> int:
        return 32766 if version >= (3, 32, 0) else 999

    def null_safe(self, a: str, b: str, negated: bool) -> str:
        return "%s IS %s%s" % (a, "NOT " if negated else "", b)

    def single_connection(self, url: URL) -> bool:
        return url.database == ":memory:"

    def parse_url(self, url: str) -> URL:
        """``sqlite://`` (in memory), ``sqlite:///relative.db``, ``sqlite:////absolute.db``."""
        rest = url.partition("://")[2]
        if rest and not rest.startswith("/"):
            raise ValueError("a SQLite URL is sqlite:// (in memory) or sqlite:///path.db, got %r" % url)
        return URL(self.name, unquote(rest[1:]) or ":memory:", text=url)

    # ---- schema
    migrates = True
    title = "SQLite"
    alters_columns = False  # ALTER TABLE cannot change a column: the table is rebuilt

    def generates(self, key: str) -> bool:
        return "int" in key  # INTEGER affinity; the key is the rowid whatever the name

    def key_type(self, info: "ModelInfo", f: "Field[Any]") -> str:
        super().key_type(info, f)
        return "INTEGER"  # the rowid alias, as PRAGMA table_info reports it whatever db_type says

    def key_definition(self, info: "ModelInfo", f: "Field[Any]") -> str:
        self.key_type(info, f)
        return "INTEGER PRIMARY KEY AUTOINCREMENT"

    def literal(self, kind: Kind, v: Any) -> str:
        if kind == Kind.DATETIME:  # as the driver stores it
            return self.text_literal(_aware_text(v) if v.tzinfo is not None else v.isoformat())
        if kind == Kind.DECIMAL:
            return self.text_literal(str(v))  # NUMERIC affinity, as for a parameter
        return super().literal(kind, v)

    def server_default_sql(self, text: str) -> str:
        return "(%s)" % text  # an expression's DEFAULT is written in parentheses

    def index_table(self, info: "ModelInfo") -> str:
        return self.quote(info.table)  # CREATE INDEX names the schema before the index's name

    def index_ref(self, schema: Optional[str], name: str) -> str:
        return self.table_sql(schema, name)

    def schema_of(self, cat: Catalog, info: "ModelInfo") -> str:
        return info.schema or "main"

    def fold_table(self, cat: Catalog, name: str) -> str:
        return self.fold(name)

    def references_sql(self, cat: Catalog, info: "ModelInfo", f: "Field[Any]") -> str:
        t = target(f)
        if self.schema_of(cat, t) != self.schema_of(cat, info):
            raise ValueError("%s references %s in another SQLite database (%s), which SQLite cannot enforce"
                             % (label(info, f), t.name, self.schema_of(cat, t)))
        # A schema name is not allowed here.
        return "%s (%s)%s" % (self.quote(t.table), self.quote(t.pk.column), self.fk_actions(f))

    def setup(self, style: ParamStyle, version: Version) -> Steps:
        # Foreign keys are switched off for the migration (a rebuild drops a parent table),
        # which SQLite allows only outside a transaction, and checked before the commit.
        cat = Catalog(style, version)
        foreign_keys = bool((yield ReadSetting("PRAGMA foreign_keys"))[0][0])
        cat.settings["legacy_alter_table"] = bool((yield ReadSetting("PRAGMA legacy_alter_table"))[0][0])
        if foreign_keys:
            yield Setting("PRAGMA foreign_keys = OFF")
            cat.restore.append(Setting("PRAGMA foreign_keys = ON"))
        cat.checks_references = foreign_keys
        return cat

    def inspect(self, cat: Catalog, info: "ModelInfo", name: Optional[str] = None) -> Steps:
        schema = self.schema_of(cat, info)
        s = self.quote(schema)
        rows = yield cat.read("SELECT name, sql FROM %s.sqlite_master WHERE type = 'table' AND name = ? "
                              "COLLATE NOCASE" % s, [name or info.table])
        if not rows:
            return None
        t = TableSchema(schema, rows[0][0], info.schema)
        t.sql = rows[0][1]
        t.checks = table_checks(t.sql)
        quoted = self.quote(t.name)
        pk: List[Tuple[int, str]] = []
        # table_xinfo (3.26) also tells generated columns (hidden 2 or 3), which came in 3.31.
        pragma = "table_xinfo" if cat.version >= (3, 26) else "table_info"
        for row in (yield cat.read("PRAGMA %s.%s(%s)" % (s, pragma, quoted))):
            cname, ctype, notnull, default, pk_pos = row[1:6]
            generated = len(row) > 6 and row[6] in (2, 3)
            t.columns.append(ColumnSchema(cname, ctype, not notnull, default, generated=generated))
            if pk_pos:
                pk.append((pk_pos, cname))
        t.pk = [c for _, c in sorted(pk)]
        for fid, _, parent, src, to, on_update, on_delete, _ in (yield cat.read("PRAGMA %s.foreign_key_list(%s)"
                                                                                  % (s, quoted))):
            if not t.fks or t.fks[-1].name != str(fid):
                actions = "".join(" ON %s %s" % (w, a) for w, a in (("UPDATE", on_update), ("DELETE", on_delete))
                                  if a in _FK_ACTIONS)
                t.fks.append(ForeignKeySchema([], schema, parent, [], str(fid), actions))
            t.fks[-1].columns.append(src)
            t.fks[-1].to.append(to)
        unique: Dict[str, bool] = {}
        for _, iname, is_unique, origin, _ in (yield cat.read("PRAGMA %s.index_list(%s)" % (s, quoted))):
            unique[iname] = bool(is_unique)
            if origin == "u":
                t.indexes.append(IndexSchema(iname, (yield from self._index_columns(cat, s, iname)), True, True))
        for iname, sql in (yield cat.read("SELECT name, sql FROM %s.sqlite_master WHERE type = 'index' AND sql IS NOT "
                                          "NULL AND tbl_name = ? COLLATE NOCASE" % s, [t.name])):
            t.indexes.append(IndexSchema(iname, (yield from self._index_columns(cat, s, iname)),
                                         unique.get(iname, False), False, sql))
        t.triggers = [r[0] for r in (yield cat.read("SELECT sql FROM %s.sqlite_master WHERE type = 'trigger' "
                                                    "AND tbl_name = ? COLLATE NOCASE" % s, [t.name]))]
        if (yield cat.read("SELECT 1 FROM %s.sqlite_master WHERE name = 'sqlite_sequence'" % s)):
            seq = yield cat.read("SELECT seq FROM %s.sqlite_sequence WHERE name = ?" % s, [t.name])
            t.seq = seq[0][0] if seq else None
        return t

    def read_columns(self, cat: Catalog, tables: Sequence[TableName]) -> Steps:
        out: Dict[TableName, Optional[List[ColumnSchema]]] = {key: None for key in tables}
        keys = list(out)
        if cat.version < (3, 16):  # no table-valued PRAGMA functions: one PRAGMA per table
            for declared, name in keys:
                rows = yield cat.read("PRAGMA %s.table_info(%s)" % (self.quote(declared or "main"), self.quote(name)))
                if rows:
                    out[(declared, name)] = [ColumnSchema(r[1], r[2], not r[3], None) for r in rows]
            return out
        for start in range(0, len(keys), _COMPOUND_TERMS):
            parts: List[str] = []
            params: List[Any] = []
            for i, (declared, name) in enumerate(keys[start:start + _COMPOUND_TERMS], start):
                schema = declared or "main"
                parts.append("SELECT %d, p.cid, p.name, p.type, p.\"notnull\" FROM %s.sqlite_master m JOIN "
                             "pragma_table_info(m.name, ?) p WHERE m.type = 'table' AND m.name = ? COLLATE NOCASE"
                             % (i, self.quote(schema)))
                params += [schema, name]
            for i, _, cname, ctype, notnull in (yield cat.read(" UNION ALL ".join(parts) + " ORDER BY 1, 2", params)):
                columns = out[keys[i]]
                if columns is None:
                    columns = out[keys[i]] = []
                columns.append(ColumnSchema(cname, ctype, not notnull, None))
        return out

    def check_all_references(self, cat: Catalog) -> Steps:
        if not cat.checks_references:
            return None
        # PRAGMA foreign_key_check without a schema checks "main" only.
        schemas = [r[1] for r in (yield cat.read("PRAGMA database_list"))]
        rows: List[Any] = []
        if cat.version < (3, 16):
            for schema in schemas:
                rows += yield cat.read("PRAGMA %s.foreign_key_check" % self.quote(schema))
        else:
            each = "SELECT * FROM pragma_foreign_key_check(NULL, ?)"
            rows = yield cat.read(" UNION ALL ".join([each] * len(schemas)), schemas)
        return ForeignKeyCheck("PRAGMA foreign_key_check").failure(rows) if rows else None

    def _index_columns(self, cat: Catalog, s: str, index: str) -> Steps:
        return [r[2] for r in (yield cat.read("PRAGMA %s.index_info(%s)" % (s, self.quote(index))))]

    def check_references(self, cat: Catalog, table: TableSchema) -> Optional[Change]:
        if not cat.checks_references:
            return None
        check = ForeignKeyCheck("PRAGMA %s.foreign_key_check(%s)" % (self.quote(table.schema), self.quote(table.name)))
        return Change([check], [check])

    def rebuild(self, cat: Catalog, info: "ModelInfo", table: TableSchema, kept: List[ColumnSchema],
                renamed: Optional[Dict[str, str]] = None, keep_checks: Optional[List[CheckSchema]] = None,
                keep_indexes: Optional[List[IndexSchema]] = None) -> Steps:
        """SQLite's table rebuild: a new table made from the model (and the columns kept),
        the rows copied, the old table dropped, the new one renamed, its indexes, UNIQUE
        constraints, foreign keys, CHECKs and triggers made again, the foreign keys
        checked. The downgrade does the same with the table's old CREATE TABLE text.

        `renamed` maps a field's column to the live column it was (the copy renames it);
        `keep_checks` and `keep_indexes` are the live CHECKs and indexes the new table
        keeps besides the model's own CHECKs (all of them, when left None); the model's
        indexes that are not there yet are the caller's to make after."""
        renamed = renamed or {}
        words = [(m.group(1).upper(), m.start()) for m in _TOKENS.finditer(table.sql) if m.group(1)]
        end = max(m.start() for m in re.finditer(r"\)", table.sql))
        lost = sorted({what for word, at in words for what in [
            _UNCARRIED.get(word) if at < end else _OPTIONS.get(word)] if what})
        if any(c.generated for c in table.columns):
            lost.append("generated columns")
        if lost:
            raise ValueError("changing %s on SQLite rebuilds the table, and the rebuild cannot carry its %s; "
                             "change it by hand" % (table.name, " and ".join(lost)))
        s = self.quote(table.schema)
        temp = "_sc_rebuild_" + table.name
        if (yield cat.read("SELECT 1 FROM %s.sqlite_master WHERE name = ? COLLATE NOCASE" % s, [temp])):
            raise ValueError("cannot rebuild %s: a table %s is in the way" % (table.name, temp))
        wanted = self.wanted_checks(info)
        if keep_checks is None:
            names = {self.fold(w.name) for w in wanted}
            keep_checks = [c for c in table.checks if self.fold(c.name) not in names or not c.name]
        if keep_indexes is None:
            keep_indexes = list(table.indexes)
        by_name = {self.fold(c.name): c for c in table.columns}
        new_name = {self.fold(old): new for new, old in renamed.items()}  # live column -> its new name
        columns: List[str] = []
        pairs: List[Tuple[str, str]] = []  # (old column, new column) copied across
        kept_fks = list(table.fks)
        for f in info.fields:
            name = f.column
            old = by_name.get(self.fold(renamed.get(name, name)))
            if old is not None:
                pairs.append((old.name, name))
            if f.generated:
                columns.append(self.quote(name) + " " + self.key_definition(info, f))
                continue
            inline = f.references is not None and not self.has_foreign_key(cat, table, info, f)
            if inline:  # a new or changed reference replaces the old constraint on that column
                kept_fks = [fk for fk in kept_fks if [self.fold(c) for c in fk.columns] != [self.fold(name)]]
            # Otherwise the old constraint, with its actions, is carried below.
            default = self.default_sql(info, f) or (old.default if old is not None else None)
            columns.append(self.quote(name) + " " + self.column_sql(cat, info, f, default, inline))
        names = {self.fold(f.column) for f in info.fields}
        for c in kept:
            columns.append(self.quote(c.name) + " " + self.definition(c.type, c.nullable, c.default))
            pairs.append((c.name, c.name))
        alive = {self.fold(new) for _, new in pairs} | names

        def now(column: Optional[str]) -> str:  # a live column's name in the new table
            return new_name.get(self.fold(column or ""), column or "")

        for fk in kept_fks:
            if all(self.fold(now(c)) in alive for c in fk.columns):
                to = " (%s)" % ", ".join(self.quote(c or "") for c in fk.to) if all(fk.to) else ""
                columns.append("FOREIGN KEY (%s) REFERENCES %s%s%s" % (
                    ", ".join(self.quote(now(c)) for c in fk.columns), self.quote(fk.table), to, fk.actions))
        for index in keep_indexes:
            if index.constraint and all(c is not None and self.fold(now(c)) in alive for c in index.columns):
                columns.append("UNIQUE (%s)" % ", ".join(self.quote(now(c)) for c in index.columns))
        if info.composite:
            columns.append("PRIMARY KEY (%s)" % ", ".join(self.quote(f.column) for f in info.key))
        columns += ["CONSTRAINT %s CHECK (%s)" % (self.quote(w.name), w.sql) for w in wanted]
        columns += [("CONSTRAINT %s " % self.quote(c.name) if c.name else "") + "CHECK (%s)" % c.sql
                    for c in keep_checks]
        create = self.create_sql(self.live_table(table, temp), columns, if_not_exists=False)
        m = _CREATE_TABLE.match(table.sql)
        assert m is not None, table.sql
        # A table renamed by this migration: the texts of its indexes and triggers, read
        # before, name it by its old name.
        moved = self.fold(_unquote(m.group(1))) != self.fold(table.name)
        if moved and table.triggers:
            raise ValueError("cannot rename %s and rebuild it in one migration: its triggers name the old table; "
                             "migrate the rename first" % table.name)
        indexes = [self._index_again(table, i, now, moved) for i in keep_indexes
                   if i.sql and all(c is None or self.fold(now(c)) in alive for c in i.columns)]
        # Both tables number their keys with AUTOINCREMENT: the counter (which never goes
        # back, even past deleted rows) is carried from one to the other.
        carry = info.pk.generated and any(word == "AUTOINCREMENT" for word, _ in words)
        up = self._swap(cat, table, temp, create, pairs, indexes, carry)
        old_create = table.sql[:m.start(1)] + self.live_table(table, temp) + table.sql[m.end(1):]
        down = self._swap(cat, table, temp, old_create, [(new, old) for old, new in pairs],
                          [self._index_again(table, i, lambda c: c or "", moved) for i in table.indexes if i.sql],
                          carry)
        check = self.check_references(cat, table) or Change([], [])
        return Change(up + check.up, down + check.down)

    def _index_again(self, table: TableSchema, index: IndexSchema, now: Callable[[Optional[str]], str],
                     moved: bool) -> str:
        """The text that makes a live index again after a rebuild: its own, or, where it
        names a renamed column or the table's old name, one written from its columns."""
        if not moved and all(now(c) == c for c in index.columns):
            return index.sql
        if any(c is None for c in index.columns):
            raise ValueError("cannot rebuild %s with its index %s, whose expression names a renamed column or "
                             "table; change it by hand" % (table.name, index.name))
        return "CREATE %sINDEX %s ON %s (%s)" % ("UNIQUE " if index.unique else "", self.quote(index.name),
                                                 self.quote(table.name), ", ".join(self.quote(now(c)) for c in index.columns))

    def _swap(self, cat: Catalog, table: TableSchema, temp: str, create: str, pairs: List[Tuple[str, str]],
              indexes: List[str], carry: bool) -> List[str]:
        old, new = self.live_table(table), self.live_table(table, temp)
        src = ", ".join(self.quote(a) for a, _ in pairs)
        dst = ", ".join(self.quote(b) for _, b in pairs)
        out = [create, "INSERT INTO %s (%s) SELECT %s FROM %s" % (new, dst, src, old)]
        if carry:
            # Copied when the statements run, not when they are planned: a revision file
            # runs them on another database than the one it was planned on. The RENAME
            # renames the counter's row with the table.
            seq, name = "%s.%s" % (self.quote(table.schema), self.quote("sqlite_sequence")), self.quote("name")
            out += ["DELETE FROM %s WHERE %s = %s" % (seq, name, self.text_literal(temp)),
                    "INSERT INTO %s (%s, %s) SELECT %s, %s FROM %s WHERE %s = %s" % (
                        seq, name, self.quote("seq"), self.text_literal(temp), self.quote("seq"), seq, name,
                        self.text_literal(table.name))]
        # legacy_alter_table: a RENAME that checks views and triggers would stop at those
        # naming the table just dropped; they name the renamed table again after it.
        out += ["DROP TABLE %s" % old, "PRAGMA legacy_alter_table = ON",
                "ALTER TABLE %s RENAME TO %s" % (new, self.quote(table.name)),
                "PRAGMA legacy_alter_table = %s" % ("ON" if cat.settings["legacy_alter_table"] else "OFF")]
        for sql in indexes + table.triggers:
            m = _CREATE_OBJECT.match(sql)
            # A schema's index or trigger names its schema before its own name, not its table's.
            out.append(sql if m is None or not table.declared
                       else sql[:m.end()] + self.quote(table.declared) + "." + sql[m.end():])
        return out

    def script_frame(self) -> Tuple[List[str], List[str]]:
        head, tail = super().script_frame()
        return ["PRAGMA foreign_keys = OFF;"] + head, tail + ["PRAGMA foreign_keys = ON;"]


ENGINE = SQLite()

# ---------------------------------------------------------------- errors
#
# sqlite3 (which aiosqlite raises too) tells constraints apart by the extended result
# code (`sqlite_errorcode`, Python 3.11 and later) and, on every version, by the first
# words of the message, which SQLite has kept since 3.8.2.

_CONSTRAINT_CODES: Dict[int, Type[DatabaseError]] = {
    2067: UniqueViolation,  # SQLITE_CONSTRAINT_UNIQUE
    1555: UniqueViolation,  # SQLITE_CONSTRAINT_PRIMARYKEY
    787: ForeignKeyViolation,  # SQLITE_CONSTRAINT_FOREIGNKEY
    1299: NotNullViolation,  # SQLITE_CONSTRAINT_NOTNULL
    275: CheckViolation,  # SQLITE_CONSTRAINT_CHECK
}
_CONSTRAINT_MESSAGES: Tuple[Tuple[str, Type[DatabaseError]], ...] = (
    ("UNIQUE constraint failed", UniqueViolation),
    ("FOREIGN KEY constraint failed", ForeignKeyViolation),
    ("NOT NULL constraint failed", NotNullViolation),
    ("CHECK constraint failed", CheckViolation),
)
_SQLITE_BUSY = 5


def classify(exc: BaseException) -> Optional[Type[DatabaseError]]:
    if not isinstance(exc, sqlite3.Error):
        # Before 3.12, more than one statement in a text is a sqlite3.Warning (not an
        # Error); 3.12 made it the ProgrammingError it is.
        return ProgrammingError if isinstance(exc, sqlite3.Warning) else None
    code = getattr(exc, "sqlite_errorcode", None)
    if code is not None:
        found = _CONSTRAINT_CODES.get(code)
        if found is not None:
            return found
        if code & 0xFF == _SQLITE_BUSY:  # with its extended codes (a WAL snapshot gone stale)
            return DeadlockError
    elif isinstance(exc, sqlite3.IntegrityError):
        text = str(exc)
        for prefix, cls in _CONSTRAINT_MESSAGES:
            if text.startswith(prefix):
                return cls
    elif str(exc).startswith("database is locked"):
        return DeadlockError
    return pep249_class(exc)


class SQLiteAdapter(Adapter):
    engine = ENGINE
    style = QMARK
    classify = staticmethod(classify)
    survives_interrupt = True

    def __init__(self, url: URL) -> None:
        # Autocommit mode at the driver, BEGIN/COMMIT from the session: the sqlite3
        # module's implicit transactions differ between Python versions.
        self.raw = sqlite3.connect(url.database, isolation_level=None, check_same_thread=False)
        self.raw.execute("PRAGMA foreign_keys = ON")
        # One cursor for every statement: Connection.execute would make one per call. Each
        # statement's rows are fetched whole before the next runs, which resets it.
        self._cursor = self.raw.cursor()

    def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        rows: List[Any] = self._cursor.execute(sql, params or ()).fetchall()
        return rows

    def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        cur = self._cursor.execute(sql, params or ())
        if cur.description is not None:
            # A statement that returns rows (a PRAGMA that answers): read to its end, not
            # left active on the cursor, where it would hold its read lock.
            cur.fetchall()
        return int(cur.rowcount)

    def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        return int(self._cursor.executemany(sql, seq).rowcount)

    def insert_id(self, sql: str, params: Optional[Sequence[Any]]) -> Any:
        return self._cursor.execute(sql, params or ()).lastrowid

    def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        cur = self._cursor.execute(sql, params or ())
        if cur.description is None:
            return [], int(cur.rowcount)
        rows = cur.fetchall()
        return rows, len(rows)

    def begin(self, lock: bool = False, isolation: Optional[str] = None) -> None:
        if not self.raw.in_transaction:
            self._cursor.execute("BEGIN IMMEDIATE" if lock else "BEGIN")

    def commit(self) -> None:
        if self.raw.in_transaction:
            self._cursor.execute("COMMIT")

    def rollback(self) -> None:
        if self.raw.in_transaction:
            self._cursor.execute("ROLLBACK")

    def in_transaction(self) -> bool:
        return bool(self.raw.in_transaction)

    def alive(self) -> bool:
        return True  # no server that could have closed it (asked at every checkout)

    def server_version(self) -> Tuple[Version, str]:
        return sqlite3.sqlite_version_info, "sqlite"


class _Unawaited:
    """What aiosqlite's thread answers a queued call on when nobody awaits it: it takes
    the answer and drops it (the thread asks the future for its loop, then the loop to
    call back)."""

    def get_loop(self) -> "_Unawaited":
        return self

    def call_soon_threadsafe(self, *args: Any) -> None:
        pass


_UNAWAITED = _Unawaited()


class AiosqliteAdapter(AsyncAdapter):
    """aiosqlite runs each connection in a thread of its own. The sqlite3 connection is
    never touched from the event loop's thread (not even its `in_transaction`): with a
    statement running in the worker thread, newer SQLite libraries deadlock on that. The
    transaction state is tracked here instead, from the statements this adapter sent."""

    engine = ENGINE
    style = QMARK
    classify = staticmethod(classify)
    survives_interrupt = True  # a cancelled statement finishes in the worker thread, in order

    def __init__(self, raw: Any) -> None:
        self.raw = raw
        self.closed = False
        self.txn = False

    @classmethod
    async def open(cls, url: URL) -> "AiosqliteAdapter":
        aiosqlite = need("aiosqlite", "aiosqlite", "sqlite://")
        # Autocommit at the driver, BEGIN/COMMIT from the session (as the sync adapter).
        connecting = aiosqlite.connect(url.database, isolation_level=None)
        try:
            raw = await connecting
        except Exception:
            # Its thread still answers the stop it was sent, on this loop: let it, or it
            # fails (in its thread) on a loop that is closed by then.
            thread = getattr(connecting, "_thread", None)
            if thread is not None:
                await asyncio.get_running_loop().run_in_executor(None, thread.join, 5.0)
            raise
        try:
            await raw.execute("PRAGMA foreign_keys = ON")
        except BaseException:
            await raw.close()
            raise
        return cls(raw)

    async def fetch(self, sql: str, params: Optional[Sequence[Any]]) -> List[Any]:
        return list(await self.raw.execute_fetchall(sql, params or ()))

    async def execute(self, sql: str, params: Optional[Sequence[Any]]) -> int:
        return int((await self.raw.execute(sql, params or ())).rowcount)

    async def many(self, sql: str, seq: Sequence[Sequence[Any]]) -> int:
        return int((await self.raw.executemany(sql, seq)).rowcount)

    async def insert_id(self, sql: str, params: Optional[Sequence[Any]]) -> Any:
        return (await self.raw.execute(sql, params or ())).lastrowid

    async def statement(self, sql: str, params: Optional[Sequence[Any]]) -> Tuple[List[Any], int]:
        cur = await self.raw.execute(sql, params or ())
        if cur.description is None:
            return [], int(cur.rowcount)
        rows = list(await cur.fetchall())
        return rows, len(rows)

    async def begin(self, lock: bool = False, isolation: Optional[str] = None) -> None:
        if not self.txn:
            self.txn = True  # set first: a BEGIN cancelled while it runs still runs
            await self.raw.execute("BEGIN IMMEDIATE" if lock else "BEGIN")

    async def commit(self) -> None:
        if self.txn:
            await self.raw.execute("COMMIT")
            self.txn = False

    async def rollback(self) -> None:
        # Statements run in the connection's own thread, in order: this ROLLBACK runs
        # after any statement whose task was cancelled while it ran. Without a
        # transaction open there, SQLite reports an error that changes nothing.
        if self.txn:
            try:
                await self.raw.execute("ROLLBACK")
            except sqlite3.OperationalError as exc:
                if "no transaction is active" not in str(exc):
                    raise
            self.txn = False

    async def close(self) -> None:
        self.closed = True
        await self.raw.close()

    def terminate(self) -> None:
        if not self.closed:
            self.closed = True
            # Closes the connection in its thread, after what is queued, and ends the
            # thread; nobody awaits it. aiosqlite's own stop() would answer on a future of
            # this loop, which may be closed by the time the thread gets there (the
            # thread then fails with "Event loop is closed"): the same call by hand,
            # answered to a stand-in.
            raw = self.raw
            raw._running = False
            sentinel = getattr(sys.modules.get("aiosqlite.core"), "_STOP_RUNNING_SENTINEL", None)

            def close_and_stop() -> Any:
                conn = raw._connection
                if conn is not None:
                    raw._connection = None
                    conn.close()
                return sentinel  # the thread ends on this result (aiosqlite 0.21 and later)

            raw._tx.put_nowait((_UNAWAITED, close_and_stop))
            stop_running = getattr(raw, "_stop_running", None)
            if stop_running is not None:  # before 0.21 (the last for Python 3.8): on the sentinel as an item
                stop_running()

    def usable(self) -> bool:
        return not self.closed

    def in_transaction(self) -> bool:
        return self.txn

    def server_version(self) -> Tuple[Version, str]:
        return sqlite3.sqlite_version_info, "sqlite"


SYNC = SQLiteAdapter
ASYNC = AiosqliteAdapter

__all__ = ["SQLite", "ENGINE", "SQLiteAdapter", "AiosqliteAdapter", "classify"]
