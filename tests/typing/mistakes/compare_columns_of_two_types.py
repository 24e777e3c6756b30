"""A str column compared with an int column."""

from sablecrest import Condition

from library import Book

odd: Condition[Book] = Book.title < Book.id  # type: ignore[operator]  # pyright: ignore[reportOperatorIssue, reportUnknownVariableType]
