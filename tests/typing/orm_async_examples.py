"""The async session as user code sees it: the same types as the sync one, awaited
(checked by mypy --strict and basedpyright strict, and run on aiosqlite)."""

from __future__ import annotations

import asyncio
import tempfile
from decimal import Decimal
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from typing_extensions import assert_type

import sablecrest
from sablecrest import Field, Model, Relation, func, relation
from sablecrest.revisions import Revision


class Shop(Model):
    __tablename__ = "shops"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    items: Relation[Item] = relation("Item.shop_id")


class Item(Model):
    __tablename__ = "items"
    id = Field(int, primary_key=True)
    shop_id = Field(int, references=Shop, nullable=False)
    price = Field(Decimal)
    shop = relation(shop_id)


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
        # The queries across tables, relations and results of the sync session, awaited.
        loaded = await s.load(items, Item.shop, Shop.items)
        assert_type(loaded, List[Item])
        assert_type(loaded[0].shop, Optional[Shop])
        assert loaded[0].shop is corner and [i.id for i in corner.items] == [i.id for i in await s.select(Item).all()]
        totals = s.select(Shop.name, func.count(Item.id), func.sum(Item.price)).join(Shop.items).group_by(Shop.id,
                                                                                                       Shop.name)
        assert_type(totals, sablecrest.AsyncQuery[Tuple[str, int, Optional[Decimal]], Union[Shop, Item]])
        rows = await totals.all()
        assert_type(rows, List[Tuple[str, int, Optional[Decimal]]])
        assert rows == [("Corner", 2, Decimal("2.50"))]
        top = await s.select(func.max(Item.price)).scalar()
        assert_type(top, Optional[Decimal])
        assert top == Decimal("2.50")
        shops_with_items = await s.select(Shop).load(Shop.items).where(Shop.name == "Corner").first()
        assert_type(shops_with_items, Optional[Shop])
        changed = await s.select(Item).where(Item.price == None).update(price=Decimal("1"))  # noqa: E711
        assert_type(changed, int)
        gone = await s.select(Item).where(Item.price > 2).delete()
        assert (changed, gone) == (1, 1)
        result = await s.execute("SELECT price FROM items")
        assert_type(result, sablecrest.Result)
        assert_type(result.rows, List[Sequence[Any]])
        assert result.scalars(Decimal) == [Decimal("1")]
        prices = await s.execute(s.select(Item.price))
        assert_type(prices, List[Tuple[Optional[Decimal]]])
    await db.close()


async def revisions(directory: str) -> Optional[str]:
    """The revisions API of an async database: the sync one's, awaited."""
    with tempfile.TemporaryDirectory() as tmp:
        db = await sablecrest.connect_async("sqlite:///%s/app.db" % tmp)
        made = await db.revision(directory, Shop, Item, message="shops and items", rev_id="0001")
        applied = await db.upgrade(directory)
        assert_type(applied, List[Revision])
        assert [r.id for r in applied] == [made.id] and await db.check(Shop, Item) == []
        current = await db.current()
        assert_type(current, Optional[str])
        undone = await db.downgrade(directory, "base")
        assert [r.id for r in undone] == ["0001"]
        await db.close()
        return current


if __name__ == "__main__":
    asyncio.run(main())
    with tempfile.TemporaryDirectory() as where:
        assert asyncio.run(revisions(where + "/migrations")) == "0001"
