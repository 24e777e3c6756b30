"""in_() a query of two columns (a TypeError at run time: it selects one)."""

import sablecrest

from library import Author, Book


def find(s: sablecrest.Session) -> None:
    s.select(Book).where(Book.author_id.in_(s.select(Author.id, Author.name))).all()  # type: ignore[arg-type]  # pyright: ignore[reportCallIssue, reportArgumentType, reportUnknownArgumentType]
