"""Result.scalars() of a type it does not read (a TypeError at run time)."""

import sablecrest

from library import Mood


def moods(s: sablecrest.Session) -> None:
    s.execute("SELECT mood FROM events").scalars(Mood)  # type: ignore[type-var]  # pyright: ignore[reportArgumentType]
