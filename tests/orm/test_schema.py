"""Schemas as teams write them, on every engine: constraints and indexes on the model, a
composite-key link table, every field type (written, read back over a second
connection exactly, dirty-checked), a version 2 of the models applied by migrate and
undone by its downgrade with the data kept, and the bad input refused before anything
runs."""

import datetime as dt
import enum
import sqlite3
import uuid
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Check, Field, Index, MigrationError, Model, Unique, sql

from ormdb import ENGINES, open_db, wipe

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
    if request.param == "sqlite":
        url = "sqlite:///%s" % (tmp_path / "schema.db")
        db, other = (sablecrest.connect(url, on_connect=lambda raw: raw.execute("PRAGMA journal_mode = WAL"))
                     for _ in range(2))
    else:
        db, other = open_db(request.param), open_db(request.param)
    yield db, other
    wipe(db)
    db.close()
    other.close()


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
    assert str(stored_at).replace("T", " ").startswith("2024-03-10 17:00:00.25")  # UTC
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
    with other.session() as s:
        assert s.get(Post, post.id).data["n"] == {"a": False, "z": 2} and s.get(Post, post.id).tags[-1] == "z"
        assert [(x.post_id, x.tag_id, x.weight) for x in s.select(PostTag).order_by(PostTag.tag_id, PostTag.post_id).all()] == [
            (post.id, tags[0].id, 0.5), (plain.id, tags[0].id, 1.0), (post.id, tags[1].id, 2.5)]
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
