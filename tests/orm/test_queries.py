"""Queries across tables and set-based writes on sqlite3, psycopg 3 and PyMySQL: joins,
column and aggregate selects (results as the Python type of their kind on every engine),
subqueries, arithmetic, functions, UPDATE and DELETE by condition with the identity
map kept true, and the bad input refused before anything runs. What the database holds
is read over a second, raw connection."""

import datetime as dt
import enum
import sqlite3
import threading
import uuid
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Field, Model, NotLoadedError, exists, func, relation

from ormdb import ENGINES, SCHEMA, Raw, open_db, wipe


class QAuthor(Model):
    __tablename__ = "sc_q_authors"
    name = Field(str, nullable=False)
    born = Field(dt.date)
    posts = relation("QPost.author_id")


class QPost(Model):
    __tablename__ = "sc_q_posts"
    author_id = Field(int, references=QAuthor, nullable=False)
    title = Field(str, nullable=False)
    likes = Field(int, nullable=False, default=0)
    price = Field(Decimal, db_type="DECIMAL(10,2)")
    score = Field(float)
    at = Field(dt.datetime)
    author = relation(author_id)
    tags = relation("QPostTag.post_id", "QPostTag.tag_id")


class QTag(Model):
    __tablename__ = "sc_q_tags"
    name = Field(str, nullable=False)
    posts = relation("QPostTag.tag_id", "QPostTag.post_id")


class QPostTag(Model):
    __tablename__ = "sc_q_post_tags"
    post_id = Field(int, references=QPost, nullable=False)
    tag_id = Field(int, references=QTag, nullable=False)


class QItem(Model):  # schema-qualified, mixed case: qualified column names name the schema too
    __tablename__ = SCHEMA + ".sc_Q_items"
    code = Field(str, primary_key=True)
    qty = Field(int, nullable=False)


class QState(str, enum.Enum):
    DRAFT = "draft"
    LIVE = "live"


class QWare(Model):  # money and optimistic locking, written by set-based updates
    __tablename__ = "sc_q_wares"
    price = Field(Decimal, nullable=False, db_type="DECIMAL(10,2)")
    stock = Field(int, nullable=False)
    version = Field(int, version=True)
    state = Field(QState, nullable=False, default=QState.DRAFT)
    meta = Field(dict, default=dict)
    added = Field(dt.datetime, timezone=True)


MODELS = (QAuthor, QPost, QTag, QPostTag, QItem, QWare)
A, P, T, L = QAuthor, QPost, QTag, QPostTag


@pytest.fixture(params=ENGINES)
def pair(request, tmp_path):
    """The database under test (tables made, rows seeded) and a raw second connection."""
    engine = request.param
    if engine == "sqlite":
        def setup(raw):
            raw.execute("PRAGMA journal_mode = WAL")
            raw.execute("ATTACH DATABASE '%s' AS %s" % (tmp_path / "app.db", SCHEMA))

        db = sablecrest.connect("sqlite:///%s" % (tmp_path / "q.db"), on_connect=setup)
    else:
        db = open_db(engine)
    db.migrate(*MODELS)
    raw = Raw(engine, tmp_path / "q.db")
    yield db, raw, seed(db)
    raw.conn.close()
    wipe(db)
    db.close()


def seed(db):
    with db.session() as s:
        ann, bob, cy = A(name="Ann", born=dt.date(1980, 1, 2)), A(name="Bob"), A(name="Cy", born=dt.date(1990, 5, 6))
        s.add_all([ann, bob, cy])
        p1 = P(author_id=ann, title="a1", likes=10, price=Decimal("1.50"), score=0.5, at=dt.datetime(2024, 1, 1, 10))
        p2 = P(author_id=ann, title="a2", likes=20, price=Decimal("2.25"), score=1.5,
               at=dt.datetime(2024, 3, 1, 11, 30, 15, 123456))
        p3 = P(author_id=bob, title="b1", likes=5)
        p4 = P(author_id=bob, title="b2", likes=0, price=Decimal("0.10"), score=-1.0, at=dt.datetime(2023, 12, 31, 23, 59, 59))
        x, y, z = T(name="x"), T(name="y"), T(name="z")
        s.add_all([p1, p2, p3, p4, x, y, z])
        s.add_all([L(post_id=p1, tag_id=x), L(post_id=p1, tag_id=y), L(post_id=p2, tag_id=x), L(post_id=p4, tag_id=y)])
        s.add_all([QItem(code="i1", qty=1), QItem(code="i2", qty=5), QItem(code="i3", qty=9)])
    return {o.name if isinstance(o, (A, T)) else o.title: o.id for o in (ann, bob, cy, p1, p2, p3, p4, x, y, z)}


def typed(rows):
    return [tuple((type(v).__name__, v) for v in r) for r in rows]


def t(*values):
    return tuple((type(v).__name__, v) for v in values)


# (label, query given a session and the seeded ids, expected rows as typed() gives them)
SELECTS = [
    ("count per author", lambda s, k: s.select(P.author_id, func.count()).group_by(P.author_id).order_by(P.author_id),
     lambda k: [t(k["Ann"], 2), t(k["Bob"], 2)]),
    ("sums and bounds keep their types", lambda s, k: s.select(
        func.sum(P.likes), func.sum(P.price), func.sum(P.score), func.max(P.at), func.min(A.born)).join(P.author),
     lambda k: [t(35, Decimal("3.85"), 1.0, dt.datetime(2024, 3, 1, 11, 30, 15, 123456), dt.date(1980, 1, 2))]),
    ("avg of ints is a float", lambda s, k: s.select(func.avg(P.likes), func.count(P.price)),
     lambda k: [t(8.75, 3)]),
    ("outer join keeps authors without posts", lambda s, k: s.select(A.name, func.count(P.id), func.coalesce(
        func.sum(P.likes), 0)).outer_join(A.posts).group_by(A.id, A.name).order_by(A.name),
     lambda k: [t("Ann", 2, 30), t("Bob", 2, 5), t("Cy", 0, 0)]),
    ("having on a Decimal sum", lambda s, k: s.select(A.name).join(A.posts).group_by(A.id, A.name).having(
        func.sum(P.price) > Decimal("2")), lambda k: [t("Ann")]),
    ("many-to-many join", lambda s, k: s.select(T.name, func.count(P.id)).outer_join(T.posts).group_by(
        T.id, T.name).order_by(T.name), lambda k: [t("x", 2), t("y", 2), t("z", 0)]),
    ("distinct", lambda s, k: s.select(P.author_id).distinct().where(P.likes > 1).order_by(P.author_id),
     lambda k: [t(k["Ann"]), t(k["Bob"])]),
    ("arithmetic", lambda s, k: s.select(P.likes + 1, P.price * Decimal("2"), P.likes * 1.5, -P.likes).where(
        P.title == "a2"), lambda k: [t(21, Decimal("4.50"), 30.0, -20)]),
    ("expression conditions", lambda s, k: s.select(P.title).where(P.likes - 5 >= 5, P.likes.between(6, 20)).order_by(
        P.title), lambda k: [t("a1"), t("a2")]),
    ("text functions", lambda s, k: s.select(func.lower(A.name), func.upper(A.name), func.length(A.name)).where(
        A.name == "Ann"), lambda k: [t("ann", "ANN", 3)]),
    ("correlated scalar subquery", lambda s, k: s.select(A.name, s.select(func.count(P.id)).where(
        P.author_id == A.id)).order_by(A.name), lambda k: [t("Ann", 2), t("Bob", 2), t("Cy", 0)]),
    ("scalar subquery in a condition", lambda s, k: s.select(P.title).where(
        P.likes > s.select(func.avg(P.likes))).order_by(P.title), lambda k: [t("a1"), t("a2")]),
    ("in a subquery", lambda s, k: s.select(P.title).where(P.author_id.in_(
        s.select(A.id).where(A.born > dt.date(1979, 1, 1)))).order_by(P.title), lambda k: [t("a1"), t("a2")]),
    ("not in a subquery", lambda s, k: s.select(A.name).where(A.id.not_in(s.select(P.author_id))),
     lambda k: [t("Cy")]),
    ("exists", lambda s, k: s.select(A.name).where(exists(s.select(P).where(P.author_id == A.id, P.likes >= 20))),
     lambda k: [t("Ann")]),
    ("schema-qualified, nested", lambda s, k: s.select(QItem.code).where(
        QItem.qty > s.select(func.avg(QItem.qty))), lambda k: [t("i3")]),
]


def test_selects(pair):
    db, raw, k = pair
    with db.session() as s:
        wrong = [(label, typed(make(s, k).all()), want(k)) for label, make, want in SELECTS
                 if typed(make(s, k).all()) != want(k)]
        assert wrong == []
        assert s.select(func.max(P.likes)).scalar() == 20 and s.select(P.id).where(P.likes > 99).scalar() is None
        assert s.select(P.title, P.likes).where(P.likes > 15).first() == ("a2", 20)
        now = s.select(P.id, func.now()).first()[1]
        assert type(now) is dt.datetime and now.tzinfo is None
        assert abs(now - dt.datetime.now(dt.timezone.utc).replace(tzinfo=None)) < dt.timedelta(minutes=5)
        # Objects through a join: conditions and orderings on the joined model.
        q = s.select(P).join(P.author).where(A.name == "Bob").order_by(P.likes.desc())
        assert [p.title for p in q.all()] == ["b1", "b2"] and q.count() == 2
        assert q.first() is s.get(P, k["b1"])
        grouped = s.select(A).join(A.posts).group_by(A.id).having(func.count(P.id) > 1).order_by(A.name)
        assert [a.name for a in grouped.all()] == ["Ann", "Bob"] and grouped.count() == 2
    # One text per shape: other values, the same statement.
    seen = []
    db.trace = lambda sql, params: seen.append(sql)
    with db.session() as s:
        for name in ("Ann", "Bob", "Cy"):
            s.select(A.name, func.count(P.id)).outer_join(A.posts).where(A.name == name).group_by(A.id, A.name).all()
    assert len(seen) == 3 and len(set(seen)) == 1


class Mood(enum.Enum):
    CALM = "calm"
    GLAD = "glad"


class QEvent(Model):
    """A field of each type that a column select reads as its field reads it (an enum's
    member, JSON, an aware datetime in UTC) and an aggregate as its column's type."""

    __tablename__ = "sc_q_events"
    id = Field(int, primary_key=True)
    mood = Field(Mood)
    data = Field(dict)
    at = Field(dt.time)
    took = Field(dt.timedelta)
    key = Field(uuid.UUID)
    when = Field(dt.datetime, timezone=True)


UTC = dt.timezone.utc
KEY = uuid.UUID("12345678-1234-5678-1234-567812345678")
NOON_NY = dt.datetime(2024, 5, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=-5)))  # 17:00 UTC
E = QEvent
# (label, query given a session, expected rows as typed() gives them): each ran into a
# TypeError, or came back in the driver's type, before expressions knew these kinds.
EVENT_SELECTS = [
    ("columns read as their fields", lambda s: s.select(E.mood, E.data, E.at, E.took, E.key, E.when).where(E.id == 1),
     [t(Mood.GLAD, {"n": [1, 2]}, dt.time(9, 30), dt.timedelta(hours=2), KEY,
        dt.datetime(2024, 5, 1, 12, tzinfo=UTC))]),
    ("aggregates of each type", lambda s: s.select(func.max(E.mood), func.min(E.at), func.max(E.took),
                                                   func.max(E.when)),
     [t(Mood.GLAD, dt.time(9, 30), dt.timedelta(hours=2), dt.datetime(2024, 5, 1, 12, tzinfo=UTC))]),
    ("coalesce with a value", lambda s: s.select(func.coalesce(E.mood, Mood.CALM), func.coalesce(E.key, KEY),
                                                 func.coalesce(E.took, dt.timedelta(0)),
                                                 func.coalesce(E.at, dt.time(8))).order_by(E.id),
     [t(Mood.GLAD, KEY, dt.timedelta(hours=2), dt.time(9, 30)), t(Mood.CALM, KEY, dt.timedelta(0), dt.time(8))]),
    ("aggregates compared with values", lambda s: s.select(func.count(E.id)).having(
        func.max(E.at) >= dt.time(9), func.max(E.took) < dt.timedelta(days=1), func.max(E.mood) == Mood.GLAD,
        func.min(E.at).between(dt.time(1), dt.time(10))).group_by(E.mood).order_by(E.mood),
     [t(1)]),
    # An aware value against an aware column's MAX or COALESCE: bound in UTC as the column
    # is (it was refused as "expected datetime (a naive one)").
    ("aware datetimes in expressions", lambda s: s.select(E.id, func.coalesce(E.when, NOON_NY)).where(
        func.coalesce(E.when, NOON_NY) >= dt.datetime(2024, 5, 1, 12, tzinfo=UTC)).order_by(E.id),
     [t(1, dt.datetime(2024, 5, 1, 12, tzinfo=UTC)), t(2, dt.datetime(2024, 5, 1, 17, tzinfo=UTC))]),
    ("an aware aggregate compared", lambda s: s.select(func.count(E.id)).having(
        func.max(E.when) == NOON_NY - dt.timedelta(hours=5)).group_by(E.mood).order_by(E.mood), [t(1)]),
]


@pytest.mark.parametrize("engine", ENGINES)
def test_selects_of_every_type(engine):
    db = open_db(engine)
    try:
        db.migrate(QEvent)
        with db.session() as s:
            s.add_all([QEvent(id=1, mood=Mood.GLAD, data={"n": [1, 2]}, at=dt.time(9, 30), took=dt.timedelta(hours=2),
                              key=KEY, when=dt.datetime(2024, 5, 1, 14, tzinfo=dt.timezone(dt.timedelta(hours=2)))),
                       QEvent(id=2)])
        with db.session() as s:
            wrong = [(label, typed(make(s).all()), want) for label, make, want in EVENT_SELECTS
                     if typed(make(s).all()) != want]
        assert wrong == []
    finally:
        wipe(db)
        db.close()


@pytest.mark.parametrize("make, message", [
    (lambda: func.max(E.mood) == "glad", "func.max(QEvent.mood): expected an enum member, got str"),
    (lambda: func.min(E.at) > "09:30", "func.min(QEvent.at): expected time, got str"),
    (lambda: func.max(E.key) == str(KEY), "func.max(QEvent.key): expected UUID, got str"),
    (lambda: func.coalesce(E.data, "{}"), "func.coalesce(QEvent.data, ...): expected dict or list, got str"),
], ids=["enum", "time", "uuid", "json"])
def test_values_of_another_type_for_an_expression(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_statement_texts():
    """Columns are qualified when more than one table is in the statement, and only then."""
    db = sablecrest.connect("sqlite://")
    db.migrate(*MODELS[:4])
    seen = []
    db.trace = lambda sql, params: seen.append(sql)
    with db.session() as s:
        s.select(P.author_id, func.count()).group_by(P.author_id).having(func.count() > 1).all()
        s.select(P).join(P.author).where(A.name == "x").all()
        s.select(P).where(P.id == 1, P.likes >= 2).update(likes=P.likes - 2)
        s.select(L).where(L.tag_id.in_(s.select(T.id).where(T.name == "y"))).delete()
    assert seen == [
        'SELECT "author_id", COUNT(*) FROM "sc_q_posts" GROUP BY "author_id" HAVING COUNT(*) > ?',
        'SELECT "sc_q_posts"."id", "sc_q_posts"."author_id", "sc_q_posts"."title", "sc_q_posts"."likes", '
        '"sc_q_posts"."price", "sc_q_posts"."score", "sc_q_posts"."at" FROM "sc_q_posts" JOIN "sc_q_authors" ON '
        '"sc_q_authors"."id" = "sc_q_posts"."author_id" WHERE "sc_q_authors"."name" = ?',
        'UPDATE "sc_q_posts" SET "likes" = ("likes" - ?) WHERE "id" = ? AND "likes" >= ?',
        'DELETE FROM "sc_q_post_tags" WHERE "sc_q_post_tags"."tag_id" IN (SELECT "sc_q_tags"."id" FROM "sc_q_tags" '
        'WHERE "sc_q_tags"."name" = ?)',
    ]


def test_set_based_writes(pair):
    db, raw, k = pair
    seen = []
    with db.session() as s:
        p1, p2 = s.get(P, k["a1"]), s.get(P, k["a2"])
        p1.title = "a1 changed"  # flushed before the set-based write
        db.trace = lambda sql, params: seen.append(sql)
        assert s.select(P).where(P.author_id == k["Ann"], P.likes >= 15).update(likes=P.likes - 15) == 1
        assert seen[0].startswith("UPDATE") and "title" in seen[0]
        # The loaded object of the changed row has the new value, as loaded: nothing to write.
        assert (p2.likes, sablecrest.changes(p2), p1.likes) == (5, {}, 10)
        assert s.select(P).where(P.id == k["a2"], P.likes >= 15).update(likes=P.likes - 15) == 0  # not enough left
        assert s.select(P).where(P.id == k["b1"]).update(price=Decimal("9.99"), score=P.likes * 0.5) == 1
        db.trace = None
    assert raw.rows('SELECT "title", "likes" FROM "sc_q_posts" WHERE "id" IN (?, ?) ORDER BY "id"',
                    (k["a1"], k["a2"])) == [("a1 changed", 10), ("a2", 5)]
    (price, score), = raw.rows('SELECT "price", "score" FROM "sc_q_posts" WHERE "id" = ?', (k["b1"],))
    assert (Decimal(str(price)), score) == (Decimal("9.99"), 2.5)

    # A changed reference: loaded collections through it are dropped, and the loaded
    # many-to-one no longer matches its field.
    with db.session() as s:
        ann, bob = s.select(A).where(A.id.in_([k["Ann"], k["Bob"]])).order_by(A.id).load(A.posts).all()
        p1 = s.get(P, k["a1"])
        s.load([p1], P.author)
        assert s.select(P).where(P.id == k["a1"]).update(author_id=k["Bob"]) == 1
        assert p1.author_id == k["Bob"]
        for read in (lambda: ann.posts, lambda: bob.posts, lambda: p1.author):
            with pytest.raises(NotLoadedError):
                read()

    # Deletes: the loaded objects of deleted rows leave the session as after a flushed delete.
    with db.session() as s:
        links = s.select(L).order_by(L.id).all()
        b2 = s.get(P, k["b2"])
        assert s.select(L).where(L.tag_id == k["y"]).delete() == 2
        assert [sablecrest.state(o) for o in links] == ["persistent", "transient", "persistent", "transient"]
        assert [o for o in links if o in s] == [links[0], links[2]]
        assert s.select(P).where(P.author_id == k["Bob"], P.likes < 1).delete() == 1
        assert sablecrest.state(b2) == "transient" and s.get(P, k["b2"]) is None
    assert raw.rows('SELECT COUNT(*) FROM "sc_q_post_tags"') == [(2,)]
    assert raw.rows('SELECT "title" FROM "sc_q_posts" ORDER BY "id"') == [("a1 changed",), ("a2",), ("b1",)]


def test_a_failed_set_based_write_rolls_back(pair):
    db, raw, k = pair
    with db.session() as s:
        s.add(A(name="Dee"))
        with pytest.raises(Exception) as err:
            s.select(A).where(A.id == k["Ann"]).delete()  # her posts refer to her
        assert not isinstance(err.value, (ValueError, TypeError))
    assert raw.rows('SELECT COUNT(*) FROM "sc_q_authors" WHERE "name" = ?', ("Dee",)) == [(0,)]


# (label, call given a session and the seeded ids, exception, message). Each runs nothing.
BAD = [
    ("having without group_by", lambda s, k: s.select(A).having(func.count() > 1).all(), ValueError,
     "having() tests groups: it needs group_by()"),
    ("ungrouped column", lambda s, k: s.select(P.author_id, func.count()).all(), ValueError,
     "QPost.author_id is neither grouped nor aggregated"),
    ("ungrouped ordering", lambda s, k: s.select(P.author_id, func.count()).group_by(P.author_id).order_by(
        P.likes).all(), ValueError,
     "QPost.likes is neither grouped nor aggregated"),
    ("aggregate in where", lambda s, k: s.select(P).where(func.count() > 1), ValueError,
     "cannot be tested in where()"),
    ("model not in the query", lambda s, k: s.select(P).where(A.name == "Ann").all(), ValueError,
     "QAuthor.name belongs to QAuthor, which is not part of this query of QPost"),
    ("joined twice", lambda s, k: s.select(P).join(P.author).join(P.author).all(), ValueError,
     "a model joins a query once"),
    ("join from elsewhere", lambda s, k: s.select(T).join(P.author).all(), ValueError,
     "join(QPost.author) starts from QPost, which is not part of this query of QTag"),
    ("join a field", lambda s, k: s.select(P).join(P.author_id), TypeError, "join() takes a relation"),
    ("distinct order", lambda s, k: s.select(P.title).distinct().order_by(P.likes).all(), ValueError,
     "with distinct(), order_by() takes what the query selects"),
    ("group by aggregate", lambda s, k: s.select(P.author_id).group_by(func.count()), ValueError,
     "group_by() takes fields or expressions without aggregates"),
    ("two columns in in_", lambda s, k: P.author_id.in_(s.select(A.id, A.name)), TypeError,
     "selects one column (like s.select(Author.id)); this one selects 2 columns"),
    ("no table", lambda s, k: s.select(func.count()), TypeError, "names no field, so no table"),
    ("two models", lambda s, k: s.select(A, P), TypeError, "select() takes one model"),
    ("scalar of objects", lambda s, k: s.select(P).scalar(), TypeError, "scalar() reads a query of columns"),
    ("int / int", lambda s, k: P.likes / 2, TypeError, "divides an int by an int"),
    ("Decimal and float", lambda s, k: P.price * 1.5, TypeError, "QPost.price * 1.5 mixes float and Decimal"),
    ("text arithmetic", lambda s, k: P.title + 1, TypeError,
     "QPost.title + 1: arithmetic takes numbers (int, float, Decimal), not str"),
    ("sum of text", lambda s, k: func.sum(P.title), TypeError, "func.sum(QPost.title): takes numbers"),
    ("expression value type", lambda s, k: P.likes + 1 > "x", TypeError, "(QPost.likes + 1): expected int, got str"),
    ("load wrong model", lambda s, k: s.load([P(title="x")], A.posts), ValueError,
     "load(QAuthor.posts) is a relation of QAuthor objects, and the objects here are QPost objects"),
    ("load a field", lambda s, k: s.select(A).load(A.name), TypeError, "load() takes relations"),
    ("load on columns", lambda s, k: s.select(A.name).load(A.posts), TypeError, "load() loads relations of objects"),
    ("update a join", lambda s, k: s.select(P).join(P.author).update(likes=1), ValueError,
     "update() writes the rows a query of one model selects with where(); this query has join()"),
    ("delete a page", lambda s, k: s.select(P).limit(1).delete(), ValueError, "this query has limit()"),
    ("update nothing", lambda s, k: s.select(P).update(), ValueError, "update() takes the fields to set"),
    ("update unknown", lambda s, k: s.select(P).update(nope=1), TypeError, "'nope', which is not a field of QPost"),
    ("update the key", lambda s, k: s.select(P).update(id=5), ValueError, "cannot set QPost.id, the primary key"),
    ("update wrong type", lambda s, k: s.select(P).update(likes="1"), TypeError, "QPost.likes: expected int, got str"),
    ("update NOT NULL", lambda s, k: s.select(P).update(title=None), ValueError, "QPost.title is NOT NULL but is None"),
    ("update expression type", lambda s, k: s.select(P).update(likes=P.price * 2), TypeError,
     "QPost.likes: expected int, got an expression of decimal"),
    ("update by another model", lambda s, k: s.select(P).update(likes=P.likes + A.id), ValueError,
     "QAuthor.id belongs to QAuthor, which is not part of this query of QPost"),
    ("update to an aggregate", lambda s, k: s.select(P).update(likes=func.max(P.likes)), ValueError,
     "update(likes=...) takes an expression of the row's own fields, not an aggregate"),
]


@pytest.mark.parametrize("call, exc, message", [c[1:] for c in BAD], ids=[c[0] for c in BAD])
def test_bad_input_runs_nothing(call, exc, message):
    db = sablecrest.connect("sqlite://")
    db.migrate(*MODELS[:4])
    seen = []
    with db.session() as s:
        s.select(P).all()
        pending = A(name="pending")
        s.add(pending)  # a flush would insert it: nothing may run before the error
        db.trace = lambda sql, params: seen.append(sql)
        with pytest.raises(exc) as err:
            call(s, {})
        assert message in str(err.value) and seen == []
        assert sablecrest.state(pending) == "pending"
        s.rollback()


def test_query_flush_failing_half_way_rolls_back(tmp_path):
    """A query flushes first. When that flush failed after some of its INSERTs went
    through, the transaction stayed open with those objects both inserted and still
    pending: the next flush inserted them again (a UNIQUE failure at commit, or a
    duplicate row where keys are generated). It rolls back, as every flush does."""
    db = sablecrest.connect("sqlite:///%s" % (tmp_path / "half.db"))
    db.migrate(A, P)
    with db.session() as s:
        old = A(name="old")
        s.add_all([old, P(author_id=old, title="taken")])
    raw = sqlite3.connect(str(tmp_path / "half.db"))
    raw.execute('CREATE UNIQUE INDEX "sc_q_unique_title" ON "sc_q_posts" ("title")')
    raw.commit()
    with db.session() as s:
        first = A(name="first")
        s.add_all([first, P(author_id=first, title="taken")])  # the authors' INSERT runs, the posts' fails
        with pytest.raises(sablecrest.UniqueViolation):
            s.select(A).all()
        assert sablecrest.state(first) == "transient" and first.id is None
        s.add(A(name="after"))
    assert raw.execute('SELECT "name" FROM "sc_q_authors" ORDER BY "id"').fetchall() == [("old",), ("after",)]


def test_the_last_item_sells_once(pair):
    """Two sessions, in two threads, each take the last item with a conditional update:
    exactly one of them gets it, every time."""
    db, raw, k = pair
    post = k["a2"]
    for trial in range(20):
        with db.session() as s:
            assert s.select(P).where(P.id == post).update(likes=1) == 1
        barrier = threading.Barrier(2)
        won = []

        def order():
            with db.session() as s:
                barrier.wait()
                won.append(s.select(P).where(P.id == post, P.likes >= 1).update(likes=P.likes - 1))

        threads = [threading.Thread(target=order) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert sorted(won) == [0, 1], trial
        assert raw.rows('SELECT "likes" FROM "sc_q_posts" WHERE "id" = ?', (post,)) == [(0,)]


def test_update_to_a_pending_object(pair):
    """update() flushes first: a reference set to a pending object gets its key then."""
    db, raw, k = pair
    with db.session() as s:
        dee = A(name="Dee")
        with pytest.raises(ValueError, match=r"^QPost.author_id is set to a QAuthor that has no primary key and is "
                                             r"not pending in this session: add it first$"):
            s.select(P).where(P.id == k["b1"]).update(author_id=dee)
        s.add(dee)
        assert s.select(P).where(P.id == k["b1"]).update(author_id=dee) == 1
    assert raw.rows('SELECT "author_id" FROM "sc_q_posts" WHERE "id" = ?', (k["b1"],)) == [(dee.id,)]


def ware(db, price="12.00", stock=5):
    with db.session() as s:
        w = QWare(price=Decimal(price), stock=stock)
        s.add(w)
    return w.id


def test_a_set_based_update_bumps_the_version(pair):
    """Regression: update() left a versioned row's version as it was, so a flush based on
    a read from before it went through: an order taking the last item with a conditional
    update and another with the version column both sold it."""
    db, raw, k = pair
    wid = ware(db, stock=1)
    with db.session() as buyer:
        w = buyer.get(QWare, wid)
        with db.session() as other:
            seen = other.get(QWare, wid)
            assert other.select(QWare).where(QWare.id == wid, QWare.stock >= 1).update(stock=QWare.stock - 1) == 1
            assert (seen.stock, seen.version, sablecrest.changes(seen)) == (0, 2, {})
        w.stock -= 1
        with pytest.raises(sablecrest.StaleDataError, match=r"^QWare with id %d was changed or deleted since it was "
                                                            r"loaded: its row no longer has version 1 " % wid):
            buyer.flush()
    assert raw.rows('SELECT "stock", "version" FROM "sc_q_wares" WHERE "id" = ?', (wid,)) == [(0, 2)]
    # Set by hand, the version is the caller's; a rollback gives objects theirs back.
    with db.session() as s:
        assert s.select(QWare).where(QWare.id == wid).update(version=QWare.version + 5) == 1
    with pytest.raises(RuntimeError):
        with db.session() as s:
            w = s.get(QWare, wid)
            assert s.select(QWare).where(QWare.id == wid).update(stock=3) == 1
            assert w.version == 8
            raise RuntimeError("rolled back")
    assert (w.version, sablecrest.state(w)) == (7, "detached")
    with db.session() as s:
        s.add(w)
        w.stock = 4  # checked against version 7, which the row has again
    assert raw.rows('SELECT "stock", "version" FROM "sc_q_wares" WHERE "id" = ?', (wid,)) == [(4, 8)]


def test_a_set_based_update_rolled_back_to_a_savepoint(pair):
    """Regression: the objects a set-based update refreshed kept the new values after a
    rollback to a savepoint, as loaded, so the next change was computed from a value the
    row no longer had and overwrote it (5 - 1 - 1 written as 3)."""
    db, raw, k = pair
    wid = ware(db)
    with db.session() as s:
        w, untouched = s.get(QWare, wid), s.get(P, k["a1"])
        with pytest.raises(RuntimeError):
            with s.savepoint():
                assert s.select(QWare).where(QWare.id == wid).update(stock=QWare.stock - 1) == 1
                assert s.select(P).where(P.id == k["a1"]).update(likes=P.likes) == 1  # the value it had
                raise RuntimeError("undo")
        assert (sablecrest.state(w), sablecrest.state(untouched)) == ("detached", "persistent")
        again = s.get(QWare, wid)
        assert (again is not w, again.stock, again.version) == (True, 5, 1)
        again.stock -= 1
    assert raw.rows('SELECT "stock", "version" FROM "sc_q_wares" WHERE "id" = ?', (wid,)) == [(4, 2)]


# (price, factor, the price every engine stores in a DECIMAL(10,2))
REPRICES = [
    ("12.00", "1.1", "13.20"),  # 13.200000000000001 in SQLite's floats
    ("29.99", "1.1", "32.99"),  # 32.989
    ("7.25", "1.1", "7.98"),  # 7.975, rounded half away from zero
    ("0.10", "3", "0.30"),  # 0.30000000000000004
]


@pytest.mark.parametrize("price, factor, stored", REPRICES)
def test_a_computed_decimal_is_stored_at_the_column_scale(pair, price, factor, stored):
    """Regression: on SQLite, which computes decimals in floats and ignores a DECIMAL's
    scale, update(price=Ware.price * factor) stored the double, and the price read back
    as Decimal('13.200000000000001'); it is rounded to the scale, as the others store it."""
    db, raw, k = pair
    wid = ware(db, price)
    with db.session() as s:
        w = s.get(QWare, wid)
        assert s.select(QWare).where(QWare.id == wid).update(price=QWare.price * Decimal(factor)) == 1
        assert w.price == Decimal(stored)
    (held,), = raw.rows('SELECT "price" FROM "sc_q_wares" WHERE "id" = ?', (wid,))
    assert Decimal(str(held)) == Decimal(stored)
    with db.session() as s:
        assert s.select(QWare).where(QWare.price == Decimal(stored)).count() == 1


UTC = dt.timezone.utc
AT = dt.datetime(2024, 5, 1, 9, 30, 15, 250000, tzinfo=UTC)
# (label, a column select, its rows): each value as the field reads it, on every engine.
FIELD_VALUES = [
    ("enum", lambda s: s.select(QWare.state).all(), [(QState.LIVE,)]),
    ("JSON", lambda s: s.select(QWare.meta, QWare.stock).all(), [({"colour": "red"}, 5)]),
    ("aware", lambda s: s.select(QWare.added).all(), [(AT,)]),
    ("max of aware", lambda s: s.select(func.max(QWare.added), func.count()).all(), [(AT, 1)]),
    ("min of enum", lambda s: s.select(func.min(QWare.state)).all(), [(QState.LIVE,)]),
    ("coalesce of aware", lambda s: s.select(func.coalesce(QWare.added, QWare.added)).all(), [(AT,)]),
    ("grouped by enum", lambda s: s.select(QWare.state, func.sum(QWare.stock)).group_by(QWare.state).all(),
     [(QState.LIVE, 5)]),
]


@pytest.mark.parametrize("label, query, rows", FIELD_VALUES, ids=[f[0] for f in FIELD_VALUES])
def test_a_column_select_reads_values_as_the_field_does(pair, label, query, rows):
    """Regression: a column select read an enum field's values as their plain value, a
    JSON field's as text (SQLite, MariaDB) and an aware datetime's as naive (MariaDB) or
    in the server's zone (PostgreSQL), where the field reads a member, the JSON value and
    a datetime in UTC."""
    db, raw, k = pair
    with db.session() as s:
        s.add(QWare(price=Decimal("1.00"), stock=5, state=QState.LIVE, meta={"colour": "red"}, added=AT))
    with db.session() as s:
        got = query(s)
    assert typed(got) == typed(rows)
    assert [v.tzinfo for r in got for v in r if isinstance(v, dt.datetime)] == [
        UTC for r in rows for v in r if isinstance(v, dt.datetime)]
