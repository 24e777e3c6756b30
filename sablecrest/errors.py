"""The errors sablecrest raises: one hierarchy on every engine and driver, sync and async.

A driver's database error is raised as the `DatabaseError` subclass that says what
happened (a duplicate key is a `UniqueViolation` on sqlite3, psycopg, asyncpg, PyMySQL
and asyncmy alike), with the driver's exception as `orig` (and as `__cause__`) and the
statement that failed as `statement`. Each engine module knows its drivers' exceptions
(their classes, SQLSTATEs, error numbers) and names the class; the session's driver loop
wraps the error before the steps see it. What a driver raises that is not a database
error (a TypeError for a value it cannot send, say: a bug in the calling code) passes
through unchanged.

Parameter values never appear in a message, nor in `params`, unless the database was
made with ``echo=True``: they may be passwords or personal data, and messages end up in
logs. (The server's own message, which `orig` carries, may quote a value, as
PostgreSQL's "Key (email)=(...) already exists" does.)
"""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Type


class Error(Exception):
    """The root of every error sablecrest raises of its own or wraps."""


class DatabaseError(Error):
    """An error the database or its driver reported.

    `orig` is the driver's exception; `statement` the text of the statement that failed
    (None when connecting failed); `params` its parameters when the database was made
    with ``echo=True``, None otherwise.
    """

    def __init__(self, message: str, orig: Optional[BaseException] = None, statement: Optional[str] = None,
                 params: Any = None) -> None:
        super().__init__(message)
        self.orig = orig
        self.statement = statement
        self.params = params


class InterfaceError(DatabaseError):
    """The driver was used in a way it refuses (a connection it has closed, say)."""


class OperationalError(DatabaseError):
    """The database could not run the statement for reasons of its own state: the
    connection was lost or refused, the server is shutting down, a lock timed out."""


class DeadlockError(OperationalError):
    """The transaction was chosen as the victim of a deadlock (PostgreSQL 40P01, MariaDB
    1213) and rolled back: run it again. SQLite reports a lock it cannot take as
    SQLITE_BUSY ("database is locked"), whether the other transaction would never let
    go or merely held it past the busy timeout; it is raised as this class too."""


class IntegrityError(DatabaseError):
    """A constraint refused the write."""


class UniqueViolation(IntegrityError):
    """A duplicate primary key or unique value."""


class ForeignKeyViolation(IntegrityError):
    """A reference to a row that does not exist, or a delete of a row still referred to."""


class NotNullViolation(IntegrityError):
    """NULL (or no value, where the column has no default) for a NOT NULL column."""


class CheckViolation(IntegrityError):
    """A CHECK constraint failed."""


class ProgrammingError(DatabaseError):
    """The statement is wrong for this database: a syntax error, a table or column that
    does not exist, a missing privilege."""


class DataError(DatabaseError):
    """A value the database cannot take: too long, out of range, of the wrong form."""


class InternalError(DatabaseError):
    """The database's transaction or cursor state refused the statement (a statement in
    a transaction an earlier error aborted, say), or the database failed internally."""


class NotSupportedError(DatabaseError):
    """A feature this database or its version does not have."""


class StaleDataError(Error):
    """An UPDATE or DELETE of a flush matched fewer rows than it meant to write: the rows
    were deleted (or their keys changed) by someone else since they were loaded."""


class NotLoadedError(Error):
    """A relation was read that was not loaded: sablecrest never runs a query behind the
    user's back. The message names the relation and how to load it."""


class MigrationError(Error):
    """A statement of a migration failed; the error it raised is the ``__cause__``.

    `failed` is its text. `executed` lists the statements that ran and stay in effect:
    always empty where the engine runs DDL in a transaction (SQLite, PostgreSQL: the whole
    migration was rolled back, `rolled_back` is True); on MariaDB, which commits each DDL
    statement by itself, the statements before the failure, in order.

    When a revision failed (`db.upgrade`, `db.downgrade`), `revision` is its id, `failed`
    may name one of its checks or data steps, `executed` holds what of that revision took
    effect (MariaDB), and `applied` the revisions of the same run that completed and
    were recorded before it (MariaDB; elsewhere the run is one transaction and it is
    empty).
    """

    def __init__(self, message: str, failed: str, executed: Sequence[str], rolled_back: bool,
                 revision: Optional[str] = None, applied: Sequence[str] = ()) -> None:
        super().__init__(message)
        self.failed = failed
        self.executed: List[str] = list(executed)
        self.rolled_back = rolled_back
        self.revision = revision
        self.applied: List[str] = list(applied)


class RevisionError(Error):
    """Revisions that cannot run as they are, found before anything runs: a malformed
    revision file, a parent that no file holds, two heads, an unknown target, a
    database whose recorded revisions do not match the files, a revision written for
    another engine."""


# A statement longer than this is cut in messages (a flush's INSERT of a thousand rows
# is tens of kilobytes of placeholders); `statement` keeps it whole.
_SHOWN = 1000
_SHOWN_PARAMS = 20


def _shown_params(params: Any) -> str:
    try:
        n = len(params)
    except TypeError:
        return repr(params)
    if n <= _SHOWN_PARAMS:
        return repr(params)
    return "%s, ... (%d in all)]" % (repr(list(params[:_SHOWN_PARAMS]))[:-1], n)


def wrap(cls: Type[DatabaseError], orig: BaseException, statement: Optional[str], params: Any,
         echo: bool) -> DatabaseError:
    """`orig` (a driver's exception) as `cls`: its message, the statement, and the
    parameters only with `echo`. Notes on `orig` (a hint added by the adapter) carry over."""
    kind = type(orig)
    lines = ["(%s.%s) %s" % (kind.__module__, kind.__qualname__, orig)]
    if statement is not None:
        shown = statement if len(statement) <= _SHOWN else "%s ... (%d characters)" % (statement[:_SHOWN],
                                                                                      len(statement))
        lines.append("[SQL: %s]" % shown)
        if echo and params is not None:
            lines.append("[parameters: %s]" % _shown_params(params))
    err = cls("\n".join(lines), orig, statement, params if echo else None)
    err.__cause__ = orig
    for note in getattr(orig, "__notes__", None) or ():
        add_note(err, note)
    return err


def reason(exc: BaseException) -> str:
    """What went wrong, in the driver's words, for a message that names the statement
    itself."""
    if isinstance(exc, DatabaseError) and exc.orig is not None:
        return str(exc.orig)
    return str(exc)


# The sablecrest class for each class name of PEP 249's hierarchy, which every driver
# here follows (sqlite3, psycopg, PyMySQL and asyncmy by these very names).
PEP249 = {
    "InterfaceError": InterfaceError,
    "DatabaseError": DatabaseError,
    "Error": DatabaseError,
    "OperationalError": OperationalError,
    "IntegrityError": IntegrityError,
    "ProgrammingError": ProgrammingError,
    "DataError": DataError,
    "InternalError": InternalError,
    "NotSupportedError": NotSupportedError,
}


def pep249_class(exc: BaseException) -> Type[DatabaseError]:
    """The class for a driver exception, by the PEP 249 class it derives from."""
    for k in type(exc).__mro__:
        cls = PEP249.get(k.__name__)
        if cls is not None:
            return cls
    return DatabaseError


def add_note(exc: BaseException, note: str) -> None:
    """Attaches a note to an exception on its way up (PEP 678; before 3.11, the same
    `__notes__` list that tracebacks of 3.11 and later print)."""
    adder = getattr(exc, "add_note", None)
    if adder is not None:
        adder(note)
        return
    notes = getattr(exc, "__notes__", None)
    try:
        if notes is None:
            exc.__notes__ = [note]
        else:
            notes.append(note)
    except (AttributeError, TypeError):
        pass  # an exception type that takes no attributes keeps no note


__all__ = ["Error", "DatabaseError", "InterfaceError", "OperationalError", "DeadlockError", "IntegrityError",
           "UniqueViolation", "ForeignKeyViolation", "NotNullViolation", "CheckViolation", "ProgrammingError",
           "DataError", "InternalError", "NotSupportedError", "StaleDataError", "NotLoadedError", "MigrationError",
           "RevisionError", "add_note", "wrap", "reason", "pep249_class"]
