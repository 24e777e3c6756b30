"""Migrations: bring a database up to the models, or write the script that would.

`migrate` reads the live schema (SQLite's PRAGMAs, information_schema on PostgreSQL and
MariaDB), compares it with the models and runs what differs: missing tables (parents
first), missing columns, changed types and nullability, missing foreign keys. Every check
that can fail (a NOT NULL column without a default, NULLs where NOT NULL is wanted, a type
the engine cannot hold) fails before the first statement runs. On SQLite and PostgreSQL
one migration is one transaction; MariaDB commits each DDL statement, so a failure there
reports exactly which statements took effect.
"""

from __future__ import annotations

import math
import re
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Set, Tuple, Type

from _sablecrest_rs import SchemaDiffEngine

from .model import MISSING, Field, Model, ModelInfo, info_of
from .session import _order

if TYPE_CHECKING:
    from .database import Database
    from .drivers import Adapter

_diff = SchemaDiffEngine()

Op = Tuple[List[str], List[str]]  # (upgrade statements, the statements that undo them)


class MigrationError(Exception):
    """A statement of a migration failed; the driver's error is the ``__cause__``.

    `failed` is its text. `executed` lists the statements that ran and stay in effect:
    always empty on SQLite and PostgreSQL, where the whole migration was rolled back
    (`rolled_back` is True); on MariaDB, which commits each DDL statement by itself, the
    statements before the failure, in order.
    """

    def __init__(self, message: str, failed: str, executed: List[str], rolled_back: bool) -> None:
        super().__init__(message)
        self.failed = failed
        self.executed = executed
        self.rolled_back = rolled_back


class Migration(List[str]):
    """The statements a migration ran (with dry_run: would run), in order.

    `downgrade` holds the statements that undo them, in the order to run them.
    `extra_columns` holds the (table, column) pairs the database has and the models do
    not declare: without drop=True they are left alone and only reported here.
    """

    def __init__(self, statements: Iterable[str] = (), downgrade: Iterable[str] = (),
                 extra_columns: Iterable[Tuple[str, str]] = ()) -> None:
        super().__init__(statements)
        self.downgrade = list(downgrade)
        self.extra_columns = list(extra_columns)


class _CheckFailed(Exception):
    pass


class _Col(NamedTuple):
    """A column as the database reports it. `type` and `default` are SQL text the
    database wrote, usable again in DDL."""

    name: str
    type: str
    nullable: bool
    default: Optional[str]
    extra: str = ""  # MariaDB: what MODIFY must write again besides type, NULL and DEFAULT
    collation: str = ""


class _FK(NamedTuple):
    columns: List[str]
    schema: str
    table: str
    to: List[Optional[str]]
    name: str = ""
    actions: str = ""


class _Table:
    def __init__(self, schema: str, name: str, declared: Optional[str]) -> None:
        self.schema = schema
        self.declared = declared  # the model's schema: statements name it only when the model does
        self.name = name  # as the database spells it
        self.columns: List[_Col] = []
        self.pk: List[str] = []
        self.fks: List[_FK] = []
        # SQLite, for a rebuild: the CREATE TABLE text, explicit indexes (text, columns),
        # UNIQUE constraints, triggers and the AUTOINCREMENT counter.
        self.sql = ""
        self.indexes: List[Tuple[str, List[Optional[str]]]] = []
        self.uniques: List[List[str]] = []
        self.triggers: List[str] = []
        self.seq: Optional[int] = None
        self.generated = False  # it has generated columns


def _label(info: ModelInfo, f: "Field[Any]") -> str:
    return "%s.%s" % (info.name, f.name)


def _split_type(text: str) -> Tuple[str, Tuple[str, ...]]:
    """'Character Varying (200)' -> ('character varying', ('200',)); 'int(10) unsigned' ->
    ('int unsigned', ('10',)); 'timestamp(3) with time zone' -> ('timestamp with time
    zone', ('3',))."""
    t = " ".join(text.lower().split())
    m = re.match(r"^(.*?)\s*\(([^()]*)\)\s*(.*)$", t)
    if m is None:
        return t, ()
    return (m.group(1) + " " + m.group(3)).strip(), tuple(a.strip() for a in m.group(2).split(","))


def _key(base: str, args: Tuple[str, ...]) -> str:
    return base + ("(%s)" % ",".join(args) if args else "")


_FK_ACTIONS = {"CASCADE", "SET NULL", "SET DEFAULT", "RESTRICT"}  # NO ACTION is the default
# SQL that a SQLite rebuild cannot carry from the old table to the new one.
_SQLITE_TOKENS = re.compile(r"'(?:[^']|'')*'|\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`|\[[^\]]*\]|--[^\n]*|/\*.*?(?:\*/|$)|(\w+)",
                            re.S)
_SQLITE_UNCARRIED = {"CHECK": "CHECK constraints", "COLLATE": "collations"}
_SQLITE_OPTIONS = {"WITHOUT": "WITHOUT ROWID", "STRICT": "STRICT typing"}  # after the column list
_NAME = r"(?:\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`|\[[^\]]*\]|'(?:[^']|'')*'|[^\s(]+)"
_CREATE_TABLE = re.compile(r"^\s*CREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(%s)" % _NAME, re.I)
_CREATE_OBJECT = re.compile(
    r"^\s*CREATE\s+(?:UNIQUE\s+)?(?:INDEX|TRIGGER)\s+(?:IF\s+NOT\s+EXISTS\s+)?", re.I)


class _Engine:
    """One engine's part of a migration: reading its schema and writing its DDL. One
    instance runs one migration on one connection."""

    name = ""
    diff_dialect = ""  # the SchemaDiffEngine dialect whose generated-key clause fits
    default_int = "integer"  # the key of the type SchemaDiffEngine's key clause makes
    inline_references = True
    explicit_null = ""  # written after a nullable column's type

    def __init__(self, db: "Database", conn: "Adapter", drop: bool) -> None:
        self.db = db
        self.conn = conn
        self.drop = drop
        self.quote_char = db.dialect.engine.quote
        self.style = db.dialect.style
        self.checks: Set[str] = set()  # statements whose rows mean failure
        self.schema = ""  # the connection's current schema or database

    # ---- running

    def fetch(self, sql: str, params: Sequence[Any] = ()) -> List[Any]:
        """A read of this migration's own. With parameters, '?' marks each (the texts that
        name identifiers are SQLite's, whose driver takes '?'); without, the text may
        name anything and passes through `driver_text`."""
        if not params:
            sql = self.driver_text(sql)
        elif self.style.code != 0:
            head, *rest = sql.split("?")
            sql = head + "".join(self.style.placeholder(i + 1) + part for i, part in enumerate(rest))
        if self.db.trace is not None:
            self.db.trace(sql, params)
        return self.conn.fetch(sql, list(params))

    def driver_text(self, sql: str) -> str:
        return sql.replace("%", "%%") if self.style.escapes_percent else sql

    def run(self, sql: str) -> None:
        if sql in self.checks:
            rows = self.fetch(sql)
            if rows:
                raise _CheckFailed("%d rows of %s refer to rows that do not exist in %s"
                                   % (len(rows), rows[0][0], ", ".join(sorted({str(r[2]) for r in rows}))))
            return
        text = self.driver_text(sql)
        if self.db.trace is not None:
            self.db.trace(text, ())
        self.conn.execute(text, [])

    def setup(self) -> None:
        """Before the transaction: connection settings the migration needs."""

    def teardown(self) -> None:
        """After it: the settings put back."""

    # ---- names

    def q(self, name: str) -> str:
        return self.quote_char + name.replace(self.quote_char, self.quote_char * 2) + self.quote_char

    def qt(self, schema: Optional[str], table: str) -> str:
        return self.q(table) if not schema else self.q(schema) + "." + self.q(table)

    def table_sql(self, info: ModelInfo) -> str:
        return self.qt(info.schema, info.table)

    def tsql(self, table: _Table, name: str = "") -> str:
        return self.qt(table.declared, name or table.name)

    def fold(self, name: str) -> str:
        return self.db.dialect.engine.fold(name)

    def schema_of(self, info: ModelInfo) -> str:
        return info.schema or self.schema

    # ---- types and values

    def type_key(self, text: str) -> str:
        return _key(*_split_type(text))

    def column_type(self, info: ModelInfo, f: "Field[Any]") -> str:
        if f.generated:
            text = f.db_type or "INTEGER"
            self.generated_clause(info, f)  # checks that it is an integer type
            return text
        try:
            return self.db.dialect.engine.column_type(f)
        except KeyError:
            raise ValueError("%s: the %s engine has no column type for %s; give the field a db_type"
                             % (_label(info, f), self.name, f.type.__name__)) from None

    def generated_clause(self, info: ModelInfo, f: "Field[Any]") -> Optional[str]:
        """The column definition after the name of a generated key; None where
        SchemaDiffEngine's own clause is the one."""
        raise NotImplementedError

    def bad_key_type(self, info: ModelInfo, f: "Field[Any]") -> ValueError:
        return ValueError("%s is a generated key, so its db_type must be an integer type on %s, got %r"
                          % (_label(info, f), self.name, f.db_type))

    def text_literal(self, s: str) -> str:
        if "\0" in s:
            raise ValueError("holds a NUL character, which %s text cannot" % self.name)
        return "'" + s.replace("'", "''") + "'"

    def literal(self, kind: int, v: Any) -> str:
        """A field value as SQL text, for a DEFAULT, where DDL takes no parameters."""
        if kind == 4:
            return "1" if v else "0"
        if kind == 1:
            return str(int(v))
        if kind == 2:
            return self.text_literal(v)
        if kind == 3:
            if not math.isfinite(v):
                return self.nonfinite(repr(float(v)))
            return repr(float(v))
        if kind == 6:
            if not v.is_finite():
                return self.nonfinite(str(v))
            return format(v, "f")
        if kind == 5:
            return "X'%s'" % bytes(v).hex()
        if kind == 7:
            return self.text_literal(v.isoformat(" "))
        return self.text_literal(v.isoformat())

    def nonfinite(self, text: str) -> str:
        raise ValueError("is %s, which %s cannot store" % (text, self.name))

    def default_sql(self, info: ModelInfo, f: "Field[Any]") -> Optional[str]:
        """The field's default as a DEFAULT literal; None without a constant one."""
        if f.default is MISSING or f.default is None or callable(f.default):
            return None
        try:
            return self.literal(f.kind, f.default)
        except ValueError as exc:
            raise ValueError("%s: its default %s" % (_label(info, f), exc)) from None

    def coldef(self, info: ModelInfo, f: "Field[Any]", default: Optional[str], reference: bool) -> str:
        parts = [self.column_type(info, f)]
        parts.append("NOT NULL" if not f.nullable else self.explicit_null)
        if default is not None:
            parts.append("DEFAULT " + default)
        if f.primary_key:
            parts.append("PRIMARY KEY")
        if reference:
            parts.append("REFERENCES " + self.target(info, f))
        return " ".join(p for p in parts if p)

    def referenced(self, info: ModelInfo, f: "Field[Any]") -> ModelInfo:
        return next(t for g, t in info.references if g is f).__sc_info__

    def target(self, info: ModelInfo, f: "Field[Any]") -> str:
        t = self.referenced(info, f)
        return "%s (%s)" % (self.table_sql(t), self.q(t.pk.column))

    def fk_name(self, table: str, column: str) -> str:
        return ("%s_%s_fkey" % (table, column))[:63]

    def fk_constraint(self, info: ModelInfo, f: "Field[Any]", named: bool = False) -> str:
        text = "FOREIGN KEY (%s) REFERENCES %s" % (self.q(f.column), self.target(info, f))
        return "CONSTRAINT %s %s" % (self.q(self.fk_name(info.table, f.column)), text) if named else text

    def same_table(self, a: str, b: str) -> bool:
        """How the engine compares table (and schema) names."""
        return a == b

    def has_fk(self, table: _Table, info: ModelInfo, f: "Field[Any]") -> bool:
        t = self.referenced(info, f)
        pk = self.fold(t.pk.column)
        return any(len(fk.columns) == 1 and self.fold(fk.columns[0]) == self.fold(f.column)
                   and self.same_table(fk.schema, self.schema_of(t)) and self.same_table(fk.table, t.table)
                   and self.fold(fk.to[0] or pk) == pk for fk in table.fks)

    # ---- statements

    def create_sql(self, table: str, defs: Dict[str, Dict[str, Any]], constraints: List[str]) -> Op:
        """CREATE TABLE from SchemaDiffEngine (the column list, the generated-key clause and
        the DROP TABLE that undoes it), with table constraints after the columns."""
        (up,), (down,) = _diff.diff_table(table, defs, {}, self.diff_dialect)
        sql = up.rstrip(";")
        if constraints:
            sql = sql[:-1] + ", " + ", ".join(constraints) + ")"
        return [sql], [down.rstrip(";")]

    def create(self, info: ModelInfo) -> Op:
        defs: Dict[str, Dict[str, Any]] = {}
        constraints: List[str] = []
        for f in info.fields:
            if f.generated:
                clause = self.generated_clause(info, f)
                defs[self.q(f.column)] = {"primary_key": True} if clause is None else {"data_type": clause}
            else:
                inline = self.inline_references and f.references is not None
                defs[self.q(f.column)] = {"data_type": self.coldef(info, f, self.default_sql(info, f), inline)}
            if f.references is not None and (f.generated or not self.inline_references):
                constraints.append(self.fk_constraint(info, f))
        return self.create_sql(self.table_sql(info), defs, constraints)

    def add_columns(self, info: ModelInfo, table: _Table, fields: List["Field[Any]"]) -> Dict[int, List[Op]]:
        """ADD COLUMN from SchemaDiffEngine, with the DROP COLUMN that undoes each; by field."""
        defs = {}
        for f in fields:
            if f.primary_key:
                raise ValueError("%s: the table %s exists without this primary key column; sablecrest does not "
                                 "change primary keys" % (_label(info, f), table.name))
            default = self.default_sql(info, f)
            if not f.nullable and default is None:
                why = "a callable default, which the database cannot run" if callable(f.default) else "no default"
                raise ValueError(
                    "%s is NOT NULL and has %s: adding it to the existing table %s needs a constant "
                    "Field(default=...) for the rows already there (or make it nullable)"
                    % (_label(info, f), why, table.name))
            inline = self.inline_references and f.references is not None
            defs[self.q(f.column)] = {"data_type": self.coldef(info, f, default, inline)}
        present = {self.q(c.name): c.type for c in table.columns}
        up, down = _diff.diff_table(self.table_sql(info), defs, present, self.diff_dialect)
        out: Dict[int, List[Op]] = {}
        for f, u, d in zip(fields, up, down):
            ops = out[id(f)] = [([u.rstrip(";")], [d.rstrip(";")])]
            if f.references is not None and not self.inline_references:
                ops.append(self.add_fk(info, f))
        return out

    def add_fk(self, info: ModelInfo, f: "Field[Any]") -> Op:
        t = self.table_sql(info)
        name = self.q(self.fk_name(info.table, f.column))
        return (["ALTER TABLE %s ADD %s" % (t, self.fk_constraint(info, f, True))],
                ["ALTER TABLE %s %s %s" % (t, self.drop_fk, name)])

    drop_fk = "DROP CONSTRAINT"

    def null_rows(self, table: _Table, column: str) -> int:
        sql = "SELECT COUNT(*) FROM %s WHERE %s IS NULL" % (self.tsql(table), self.q(column))
        return int(self.fetch(sql)[0][0])

    def inspect(self, info: ModelInfo) -> Optional[_Table]:
        raise NotImplementedError

    def alter(self, info: ModelInfo, table: _Table, changed: List[Tuple["Field[Any]", _Col, bool, bool, bool]],
              added: Dict[int, List[Op]], extra: List[_Col]) -> List[Op]:
        """The statements for one existing table, in field order: `changed` holds
        (field, column, type changed, nullability changed, foreign key missing); the
        `extra` columns are dropped."""
        per_field = dict(added)
        for f, c, retype, renull, refk in changed:
            ops = per_field[id(f)] = self.change(info, table, f, c, retype, renull) if retype or renull else []
            if refk:
                ops.append(self.add_fk(info, f))
        ops = self.in_field_order(info, per_field)
        t = self.tsql(table)
        for c in extra:
            ops.append((["ALTER TABLE %s DROP COLUMN %s" % (t, self.q(c.name))], [self.readd(table, c)]))
        return ops

    def change(self, info: ModelInfo, table: _Table, f: "Field[Any]", c: _Col, retype: bool, renull: bool) -> List[Op]:
        """The statements that change a column's type or nullability."""
        raise NotImplementedError

    def readd(self, table: _Table, c: _Col) -> str:
        """ADD COLUMN with a dropped column's old definition (its rows are not restored)."""
        return "ALTER TABLE %s ADD COLUMN %s %s" % (self.tsql(table), self.q(c.name),
                                                    self.definition(c.type, c.nullable, c.default, c.extra, c.collation))

    def definition(self, type: str, nullable: bool, default: Optional[str], extra: str = "", collation: str = "") -> str:
        parts = [type + (" COLLATE " + collation if collation else ""), "NOT NULL" if not nullable else self.explicit_null]
        if default is not None:
            parts.append("DEFAULT " + default)
        parts.append(extra)
        return " ".join(p for p in parts if p)

    # ---- planning

    def plan(self, info: ModelInfo) -> Tuple[List[Op], List[str]]:
        """The operations that bring one model's table up to it, and the names of the
        database columns it does not declare."""
        table = self.inspect(info)
        if table is None:
            return [self.create(info)], []
        by_name = {self.fold(c.name): c for c in table.columns}
        pk = info.pk.column
        if [self.fold(c) for c in table.pk] != [self.fold(pk)] and self.fold(pk) in by_name:
            has = "the primary key (%s)" % ", ".join(table.pk) if table.pk else "no primary key"
            raise ValueError("the table %s has %s and %s declares %s; sablecrest does not change primary keys"
                             % (table.name, has, info.name, pk))
        missing = [f for f in info.fields if self.fold(f.column) not in by_name]
        changed: List[Tuple["Field[Any]", _Col, bool, bool, bool]] = []
        for f in info.fields:
            c = by_name.get(self.fold(f.column))
            if c is None:
                continue
            retype = self.type_key(self.column_type(info, f)) != self.type_key(c.type)
            renull = not f.generated and f.nullable != c.nullable
            refk = f.references is not None and not self.has_fk(table, info, f)
            if renull and not f.nullable:
                n = self.null_rows(table, c.name)
                if n:
                    raise ValueError("cannot make %s.%s NOT NULL: %d row%s NULL there; fill them in first"
                                     % (table.name, c.name, n, " holds" if n == 1 else "s hold"))
            if retype or renull or refk:
                changed.append((f, c, retype, renull, refk))
        names = {self.fold(f.column) for f in info.fields}
        extra = [c for c in table.columns if self.fold(c.name) not in names]
        added = self.add_columns(info, table, missing) if missing else {}
        ops = self.alter(info, table, changed, added, extra if self.drop else [])
        return ops, [] if self.drop else [c.name for c in extra]

    def in_field_order(self, info: ModelInfo, per_field: Dict[int, List[Op]]) -> List[Op]:
        return [op for f in info.fields for op in per_field.get(id(f), [])]


class _SQLite(_Engine):
    name = "sqlite"
    diff_dialect = "sqlite"

    def __init__(self, db: "Database", conn: "Adapter", drop: bool) -> None:
        super().__init__(db, conn, drop)
        self.foreign_keys = False
        self.legacy_alter_table = False

    def setup(self) -> None:
        # Foreign keys are switched off for the transaction (a rebuild drops a parent
        # table), which SQLite allows only outside one, and checked before the commit.
        self.foreign_keys = bool(self.fetch("PRAGMA foreign_keys")[0][0])
        self.legacy_alter_table = bool(self.fetch("PRAGMA legacy_alter_table")[0][0])
        if self.foreign_keys:
            self.run("PRAGMA foreign_keys = OFF")

    def teardown(self) -> None:
        if self.foreign_keys:
            self.run("PRAGMA foreign_keys = ON")

    def same_table(self, a: str, b: str) -> bool:
        return self.fold(a) == self.fold(b)

    def schema_of(self, info: ModelInfo) -> str:
        return info.schema or "main"

    def column_type(self, info: ModelInfo, f: "Field[Any]") -> str:
        if f.generated:
            super().column_type(info, f)
            return "INTEGER"  # the rowid alias, whatever its db_type says
        return super().column_type(info, f)

    def generated_clause(self, info: ModelInfo, f: "Field[Any]") -> Optional[str]:
        if f.db_type is not None and "int" not in f.db_type.lower():
            raise self.bad_key_type(info, f)
        return None

    def literal(self, kind: int, v: Any) -> str:
        if kind == 7:
            return self.text_literal(v.isoformat())  # as the driver stores it
        if kind == 6:
            return self.text_literal(str(v))  # NUMERIC affinity, as for a parameter
        return super().literal(kind, v)

    def target(self, info: ModelInfo, f: "Field[Any]") -> str:
        t = self.referenced(info, f)
        if self.schema_of(t) != self.schema_of(info):
            raise ValueError("%s references %s in another SQLite database (%s), which SQLite cannot enforce"
                             % (_label(info, f), t.name, self.schema_of(t)))
        return "%s (%s)" % (self.q(t.table), self.q(t.pk.column))

    def inspect(self, info: ModelInfo) -> Optional[_Table]:
        schema = self.schema_of(info)
        s = self.q(schema)
        rows = self.fetch("SELECT name, sql FROM %s.sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE"
                          % s, [info.table])
        if not rows:
            return None
        t = _Table(schema, rows[0][0], info.schema)
        t.sql = rows[0][1]
        name = self.q(t.name)
        pk = []
        # table_xinfo (3.26) also tells generated columns (hidden 2 or 3), which came in 3.31.
        pragma = "table_xinfo" if self.db.dialect.version >= (3, 26) else "table_info"
        for row in self.fetch("PRAGMA %s.%s(%s)" % (s, pragma, name)):
            cname, ctype, notnull, default, pk_pos = row[1:6]
            if len(row) > 6 and row[6] in (2, 3):
                t.generated = True
            t.columns.append(_Col(cname, ctype, not notnull, default))
            if pk_pos:
                pk.append((pk_pos, cname))
        t.pk = [c for _, c in sorted(pk)]
        for fid, _, parent, src, to, on_update, on_delete, _ in self.fetch(
                "PRAGMA %s.foreign_key_list(%s)" % (s, name)):
            if not t.fks or t.fks[-1].name != str(fid):
                actions = "".join(" ON %s %s" % (w, a) for w, a in (("UPDATE", on_update), ("DELETE", on_delete))
                                  if a in _FK_ACTIONS)
                t.fks.append(_FK([], schema, parent, [], str(fid), actions))
            t.fks[-1].columns.append(src)
            t.fks[-1].to.append(to)
        for _, iname, _, origin, _ in self.fetch("PRAGMA %s.index_list(%s)" % (s, name)):
            if origin == "u":
                t.uniques.append([r[2] for r in self.fetch("PRAGMA %s.index_info(%s)" % (s, self.q(iname)))])
        for iname, sql in self.fetch("SELECT name, sql FROM %s.sqlite_master WHERE type = 'index' AND sql IS NOT NULL "
                                     "AND tbl_name = ? COLLATE NOCASE" % s, [t.name]):
            t.indexes.append((sql, [r[2] for r in self.fetch("PRAGMA %s.index_info(%s)" % (s, self.q(iname)))]))
        t.triggers = [r[0] for r in self.fetch("SELECT sql FROM %s.sqlite_master WHERE type = 'trigger' "
                                               "AND tbl_name = ? COLLATE NOCASE" % s, [t.name])]
        if self.fetch("SELECT 1 FROM %s.sqlite_master WHERE name = 'sqlite_sequence'" % s):
            seq = self.fetch("SELECT seq FROM %s.sqlite_sequence WHERE name = ?" % s, [t.name])
            t.seq = seq[0][0] if seq else None
        return t

    def alter(self, info: ModelInfo, table: _Table, changed: List[Tuple["Field[Any]", _Col, bool, bool, bool]],
              added: Dict[int, List[Op]], extra: List[_Col]) -> List[Op]:
        if changed or extra:
            return [self.rebuild(info, table)]
        ops = self.in_field_order(info, added)
        if any(f.references is not None for f in info.fields if id(f) in added):
            ops.append(self.fk_check(table))
        return ops

    def fk_check(self, table: _Table) -> Op:
        sql = "PRAGMA %s.foreign_key_check(%s)" % (self.q(table.schema), self.q(table.name))
        if not self.foreign_keys:
            return [], []
        self.checks.add(sql)
        return [sql], [sql]

    def rebuild(self, info: ModelInfo, table: _Table) -> Op:
        """SQLite's table rebuild: a new table made from the model (and the columns kept),
        the rows copied, the old table dropped, the new one renamed, its indexes,
        UNIQUE constraints, foreign keys and triggers made again, the foreign keys
        checked. The downgrade does the same with the table's old CREATE TABLE text."""
        words = [(m.group(1).upper(), m.start()) for m in _SQLITE_TOKENS.finditer(table.sql) if m.group(1)]
        end = max(m.start() for m in re.finditer(r"\)", table.sql))
        lost = sorted({what for word, at in words for what in [
            _SQLITE_UNCARRIED.get(word) if at < end else _SQLITE_OPTIONS.get(word)] if what})
        if table.generated:
            lost.append("generated columns")
        if lost:
            raise ValueError("changing %s on SQLite rebuilds the table, and the rebuild cannot carry its %s; "
                             "change it by hand" % (table.name, " and ".join(lost)))
        s = self.q(table.schema)
        temp = "_sc_rebuild_" + table.name
        if self.fetch("SELECT 1 FROM %s.sqlite_master WHERE name = ? COLLATE NOCASE" % s, [temp]):
            raise ValueError("cannot rebuild %s: a table %s is in the way" % (table.name, temp))
        by_name = {self.fold(c.name): c for c in table.columns}
        defs: Dict[str, Dict[str, Any]] = {}
        pairs: List[Tuple[str, str]] = []  # (old column, new column) copied across
        kept_fks = {id(fk) for fk in table.fks}
        for f in info.fields:
            name = f.column
            old = by_name.get(self.fold(name))
            if old is not None:
                pairs.append((old.name, name))
            if f.generated:
                defs[self.q(name)] = {"primary_key": True}
                continue
            inline = False
            if f.references is not None:
                if self.has_fk(table, info, f):
                    pass  # the old constraint, with its actions, is carried below
                else:
                    inline = True
                    kept_fks -= {id(fk) for fk in table.fks if [self.fold(c) for c in fk.columns] == [self.fold(name)]}
            default = self.default_sql(info, f) or (old.default if old is not None else None)
            defs[self.q(name)] = {"data_type": self.coldef(info, f, default, inline)}
        names = {self.fold(f.column) for f in info.fields}
        for c in table.columns:
            if self.fold(c.name) not in names and not self.drop:
                defs[self.q(c.name)] = {"data_type": self.definition(c.type, c.nullable, c.default)}
                pairs.append((c.name, c.name))
        alive = {self.fold(new) for _, new in pairs} | names
        constraints = []
        for fk in table.fks:
            if id(fk) in kept_fks and all(self.fold(c) in alive for c in fk.columns):
                to = " (%s)" % ", ".join(self.q(c or "") for c in fk.to) if all(fk.to) else ""
                constraints.append("FOREIGN KEY (%s) REFERENCES %s%s%s" % (
                    ", ".join(self.q(c) for c in fk.columns), self.q(fk.table), to, fk.actions))
        for cols in table.uniques:
            if all(self.fold(c) in alive for c in cols):
                constraints.append("UNIQUE (%s)" % ", ".join(self.q(c) for c in cols))
        (create,), _ = self.create_sql(self.tsql(table, temp), defs, constraints)
        create = create.replace(" IF NOT EXISTS", "", 1)
        indexes = [sql for sql, cols in table.indexes if all(c is None or self.fold(c) in alive for c in cols)]
        up = self.swap(table, temp, create, pairs, indexes)
        if table.seq is not None and info.pk.generated:
            seq = "%s.%s" % (s, self.q("sqlite_sequence"))
            up[6:6] = ["DELETE FROM %s WHERE %s = %s" % (seq, self.q("name"), self.text_literal(table.name)),
                       "INSERT INTO %s (%s, %s) VALUES (%s, %d)"
                       % (seq, self.q("name"), self.q("seq"), self.text_literal(table.name), table.seq)]
        m = _CREATE_TABLE.match(table.sql)
        assert m is not None
        old_create = table.sql[:m.start(1)] + self.tsql(table, temp) + table.sql[m.end(1):]
        down = self.swap(table, temp, old_create, [(new, old) for old, new in pairs],
                         [sql for sql, _ in table.indexes])
        check_up, check_down = self.fk_check(table)
        return up + check_up, down + check_down

    def swap(self, table: _Table, temp: str, create: str, pairs: List[Tuple[str, str]], indexes: List[str]) -> List[str]:
        old, new = self.tsql(table), self.tsql(table, temp)
        src = ", ".join(self.q(a) for a, _ in pairs)
        dst = ", ".join(self.q(b) for _, b in pairs)
        # legacy_alter_table: a RENAME that checks views and triggers would stop at those
        # naming the table just dropped; they name the renamed table again after it.
        out = [create, "INSERT INTO %s (%s) SELECT %s FROM %s" % (new, dst, src, old), "DROP TABLE %s" % old,
               "PRAGMA legacy_alter_table = ON", "ALTER TABLE %s RENAME TO %s" % (new, self.q(table.name)),
               "PRAGMA legacy_alter_table = %s" % ("ON" if self.legacy_alter_table else "OFF")]
        for sql in indexes + table.triggers:
            m = _CREATE_OBJECT.match(sql)
            out.append(sql if m is None or not table.declared else sql[:m.end()] + self.q(table.declared) + "." + sql[m.end():])
        return out


class _PostgreSQL(_Engine):
    name = "postgresql"
    diff_dialect = "postgresql"
    _aliases = {
        "int": "integer", "int4": "integer", "serial": "integer", "serial4": "integer",
        "int8": "bigint", "bigserial": "bigint", "serial8": "bigint",
        "int2": "smallint", "smallserial": "smallint", "serial2": "smallint",
        "varchar": "character varying", "char": "character", "bpchar": "character", "bool": "boolean",
        "float8": "double precision", "float4": "real", "decimal": "numeric",
        "timestamp": "timestamp without time zone", "timestamptz": "timestamp with time zone",
        "time": "time without time zone", "timetz": "time with time zone", "varbit": "bit varying",
    }
    _serial = {"integer": "SERIAL", "bigint": "BIGSERIAL", "smallint": "SMALLSERIAL"}

    def setup(self) -> None:
        self.schema = self.fetch("SELECT current_schema()")[0][0] or ""

    def schema_of(self, info: ModelInfo) -> str:
        if not info.schema and not self.schema:
            raise ValueError("%s has no schema and the connection's search_path names none" % info.name)
        return super().schema_of(info)

    def type_key(self, text: str) -> str:
        array = text.rstrip().endswith("[]")
        base, args = _split_type(text.rstrip()[:-2] if array else text)
        base = self._aliases.get(base, base)
        if base == "float":
            base, args = "real" if args and args[0].isdigit() and int(args[0]) <= 24 else "double precision", ()
        elif base == "numeric" and len(args) == 1:
            args += ("0",)
        elif base in ("character", "bit") and not args:
            args = ("1",)
        elif base.startswith(("timestamp", "time ")) and args == ("6",):
            args = ()
        return _key(base, args) + ("[]" if array else "")

    def generated_clause(self, info: ModelInfo, f: "Field[Any]") -> Optional[str]:
        key = self.type_key(f.db_type or "INTEGER")
        if key not in self._serial:
            raise self.bad_key_type(info, f)
        return None if key == self.default_int else self._serial[key] + " PRIMARY KEY"

    def text_literal(self, s: str) -> str:
        # E'' reads backslashes the same whatever standard_conforming_strings says.
        text = super().text_literal(s)
        return "E" + text.replace("\\", "\\\\") if "\\" in s else text

    def literal(self, kind: int, v: Any) -> str:
        if kind == 4:
            return "TRUE" if v else "FALSE"
        if kind == 5:
            return "decode('%s', 'hex')" % bytes(v).hex()
        if kind == 7 and v.tzinfo is not None:
            return self.text_literal(v.isoformat(" ")) + "::timestamptz"  # converted as a parameter would be
        return super().literal(kind, v)

    def nonfinite(self, text: str) -> str:
        return "'%s'" % {"nan": "NaN", "inf": "Infinity", "-inf": "-Infinity"}.get(text.lower(), text)

    def inspect(self, info: ModelInfo) -> Optional[_Table]:
        schema = self.schema_of(info)
        where = "table_schema = ? AND table_name = ?"
        if not self.fetch("SELECT 1 FROM information_schema.tables WHERE " + where, [schema, info.table]):
            return None
        t = _Table(schema, info.table, info.schema)
        for name, dtype, udt, length, prec, scale, dprec, nullable, default in self.fetch(
                "SELECT column_name, data_type, udt_name, character_maximum_length, numeric_precision, numeric_scale, "
                "datetime_precision, is_nullable, column_default FROM information_schema.columns WHERE " + where +
                " ORDER BY ordinal_position", [schema, info.table]):
            if dtype in ("character varying", "character", "bit", "bit varying") and length is not None:
                dtype = "%s(%d)" % (dtype, length)
            elif dtype == "numeric" and prec is not None:
                dtype = "numeric(%d,%d)" % (prec, scale or 0)
            elif dtype.startswith(("timestamp", "time ")) and dprec is not None and dprec != 6:
                head, _, tail = dtype.partition(" ")
                dtype = "%s(%d) %s" % (head, dprec, tail)
            elif dtype == "USER-DEFINED":
                dtype = udt
            elif dtype == "ARRAY":
                dtype = udt[1:] + "[]"
            t.columns.append(_Col(name, dtype, nullable == "YES", default))
        t.pk = [r[0] for r in self.fetch(
            "SELECT k.column_name FROM information_schema.table_constraints c "
            "JOIN information_schema.key_column_usage k ON k.constraint_schema = c.constraint_schema "
            "AND k.constraint_name = c.constraint_name AND k.table_name = c.table_name "
            "WHERE c.constraint_type = 'PRIMARY KEY' AND c.table_schema = ? AND c.table_name = ? "
            "ORDER BY k.ordinal_position", [schema, info.table])]
        # pg_catalog: information_schema joins foreign keys by a name that is unique only per table.
        for col, rschema, rtable, rcol, name in self.fetch(
                "SELECT a.attname, rn.nspname, r.relname, ra.attname, c.conname FROM pg_constraint c "
                "JOIN pg_class t ON t.oid = c.conrelid JOIN pg_namespace n ON n.oid = t.relnamespace "
                "JOIN pg_class r ON r.oid = c.confrelid JOIN pg_namespace rn ON rn.oid = r.relnamespace "
                "JOIN pg_attribute a ON a.attrelid = c.conrelid AND a.attnum = c.conkey[1] "
                "JOIN pg_attribute ra ON ra.attrelid = c.confrelid AND ra.attnum = c.confkey[1] "
                "WHERE c.contype = 'f' AND cardinality(c.conkey) = 1 AND n.nspname = ? AND t.relname = ?",
                [schema, info.table]):
            t.fks.append(_FK([col], rschema, rtable, [rcol], name))
        return t

    def change(self, info: ModelInfo, table: _Table, f: "Field[Any]", c: _Col, retype: bool, renull: bool) -> List[Op]:
        col = "ALTER TABLE %s ALTER COLUMN %s" % (self.tsql(table), self.q(c.name))
        ops: List[Op] = []
        if retype:
            new = self.column_type(info, f)
            seq = re.match(r"nextval\('((?:[^']|'')*)'::regclass\)$", c.default or "")
            if f.generated and seq is not None:  # a serial's sequence has the column's type too
                name = seq.group(1).replace("''", "'")
                ops.append((["ALTER SEQUENCE %s AS %s" % (name, new)], ["ALTER SEQUENCE %s AS %s" % (name, c.type)]))
            ops.append((["%s TYPE %s USING %s::%s" % (col, new, self.q(c.name), new)],
                        ["%s TYPE %s USING %s::%s" % (col, c.type, self.q(c.name), c.type)]))
        if renull:
            set_, drop_ = col + " SET NOT NULL", col + " DROP NOT NULL"
            ops.append(([drop_], [set_]) if f.nullable else ([set_], [drop_]))
        return ops


class _MariaDB(_Engine):
    name = "mariadb"
    diff_dialect = "mysql"
    default_int = "int"
    inline_references = False  # MariaDB before 10.5 ignores a REFERENCES on a column
    explicit_null = "NULL"
    drop_fk = "DROP FOREIGN KEY"
    _ints = ("tinyint", "smallint", "mediumint", "int", "bigint")
    _aliases = {
        "integer": "int", "int4": "int", "bool": "tinyint", "boolean": "tinyint", "int1": "tinyint",
        "int2": "smallint", "int3": "mediumint", "middleint": "mediumint", "int8": "bigint", "dec": "decimal",
        "numeric": "decimal", "fixed": "decimal", "real": "double", "double precision": "double", "float8": "double",
        "float4": "float", "character varying": "varchar", "character": "char", "long varbinary": "mediumblob",
        "long": "mediumtext", "long varchar": "mediumtext",
    }

    def __init__(self, db: "Database", conn: "Adapter", drop: bool) -> None:
        super().__init__(db, conn, drop)
        self.sql_mode: Optional[str] = None
        self.lower_case_tables = 0

    def setup(self) -> None:
        mode, self.lower_case_tables, schema = self.fetch("SELECT @@SESSION.sql_mode, @@lower_case_table_names, "
                                                          "DATABASE()")[0]
        self.schema = schema or ""
        if "NO_BACKSLASH_ESCAPES" in mode.split(","):
            # Literals are written, and the server reports defaults, with backslash escapes.
            self.sql_mode = mode
            plain = ",".join(m for m in mode.split(",") if m != "NO_BACKSLASH_ESCAPES")
            self.fetch("SET SESSION sql_mode = ?", [plain])

    def teardown(self) -> None:
        if self.sql_mode is not None:
            self.fetch("SET SESSION sql_mode = ?", [self.sql_mode])

    def schema_of(self, info: ModelInfo) -> str:
        if not info.schema and not self.schema:
            raise ValueError("%s has no schema and the connection has no current database" % info.name)
        return super().schema_of(info)

    def same_table(self, a: str, b: str) -> bool:  # by lower_case_table_names
        return a == b if self.lower_case_tables == 0 else a.lower() == b.lower()

    def type_key(self, text: str) -> str:
        base, args = _split_type(text)
        base = self._aliases.get(base, base)
        head, _, rest = base.partition(" ")
        head = self._aliases.get(head, head)
        if head in self._ints:
            args = ()  # a display width only
        elif head == "decimal" and len(args) < 2:
            args = (args[0], "0") if args else ("10", "0")
        elif head in ("datetime", "timestamp", "time") and args == ("0",):
            args = ()
        elif head in ("char", "binary") and not args:
            args = ("1",)
        elif head == "float" and len(args) == 1:
            head, args = ("float" if args[0].isdigit() and int(args[0]) <= 24 else "double"), ()
        return _key((head + " " + rest).strip(), args)

    def generated_clause(self, info: ModelInfo, f: "Field[Any]") -> Optional[str]:
        text = f.db_type or "INTEGER"
        key = self.type_key(text)
        if key.split(" ")[0] not in self._ints:
            raise self.bad_key_type(info, f)
        return None if key == self.default_int else text + " AUTO_INCREMENT PRIMARY KEY"

    def text_literal(self, s: str) -> str:
        return "'" + s.replace("\\", "\\\\").replace("'", "''").replace("\0", "\\0") + "'"

    def literal(self, kind: int, v: Any) -> str:
        if kind == 7:
            return self.text_literal(v.replace(tzinfo=None).isoformat(" "))  # as PyMySQL sends a parameter
        return super().literal(kind, v)

    def fk_name(self, table: str, column: str) -> str:
        return super().fk_name(table, column)[:64]

    def inspect(self, info: ModelInfo) -> Optional[_Table]:
        schema = self.schema_of(info)
        names = [r[0] for r in self.fetch("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = ? "
                                          "AND TABLE_NAME = ?", [schema, info.table])
                 if self.same_table(r[0], info.table)]
        if not names:
            return None
        t = _Table(schema, names[0], info.schema)
        for row in self.fetch("SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, COLUMN_KEY, EXTRA, "
                              "COLLATION_NAME, COLUMN_COMMENT, TABLE_NAME FROM information_schema.COLUMNS "
                              "WHERE TABLE_SCHEMA = ? AND TABLE_NAME = ? ORDER BY ORDINAL_POSITION",
                              [schema, t.name]):
            name, ctype, nullable, default, key, extra, collation, comment, table = row
            if table != t.name:
                continue
            words = [w for w in (extra or "").split(" ") if w]
            keep = " ".join(w for w in words if w.lower() in ("auto_increment", "on", "update")
                            or w.lower().startswith("current_timestamp"))
            if comment:
                keep += " COMMENT " + self.text_literal(comment)
            t.columns.append(_Col(name, ctype, nullable == "YES", None if default in (None, "NULL") else default,
                                  keep.strip(), collation if collation and re.match(r"^\w+$", collation) else ""))
            if key == "PRI":
                t.pk.append(name)
        for col, rschema, rtable, rcol, name, table in self.fetch(
                "SELECT COLUMN_NAME, REFERENCED_TABLE_SCHEMA, REFERENCED_TABLE_NAME, REFERENCED_COLUMN_NAME, "
                "CONSTRAINT_NAME, TABLE_NAME FROM information_schema.KEY_COLUMN_USAGE WHERE TABLE_SCHEMA = ? "
                "AND TABLE_NAME = ? AND REFERENCED_TABLE_NAME IS NOT NULL", [schema, t.name]):
            if table == t.name:
                t.fks.append(_FK([col], rschema, rtable, [rcol], name))
        single = {fk.name for fk in t.fks if sum(1 for g in t.fks if g.name == fk.name) == 1}
        t.fks = [fk for fk in t.fks if fk.name in single]
        return t

    def change(self, info: ModelInfo, table: _Table, f: "Field[Any]", c: _Col, retype: bool, renull: bool) -> List[Op]:
        # MODIFY writes the whole column again: its collation, default, AUTO_INCREMENT and
        # comment are carried over.
        new_type = self.column_type(info, f)
        text = self.type_key(new_type).split("(")[0].split(" ")[0] in _MARIADB_TEXT
        default = self.default_sql(info, f) or c.default
        new = self.definition(new_type, f.nullable and not f.primary_key, default, c.extra, c.collation if text else "")
        old = self.definition(c.type, c.nullable, c.default, c.extra, c.collation)
        modify = "ALTER TABLE %s MODIFY COLUMN %s " % (self.tsql(table), self.q(c.name))
        return [([modify + new], [modify + old])]


_MARIADB_TEXT = {"char", "varchar", "tinytext", "text", "mediumtext", "longtext", "enum", "set"}
_ENGINES: Dict[str, Type[_Engine]] = {"sqlite": _SQLite, "postgresql": _PostgreSQL, "mariadb": _MariaDB}


def migrate(db: "Database", models: Sequence[Type[Model]], *, dry_run: bool = False, drop: bool = False) -> Migration:
    """Brings the database up to the models; returns the statements (a `Migration`).

    Creates missing tables (parents first) and missing columns, changes the type and the
    nullability of existing columns, adds missing foreign keys; with `dry_run` it only
    returns what it would run. A NOT NULL column added to a table needs a constant Field
    default, which becomes its DEFAULT. It never drops a column unless drop=True: the
    columns the models do not declare are listed in the result's `extra_columns`. It only
    looks at the tables of the models given, so it never drops a table.

    Every check runs before the first statement: ValueError for a NOT NULL column without
    a default, NULLs in a column that becomes NOT NULL (with the row count), a type the
    engine cannot hold. A failing statement raises `MigrationError`: on SQLite and
    PostgreSQL nothing has changed; on MariaDB its `executed` lists what did.
    """
    cls = _ENGINES.get(db.dialect.engine.name)
    if cls is None:
        raise ValueError("migrate() knows the engines %s; this database's is %r"
                         % (", ".join(sorted(_ENGINES)), db.dialect.engine.name))
    infos = _order(info_of(m) for m in models)
    conn = db._acquire()
    e = cls(db, conn, drop)
    try:
        e.setup()
        conn.begin()
        try:
            ops: List[Op] = []
            extra: List[Tuple[str, str]] = []
            for info in infos:
                table_ops, kept = e.plan(info)
                ops += table_ops
                extra += [(info.table if not info.schema else info.schema + "." + info.table, c) for c in kept]
            result = Migration([s for up, _ in ops for s in up], [s for _, down in reversed(ops) for s in down], extra)
            if not dry_run:
                _execute(e, result)
        except BaseException:
            conn.rollback()
            raise
        if dry_run:
            conn.rollback()
        else:
            conn.commit()
        return result
    finally:
        try:
            e.teardown()
        finally:
            db._release(conn)


def _execute(e: _Engine, statements: List[str]) -> None:
    transactional = e.name != "mariadb"
    for i, sql in enumerate(statements):
        try:
            e.run(sql)
        except Exception as exc:
            done = [] if transactional else statements[:i]
            if transactional:
                tail = "rolled back: nothing changed"
            elif done:
                tail = "MariaDB commits each DDL statement, and these ran: " + "; ".join(done)
            else:
                tail = "nothing ran before it"
            raise MigrationError("migration failed at %s: %s; %s" % (sql, exc, tail), sql, done,
                                 transactional) from exc


def migration_script(db: "Database", *models: Type[Model], drop: bool = False) -> str:
    """The upgrade and downgrade statements `db.migrate(*models)` would run here, as a
    script to review and keep in version control (nothing runs)."""
    m = migrate(db, models, dry_run=True, drop=drop)
    engine = db.dialect.engine.name

    def comment(text: str) -> str:
        return "-- " + text.replace("\r", "\\r").replace("\n", "\\n")

    lines = [comment("sablecrest migration on %s %s for %s" % (
        engine, ".".join(map(str, db.dialect.version)), ", ".join(info_of(x).name for x in models)))]
    lines += [comment("kept: column %s of %s is not in the models (drop=True drops it)" % (c, t))
              for t, c in m.extra_columns]
    for title, statements in (("upgrade", list(m)), ("downgrade", m.downgrade)):
        lines += ["", comment(title)]
        if not statements:
            lines.append(comment("nothing to do"))
            continue
        head, tail = (["BEGIN;"], ["COMMIT;"]) if engine != "mariadb" else (
            [comment("MariaDB commits each DDL statement by itself")], [])
        if engine == "sqlite":
            head, tail = ["PRAGMA foreign_keys = OFF;"] + head, tail + ["PRAGMA foreign_keys = ON;"]
        lines += head + [s + ";" for s in statements] + tail
    return "\n".join(lines) + "\n"


__all__ = ["migrate", "migration_script", "Migration", "MigrationError"]
