"""in_() with values of the wrong type."""

from sablecrest import Condition

from library import Book

some: Condition[Book] = Book.price.in_(["a"])  # type: ignore[list-item]  # pyright: ignore[reportCallIssue, reportArgumentType, reportUnknownVariableType]
