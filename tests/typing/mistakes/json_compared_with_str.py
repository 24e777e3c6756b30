"""A JSON field compared with a str: to a checker Python's own equality, a bool, which
where() refuses (a TypeError at run time)."""

import sablecrest

from library import Event


def find(s: sablecrest.Session) -> None:
    s.select(Event).where(Event.data == "{}").all()  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
