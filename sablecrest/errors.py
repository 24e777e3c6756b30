"""The errors sablecrest raises of its own (driver errors pass through as the driver's)."""

from __future__ import annotations

from typing import List, Optional, Sequence


class Error(Exception):
    """The root of sablecrest's own errors."""


class StaleDataError(Error):
    """An UPDATE or DELETE of a flush matched fewer rows than it meant to write: the rows
    were deleted (or their keys changed) by someone else since they were loaded."""


class NotLoadedError(Error):
    """A relation was read that was not loaded: sablecrest never runs a query behind the
    user's back. The message names the relation and how to load it."""


class MigrationError(Error):
    """A statement of a migration failed; the driver's error is the ``__cause__``.

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


__all__ = ["Error", "StaleDataError", "NotLoadedError", "MigrationError", "RevisionError", "add_note"]
