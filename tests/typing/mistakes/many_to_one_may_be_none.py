"""A many-to-one relation read as if it always had its object (None where the row has
none)."""

from library import Book


def author_name(book: Book) -> str:
    return book.author.name  # type: ignore[union-attr]  # pyright: ignore[reportOptionalMemberAccess]
