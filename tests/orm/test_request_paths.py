"""A service's per-request paths on every engine, sync and async: a session that only
read ends without steps and gives its connection back; get() by key reads the row by the
model's one statement and then from the identity map; a one-row insert and a
load-change-commit write what they should; a JSON value changed in place is written
before a read and at the end of the block, never dropped by a path that skips the flush.
What the database holds is read over a second, raw connection."""

import asyncio
import json
import sqlite3
import uuid
from urllib.parse import urlsplit

import pytest

import sablecrest
from sablecrest import Field, Model

from ormdb import ENGINES, SKIP_SERVERS, URLS, open_db, wipe


class RqAuthor(Model):
    __tablename__ = "sc_rq_authors"
    name = Field(str, nullable=False)


class RqPost(Model):
    __tablename__ = "sc_rq_posts"
    author_id = Field(int, references=RqAuthor, nullable=False)
    title = Field(str, nullable=False)
    likes = Field(int, nullable=False, default=0)
    data = Field(dict)


class RqCode(Model):  # a key the application gives, converted for the driver on SQLite
    __tablename__ = "sc_rq_codes"
    id = Field(uuid.UUID, primary_key=True)
    label = Field(str, nullable=False)


MODELS = (RqAuthor, RqPost, RqCode)
POST_COLUMNS = ("id", "author_id", "title", "likes", "data")


class Raw:
    """A second, autocommitting connection to the database under test, through its driver."""

    def __init__(self, engine, path):
        self.engine = engine
        if engine == "sqlite":
            self.conn = sqlite3.connect(str(path), isolation_level=None)
        elif engine == "postgresql":
            import psycopg

            self.conn = psycopg.connect(URLS[engine], autocommit=True)
        else:
            import pymysql

            u = urlsplit(URLS[engine])
            self.conn = pymysql.connect(host=u.hostname, port=u.port, user=u.username, password=u.password,
                                        database=u.path.lstrip("/"), autocommit=True)

    def posts(self):
        cur = self.conn.cursor()
        cur.execute("SELECT id, author_id, title, likes, data FROM sc_rq_posts ORDER BY id")
        return [tuple(r[:4]) + (r[4] if r[4] is None or isinstance(r[4], dict) else json.loads(r[4]),)
                for r in cur.fetchall()]


@pytest.fixture(params=ENGINES)
def pair(request, tmp_path):
    engine = request.param
    if engine == "sqlite":  # a file, so that a second connection sees it
        db = sablecrest.connect("sqlite:///%s" % (tmp_path / "rq.db"), pool_size=3)
    else:
        db = open_db(engine, pool_size=3)
    db.migrate(*MODELS)
    raw = Raw(engine, tmp_path / "rq.db")
    yield db, raw
    raw.conn.close()
    wipe(db)
    db.close()


def select_text(db, columns, table, where):
    """A SELECT as the dialect writes it: quoted names, the driver's placeholders."""
    d = db.dialect
    conds = " AND ".join("%s = %s" % (d.q(c), d.style.placeholder(i + 1)) for i, c in enumerate(where))
    return "SELECT %s FROM %s WHERE %s LIMIT %s" % (", ".join(d.q(c) for c in columns), d.q(table), conds,
                                                    d.style.placeholder(len(where) + 1))


def test_request_flow(pair):
    db, raw = pair
    seen = []
    db.trace = lambda sql, params: seen.append((sql, None if params is None else list(params)))

    # ---- one insert per request: the key the database gave, the row it holds
    with db.session() as s:
        ann = RqAuthor(name="Ann")
        s.add(ann)
    posts = []
    for title in ("a", "b", "c"):
        with db.session() as s:
            p = RqPost(author_id=ann.id, title=title, data={"n": 1})
            s.add(p)
        posts.append(p)
    with db.session() as s:
        s.delete(s.get(RqPost, posts[1].id))
    with db.session() as s:  # after a deleted row: the key is the new row's, not a count
        last = RqPost(author_id=ann.id, title="d")
        s.add(last)
    assert raw.posts() == [(posts[0].id, ann.id, "a", 0, {"n": 1}), (posts[2].id, ann.id, "c", 0, {"n": 1}),
                           (last.id, ann.id, "d", 0, None)]
    assert posts[0].id < posts[1].id < posts[2].id < last.id

    # ---- get by key: the model's statement once, then the identity map; a read-only
    # session ends without a statement and gives its connection back
    seen.clear()
    with db.session() as s:
        got = s.get(RqPost, posts[0].id)
        assert s.get(RqPost, posts[0].id) is got
        assert s.get(RqPost, posts[1].id) is None  # deleted
        assert (got.title, got.likes, got.data) == ("a", 0, {"n": 1})
    text = select_text(db, POST_COLUMNS, "sc_rq_posts", ["id"])
    assert seen == [(text, [posts[0].id, 1]), (text, [posts[1].id, 1])]
    assert sablecrest.state(got) == "detached" and got.title == "a"
    assert db.pool.status().in_use == 0

    # ---- get of a key whose object is pending: the flush runs first, and the object
    # the read finds is the one added
    code = uuid.UUID("12345678-1234-5678-1234-567812345678")
    seen.clear()
    with db.session() as s:
        c = RqCode(id=code, label="x")
        s.add(c)
        assert s.get(RqCode, code) is c
    assert [q.split(" ")[0] for q, _ in seen] == ["INSERT", "SELECT"]
    with db.session() as s:
        assert s.get(RqCode, code).label == "x"
        assert s.get(RqCode, uuid.UUID(int=7)) is None

    # ---- load, change, commit
    with db.session() as s:
        s.get(RqPost, posts[2].id).likes += 1
    assert raw.posts()[1] == (posts[2].id, ann.id, "c", 1, {"n": 1})

    # ---- a JSON value changed in place: a read flushes it first, and the end of a block
    # that only read writes it (neither skips the flush for lack of an assignment)
    seen.clear()
    with db.session() as s:
        p = s.get(RqPost, posts[0].id)
        p.data["n"] = 2
        assert s.select(RqPost).where(RqPost.likes == 0).count() == 2
    assert [q.split(" ")[0] for q, _ in seen] == ["SELECT", "UPDATE", "SELECT"]
    assert raw.posts()[0] == (posts[0].id, ann.id, "a", 0, {"n": 2})
    with db.session() as s:
        s.get(RqPost, posts[2].id).data["n"] = 3
    assert raw.posts()[1] == (posts[2].id, ann.id, "c", 1, {"n": 3})

    # ---- a block that raised after reading: the error propagates, the connection is back
    with pytest.raises(ZeroDivisionError):
        with db.session() as s:
            s.get(RqPost, posts[0].id)
            1 / 0
    status = db.pool.status()
    assert (status.in_use, status.waiting) == (0, 0) and status.idle >= 1
    db.trace = None


# ------------------------------------------------------------------ async


def async_url(engine, tmp_path):
    if engine == "sqlite":
        pytest.importorskip("aiosqlite")
        return "sqlite:///%s" % (tmp_path / "rq.db")
    pytest.importorskip("asyncpg" if engine == "postgresql" else "asyncmy")
    return URLS[engine]


@pytest.mark.parametrize("engine", ENGINES)
def test_async_request_flow(engine, tmp_path):
    url = async_url(engine, tmp_path)
    if engine != "sqlite":
        try:
            open_db(engine).close()  # no sc_* tables left from elsewhere
        except Exception:
            if SKIP_SERVERS:
                pytest.skip("%s is not reachable" % engine)
            raise
    raw = Raw(engine, tmp_path / "rq.db")

    async def flow():
        db = await sablecrest.connect_async(url, pool_size=2)
        await db.migrate(*MODELS)
        async with db.session() as s:
            ann = RqAuthor(name="Ann")
            s.add(ann)
            s.add(RqPost(author_id=ann, title="a", data={"n": 1}))
        seen = []
        db.trace = lambda sql, params: seen.append(sql)
        async with db.session() as s:
            p = (await s.select(RqPost).all())[0]
            assert await s.get(RqPost, p.id) is p
        assert len(seen) == 1 and sablecrest.state(p) == "detached"
        assert db.pool.status().in_use == 0
        async with db.session() as s:  # changed in place, the block only read: written
            (await s.get(RqPost, p.id)).data["n"] = 5
        async with db.session() as s:
            (await s.get(RqPost, p.id)).likes += 2
        with pytest.raises(ZeroDivisionError):
            async with db.session() as s:
                await s.get(RqPost, p.id)
                1 / 0
        assert db.pool.status().in_use == 0
        await db.close()
        return ann.id, p.id

    try:
        a, p = asyncio.run(flow())
        assert raw.posts() == [(p, a, "a", 2, {"n": 5})]
    finally:
        raw.conn.close()
        if engine != "sqlite":
            wipe(open_db(engine))
