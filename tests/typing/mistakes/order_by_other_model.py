"""Ordering a query of Book by a field of Author."""

import sablecrest

from library import Author, Book


def find(s: sablecrest.Session) -> None:
    s.select(Book).order_by(Author.name).all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
