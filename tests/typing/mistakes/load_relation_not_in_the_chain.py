"""load() of a relation of a model neither the query nor a relation before it loads
(a ValueError when it runs)."""

import sablecrest

from library import Author, Book


def find(s: sablecrest.Session) -> None:
    s.select(Author).load(Book.tags).all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
