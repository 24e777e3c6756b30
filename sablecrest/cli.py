"""The ``sablecrest`` command (also ``python -m sablecrest``): revisions from the shell.

    sablecrest revision -m "add currency"   a revision file planned from the models
    sablecrest upgrade [TARGET]              run the revisions up to TARGET (head)
    sablecrest downgrade TARGET              undo the revisions after TARGET (base: all)
    sablecrest history                       the revisions, first to head
    sablecrest current                       the database's current revision
    sablecrest check                         exit 1 when the models differ from the database

The database URL comes from ``--url`` or SABLECREST_URL; the models from ``--models
package.module`` (repeatable): the module's ``MODELS`` list when it has one, otherwise
every Model subclass defined in it, in order. The current directory is importable, as
with ``python -m``. Exit status: 0 done, 1 the models differ (check), 2 an error (the
message on stderr; ``--traceback`` shows where).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import traceback
from typing import Any, Dict, List, Optional, Sequence, Tuple, Type

from .database import Database, connect
from .errors import RevisionError
from .model import Model
from .revisions import HEAD, History, load

OK, DIFFERS, FAILED = 0, 1, 2


class _Usage(Exception):
    """A command given without what it needs."""


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    for name, default in _DEFAULTS:
        if not hasattr(args, name):
            setattr(args, name, default)
    if args.command is None:
        parser.print_help(sys.stderr)
        return FAILED
    try:
        return int(args.run(args))
    except _Usage as exc:
        args.parser.error(str(exc))  # the command's usage, and status 2
    except Exception as exc:
        if args.traceback:
            traceback.print_exc()
        else:
            _report(exc)
        return FAILED
    return FAILED  # pragma: no cover  (parser.error exits)


def _report(exc: BaseException) -> None:
    print("sablecrest: error: %s" % exc, file=sys.stderr)
    for note in getattr(exc, "__notes__", ()):
        print("  note: %s" % note, file=sys.stderr)
    cause = exc.__cause__
    if cause is not None and str(cause) not in str(exc):
        print("  caused by %s: %s" % (type(cause).__name__, cause), file=sys.stderr)


# The options' defaults, set after parsing: an option may come before or after the
# command, and a default set on the parser would let the command's parser overwrite a
# value given before it (the parsers share the option's action).
_DEFAULTS = (("url", None), ("models", None), ("dir", "migrations"), ("traceback", False))


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    options: List[Tuple[str, Dict[str, Any]]] = [
        ("--url", dict(help="the database URL (default: $SABLECREST_URL)")),
        ("--models", dict(action="append", metavar="MODULE", help="a module of models, as package.module (repeatable)")),
        ("--dir", dict(metavar="DIR", help="the revisions directory (default: migrations)")),
        ("--traceback", dict(action="store_true", help="show where an error happened")),
    ]
    for flag, kw in options:
        common.add_argument(flag, default=argparse.SUPPRESS, **kw)
    parser = argparse.ArgumentParser(prog="sablecrest", parents=[common],
                                     description="sablecrest revisions: plan, run and check migrations.")
    parser.set_defaults(command=None)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = sub.add_parser("revision", parents=[common], help="write a revision planned from the models")
    p.add_argument("-m", "--message", required=True, help="what the revision changes")
    p.add_argument("--rev-id", help="the revision's id (default: 12 random hex digits)")
    p.add_argument("--empty", action="store_true", help="write a revision without steps, to fill in by hand")
    p.add_argument("--drop", action="store_true", help="drop the columns the models do not declare")
    p.set_defaults(run=_revision, parser=p)

    p = sub.add_parser("upgrade", parents=[common], help="run the revisions up to TARGET")
    p.add_argument("target", nargs="?", default=HEAD, help="a revision id (or its start), or head (default)")
    p.set_defaults(run=_upgrade, parser=p)

    p = sub.add_parser("downgrade", parents=[common], help="undo the revisions after TARGET")
    p.add_argument("target", help="a revision id (or its start), or base to undo them all")
    p.set_defaults(run=_downgrade, parser=p)

    p = sub.add_parser("history", parents=[common], help="list the revisions, first to head")
    p.set_defaults(run=_history, parser=p)
    p = sub.add_parser("current", parents=[common], help="show the database's current revision")
    p.set_defaults(run=_current, parser=p)
    p = sub.add_parser("check", parents=[common], help="exit 1 when the models differ from the database")
    p.set_defaults(run=_check, parser=p)
    return parser


# ---------------------------------------------------------------- what the commands need


def _url(args: Any, required: bool = True) -> Optional[str]:
    url = args.url or os.environ.get("SABLECREST_URL") or None
    if url is None and required:
        raise _Usage("no database URL: give --url or set SABLECREST_URL")
    return url


def _models(args: Any) -> List[Type[Model]]:
    if not args.models:
        raise _Usage("no models: give --models package.module")
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())  # as `python -m` does: the project's own modules import
    out: List[Type[Model]] = []
    for name in args.models:
        module = importlib.import_module(name)
        listed: Any = getattr(module, "MODELS", None)
        found: List[Any]
        if listed is not None:
            if not isinstance(listed, (list, tuple)) or not all(_is_model(m) for m in listed):  # pyright: ignore[reportUnknownVariableType]
                raise RevisionError("%s.MODELS is %r: a list of model classes" % (name, listed))
            found = list(listed)  # pyright: ignore[reportUnknownArgumentType]
        else:
            found = [v for v in vars(module).values() if _is_model(v) and v.__module__ == module.__name__]
        if not found:
            raise RevisionError("no models in %s: define Model subclasses there, or a MODELS list" % name)
        out += [m for m in found if m not in out]
    return out


def _is_model(value: Any) -> bool:
    return isinstance(value, type) and issubclass(value, Model) and "__sc_info__" in value.__dict__


def _db(args: Any) -> Database:
    return connect(_url(args) or "", pool_size=1)


def _load(args: Any) -> History:
    return load(args.dir)


# ---------------------------------------------------------------- the commands


def _revision(args: Any) -> int:
    models = [] if args.empty else _models(args)
    with _db(args) as db:
        rev = db.revision(args.dir, *models, message=args.message, rev_id=args.rev_id, empty=args.empty,
                          drop=args.drop)
    counts = ", ".join("%d %s step%s" % (len(steps), name, "" if len(steps) == 1 else "s")
                       for name, steps in (("upgrade", rev.upgrade), ("downgrade", rev.downgrade)))
    print("wrote %s: revision %s after %s, %s" % (rev.path, rev.id, rev.parent or "none (the first)", counts))
    return OK


def _upgrade(args: Any) -> int:
    with _db(args) as db:
        done = db.upgrade(args.dir, args.target)
        if not done:
            print("nothing to do: the database is at %s" % (db.current() or "no revision"))
        for rev in done:
            print("applied %s" % rev.label())
    return OK


def _downgrade(args: Any) -> int:
    with _db(args) as db:
        done = db.downgrade(args.dir, args.target)
        for rev in done:
            print("undid %s" % rev.label())
        print("the database is at %s" % (db.current() or "no revision"))
    return OK


def _history(args: Any) -> int:
    history = _load(args)
    url = _url(args, required=False)
    applied = -1
    if url is not None:
        with _db(args) as db:
            now = db.current()
        applied = 0 if now is None else history.position(now) if now in history.by_id else -1
        if now is not None and applied < 0:
            print("the database is at %s, which no file in %s holds" % (now, history.directory))
    for i, rev in enumerate(history.chain):
        marks = (["applied"] if i < applied else []) + (["current"] if i == applied - 1 else []) + (
            ["head"] if rev is history.head else [])
        print("%s -> %s  %s%s" % (rev.parent or "base", rev.id, rev.message, "  (%s)" % ", ".join(marks) if marks
                                  else ""))
    if not history.chain:
        print("no revisions in %s" % history.directory)
    return OK


def _current(args: Any) -> int:
    with _db(args) as db:
        now = db.current()
    if now is None:
        print("no revision applied")
        return OK
    try:
        history = _load(args)
    except RevisionError:
        print(now)  # the database's answer stands without the files
        return OK
    rev = history.by_id.get(now)
    if rev is None:
        print("%s  (not in %s)" % (now, args.dir))
    else:
        print("%s%s" % (rev.label(), "  (head)" if rev is history.head else ""))
    return OK


def _check(args: Any) -> int:
    models = _models(args)
    with _db(args) as db:
        plan = db.check(*models)
    for table, column in plan.extra_columns:
        print("kept: the column %s of %s is not in the models" % (column, table))
    if not plan:
        print("the database matches the models")
        return OK
    print("the database differs from the models; a revision would run:")
    for sql in plan:
        print("  " + sql)
    return DIFFERS


__all__ = ["main"]
