"""load_related(books, Book.author_id) gives Authors, which have no title."""

import sablecrest

from library import Book


def titles(s: sablecrest.Session, books: list[Book]) -> list[str]:
    related = s.load_related(books, Book.author_id)
    return [related[b.author_id].title for b in books]  # type: ignore[attr-defined]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownMemberType]
