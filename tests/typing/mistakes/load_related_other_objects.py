"""load_related() with objects of another model than the field's."""

import sablecrest

from library import Author, Book


def authors_of(s: sablecrest.Session, authors: list[Author]) -> None:
    s.load_related(authors, Book.author_id)  # type: ignore[misc]  # pyright: ignore[reportArgumentType]
