"""A column select's rows taken as another type than the column's."""

import sablecrest

from library import Book


def titles(s: sablecrest.Session) -> list[tuple[str]]:
    return s.select(Book.likes).all()  # type: ignore[return-value]  # pyright: ignore[reportReturnType]
