"""One error hierarchy on every driver: the same duplicate-key, foreign-key, NOT NULL,
CHECK and deadlock situations raise the same sablecrest class on sqlite3, aiosqlite,
psycopg, asyncpg, PyMySQL and asyncmy, with the driver's exception as `orig` (and as
`__cause__`), the statement in the message and as `statement`, and the parameter values
nowhere unless the database echoes. What the database holds afterwards is read over a
second connection."""

import asyncio
import contextlib
import inspect
import threading

import pytest

import sablecrest
from sablecrest import Field, Model

from ormdb import SKIP_SERVERS, URLS


class ScErrParent(Model):
    __tablename__ = "sc_err_parent"
    id = Field(int, primary_key=True)
    name = Field(str)
    n = Field(int, default=0)


class ScErrChild(Model):
    __tablename__ = "sc_err_child"
    id = Field(int, primary_key=True)
    parent_id = Field(int, references=ScErrParent, nullable=False)


# driver: (engine, async, the module its exceptions come from)
DRIVERS = {
    "sqlite3": ("sqlite", False, "sqlite3"),
    "aiosqlite": ("sqlite", True, "sqlite3"),
    "psycopg": ("postgresql", False, "psycopg"),
    "asyncpg": ("postgresql", True, "asyncpg"),
    "pymysql": ("mariadb", False, "pymysql"),
    "asyncmy": ("mariadb", True, "asyncmy"),
}
SECRET = "s3cret-value"


async def call(result):
    return await result if inspect.isawaitable(result) else result


@contextlib.asynccontextmanager
async def session(db):
    if isinstance(db, sablecrest.AsyncDatabase):
        async with db.session() as s:
            yield s
    else:
        with db.session() as s:
            yield s


def need(driver):
    """The driver's entry, or a skip when the driver (or the module of its errors) is missing."""
    engine, is_async, module = DRIVERS[driver]
    pytest.importorskip(module)
    pytest.importorskip(driver if driver == "aiosqlite" else module)  # aiosqlite raises sqlite3's errors
    return engine, is_async, module


def url_for(driver, tmp_path):
    engine = DRIVERS[driver][0]
    return "sqlite:///%s" % (tmp_path / "errors.db") if engine == "sqlite" else URLS[engine]


def wal(raw):
    result = raw.execute("PRAGMA journal_mode = WAL")
    return result if inspect.isawaitable(result) else None


async def open_db(driver, url, **kw):
    engine, is_async, module = need(driver)
    if engine == "sqlite":
        kw["on_connect"] = wal
    try:
        return await (sablecrest.connect_async(url, **kw) if is_async else call(sablecrest.connect(url, **kw)))
    except sablecrest.OperationalError as exc:
        if SKIP_SERVERS:
            pytest.skip(str(exc))
        pytest.fail("%s is not reachable: %s" % (engine, exc), pytrace=False)


@pytest.fixture
def checker(tmp_path):
    """A second, sync connection to the same database, with the tables fresh."""
    dbs = []

    def make(driver):
        url = url_for(driver, tmp_path)
        if DRIVERS[driver][0] != "sqlite":
            pytest.importorskip(DRIVERS[{"postgresql": "psycopg", "mariadb": "pymysql"}[DRIVERS[driver][0]]][2])
        db = asyncio.run(open_db({"sqlite": "sqlite3", "postgresql": "psycopg", "mariadb": "pymysql"}[
            DRIVERS[driver][0]], url))
        with db.session() as s:
            for table in ("sc_err_checked", "sc_err_child", "sc_err_parent"):
                s.execute("DROP TABLE IF EXISTS " + table)
            s.execute("CREATE TABLE sc_err_checked (id INTEGER PRIMARY KEY, n INTEGER CHECK (n > 0))")
        db.migrate(ScErrParent, ScErrChild)
        with db.session() as s:
            s.add_all([ScErrParent(id=1, name="one"), ScErrParent(id=2, name="two")])
        dbs.append(db)
        return db, url

    yield make
    for db in dbs:
        db.close()


def rows(checker_db, sql):
    with checker_db.session() as s:
        return [tuple(r) for r in s.execute(sql)]


def insert_sql(db, table, columns):
    return "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(columns), ", ".join(":" + c for c in columns))


# situation: (what the session does, the class, the start of the failing statement)
SITUATIONS = [
    ("duplicate key", lambda s, db: (s.add(ScErrParent(id=1, name=SECRET)), s.flush())[1],
     sablecrest.UniqueViolation, "INSERT INTO"),
    ("foreign key", lambda s, db: (s.add(ScErrChild(id=1, parent_id=99)), s.flush())[1],
     sablecrest.ForeignKeyViolation, "INSERT INTO"),
    ("parent still referred to", None, sablecrest.ForeignKeyViolation, "DELETE FROM"),
    ("NOT NULL", lambda s, db: s.execute(insert_sql(db, "sc_err_child", ["id", "parent_id"]), {"id": 7, "parent_id": None}),
     sablecrest.NotNullViolation, "INSERT INTO sc_err_child"),
    ("CHECK", lambda s, db: s.execute(insert_sql(db, "sc_err_checked", ["id", "n"]), {"id": 1, "n": -5}),
     sablecrest.CheckViolation, "INSERT INTO sc_err_checked"),
    ("syntax", lambda s, db: s.execute("SELEC 1"), sablecrest.ProgrammingError, "SELEC 1"),
    ("no such table", lambda s, db: s.execute("SELECT * FROM sc_err_nowhere"), sablecrest.ProgrammingError,
     "SELECT * FROM sc_err_nowhere"),
]
# SQLite reports a missing table as an OperationalError, and a syntax error too: that is
# its driver's class, kept.
SQLITE_CLASSES = {"syntax": sablecrest.OperationalError, "no such table": sablecrest.OperationalError}


@pytest.mark.parametrize("driver", list(DRIVERS))
def test_situations(driver, checker):
    engine, _, module = DRIVERS[driver]
    other, url = checker(driver)

    async def main():
        db = await open_db(driver, url)
        for label, action, cls, statement in SITUATIONS:
            if engine == "sqlite":
                cls = SQLITE_CLASSES.get(label, cls)
            with pytest.raises(sablecrest.DatabaseError) as caught:
                async with session(db) as s:
                    s.add(ScErrParent(id=50, name="rolled back with the failure"))
                    await call(s.flush())
                    if action is None:  # delete a parent a child refers to
                        await call(s.execute(insert_sql(db, "sc_err_child", ["id", "parent_id"]), {"id": 3, "parent_id": 2}))
                        await call(s.flush())
                        s.delete(await call(s.get(ScErrParent, 2)))
                        await call(s.flush())
                    else:
                        await call(action(s, db))
            err = caught.value
            assert type(err) is cls, (label, repr(err))
            assert type(err.orig).__module__.split(".")[0] == module, (label, repr(err.orig))
            assert err.__cause__ is err.orig
            assert err.statement.startswith(statement), (label, err.statement)
            text = str(err)
            assert text.startswith("(%s.%s) " % (type(err.orig).__module__, type(err.orig).__qualname__))
            assert "\n[SQL: %s" % statement in text and SECRET not in text and err.params is None, (label, text)
            # The transaction rolled back whole: the row added before the failure is gone.
            assert rows(other, "SELECT id FROM sc_err_parent ORDER BY id") == [(1,), (2,)], label
        # A statement that failed in a session that goes on: the same class, and the
        # session usable after a rollback.
        async with session(db) as s:
            with pytest.raises(sablecrest.UniqueViolation):
                await call(s.execute(insert_sql(db, "sc_err_parent", ["id", "name"]), {"id": 2, "name": "again"}))
            await call(s.rollback())
            assert await call(s.get(ScErrParent, 2)) is not None
        await call(db.close())

    asyncio.run(main())


@pytest.mark.parametrize("driver", list(DRIVERS))
def test_echo_shows_parameters(driver, checker):
    _, url = checker(driver)

    async def main():
        db = await open_db(driver, url, echo=True)
        with pytest.raises(sablecrest.UniqueViolation) as caught:
            async with session(db) as s:
                await call(s.execute(insert_sql(db, "sc_err_parent", ["id", "name"]), {"id": 1, "name": SECRET}))
        assert caught.value.params == [1, SECRET]
        assert str(caught.value).endswith("\n[parameters: [1, %r]]" % SECRET)
        await call(db.close())

    logger = __import__("logging").getLogger("sablecrest.sql")
    handlers, level = list(logger.handlers), logger.level
    try:
        asyncio.run(main())
    finally:
        logger.handlers[:] = handlers
        logger.setLevel(level)  # setLevel: it also clears the loggers' cached answers


def test_long_statements_and_many_parameters_are_cut():
    orig = ValueError("boom")
    err = sablecrest.errors.wrap(sablecrest.DataError, orig, "SELECT " + "x" * 5000, list(range(30)), True)
    first, sql, params = str(err).split("\n")
    assert sql == "[SQL: SELECT %s ... (5007 characters)]" % ("x" * 993)
    assert params == "[parameters: [%s, ... (30 in all)]]" % ", ".join(map(str, range(20)))
    assert len(err.statement) == 5007 and err.params == list(range(30))


class Boom(Exception):
    pass


@pytest.mark.parametrize("driver", list(DRIVERS))
def test_other_errors_pass_through(driver, checker):
    """An error that is not the driver's (here from the trace hook: code of the user's
    own) is raised as it is; so is sablecrest's own StaleDataError."""
    _, url = checker(driver)

    async def main():
        db = await open_db(driver, url)

        def trace(sql, params):
            raise Boom(sql)

        db.trace = trace
        with pytest.raises(Boom):
            async with session(db) as s:
                await call(s.get(ScErrParent, 1))
        db.trace = None
        async with session(db) as s:
            stale = await call(s.get(ScErrParent, 1))
        async with session(db) as s:
            await call(s.execute("DELETE FROM sc_err_parent WHERE id = 1"))
        with pytest.raises(sablecrest.StaleDataError) as caught:
            async with session(db) as s:
                s.add(stale)
                stale.name = "changed"
        assert isinstance(caught.value, sablecrest.Error) and not isinstance(caught.value, sablecrest.DatabaseError)
        await call(db.close())

    asyncio.run(main())


CONNECT_FAILS = {
    "sqlite": "sqlite:////nonexistent-dir/x/errors.db",
    "postgresql": "postgresql://postgres@127.0.0.1:1/nowhere",
    "mariadb": "mysql://nobody@127.0.0.1:1/nowhere",
}


@pytest.mark.parametrize("driver", list(DRIVERS))
def test_connect_failure(driver):
    engine, is_async, module = need(driver)

    async def main():
        url = CONNECT_FAILS[engine]
        with pytest.raises(sablecrest.OperationalError) as caught:
            await (sablecrest.connect_async(url) if is_async else call(sablecrest.connect(url)))
        assert caught.value.statement is None and caught.value.orig is caught.value.__cause__

    asyncio.run(main())


# ---- deadlocks

async def cross_updates(db, first, second, meet):
    """Updates row `first`, waits for the other side, then row `second`."""
    async with session(db) as s:
        row = await call(s.get(ScErrParent, first))
        row.n += 1
        await call(s.flush())
        await meet()
        row = await call(s.get(ScErrParent, second))
        row.n += 10
        await call(s.flush())


async def stale_snapshot(db, other_db):
    """SQLite's deadlock: a transaction that read (in WAL mode, from a snapshot) cannot
    write once another has committed after that snapshot; waiting would never help."""
    async with session(db) as s:
        await call(s.execute("SELECT n FROM sc_err_parent"))  # in the transaction: its snapshot
        async with session(other_db) as o:
            (await call(o.get(ScErrParent, 2))).n += 1
        (await call(s.get(ScErrParent, 1))).n += 1
        await call(s.flush())


@pytest.mark.parametrize("driver", list(DRIVERS))
def test_deadlock(driver, checker):
    engine, is_async, _ = DRIVERS[driver]
    other, url = checker(driver)

    async def main():
        if engine == "sqlite":
            db, second = await open_db(driver, url), await open_db(driver, url)
            with pytest.raises(sablecrest.DeadlockError) as caught:
                await stale_snapshot(db, second)
            assert type(caught.value.orig).__name__ == "OperationalError"
            await call(second.close())
            await call(db.close())
            return [caught.value]
        db = await open_db(driver, url, pool_size=2)
        if is_async:
            both = asyncio.Event()
            arrived = []

            async def meet():
                arrived.append(1)
                if len(arrived) == 2:
                    both.set()
                await both.wait()

            outcomes = await asyncio.gather(cross_updates(db, 1, 2, meet), cross_updates(db, 2, 1, meet),
                                            return_exceptions=True)
        else:
            barrier = threading.Barrier(2, timeout=10)
            outcomes = [None, None]

            async def meet():
                barrier.wait()

            def side(i, first, second):
                try:
                    asyncio.run(cross_updates(db, first, second, meet))
                except BaseException as exc:
                    outcomes[i] = exc

            threads = [threading.Thread(target=side, args=(0, 1, 2)), threading.Thread(target=side, args=(1, 2, 1))]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
        await call(db.close())
        return outcomes

    outcomes = asyncio.run(main())
    failed = [o for o in outcomes if o is not None]
    assert len(failed) == 1 and type(failed[0]) is sablecrest.DeadlockError, outcomes
    # The victim rolled back; the other side's two updates stand.
    if engine == "sqlite":
        assert rows(other, "SELECT id, n FROM sc_err_parent ORDER BY id") == [(1, 0), (2, 1)]
    else:
        assert sorted(rows(other, "SELECT n FROM sc_err_parent")) == [(1,), (10,)]


def test_postgresql_drivers_agree_on_every_sqlstate():
    """asyncpg's exceptions say nothing of PEP 249: its errors are classed by SQLSTATE
    with the table psycopg's classes follow. Every state psycopg knows gets psycopg's
    class (or a subclass of it, for the constraints and deadlocks)."""
    psycopg = pytest.importorskip("psycopg")
    from sablecrest.engines.postgresql import sqlstate_class
    from sablecrest.errors import PEP249

    wrong = []
    for name in dir(psycopg.errors):
        cls = getattr(psycopg.errors, name)
        state = getattr(cls, "sqlstate", None)
        if isinstance(cls, type) and isinstance(state, str) and len(state) == 5:
            expected = next(PEP249[k.__name__] for k in cls.__mro__ if k.__name__ in PEP249)
            if not issubclass(sqlstate_class(state), expected):
                wrong.append((state, name, sqlstate_class(state).__name__, expected.__name__))
    assert wrong == []
