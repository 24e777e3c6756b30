"""Async sessions on aiosqlite, asyncpg and asyncmy (against the real PostgreSQL and
MariaDB servers): the ORM flow, cancellation in the middle of a flush, a bounded pool
under 50 concurrent sessions, and a connection lost in the middle of a session. What the
database holds is read over a second, sync connection."""

import asyncio
import datetime as dt
import re
import sqlite3
import threading
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Field, Model, StaleDataError

from ormdb import SKIP_SERVERS, URLS

PG_URL = URLS["postgresql"]
MY_URL = URLS["mariadb"]


class AioAuthor(Model):
    __tablename__ = "sc_aio_authors"
    name = Field(str, nullable=False)
    order = Field(int, default=0)  # a reserved word


class AioPost(Model):
    __tablename__ = "sc_aio_posts"
    author_id = Field(int, references=AioAuthor)
    title = Field(str, nullable=False)
    likes = Field(int)
    score = Field(float)
    flag = Field(bool)
    data = Field(bytes)
    price = Field(Decimal)
    at = Field(dt.datetime)
    day = Field(dt.date)


MODELS = (AioAuthor, AioPost)
DROP = ["DROP TABLE IF EXISTS sc_aio_posts", "DROP TABLE IF EXISTS sc_aio_authors"]


class Other:
    """A second, sync, autocommitting connection to the database under test."""

    def __init__(self, engine, tmp_path, drop=True):
        self.engine = engine
        if engine == "sqlite":
            pytest.importorskip("aiosqlite")
            self.path = tmp_path / "aio.db"
            self.url = "sqlite:///%s" % self.path
            self.raw = sqlite3.connect(str(self.path), isolation_level=None)
            self.raw.execute("PRAGMA journal_mode = WAL")  # readers and a writer side by side
        elif engine == "postgresql":
            psycopg = pytest.importorskip("psycopg")
            pytest.importorskip("asyncpg")
            self.url = PG_URL
            self.raw = self._connect(lambda: psycopg.connect(PG_URL, autocommit=True))
        else:
            pymysql = pytest.importorskip("pymysql")
            pytest.importorskip("asyncmy")
            self.url = MY_URL
            url = sablecrest.engines.parse_url(MY_URL)
            self.raw = self._connect(lambda: pymysql.connect(host=url.host, port=url.port, user=url.user,
                                                             password=url.password, database=url.database,
                                                             autocommit=True))
        self.q = sablecrest.engines.ENGINES[engine].quote
        for sql in DROP if drop else ():
            self.execute(sql)

    def _connect(self, connect):
        try:
            return connect()
        except Exception as exc:  # the server is not running
            message = "%s is not reachable at %s: %s (bash scripts/databases.sh start)" % (self.engine, self.url, exc)
            if SKIP_SERVERS:
                pytest.skip(message)
            pytest.fail(message, pytrace=False)

    def execute(self, sql):
        if self.engine == "mariadb":
            with self.raw.cursor() as cur:
                cur.execute(sql)
                return [tuple(r) for r in cur.fetchall()]
        cur = self.raw.execute(sql)
        return [tuple(r) for r in cur.fetchall()] if cur.description else []

    def rows(self, sql):
        return self.execute(sql)

    def close(self):
        for sql in DROP:
            self.execute(sql)
        self.raw.close()


@pytest.fixture(params=["sqlite", "postgresql", "mariadb"])
def other(request, tmp_path):
    o = Other(request.param, tmp_path)
    yield o
    o.close()


def run(coro):
    return asyncio.run(coro)


async def open_db(other, **kw):
    db = await sablecrest.connect_async(other.url, **kw)
    await db.migrate(*MODELS)
    return db


POSTS = [  # title, likes, score, flag, data, price, at, day
    ("plain", 3, 1.5, True, b"\x00\xff'\\", Decimal("12.50"), dt.datetime(2024, 5, 6, 7, 8, 9, 123456), dt.date(2024, 2, 29)),
    ("50% o'clock; DROP TABLE sc_aio_posts; --", None, None, None, None, None, None, None),
    ("zero", 0, -0.25, False, b"", Decimal("-0.001"), dt.datetime(1999, 12, 31), dt.date(1, 1, 1)),
]
COLUMNS = ["title", "likes", "score", "flag", "data", "price", "at", "day"]

CONDITIONS = [  # (condition, titles in id order)
    (lambda: AioPost.likes == 3, ["plain"]),
    (lambda: AioPost.likes != 3, ["zero"]),
    (lambda: AioPost.likes == None, [POSTS[1][0]]),  # noqa: E711
    (lambda: AioPost.likes.is_not(None) & (AioPost.score < 0), ["zero"]),
    (lambda: (AioPost.flag == True) | (AioPost.price <= Decimal("-0.001")), ["plain", "zero"]),  # noqa: E712
    (lambda: AioPost.flag == False, ["zero"]),  # noqa: E712
    (lambda: AioPost.likes.in_([0, 3, 99]), ["plain", "zero"]),
    (lambda: AioPost.likes.in_([]), []),
    (lambda: AioPost.likes.not_in([3]), ["zero"]),
    (lambda: AioPost.title.like("50%"), [POSTS[1][0]]),
    (lambda: ~(AioPost.at >= dt.datetime(2000, 1, 1)), ["zero"]),
    (lambda: AioPost.data == b"\x00\xff'\\", ["plain"]),
    (lambda: AioPost.day > dt.date(2000, 1, 1), ["plain"]),
]


def test_flow(other):
    async def main():
        async with await sablecrest.connect_async(other.url) as db:
            assert len(await db.migrate(*MODELS)) == 2
            assert await db.migrate(*MODELS) == []
            seen = []
            db.trace = lambda sql, params: seen.append(sql)
            async with db.session() as s:
                ann, bob = AioAuthor(name="Ann"), AioAuthor(name="Bob", order=2)
                s.add_all([ann, bob])
                await s.flush()
                s.add_all(AioPost(author_id=(ann if i != 1 else bob).id, **dict(zip(COLUMNS, p))) for i, p in enumerate(POSTS))
            # Every type round-trips with its Python type; identity map; conditions.
            async with db.session() as s:
                posts = await s.select(AioPost).order_by(AioPost.id).all()
                assert [tuple(getattr(p, c) for c in COLUMNS) for p in posts] == POSTS
                assert [type(p.price) for p in posts] == [Decimal, type(None), Decimal]
                assert await s.get(AioPost, posts[0].id) is posts[0]
                assert await s.get(AioPost, 10**6) is None
                for cond, titles in CONDITIONS:
                    assert [p.title for p in await s.select(AioPost).where(cond()).order_by(AioPost.id).all()] == titles
                assert await s.select(AioPost).where(AioPost.likes >= 0).count() == 2
                first = await s.select(AioPost).order_by(AioPost.title.desc()).limit(1).offset(1).first()
                assert first is posts[0]
                # load_related: one query for the missing keys, identity-mapped objects.
                del seen[:]
                related = await s.load_related(posts, AioPost.author_id)
                assert sorted(a.name for a in related.values()) == ["Ann", "Bob"] and len(seen) == 1
                assert await s.load_related(posts, AioPost.author_id) == related and len(seen) == 1
            # Dirty-only updates: another connection's change to another column survives
            # (made while the object was detached: SQLite serializes writers).
            async with db.session() as s:
                p = await s.select(AioPost).where(AioPost.title == "plain").first()
            other.execute("UPDATE sc_aio_posts SET likes = 42 WHERE title = 'plain'")
            async with db.session() as s:
                s.add(p)
                p.title = "plain!"
                p.score = 1.5  # set back to the loaded value: clean
                del seen[:]
            assert len(seen) == 1 and seen[0].startswith('UPDATE %s SET %s = ' % (other.q("sc_aio_posts"), other.q("title")))
            assert other.rows("SELECT title, likes FROM sc_aio_posts WHERE title LIKE 'plain%'") == [("plain!", 42)]
            # An exception rolls everything back; so does a failed statement in a flush.
            with pytest.raises(ZeroDivisionError):
                async with db.session() as s:
                    s.add(AioAuthor(name="ghost"))
                    await s.flush()
                    1 / 0
            async with db.session() as s:
                s.add_all([AioAuthor(name="ghost"), AioAuthor(id=ann.id, name="dup")])
                with pytest.raises(Exception) as failed:
                    await s.flush()
            assert type(failed.value) is sablecrest.UniqueViolation
            assert type(failed.value.orig).__name__ in ("IntegrityError", "UniqueViolationError")
            assert other.rows("SELECT COUNT(*) FROM sc_aio_authors WHERE name IN ('ghost', 'dup')") == [(0,)]
            async with db.session() as s:  # upsert: the row is written whole
                await s.upsert(AioAuthor(id=ann.id, name="Ann U"), AioAuthor(id=10**6, name="New", order=5))
            assert other.rows('SELECT id, name, %s FROM sc_aio_authors WHERE id IN (%d, 1000000) ORDER BY id'
                              % (other.q("order"), ann.id)) == [(ann.id, "Ann U", 0), (10**6, "New", 5)]
            # Deletes; and an UPDATE of rows deleted meanwhile (several rows: executemany).
            async with db.session() as s:
                posts = await s.select(AioPost).order_by(AioPost.id).all()
                s.delete(posts[1])
            other.execute("DELETE FROM sc_aio_posts WHERE title = 'zero'")
            with pytest.raises(StaleDataError, match="matched 1 of 2 rows"):
                async with db.session() as s:
                    s.add_all([posts[0], posts[2]])
                    posts[0].likes, posts[2].likes = 7, 7
            assert other.rows("SELECT title, likes FROM sc_aio_posts") == [("plain!", 42)]
            if other.engine == "postgresql":
                # COMMIT of a transaction that had a failed statement is no success.
                import asyncpg

                async with db.session() as s:
                    s.add(AioAuthor(name="lost"))
                    await s.flush()
                    with pytest.raises(sablecrest.DataError) as failed:
                        await s.execute("SELECT 1 / 0")
                    assert type(failed.value.orig) is asyncpg.DivisionByZeroError
                    with pytest.raises(sablecrest.InternalError, match="nothing it wrote was kept") as failed:
                        await s.commit()
                    assert type(failed.value.orig) is asyncpg.InFailedSQLTransactionError
                assert other.rows("SELECT COUNT(*) FROM sc_aio_authors WHERE name = 'lost'") == [(0,)]
            assert db._pool.held == 0 and len(db._pool.idle) == db._pool.open

    run(main())


# A session waiting for a lock, seen from another connection.
WAITING = {
    "postgresql": "SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database() AND wait_event_type = 'Lock'",
    "mariadb": "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = DATABASE() AND STATE LIKE 'Waiting for%lock'",
}


def test_cancel_during_flush(other):
    """The flush writes the author, then waits on the posts table; the task is cancelled
    there. Nothing of it stays, and the connection goes back to the pool, clean."""
    entered, go_on = threading.Event(), threading.Event()

    def wait_here():  # runs in aiosqlite's thread, inside the INSERT's trigger
        entered.set()
        go_on.wait(10)
        return 0

    async def setup(raw):
        if other.engine == "sqlite":
            await raw.execute("PRAGMA journal_mode = WAL")
            await raw.create_function("sc_wait_here", 0, wait_here)

    async def main():
        async with await open_db(other, on_connect=setup) as db:
            if other.engine == "sqlite":
                async with db.session() as s:
                    await s.execute("CREATE TRIGGER sc_aio_wait BEFORE INSERT ON sc_aio_posts BEGIN SELECT sc_wait_here(); END")
            elif other.engine == "postgresql":
                import asyncpg

                blocker = await asyncpg.connect(PG_URL)
                await blocker.execute("BEGIN; LOCK TABLE sc_aio_posts IN ACCESS EXCLUSIVE MODE")
            else:
                blocker = Other("mariadb", None, drop=False)
                blocker.execute("LOCK TABLES sc_aio_posts WRITE")

            async def work():
                async with db.session() as s:
                    s.add_all([AioAuthor(name="half"), AioPost(title="half")])
                    await s.flush()

            task = asyncio.ensure_future(work())
            for _ in range(500):
                await asyncio.sleep(0.01)
                if entered.is_set() or other.rows(WAITING.get(other.engine, "SELECT 0")) == [(1,)]:
                    break
            assert other.rows("SELECT COUNT(*) FROM sc_aio_authors") == [(0,)]  # not committed yet
            task.cancel()
            await asyncio.sleep(0.05)
            task.cancel()  # again, while it rolls back (on SQLite: behind the waiting INSERT)
            go_on.set()
            with pytest.raises(asyncio.CancelledError):
                await task
            pool = db._pool
            for _ in range(100):  # the rollback may still be finishing, shielded
                if not pool.held:
                    break
                await asyncio.sleep(0.01)
            if other.engine == "postgresql":
                await blocker.execute("ROLLBACK")
                await blocker.close()
            elif other.engine == "mariadb":
                blocker.execute("UNLOCK TABLES")
                blocker.raw.close()
            if other.engine == "mariadb":  # asyncmy cannot go on after a cancelled read: discarded
                assert (pool.held, pool.open, pool.idle) == (0, 0, [])
            else:
                assert (pool.held, pool.open, len(pool.idle)) == (0, 1, 1) and pool.idle[0].usable()
            assert other.rows("SELECT COUNT(*) FROM sc_aio_authors") == [(0,)]
            async with db.session() as s:  # the same connection (or a new one) serves the next session
                assert await s.select(AioAuthor).count() == 0
                s.add(AioAuthor(name="whole"))
            assert other.rows("SELECT name FROM sc_aio_authors") == [("whole",)]

    run(main())


def test_pool_bounded(other):
    """50 concurrent sessions on a pool of 4: never more than 4 connections, all served
    in turn. A waiter that times out or is cancelled leaves no slot behind."""

    async def main():
        async with await open_db(other, pool_size=4) as db:
            pool, peak, conns = db._pool, [0], set()

            async def one(i):
                async with db.session() as s:
                    s.add(AioAuthor(name="n%d" % i))
                    await s.flush()
                    peak[0] = max(peak[0], pool.open, pool.held)
                    conns.add(id(s._conn))
                    await asyncio.sleep(0.005)

            await asyncio.gather(*(one(i) for i in range(50)))
            assert peak[0] == 4 and len(conns) <= 4
            assert (pool.held, pool.open, len(pool.idle)) == (0, 4, 4)
            assert other.rows("SELECT COUNT(*) FROM sc_aio_authors") == [(50,)]
            pool.timeout = 0.3
            held = [db.session() for _ in range(4)]
            for s in held:
                await s.__aenter__()
            with pytest.raises(TimeoutError, match="no connection came free within 0.3 s"):
                await db.session().__aenter__()
            waiter = asyncio.ensure_future(db.session().__aenter__())
            await asyncio.sleep(0.01)
            waiter.cancel()
            await held[0].close()  # its slot goes past the cancelled waiter, back to the pool
            assert pool.held == 3 and not pool.waiters
            for s in held[1:]:
                await s.close()
            assert (pool.held, pool.open) == (0, 4)

    run(main())


PID = {"postgresql": "SELECT pg_backend_pid()", "mariadb": "SELECT CONNECTION_ID()"}
KILL = {"postgresql": "SELECT pg_terminate_backend(%d)", "mariadb": "KILL %d"}
# The driver's report: the kill met under the statement, or noticed before it.
LOST = {"postgresql": "ConnectionDoesNotExistError|InterfaceError", "mariadb": "OperationalError"}


def test_connection_lost(other):
    """A backend killed under an open session: sablecrest's OperationalError with the
    driver's error as `orig`, the connection is dropped, the pool goes on; one killed
    while idle in the pool is dropped too."""
    if other.engine == "sqlite":
        pytest.skip("a connection to SQLite cannot be lost")

    async def main():
        async with await open_db(other, pool_size=2) as db:
            pool = db._pool
            with pytest.raises(sablecrest.OperationalError) as lost:
                async with db.session() as s:
                    pid = (await s.execute(PID[other.engine])).scalar()
                    s.add(AioAuthor(name="lost"))
                    await s.flush()
                    other.rows(KILL[other.engine] % pid)
                    await asyncio.sleep(0.05)
                    await s.get(AioAuthor, 10**6)
            assert re.fullmatch(LOST[other.engine], type(lost.value.orig).__name__), repr(lost.value.orig)
            assert (pool.held, pool.open, pool.idle) == (0, 0, [])
            async with db.session() as s:
                assert await s.select(AioAuthor).count() == 0
                pid = (await s.execute(PID[other.engine])).scalar()
            other.rows(KILL[other.engine] % pid)
            await asyncio.sleep(0.1)
            async with db.session() as s:
                assert (await s.execute(PID[other.engine])).scalar() != pid
            assert (pool.held, pool.open, len(pool.idle)) == (0, 1, 1)

    run(main())
