"""get() finds no row for a key that has none: its result may be None."""

import sablecrest

from library import Author


def name_of(s: sablecrest.Session, key: int) -> str:
    return s.get(Author, key).name  # type: ignore[union-attr]  # pyright: ignore[reportOptionalMemberAccess]
