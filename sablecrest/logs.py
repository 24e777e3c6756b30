"""sablecrest's loggers: ``sablecrest.sql`` (each statement, at DEBUG) and
``sablecrest.pool`` (checkouts, returns and waits at DEBUG; connections discarded, and
why, at INFO), both under ``sablecrest``.

Nothing is printed unless logging is set up to show these records; ``echo=True`` sets
up ``sablecrest.sql`` at DEBUG with a handler that writes to standard output. When the
loggers are off, a session asks once (when it starts) and then costs nothing per
statement.

Parameter values go into a statement's record only for a database made with
``echo=True``: otherwise a DEBUG logging setup would copy passwords and personal data
into the logs.
"""

from __future__ import annotations

import logging
import sys
from typing import Any, Callable, Optional, Sequence

LOG = logging.getLogger("sablecrest")
SQL = logging.getLogger("sablecrest.sql")
POOL = logging.getLogger("sablecrest.pool")
DEBUG = logging.DEBUG
INFO = logging.INFO

Trace = Callable[[str, Sequence[Any]], None]


class Params:
    """A statement's parameters as echo shows them, formatted only when a record is."""

    __slots__ = ("params",)

    def __init__(self, params: Any) -> None:
        self.params = params

    def __str__(self) -> str:
        params = self.params
        if len(params) > 12:
            return "[%d values]" % len(params)
        return repr(list(params))


def logged(trace: Optional[Trace], echo: bool) -> Trace:
    """The hook a session's driver loop calls for each statement while ``sablecrest.sql``
    logs at DEBUG: the record, then the user's trace hook."""

    def hook(sql: str, params: Sequence[Any]) -> None:
        if echo and params:
            SQL.debug("%s  %s", sql, Params(params))
        else:
            SQL.debug("%s", sql)
        if trace is not None:
            trace(sql, params)

    return hook


class _Stdout(logging.Handler):
    """Writes to whatever sys.stdout is when the record comes (a doctest's, a
    redirected one), as print() would."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            sys.stdout.write(self.format(record) + "\n")
        except Exception:
            self.handleError(record)


def echo() -> None:
    """What ``echo=True`` sets up: ``sablecrest.sql`` at DEBUG, written to standard
    output, once however many databases echo."""
    if SQL.level == logging.NOTSET or SQL.level > DEBUG:
        SQL.setLevel(DEBUG)
    if not any(isinstance(h, _Stdout) for h in SQL.handlers):
        handler = _Stdout()
        handler.setFormatter(logging.Formatter("%(message)s"))
        SQL.addHandler(handler)


__all__ = ["LOG", "SQL", "POOL", "DEBUG", "INFO", "Params", "logged", "echo"]
