"""Two buyers, one item left: two threads (and two asyncio tasks) place an order for the
last item at the same moment, 20 times per engine and per way of doing it with the
ORM's own API: a locking read (`for_update`), a version column, and a conditional
UPDATE through `s.execute` whose row count says who got it. Exactly one wins every
time; the stock and the orders are checked over a second connection."""

import asyncio
import threading

import pytest

import sablecrest
from sablecrest import Field, Model, StaleDataError

from ormdb import ENGINES, URLS, close_pair, open_db, open_pair, wal, wipe

TRIALS = 20


class ScRaceItem(Model):
    __tablename__ = "sc_race_items"
    stock = Field(int, nullable=False)
    version = Field(int, version=True)


class ScRaceOrder(Model):
    __tablename__ = "sc_race_orders"
    item_id = Field(int, references=ScRaceItem, nullable=False)
    buyer = Field(int, nullable=False)


TAKE = "UPDATE sc_race_items SET stock = stock - :q WHERE id = :id AND stock >= :q"


def buy_locked(s, item_id, buyer, ready):
    ready()
    item = s.select(ScRaceItem).where(ScRaceItem.id == item_id).for_update().first()
    if item.stock < 1:
        return False
    item.stock -= 1
    s.add(ScRaceOrder(item_id=item_id, buyer=buyer))
    return True


def buy_versioned(s, item_id, buyer, ready):
    item = s.get(ScRaceItem, item_id)
    ready()  # both have read the last item before either writes
    if item.stock < 1:
        return False
    item.stock -= 1
    s.add(ScRaceOrder(item_id=item_id, buyer=buyer))
    return True


def buy_conditional(s, item_id, buyer, ready):
    ready()
    if s.execute(TAKE, {"id": item_id, "q": 1}).rowcount != 1:
        return False
    s.add(ScRaceOrder(item_id=item_id, buyer=buyer))
    return True


WAYS = {"for_update": buy_locked, "version": buy_versioned, "conditional": buy_conditional}


@pytest.fixture(params=ENGINES)
def shop(request, tmp_path):
    """The database (a WAL file on SQLite) with a second connection to check it."""
    db, other = open_pair(request.param, tmp_path)
    db.migrate(ScRaceItem, ScRaceOrder)
    yield db, other
    close_pair(db, other)


def held(other):
    """(stock, orders) of every item, as the database holds them."""
    with other.session() as s:
        rows = s.execute("SELECT i.id, i.stock, COUNT(o.id) FROM sc_race_items i LEFT JOIN sc_race_orders o "
                         "ON o.item_id = i.id GROUP BY i.id, i.stock ORDER BY i.id").rows
    return [(int(stock), int(orders)) for _, stock, orders in rows]


@pytest.mark.parametrize("way", sorted(WAYS))
def test_last_item_sold_once(shop, way):
    db, other = shop
    buy = WAYS[way]
    for _ in range(TRIALS):
        with db.session() as s:
            item = ScRaceItem(stock=1)
            s.add(item)
        barrier = threading.Barrier(2, timeout=10)
        outcome = {}

        def buyer(n):
            try:
                with db.session() as s:
                    outcome[n] = buy(s, item.id, n, barrier.wait)
            except StaleDataError:
                outcome[n] = False
            except BaseException as exc:  # anything else fails the test below
                outcome[n] = exc

        threads = [threading.Thread(target=buyer, args=(n,)) for n in (1, 2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert sorted(outcome.values(), key=repr) == [False, True], outcome
    assert held(other) == [(0, 1)] * TRIALS
    assert len(db._pool.idle) == db._pool.open  # every connection back in the pool


ASYNC_ENGINES = ["sqlite", "postgresql"]


@pytest.mark.parametrize("engine", ASYNC_ENGINES)
@pytest.mark.parametrize("way", sorted(WAYS))
def test_last_item_sold_once_async(engine, way, tmp_path):
    if engine == "sqlite":
        pytest.importorskip("aiosqlite")
        url = "sqlite:///%s" % (tmp_path / "race.db")
        other = sablecrest.connect(url, on_connect=wal)
    else:
        pytest.importorskip("asyncpg")
        other = open_db("postgresql")
        url = URLS["postgresql"]
    other.migrate(ScRaceItem, ScRaceOrder)

    async def main():
        db = await sablecrest.connect_async(url)
        try:
            for _ in range(TRIALS):
                async with db.session() as s:
                    item = ScRaceItem(stock=1)
                    s.add(item)
                arrived, both = [0], asyncio.Event()

                async def buyer(n):
                    async with db.session() as s:
                        async def ready():
                            arrived[0] += 1
                            if arrived[0] == 2:
                                both.set()
                            await asyncio.wait_for(both.wait(), 10)

                        try:
                            return await abuy(s, item.id, n, ready)
                        except StaleDataError:
                            return False

                async def abuy(s, item_id, n, ready):
                    # The sync steps, awaited: the same calls on an async session.
                    if way == "for_update":
                        await ready()
                        row = await s.select(ScRaceItem).where(ScRaceItem.id == item_id).for_update().first()
                    elif way == "version":
                        row = await s.get(ScRaceItem, item_id)
                        await ready()
                    else:
                        await ready()
                        if (await s.execute(TAKE, {"id": item_id, "q": 1})).rowcount != 1:
                            return False
                        s.add(ScRaceOrder(item_id=item_id, buyer=n))
                        return True
                    if row.stock < 1:
                        return False
                    row.stock -= 1
                    s.add(ScRaceOrder(item_id=item_id, buyer=n))
                    await s.flush()  # inside the block: a stale version is this buyer's loss
                    return True

                got = await asyncio.gather(buyer(1), buyer(2), return_exceptions=True)
                assert sorted(got, key=repr) == [False, True], got
        finally:
            await db.close()

    try:
        asyncio.run(main())
        assert held(other) == [(0, 1)] * TRIALS
    finally:
        if engine != "sqlite":
            wipe(other)
        other.close()
