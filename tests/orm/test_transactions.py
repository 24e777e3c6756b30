"""Transactions on every engine, with what the database holds read over a second
connection: statements of the user's own (a flush first, typed results, row counts),
locking reads, savepoints (the objects rolled back with them, nesting, a failed flush
inside one), isolation levels, and version columns in single and batched writes."""

import datetime as dt
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Field, Model, StaleDataError

from ormdb import ENGINES, close_pair, open_db, open_pair, wal, wipe


class ScTxItem(Model):
    __tablename__ = "sc_tx_items"
    name = Field(str, nullable=False)
    price = Field(Decimal, db_type="DECIMAL(10,2)")
    at = Field(dt.datetime)
    stock = Field(int, nullable=False, default=0)
    version = Field(int, version=True)


class ScTxNote(Model):
    __tablename__ = "sc_tx_notes"
    item_id = Field(int, references=ScTxItem)
    text = Field(str)


@pytest.fixture(params=ENGINES)
def pair(request, tmp_path):
    db, other = open_pair(request.param, tmp_path)
    db.migrate(ScTxItem, ScTxNote)
    yield db, other
    close_pair(db, other)


def held(other, sql="SELECT id, name, stock, version FROM sc_tx_items ORDER BY id"):
    with other.session() as s:
        return [tuple(r) for r in s.execute(sql).rows]


def traced(db):
    seen = []
    db.trace = lambda sql, params: seen.append(sql)
    return seen


def test_execute(pair):
    db, other = pair
    at = dt.datetime(2024, 2, 29, 23, 59, 58, 123456)
    with db.session() as s:
        s.add_all([ScTxItem(name="a'%:x", price=Decimal("1.25"), at=at, stock=3), ScTxItem(name="b", stock=0)])
        # The pending objects are flushed first; the values are converted as fields are.
        result = s.execute("SELECT name, price, at FROM sc_tx_items WHERE at = :at AND price >= :p AND name LIKE "
                           "'a''%' AND name <> ':x'", {"at": at, "p": Decimal("1.25")})
        assert result.rowcount == 1 and len(result.rows) == 1
        assert result.scalars() == ["a'%:x"]
        assert s.execute("SELECT MAX(at) FROM sc_tx_items").scalars(dt.datetime) == [at]
        assert s.execute("SELECT SUM(price) FROM sc_tx_items").scalar(Decimal) == Decimal("1.25")
        assert s.execute("SELECT SUM(stock) FROM sc_tx_items").scalar(int) == 3
        assert s.execute("SELECT COUNT(*) FROM sc_tx_items WHERE name = :n", {"n": "zz"}).one() == (0,)
        taken = s.execute("UPDATE sc_tx_items SET stock = stock - :q WHERE stock >= :q", {"q": 1})
        assert (taken.rowcount, taken.rows) == (1, [])
        assert s.execute(s.select(ScTxItem).where(ScTxItem.stock == 2)) == s.select(ScTxItem).where(
            ScTxItem.name == "a'%:x").all()
        with pytest.raises(TypeError, match=r"^scalars\(int\): the statement returned str 'b', which is not an int$"):
            s.execute("SELECT name FROM sc_tx_items WHERE name = 'b'").scalars(int)
    assert held(other) == [(1, "a'%:x", 2, 1), (2, "b", 0, 1)]


def test_for_update(pair):
    db, other = pair
    with db.session() as s:
        s.add(ScTxItem(name="a", stock=5))
    with db.session() as s:
        item = s.get(ScTxItem, 1)
        with other.session() as o:
            o.execute("UPDATE sc_tx_items SET stock = 1 WHERE id = 1")
        assert s.select(ScTxItem).where(ScTxItem.id == 1).first().stock == 5  # a plain read keeps the object
        seen = traced(db)
        locked = s.select(ScTxItem).where(ScTxItem.id == 1).for_update().first()
        assert locked is item and (item.stock, sablecrest.changes(item)) == (1, {})  # a locking read refreshes it
        if db.dialect.engine.locks_rows:
            assert seen[-1].endswith(" FOR UPDATE")
            # Another locking read of the row fails at once with nowait; skip_locked leaves it out.
            with pytest.raises(Exception) as err:
                with other.session() as o:
                    o.select(ScTxItem).where(ScTxItem.id == 1).for_update(nowait=True).all()
            assert not isinstance(err.value, (ValueError, TypeError)), err.value
            if db.dialect.lock_options[1]:
                with other.session() as o:
                    assert o.select(ScTxItem).for_update(skip_locked=True).all() == []
        else:
            assert "FOR UPDATE" not in seen[-1] and db.dialect.engine.lazy_begin
        item.stock -= 1
    db.trace = None
    assert held(other) == [(1, "a", 0, 2)]


def test_savepoints(pair):
    db, other = pair
    with db.session() as s:
        keep = ScTxItem(name="keep", stock=1)
        s.add(keep)
        s.flush()
        keep.stock = 2  # flushed when the savepoint begins: part of the outer transaction
        with pytest.raises(KeyError):
            with s.savepoint():
                keep.stock = 3
                ghost = ScTxItem(name="ghost")
                s.add(ghost)
                s.flush()
                note = ScTxNote(item_id=ghost, text="on ghost")
                s.add(note)
                s.delete(keep)
                raise KeyError("x")
        # The savepoint's writes and changes are gone from the objects; what came
        # before it stays.
        assert (sablecrest.state(ghost), ghost.id, note.item_id) == ("transient", None, ghost)
        assert sablecrest.state(note) == "transient"
        assert (sablecrest.state(keep), keep.version) == ("detached", 2)  # its row is back at the savepoint
        keep = s.get(ScTxItem, keep.id)
        assert (keep.stock, keep.version) == (2, 2)
        with s.savepoint():  # nesting: the inner one fails, the outer one goes on
            keep.stock = 4
            with pytest.raises(ZeroDivisionError):
                with s.savepoint():
                    s.add(ScTxItem(name="inner"))
                    1 / 0
            s.add(ScTxItem(name="outer"))
        # A flush that fails inside a savepoint rolls back to it, not the transaction.
        with pytest.raises(Exception) as err:
            with s.savepoint():
                s.add(ScTxItem(id=keep.id, name="duplicate key"))
                s.flush()
        assert not isinstance(err.value, (ValueError, TypeError)), err.value
        s.add(ScTxItem(name="after"))
    assert [r[1:] for r in held(other)] == [("keep", 4, 3), ("outer", 0, 1), ("after", 0, 1)]
    assert held(other, "SELECT COUNT(*) FROM sc_tx_notes") == [(0,)]


def test_isolation(pair):
    db, other = pair
    engine = db.dialect.engine
    for level in ("serializable", "repeatable read", "read committed"):
        if level not in engine.isolation_levels:
            with pytest.raises(ValueError, match="has no isolation level %r" % level):
                db.session(isolation=level)
            continue
        with db.session(isolation=level) as s:
            s.add(ScTxItem(name=level))
            s.flush()
            if engine.name == "postgresql":  # the level is the transaction's own
                assert s.execute("SHOW transaction_isolation").scalar() == level
        with db.session() as s:  # the next session is back at the default
            if engine.name == "postgresql":
                assert s.execute("SELECT current_setting('transaction_isolation')").scalar() == "read committed"
    # Serializable as PostgreSQL means it: two transactions that each read what the other
    # writes cannot both commit. (MariaDB makes its reads locking ones instead.)
    if engine.name == "postgresql":
        a, b = db.session(isolation="serializable"), other.session(isolation="serializable")
        try:
            assert a.select(ScTxItem).where(ScTxItem.stock == 0).count() == b.select(ScTxItem).count()
            a.add(ScTxItem(name="from a"))
            b.add(ScTxItem(name="from b"))
            a.commit()
            with pytest.raises(Exception) as err:
                b.commit()
            assert not isinstance(err.value, (ValueError, TypeError)), err.value
        finally:
            a.close()
            b.close()


def test_versions(pair):
    db, other = pair
    with db.session() as s:
        items = [ScTxItem(name="i%d" % i, stock=i) for i in range(6)]
        s.add_all(items)
        s.add(ScTxItem(name="given", version=7))
    assert [r[3] for r in held(other)] == [1] * 6 + [7]
    # A batch of updates: every row checked and bumped (executemany, CASE batches, or
    # one statement per batch where executemany cannot count).
    with db.session() as s:
        items = s.select(ScTxItem).order_by(ScTxItem.id).all()
        for it in items[:6]:
            it.stock += 10
    assert [(r[2], r[3]) for r in held(other)][:6] == [(i + 10, 2) for i in range(6)]
    # One row of the batch changed meanwhile: the flush fails naming that object, and the
    # objects get their versions back with the rollback.
    with pytest.raises(StaleDataError, match=r"^ScTxItem with id 4 was changed or deleted since it was loaded: its "
                                             r"row no longer has version 2 \(UPDATE of .* matched 5 of 6 rows\)$"):
        with db.session() as s:
            items = s.select(ScTxItem).order_by(ScTxItem.id).all()[:6]
            with other.session() as o:
                o.execute("UPDATE sc_tx_items SET version = version + 5 WHERE id = :id", {"id": 4})
            for it in items:
                it.stock = 0
    assert [it.version for it in items] == [2, 2, 2, 2, 2, 2]
    assert [(r[2], r[3]) for r in held(other)][:6] == [(10, 2), (11, 2), (12, 2), (13, 7), (14, 2), (15, 2)]
    # A detached object carries the version it was based on into the next session.
    items[0].stock = 99
    with db.session() as s:
        s.add(items[0])
    assert items[0].version == 3 and held(other)[0] == (1, "i0", 99, 3)
    # A row another writer took to the very version a batch writes cannot be named where
    # the transaction reads what others committed (MariaDB's snapshot still shows it).
    batch = r"^UPDATE of .* matched 1 of 2 rows: rows of these ScTxItem objects were changed or deleted since they " \
            r"were loaded \(id 5, 6\)$"
    named = r"^ScTxItem with id 6 was changed or deleted since it was loaded: its row no longer has version 2 "
    with pytest.raises(StaleDataError, match=named if db.dialect.engine.name == "mariadb" else batch):
        with db.session() as s:
            pair_ = [s.get(ScTxItem, 5), s.get(ScTxItem, 6)]
            with other.session() as o:
                o.execute("UPDATE sc_tx_items SET version = 3 WHERE id = 6")
            for it in pair_:
                it.stock = 1
    # Deletes: checked too; a stale one names its object.
    with pytest.raises(StaleDataError, match=r"^ScTxItem with id 4 was changed or deleted since it was loaded: its "
                                             r"row no longer has version 7 \(DELETE of .* matched 1 of 2 rows\)$"):
        with db.session() as s:
            doomed = [s.get(ScTxItem, key) for key in (3, 4)]
            with other.session() as o:
                o.execute("UPDATE sc_tx_items SET version = version + 1 WHERE id = :id", {"id": 4})
            for it in doomed:
                s.delete(it)
    with db.session() as s:
        for key in (2, 3):
            s.delete(s.get(ScTxItem, key))
    assert [r[0] for r in held(other)] == [1, 4, 5, 6, 7]


@pytest.mark.parametrize("engine", ["sqlite", "postgresql"])
def test_async_savepoints_and_statements(engine, tmp_path):
    """The same steps on aiosqlite and asyncpg: execute, a locking read, a savepoint
    rolled back with its objects, an isolation level."""
    import asyncio

    from ormdb import URLS

    if engine == "sqlite":
        pytest.importorskip("aiosqlite")
        url = "sqlite:///%s" % (tmp_path / "atx.db")
        other = sablecrest.connect(url, on_connect=wal)
    else:
        pytest.importorskip("asyncpg")
        other, url = open_db("postgresql"), URLS["postgresql"]
    other.migrate(ScTxItem, ScTxNote)

    async def main():
        db = await sablecrest.connect_async(url)
        try:
            async with db.session(isolation="serializable") as s:
                s.add(ScTxItem(name="a", stock=2, price=Decimal("2.50")))
                assert (await s.execute("SELECT SUM(price) FROM sc_tx_items")).scalar(Decimal) == Decimal("2.50")
                item = await s.select(ScTxItem).for_update().first()
                with pytest.raises(TypeError, match="an async session's savepoint is used with `async with"):
                    with s.savepoint():
                        pass
                with pytest.raises(KeyError):
                    async with s.savepoint():
                        item.stock = 0
                        s.add(ScTxItem(name="ghost"))
                        await s.flush()
                        raise KeyError("x")
                assert sablecrest.state(item) == "detached"
                item = await s.get(ScTxItem, item.id)
                async with s.savepoint():
                    item.stock = 1
                taken = await s.execute("UPDATE sc_tx_items SET stock = stock - :q WHERE stock >= :q", {"q": 1})
                assert taken.rowcount == 1
            async with db.session() as s:
                b, c = ScTxItem(name="b"), ScTxItem(name="c")
                s.add_all([b, c])
            c_id = c.id  # the sequence moved on past the rolled-back insert on PostgreSQL, not on SQLite
            # A batch of versioned updates with one stale row: asyncpg's executemany
            # counts nothing, so the batch goes as one statement whose count is exact.
            with pytest.raises(StaleDataError, match=r"^ScTxItem with id %d was changed or deleted since it was "
                                                     r"loaded: its row no longer has version 1 \(UPDATE of .* "
                                                     r"matched 1 of 2 rows\)$" % c_id):
                async with db.session() as s:
                    pair_ = await s.select(ScTxItem).where(ScTxItem.name.in_(["b", "c"])).order_by(ScTxItem.id).all()
                    with other.session() as o:
                        o.execute("UPDATE sc_tx_items SET version = 5 WHERE name = 'c'")
                    for it in pair_:
                        it.stock = 9
            async with db.session() as s:  # and a batch that is not stale goes through
                for it in await s.select(ScTxItem).where(ScTxItem.name.in_(["b", "c"])).all():
                    it.stock = 8
        finally:
            await db.close()

    try:
        asyncio.run(main())
        assert [r[1:] for r in held(other)] == [("a", 0, 2), ("b", 8, 2), ("c", 8, 6)]
    finally:
        if engine != "sqlite":
            wipe(other)
        other.close()
