"""Migrations: bring a database up to the models, or write the script that would.

This module plans and runs; what each engine reads of its schema and the DDL it writes
live in its engine module. A migration is one steps generator (see ops.py), driven by
the sync and the async session alike:

1. setup: the settings the engine's DDL needs, changed for the migration's length
   (outside any transaction: SQLite ignores its foreign_keys PRAGMA inside one);
2. BEGIN, where the engine's DDL is transactional;
3. planning: each model's live table read and compared with the model, into a
   `TablePlan` and then its statements. Every check that can fail (a NOT NULL column
   without a default, NULLs where NOT NULL is wanted, a type the engine cannot hold, a
   rebuild that would lose something) fails here, before the first statement runs;
4. the statements, one by one: where DDL commits by itself (MariaDB), a failure reports
   exactly which of them took effect;
5. COMMIT (ROLLBACK for a dry run or after a failure), then teardown: the settings put
   back.
"""

from __future__ import annotations

import inspect
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Type

from .engines import ENGINES
from .engines.base import Catalog, Change, Check, ColumnSchema, Engine, TableSchema
from .errors import MigrationError, add_note, reason
from .model import Field, Model, ModelInfo
from .ops import BEGIN, Execute, Fetch, Steps
from .unit import table_order


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


class ColumnChange:
    """A live column the model declares otherwise."""

    __slots__ = ("field", "column", "retype", "renull", "reference")

    def __init__(self, field: "Field[Any]", column: ColumnSchema, retype: bool, renull: bool, reference: bool) -> None:
        self.field = field
        self.column = column
        self.retype = retype
        self.renull = renull
        self.reference = reference  # the field's foreign key is missing

    def __repr__(self) -> str:
        return "<ColumnChange %s: retype=%s renull=%s reference=%s>" % (
            self.column.name, self.retype, self.renull, self.reference)


class TablePlan:
    """What one model's table needs (`kind`): to be created, altered in place, rebuilt
    (where the engine cannot alter a column), or nothing. `added` holds the fields to
    add, `changed` the columns to change; `dropped` and `kept` the live columns the model
    does not declare, dropped only with drop=True."""

    CREATE, ALTER, REBUILD, NOTHING = "create", "alter", "rebuild", "nothing"
    __slots__ = ("info", "table", "kind", "added", "changed", "dropped", "kept")

    def __init__(self, info: ModelInfo, table: Optional[TableSchema]) -> None:
        self.info = info
        self.table = table
        self.kind = self.CREATE if table is None else self.NOTHING
        self.added: List["Field[Any]"] = []
        self.changed: List[ColumnChange] = []
        self.dropped: List[ColumnSchema] = []
        self.kept: List[ColumnSchema] = []

    def __repr__(self) -> str:
        return "<TablePlan %s %s: add %s, change %s, drop %s, keep %s>" % (
            self.kind, self.info.table, [f.column for f in self.added], [c.column.name for c in self.changed],
            [c.name for c in self.dropped], [c.name for c in self.kept])


class _CheckFailed(Exception):
    pass


def migrate_steps(session: Any, models: Sequence[Type[Model]], *, dry_run: bool = False,
                  drop: bool = False) -> Steps:
    """The steps of ``db.migrate(*models)`` on `session` (a fresh one): they return the
    `Migration`.

    Creates missing tables (parents first) and missing columns, changes the type and the
    nullability of existing columns, adds missing foreign keys; with `dry_run` it only
    returns what it would run. A NOT NULL column added to a table needs a constant Field
    default, which becomes its DEFAULT. It never drops a column unless drop=True: the
    columns the models do not declare are listed in the result's `extra_columns`. It only
    looks at the tables of the models given, so it never drops a table.

    Every check runs before the first statement: ValueError for a NOT NULL column without
    a default, NULLs in a column that becomes NOT NULL (with the row count), a type the
    engine cannot hold, two models of one table. A failing statement raises
    `MigrationError`: where DDL is transactional nothing has changed; elsewhere its
    `executed` lists what did.
    """
    for name, flag in (("dry_run", dry_run), ("drop", drop)):
        if not isinstance(flag, bool):
            raise TypeError("migrate(): %s takes True or False, got %r" % (name, flag))
    infos = [_info(m) for m in models]
    dialect = session.db.dialect
    engine: Engine = dialect.engine
    if not engine.migrates:
        raise ValueError("migrate() knows the engines %s; this database's is %r"
                         % (", ".join(sorted(e.name for e in ENGINES.values() if e.migrates)), engine.name))
    cat: Catalog = yield from engine.setup(dialect.style, dialect.version)
    try:
        _one_model_per_table(engine, cat, infos)
        if engine.transactional_ddl:
            yield BEGIN
        try:
            result = yield from _plan(engine, cat, table_order(infos), drop)
            if not dry_run:
                yield from _run(engine, result)
        except BaseException as failure:
            yield from session._abort(failure)
            raise
        if dry_run:
            yield from session._rollback_steps()
        else:
            yield from session._commit_steps()
    except BaseException as failure:
        yield from _teardown(session, engine, cat, failure)
        raise
    yield from _teardown(session, engine, cat, None)
    return result


def _info(model: Any) -> ModelInfo:
    info = model.__dict__.get("__sc_info__") if isinstance(model, type) else None
    if not isinstance(info, ModelInfo):
        raise TypeError("migrate() takes model classes (subclasses of sablecrest.Model with fields), got %r"
                        % (model,))
    return info


def _one_model_per_table(engine: Engine, cat: Catalog, infos: List[ModelInfo]) -> None:
    """Two models of one table would both create it (or each alter it its own way)."""
    seen: Dict[Tuple[str, str], ModelInfo] = {}
    for info in infos:
        key = (engine.fold_table(cat, engine.schema_of(cat, info)), engine.fold_table(cat, info.table))
        first = seen.setdefault(key, info)
        if first.model is not info.model:
            raise ValueError("%s and %s are both the table %s: give each model a table of its own"
                             % (first.name, info.name, _table_label(info)))


def _table_label(info: ModelInfo) -> str:
    return info.table if not info.schema else info.schema + "." + info.table


# ---------------------------------------------------------------- planning


def _plan(engine: Engine, cat: Catalog, infos: List[ModelInfo], drop: bool) -> Steps:
    changes: List[Change] = []
    extra: List[Tuple[str, str]] = []
    for info in infos:
        plan = yield from plan_table(engine, cat, info, drop)
        changes += yield from table_changes(engine, cat, plan)
        extra += [(_table_label(info), c.name) for c in plan.kept]
    return Migration([s for c in changes for s in c.up], [s for c in reversed(changes) for s in c.down], extra)


def plan_table(engine: Engine, cat: Catalog, info: ModelInfo, drop: bool) -> Steps:
    """Steps that return the TablePlan of one model: its live table compared with it."""
    table = yield from engine.inspect(cat, info)
    plan = TablePlan(info, table)
    if table is None:
        return plan
    fold = engine.fold
    by_name = {fold(c.name): c for c in table.columns}
    pk = info.pk.column
    if [fold(c) for c in table.pk] != [fold(pk)] and fold(pk) in by_name:
        has = "the primary key (%s)" % ", ".join(table.pk) if table.pk else "no primary key"
        raise ValueError("the table %s has %s and %s declares %s; sablecrest does not change primary keys"
                         % (table.name, has, info.name, pk))
    for f in info.fields:
        c = by_name.get(fold(f.column))
        if c is None:
            plan.added.append(f)
            continue
        retype = engine.type_key(engine.declared_type(info, f)) != engine.type_key(c.type)
        renull = not f.generated and f.nullable != c.nullable
        reference = f.references is not None and not engine.has_foreign_key(cat, table, info, f)
        if renull and not f.nullable:
            n = int((yield Fetch(engine.null_count_sql(table, c.name)))[0][0])
            if n:
                raise ValueError("cannot make %s.%s NOT NULL: %d row%s NULL there; fill them in first"
                                 % (table.name, c.name, n, " holds" if n == 1 else "s hold"))
        if retype or renull or reference:
            plan.changed.append(ColumnChange(f, c, retype, renull, reference))
    names = {fold(f.column) for f in info.fields}
    extra = [c for c in table.columns if fold(c.name) not in names]
    plan.dropped, plan.kept = (extra, []) if drop else ([], extra)
    if (plan.changed or plan.dropped) and not engine.alters_columns:
        plan.kind = plan.REBUILD
    elif plan.added or plan.changed or plan.dropped:
        plan.kind = plan.ALTER
    return plan


def table_changes(engine: Engine, cat: Catalog, plan: TablePlan) -> Steps:
    """Steps that return the Changes that carry out a TablePlan, in field order (the
    dropped columns last)."""
    info, table = plan.info, plan.table
    if table is None:
        return [engine.create_table(cat, info)]
    # Written (and so checked) even where a rebuild then makes the columns instead.
    per_field = {id(f): engine.add_column(cat, info, table, f) for f in plan.added}
    if plan.kind == plan.REBUILD:
        return [(yield from engine.rebuild(cat, info, table, plan.kept))]
    for c in plan.changed:
        changes = per_field[id(c.field)] = (
            engine.change_column(cat, info, table, c.field, c.column, c.retype, c.renull) if c.retype or c.renull
            else [])
        if c.reference:
            changes.append(engine.add_foreign_key(cat, info, c.field))
    out = [change for f in info.fields for change in per_field.get(id(f), [])]
    out += [engine.drop_column(table, c) for c in plan.dropped]
    if any(f.references is not None for f in plan.added):
        check = engine.check_references(cat, table)
        if check is not None:
            out.append(check)
    return out


# ---------------------------------------------------------------- running


def _run(engine: Engine, statements: List[str]) -> Steps:
    for i, sql in enumerate(statements):
        try:
            if isinstance(sql, Check):
                rows = yield Fetch(sql)
                if rows:
                    raise _CheckFailed(sql.failure(rows))
            else:
                yield Execute(sql)
        except Exception as exc:
            transactional = engine.transactional_ddl
            done = [] if transactional else statements[:i]
            if transactional:
                tail = "rolled back: nothing changed"
            elif done:
                tail = "%s commits each DDL statement, and these ran: %s" % (engine.title, "; ".join(done))
            else:
                tail = "nothing ran before it"
            raise MigrationError("migration failed at %s: %s; %s" % (sql, reason(exc), tail), sql, done,
                                 transactional) from exc


def _teardown(session: Any, engine: Engine, cat: Catalog, failure: Optional[BaseException]) -> Steps:
    """The settings put back. A connection that keeps the migration's settings (SQLite's
    foreign keys off) must never serve another session: if this fails, it is discarded."""
    try:
        yield from engine.teardown(cat)
    except BaseException as err:
        session._broken = True
        if failure is None or not isinstance(err, Exception):  # an interrupt is never swallowed
            add_note(err, "the migration itself had completed; the connection was discarded")
            raise
        add_note(failure, "putting the connection's settings back after it also failed: %s: %s (the connection "
                          "was discarded)" % (type(err).__name__, err))


# ---------------------------------------------------------------- scripts


def migration_script(db: Any, *models: Type[Model], drop: bool = False) -> str:
    """The upgrade and downgrade statements `db.migrate(*models)` would run here, as a
    script to review and keep in version control (nothing runs)."""
    m = db.migrate(*models, dry_run=True, drop=drop)
    if inspect.isawaitable(m):
        close = getattr(m, "close", None)
        if close is not None:
            close()
        raise TypeError("migration_script() takes a sync Database; with an async one, "
                        "`await db.migrate(*models, dry_run=True)` gives the statements")
    engine: Engine = db.dialect.engine

    def comment(text: str) -> str:
        return "-- " + text.replace("\r", "\\r").replace("\n", "\\n")

    lines = [comment("sablecrest migration on %s %s for %s" % (
        engine.name, ".".join(map(str, db.dialect.version)), ", ".join(_info(x).name for x in models)))]
    lines += [comment("kept: column %s of %s is not in the models (drop=True drops it)" % (c, t))
              for t, c in m.extra_columns]
    for title, statements in (("upgrade", list(m)), ("downgrade", m.downgrade)):
        lines += ["", comment(title)]
        if not statements:
            lines.append(comment("nothing to do"))
            continue
        head, tail = engine.script_frame()
        lines += head + [s + ";" for s in statements] + tail
    return "\n".join(lines) + "\n"


__all__ = ["migrate_steps", "migration_script", "Migration", "MigrationError", "TablePlan", "ColumnChange",
           "plan_table", "table_changes"]
