"""scalar() of a query of objects (a TypeError at run time: it reads a query of
columns)."""

import sablecrest

from library import Book


def first_book(s: sablecrest.Session) -> None:
    s.select(Book).scalar()  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownMemberType]
