"""A select of Book's columns with a condition on Author, which it does not join."""

import sablecrest

from library import Author, Book


def find(s: sablecrest.Session) -> None:
    s.select(Book.title).where(Author.name == "Ann").all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
