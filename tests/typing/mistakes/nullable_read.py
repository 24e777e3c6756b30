"""A nullable field reads as `str | None`: calling a str method on it unchecked."""

from library import Author


def shout(ann: Author) -> str:
    return ann.email.upper()  # type: ignore[union-attr]  # pyright: ignore[reportOptionalMemberAccess]
