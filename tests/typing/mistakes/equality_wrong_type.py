"""`==` with a value of the wrong type is Python's own equality (a bool, as for any two
objects that do not compare), which `where` refuses."""

import sablecrest

from library import Book


def find(s: sablecrest.Session) -> None:
    s.select(Book).where(Book.title == 3).all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
