"""The ORM flow through the public API on sqlite3, psycopg 3 and PyMySQL against real
servers: names that need quoting, every type, every condition, and the session's
promises (identity map, dirty-only updates, rollback, related loading, deletes), with
what the database holds checked over a second connection."""

import datetime as dt
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Field, Model, StaleDataError

from ormdb import ENGINES, SCHEMA, open_db, wipe


class ScAuthor(Model):
    __tablename__ = "sc_authors"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    userName = Field(str)  # mixed case
    order = Field(int, default=0)  # a reserved word


class ScPost(Model):
    __tablename__ = "sc_posts"
    id = Field(int, primary_key=True)
    author_id = Field(int, references=ScAuthor, nullable=False)
    title = Field(str, nullable=False)
    select = Field(str)  # a reserved word
    likes = Field(int)
    score = Field(float)
    flag = Field(bool)
    data = Field(bytes)
    price = Field(Decimal)
    at = Field(dt.datetime)
    day = Field(dt.date)


class ScItem(Model):  # schema-qualified, mixed-case table, str key
    __tablename__ = SCHEMA + ".sc_Items"
    code = Field(str, primary_key=True)
    qty = Field(int, nullable=False, default=1)


MODELS = (ScAuthor, ScPost, ScItem)


@pytest.fixture(params=ENGINES)
def pair(request, tmp_path):
    """The database under test and a second connection to it (its own Database)."""
    engine = request.param
    if engine == "sqlite":
        url = "sqlite:///%s" % (tmp_path / "flow.db")

        def setup(raw):  # WAL: one connection's open read does not block the other's writes
            raw.execute("PRAGMA journal_mode = WAL")
            raw.execute("ATTACH DATABASE '%s' AS %s" % (tmp_path / "app.db", SCHEMA))

        db, other = (sablecrest.connect(url, on_connect=setup) for _ in range(2))
    else:
        db, other = open_db(engine), open_db(engine)
    db.migrate(*MODELS)
    yield db, other
    wipe(db)
    db.close()
    other.close()


def rows(db, sql, params=None):
    """What the database holds, read in a session of its own."""
    with db.session() as s:
        return [tuple(r) for r in s.execute(sql, params).rows]


def statements(db):
    seen = []
    db.trace = lambda sql, params: seen.append(sql)
    return seen


TEXT = "100% 'single' \"double\" \\back; x'); DROP TABLE sc_posts; --"
FULL = dict(
    title=TEXT,
    select="None",
    likes=-7,
    score=-0.5,
    flag=True,
    data=b"\x00\xff'%\\",
    price=Decimal("12.50"),
    at=dt.datetime(2024, 2, 29, 23, 59, 58, 123456),
    day=dt.date(1999, 12, 31),
)


def test_types_round_trip(pair):
    db, other = pair
    with db.session() as s:
        ann = ScAuthor(name="Ann", userName="ann", order=3)
        s.add(ann)
        full = ScPost(author_id=ann, **FULL)
        empty = ScPost(author_id=ann, title="")
        s.add_all([full, empty, ScItem(code="A%'1")])
    assert isinstance(full.id, int) and full.author_id == ann.id  # keys set, reference resolved

    d = db.dialect
    sql = "SELECT %s FROM %s WHERE %s = %s" % (
        ", ".join(d.engine.quote(n) for n in FULL), d.engine.quote("sc_posts"), d.engine.quote("id"), ":p1")
    (got,) = rows(other, sql, {"p1": full.id})
    raw = dict(zip(FULL, got))
    assert raw["title"] == TEXT and raw["select"] == "None" and raw["likes"] == -7 and raw["score"] == -0.5
    assert bool(raw["flag"]) is True and bytes(raw["data"]) == FULL["data"]
    assert Decimal(str(raw["price"])) == Decimal("12.5")
    assert str(raw["at"]).replace(" ", "T").startswith("2024-02-29T23:59:58.123456")
    assert str(raw["day"]) == "1999-12-31"

    with other.session() as s:
        back = s.get(ScPost, full.id)
        for name, want in FULL.items():
            value = getattr(back, name)
            assert value == want and type(value) is type(want), name
        blank = s.get(ScPost, empty.id)
        assert [getattr(blank, n) for n in FULL if n != "title"] == [None] * 8 and blank.title == ""
        item = s.get(ScItem, "A%'1")
        assert (item.code, item.qty) == ("A%'1", 1)
        author = s.get(ScAuthor, ann.id)
        assert (author.name, author.userName, author.order) == ("Ann", "ann", 3)


def _seed(db):
    with db.session() as s:
        a, b = ScAuthor(name="Ann"), ScAuthor(name="Bob", userName="bob")
        s.add_all([a, b])
        for i in range(1, 11):
            s.add(ScPost(author_id=a if i % 2 else b, title="post %d%s" % (i, "%" if i == 3 else ""),
                         likes=None if i == 5 else i * 10, flag=i % 3 == 0, select="s%d" % i))
    return a.id, b.id


P = ScPost
CONDITIONS = [  # (label, condition, expected post numbers)
    ("eq", lambda a, b: P.likes == 30, [3]),
    ("ne", lambda a, b: P.likes != 30, [1, 2, 4, 6, 7, 8, 9, 10]),
    ("lt", lambda a, b: P.likes < 30, [1, 2]),
    ("le", lambda a, b: P.likes <= 30, [1, 2, 3]),
    ("gt", lambda a, b: P.likes > 80, [9, 10]),
    ("ge", lambda a, b: P.likes >= 80, [8, 9, 10]),
    ("eq None", lambda a, b: P.likes == None, [5]),  # noqa: E711
    ("ne None", lambda a, b: P.likes != None, [1, 2, 3, 4, 6, 7, 8, 9, 10]),  # noqa: E711
    ("is None", lambda a, b: P.likes.is_(None), [5]),
    ("is not None", lambda a, b: P.likes.is_not(None), [1, 2, 3, 4, 6, 7, 8, 9, 10]),
    ("null-safe is", lambda a, b: P.likes.is_(20), [2]),
    ("null-safe is not", lambda a, b: P.likes.is_not(20), [1, 3, 4, 5, 6, 7, 8, 9, 10]),
    ("bool", lambda a, b: P.flag == True, [3, 6, 9]),  # noqa: E712
    ("in", lambda a, b: P.likes.in_([10, 30, 999]), [1, 3]),
    ("in empty", lambda a, b: P.likes.in_([]), []),
    ("not in", lambda a, b: P.likes.not_in([10, 30]), [2, 4, 6, 7, 8, 9, 10]),
    ("not in empty", lambda a, b: P.likes.not_in([]), list(range(1, 11))),
    ("in large", lambda a, b: P.likes.in_(range(20, 400000, 10)), [2, 3, 4, 6, 7, 8, 9, 10]),  # past every variable limit
    ("in fk objects", lambda a, b: P.author_id == b, [2, 4, 6, 8, 10]),
    ("like", lambda a, b: P.title.like("post 1%"), [1, 10]),
    ("like escaped", lambda a, b: P.title.like("%\\%"), [3]),
    ("and", lambda a, b: (P.likes > 20) & (P.likes < 50), [3, 4]),
    ("or", lambda a, b: (P.likes < 20) | (P.likes > 90), [1, 10]),
    ("not", lambda a, b: ~(P.likes > 20), [1, 2]),
    ("nested", lambda a, b: ~((P.likes < 30) | (P.author_id == a)) & P.select.in_(["s4", "s6", "s1"]), [4, 6]),
    ("column to column", lambda a, b: P.author_id == P.id, [1, 2]),
]


def test_conditions(pair):
    db, _ = pair
    a, b = _seed(db)
    with db.session() as s:
        number = {p.id: int(p.title.split()[1].rstrip("%")) for p in s.select(P).all()}
        wrong = []
        for label, make, want in CONDITIONS:
            got = sorted(number[p.id] for p in s.select(P).where(make(a, b)).all())
            if got != want:
                wrong.append((label, got, want))
        assert wrong == []
        q = s.select(P).where(P.likes != None).order_by(P.author_id.desc(), P.likes)  # noqa: E711
        assert [number[p.id] for p in q.limit(3).all()] == [2, 4, 6]
        assert [number[p.id] for p in q.offset(7).all()] == [7, 9]
        assert [number[p.id] for p in q.limit(2).offset(1).all()] == [4, 6]
        assert (q.count(), q.limit(4).count(), q.offset(8).count()) == (9, 4, 1)
        assert number[q.first().id] == 2 and s.select(P).where(P.likes > 1000).first() is None
    # One text per query shape: paging values and list lengths in one bucket share it.
    seen = statements(db)
    with db.session() as s:
        for n in (1, 2, 3):
            s.select(P).where(P.likes.in_(range(n + 1, n + 4))).limit(n).offset(n).all()
    assert len(seen) == 3 and len(set(seen)) == 1


def test_session_semantics(pair):
    db, other = pair
    a_id, b_id = _seed(db)
    q = db.dialect.engine.quote
    ph = ":p%d".__mod__  # named parameters, the same on every driver

    # Identity map: one object per row per session, and a get() needs no query once loaded.
    with db.session() as s:
        posts = s.select(P).order_by(P.id).all()
        seen = statements(db)
        assert s.get(P, posts[0].id) is posts[0] and seen == []
        assert s.select(P).where(P.id == posts[1].id).first() is posts[1]
        # load_related: one SELECT for the authors not loaded yet, then none.
        related = s.load_related(posts, P.author_id)
        assert sorted(related) == [a_id, b_id] and len(seen) == 2
        assert s.load_related(posts, P.author_id) == related and len(seen) == 2
        assert related[a_id] is s.get(ScAuthor, a_id)

    # Dirty-only updates: another connection changes one column, we change another;
    # both survive. Setting a field back to its loaded value writes nothing.
    with db.session() as s:
        p1 = s.get(P, posts[0].id)
        p2 = s.get(P, posts[1].id)
        with other.session() as o:
            o.execute("UPDATE %s SET %s = %s WHERE %s = %s" % (q("sc_posts"), q("title"), ph(1), q("id"), ph(2)),
                      {"p1": "changed elsewhere", "p2": p1.id})
        seen = statements(db)
        p1.likes = 11
        p1.select = None  # "s1" -> None
        p2.likes = p2.likes + 1
        p2.likes = p2.likes - 1  # back to the loaded value: clean again
        assert sablecrest.changes(p1) == {"select": ("s1", None), "likes": (10, 11)} and s.dirty == [p1]
    assert len(seen) == 1 and seen[0].startswith("UPDATE") and q("title") not in seen[0]
    assert rows(other, "SELECT %s, %s, %s FROM %s WHERE %s = %s" % (q("title"), q("likes"), q("select"),
                q("sc_posts"), q("id"), ph(1)), {"p1": p1.id}) == [("changed elsewhere", 11, None)]

    # None -> "None" is a change, and 1 -> True -> 1.0 each are too.
    with db.session() as s:
        p1 = s.get(P, p1.id)
        p1.select = "None"
        p1.score = 1.0
        s.flush()
        p1.score = 1
        assert sablecrest.changes(p1) == {"score": (1.0, 1)}
    assert rows(other, "SELECT %s FROM %s WHERE %s = %s" % (q("select"), q("sc_posts"), q("id"), ph(1)),
                {"p1": p1.id}) == [("None",)]

    # An exception in the block rolls everything back; the objects are detached and
    # forget their snapshot, so adding one again writes all of its fields.
    with pytest.raises(RuntimeError):
        with db.session() as s:
            p1 = s.get(P, p1.id)
            p1.likes = 500
            s.add(ScAuthor(name="Ghost"))
            s.flush()
            raise RuntimeError("boom")
    assert sablecrest.state(p1) == "detached" and p1.likes == 500
    for conn in (db, other):  # db: the very connection the session used, back in the pool
        assert rows(conn, "SELECT COUNT(*) FROM %s WHERE %s = %s" % (q("sc_authors"), q("name"), ph(1)), {"p1": "Ghost"}) == [(0,)]
    with db.session() as s:
        s.add(p1)
        assert set(sablecrest.changes(p1)) == {f.name for f in P.__sc_info__.fields}
    assert rows(other, "SELECT %s FROM %s WHERE %s = %s" % (q("likes"), q("sc_posts"), q("id"), ph(1)),
                {"p1": p1.id}) == [(500,)]

    # A database error in a flush: the driver's exception, and nothing of the flush stays.
    with pytest.raises(Exception) as err:
        with db.session() as s:
            s.add(ScItem(code="dup"))
            s.add(ScAuthor(name="Half"))
            s.flush()
            s.add(ScItem(code="dup"))
            s.add(ScAuthor(name="Half"))
            s.flush()
    assert not isinstance(err.value, (ValueError, TypeError)), err.value
    assert rows(other, "SELECT COUNT(*) FROM %s WHERE %s = %s" % (q("sc_authors"), q("name"), ph(1)), {"p1": "Half"})[0][0] == 0

    # A NOT NULL field left None fails before any statement runs.
    seen = statements(db)
    with db.session() as s:
        s.add(ScPost(author_id=a_id, title=None))
        with pytest.raises(ValueError, match=r"^ScPost.title is NOT NULL but is None$"):
            s.flush()
        assert seen == []
        s.rollback()

    # Deletes: children before parents in one flush; a row deleted meanwhile is stale.
    with db.session() as s:
        bob = s.get(ScAuthor, b_id)
        for p in s.select(P).where(P.author_id == b_id).all():
            s.delete(p)
        s.delete(bob)
    assert rows(other, "SELECT COUNT(*) FROM %s WHERE %s = %s" % (q("sc_posts"), q("author_id"), ph(1)), {"p1": b_id})[0][0] == 0
    with pytest.raises(StaleDataError):
        with db.session() as s:
            p = s.select(P).order_by(P.id).first()
            with other.session() as o:
                o.execute("DELETE FROM %s WHERE %s = %s" % (q("sc_posts"), q("id"), ph(1)), {"p1": p.id})
            p.likes = 1


def test_upsert(pair):
    db, other = pair
    with db.session() as s:
        s.add(ScItem(code="a", qty=1))
    with db.session() as s:  # one statement: the existing key is updated, the new one inserted
        seen = statements(db)
        s.upsert(ScItem(code="a", qty=5), ScItem(code="b", qty=7))
        assert len(seen) == 1
        assert s.get(ScItem, "a").qty == 5 and len(seen) == 1  # now in the identity map
    with other.session() as s:
        assert sorted((i.code, i.qty) for i in s.select(ScItem).all()) == [("a", 5), ("b", 7)]


def test_commit_after_a_caught_error(pair):
    """PostgreSQL aborts a transaction at its first error: the commit must say so rather
    than report success for work that was rolled back. The other engines carry on."""
    db, other = pair
    aborts = db.dialect.engine.name == "postgresql"
    try:
        with db.session() as s:
            s.add(ScItem(code="kept?"))
            s.flush()
            with pytest.raises(Exception):
                s.execute("SELECT * FROM sc_no_such_table")
        committed = True
    except Exception as exc:
        assert aborts and "rolled back, not committed" in str(exc)
        committed = False
    assert committed is not aborts
    with other.session() as s:
        assert s.select(ScItem).count() == (0 if aborts else 1)


def test_batched_updates(pair):
    """Many rows changing the same fields: one statement per batch where the driver would
    send each row alone (MariaDB), executemany elsewhere; each row gets its own values,
    and a row deleted meanwhile makes the whole flush fail."""
    db, other = pair
    _seed(db)
    q, ph = db.dialect.engine.quote, ":p%d".__mod__
    with db.session() as s:
        posts = s.select(P).order_by(P.id).all()
        for i, p in enumerate(posts):
            p.likes = 1000 + i
            if i % 3 == 0:
                p.select = "x%d" % i
    with other.session() as s:
        got = [(p.likes, p.select) for p in s.select(P).order_by(P.id).all()]
    assert got == [(1000 + i, "x%d" % i if i % 3 == 0 else "s%d" % (i + 1)) for i in range(10)]
    with pytest.raises(StaleDataError):
        with db.session() as s:
            posts = s.select(P).order_by(P.id).all()
            with other.session() as o:
                o.execute("DELETE FROM %s WHERE %s = %s" % (q("sc_posts"), q("id"), ph(1)), {"p1": posts[4].id})
            for p in posts:
                p.likes = 0
    assert rows(other, "SELECT COUNT(*) FROM %s WHERE %s = 0" % (q("sc_posts"), q("likes"))) == [(0,)]
