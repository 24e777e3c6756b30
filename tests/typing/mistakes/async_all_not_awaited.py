"""An async query's all() used without await."""

import sablecrest

from library import Book


async def titles(s: sablecrest.AsyncSession) -> list[str]:
    return [b.title for b in s.select(Book).all()]  # type: ignore[attr-defined]  # pyright: ignore[reportGeneralTypeIssues, reportUnknownMemberType, reportUnknownVariableType]
