"""An async query's scalar() used without await."""

from decimal import Decimal
from typing import Optional

import sablecrest
from sablecrest import func

from library import Book


async def top(s: sablecrest.AsyncSession) -> Optional[Decimal]:
    return s.select(func.max(Book.price)).scalar()  # type: ignore[return-value]  # pyright: ignore[reportReturnType]
