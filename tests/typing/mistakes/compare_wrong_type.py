"""A Decimal field compared with a str (a TypeError when the query is built)."""

from sablecrest import Condition

from library import Book

cheap: Condition[Book] = Book.price > "abc"  # type: ignore[operator]  # pyright: ignore[reportOperatorIssue, reportUnknownVariableType]
