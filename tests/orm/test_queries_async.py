"""Relations, queries across tables and set-based writes on aiosqlite and asyncpg: the
same steps as the sync sessions, awaited; nothing loads lazily. What the database holds
is read over a second, sync connection."""

import asyncio
import datetime as dt
import sqlite3
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Field, Model, NotLoadedError, func, relation

from ormdb import SKIP_SERVERS, URLS


class AqAuthor(Model):
    __tablename__ = "sc_aq_authors"
    name = Field(str, nullable=False)
    posts = relation("AqPost.author_id")


class AqPost(Model):
    __tablename__ = "sc_aq_posts"
    author_id = Field(int, references=AqAuthor, nullable=False)
    title = Field(str, nullable=False)
    stock = Field(int, nullable=False)
    price = Field(Decimal)
    at = Field(dt.datetime)
    author = relation(author_id)
    tags = relation("AqPostTag.post_id", "AqPostTag.tag_id")


class AqTag(Model):
    __tablename__ = "sc_aq_tags"
    name = Field(str, nullable=False)


class AqPostTag(Model):
    __tablename__ = "sc_aq_post_tags"
    post_id = Field(int, references=AqPost, nullable=False)
    tag_id = Field(int, references=AqTag, nullable=False)


MODELS = (AqAuthor, AqPost, AqTag, AqPostTag)
DROP = ["DROP TABLE IF EXISTS sc_aq_post_tags", "DROP TABLE IF EXISTS sc_aq_tags", "DROP TABLE IF EXISTS sc_aq_posts",
        "DROP TABLE IF EXISTS sc_aq_authors"]


@pytest.fixture(params=["sqlite", "postgresql"])
def target(request, tmp_path):
    """(url, a sync raw connection to the same database)."""
    if request.param == "sqlite":
        pytest.importorskip("aiosqlite")
        path = tmp_path / "aq.db"
        raw = sqlite3.connect(str(path), isolation_level=None)
        raw.execute("PRAGMA journal_mode = WAL")
        url = "sqlite:///%s" % path
    else:
        psycopg = pytest.importorskip("psycopg")
        pytest.importorskip("asyncpg")
        url = URLS["postgresql"]
        try:
            raw = psycopg.connect(url, autocommit=True)
        except Exception as exc:
            message = "postgresql is not reachable at %s: %s" % (url, exc)
            if SKIP_SERVERS:
                pytest.skip(message)
            pytest.fail(message, pytrace=False)
    for sql in DROP:
        raw.execute(sql)
    yield url, raw
    for sql in DROP:
        raw.execute(sql)
    raw.close()


def test_flow(target):
    url, raw = target

    async def flow():
        db = await sablecrest.connect_async(url)
        await db.migrate(*MODELS)
        async with db.session() as s:
            ann, bob = AqAuthor(name="Ann"), AqAuthor(name="Bob")
            x = AqTag(name="x")
            posts = [AqPost(author_id=a, title=t, stock=n, price=Decimal(p), at=dt.datetime(2024, 1, n + 1))
                     for a, t, n, p in ((ann, "a1", 3, "1.10"), (ann, "a2", 1, "2.20"), (bob, "b1", 0, "3.30"))]
            s.add_all([ann, bob, x] + posts)
            await s.flush()
            s.add(AqPostTag(post_id=posts[0], tag_id=x))
        seen = []
        db.trace = lambda sql, params: seen.append(sql)
        async with db.session() as s:
            authors = await s.select(AqAuthor).order_by(AqAuthor.id).load(AqAuthor.posts, AqPost.tags).all()
            assert len(seen) == 3
            assert [(a.name, [(p.title, [t.name for t in p.tags]) for p in a.posts]) for a in authors] == [
                ("Ann", [("a1", ["x"]), ("a2", [])]), ("Bob", [("b1", [])])]
            with pytest.raises(NotLoadedError):
                authors[0].posts[0].author  # never awaited behind the user's back
            await s.load(authors[0].posts, AqPost.author)
            assert authors[0].posts[1].author is authors[0] and len(seen) == 3
            rows = await (s.select(AqPost.author_id, func.count(), func.sum(AqPost.price), func.max(AqPost.at))
                          .group_by(AqPost.author_id).order_by(AqPost.author_id).all())
            assert [tuple(type(v) for v in r) for r in rows] == [(int, int, Decimal, dt.datetime)] * 2
            assert [r[1:] for r in rows] == [(2, Decimal("3.30"), dt.datetime(2024, 1, 4)),
                                             (1, Decimal("3.30"), dt.datetime(2024, 1, 1))]
            assert await s.select(func.sum(AqPost.stock)).scalar() == 4
            # An order for two of each: only a1 has enough; the loaded object follows.
            a1 = authors[0].posts[0]
            taken = await s.select(AqPost).where(AqPost.stock >= 2).update(stock=AqPost.stock - 2)
            assert (taken, a1.stock, sablecrest.changes(a1)) == (1, 1, {})
            assert await s.select(AqPostTag).delete() == 1
            assert await s.select(AqPost).where(AqPost.stock == 0).delete() == 1
        await db.close()

    asyncio.run(flow())
    assert [tuple(r) for r in raw.execute("SELECT title, stock FROM sc_aq_posts ORDER BY id").fetchall()] == [
        ("a1", 1), ("a2", 1)]


def test_the_last_item_sells_once(target):
    """Two tasks, each in its own session, take the last item with a conditional update:
    exactly one gets it, in every one of 20 trials."""
    url, raw = target

    async def race():
        db = await sablecrest.connect_async(url)
        await db.migrate(*MODELS)
        async with db.session() as s:
            ann = AqAuthor(name="Ann")
            post = AqPost(author_id=ann, title="last", stock=1)
            s.add_all([ann, post])
        results = []
        for _ in range(20):
            async with db.session() as s:
                await s.select(AqPost).where(AqPost.id == post.id).update(stock=1)

            async def order():
                async with db.session() as s:
                    return await (s.select(AqPost).where(AqPost.id == post.id, AqPost.stock >= 1)
                                  .update(stock=AqPost.stock - 1))

            results.append(sorted(await asyncio.gather(order(), order())))
        await db.close()
        return results

    assert asyncio.run(race()) == [[0, 1]] * 20
    assert [tuple(r) for r in raw.execute("SELECT stock FROM sc_aq_posts").fetchall()] == [(0,)]
