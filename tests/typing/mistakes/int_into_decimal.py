"""An int assigned to a Decimal field: the run time takes it, but the object would then hold
an int until it is read again, where the field reads as Decimal; write Decimal(5)."""

from library import Book


def reprice(book: Book) -> None:
    book.price = 5  # type: ignore[assignment]  # pyright: ignore[reportAttributeAccessIssue]
