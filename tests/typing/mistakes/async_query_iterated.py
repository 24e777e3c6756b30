"""An async query iterated like a sync one (a TypeError at run time)."""

import sablecrest

from library import Book


async def titles(s: sablecrest.AsyncSession) -> list[str]:
    return [b.title for b in s.select(Book)]  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues, reportUnknownMemberType, reportUnknownVariableType]
