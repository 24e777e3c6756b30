"""like() on an int column (PostgreSQL has no LIKE for integers)."""

from sablecrest import Condition

from library import Book

some: Condition[Book] = Book.id.like("1%")  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownVariableType, reportUnknownMemberType]
