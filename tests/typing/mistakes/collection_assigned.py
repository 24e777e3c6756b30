"""A one-to-many relation assigned (an AttributeError at run time: set each book's
author_id instead)."""

from library import Author, Book


def adopt(ann: Author, books: list[Book]) -> None:
    ann.books = books  # type: ignore[misc, assignment]  # pyright: ignore[reportAttributeAccessIssue]
