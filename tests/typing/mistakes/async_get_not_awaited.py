"""An async session's get() used without await."""

import sablecrest

from library import Author


async def name_of(s: sablecrest.AsyncSession, key: int) -> None:
    found = s.get(Author, key)
    print(found.name)  # type: ignore[attr-defined]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownMemberType, reportUnknownArgumentType]
