"""func.sum() of a str column (a TypeError when the expression is built)."""

from sablecrest import func

from library import Book

total = func.sum(Book.title)  # type: ignore[arg-type]  # pyright: ignore[reportCallIssue, reportArgumentType, reportUnknownVariableType]
