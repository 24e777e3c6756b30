"""Arithmetic on a str column (a TypeError when the expression is built)."""

from library import Book

longer = Book.title + 1  # type: ignore[operator]  # pyright: ignore[reportOperatorIssue, reportUnknownVariableType]
