"""The error that ended a session is the error raised: a backend killed mid-transaction
from a second connection surfaces as sablecrest's OperationalError whose `orig` is the
driver's report of the kill, never the error of the rollback that follows on the dead
connection (which is attached as a note), and the pool carries on."""

import asyncio
import re
import time

import pytest

import sablecrest
from sablecrest import Field, Model

from ormdb import SKIP_SERVERS, URLS


class ScKilled(Model):
    __tablename__ = "sc_killed"
    id = Field(int, primary_key=True)
    note = Field(str)


PID = {"postgresql": "SELECT pg_backend_pid()", "mariadb": "SELECT CONNECTION_ID()"}
KILL = {"postgresql": "SELECT pg_terminate_backend(%d)", "mariadb": "KILL %d"}
# What each driver reports for the statement that meets the killed connection.
KILLED = {
    "postgresql": ("AdminShutdown|OperationalError", r"terminating connection due to administrator command|"
                   r"server closed the connection unexpectedly|consuming input failed"),
    "mariadb": ("OperationalError", r"\((2013|2006), 'Lost connection to (MySQL|MariaDB) server during query|"
                r"MySQL server has gone away"),
    "asyncpg": ("AdminShutdownError|ConnectionDoesNotExistError|InterfaceError",
                r"terminating connection due to administrator command|connection was closed|"
                r"connection is closed|Connection reset"),
    "asyncmy": ("OperationalError", r"\((2013|2006), '(Lost connection to (MySQL|MariaDB) server during query|MySQL server has gone away)"),
}


def kill(engine, pid):
    killer = sablecrest.connect(URLS[engine])
    with killer.session() as k:
        k.execute(KILL[engine] % pid)
    killer.close()
    time.sleep(0.1)


def check(err, driver):
    names, message = KILLED[driver]
    assert type(err) is sablecrest.OperationalError, repr(err)
    assert re.fullmatch(names, type(err.orig).__name__), repr(err.orig)
    assert re.search(message, str(err.orig)), repr(err.orig)
    assert err.__cause__ is err.orig


@pytest.mark.parametrize("where", ["flush", "query"])
def test_sync_kill(db, where):
    engine = db.dialect.engine.name
    if engine == "sqlite":
        pytest.skip("a SQLite connection cannot be killed from another")
    db.migrate(ScKilled)
    with pytest.raises(Exception) as caught:
        with db.session() as s:
            s.add(ScKilled(note="before"))
            s.flush()
            kill(engine, s.execute(PID[engine]).scalar())
            if where == "flush":
                s.add(ScKilled(note="after"))
                s.flush()
            else:
                s.select(ScKilled).all()
    check(caught.value, engine)
    with db.session() as s:  # the pool dropped the dead connection
        assert s.select(ScKilled).count() == 0


@pytest.mark.parametrize("engine, driver", [("postgresql", "asyncpg"), ("mariadb", "asyncmy")])
def test_async_kill(engine, driver):
    pytest.importorskip(driver)
    try:
        sync = sablecrest.connect(URLS[engine])
    except Exception as exc:
        if SKIP_SERVERS:
            pytest.skip(str(exc))
        raise
    sync.migrate(ScKilled)
    with sync.session() as s:
        s.execute("DELETE FROM sc_killed")

    async def main():
        db = await sablecrest.connect_async(URLS[engine], pool_size=1)
        with pytest.raises(Exception) as caught:
            async with db.session() as s:
                s.add(ScKilled(note="before"))
                await s.flush()
                pid = (await s.execute(PID[engine])).scalar()
                await asyncio.get_running_loop().run_in_executor(None, kill, engine, pid)
                s.add(ScKilled(note="after"))
                await s.flush()
        check(caught.value, driver)
        async with db.session() as s:
            assert await s.select(ScKilled).count() == 0
        await db.close()

    asyncio.run(main())
    sync.close()


def test_connection_lost_under_commit_leaves_objects_committed(db):
    """The COMMIT meets a killed connection: sablecrest's OperationalError (the driver's
    report as orig), with the note that the outcome is unknown, and the objects keep
    their keys, so adding them again never inserts their rows twice."""
    engine = db.dialect.engine.name
    if engine == "sqlite":
        pytest.skip("a SQLite connection cannot be killed from another")
    db.migrate(ScKilled)
    rows = [ScKilled(note="a"), ScKilled(note="b")]
    with pytest.raises(sablecrest.OperationalError) as caught:
        with db.session() as s:
            s.add_all(rows)
            s.flush()
            kill(engine, s.execute(PID[engine]).scalar())
    check(caught.value, engine)
    assert any("outcome is unknown" in n for n in caught.value.__notes__)
    assert all(r.id is not None for r in rows) and sablecrest.state(rows[0]) == "detached"
    with db.session() as s:  # killed before its COMMIT arrived: nothing was written
        assert s.select(ScKilled).count() == 0
