"""The pool on every driver: a server that dropped every connection between two sessions
costs no failed session; connections too long idle or too old are replaced; pre-ping
can be turned off; status() counts what is in use, idle and waiting. Driver options
from the URL's query string reach the driver typed, and a malformed one is a ValueError
naming it before anything connects."""

import asyncio
import logging
import sys
import threading
import time

import pytest

import sablecrest
from sablecrest import Field, Model

from ormdb import SKIP_SERVERS, URLS


class ScPooled(Model):
    __tablename__ = "sc_pooled"
    id = Field(int, primary_key=True)
    note = Field(str)


PID = {"postgresql": "SELECT pg_backend_pid()", "mariadb": "SELECT CONNECTION_ID()"}
KILL = {"postgresql": "SELECT pg_terminate_backend(%d)", "mariadb": "KILL %d"}
DRIVERS = [("postgresql", False, "psycopg"), ("postgresql", True, "asyncpg"), ("mariadb", False, "pymysql"),
           ("mariadb", True, "asyncmy")]


def server(engine, **kw):
    try:
        return sablecrest.connect(URLS[engine], **kw)
    except sablecrest.OperationalError as exc:
        if SKIP_SERVERS:
            pytest.skip(str(exc))
        pytest.fail("%s is not reachable: %s" % (engine, exc), pytrace=False)


def kill_all(engine, pids):
    killer = server(engine)
    with killer.session() as k:
        for pid in pids:
            k.execute(KILL[engine] % pid)
    killer.close()


@pytest.mark.parametrize("engine, is_async, module", DRIVERS, ids=[d[2] for d in DRIVERS])
def test_server_drops_every_connection_between_sessions(engine, is_async, module, caplog):
    """As after a server restart: every idle connection of the pool is gone. The next
    sessions all succeed, on new connections, and the pool says why it dropped the old."""
    pytest.importorskip(module)
    sync = server(engine)
    sync.migrate(ScPooled)
    with sync.session() as s:
        s.execute("DELETE FROM sc_pooled")
    caplog.set_level(logging.INFO, logger="sablecrest.pool")

    def work(pids):
        async def one(db, i):
            async with db.session() as s:
                pids.add((await s.execute(PID[engine])).scalar())
                s.add(ScPooled(note="n%d" % i))
                await asyncio.sleep(0.02)  # the three overlap: three connections

        async def main():
            db = await sablecrest.connect_async(URLS[engine], pool_size=3)
            await asyncio.gather(*(one(db, i) for i in range(3)))
            before = set(pids)
            assert db.pool.status() == (3, 0, 3, 0)
            # Not awaited: the loop has not read the servers' goodbyes when the sessions start.
            await asyncio.get_running_loop().run_in_executor(None, kill_all, engine, before)
            time.sleep(0.2)
            pids.clear()
            await asyncio.gather(*(one(db, i) for i in range(3, 6)))
            await db.close()
            return before

        if is_async:
            return asyncio.run(main())
        db = server(engine, pool_size=3)
        sessions = [db.session() for _ in range(3)]
        for i, s in enumerate(sessions):
            pids.add(s.execute(PID[engine]).scalar())
            s.add(ScPooled(note="n%d" % i))
        for s in sessions:
            s.__exit__(None, None, None)
        before = set(pids)
        assert db.pool.status() == (3, 0, 3, 0)
        kill_all(engine, before)
        time.sleep(0.2)
        pids.clear()
        for i in range(3, 6):
            with db.session() as s:
                pids.add(s.execute(PID[engine]).scalar())
                s.add(ScPooled(note="n%d" % i))
        db.close()
        return before

    after = set()
    before = work(after)
    assert len(before) == 3 and not before & after
    with sync.session() as s:
        assert sorted(p.note for p in s.select(ScPooled).all()) == ["n%d" % i for i in range(6)]
    sync.close()
    discards = [r.getMessage() for r in caplog.records if r.name == "sablecrest.pool" and "discarded" in r.getMessage()]
    assert len(discards) == 3 and all(m.endswith("at checkout: closed by the server while it sat idle")
                                      for m in discards), discards


def test_without_pre_ping_a_dropped_connection_fails_its_session():
    """pool_pre_ping=False skips the look at an idle connection: what it saves is paid
    when the server dropped one (the session fails, the connection is discarded)."""
    pytest.importorskip("psycopg")
    db = server("postgresql", pool_pre_ping=False, pool_size=1)
    with db.session() as s:
        pid = s.execute(PID["postgresql"]).scalar()
    kill_all("postgresql", [pid])
    time.sleep(0.2)
    with pytest.raises(sablecrest.OperationalError):
        with db.session() as s:
            s.execute("SELECT 1")
    assert db.pool.status() == (1, 0, 0, 0)
    with db.session() as s:
        assert s.execute("SELECT 1").rows == [(1,)]
    db.close()


@pytest.mark.parametrize("is_async", [False, True], ids=["sqlite3", "aiosqlite"])
@pytest.mark.parametrize("option", ["pool_recycle", "pool_max_lifetime"])
def test_old_connections_are_replaced(tmp_path, is_async, option):
    if is_async:
        pytest.importorskip("aiosqlite")
    url = "sqlite:///%s" % (tmp_path / "pool.db")

    async def main():
        db = await sablecrest.connect_async(url, **{option: 0.2}) if is_async else sablecrest.connect(url, **{option: 0.2})

        async def ids(n):
            out = []
            for _ in range(n):
                if is_async:
                    async with db.session() as s:
                        await s.execute("SELECT 1")
                        out.append(s._conn)
                else:
                    with db.session() as s:
                        out.append(s._conn)
            return out

        first = await ids(3)
        assert len({id(c) for c in first}) == 1  # reused while young
        await asyncio.sleep(0.3)
        later = await ids(2)
        assert later[0] is later[1] and later[0] is not first[0]
        # The old connection was closed, not left open.
        assert (first[0].closed if is_async else _closed(first[0].raw))
        assert db.pool.status() == (10, 0, 1, 0)
        await (db.close() if is_async else asyncio.sleep(0))
        if not is_async:
            db.close()

    asyncio.run(main())


def _closed(raw):
    try:
        raw.execute("SELECT 1")
    except Exception as exc:
        return "closed" in str(exc)
    return False


def test_a_discarded_connection_closes_after_its_loop_is_gone(tmp_path, monkeypatch):
    """A connection the pool discards is closed in aiosqlite's thread without being
    awaited; when the thread gets to it only after asyncio.run() has ended, nothing may
    fail there ('Event loop is closed', in the thread: seen on 3.8 under load)."""
    pytest.importorskip("aiosqlite")
    from sablecrest import engines
    from sablecrest.engines.sqlite import _UNAWAITED

    failures = []
    monkeypatch.setattr(threading, "excepthook", lambda args: failures.append(args.exc_value))
    busy = threading.Event()

    async def main():
        module, url = engines.resolve("sqlite:///%s" % (tmp_path / "d.db"), asynchronous=True)
        conn = await module.ASYNC.open(url)
        # The thread is held up, so that the close queued behind comes after the loop.
        conn.raw._tx.put_nowait((_UNAWAITED, lambda: busy.wait(5)))
        conn.terminate()
        return conn.raw

    raw = asyncio.run(main())
    busy.set()
    thread = getattr(raw, "_thread", raw)  # aiosqlite before 0.21: the connection is the thread
    thread.join(5)
    assert not thread.is_alive() and raw._connection is None and failures == []


def test_status_counts_waiting_sessions(tmp_path):
    db = sablecrest.connect("sqlite:///%s" % (tmp_path / "s.db"), pool_size=2, pool_timeout=5)
    assert db.pool.status() == (2, 0, 1, 0)
    a, b = db.session(), db.session()
    assert db.pool.status() == (2, 2, 0, 0)
    got = []
    t = threading.Thread(target=lambda: got.append(db.session()))
    t.start()
    for _ in range(200):
        if db.pool.status().waiting:
            break
        time.sleep(0.01)
    assert db.pool.status() == (2, 2, 0, 1)
    a.close()
    t.join(5)
    assert db.pool.status() == (2, 2, 0, 0)
    b.close()
    got[0].close()
    assert db.pool.status() == (2, 0, 2, 0)
    db.close()
    pytest.importorskip("aiosqlite")

    async def main():
        adb = await sablecrest.connect_async("sqlite:///%s" % (tmp_path / "a.db"), pool_size=1)
        s = adb.session()
        await s.__aenter__()
        waiter = asyncio.ensure_future(adb.session().__aenter__())
        await asyncio.sleep(0.01)
        assert adb.pool.status() == (1, 1, 0, 1)
        await s.close()
        other = await waiter
        assert adb.pool.status() == (1, 1, 0, 0)
        await other.close()
        assert adb.pool.status() == (1, 0, 1, 0)
        await adb.close()

    asyncio.run(main())


# ---- URL options

NOWHERE_PG = "postgresql://u@127.0.0.1:1/db"
NOWHERE_MY = "mysql://u@127.0.0.1:1/db"
BAD_OPTIONS = [  # (url, async, message); port 1: a check after connecting would fail otherwise
    (NOWHERE_PG + "?statement_cache_sise=0", False,
     "unknown option 'statement_cache_sise' in the database URL: psycopg takes application_name, channel_binding, "
     "client_encoding, connect_timeout, gssencmode, keepalives, keepalives_count, keepalives_idle, "
     "keepalives_interval, options, passfile, prepare_threshold, prepared_max, service, sslcert, sslkey, sslmode, "
     "sslrootcert, statement_cache_size, target_session_attrs, tcp_user_timeout"),
    (NOWHERE_PG + "?statement_cache_size=x", True,
     "the database URL's option statement_cache_size takes an int from 0, got 'x'"),
    (NOWHERE_PG + "?statement_cache_size=-1", False,
     "the database URL's option statement_cache_size takes an int from 0, got '-1'"),
    (NOWHERE_PG + "?statement_cache_size=", True,
     "the database URL's option statement_cache_size takes an int from 0, got ''"),
    (NOWHERE_PG + "?command_timeout=0", True,
     "the database URL's option command_timeout takes a positive number of seconds, got '0'"),
    (NOWHERE_PG + "?command_timeout=nan", True,
     "the database URL's option command_timeout takes a positive number of seconds, got 'nan'"),
    (NOWHERE_PG + "?command_timeout=5", False, "unknown option 'command_timeout' in the database URL: psycopg takes"),
    (NOWHERE_PG + "?prepare_threshold=5", True, "unknown option 'prepare_threshold' in the database URL: asyncpg"),
    (NOWHERE_PG + "?prepare_threshold=never", False,
     "the database URL's option prepare_threshold takes an int from 0, or none, got 'never'"),
    (NOWHERE_PG + "?sslmode=maybe", True, "the database URL's option sslmode takes one of disable, allow, prefer, "
                                           "require, verify-ca, verify-full, got 'maybe'"),
    (NOWHERE_PG + "?keepalives=2", False, "the database URL's option keepalives takes an int from 0 to 1, got '2'"),
    (NOWHERE_PG + "?statement_cache_size=1&statement_cache_size=2", False,
     "the database URL gives the option 'statement_cache_size' twice"),
    (NOWHERE_MY + "?connect_timeout=soon", False,
     "the database URL's option connect_timeout takes a positive number of seconds, got 'soon'"),
    (NOWHERE_MY + "?local_infile=maybe", True, "the database URL's option local_infile takes true or false, got 'maybe'"),
    (NOWHERE_MY + "?write_timeout=5", True, "unknown option 'write_timeout' in the database URL: asyncmy takes"),
    (NOWHERE_MY + "?charset=", False, "the database URL's option charset takes a non-empty text, got ''"),
]


@pytest.mark.parametrize("url, is_async, message", BAD_OPTIONS)
def test_malformed_url_option(url, is_async, message):
    with pytest.raises(ValueError) as caught:
        if is_async:
            asyncio.run(sablecrest.connect_async(url))
        else:
            sablecrest.connect(url)
    assert str(caught.value).startswith(message), str(caught.value)


QUERIES = ("?statement_cache_size=0&application_name=sc-e2%20off&connect_timeout=5", "")


@pytest.mark.parametrize("module", ["psycopg", "asyncpg"])
def test_statement_cache_off_from_the_url(module):
    """statement_cache_size=0 (what PgBouncer in transaction mode needs) on both drivers:
    a query run six times leaves nothing prepared on the server; without the option,
    psycopg prepares it after five runs and asyncpg at once."""
    pytest.importorskip(module)
    server("postgresql").close()

    async def run_async():
        out = []
        for query in QUERIES:
            db = await sablecrest.connect_async(URLS["postgresql"] + query + ("&command_timeout=5" if query else ""))
            async with db.session() as s:
                for _ in range(6):
                    await s.execute("SELECT 1 + :n::int", {"n": 1})
                out.append(((await s.execute("SELECT count(*) FROM pg_prepared_statements")).scalar(),
                            (await s.execute("SHOW application_name")).scalar()))
            await db.close()
        return out

    def run_sync():
        out = []
        for query in QUERIES:
            db = sablecrest.connect(URLS["postgresql"] + query)
            with db.session() as s:
                for _ in range(6):
                    s.execute("SELECT 1 + :n::int", {"n": 1})
                out.append((s.execute("SELECT count(*) FROM pg_prepared_statements").scalar(),
                            s.execute("SHOW application_name").scalar()))
            db.close()
        return out

    off, on = asyncio.run(run_async()) if module == "asyncpg" else run_sync()
    assert off == (0, "sc-e2 off")
    assert on[0] >= 1


@pytest.mark.parametrize("is_async, module", [(False, "pymysql"), (True, "asyncmy")])
def test_mariadb_options_from_the_url(is_async, module):
    pytest.importorskip(module)
    server("mariadb").close()
    url = URLS["mariadb"] + "?connect_timeout=5&read_timeout=30&sql_mode=TRADITIONAL&charset=utf8mb4"

    async def main():
        db = await sablecrest.connect_async(url)
        async with db.session() as s:
            mode = (await s.execute("SELECT @@SESSION.sql_mode")).scalar()
        await db.close()
        return mode

    if is_async:
        mode = asyncio.run(main())
    else:
        db = sablecrest.connect(url)
        with db.session() as s:
            mode = s.execute("SELECT @@SESSION.sql_mode").scalar()
        db.close()
    assert "STRICT_TRANS_TABLES" in mode.split(",")


def test_missing_async_driver_names_the_package(monkeypatch):
    monkeypatch.setitem(sys.modules, "asyncmy", None)
    with pytest.raises(ImportError, match=r"^mysql:// URLs need the asyncmy driver: pip install asyncmy$"):
        asyncio.run(sablecrest.connect_async(NOWHERE_MY))


@pytest.mark.parametrize("module", ["psycopg", "asyncpg"])
def test_reading_session_sends_no_begin_on_postgresql(module):
    """Reads run outside a transaction until the first write begins one; a statement of
    the user's own begins it too (the way to ask for one, SET TRANSACTION say)."""
    pytest.importorskip(module)
    server("postgresql").close()

    async def main():
        db = await sablecrest.connect_async(URLS["postgresql"]) if module == "asyncpg" \
            else sablecrest.connect(URLS["postgresql"])
        await call(db.migrate(ScPooled))
        states = []
        async with session(db) as s:
            await call(s.select(ScPooled).count())
            states.append(s._conn.in_transaction())
            s.add(ScPooled(note="w"))
            await call(s.flush())
            states.append(s._conn.in_transaction())
        async with session(db) as s:
            await call(s.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ"))
            states.append((await call(s.execute("SHOW transaction_isolation"))).scalar())
        await call(db.close())
        return states

    assert asyncio.run(main()) == [False, True, "repeatable read"]


async def call(result):
    return await result if asyncio.iscoroutine(result) or isinstance(result, asyncio.Future) else result


class session:
    def __init__(self, db):
        self.s = db.session()

    async def __aenter__(self):
        return await self.s.__aenter__() if hasattr(self.s, "__aenter__") else self.s.__enter__()

    async def __aexit__(self, *exc):
        return await self.s.__aexit__(*exc) if hasattr(self.s, "__aexit__") else self.s.__exit__(*exc)


def test_checkout_cancelled_during_its_ping_keeps_the_count():
    """A task cancelled while the pool pings an idle connection for it: that connection
    is closed and uncounted, the slot goes back, nothing leaks."""
    from sablecrest.pool import AsyncPool

    class Slow:
        terminated = False

        def usable(self):
            return True

        async def alive(self):
            await asyncio.sleep(10)

        def terminate(self):
            self.terminated = True

    async def main():
        async def factory():
            return Slow()

        pool = AsyncPool(factory, 2, 5)
        conn = Slow()
        pool.adopt(conn)
        task = asyncio.ensure_future(pool.acquire())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert conn.terminated and (pool.open, pool.held, pool.idle) == (0, 0, [])
        assert pool.status() == (2, 0, 0, 0)

    asyncio.run(main())


def _pair_events():
    """(label, what happens to the peer of an idle socket, whether it is still quiet)."""
    return [
        ("nothing arrived", lambda peer: None, True),
        ("a notice arrived", lambda peer: peer.send(b"N"), False),
        ("the server closed it", lambda peer: peer.close(), False),
    ]


@pytest.mark.parametrize("label, event, quiet", _pair_events(), ids=[e[0] for e in _pair_events()])
def test_socket_watch(label, event, quiet):
    """The pre-ping's look at an idle socket: quiet only while nothing arrived, asked
    again and again of one connection, and of another socket when the fd changes."""
    import socket

    from sablecrest.engines.base import SocketWatch, socket_quiet

    watch = SocketWatch()
    a, peer = socket.socketpair()
    other, other_peer = socket.socketpair()
    try:
        assert watch.quiet(a.fileno()) and watch.quiet(a.fileno())
        event(peer)
        assert watch.quiet(a.fileno()) is quiet is socket_quiet(a.fileno())
        other_peer.send(b"x")
        assert watch.quiet(other.fileno()) is False and watch.quiet(a.fileno()) is quiet
        fd = a.fileno()
        a.close()  # nothing open under that number any more: not quiet, never an error
        assert watch.quiet(fd) is False or fd == other.fileno()
    finally:
        for s in (a, peer, other, other_peer):
            s.close()
