"""The shop example (examples/shop.py), imported as a module and run on SQLite (a WAL file),
PostgreSQL and MariaDB, its async part on aiosqlite, asyncpg and asyncmy. What it wrote
is read over a second connection, through the driver alone: the stock, the orders, the
revenue and the prices as the database holds them. Two buyers (threads, and tasks)
order the last item at the same moment with each of the three ways, 20 times per
engine: one gets it every time."""

import asyncio
import datetime as dt
import importlib.util
import os
import pathlib
import sqlite3
import subprocess
import sys
from decimal import Decimal

import pytest

import sablecrest

from ormdb import ENGINES, URLS, Raw, open_db

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "shop.py"
_spec = importlib.util.spec_from_file_location("shop_example", EXAMPLE)
shop = importlib.util.module_from_spec(_spec)
sys.modules["shop_example"] = shop
_spec.loader.exec_module(shop)

TRIALS = 20
WAL = {"on_connect": lambda raw: raw.execute("PRAGMA journal_mode = WAL")}
ASYNC_DRIVERS = {"sqlite": "aiosqlite", "postgresql": "asyncpg", "mariadb": "asyncmy"}


def url_of(engine, tmp_path):
    return "sqlite:///%s" % (tmp_path / "shop.db") if engine == "sqlite" else URLS[engine]


@pytest.fixture(params=ENGINES)
def shop_db(request, tmp_path):
    """The shop's tables, seeded, on `engine`, with a raw second connection."""
    engine = request.param
    db = sablecrest.connect(url_of(engine, tmp_path), **WAL) if engine == "sqlite" else open_db(engine)
    shop.drop_tables(db)
    raw = Raw(engine, tmp_path / "shop.db")
    yield engine, db, raw
    raw.conn.close()
    shop.drop_tables(db)
    db.close()


def held(raw):
    """{sku: (stock, price, version)} as the database holds them."""
    return {sku: (stock, Decimal(str(price)).quantize(Decimal("0.01")), version) for sku, stock, price, version in
            raw.rows('SELECT "sku", "stock", "price", "version" FROM "shop_products"')}


def orders(raw):
    """(customer, status, total, items, their quantities * prices) of each order, by key."""
    return [(name, status, Decimal(str(total)), int(n), Decimal(str(lines))) for name, status, total, n, lines in raw.rows(
        'SELECT c."name", o."status", o."total", COUNT(i."id"), SUM(i."quantity" * i."unit_price") '
        'FROM "shop_orders" o JOIN "shop_customers" c ON c."id" = o."customer_id" '
        'JOIN "shop_order_items" i ON i."order_id" = o."id" GROUP BY o."id", c."name", o."status", o."total" '
        'ORDER BY o."id"')]


def typed(rows):
    return [tuple((type(v).__name__, v) for v in r) for r in rows]


def test_the_tour(shop_db):
    engine, db, raw = shop_db
    lines = []
    done = shop.run(db, lines.append)

    # The product page: a join through the tags, the count, the page with its tags.
    total, page = done["page"]
    assert (total, [(p.sku, [t.name for t in p.tags]) for p in page]) == (
        2, [("K-200", ["kitchen", "gift"]), ("K-100", ["kitchen", "steel"])])

    # Every order took its stock or none; the hose sold once per race; the version bumped
    # by each write of a row, the set-based ones included.
    assert held(raw) == {
        "K-100": (10, Decimal("27.39"), 3), "K-200": (3, Decimal("20.35"), 3), "K-300": (2, Decimal("53.90"), 3),
        "K-400": (37, Decimal("4.95"), 3), "G-100": (7, Decimal("12.00"), 2), "G-200": (16, Decimal("7.25"), 2),
        "G-300": (0, Decimal("29.99"), 7), "G-400": (0, Decimal("9.80"), 1)}
    got = orders(raw)
    assert got[:3] == [("Ann", "placed", Decimal("63.30"), 2, Decimal("63.30")),
                       ("Bob", "placed", Decimal("61.00"), 2, Decimal("61.00")),
                       ("Ann", "cancelled", Decimal("66.00"), 2, Decimal("66.00"))]
    name = dict(raw.rows('SELECT "id", "name" FROM "shop_customers"'))
    winners = [next(g for g in done["races"][way] if isinstance(g, shop.Order)) for way in shop.WAYS]
    assert got[3:] == [(name[o.customer_id], "placed", Decimal("29.99"), 1, Decimal("29.99")) for o in winners]
    assert [sorted(type(g).__name__ for g in done["races"][way]) for way in shop.WAYS] == [["Order", "OutOfStock"]] * 3
    assert str(done["refused"]) == "product 8: fewer than 1 left"

    # The report, against the same sums over the rows.
    assert typed(done["by_product"]) == typed([
        ("Hose", 3, Decimal("89.97")), ("Kettle", 2, Decimal("49.80")), ("Knife set", 1, Decimal("49.00"))])
    spent = raw.rows('SELECT c."name", COUNT(o."id"), SUM(o."total") FROM "shop_customers" c JOIN "shop_orders" o '
                     'ON o."customer_id" = c."id" WHERE o."status" <> ? GROUP BY c."id", c."name"', ("cancelled",))
    by_customer = done["by_customer"]
    assert sorted((n, c, s) for n, c, s, _ in by_customer) == sorted(
        (n, int(c), Decimal(str(s)).quantize(Decimal("0.01"))) for n, c, s in spent)
    assert [s for _, _, s, _ in by_customer] == sorted((s for _, _, s, _ in by_customer), reverse=True)
    assert {type(last) for *_, last in by_customer} == {dt.datetime}
    assert all(last.tzinfo == dt.timezone.utc for *_, last in by_customer)
    assert typed(done["by_status"]) == typed([(shop.OrderStatus.CANCELLED, 1, Decimal("66.00")),
                                              (shop.OrderStatus.PLACED, 5, Decimal("214.27"))])
    assert done["repriced"] == 4

    assert lines[0] == "product page, kitchen from 5 to 30: 2 found: Teapot 18.50 [kitchen, gift]; Kettle 24.90 " \
                       "[kitchen, steel]"
    assert lines[4] == "order by Cy refused, nothing written: product 8: fewer than 1 left"
    assert lines[5:8] == ["the last hose, two buyers at once (%s): 1 sold, 1 told it is gone" % w for w in shop.WAYS]
    assert lines[8] == "revenue per product (20 or more, cancelled orders left out): Hose 3 sold 89.97; " \
                       "Kettle 2 sold 49.80; Knife set 1 sold 49.00"
    assert lines[10] == "orders per status: cancelled 1 (66.00); placed 5 (214.27)"
    assert lines[11] == "prices of kitchen +10%: 4 products, the kettle 24.90 -> 27.39 (version 3)"


@pytest.mark.parametrize("way", shop.WAYS)
def test_a_refused_order_writes_nothing(shop_db, way):
    """The first line could be taken, the second cannot: neither is, and no order is written."""
    engine, db, raw = shop_db
    db.migrate(*shop.MODELS)
    shop.seed(db)
    p, c = shop.ids(db, shop.Product, shop.Product.sku), shop.ids(db, shop.Customer, shop.Customer.name)
    before = held(raw)
    with pytest.raises(shop.OutOfStock, match=r"^product %d: fewer than 2 left$" % p["G-300"]):
        shop.place_order(db, c["Ann"], [(p["K-100"], 5), (p["G-300"], 2)], way)
    assert held(raw) == before
    assert raw.rows('SELECT COUNT(*) FROM "shop_orders"') == [(0,)]


BAD_ORDERS = [
    ("way", dict(way="optimistic"), "way is one of conditional, for_update, version, got 'optimistic'"),
    ("quantity", dict(lines=[(1, 0)]), "a quantity is positive, got 0 for product 1"),
    ("no lines", dict(lines=[]), "an order has at least one line"),
]


@pytest.mark.parametrize("label, args, message", BAD_ORDERS, ids=[b[0] for b in BAD_ORDERS])
def test_bad_orders(label, args, message):
    db = sablecrest.connect("sqlite://")
    db.trace = lambda sql, params: pytest.fail("ran %s" % sql)
    with pytest.raises(ValueError, match="^%s$" % message.replace("(", r"\(").replace(")", r"\)")):
        shop.place_order(db, 1, **dict(dict(lines=[(1, 1)]), **args))
    db.close()


def raced(raw, sku):
    (stock, sold), = raw.rows('SELECT p."stock", COUNT(i."id") FROM "shop_products" p LEFT JOIN "shop_order_items" i '
                              'ON i."product_id" = p."id" WHERE p."sku" = ? GROUP BY p."id", p."stock"', (sku,))
    return int(stock), int(sold)


@pytest.mark.parametrize("way", shop.WAYS)
def test_the_last_item_sells_once(shop_db, way):
    engine, db, raw = shop_db
    db.migrate(*shop.MODELS)
    shop.seed(db)
    hose, c = shop.ids(db, shop.Product, shop.Product.sku)["G-300"], shop.ids(db, shop.Customer, shop.Customer.name)
    assert raced(raw, "G-300") == (1, 0)
    for trial in range(TRIALS):
        got = shop.race(db, [c["Bob"], c["Cy"]], hose, way)
        assert sorted(type(g).__name__ for g in got) == ["Order", "OutOfStock"], (trial, got)
        assert raced(raw, "G-300") == (0, trial + 1)
        with db.session() as s:
            s.select(shop.Product).where(shop.Product.id == hose).update(stock=1)
    assert db.pool.status().in_use == 0


@pytest.mark.parametrize("engine", ENGINES)
def test_the_async_part(engine, tmp_path):
    """The async tour, then the race of two tasks for the last item, 20 times each way."""
    pytest.importorskip(ASYNC_DRIVERS[engine])
    url = url_of(engine, tmp_path)
    sync = sablecrest.connect(url, **WAL) if engine == "sqlite" else open_db(engine)
    raw = Raw(engine, tmp_path / "shop.db")

    async def main():
        db = await sablecrest.connect_async(url)
        try:
            done = await shop.arun(db, lambda line: None)
            async with db.session() as s:
                hose, bob, cy = [(await s.select(m.id).where(f == v).first())[0] for m, f, v in (
                    (shop.Product, shop.Product.sku, "G-300"), (shop.Customer, shop.Customer.name, "Bob"),
                    (shop.Customer, shop.Customer.name, "Cy"))]
            assert (raced(raw, "G-300"), raced(raw, "G-200")) == ((0, 3), (17, 3))
            for way in shop.WAYS:
                for trial in range(TRIALS):
                    async with db.session() as s:
                        await s.select(shop.Product).where(shop.Product.id == hose).update(stock=1)
                    got = await shop.arace(db, [bob, cy], hose, way)
                    assert sorted(type(g).__name__ for g in got) == ["Order", "OutOfStock"], (way, trial, got)
            return done
        finally:
            await db.close()

    try:
        done = asyncio.run(main())
        total, page = done["page"]
        assert (total, [(p.sku, [t.name for t in p.tags]) for p in page]) == (4, [
            ("G-200", ["garden", "gift"]), ("G-400", ["garden", "steel"]), ("G-100", ["garden", "steel"]),
            ("G-300", ["garden"])])
        assert raced(raw, "G-300") == (0, 3 + 3 * TRIALS)
        assert [o[1:] for o in orders(raw)[:1]] == [("placed", Decimal("7.25"), 1, Decimal("7.25"))]
    finally:
        raw.conn.close()
        shop.drop_tables(sync)
        sync.close()


def test_main_in_memory(capsys):
    """`python examples/shop.py --async`: SQLite in memory, sync then async."""
    pytest.importorskip("aiosqlite")
    assert shop.main(["--async"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "sablecrest %s on SQLite %s" % (sablecrest.__version__, sqlite3.sqlite_version)
    assert len(out) == 17 and out[-3:] == [
        "async order #%d (%s) 7.25; the last hose, two tasks in turn (one connection): 1 sold, 1 told it is gone"
        % (n, way)
        for n, way in ((1, "conditional"), (3, "for_update"), (5, "version"))]


@pytest.mark.parametrize("engine", ENGINES)
def test_the_script(engine, tmp_path):
    """The file run as a script, with --dsn: exit 0, a line per step."""
    db = sablecrest.connect(url_of(engine, tmp_path)) if engine == "sqlite" else open_db(engine)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    try:
        proc = subprocess.run([sys.executable, str(EXAMPLE), "--dsn", url_of(engine, tmp_path)], capture_output=True,
                              text=True, env=env, timeout=300)
        assert (proc.returncode, proc.stderr) == (0, "")
        assert len(proc.stdout.splitlines()) == 13
        with db.session() as s:  # the tables it leaves to look at
            assert s.select(shop.Order).count() == 6
    finally:
        shop.drop_tables(db)
        db.close()
