"""like() on an expression of ints."""

from sablecrest import func

from library import Book

some = func.count(Book.id).like("1%")  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownVariableType, reportUnknownMemberType]
