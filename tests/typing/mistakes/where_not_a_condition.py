"""A field where a condition belongs (`where(Book.signed)` for `Book.signed == True`)."""

import sablecrest

from library import Book


def find(s: sablecrest.Session) -> None:
    s.select(Book).where(Book.signed).all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
