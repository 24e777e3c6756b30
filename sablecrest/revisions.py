"""Revisions: migrations as files to review, commit, and run the same way in CI and in
production.

A revision file is a Python module in the revisions directory (``migrations/`` unless
told otherwise). ``sablecrest revision`` writes one from the difference between the
models and the database (the plan of ``db.migrate``); it may also be written or edited
by hand. It defines:

    revision = "3f2a9c1b7d4e"    # its id
    parent = "1a2b3c4d5e6f"      # the revision it follows; None for the first
    message = "add currency"
    engine = "postgresql"        # the engine its statements are written for; None: any
    upgrade = [...]              # steps
    downgrade = [...]            # the steps that undo it

A step is an SQL statement (a str, sent as it is written), a check (`expect`,
`no_nulls`, `no_rows`: it stops the run, before the steps after it, when the database is
not as the revision expects) or a data step (a function given the session; ``async
def`` on an async database). The steps run in order.

The database records what ran in its version table, ``sablecrest_version``: one row per
applied revision (``revision``, ``parent``, ``message``, ``applied_at`` in UTC). Each
revision names its parent, so the files form one chain; two files with the same parent
(two heads), a parent that no file holds, a malformed file or an unknown target stop a
run before it sends anything.

A run (upgrade or downgrade) is written once as steps, like a migration:

1. the files are loaded and checked (the chain, the target), and the engine's settings
   for DDL made (SQLite: foreign keys off, checked before the commit);
2. BEGIN where DDL is transactional: the whole run is one transaction there;
3. the version table is read and matched with the files: the revisions it records must
   be the first ones of the chain;
4. the path's revisions are checked against this database (their engine, their data
   steps' kind), then run one by one, each recorded in the version table. Where DDL
   commits by itself (MariaDB), each revision is committed when it is done, and a
   failure reports what of it ran and which revisions before it were completed;
5. COMMIT, and the settings put back.
"""

from __future__ import annotations

import ast
import datetime as _dt
import inspect
import os
import re
import types
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Set, Tuple, Type, Union, cast

from .engines.base import Catalog, Check, ColumnSchema, Engine, TableName, TableSchema
from .errors import MigrationError, RevisionError
from .migrate import Migration, TablePlan, in_catalog, migrate_steps
from .model import Field, Model, ModelInfo
from .ops import Call, Execute, Fetch, Steps
from .session import AsyncSession, Pin
from .unit import ALL

if TYPE_CHECKING:
    from .session import SessionBase

PathLike = Union[str, "os.PathLike[str]"]
Step = Union[str, "Verify", Callable[[Any], Any]]

VERSION_TABLE = "sablecrest_version"
HEAD, BASE = "head", "base"
_ID = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_]{0,63}$")
# A statement that ends or starts a transaction: a revision runs in the run's transaction.
_TXN = re.compile(r"^\s*(?:BEGIN|START\s+TRANSACTION|COMMIT|END|ROLLBACK|ABORT)"
                  r"(?:\s+(?:WORK|TRANSACTION|DEFERRED|IMMEDIATE|EXCLUSIVE))*\s*;?\s*$", re.I)


class SablecrestVersion(Model):
    """A row of the version table: one applied revision."""

    __tablename__ = VERSION_TABLE
    revision = Field(str, primary_key=True, db_type="VARCHAR(64)")
    parent = Field(str, db_type="VARCHAR(64)")
    message = Field(str)
    applied_at = Field(_dt.datetime)


_VERSION: ModelInfo = SablecrestVersion.__sc_info__


# ---------------------------------------------------------------- checks


class Verify:
    """A check step: it stops the run when the database is not as the revision expects."""

    __slots__ = ()

    def code(self) -> str:
        """The step as a revision file writes it."""
        raise NotImplementedError

    def label(self) -> str:
        """The check, named in an error."""
        raise NotImplementedError


def _table_label(table: str, schema: Optional[str]) -> str:
    return table if schema is None else schema + "." + table


def _schema_arg(schema: Optional[str]) -> str:
    return "" if schema is None else ", schema=" + _literal(schema)


class Expect(Verify):
    """A table's columns as the revision was planned against: (name, type, nullable),
    nullable None where it is not compared (a generated key); `columns` None: no such
    table."""

    __slots__ = ("table", "schema", "columns")

    def __init__(self, table: str, columns: Optional[Sequence[Tuple[str, str, Optional[bool]]]],
                 schema: Optional[str] = None) -> None:
        _text("expect(): the table", table)
        if schema is not None:
            _text("expect(): the schema", schema)
        self.table = table
        self.schema = schema
        self.columns: Optional[List[Tuple[str, str, Optional[bool]]]] = None
        if columns is not None:
            if isinstance(columns, (str, bytes)) or not isinstance(columns, (list, tuple)):
                raise TypeError("expect(): the columns are a list of (name, type, nullable), or None for no table; "
                                "got %r" % (columns,))
            self.columns = []
            for c in columns:
                if not (isinstance(c, tuple) and len(c) == 3 and isinstance(c[0], str) and isinstance(c[1], str)
                        and (c[2] is None or isinstance(c[2], bool))):
                    raise TypeError("expect(): a column is (name, type, nullable: True, False or None), got %r" % (c,))
                self.columns.append(c)

    @property
    def key(self) -> TableName:
        return (self.schema, self.table)

    def compare(self, engine: Engine, live: Optional[List[ColumnSchema]]) -> Optional[str]:
        """What differs between the live table and this expectation, or None."""
        label = _table_label(self.table, self.schema)
        if self.columns is None:
            return None if live is None else "the table %s exists, and this revision creates it" % label
        if live is None:
            return "there is no table %s" % label
        fold = engine.fold
        have = {fold(c.name): c for c in live}
        problems: List[str] = []
        wanted: Set[str] = set()
        for name, type_, nullable in self.columns:
            wanted.add(fold(name))
            c = have.get(fold(name))
            if c is None:
                problems.append("no column %s" % name)
                continue
            if engine.type_key(c.type) != engine.type_key(type_):
                problems.append("%s is %s, not %s" % (c.name, c.type, type_))
            if nullable is not None and c.nullable != nullable:
                problems.append("%s is %s" % (c.name, "nullable" if c.nullable else "NOT NULL"))
        problems += ["a column %s that it does not expect" % c.name for c in live if fold(c.name) not in wanted]
        if not problems:
            return None
        return "the table %s is not as this revision was planned against: %s" % (label, "; ".join(problems))

    def label(self) -> str:
        return "expect(%s)" % _table_label(self.table, self.schema)

    def code(self) -> str:
        if self.columns is None:
            return "expect(%s, None%s)" % (_literal(self.table), _schema_arg(self.schema))
        rows = "".join("        (%s, %s, %r),\n" % (_literal(n), _literal(t), nl) for n, t, nl in self.columns)
        return "expect(%s, [\n%s    ]%s)" % (_literal(self.table), rows, _schema_arg(self.schema))


class NoNulls(Verify):
    """A column that must hold no NULL (it is about to become NOT NULL)."""

    __slots__ = ("table", "column", "schema")

    def __init__(self, table: str, column: str, schema: Optional[str] = None) -> None:
        _text("no_nulls(): the table", table)
        _text("no_nulls(): the column", column)
        if schema is not None:
            _text("no_nulls(): the schema", schema)
        self.table = table
        self.column = column
        self.schema = schema

    def label(self) -> str:
        return "no_nulls(%s.%s)" % (_table_label(self.table, self.schema), self.column)

    def code(self) -> str:
        return "no_nulls(%s, %s%s)" % (_literal(self.table), _literal(self.column), _schema_arg(self.schema))


class NoRows(Verify):
    """A query whose rows are failures (SQLite's foreign_key_check after a rebuild)."""

    __slots__ = ("sql",)

    def __init__(self, sql: str) -> None:
        _text("no_rows(): the query", sql)
        self.sql = sql

    def label(self) -> str:
        return "no_rows(%s)" % self.sql

    def code(self) -> str:
        return "no_rows(%s)" % _literal(self.sql)


def expect(table: str, columns: Optional[Sequence[Tuple[str, str, Optional[bool]]]], *,
           schema: Optional[str] = None) -> Expect:
    """A check step: the table has exactly these columns, (name, type, nullable), types
    compared as the engine normalises them and nullability unless None; or, with
    `columns` None, there is no such table."""
    return Expect(table, columns, schema)


def no_nulls(table: str, column: str, *, schema: Optional[str] = None) -> NoNulls:
    """A check step: the column holds no NULL."""
    return NoNulls(table, column, schema)


def no_rows(sql: str) -> NoRows:
    """A check step: the query returns no rows."""
    return NoRows(sql)


def _text(what: str, value: Any) -> None:
    if not isinstance(value, str) or not value:
        raise TypeError("%s is a non-empty str, got %r" % (what, value))


# ---------------------------------------------------------------- files


class Revision:
    """One revision file: its id, its parent's, its message, the engine its statements
    are written for, and its steps."""

    __slots__ = ("id", "parent", "message", "engine", "upgrade", "downgrade", "path")

    def __init__(self, id: str, parent: Optional[str], message: str, engine: Optional[str], upgrade: List[Step],
                 downgrade: List[Step], path: Path) -> None:
        self.id = id
        self.parent = parent
        self.message = message
        self.engine = engine
        self.upgrade = upgrade
        self.downgrade = downgrade
        self.path = path

    def __repr__(self) -> str:
        return "<Revision %s %r>" % (self.id, self.message)

    def label(self) -> str:
        return "%s (%s)" % (self.id, self.message) if self.message else self.id


class History:
    """The revisions of a directory, as one chain from the first to the head."""

    def __init__(self, directory: Path, chain: List[Revision]) -> None:
        self.directory = directory
        self.chain = chain
        self.by_id = {r.id: r for r in chain}

    @property
    def head(self) -> Optional[Revision]:
        return self.chain[-1] if self.chain else None

    def __repr__(self) -> str:
        return "<History %s: %s>" % (self.directory, " -> ".join(r.id for r in self.chain) or "empty")

    def position(self, target: str) -> int:
        """How many revisions of the chain are applied when the database is at `target`:
        0 for "base", all of them for "head", else up to the revision of that id (or of
        the one id that begins so)."""
        if not isinstance(target, str):
            raise TypeError("a target is a revision id, 'head' or 'base'; got %r" % (target,))
        if target == BASE:
            return 0
        if target == HEAD:
            return len(self.chain)
        found = self.by_id.get(target)
        if found is None:
            matches = [r for r in self.chain if target and r.id.startswith(target)]
            if len(matches) > 1:
                raise RevisionError("%r names several revisions: %s" % (target, ", ".join(r.id for r in matches)))
            if not matches:
                known = ", ".join(r.id for r in self.chain) or "none"
                raise RevisionError("unknown revision %r: the revisions in %s are %s (or give head or base)"
                                    % (target, self.directory, known))
            found = matches[0]
        return self.chain.index(found) + 1


def load(directory: PathLike) -> History:
    """The revisions of `directory`: every ``*.py`` there but those whose names begin with
    ``_`` or ``.``, loaded (each file is run, as an import would) and checked to form
    one chain. A RevisionError names the file at fault."""
    path = Path(directory)
    if not path.is_dir():
        raise RevisionError("%s is not a directory of revisions" % path)
    files = sorted(p for p in path.iterdir()
                   if p.suffix == ".py" and not p.name.startswith(("_", ".")) and p.is_file())
    return History(path, _chain(path, [load_file(p) for p in files]))


def load_file(path: Path) -> Revision:
    """One revision file, loaded and checked (not yet against the others)."""
    try:
        source = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise RevisionError("%s cannot be read: %s" % (path, exc)) from exc
    try:
        code = compile(source, str(path), "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as exc:
        where = " (line %s)" % exc.lineno if isinstance(exc, SyntaxError) and exc.lineno else ""
        msg = exc.msg if isinstance(exc, SyntaxError) else str(exc)
        raise RevisionError("%s is not valid Python: %s%s" % (path, msg, where)) from None
    module = types.ModuleType("sablecrest_revision_" + re.sub(r"\W", "_", path.stem))
    module.__file__ = str(path)
    try:
        exec(code, module.__dict__)
    except Exception as exc:
        raise RevisionError("%s failed to load: %s: %s" % (path, type(exc).__name__, exc)) from exc
    ns = module.__dict__
    missing = [n for n in ("revision", "parent", "upgrade", "downgrade") if n not in ns]
    if missing:
        raise RevisionError("%s is not a revision file: it does not define %s" % (path, ", ".join(missing)))
    rid, parent, message, engine = ns["revision"], ns["parent"], ns.get("message", ""), ns.get("engine")
    if not isinstance(rid, str) or not _ID.match(rid) or rid in (HEAD, BASE):
        raise RevisionError("%s: revision is %r; an id is 1 to 64 letters, digits and underscores (not head or base)"
                            % (path, rid))
    if parent is not None and (not isinstance(parent, str) or not _ID.match(parent)):
        raise RevisionError("%s: parent is %r; it is the id of the revision this one follows, or None for the first"
                            % (path, parent))
    if parent == rid:
        raise RevisionError("%s: revision %s names itself as its parent" % (path, rid))
    if not isinstance(message, str):
        raise RevisionError("%s: message is %r, not a str" % (path, message))
    if engine is not None and not isinstance(engine, str):
        raise RevisionError("%s: engine is %r; it names the engine the statements are written for, or is None"
                            % (path, engine))
    return Revision(rid, parent, message, engine, _steps(path, "upgrade", ns["upgrade"]),
                    _steps(path, "downgrade", ns["downgrade"]), path)


def _steps(path: Path, name: str, found: Any) -> List[Step]:
    if not isinstance(found, (list, tuple)):
        raise RevisionError("%s: %s is a %s; it is a list of steps" % (path, name, type(found).__name__))
    steps = cast("Sequence[Any]", found)
    for i, step in enumerate(steps):
        where = "%s: %s[%d]" % (path, name, i)
        if isinstance(step, str):
            if not step.strip():
                raise RevisionError("%s is an empty statement" % where)
            if _TXN.match(step):
                raise RevisionError("%s is %r: a revision runs in the run's transaction, which ends by itself; "
                                    "remove it" % (where, step))
        elif isinstance(step, Verify):
            pass
        elif callable(step):
            try:
                inspect.signature(step).bind(None)
            except TypeError:
                raise RevisionError("%s, %s, is a data step: it takes one argument, the session"
                                    % (where, _step_name(step))) from None
            except ValueError:
                pass  # no signature to read (a builtin): it is called all the same
        else:
            raise RevisionError("%s is %r: a step is an SQL statement (a str), a check (expect, no_nulls, no_rows) "
                                "or a data step (a function given the session)" % (where, step))
    return list(steps)


def _chain(directory: Path, revisions: List[Revision]) -> List[Revision]:
    by_id: Dict[str, Revision] = {}
    for r in revisions:
        first = by_id.setdefault(r.id, r)
        if first is not r:
            raise RevisionError("%s and %s both hold revision %s" % (first.path, r.path, r.id))
    children: Dict[Optional[str], List[Revision]] = {}
    for r in revisions:
        if r.parent is not None and r.parent not in by_id:
            raise RevisionError("%s follows revision %s, which no file in %s holds" % (r.path, r.parent, directory))
        children.setdefault(r.parent, []).append(r)
    for parent, kids in children.items():
        if len(kids) > 1:
            after = "revision %s" % parent if parent is not None else "no revision (each is a first revision)"
            raise RevisionError("two heads: %s all follow %s; make one follow the other (its parent) and check that "
                                "their steps still apply in that order" % (" and ".join(str(k.path) for k in kids),
                                                                           after))
    chain: List[Revision] = []
    nxt = children.get(None)
    while nxt:
        chain.append(nxt[0])
        nxt = children.get(nxt[0].id)
    if len(chain) != len(revisions):
        loop = sorted(str(r.path) for r in revisions if r not in chain)
        raise RevisionError("%s follow one another in a circle: no chain leads to them from a first revision"
                            % ", ".join(loop))
    return chain


# ---------------------------------------------------------------- writing a revision


def _literal(s: str) -> str:
    """A Python literal of `s`, as readable as it can be: quotes that need no escapes,
    triple quotes for several lines, repr() otherwise."""
    plain = "\\" not in s and all(ch.isprintable() or ch == "\n" for ch in s)
    candidates: List[str] = []
    if plain and "\n" not in s:
        candidates += [q + s + q for q in ('"', "'") if q not in s]
    if plain:
        candidates += [q + s + q for q in ('"""', "'''") if q not in s and not s.endswith(q[0])]
    for text in candidates:
        if ast.literal_eval(text) == s:
            return text
    return repr(s)


def _comment(text: str) -> str:
    """Text for one comment line: whitespace runs as one space, other characters that
    are not printable (a NUL would make the file no Python at all) escaped."""
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in " ".join(text.split()))


def revision_text(rid: str, parent: Optional[Revision], message: str, engine: Engine, version: Sequence[int],
                  plan: Optional[Migration], models: Sequence[str]) -> str:
    """A revision file: the header, the ids, and the plan's steps (with the checks of
    the tables it was planned against)."""
    up: List[Union[str, Verify]] = []
    down: List[Union[str, Verify]] = []
    if plan is not None:
        for tp in plan.plans:
            _plan_checks(engine, tp, up, down)
        # The expects first, read together in one query; then the NULL counts.
        up.sort(key=lambda c: not isinstance(c, Expect))
        down.sort(key=lambda c: not isinstance(c, Expect))
        up += [NoRows(s) if isinstance(s, Check) else s for s in plan]
        down += [NoRows(s) if isinstance(s, Check) else s for s in plan.downgrade]
    imports = sorted({_FACTORY[type(s)] for s in up + down if isinstance(s, Verify)})
    now = _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    planned = ("from the models %s" % ", ".join(models)) if plan is not None else "empty, to fill in by hand"
    lines = [
        "# Revision %s: %s" % (rid, _comment(message)),
        "# Parent: %s" % (("%s (%s)" % (parent.id, _comment(parent.message))) if parent is not None
                          else "none, the first revision"),
        "# Planned %s on %s %s, %s." % (planned, engine.title or engine.name, ".".join(map(str, version)), now),
        "",
    ]
    if imports:
        lines += ["from sablecrest.revisions import %s" % ", ".join(imports), ""]
    lines += [
        "revision = %s" % _literal(rid),
        "parent = %s" % ("None" if parent is None else _literal(parent.id)),
        "message = %s" % _literal(message),
        "engine = %s" % _literal(engine.name),
        "",
        "# The steps run in order: SQL statements as written; checks, which stop the run before",
        "# the steps after them (expect: a table's columns as the revision was planned against,",
        "# None for no table; no_nulls; no_rows); data steps, functions given the session",
        "# (async def on an async database), say `def fill(s): s.execute(\"UPDATE ...\")`.",
    ]
    if plan is not None:
        lines += ["# Kept: the column %s of %s is not in the models (a revision planned with drop drops it)." % (c, t)
                  for t, c in plan.extra_columns]
    for name, steps in (("upgrade", up), ("downgrade", down)):
        lines += ["", "%s = [" % name] + ["    %s," % (s.code() if isinstance(s, Verify) else _literal(s))
                                          for s in steps] + ["]"]
    return "\n".join(lines) + "\n"


_FACTORY: Dict[Type[Verify], str] = {Expect: "expect", NoNulls: "no_nulls", NoRows: "no_rows"}


def _plan_checks(engine: Engine, tp: TablePlan, up: List[Union[str, Verify]], down: List[Union[str, Verify]]) -> None:
    """The checks of one table: before the upgrade, the live table as the plan found it
    (and no NULL where a column becomes NOT NULL); before the downgrade, the table as the
    upgrade leaves it (the model's columns and the columns kept), and no NULL where the
    downgrade makes a column NOT NULL again."""
    if tp.kind == TablePlan.NOTHING:
        return
    info = tp.info
    if tp.table is None:
        up.append(Expect(info.table, None, info.schema))
    else:
        up.append(Expect(info.table, [(c.name, c.type, c.nullable) for c in tp.table.columns], info.schema))
    after: List[Tuple[str, str, Optional[bool]]] = [
        (f.column, engine.declared_type(info, f), None if f.generated else f.nullable) for f in info.fields]
    after += [(c.name, c.type, c.nullable) for c in tp.kept]
    down.append(Expect(info.table, after, info.schema))
    for change in tp.changed:
        if change.renull:
            (down if change.field.nullable else up).append(NoNulls(info.table, change.column.name, info.schema))


def _slug(message: str) -> str:
    return re.sub(r"[^a-z0-9]+", "_", message.lower()).strip("_")[:40].rstrip("_")


# ---------------------------------------------------------------- steps: reading the state


def _catalog(session: "SessionBase", body: Callable[[Catalog], Steps], commit: bool) -> Steps:
    """`body` run between the engine's setup and teardown, in a transaction where DDL is
    transactional; committed or rolled back."""
    engine: Engine = session.db.dialect.engine
    if not engine.migrates:
        raise ValueError("revisions know the engines that migrate() knows; this database's is %r" % engine.name)
    cat: Catalog = yield from engine.setup(session.db.dialect.style, session.db.dialect.version)
    return (yield from in_catalog(session, engine, cat, body, commit))


def _read_versions(session: "SessionBase", engine: Engine, cat: Catalog) -> Steps:
    """The version table's rows, or None when there is no version table."""
    live = (yield from engine.read_columns(cat, [(None, VERSION_TABLE)]))[(None, VERSION_TABLE)]
    if live is None:
        return None
    names = {engine.fold(c.name) for c in live}
    if not all(engine.fold(f.column) in names for f in _VERSION.fields):
        raise RevisionError("the table %s is not sablecrest's version table: its columns are %s"
                            % (VERSION_TABLE, ", ".join(c.name for c in live)))
    rows: List[SablecrestVersion] = yield from session._uow.select(_VERSION, (), (), None, None, ALL)
    return rows


def _applied(history: History, rows: Sequence[SablecrestVersion]) -> int:
    """How many revisions of the chain the version table records: they must be the
    first ones."""
    ids = {r.revision for r in rows}
    unknown = sorted(i for i in ids if i not in history.by_id)
    if unknown:
        raise RevisionError("the database has revision %s applied, which no file in %s holds (the files of another "
                            "branch, or a file deleted)" % (", ".join(unknown), history.directory))
    k = len(ids)
    gap = [r.id for r in history.chain[:k] if r.id not in ids]
    if gap:
        late = [r.id for r in history.chain[k:] if r.id in ids]
        raise RevisionError("the database's revisions do not follow the files: %s applied without %s, which comes "
                            "before in %s" % (", ".join(late), ", ".join(gap), history.directory))
    return k


def _tip(rows: Sequence[SablecrestVersion]) -> Optional[SablecrestVersion]:
    """The last revision the version table records (the one no other follows)."""
    if not rows:
        return None
    parents = {r.parent for r in rows}
    tips = [r for r in rows if r.revision not in parents]
    if len(tips) != 1:
        raise RevisionError("the version table %s holds no single chain of revisions (ends: %s)"
                            % (VERSION_TABLE, ", ".join(sorted(r.revision for r in tips)) or "none"))
    return tips[0]


def current_steps(session: "SessionBase") -> Steps:
    """Steps that return the id of the database's current revision, or None."""
    def body(cat: Catalog) -> Steps:
        rows = yield from _read_versions(session, session.db.dialect.engine, cat)
        tip = _tip(rows or [])
        return None if tip is None else tip.revision

    return (yield from _catalog(session, body, False))


# ---------------------------------------------------------------- steps: planning a revision


def revision_steps(session: "SessionBase", directory: PathLike, models: Sequence[Type[Model]], message: str,
                   rev_id: Optional[str] = None, empty: bool = False, drop: bool = False) -> Steps:
    """Steps that write a new revision file in `directory` (made if missing) with what
    the models need of the database (the plan of ``migrate``), after the head; they
    return its Revision. The database must be at the head: the plan is made from it."""
    if not isinstance(message, str) or not message.strip():
        raise ValueError("a revision needs a message (what it changes), got %r" % (message,))
    for name, flag in (("empty", empty), ("drop", drop)):
        if not isinstance(flag, bool):
            raise TypeError("revision(): %s takes True or False, got %r" % (name, flag))
    if rev_id is not None and (not isinstance(rev_id, str) or not _ID.match(rev_id) or rev_id in (HEAD, BASE)):
        raise ValueError("a revision id is 1 to 64 letters, digits and underscores (not head or base), got %r"
                         % (rev_id,))
    if not empty and not models:
        raise ValueError("a revision is planned from the models: give them (or empty=True for one to write by hand)")
    path = Path(directory)
    history = load(path) if path.exists() else History(path, [])
    rid = rev_id or uuid.uuid4().hex[:12]
    if rid in history.by_id:
        raise RevisionError("revision %s exists already: %s" % (rid, history.by_id[rid].path))
    db = session.db
    engine: Engine = db.dialect.engine

    def at(cat: Catalog) -> Steps:
        return _applied(history, (yield from _read_versions(session, engine, cat)) or [])

    have: int = yield from _catalog(session, at, False)
    if have != len(history.chain):
        where = history.chain[have - 1].id if have else "no revision"
        raise RevisionError("the database is at %s and the head of %s is %s: upgrade it first (a revision is planned "
                            "from the database, which must be at the head)" % (where, path, history.chain[-1].id))
    plan: Optional[Migration] = None
    if not empty:
        plan = yield from migrate_steps(session, models, dry_run=True, drop=drop)
        if not plan:
            raise RevisionError("nothing to revise: the database matches the models (empty=True, or --empty, writes "
                                "a revision to fill in by hand)")
    names = [m.__sc_info__.name for m in models] if plan is not None else []
    text = revision_text(rid, history.head, message, engine, db.dialect.version, plan, names)
    slug = _slug(message)
    target = path / ("%s_%s.py" % (rid, slug) if slug else "%s.py" % rid)
    path.mkdir(parents=True, exist_ok=True)
    with open(target, "x", encoding="utf-8", newline="\n") as out:
        out.write(text)
    try:
        return load_file(target)
    except BaseException:
        target.unlink()
        raise


# ---------------------------------------------------------------- steps: running revisions


def upgrade_steps(session: "SessionBase", directory: PathLike, target: str = HEAD) -> Steps:
    """Steps that run the revisions of `directory` after the database's current one, up
    to `target` (a revision id or a prefix of one, or "head"); they return the revisions
    applied, in order."""
    return (yield from _move(session, directory, target, True))


def downgrade_steps(session: "SessionBase", directory: PathLike, target: str) -> Steps:
    """Steps that undo the database's revisions after `target` (a revision id or a
    prefix of one, or "base" for all of them), the last first; they return the
    revisions undone, in the order they were undone."""
    return (yield from _move(session, directory, target, False))


def _move(session: "SessionBase", directory: PathLike, target: str, up: bool) -> Steps:
    history = load(directory)
    want = history.position(target)
    engine: Engine = session.db.dialect.engine

    def body(cat: Catalog) -> Steps:
        rows: Optional[List[SablecrestVersion]] = yield from _read_versions(session, engine, cat)
        have = _applied(history, rows or [])
        at = history.chain[have - 1].id if have else "no revision"
        if up and want < have:
            raise RevisionError("upgrade to %s: the database is at %s, past it (downgrade goes back)" % (target, at))
        if not up and want > have:
            raise RevisionError("downgrade to %s: the database is at %s, before it (upgrade goes forward)"
                                % (target, at))
        path = history.chain[have:want] if up else history.chain[want:have][::-1]
        if not path:
            return []
        _check_path(path, engine, up, isinstance(session, AsyncSession))
        recorded = {r.revision: r for r in rows or []}
        done: List[Revision] = []
        for rev in path:
            executed = yield from _run_revision(session, engine, cat, rev, up, done)
            if rows is None:  # made once the first revision has run: a run its checks stop leaves nothing
                rows = []
                try:
                    for sql in engine.create_table(cat, _VERSION).up:
                        yield Execute(sql)
                except Exception as exc:
                    raise _failure(engine, rev, up, "making the version table " + VERSION_TABLE, exc, executed,
                                   done) from exc
            if up:
                session.add(SablecrestVersion(revision=rev.id, parent=rev.parent, message=rev.message,
                                              applied_at=_dt.datetime.now(_dt.timezone.utc).replace(tzinfo=None)))
            else:
                session.delete(recorded[rev.id])
            if not engine.transactional_ddl:
                yield from _settle(session, engine, rev, up, executed, done)
            done.append(rev)
        return done

    return (yield from _catalog(session, body, True))


def _check_path(path: List[Revision], engine: Engine, up: bool, is_async: bool) -> None:
    """What can be told of the revisions to run before anything runs: the engine they
    are written for, and that their data steps suit the session."""
    for rev in path:
        if rev.engine is not None and rev.engine != engine.name:
            raise RevisionError("%s is written for %s and this database is %s: its statements are %s's"
                                % (rev.path, rev.engine, engine.name, rev.engine))
        if is_async:
            continue
        for i, step in enumerate(rev.upgrade if up else rev.downgrade):
            if not isinstance(step, (str, Verify)) and _is_async(step):
                raise RevisionError("%s: %s[%d], the data step %s, is async, and this database is not (connect_async "
                                    "runs it)" % (rev.path, "upgrade" if up else "downgrade", i, _step_name(step)))


def _is_async(fn: Any) -> bool:
    while hasattr(fn, "func"):  # functools.partial
        fn = fn.func
    return inspect.iscoroutinefunction(fn) or inspect.iscoroutinefunction(getattr(fn, "__call__", None))


def _step_name(step: Any) -> str:
    return getattr(step, "__name__", None) or repr(step)


def _run_revision(session: "SessionBase", engine: Engine, cat: Catalog, rev: Revision, up: bool,
                  done: List[Revision]) -> Steps:
    """Steps that run one revision's steps; they return what of it took effect."""
    steps = rev.upgrade if up else rev.downgrade
    executed: List[str] = []
    wrote = False  # a data step ran: where foreign keys went unenforced, they are checked at the end
    i = 0
    while i <= len(steps):
        step = steps[i] if i < len(steps) else None
        label = "the check of foreign keys after its data steps"
        try:
            problem: Optional[str] = None
            if step is None:
                i += 1
                if wrote:
                    problem = yield from engine.check_all_references(cat)
            elif isinstance(step, str):
                label = step
                i += 1
                yield Execute(step)
                executed.append(step)
            elif isinstance(step, Expect):
                group = [step]
                for nxt in steps[i + 1:]:
                    if not isinstance(nxt, Expect):
                        break
                    group.append(nxt)
                label = "its check " + ", ".join(e.label() for e in group)
                i += len(group)
                live = yield from engine.read_columns(cat, [e.key for e in group])
                problem = next((p for p in (e.compare(engine, live[e.key]) for e in group) if p), None)
            elif isinstance(step, NoNulls):
                label = "its check " + step.label()
                i += 1
                sql = engine.null_count_sql(TableSchema(step.schema or "", step.table, step.schema), step.column)
                n = int((yield Fetch(sql))[0][0])
                if n:
                    problem = "cannot make %s.%s NOT NULL: %d row%s NULL there; fill them in first" % (
                        _table_label(step.table, step.schema), step.column, n, " holds" if n == 1 else "s hold")
            elif isinstance(step, NoRows):
                label = "its check " + step.label()
                i += 1
                rows = yield Fetch(step.sql)
                if rows:
                    problem = "%s returned %d row%s, the first %r" % (
                        step.sql, len(rows), "" if len(rows) == 1 else "s", tuple(rows[0]))
            else:
                label = "its data step " + _step_name(step)
                i += 1
                wrote = True
                yield from _data_step(session, step, isinstance(session, AsyncSession))
                executed.append("data step " + _step_name(step))
            if problem is not None:
                raise _CheckFailed(problem)
        except Exception as exc:
            raise _failure(engine, rev, up, label, exc, executed, done) from (
                None if isinstance(exc, _CheckFailed) else exc)
    return executed


def _data_step(session: "SessionBase", fn: Any, is_async: bool) -> Steps:
    name = _step_name(fn)
    pin = Pin("the session belongs to a revision's data step (%s), whose transaction is the revision's" % name)
    session._pinned = pin
    try:
        result = yield Call("data step " + name, _awaited(fn, name) if is_async else _not_awaited(fn, name), session)
    finally:
        session._pinned = None
    if pin.rolled_back:
        raise RuntimeError("the transaction was rolled back inside it (a flush there failed), undoing the steps "
                           "before it")
    yield from session._uow.flush()  # what it added or changed, before the next step
    return result


def _awaited(fn: Any, name: str) -> Callable[[Any], Any]:
    def call(session: Any) -> Any:
        result = fn(session)
        if not hasattr(result, "__await__"):
            raise TypeError("the data step %s returned %r on an async database: write it `async def` and await the "
                            "session's methods (a call not awaited runs nothing)" % (name, result))
        return result

    return call


def _not_awaited(fn: Any, name: str) -> Callable[[Any], Any]:
    def call(session: Any) -> Any:
        result = fn(session)
        if hasattr(result, "__await__"):
            close = getattr(result, "close", None)
            if close is not None:
                close()
            raise TypeError("the data step %s returned an awaitable: async data steps run on an async database "
                            "(connect_async)" % name)
        return result

    return call


def _settle(session: "SessionBase", engine: Engine, rev: Revision, up: bool, executed: List[str],
            done: List[Revision]) -> Steps:
    """Where DDL commits by itself: the revision's row written (or deleted) and committed
    at once."""
    try:
        yield from session._commit_steps()
    except Exception as exc:
        raise _failure(engine, rev, up, "recording it in " + VERSION_TABLE, exc, executed, done) from exc


class _CheckFailed(Exception):
    pass


def _failure(engine: Engine, rev: Revision, up: bool, label: str, exc: Exception, executed: List[str],
             done: List[Revision]) -> MigrationError:
    what = "%s of revision %s" % ("upgrade" if up else "downgrade", rev.label())
    why = str(exc) if isinstance(exc, _CheckFailed) else "%s: %s" % (type(exc).__name__, exc)
    if engine.transactional_ddl:
        executed, done = [], []
        tail = "the run was rolled back: nothing changed"
    else:
        if executed:
            tail = "%s commits each DDL statement with the writes before it, and these of it ran: %s (writes " \
                   "after its last DDL statement were rolled back)" % (engine.title, "; ".join(executed))
        else:
            tail = "nothing of it ran"
        if done:
            tail += "; before it, this run completed and recorded %s" % ", ".join(r.id for r in done)
    return MigrationError("the %s stopped at %s: %s; %s" % (what, label, why, tail), label, executed,
                          engine.transactional_ddl, rev.id, [r.id for r in done])


__all__ = ["VERSION_TABLE", "Revision", "History", "load", "load_file", "expect", "no_nulls", "no_rows", "Verify",
           "Expect", "NoNulls", "NoRows", "upgrade_steps", "downgrade_steps", "current_steps", "revision_steps",
           "revision_text", "SablecrestVersion"]
