"""Ordering by a column name in a str."""

import sablecrest

from library import Book


def find(s: sablecrest.Session) -> None:
    s.select(Book).order_by("title").all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
