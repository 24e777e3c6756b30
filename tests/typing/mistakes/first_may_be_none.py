"""first() of a query that may match no row."""

import sablecrest

from library import Book


def title_of_first(s: sablecrest.Session) -> str:
    return s.select(Book).first().title  # type: ignore[union-attr]  # pyright: ignore[reportOptionalMemberAccess]
