"""A str assigned to a float field (a TypeError at run time)."""

from library import Book


def rate(book: Book) -> None:
    book.rating = "high"  # type: ignore[assignment]  # pyright: ignore[reportAttributeAccessIssue]
