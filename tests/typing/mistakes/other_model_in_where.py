"""A condition on another model's field in a query of Book (a ValueError when it runs)."""

import sablecrest

from library import Author, Book


def find(s: sablecrest.Session) -> None:
    s.select(Book).where(Author.name == "Ann").all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
