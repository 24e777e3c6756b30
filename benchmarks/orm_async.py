"""The ORM workload on PostgreSQL, async and sync side by side.

Five programs do the same work on the same two tables:

- sablecrest async (asyncpg): ``connect_async``, one session per phase;
- asyncpg by hand: the best hand-written SQL on the same driver (multi-row INSERT ...
  RETURNING for the authors' keys, executemany for the posts and the updates, one
  ``= ANY($1)`` query for the prefetch and one for the deletes);
- sablecrest sync (psycopg 3): ``connect``, the same sessions without ``await``;
- psycopg by hand: the same hand-written SQL on psycopg 3;
- SQLAlchemy 2.x async ORM on asyncpg: AsyncSession, identity map, unit of work,
  ``selectinload`` for the prefetch.

The phases (each in one transaction):

1. insert: 200 authors and 5,000 posts referring to them;
2. update: load all 5,000 posts, add 1 to `likes` of the 4,900 whose id is not a
   multiple of 50;
3. select: 200 queries ``author_id = ? AND likes >= ? ORDER BY likes DESC, id LIMIT 10``;
4. prefetch: load the 4,800 posts with id > 200 and their authors in one batched
   lookup, then read each post's author name;
5. delete: delete the 100 of those loaded posts whose id is a multiple of 48.

Every program first runs the whole workload once and its results (and both tables as
the database holds them afterwards) are compared with the others'. Then the rounds
run, programs interleaved within each round, fresh tables before each run; a phase's
figure is its best time over the rounds, and the total is the sum of those.

    PYTHONPATH=<build dir>:. python3 benchmarks/orm_async.py [--rounds 7] [--url postgresql://...]

The URL defaults to $SABLECREST_PG_DSN (else postgresql://postgres@127.0.0.1:54329/sablecrest).
Needs asyncpg, psycopg 3 and SQLAlchemy 2.x with its asyncio extra.
"""

import argparse
import asyncio
import os
import time
from typing import Any, Dict, List, Optional, Tuple

N_AUTHORS = 200
N_POSTS = 5_000
AUTHORS = [("Author %03d" % i, None if i % 10 == 0 else "author%d@example.com" % i) for i in range(N_AUTHORS)]
# (author index, title, body, likes, score, published)
POSTS = [
    (j % N_AUTHORS, "Post %d: 100%% o'clock" % j, None if j % 7 == 0 else ("Body of post %d. " % j) * 4,
     (j * 37) % 1000, j * 0.5, j % 3 == 0)
    for j in range(N_POSTS)
]
UPDATE_SKIP = 50  # posts whose id is a multiple of this keep their likes: 4,900 updates
QUERIES = [(k % N_AUTHORS + 1, (k * 13) % 500) for k in range(200)]  # (author id, min likes)
LIMIT = 10
PREFETCH_AFTER = 200  # posts with a greater id: 4,800 rows
DELETE_EVERY = 48  # of those, the multiples of this: 100 rows
PHASES = ["insert", "update", "select", "prefetch", "delete"]
LABELS = {
    "insert": "insert 200 + 5,000",
    "update": "load 5,000 + update 4,900",
    "select": "200 filtered selects",
    "prefetch": "load 4,800 + prefetch",
    "delete": "delete 100",
}
DDL = [
    "DROP TABLE IF EXISTS posts",
    "DROP TABLE IF EXISTS authors",
    "CREATE TABLE authors (id SERIAL PRIMARY KEY, name TEXT NOT NULL, email TEXT)",
    "CREATE TABLE posts (id SERIAL PRIMARY KEY, author_id INTEGER NOT NULL REFERENCES authors (id), "
    "title TEXT NOT NULL, body TEXT, likes INTEGER NOT NULL, score DOUBLE PRECISION NOT NULL, "
    "published BOOLEAN NOT NULL)",
    "CREATE INDEX posts_author_id ON posts (author_id)",
]
DUMP = ["SELECT * FROM authors ORDER BY id", "SELECT * FROM posts ORDER BY id"]
COLS = "id, author_id, title, body, likes, score, published"


def bump(posts: List[Any]) -> int:
    n = 0
    for p in posts:
        if p.id % UPDATE_SKIP:
            p.likes += 1
            n += 1
    return n


# ------------------------------------------------------------------ sablecrest

_models: Dict[str, Any] = {}


def sc_models() -> Tuple[Any, Any]:
    if not _models:
        from sablecrest import Field, Model

        class AsyncBenchAuthor(Model):
            __tablename__ = "authors"
            name = Field(str, nullable=False)
            email = Field(str)

        class AsyncBenchPost(Model):
            __tablename__ = "posts"
            author_id = Field(int, nullable=False, references=AsyncBenchAuthor)
            title = Field(str, nullable=False)
            body = Field(str)
            likes = Field(int, nullable=False)
            score = Field(float, nullable=False)
            published = Field(bool, nullable=False)

        _models.update(Author=AsyncBenchAuthor, Post=AsyncBenchPost)
    return _models["Author"], _models["Post"]


def sc_objects(Author: Any, Post: Any) -> Tuple[List[Any], List[Any]]:
    """The insert phase's new objects; posts refer to their author objects."""
    authors = [Author(name=n, email=e) for n, e in AUTHORS]
    posts = [Post(author_id=authors[a], title=t, body=b, likes=lk, score=sc, published=p)
             for a, t, b, lk, sc, p in POSTS]
    return authors, posts


def sc_query(s: Any, Post: Any, aid: int, m: int) -> Any:
    return s.select(Post).where(Post.author_id == aid, Post.likes >= m).order_by(Post.likes.desc(), Post.id).limit(LIMIT)


def sc_delete(s: Any, posts: List[Any]) -> int:
    doomed = [p for p in posts if p.id % DELETE_EVERY == 0]
    for p in doomed:
        s.delete(p)
    return len(doomed)


class SablecrestAsync:
    name = "sablecrest async (asyncpg)"

    async def open(self, url: str) -> None:
        import sablecrest

        self.Author, self.Post = sc_models()
        self.db = await sablecrest.connect_async(url, pool_size=1)

    async def ddl(self, statements: List[str]) -> None:
        async with self.db.session() as s:
            for sql in statements:
                await s.execute(sql)

    async def dump(self) -> Any:
        async with self.db.session() as s:
            return [[tuple(r) for r in await s.execute(sql)] for sql in DUMP]

    async def close(self) -> None:
        await self.db.close()

    async def insert(self) -> Any:
        authors, posts = sc_objects(self.Author, self.Post)
        async with self.db.session() as s:
            s.add_all(authors)
            s.add_all(posts)
        return sorted(a.id for a in authors)

    async def update(self) -> Any:
        async with self.db.session() as s:
            posts = await s.select(self.Post).all()
            return len(posts), bump(posts)

    async def select(self) -> Any:
        Post = self.Post
        out = []
        async with self.db.session() as s:
            for aid, m in QUERIES:
                out.append([p.id for p in await sc_query(s, Post, aid, m).all()])
        return out

    async def prefetch(self) -> Any:
        Post = self.Post
        self.s = s = self.db.session()
        posts = await s.select(Post).where(Post.id > PREFETCH_AFTER).order_by(Post.id).all()
        authors = await s.load_related(posts, Post.author_id)
        self.loaded = posts
        return [(p.id, authors[p.author_id].name) for p in posts]

    async def delete(self) -> Any:
        n = sc_delete(self.s, self.loaded)
        await self.s.commit()
        await self.s.close()
        return n


class SablecrestSync:
    name = "sablecrest sync (psycopg)"

    async def open(self, url: str) -> None:
        import sablecrest

        self.Author, self.Post = sc_models()
        self.db = sablecrest.connect(url, pool_size=1)

    async def ddl(self, statements: List[str]) -> None:
        with self.db.session() as s:
            for sql in statements:
                s.execute(sql)

    async def dump(self) -> Any:
        with self.db.session() as s:
            return [[tuple(r) for r in s.execute(sql)] for sql in DUMP]

    async def close(self) -> None:
        self.db.close()

    async def insert(self) -> Any:
        authors, posts = sc_objects(self.Author, self.Post)
        with self.db.session() as s:
            s.add_all(authors)
            s.add_all(posts)
        return sorted(a.id for a in authors)

    async def update(self) -> Any:
        with self.db.session() as s:
            posts = s.select(self.Post).all()
            return len(posts), bump(posts)

    async def select(self) -> Any:
        Post = self.Post
        out = []
        with self.db.session() as s:
            for aid, m in QUERIES:
                out.append([p.id for p in sc_query(s, Post, aid, m).all()])
        return out

    async def prefetch(self) -> Any:
        Post = self.Post
        self.s = s = self.db.session()
        posts = s.select(Post).where(Post.id > PREFETCH_AFTER).order_by(Post.id).all()
        authors = s.load_related(posts, Post.author_id)
        self.loaded = posts
        return [(p.id, authors[p.author_id].name) for p in posts]

    async def delete(self) -> Any:
        n = sc_delete(self.s, self.loaded)
        self.s.commit()
        self.s.close()
        return n


# ------------------------------------------------------------------ by hand

AUTHOR_VALUES = ", ".join("($%d, $%d)" % (2 * i + 1, 2 * i + 2) for i in range(N_AUTHORS))


class AsyncpgByHand:
    name = "asyncpg by hand"

    async def open(self, url: str) -> None:
        import asyncpg

        self.conn = await asyncpg.connect(url)

    async def ddl(self, statements: List[str]) -> None:
        for sql in statements:
            await self.conn.execute(sql)

    async def dump(self) -> Any:
        return [[tuple(r) for r in await self.conn.fetch(sql)] for sql in DUMP]

    async def close(self) -> None:
        await self.conn.close()

    async def insert(self) -> Any:
        c = self.conn
        async with c.transaction():
            rows = await c.fetch("INSERT INTO authors (name, email) VALUES %s RETURNING id" % AUTHOR_VALUES,
                                 *[v for a in AUTHORS for v in a])
            ids = sorted(r[0] for r in rows)
            await c.executemany(
                "INSERT INTO posts (author_id, title, body, likes, score, published) VALUES ($1, $2, $3, $4, $5, $6)",
                [(ids[a], t, b, lk, sc, p) for a, t, b, lk, sc, p in POSTS])
        return ids

    async def update(self) -> Any:
        c = self.conn
        async with c.transaction():
            rows = await c.fetch("SELECT %s FROM posts" % COLS)
            params = [(r[4] + 1, r[0]) for r in rows if r[0] % UPDATE_SKIP]
            await c.executemany("UPDATE posts SET likes = $1 WHERE id = $2", params)
        return len(rows), len(params)

    async def select(self) -> Any:
        c = self.conn
        sql = "SELECT %s FROM posts WHERE author_id = $1 AND likes >= $2 ORDER BY likes DESC, id ASC LIMIT $3" % COLS
        return [[r[0] for r in await c.fetch(sql, aid, m, LIMIT)] for aid, m in QUERIES]

    async def prefetch(self) -> Any:
        c = self.conn
        self.txn = c.transaction()
        await self.txn.start()
        rows = await c.fetch("SELECT %s FROM posts WHERE id > $1 ORDER BY id" % COLS, PREFETCH_AFTER)
        found = await c.fetch("SELECT id, name, email FROM authors WHERE id = ANY($1)", list({r[1] for r in rows}))
        authors = {r[0]: r for r in found}
        self.loaded = rows
        return [(r[0], authors[r[1]][1]) for r in rows]

    async def delete(self) -> Any:
        ids = [r[0] for r in self.loaded if r[0] % DELETE_EVERY == 0]
        await self.conn.execute("DELETE FROM posts WHERE id = ANY($1)", ids)
        await self.txn.commit()
        return len(ids)


class PsycopgByHand:
    name = "psycopg by hand"

    async def open(self, url: str) -> None:
        import psycopg

        self.conn = psycopg.connect(url, autocommit=True)
        self.cur = self.conn.cursor()

    async def ddl(self, statements: List[str]) -> None:
        for sql in statements:
            self.cur.execute(sql)

    async def dump(self) -> Any:
        return [[tuple(r) for r in self.cur.execute(sql).fetchall()] for sql in DUMP]

    async def close(self) -> None:
        self.conn.close()

    async def insert(self) -> Any:
        cur = self.cur
        with self.conn.transaction():
            values = ", ".join(["(%s, %s)"] * N_AUTHORS)
            cur.execute("INSERT INTO authors (name, email) VALUES %s RETURNING id" % values, [v for a in AUTHORS for v in a])
            ids = sorted(r[0] for r in cur.fetchall())
            cur.executemany(
                "INSERT INTO posts (author_id, title, body, likes, score, published) VALUES (%s, %s, %s, %s, %s, %s)",
                [(ids[a], t, b, lk, sc, p) for a, t, b, lk, sc, p in POSTS])
        return ids

    async def update(self) -> Any:
        cur = self.cur
        with self.conn.transaction():
            rows = cur.execute("SELECT %s FROM posts" % COLS).fetchall()
            params = [(r[4] + 1, r[0]) for r in rows if r[0] % UPDATE_SKIP]
            cur.executemany("UPDATE posts SET likes = %s WHERE id = %s", params)
        return len(rows), len(params)

    async def select(self) -> Any:
        cur = self.cur
        sql = "SELECT %s FROM posts WHERE author_id = %%s AND likes >= %%s ORDER BY likes DESC, id ASC LIMIT %%s" % COLS
        return [[r[0] for r in cur.execute(sql, (aid, m, LIMIT)).fetchall()] for aid, m in QUERIES]

    async def prefetch(self) -> Any:
        cur = self.cur
        self.txn = self.conn.transaction()
        self.txn.__enter__()
        rows = cur.execute("SELECT %s FROM posts WHERE id > %%s ORDER BY id" % COLS, (PREFETCH_AFTER,)).fetchall()
        found = cur.execute("SELECT id, name, email FROM authors WHERE id = ANY(%s)", (list({r[1] for r in rows}),)).fetchall()
        authors = {r[0]: r for r in found}
        self.loaded = rows
        return [(r[0], authors[r[1]][1]) for r in rows]

    async def delete(self) -> Any:
        ids = [r[0] for r in self.loaded if r[0] % DELETE_EVERY == 0]
        self.cur.execute("DELETE FROM posts WHERE id = ANY(%s)", (ids,))
        self.txn.__exit__(None, None, None)
        return len(ids)


# ------------------------------------------------------------------ SQLAlchemy

_sa: Dict[str, Any] = {}


def sa_models() -> Dict[str, Any]:
    if not _sa:
        from sqlalchemy import Boolean, Float, ForeignKey, Integer, String
        from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column, relationship

        class Base(DeclarativeBase):
            pass

        class Author(Base):
            __tablename__ = "authors"
            id: Mapped[int] = mapped_column(Integer, primary_key=True)
            name: Mapped[str] = mapped_column(String, nullable=False)
            email: Mapped[Optional[str]] = mapped_column(String)

        class Post(Base):
            __tablename__ = "posts"
            id: Mapped[int] = mapped_column(Integer, primary_key=True)
            author_id: Mapped[int] = mapped_column(ForeignKey("authors.id"), nullable=False)
            title: Mapped[str] = mapped_column(String, nullable=False)
            body: Mapped[Optional[str]] = mapped_column(String)
            likes: Mapped[int] = mapped_column(Integer, nullable=False)
            score: Mapped[float] = mapped_column(Float, nullable=False)
            published: Mapped[bool] = mapped_column(Boolean, nullable=False)
            author: Mapped[Author] = relationship()

        _sa.update(Author=Author, Post=Post)
    return _sa


class SQLAlchemyAsyncORM:
    """AsyncSession with the session defaults: add_all of the authors, flush for their
    keys, add_all of the posts, commit; scalars(select()) for the loads and queries;
    selectinload(Post.author) for the prefetch; delete() of the loaded objects."""

    name = "SQLAlchemy async ORM (asyncpg)"

    async def open(self, url: str) -> None:
        from sqlalchemy.ext.asyncio import create_async_engine

        m = sa_models()
        self.Author, self.Post = m["Author"], m["Post"]
        self.engine = create_async_engine(url.replace("postgresql://", "postgresql+asyncpg://", 1), pool_size=1)

    async def ddl(self, statements: List[str]) -> None:
        async with self.engine.begin() as conn:
            for sql in statements:
                await conn.exec_driver_sql(sql)

    async def dump(self) -> Any:
        async with self.engine.connect() as conn:
            return [[tuple(r) for r in (await conn.exec_driver_sql(sql)).all()] for sql in DUMP]

    async def close(self) -> None:
        await self.engine.dispose()

    async def insert(self) -> Any:
        from sqlalchemy.ext.asyncio import AsyncSession

        Author, Post = self.Author, self.Post
        async with AsyncSession(self.engine) as s:
            authors = [Author(name=n, email=e) for n, e in AUTHORS]
            s.add_all(authors)
            await s.flush()
            s.add_all([Post(author_id=authors[a].id, title=t, body=b, likes=lk, score=sc, published=p)
                       for a, t, b, lk, sc, p in POSTS])
            ids = sorted(a.id for a in authors)
            await s.commit()
        return ids

    async def update(self) -> Any:
        from sqlalchemy import select
        from sqlalchemy.ext.asyncio import AsyncSession

        async with AsyncSession(self.engine) as s:
            posts = (await s.scalars(select(self.Post))).all()
            n = bump(list(posts))
            await s.commit()
        return len(posts), n

    async def select(self) -> Any:
        from sqlalchemy import select
        from sqlalchemy.ext.asyncio import AsyncSession

        Post = self.Post
        out = []
        async with AsyncSession(self.engine) as s:
            for aid, m in QUERIES:
                rows = (await s.scalars(select(Post).where(Post.author_id == aid, Post.likes >= m)
                                        .order_by(Post.likes.desc(), Post.id).limit(LIMIT))).all()
                out.append([p.id for p in rows])
            await s.commit()
        return out

    async def prefetch(self) -> Any:
        from sqlalchemy import select
        from sqlalchemy.ext.asyncio import AsyncSession
        from sqlalchemy.orm import selectinload

        Post = self.Post
        self.s = s = AsyncSession(self.engine)
        posts = (await s.scalars(select(Post).where(Post.id > PREFETCH_AFTER).order_by(Post.id)
                                 .options(selectinload(Post.author)))).all()
        self.loaded = posts
        return [(p.id, p.author.name) for p in posts]

    async def delete(self) -> Any:
        s, n = self.s, 0
        for p in self.loaded:
            if p.id % DELETE_EVERY == 0:
                await s.delete(p)
                n += 1
        await s.commit()
        await s.close()
        return n


CONTENDERS = [SablecrestAsync, AsyncpgByHand, SablecrestSync, PsycopgByHand, SQLAlchemyAsyncORM]
BASELINE = {SablecrestAsync.name: AsyncpgByHand.name, SablecrestSync.name: PsycopgByHand.name}


async def run_once(c: Any, timings: Optional[Dict[str, float]] = None) -> List[Any]:
    await c.ddl(DDL)
    results = []
    for phase in PHASES:
        t0 = time.perf_counter()
        results.append(await getattr(c, phase)())
        t = time.perf_counter() - t0
        if timings is not None:
            timings[phase] = min(timings.get(phase, t), t)
    return results


async def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--url", default=os.environ.get("SABLECREST_PG_DSN", "postgresql://postgres@127.0.0.1:54329/sablecrest"))
    ap.add_argument("--only", nargs="*", help="contender names to run (default: all)")
    args = ap.parse_args()
    contenders = [cls() for cls in CONTENDERS if not args.only or cls.name in args.only]
    for c in contenders:
        await c.open(args.url)
    try:
        # The same results and the same tables from every program first.
        reference: Any = None
        for c in contenders:
            got = await run_once(c)
            got.append(await c.dump())
            if reference is None:
                reference = got
            for phase, a, b in zip(PHASES + ["tables"], reference, got):
                if a != b:
                    raise SystemExit("%s differs from %s in %s" % (c.name, contenders[0].name, phase))
        print("results and tables equal across %d programs; %d rounds" % (len(contenders), args.rounds))
        best: Dict[str, Dict[str, float]] = {c.name: {} for c in contenders}
        for _ in range(args.rounds):
            for c in contenders:
                await run_once(c, best[c.name])
    finally:
        for c in contenders:
            await c.close()
    totals = {name: sum(t.values()) for name, t in best.items()}
    head = "| program | " + " | ".join(LABELS[p] for p in PHASES) + " | total | vs. by hand |"
    print(head)
    print("|" + "---|" * (len(PHASES) + 3))
    for c in contenders:
        t = best[c.name]
        base = BASELINE.get(c.name)
        ratio = "%.2f×" % (totals[c.name] / totals[base]) if base in totals else ""
        print("| %s | %s | %.1f ms | %s |" % (c.name, " | ".join("%.1f ms" % (t[p] * 1e3) for p in PHASES),
                                             totals[c.name] * 1e3, ratio))
    sa, sc = SQLAlchemyAsyncORM.name, SablecrestAsync.name
    if sa in totals and sc in totals:
        print("\nsablecrest async is %.1f× faster than SQLAlchemy's async ORM" % (totals[sa] / totals[sc]))


if __name__ == "__main__":
    asyncio.run(main())
