"""Schemas as teams write them, on every engine: constraints and indexes on the model, a
composite-key link table, every field type (written, read back over a second
connection exactly, dirty-checked), a version 2 of the models applied by migrate and
undone by its downgrade with the data kept, and the bad input refused before anything
runs."""

import asyncio
import datetime as dt
import enum
import re
import sqlite3
import uuid
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Check, Field, Index, MigrationError, Model, Unique, sql

from ormdb import ENGINES, URLS, close_pair, open_db, open_pair, wipe

UTC = dt.timezone.utc
NEW_YORK = dt.timezone(dt.timedelta(hours=-5))


class Status(str, enum.Enum):
    DRAFT = "draft"
    LIVE = "live"


class Status2(str, enum.Enum):  # version 2: a member added
    DRAFT = "draft"
    LIVE = "live"
    ARCHIVED = "archived"


class Level(enum.Enum):
    LOW = 1
    HIGH = 2


def models(version):
    """The blog's models, version 1 or 2. Version 2: a new index, the unique slug made
    unique per blog, an enum member added, the title renamed to headline, a CHECK added
    (a rebuild on SQLite)."""

    class ScBlog(Model):
        __tablename__ = "sc_blog"
        id = Field(uuid.UUID, primary_key=True, default=uuid.uuid4)
        name = Field(str, nullable=False, unique=True)

    post = dict(
        __tablename__="sc_post",
        blog_id=Field(uuid.UUID, references=ScBlog, nullable=False, on_delete="cascade"),
        likes=Field(int, nullable=False, default=0, check="likes >= 0"),
        level=Field(Level),
        data=Field(dict, default=dict),
        tags=Field(list),
        created=Field(dt.datetime, timezone=True, nullable=False, server_default=sql("CURRENT_TIMESTAMP")),
        at=Field(dt.time),
        took=Field(dt.timedelta),
        price=Field(Decimal, db_type="NUMERIC(10,2)"),
        day=Field(dt.date),
    )
    if version == 1:
        post.update(slug=Field(str, nullable=False, unique=True), title=Field(str, nullable=False),
                    status=Field(Status, nullable=False, default=Status.DRAFT),
                    __constraints__=(Index("blog_id", "created"),))
    else:
        post.update(slug=Field(str, nullable=False), headline=Field(str, nullable=False, renamed_from="title"),
                    status=Field(Status2, nullable=False, default=Status2.DRAFT),
                    __constraints__=(Index("blog_id", "created"), Unique("blog_id", "slug"), Index("status"),
                                     Check("length(headline) > 0")))
    ScPost = type(Model)("ScPost", (Model,), post)

    class ScTag(Model):
        __tablename__ = "sc_tag"
        id = Field(int, primary_key=True)
        label = Field(str, nullable=False, index=True)

    class ScPostTag(Model):
        __tablename__ = "sc_post_tag"
        post_id = Field(int, primary_key=True, references=ScPost, on_delete="cascade")
        tag_id = Field(int, primary_key=True, references=ScTag)
        weight = Field(float, nullable=False, default=1.0)

    return ScBlog, ScPost, ScTag, ScPostTag


@pytest.fixture(params=ENGINES)
def pair(request, tmp_path):
    """The database under test and a second connection to it (its own Database)."""
    db, other = open_pair(request.param, tmp_path)
    yield db, other
    close_pair(db, other)


def run(db, statements):
    """Statements of a migration, run as its script would: on SQLite with foreign keys
    off (a rebuild drops and makes tables that others refer to)."""
    if db.dialect.engine.name == "sqlite":
        conn = sqlite3.connect(db.url.database, isolation_level=None)
        conn.execute("PRAGMA foreign_keys = OFF")
        conn.execute("BEGIN")
        for statement in statements:
            conn.execute(statement)
        assert conn.execute("PRAGMA foreign_key_check").fetchall() == []
        conn.execute("COMMIT")
        conn.close()
        return
    with db.session() as s:
        for statement in statements:
            s.execute(statement)


def raw(db, table, columns, order):
    """Rows as the database holds them, read in a session of its own."""
    d = db.dialect
    with db.session() as s:
        return [tuple(r) for r in s.execute("SELECT %s FROM %s ORDER BY %s" % (
            ", ".join(d.q(c) for c in columns), d.q(table), ", ".join(d.q(c) for c in order)))]


BLOG_ID = uuid.UUID("12345678-1234-5678-1234-567812345678")
VALUES = dict(  # one post with a value of every type
    slug="hello", title="Hello 100% 'world'", likes=3, status=Status.LIVE, level=Level.HIGH,
    data={"k": [1, 2.5, "é", None, True], "n": {"z": 1, "a": False}}, tags=["x", "y"],
    at=dt.time(23, 59, 58, 123456), took=dt.timedelta(days=-2, seconds=5, microseconds=7),
    price=Decimal("12.50"), day=dt.date(1999, 12, 31),
)
COLUMNS = ["slug", "status", "level", "data", "tags", "at", "took", "price", "day"]
# The post's row as each engine holds it (drivers' own types): what a program of
# another language, or a report in SQL, reads.
STORED = {
    "sqlite": ("hello", "live", 2, '{"k":[1,2.5,"é",null,true],"n":{"a":false,"z":1}}', '["x","y"]',
               "23:59:58.123456", -172794999993, 12.5, "1999-12-31"),
    "postgresql": ("hello", "live", 2, {"k": [1, 2.5, "é", None, True], "n": {"a": False, "z": 1}}, ["x", "y"],
                   dt.time(23, 59, 58, 123456), dt.timedelta(days=-2, seconds=5, microseconds=7), Decimal("12.50"),
                   dt.date(1999, 12, 31)),
    "mariadb": ("hello", "live", 2, '{"k":[1,2.5,"é",null,true],"n":{"a":false,"z":1}}', '["x","y"]',
                dt.timedelta(seconds=86398, microseconds=123456), -172794999993, Decimal("12.50"),
                dt.date(1999, 12, 31)),
}


def test_schema_flow(pair):
    db, other = pair
    engine = db.dialect.engine.name
    Blog, Post, Tag, PostTag = models(1)
    v1 = db.migrate(Blog, Post, Tag, PostTag)
    assert db.migrate(Blog, Post, Tag, PostTag) == []

    # ---- every type written, and read back over a second connection exactly
    aware = dt.datetime(2024, 3, 10, 12, 0, 0, 250000, tzinfo=NEW_YORK)
    with db.session() as s:
        blog = Blog(id=BLOG_ID, name="Ann's")
        post = Post(blog_id=blog, **VALUES)
        plain = Post(blog_id=blog, slug="plain", title="t", created=aware)
        tags = [Tag(label="a"), Tag(label="b")]
        s.add_all([blog, post, plain] + tags)
        s.flush()
        s.add_all([PostTag(post_id=post.id, tag_id=tags[0].id), PostTag(post_id=post.id, tag_id=tags[1].id, weight=2.5),
                   PostTag(post_id=plain.id, tag_id=tags[0].id)])
    assert post.created.tzinfo is UTC and plain.created == aware  # the database's default, read back
    assert raw(other, "sc_post", COLUMNS, ["id"])[0] == STORED[engine]
    (stored_uuid, stored_at), = raw(other, "sc_post", ["blog_id", "created"], ["id"])[1:]
    assert str(stored_uuid) == str(BLOG_ID)
    assert str(stored_at).startswith("2024-03-10 17:00:00.25")  # UTC (on SQLite the text, as CURRENT_TIMESTAMP's)
    with other.session() as s:
        back = s.get(Post, post.id)
        for name, want in VALUES.items():
            assert getattr(back, name) == want and type(getattr(back, name)) is type(want), name
        assert back.blog_id == BLOG_ID and type(back.blog_id) is uuid.UUID
        assert back.created == post.created and back.created.tzinfo is UTC
        got = s.get(Post, plain.id).created
        assert (got, got.tzinfo, got.utcoffset()) == (aware, UTC, dt.timedelta(0))
        assert s.get(PostTag, (post.id, tags[1].id)).weight == 2.5 and s.get(PostTag, (plain.id, tags[1].id)) is None
        related = s.load_related(s.select(PostTag).all(), PostTag.tag_id)
        assert sorted(t.label for t in related.values()) == ["a", "b"]

    # ---- dirty checks: nothing written for values read back; a change inside JSON is
    seen = []
    db.trace = lambda q, p: seen.append(q)
    with db.session() as s:
        loaded = s.select(Post).order_by(Post.id).all()
        link = s.get(PostTag, (post.id, tags[0].id))
        s.flush()
        assert [q for q in seen if not q.startswith("SELECT")] == [] and s.dirty == []
        loaded[0].data["n"]["z"] = 2
        loaded[0].tags.append("z")
        link.weight = 0.5
        assert sablecrest.changes(loaded[0]) == {
            "data": (VALUES["data"], loaded[0].data), "tags": (["x", "y"], ["x", "y", "z"])}
    db.trace = None
    assert [q.split(" SET ")[0] for q in seen if q.startswith("UPDATE")] == [
        "UPDATE %s" % db.dialect.q("sc_post"), "UPDATE %s" % db.dialect.q("sc_post_tag")]
    with db.session() as s:  # upsert and delete by the whole key
        s.upsert(PostTag(post_id=plain.id, tag_id=tags[0].id, weight=3.0),
                 PostTag(post_id=plain.id, tag_id=tags[1].id))
    with db.session() as s:
        s.delete(s.get(PostTag, (plain.id, tags[1].id)))
    with other.session() as s:
        assert s.get(Post, post.id).data["n"] == {"a": False, "z": 2} and s.get(Post, post.id).tags[-1] == "z"
        links = s.select(PostTag).order_by(PostTag.tag_id, PostTag.post_id).all()
        assert [(x.post_id, x.tag_id, x.weight) for x in links] == [
            (post.id, tags[0].id, 0.5), (plain.id, tags[0].id, 3.0), (post.id, tags[1].id, 2.5)]
    before = {t: raw(other, t, c, o) for t, c, o in [
        ("sc_post", ["id", "slug", "title", "status", "likes"], ["id"]),
        ("sc_post_tag", ["post_id", "tag_id", "weight"], ["post_id", "tag_id"])]}

    # ---- version 2, by migrate
    Blog2, Post2, Tag2, PostTag2 = models(2)
    plan = db.migrate(Blog2, Post2, Tag2, PostTag2, dry_run=True)
    assert plan.extra_constraints == [("sc_post", "unique", "uq_sc_post_slug")]  # reported, kept without drop=True
    v2 = db.migrate(Blog2, Post2, Tag2, PostTag2, drop=True)
    assert db.migrate(Blog2, Post2, Tag2, PostTag2) == []
    renames = [s for s in v2 if "RENAME COLUMN" in s]
    if engine == "sqlite":  # the CHECK rebuilds the table, which renames the column as it copies
        assert renames == [] and any(s.startswith('DROP TABLE "sc_post"') for s in v2)
    else:
        assert renames == ["ALTER TABLE %s RENAME COLUMN %s TO %s" % (
            db.dialect.q("sc_post"), db.dialect.q("title"), db.dialect.q("headline"))]
    assert not any("DROP COLUMN" in s for s in v2)
    with db.session() as s:
        got = s.get(Post2, post.id)
        assert (got.headline, got.status, got.data["n"]["z"]) == (VALUES["title"], Status2.LIVE, 2)
        other_blog = Blog2(name="Bob")
        s.add_all([other_blog, Post2(blog_id=other_blog, slug="hello", headline="again", status=Status2.ARCHIVED)])
    with pytest.raises(Exception) as info:  # the composite unique holds
        with db.session() as s:
            s.add(Post2(blog_id=BLOG_ID, slug="hello", headline="dup"))
    assert "uq_sc_post_blog_id_slug" in str(info.value) or "UNIQUE" in str(info.value).upper()
    with pytest.raises(Exception, match="ck_sc_post_"):  # the new CHECK holds
        with db.session() as s:
            s.add(Post2(blog_id=BLOG_ID, slug="empty", headline=""))

    # ---- the downgrade: version 1 again, with its rows
    with db.session() as s:  # rows version 1 could not hold
        s.delete(s.select(Post2).where(Post2.status == Status2.ARCHIVED).first())
    run(db, v2.downgrade)
    assert db.migrate(Blog, Post, Tag, PostTag, dry_run=True) == []
    assert {t: raw(other, t, c, o) for t, (c, o) in {
        "sc_post": (["id", "slug", "title", "status", "likes"], ["id"]),
        "sc_post_tag": (["post_id", "tag_id", "weight"], ["post_id", "tag_id"])}.items()} == before
    with db.session() as s:  # ON DELETE CASCADE, on both levels
        s.execute("DELETE FROM %s" % db.dialect.q("sc_blog"))
    assert raw(other, "sc_post_tag", ["post_id"], ["post_id"]) == []
    run(db, v1.downgrade)
    assert len(db.migrate(Blog, Post, Tag, PostTag, dry_run=True)) == len(v1)


def changes_models(version):
    """A parent and a child whose version 2 renames its table, changes its foreign key's
    ON DELETE and its server default, and stops declaring a CHECK."""

    class ScParent(Model):
        __tablename__ = "sc_parent"
        name = Field(str)

    child = dict(n=Field(int, nullable=False, server_default=sql("0" if version == 1 else "7")), label=Field(str),
                 p_id=Field(int, references=ScParent, on_delete="restrict" if version == 1 else "cascade"))
    if version == 1:
        child.update(__tablename__="sc_old", __constraints__=(Check("n < 100", name="sc_hand_check"),))
    else:
        child.update(__tablename__="sc_new", __renamed_from__="sc_old")
    return ScParent, type(Model)("ScChild", (Model,), child)


def test_schema_changes(pair):
    db, _ = pair
    engine = db.dialect.engine.name
    q = db.dialect.q
    P1, C1 = changes_models(1)
    db.migrate(P1, C1)
    with db.session() as s:
        s.execute("CREATE INDEX %s ON %s (%s)" % (q("sc_hand_ix"), q("sc_old"), q("n")))
        parent = P1(name="p")
        s.add_all([parent, C1(label="kept", n=5, p_id=parent)])
    P2, C2 = changes_models(2)
    up = db.migrate(P2, C2)
    extras = [("sc_new", "index", "sc_hand_ix"), ("sc_new", "check", "sc_hand_check")]
    assert up[0] == "ALTER TABLE %s RENAME TO %s" % (q("sc_old"), q("sc_new")) and up.extra_constraints == extras
    again = db.migrate(P2, C2)
    assert again == [] and again.extra_constraints == extras
    assert "-- kept: index sc_hand_ix of sc_new is not in the models (drop=True drops it)\n-- kept: check " \
           "sc_hand_check of sc_new is not in the models (drop=True drops it)\n" in sablecrest.migration_script(db, P2, C2)
    with db.session() as s:
        s.add(C2(label="new", p_id=parent.id))
    with db.session() as s:
        assert [(c.label, c.n) for c in s.select(C2).order_by(C2.id).all()] == [("kept", 5), ("new", 7)]
        s.execute("DELETE FROM %s" % q("sc_parent"))  # now ON DELETE CASCADE
        assert s.select(C2).count() == 0
        s.add(P2(id=parent.id, name="p"))
        s.flush()
        s.add(C2(label="back", n=6, p_id=parent.id))
    dropped = db.migrate(P2, C2, drop=True)
    if engine == "sqlite":  # a CHECK goes with a rebuild, which leaves the index out
        assert 'DROP TABLE "sc_new"' in dropped and not any("sc_hand" in s for s in dropped)
    else:
        assert [s.split(" ")[:2] + [q("sc_hand_ix") in s or q("sc_hand_check") in s] for s in dropped] == [
            ["DROP", "INDEX", True], ["ALTER", "TABLE", True]]
    assert db.migrate(P2, C2).extra_constraints == []
    run(db, dropped.downgrade)
    assert db.migrate(P2, C2, dry_run=True).extra_constraints == extras
    run(db, up.downgrade)
    assert db.migrate(P1, C1, dry_run=True) == []
    with db.session() as s:
        assert [(c.label, c.n) for c in s.select(C1).all()] == [("back", 6)]
    with pytest.raises(Exception):  # ON DELETE RESTRICT again
        with db.session() as s:
            s.execute("DELETE FROM %s" % q("sc_parent"))
    # All of it in one migration: its downgrade makes the dropped index and CHECK again on
    # the renamed table before it renames the table back.
    at_once = db.migrate(P2, C2, drop=True)
    assert db.migrate(P2, C2).extra_constraints == []
    run(db, at_once.downgrade)
    back = db.migrate(P1, C1, dry_run=True)
    assert back == [] and back.extra_constraints == [("sc_old", "index", "sc_hand_ix")]


LONG = "sc_" + "t" * 70


def test_generated_names_fit_the_engine(db):
    engine = db.dialect.engine
    T = type(Model)("T", (Model,), {
        "__tablename__": LONG[:engine.name_limit], "__constraints__": (Index("a", "b"), Unique("b", "a")),
        "a": Field(int, check="a > 0"), "b": Field(int, check="b > 0")})
    names = [w.name for w in engine.wanted_indexes(T.__sc_info__)] + [w.name for w in engine.wanted_checks(T.__sc_info__)]
    assert len(set(names)) == 4 and all(len(n) == engine.name_limit for n in names)
    assert names[0].startswith("ix_sc_ttt") and names[1].startswith("uq_sc_ttt")
    db.migrate(T)
    assert db.migrate(T) == []  # the database kept the names as they were written


class Bad(enum.Enum):
    A = "a"
    B = 2


class Perm(enum.Flag):
    R = 1


def declare(**fields):
    def make():
        constraints = fields.pop("__constraints__", ())
        return type(Model)("Bad", (Model,), dict(__tablename__="sc_bad", __constraints__=constraints, **fields))
    return make


DECLARATIONS = [  # (label, declaration, exception, message)
    ("index on an unknown field", declare(a=Field(int), __constraints__=(Index("a", "nope"),)), TypeError,
     "Bad: Index('a', 'nope') names 'nope', which is not a field of Bad"),
    ("unique on an unknown field", declare(a=Field(int), __constraints__=(Unique("b"),)), TypeError,
     "Bad: Unique('b') names 'b', which is not a field of Bad"),
    ("unique on JSON", declare(a=Field(dict), __constraints__=(Unique("a"),)), TypeError,
     "Bad: Unique('a') names the JSON field a, which cannot be unique or indexed"),
    ("field named twice", declare(a=Field(int), __constraints__=(Index("a", "a"),)), TypeError,
     "Bad: Index('a', 'a') names a twice"),
    ("not a constraint", declare(a=Field(int), __constraints__=("a",)), TypeError,
     "Bad.__constraints__ holds sablecrest.Unique, Index and Check, got 'a'"),
    ("composite key with a server default", lambda: Field(int, primary_key=True, server_default=sql("1")), TypeError,
     "a primary key takes no server_default"),
    ("timezone on a date", lambda: Field(dt.date, timezone=True), TypeError,
     "timezone=True is for datetime fields, not date"),
    ("shared JSON default", declare(a=Field(dict, default={})), TypeError,
     "Bad.a: a dict default would be one object shared by every Bad; give a callable that makes a new one "
     "(default=dict)"),
    ("on_delete without references", lambda: Field(int, on_delete="cascade"), TypeError,
     "on_delete is the action of a foreign key: it needs references="),
    ("on_delete unknown", lambda: Field(int, references="ScParent", on_delete="CASCADE"), ValueError,
     "on_delete takes 'cascade', 'set null', 'restrict', got 'CASCADE'"),
    ("set null on NOT NULL", lambda: Field(int, references="ScParent", on_delete="set null", nullable=False),
     ValueError, "on_delete='set null' needs a nullable field"),
    ("enum of mixed values", lambda: Field(Bad), TypeError,
     "an enum field stores its members by value: the values of Bad must all be str or all be int"),
    ("flag enum", lambda: Field(Perm), TypeError, "Perm is a Flag enum"),
    ("server default as a value", lambda: Field(int, server_default=0), TypeError,
     "server_default takes sablecrest.sql(\"...\")"),
    ("reference to a composite key", declare(a=Field(int, references=models(1)[3])), TypeError,
     "Bad.a references ScPostTag, whose primary key is composite (post_id, tag_id): a reference holds a one-field "
     "key"),
    ("check not text", lambda: Check(5), TypeError, "Check() takes the SQL expression as a non-empty str, got 5"),
    ("index of nothing", lambda: Index(), TypeError, "Index() names one or more fields"),
]


@pytest.mark.parametrize("make, exc, message", [c[1:] for c in DECLARATIONS], ids=[c[0] for c in DECLARATIONS])
def test_bad_declarations(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    assert str(info.value).startswith(message)


Blog, Post, Tag, PostTag = models(1)


def new_post(**values):
    return Post(**{"blog_id": BLOG_ID, "slug": "s", "title": "t", **values})


VALUE_ERRORS = [  # (label, what the program does with a fresh post, exception, message)
    ("enum value not in the enum", lambda p: setattr(p, "status", "archived"), TypeError,
     "ScPost.status: expected Status, got str"),
    ("enum of another class", lambda p: setattr(p, "status", Status2.LIVE), TypeError,
     "ScPost.status: expected Status, got Status2"),
    ("JSON of the other shape", lambda p: setattr(p, "data", [1]), TypeError, "ScPost.data: expected dict, got list"),
    ("naive for an aware field", lambda p: setattr(p, "created", dt.datetime(2024, 1, 1)), TypeError,
     "ScPost.created: got a naive datetime; this field holds timezone-aware datetimes"),
    ("aware time", lambda p: setattr(p, "at", dt.time(1, tzinfo=UTC)), TypeError,
     "ScPost.at: got a timezone-aware time; this field holds naive times"),
    ("uuid as text", lambda p: setattr(p, "blog_id", str(BLOG_ID)), TypeError,
     "ScPost.blog_id: expected UUID or ScBlog, got str"),
    ("timedelta as seconds", lambda p: setattr(p, "took", 5), TypeError, "ScPost.took: expected timedelta, got int"),
]


@pytest.mark.parametrize("act, exc, message", [c[1:] for c in VALUE_ERRORS], ids=[c[0] for c in VALUE_ERRORS])
def test_bad_values(act, exc, message):
    p = new_post()
    with pytest.raises(exc) as info:
        act(p)
    assert str(info.value) == message


FLUSH_ERRORS = [  # (label, values of a new post, change to a loaded one, message)
    ("set", {"data": {"s": {1, 2}}}, lambda p: p.data.update(s={1}),
     "ScPost.data: the value is not JSON-serialisable: Object of type set is not JSON serializable"),
    ("NaN", {"tags": [float("nan")]}, lambda p: p.tags.append(float("inf")),
     "ScPost.tags: the value is not JSON-serialisable: Out of range float values are not JSON compliant"),
    ("cycle", {"tags": (lambda t: t.append(t) or t)([])}, lambda p: p.tags.append(p.tags),
     "ScPost.tags: the value is not JSON-serialisable: Circular reference detected"),
]


@pytest.mark.parametrize("values, change, message", [c[1:] for c in FLUSH_ERRORS], ids=[c[0] for c in FLUSH_ERRORS])
def test_json_that_cannot_be_written(values, change, message):
    db = sablecrest.connect("sqlite://")
    db.migrate(Blog, Post)
    with db.session() as s:
        s.add_all([Blog(id=BLOG_ID, name="b"), new_post(slug="ok", tags=[])])
    seen = []
    db.trace = lambda sql, params: seen.append(sql)
    for act in (lambda s: s.add(new_post(**values)), lambda s: change(s.select(Post).first())):
        with db.session() as s:
            act(s)
            del seen[:]
            with pytest.raises(TypeError) as info:
                s.flush()
            # refused before any statement; 3.12+ adds the value to json's words (": nan")
            assert re.fullmatch(re.escape(message) + r"(: -?\w+)?", str(info.value)) and seen == []
            s.rollback()
    db.trace = None
    with db.session() as s:
        assert [(p.slug, p.data, p.tags) for p in s.select(Post).all()] == [("ok", {}, [])]


def test_values_the_models_do_not_know(db):
    db.migrate(Blog, Post)
    q = db.dialect.q
    with db.session() as s:
        s.add_all([Blog(id=BLOG_ID, name="b"), new_post(tags=["x"])])
    with db.session() as s:  # written by hand: a value no member has, JSON of the other shape
        s.execute("ALTER TABLE %s DROP CONSTRAINT %s" % (q("sc_post"), q("ck_sc_post_status_enum"))) \
            if db.dialect.engine.name != "sqlite" else None
        s.execute("UPDATE %s SET %s = :v" % (q("sc_post"), q("tags")), {"v": '{"a": 1}'})
    with db.session() as s:
        with pytest.raises(ValueError, match=r"^ScPost.tags: the database holds JSON dict, and the field holds list$"):
            s.select(Post).all()
    if db.dialect.engine.name == "sqlite":
        return  # its CHECK cannot be dropped in place
    with db.session() as s:
        s.execute("UPDATE %s SET %s = :v, %s = NULL" % (q("sc_post"), q("status"), q("tags")), {"v": "gone"})
    with db.session() as s:
        with pytest.raises(ValueError, match=r"^ScPost.status: the database holds 'gone', which is not a value of "
                                             r"Status$"):
            s.select(Post).all()


def test_keys_of_a_composite_model():
    db = sablecrest.connect("sqlite://")
    db.migrate(*models(1))
    with db.session() as s:
        for key, message in [(1, "ScPostTag has a composite primary key (post_id, tag_id): get() takes a tuple of 2 "
                                 "values, got 1"),
                             ((1, "2"), "ScPostTag.tag_id: expected int or ScTag, got str"),
                             ((1, None), "get() takes a primary key value for ScPostTag.tag_id, got None")]:
            with pytest.raises(TypeError) as info:
                s.get(PostTag, key)
            assert str(info.value) == message
        s.add(PostTag(post_id=1))
        with pytest.raises(ValueError, match=r"^ScPostTag.tag_id is NOT NULL but is None$"):
            s.flush()
        s.rollback()


PREFLIGHT = [  # (label, version 2 of sc_post's constraints, message on each engine)
    ("unknown column", (Check("nope > 0"),), {
        "sqlite": "ScPost: the CHECK (nope > 0) is refused by SQLite: no such column: nope",
        "postgresql": 'ScPost: the CHECK (nope > 0) is refused by PostgreSQL: column "nope" does not exist',
        "mariadb": "ScPost: the CHECK (nope > 0) is refused by MariaDB: (1054, \"Unknown column 'nope' in "}),
    ("syntax", (Check("likes >>> 0"),), {
        "sqlite": "ScPost: the CHECK (likes >>> 0) is refused by SQLite:",
        "postgresql": "ScPost: the CHECK (likes >>> 0) is refused by PostgreSQL:",
        "mariadb": "ScPost: the CHECK (likes >>> 0) is refused by MariaDB:"}),
    ("rows fail it", (Check("likes > 5", name="sc_many"),),
     "cannot add the CHECK sc_many (likes > 5) to sc_post: 2 rows fail it"),
    ("duplicates", (Unique("title"),),
     "cannot add the unique uq_sc_post_title (title) to sc_post: 1 value is held by more than one row"),
]


@pytest.mark.parametrize("constraints, message", [c[1:] for c in PREFLIGHT], ids=[c[0] for c in PREFLIGHT])
def test_refused_before_anything_runs(db, constraints, message):
    engine = db.dialect.engine.name
    db.migrate(Blog, Post)
    with db.session() as s:
        s.add_all([Blog(id=BLOG_ID, name="b"), new_post(slug="a", title="t"), new_post(slug="b", title="t")])
    Blog2, Post2, _, _ = models(1)
    Post2 = type(Model)("ScPost", (Model,), {
        "__tablename__": "sc_post", "__constraints__": Post.__constraints__ + constraints,
        "note": Field(str), **{f.name: f._copy() for f in Post.__sc_info__.fields}})
    New = type(Model)("ScNew", (Model,), {"__tablename__": "sc_new", "__constraints__": constraints,
                                          "likes": Field(int), "title": Field(str)})
    # On a new table, a CHECK only meets the engine's parser: one that it refuses is named.
    for models_ in ((Blog2, Post2), (New,)) if isinstance(message, dict) else ((Blog2, Post2),):
        with pytest.raises(ValueError) as info:
            db.migrate(*models_)
        want = message[engine] if isinstance(message, dict) else message
        assert str(info.value).startswith(want.replace("ScPost", models_[-1].__name__))
    assert db.migrate(Blog, Post) == []  # "note", which comes before, was not added either
    New0 = type(Model)("ScNew", (Model,), {"__tablename__": "sc_new", "likes": Field(int), "title": Field(str)})
    assert db.migrate(New0, dry_run=True)[0].startswith("CREATE TABLE")  # not made


@pytest.mark.parametrize("engine", ["sqlite", "postgresql"])
def test_every_type_on_the_async_drivers(engine, tmp_path):
    pytest.importorskip({"sqlite": "aiosqlite", "postgresql": "asyncpg"}[engine])
    if engine == "sqlite":
        url = "sqlite:///%s" % (tmp_path / "aio.db")
        sync = sablecrest.connect(url)
    else:
        url = URLS[engine]
        sync = open_db(engine)  # no sc_* tables left
    aware = dt.datetime(2024, 3, 10, 12, 0, 0, 250000, tzinfo=NEW_YORK)

    async def main():
        adb = await sablecrest.connect_async(url)
        try:
            await adb.migrate(Blog, Post, Tag, PostTag)
            assert await adb.migrate(Blog, Post, Tag, PostTag) == []
            async with adb.session() as s:
                blog, tag = Blog(id=BLOG_ID, name="b"), Tag(label="a")
                post = Post(blog_id=blog, created=aware, **VALUES)
                s.add_all([blog, tag, post, Post(blog_id=blog, slug="plain", title="t")])
                await s.flush()
                tag2 = Tag(label="b")
                s.add(tag2)
                await s.flush()
                s.add_all([PostTag(post_id=post.id, tag_id=tag.id, weight=0.5),
                           PostTag(post_id=post.id, tag_id=tag2.id, weight=0.5)])
            seen = []
            adb.trace = lambda q, p: seen.append(q)
            async with adb.session() as s:
                got = await s.get(Post, post.id)
                for name, want in VALUES.items():
                    assert getattr(got, name) == want and type(getattr(got, name)) is type(want), name
                assert (got.blog_id, type(got.blog_id), got.created, got.created.tzinfo) == (
                    BLOG_ID, uuid.UUID, aware, UTC)
                plain = await s.select(Post).where(Post.slug == "plain").first()
                assert plain.created.tzinfo is UTC  # the database's default, read back in UTC
                links = await s.select(PostTag).all()
                await s.flush()
                assert [q for q in seen if not q.startswith("SELECT")] == []  # read back exactly: nothing to write
                got.data["k"].append("new")
                for link in links:  # several rows of one UPDATE: asyncpg counts none, the rows are counted
                    link.weight = 1.5
            adb.trace = None
            assert [q.split(" SET ")[0] for q in seen if q.startswith("UPDATE")] == [
                "UPDATE %s" % adb.dialect.q("sc_post"), "UPDATE %s" % adb.dialect.q("sc_post_tag")]
            return post.id, tag.id
        finally:
            await adb.close()

    post_id, tag_id = asyncio.run(main())
    with sync.session() as s:  # over another connection, another driver
        assert s.get(Post, post_id).data["k"][-1] == "new"
        assert [x.weight for x in s.select(PostTag).all()] == [1.5, 1.5]
    wipe(sync)
    sync.close()


def test_server_defaults_where_insert_returns_nothing():
    """Without RETURNING (SQLite before 3.35, MariaDB before 10.5, MySQL), the values the
    database filled in are read back by key."""
    db = sablecrest.connect("sqlite://")
    db.dialect.returning = False
    db.migrate(Blog, Post, Tag, PostTag)
    seen = []
    db.trace = lambda q, p: seen.append(q)
    with db.session() as s:
        blog = Blog(id=BLOG_ID, name="b")
        posts = [Post(blog_id=blog, slug=str(i), title="t") for i in range(2)]
        s.add_all([blog] + posts)
        s.flush()
        assert [p.created.tzinfo for p in posts] == [UTC, UTC] and posts[0].id == 1
        assert sum(q.startswith("SELECT") for q in seen) == 2  # one read back per row
        s.rollback()
    with db.session() as s:
        assert s.select(Post).count() == 0  # rolled back together
