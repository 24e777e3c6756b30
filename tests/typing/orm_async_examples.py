"""The async session as user code sees it: the same types as the sync one, awaited
(checked by mypy --strict and basedpyright strict, and run on aiosqlite)."""

from __future__ import annotations

import asyncio
from decimal import Decimal
from typing import Dict, List, Optional

from typing_extensions import assert_type

import sablecrest
from sablecrest import Field, Model


class Shop(Model):
    __tablename__ = "shops"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)


class Item(Model):
    __tablename__ = "items"
    id = Field(int, primary_key=True)
    shop_id = Field(int, references=Shop, nullable=False)
    price = Field(Decimal)


async def main() -> None:
    db = await sablecrest.connect_async("sqlite://")
    assert_type(db, sablecrest.AsyncDatabase)
    async with db.session() as s:
        assert_type(s, sablecrest.AsyncSession)
        await s.execute("CREATE TABLE shops (id INTEGER PRIMARY KEY, name TEXT NOT NULL)")
        await s.execute("CREATE TABLE items (id INTEGER PRIMARY KEY, shop_id INTEGER NOT NULL"
                        " REFERENCES shops (id), price NUMERIC)")
        corner = Shop(name="Corner")
        s.add(corner)
        s.add_all([Item(shop_id=corner, price=Decimal("2.50")), Item(shop_id=corner)])
        await s.flush()
        q = s.select(Item).where(Item.price > 1).order_by(Item.id)
        assert_type(q, sablecrest.AsyncQuery[Item])
        items = await q.all()
        assert_type(items, List[Item])
        assert [i.price for i in items] == [Decimal("2.50")]
        first = await s.select(Item).where(Item.price == None).first()  # noqa: E711
        assert_type(first, Optional[Item])
        assert first is not None and first.price is None
        n = await s.select(Item).count()
        assert_type(n, int)
        assert n == 2
        got = await s.get(Shop, corner.id)
        assert_type(got, Optional[Shop])
        assert got is corner
        shops = await s.load_related(items, Item.shop_id)
        assert_type(shops, Dict[int, Shop])
        assert shops == {corner.id: corner}
        await s.commit()
    await db.close()


if __name__ == "__main__":
    asyncio.run(main())
