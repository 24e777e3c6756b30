"""A join through a relation of a model the query does not have (a ValueError when it
runs): Tag.books starts from Tag, not from Book."""

import sablecrest

from library import Book, Tag


def find(s: sablecrest.Session) -> None:
    s.select(Book).join(Tag.books).all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
