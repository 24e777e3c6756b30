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
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Type

from .engines import ENGINES
from .engines.base import (
    Catalog,
    Change,
    Check,
    CheckSchema,
    ColumnSchema,
    Engine,
    ForeignKeySchema,
    IndexSchema,
    TableSchema,
    WantedCheck,
    WantedIndex,
)
from .errors import MigrationError, add_note, reason
from .model import Field, Model, ModelInfo
from .ops import BEGIN, Execute, Fetch, Steps
from .unit import table_order


class Migration(List[str]):
    """The statements a migration ran (with dry_run: would run), in order.

    `downgrade` holds the statements that undo them, in the order to run them.
    `extra_columns` holds the (table, column) pairs the database has and the models do
    not declare, `extra_constraints` the (table, kind, name) of the unique constraints,
    indexes, CHECKs and foreign keys ("unique", "index", "check", "foreign key") it has
    and the models do not: without drop=True they are left alone and only reported here.
    `plans` holds the `TablePlan` of each model, in the order the statements take them
    (what a revision file records of the tables it was planned against).
    """

    def __init__(self, statements: Iterable[str] = (), downgrade: Iterable[str] = (),
                 extra_columns: Iterable[Tuple[str, str]] = (),
                 extra_constraints: Iterable[Tuple[str, str, str]] = (), plans: Iterable["TablePlan"] = ()) -> None:
        super().__init__(statements)
        self.downgrade = list(downgrade)
        self.extra_columns = list(extra_columns)
        self.extra_constraints = list(extra_constraints)
        self.plans = list(plans)


class ColumnChange:
    """A live column the model declares otherwise (`column` as it is named once the
    migration's renames have run)."""

    __slots__ = ("field", "column", "retype", "renull", "reference", "redefault", "old_fks")

    def __init__(self, field: "Field[Any]", column: ColumnSchema, retype: bool, renull: bool, reference: bool,
                 redefault: bool = False, old_fks: Sequence[ForeignKeySchema] = ()) -> None:
        self.field = field
        self.column = column
        self.retype = retype
        self.renull = renull
        self.reference = reference  # the field's foreign key is missing (or has another action)
        self.redefault = redefault  # the field's server default is not the column's DEFAULT
        self.old_fks = list(old_fks)  # foreign keys on the column that the new one replaces

    def __repr__(self) -> str:
        return "<ColumnChange %s: retype=%s renull=%s reference=%s redefault=%s>" % (
            self.column.name, self.retype, self.renull, self.reference, self.redefault)


class TablePlan:
    """What one model's table needs (`kind`): to be created, altered in place, rebuilt
    (where the engine cannot alter a column or a CHECK), or nothing.

    `renamed_from` is the table's old name when it is renamed, `renames` the (field, live
    column) pairs of its renamed columns. `added` holds the fields to add, `changed` the
    columns to change; `dropped` and `kept` the live columns the model does not declare,
    dropped only with drop=True. Likewise for the unique constraints and indexes
    (`add_indexes`; `drop_indexes` and `kept_indexes`, with `matched` the live ones the
    model has), the CHECKs (`add_checks`; `drop_checks`, which also holds those a change
    replaces, and `kept_checks`) and the foreign keys on the model's columns that it does
    not declare (`drop_fks`, `kept_fks`)."""

    CREATE, ALTER, REBUILD, NOTHING = "create", "alter", "rebuild", "nothing"
    __slots__ = ("info", "table", "kind", "added", "changed", "dropped", "kept", "renamed_from", "renames",
                 "add_indexes", "drop_indexes", "kept_indexes", "matched", "add_checks", "drop_checks", "kept_checks",
                 "drop_fks", "kept_fks")

    def __init__(self, info: ModelInfo, table: Optional[TableSchema]) -> None:
        self.info = info
        self.table = table
        self.kind = self.CREATE if table is None else self.NOTHING
        self.added: List["Field[Any]"] = []
        self.changed: List[ColumnChange] = []
        self.dropped: List[ColumnSchema] = []
        self.kept: List[ColumnSchema] = []
        self.renamed_from: Optional[str] = None
        self.renames: List[Tuple["Field[Any]", ColumnSchema]] = []
        self.add_indexes: List[WantedIndex] = []
        self.drop_indexes: List[IndexSchema] = []
        self.kept_indexes: List[IndexSchema] = []
        self.matched: List[IndexSchema] = []
        self.add_checks: List[WantedCheck] = []
        self.drop_checks: List[CheckSchema] = []
        self.kept_checks: List[CheckSchema] = []
        self.drop_fks: List[ForeignKeySchema] = []
        self.kept_fks: List[ForeignKeySchema] = []

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
    except BaseException as failure:
        yield from _teardown(session, engine, cat, failure)
        raise

    def body(cat: Catalog) -> Steps:
        result = yield from _plan(engine, cat, table_order(infos), drop)
        if not dry_run:
            yield from _run(engine, result)
        return result

    return (yield from in_catalog(session, engine, cat, body, not dry_run))


def in_catalog(session: Any, engine: Engine, cat: Catalog, body: Callable[[Catalog], Steps], commit: bool) -> Steps:
    """`body(cat)` after the engine's setup: in a transaction where DDL is transactional,
    committed or rolled back, and the engine's teardown after it whatever happened."""
    try:
        if engine.transactional_ddl:
            yield BEGIN
        try:
            result = yield from body(cat)
        except BaseException as failure:
            yield from session._abort(failure)
            raise
        if commit:
            yield from session._commit_steps()
        else:
            yield from session._rollback_steps()
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
    constraints: List[Tuple[str, str, str]] = []
    plans: List[TablePlan] = []
    for info in infos:
        plan = yield from plan_table(engine, cat, info, drop)
        changes += yield from table_changes(engine, cat, plan)
        label = _table_label(info)
        extra += [(label, c.name) for c in plan.kept]
        constraints += [(label, "unique" if i.unique else "index", i.name) for i in plan.kept_indexes]
        constraints += [(label, "check", c.name) for c in plan.kept_checks]
        constraints += [(label, "foreign key", fk.name) for fk in plan.kept_fks]
        plans.append(plan)
    return Migration([s for c in changes for s in c.up], [s for c in reversed(changes) for s in c.down], extra,
                     constraints, plans)


def plan_table(engine: Engine, cat: Catalog, info: ModelInfo, drop: bool) -> Steps:
    """Steps that return the TablePlan of one model: its live table compared with it.
    The checks that the rows already there allow the change run here (before anything
    is changed), reading the table under its live names."""
    table = yield from engine.inspect(cat, info)
    renamed_from = None
    if info.renamed_from is not None:
        old = yield from engine.inspect(cat, info, info.renamed_from)
        if old is not None and table is not None and engine.fold_table(cat, old.name) != engine.fold_table(
                cat, table.name):
            raise ValueError("%s: cannot rename the table %s to %s: both exist" % (info.name, old.name, table.name))
        if table is None and old is not None:
            table, renamed_from = old, old.name
    plan = TablePlan(info, table)
    if table is None:
        yield from _try_checks(engine, cat, info, None, {}, engine.wanted_checks(info))
        return plan
    plan.renamed_from = renamed_from
    fold = engine.fold
    by_name = {fold(c.name): c for c in table.columns}
    live: Dict[int, ColumnSchema] = {}  # id(field) -> its live column
    for f in info.fields:
        c = by_name.get(fold(f.column))
        if f.renamed_from is not None and fold(f.renamed_from) != fold(f.column) and fold(f.renamed_from) in by_name:
            if c is not None:
                raise ValueError("%s.%s: cannot rename the column %s to %s: the table %s has both"
                                 % (info.name, f.name, f.renamed_from, f.column, table.name))
            c = by_name[fold(f.renamed_from)]
            plan.renames.append((f, c))
        if c is not None:
            live[id(f)] = c
    present = [f for f in info.key if id(f) in live]
    if [fold(c) for c in table.pk] != [fold(live[id(f)].name) for f in present] and present:
        has = "the primary key (%s)" % ", ".join(table.pk) if table.pk else "no primary key"
        declares = info.pk.column if not info.composite else "(%s)" % ", ".join(f.column for f in info.key)
        raise ValueError("the table %s has %s and %s declares %s; sablecrest does not change primary keys"
                         % (table.name, has, info.name, declares))
    for f in info.fields:
        c = live.get(id(f))
        if c is None:
            plan.added.append(f)
            continue
        retype = engine.type_key(engine.declared_type(info, f, cat)) != engine.type_key(c.type)
        renull = not f.generated and f.nullable != c.nullable
        reference = f.references is not None and not engine.has_foreign_key(cat, table, info, f)
        redefault = f.server_default is not None and engine.default_key(engine.default_sql(info, f)) != \
            engine.default_key(c.default)
        if renull and not f.nullable:
            n = int((yield Fetch(engine.null_count_sql(table, c.name)))[0][0])
            if n:
                raise ValueError("cannot make %s.%s NOT NULL: %d row%s NULL there; fill them in first"
                                 % (table.name, c.name, n, " holds" if n == 1 else "s hold"))
        if retype or renull or reference or redefault:
            old_fks = engine.foreign_keys_on(table, c.name) if reference else []
            plan.changed.append(ColumnChange(f, c._replace(name=f.column), retype, renull, reference, redefault,
                                             old_fks))
    names = {fold(f.column) for f in info.fields} | {fold(c.name) for c in live.values()}
    extra = [c for c in table.columns if fold(c.name) not in names]
    plan.dropped, plan.kept = (extra, []) if drop else ([], extra)
    _plan_foreign_keys(engine, info, table, live, plan, drop)
    _plan_indexes(engine, info, table, live, plan, drop)
    _plan_checks(engine, cat, info, table, live, plan, drop)
    yield from _try_changes(engine, cat, info, table, live, plan)
    rebuild_for = plan.changed or plan.dropped or plan.add_checks or plan.drop_checks or plan.drop_fks or any(
        i.constraint and not i.sql for i in plan.drop_indexes)
    if rebuild_for and not engine.alters_columns:
        plan.kind = plan.REBUILD
    elif (plan.added or plan.changed or plan.dropped or plan.renames or renamed_from or plan.add_indexes
          or plan.drop_indexes or plan.add_checks or plan.drop_checks or plan.drop_fks):
        plan.kind = plan.ALTER
    return plan


def _live_names(engine: Engine, info: ModelInfo, live: Dict[int, ColumnSchema]) -> Dict[str, str]:
    """A live column's folded name -> the column the model calls it (renames applied)."""
    return {engine.fold(c.name): f.column for f in info.fields for c in [live.get(id(f))] if c is not None}


def _plan_foreign_keys(engine: Engine, info: ModelInfo, table: TableSchema, live: Dict[int, ColumnSchema],
                       plan: TablePlan, drop: bool) -> None:
    """The foreign keys on the model's columns that the model does not declare."""
    plain = {engine.fold(c.name) for f in info.fields if f.references is None for c in [live.get(id(f))] if c}
    extra = [fk for fk in table.fks if len(fk.columns) == 1 and engine.fold(fk.columns[0]) in plain]
    plan.drop_fks, plan.kept_fks = (extra, []) if drop else ([], extra)


def _plan_indexes(engine: Engine, info: ModelInfo, table: TableSchema, live: Dict[int, ColumnSchema],
                  plan: TablePlan, drop: bool) -> None:
    """The model's unique constraints and indexes against the live ones, by columns and
    uniqueness (and name, where the model gives one): a live index the model has under
    another name is kept as it is."""
    fold = engine.fold
    names = _live_names(engine, info, live)

    def columns(ix: IndexSchema) -> Optional[List[str]]:
        return None if any(c is None for c in ix.columns) else [fold(names.get(fold(c or ""), c or ""))
                                                                  for c in ix.columns]

    free = list(table.indexes)
    for w in engine.wanted_indexes(info):
        want = [fold(c) for c in w.columns]
        fits = [ix for ix in free if columns(ix) == want and ix.unique == w.unique
                and (not w.explicit or fold(ix.name) == fold(w.name))]
        fits.sort(key=lambda ix: fold(ix.name) != fold(w.name))  # its own name first
        if fits:
            free.remove(fits[0])
            plan.matched.append(fits[0])
        else:
            plan.add_indexes.append(w)
    if engine.indexes_foreign_keys:  # the index a foreign key made for itself is the key's
        keys = [[fold(c) for c in fk.columns] for fk in table.fks]
        free = [ix for ix in free if ix.unique or [fold(c or "") for c in ix.columns] not in keys]
    plan.drop_indexes, plan.kept_indexes = (free, []) if drop else ([], free)


class _Named:
    """What a name rule asks of a model: its table."""

    def __init__(self, table: str) -> None:
        self.table = table


def _plan_checks(engine: Engine, cat: Catalog, info: ModelInfo, table: TableSchema, live: Dict[int, ColumnSchema],
                 plan: TablePlan, drop: bool) -> None:
    """The model's CHECKs against the live ones, by name. A CHECK named by sablecrest
    under the table's or a column's old name is the same one renamed, and an enum's
    CHECK that lists other values is the same one changed: both are replaced."""
    fold = engine.fold
    by_name = {fold(c.name): c for c in table.checks if c.name}
    used: List[CheckSchema] = []
    renamed = {id(f): c.name for f, c in plan.renames}
    old_table = _Named(table.name)
    for w in engine.wanted_checks(info):
        c = by_name.get(fold(w.name))
        if c is None and (plan.renamed_from or (w.field is not None and id(w.field) in renamed)):
            column = renamed.get(id(w.field), w.field.column) if w.field is not None else None
            if w.kind == "check":
                old = engine.check_name(old_table, w.sql, column)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
            else:
                old = engine.fit_name("ck_%s_%s_%s" % (table.name, column, w.kind))
            c = by_name.get(fold(old))
            if c is not None:
                plan.drop_checks.append(c)
                plan.add_checks.append(w)
                used.append(c)
                continue
        if c is None:
            plan.add_checks.append(w)
            continue
        used.append(c)
        if w.kind == "enum" and w.field is not None:
            strings, ints = engine.check_values(c.sql)
            values = set(w.field.enum_values)
            if (strings if isinstance(next(iter(values)), str) else ints) != values:
                plan.drop_checks.append(c)
                plan.add_checks.append(w)
    extra = [c for c in table.checks if not any(c is u for u in used)]
    if drop:
        plan.drop_checks += extra
    else:
        plan.kept_checks = extra


def _source(engine: Engine, cat: Catalog, info: ModelInfo, table: Optional[TableSchema],
            live: Dict[int, ColumnSchema]) -> str:
    """The rows a new constraint is tried on, every column named as the model names it:
    the live table's (a column to be added holding its default), or, for a table still
    to be made, one row of NULLs."""
    return engine.rows_as_model_sql(cat, info, table, {f.column: c.name for f in info.fields
                                                       for c in [live.get(id(f))] if c is not None})


def _count(engine: Engine, info: ModelInfo, what: str, sql: str) -> Steps:
    """Runs a count of the rows a change would refuse; a statement the database refuses
    (a CHECK naming an unknown column, say) is a ValueError with its message."""
    try:
        rows = yield Fetch(sql)
    except Exception as exc:
        raise ValueError("%s: %s is refused by %s: %s" % (info.name, what, engine.title, reason(exc))) from exc
    return int(rows[0][0])


def _try_checks(engine: Engine, cat: Catalog, info: ModelInfo, table: Optional[TableSchema],
                live: Dict[int, ColumnSchema], checks: List[WantedCheck]) -> Steps:
    """Each CHECK to be added, tried on the table's rows (on one row of NULLs for a new
    table, which only asks the database whether it takes the expression)."""
    source = None
    for w in checks:
        if table is None and w.kind != "check":
            continue  # written by sablecrest for the field's type
        source = source or _source(engine, cat, info, table, live)
        n = yield from _count(engine, info, "the CHECK (%s)" % w.sql,
                              engine.rows_failing_sql(source, w.sql, table is not None))
        if n:
            raise ValueError("cannot add the CHECK %s (%s) to %s: %d row%s it" % (
                w.name, w.sql, table.name if table is not None else info.table, n, " fails" if n == 1 else "s fail"))


def _try_changes(engine: Engine, cat: Catalog, info: ModelInfo, table: TableSchema, live: Dict[int, ColumnSchema],
                 plan: TablePlan) -> Steps:
    """The rows already there against the CHECKs and unique constraints to be added."""
    yield from _try_checks(engine, cat, info, table, live, plan.add_checks)
    unique = [w for w in plan.add_indexes if w.unique]
    if unique:
        source = _source(engine, cat, info, table, live)
        for w in unique:
            n = yield from _count(engine, info, "the unique %s" % w.name, engine.duplicates_sql(source, w.columns))
            if n:
                raise ValueError("cannot add the unique %s (%s) to %s: %d value%s held by more than one row" % (
                    w.name, ", ".join(w.columns), table.name, n, " is" if n == 1 else "s are"))


def table_changes(engine: Engine, cat: Catalog, plan: TablePlan) -> Steps:
    """Steps that return the Changes that carry out a TablePlan: renames first, then the
    columns in field order (the dropped ones last), then indexes, CHECKs and foreign
    keys."""
    info, table = plan.info, plan.table
    if table is None:
        return [engine.create_table(cat, info)]
    out: List[Change] = []
    if plan.renamed_from is not None:
        out.append(engine.rename_table(cat, table, info.table))
        before = list(table.fks)
        engine.table_renamed(table, info.table)  # what the statements after it name
        names = {old.name: new.name for old, new in zip(before, table.fks)}
        for c in plan.changed:
            c.old_fks = [fk._replace(name=names.get(fk.name, fk.name)) for fk in c.old_fks]
        plan.drop_fks = [fk._replace(name=names.get(fk.name, fk.name)) for fk in plan.drop_fks]
    # Written (and so checked) even where a rebuild then makes the columns instead.
    per_field = {id(f): engine.add_column(cat, info, table, f) for f in plan.added}
    if plan.kind == plan.REBUILD:
        renamed = {f.column: c.name for f, c in plan.renames}
        out.append((yield from engine.rebuild(cat, info, table, plan.kept, renamed, plan.kept_checks,
                                              plan.matched + plan.kept_indexes)))
        out += [engine.create_index(cat, info, w) for w in plan.add_indexes]
        return out
    out += [engine.rename_column(cat, table, c, f.column) for f, c in plan.renames]
    if plan.renames or plan.renamed_from is not None:
        _renamed_in_place(engine, plan)
    for c in plan.changed:
        changes = per_field[id(c.field)] = [engine.drop_foreign_key_change(cat, table, fk) for fk in c.old_fks]
        if c.retype or c.renull or c.redefault:
            changes += engine.change_column(cat, info, table, c.field, c.column, c.retype, c.renull, c.redefault)
        if c.reference:
            changes.append(engine.add_foreign_key(cat, info, c.field))
    out += [change for f in info.fields for change in per_field.get(id(f), [])]
    out += [engine.drop_foreign_key_change(cat, table, fk) for fk in plan.drop_fks]
    out += [engine.drop_column(table, c) for c in plan.dropped]
    out += [engine.drop_index(cat, table, i) for i in plan.drop_indexes]
    out += [engine.create_index(cat, info, w) for w in plan.add_indexes]
    out += [engine.drop_check(cat, table, c) for c in plan.drop_checks]
    out += [engine.add_check(cat, info, w) for w in plan.add_checks]
    if any(f.references is not None for f in plan.added):
        check = engine.check_references(cat, table)
        if check is not None:
            out.append(check)
    return out


def _renamed_in_place(engine: Engine, plan: TablePlan) -> None:
    """The live foreign keys and indexes a plan drops, as they are once the table and its
    columns are renamed: the downgrade makes them again before it renames them back. An
    index is then written again from its columns (its text names the old names)."""
    fold = engine.fold
    new = {fold(c.name): f.column for f, c in plan.renames}

    def now(column: Optional[str]) -> Optional[str]:
        return None if column is None else new.get(fold(column), column)

    def moved(fk: ForeignKeySchema) -> ForeignKeySchema:
        return fk._replace(columns=[now(c) or "" for c in fk.columns])

    for c in plan.changed:
        c.old_fks = [moved(fk) for fk in c.old_fks]
    plan.drop_fks = [moved(fk) for fk in plan.drop_fks]
    plan.drop_indexes = [ix._replace(columns=[now(c) for c in ix.columns], sql="" if all(ix.columns) else ix.sql)
                         for ix in plan.drop_indexes]


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
    lines += [comment("kept: %s %s of %s is not in the models (drop=True drops it)" % (kind, name or "(unnamed)", t))
              for t, kind, name in m.extra_constraints]
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
