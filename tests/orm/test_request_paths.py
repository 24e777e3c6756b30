"""A service's per-request paths on every engine, sync and async: a session that only
read ends without steps and gives its connection back; get() by key reads the row by the
model's one statement and then from the identity map; a one-row insert and a
load-change-commit write what they should; a JSON value changed in place is written
before a read and at the end of the block, never dropped by a path that skips the flush.
What the database holds is read over a second, raw connection."""

import asyncio
import datetime as dt
import enum
import json
import sqlite3
import uuid
from decimal import Decimal
from urllib.parse import urlsplit

import pytest

import sablecrest
from sablecrest import Field, Model, exists, func, statements

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
    at = Field(dt.datetime, timezone=True)


class Tier(enum.Enum):
    LOW = "low"
    HIGH = "high"


class RqItem(Model):  # a value of each kind a driver takes converted on some engine
    __tablename__ = "sc_rq_items"
    author_id = Field(int, references=RqAuthor)
    qty = Field(int, nullable=False)
    price = Field(Decimal, db_type="DECIMAL(10,2)")
    at = Field(dt.datetime)
    tier = Field(Tier)
    label = Field(str)


MODELS = (RqAuthor, RqPost, RqCode, RqItem)
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


# ------------------------------------------------------------------ a shape's text and its parameters

T0 = dt.datetime(2024, 1, 1, 8)
I = RqItem


def seed_items(db):
    with db.session() as s:
        ann, bob = RqAuthor(name="Ann"), RqAuthor(name="Bob")
        s.add_all([ann, bob])
        s.add_all([I(author_id=ann, qty=q, price=Decimal(p), at=T0 + dt.timedelta(hours=q), tier=t, label=lab)
                   for q, p, t, lab in [(1, "1.50", Tier.LOW, "a%b"), (2, "2.50", Tier.HIGH, None),
                                        (3, "3.50", Tier.LOW, "c"), (4, "0.25", None, "d")]])
        s.add(I(author_id=bob, qty=5, price=None, at=None, tier=Tier.HIGH, label="e"))
    return ann.id, bob.id


# (label, the query for a value, two values: the same shape run with each, in one
# session, must answer for that value; then the expected quantities for each). Every way
# a parameter is collected: a value as it is, through its column's converter (Decimal,
# datetime, enum on SQLite; a date on the others), None, none at all, and by the
# condition itself (IN lists, LIKE, BETWEEN, OR, NOT, EXISTS, a subquery, arithmetic).
SHAPES = [
    ("int", lambda s, v: s.select(I).where(I.qty > v), (2, 4), ([3, 4, 5], [5])),
    ("Decimal", lambda s, v: s.select(I).where(I.price >= v), (Decimal("2"), Decimal("3.5")), ([2, 3], [3])),
    ("datetime", lambda s, v: s.select(I).where(I.at < v), (T0 + dt.timedelta(hours=2, minutes=1), T0),
     ([1, 2], [])),
    ("enum", lambda s, v: s.select(I).where(I.tier == v), (Tier.LOW, Tier.HIGH), ([1, 3], [2, 5])),
    ("compared with None", lambda s, v: s.select(I).where(I.label != v, I.qty > 1), (None, None), ([3, 4, 5],) * 2),
    ("two columns", lambda s, v: s.select(I).where(I.qty >= I.author_id, I.qty < v), (3, 5), ([1, 2], [1, 2, 3, 4])),
    ("IN list", lambda s, v: s.select(I).where(I.qty.in_(v)), ([1, 5], [2, 3, 4]), ([1, 5], [2, 3, 4])),
    ("LIKE", lambda s, v: s.select(I).where(I.label.like(v)), ("a\\%%", "%"), ([1], [1, 3, 4, 5])),
    ("BETWEEN Decimals", lambda s, v: s.select(I).where(I.price.between(*v)), ((Decimal("1"), Decimal("3")),
                                                                                 (Decimal("0"), Decimal("1")),),
     ([1, 2], [4])),
    ("OR and NOT", lambda s, v: s.select(I).where((I.qty == v) | ~(I.tier == Tier.LOW)), (1, 3), ([1, 2, 5], [2, 3, 5])),
    ("arithmetic", lambda s, v: s.select(I).where(I.qty * 2 - v > 3), (1, 5), ([3, 4, 5], [5])),
    ("EXISTS", lambda s, v: s.select(I).where(exists(s.select(RqAuthor).where(RqAuthor.id == I.author_id,
                                                                                 RqAuthor.name == v))),
     ("Bob", "Cy"), ([5], [])),
    ("subquery value", lambda s, v: s.select(I).where(I.qty > s.select(func.min(I.qty)).where(I.qty > v)),
     (2, 3), ([4, 5], [5])),
    ("column select", lambda s, v: s.select(I.qty, I.price * v).where(I.qty <= 2).order_by(I.qty),
     (Decimal("2"), 3), ([(1, Decimal("3.00")), (2, Decimal("5.00"))], [(1, Decimal("4.50")), (2, Decimal("7.50"))])),
    ("grouped with HAVING", lambda s, v: s.select(I.author_id, func.sum(I.qty)).group_by(I.author_id).having(
        func.sum(I.qty) > v).order_by(I.author_id), (4, 9), ("both", "Ann")),
]


def answer(rows, ids):
    """Quantities of items (their qty), or column rows as they are."""
    if rows and isinstance(rows[0], I):
        return sorted(r.qty for r in rows)
    return rows


@pytest.mark.parametrize("label, query, values, expected", SHAPES, ids=[row[0] for row in SHAPES])
def test_a_shape_runs_with_each_value(pair, label, query, values, expected):
    db, _ = pair
    ann, bob = seed_items(db)
    if expected == ("both", "Ann"):
        expected = ([(ann, 10), (bob, 5)], [(ann, 10)])
    with db.session() as s:
        for v, want in zip(values, expected):
            assert answer(query(s, v).all(), (ann, bob)) == want
    plans = len(db.dialect._plans)
    with db.session() as s:  # the shape again: no new plan
        assert answer(query(s, values[0]).all(), (ann, bob)) == expected[0]
    assert len(db.dialect._plans) == plans


def test_plans_past_the_cache_limit(pair, monkeypatch):
    db, _ = pair
    seed_items(db)
    monkeypatch.setattr(statements, "_CACHE_LIMIT", 3)
    with db.session() as s:
        for _ in range(2):
            for n in range(1, 6):  # five shapes: IN lists of 1, 2, 4, 8 and 16 placeholders
                values = list(range(1, 2 ** (n - 1) + 1))
                assert sorted(i.qty for i in s.select(I).where(I.qty.in_(values)).all()) == values[:5]
                assert len(db.dialect._plans) <= 3


# update() of a shape with values, expressions, None and a new object, each run twice
# with other values: the rows as the database holds them after each.
def test_set_based_updates_of_one_shape(pair):
    db, raw = pair
    ann, bob = seed_items(db)
    rows = lambda: [tuple(r) for r in raw_rows(raw, "SELECT qty, price, at, tier, label, author_id FROM sc_rq_items "
                                                    "ORDER BY qty")]
    with db.session() as s:
        for qty, price, at, extra in (([1, 2], Decimal("9.99"), T0, 10), ([11, 12], Decimal("1.01"), None, 20)):
            n = s.select(I).where(I.qty.in_(qty)).update(price=price, at=at, qty=I.qty + extra, tier=Tier.HIGH)
            assert n == 2
        carl = RqAuthor(name="Carl")
        s.add(carl)
        assert s.select(I).where(I.qty == 5).update(author_id=carl, label=None) == 1
        assert s.select(I).where(I.qty == 3).update(author_id=bob, label="z") == 1
    got = rows()
    assert [r[0] for r in got] == [3, 4, 5, 31, 32]
    assert [r[4] for r in got] == ["z", "d", None, "a%b", None] and got[2][5] == carl.id and got[0][5] == bob
    assert [Decimal(str(r[1])) for r in got[3:]] == [Decimal("1.01")] * 2 and got[3][2] is None


def raw_rows(raw, sql):
    cur = raw.conn.cursor()
    cur.execute(sql)
    return [tuple(r) for r in cur.fetchall()]


# ------------------------------------------------------------------ a read's flush, and its failure

# Each read flushes what is pending first; a flush that fails after it wrote (here the
# second table's INSERT) rolls the transaction back, whichever read ran it.
READS = [
    ("all", lambda s: s.select(RqAuthor).all()),
    ("count", lambda s: s.select(RqAuthor).count()),
    ("scalar", lambda s: s.select(func.count(RqAuthor.id)).scalar()),
    ("get", lambda s: s.get(RqAuthor, 10 ** 6)),
    ("execute a query", lambda s: s.execute(s.select(RqAuthor))),
    ("load_related", lambda s: s.load_related(s.select(RqPost).all(), RqPost.author_id)),
]


@pytest.mark.parametrize("label, read", READS, ids=[row[0] for row in READS])
def test_a_read_whose_flush_fails_rolls_back(pair, label, read):
    db, raw = pair
    code = uuid.UUID(int=1)
    with db.session() as s:
        s.add(RqCode(id=code, label="taken"))
    with db.session() as s:
        new = RqAuthor(name="Dee")
        s.add_all([new, RqCode(id=code, label="again")])  # the author's INSERT runs, then this one fails
        with pytest.raises(sablecrest.IntegrityError):
            read(s)
        assert (new.id, sablecrest.state(new), s._in_txn) == (None, "transient", False)
        s.add(new)  # and again, alone: written once
    assert raw_rows(raw, "SELECT name FROM sc_rq_authors") == [("Dee",)]


# ------------------------------------------------------------------ a select of columns


def test_a_column_select_gives_what_objects_hold(pair):
    """A field selected as a column comes back as its objects hold it, on every engine:
    an enum's member, JSON as dict or list, an aware datetime in UTC (the driver's own
    value for each differs between the engines)."""
    db, _ = pair
    seed_items(db)
    at = dt.datetime(2024, 5, 6, 7, 8, 9, tzinfo=dt.timezone(dt.timedelta(hours=2)))
    with db.session() as s:
        ann = s.select(RqAuthor).where(RqAuthor.name == "Ann").first()
        s.add_all([RqPost(author_id=ann, title="t", data={"k": [1, "x"]}), RqCode(id=uuid.UUID(int=9), label="c", at=at)])
    with db.session() as s:
        got = [s.select(RqPost.data).first(), s.select(I.tier, I.qty).where(I.qty < 3).order_by(I.qty).all(),
               s.select(RqCode.id, RqCode.at).first(), s.select(I.tier).where(I.qty == 4).first()]
        assert got == [({"k": [1, "x"]},), [(Tier.LOW, 1), (Tier.HIGH, 2)], (uuid.UUID(int=9), at), (None,)]
        assert got[2][1].tzinfo is dt.timezone.utc and type(got[1][0][0]) is Tier
        objs = (s.select(RqPost).first(), s.get(RqCode, uuid.UUID(int=9)))
        assert (objs[0].data, objs[1].at, objs[1].at.tzinfo) == (got[0][0], got[2][1], got[2][1].tzinfo)
