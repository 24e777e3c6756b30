"""An int column divided by another (refused: SQLite and PostgreSQL drop the fraction,
MariaDB keeps it)."""

from library import Book

ratio = Book.likes / Book.stars  # type: ignore[operator]  # pyright: ignore[reportOperatorIssue, reportUnknownVariableType]
