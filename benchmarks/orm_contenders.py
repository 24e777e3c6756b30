"""The ORM workload and the five programs that run it.

Every contender does the same work on the same two tables, in the way its library is
meant to be used efficiently:

1. insert: 200 authors and 5,000 posts referring to them, in one transaction;
2. update: load all posts, add 1 to `likes` of the 4,900 whose id is not a multiple
   of 50, commit;
3. select: 200 queries `author_id = ? AND likes >= ? ORDER BY likes DESC, id LIMIT 10`;
4. prefetch: load the 4,800 posts with id > 200 and their authors in one batched
   lookup, then read each post's author name;
5. delete: delete the 100 of those loaded posts whose id is a multiple of 48, commit.

bench_orm.py also runs four phases across the two tables, between select and prefetch
(`ALL_PHASES`; orm_async.py runs the five above):

- load: the 200 authors with their posts (one-to-many: a query of the authors, then
  one of their posts), each author's posts in key order;
- join: 50 queries of posts joined with their authors, filtered by the author's name
  and the posts' likes, ordered by likes and id;
- report: 20 aggregate reports, each over a page of 10 authors: per author with at
  least 9 published posts, the count, the sum of likes and the best score (GROUP BY,
  HAVING, ORDER BY);
- bulk: 200 conditional set-based updates in one transaction (an order placed
  against stock: likes = likes - q where the post has at least q), counting the rows
  changed.

Each phase returns a small result (counts, ids, names) that the runner compares across
contenders; `dump()` returns both tables as the database holds them.

`orm_async.py` runs the same workload, with these data, tables, models and helpers, on
asyncpg and psycopg side by side.

Each contender keeps one connection (an in-memory database of its own on SQLite) and
gets fresh tables before each run: DROP and CREATE through that connection, from one DDL
per engine, so that every contender writes into the same columns with the same index
(each library's own DDL differs in types and indexes) and its statement caches stay as
warm as in a long-running program. On SQLite every contender enforces foreign keys, as
sablecrest does by default.
"""

import sqlite3
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

# ------------------------------------------------------------------ the data

N_AUTHORS = 200
N_POSTS = 5_000
AUTHORS = [(f"Author {i:03d}", None if i % 10 == 0 else f"author{i}@example.com") for i in range(N_AUTHORS)]
# (author index, title, body, likes, score, published)
POSTS = [
    (j % N_AUTHORS, f"Post {j}: 100% o'clock", None if j % 7 == 0 else f"Body of post {j}. " * 4,
     (j * 37) % 1000, j * 0.5, j % 3 == 0)
    for j in range(N_POSTS)
]
UPDATE_SKIP = 50  # posts whose id is a multiple of this keep their likes: 4,900 updates
QUERIES = [(k % N_AUTHORS + 1, (k * 13) % 500) for k in range(200)]  # (author id, min likes)
QUERY_LIMIT = 10
PREFETCH_AFTER = 200  # posts with a greater id: 4,800 rows
DELETE_EVERY = 48  # of those, the multiples of this: 100 rows

# Across tables (bench_orm.py's phases between select and prefetch).
JOIN_QUERIES = [(f"Author {(k * 37) % N_AUTHORS:03d}", (k * 97) % 600) for k in range(50)]  # (author name, min likes)
REPORT_PAGES = [(k * 10 + 1, k * 10 + 10) for k in range(20)]  # (first author id, last author id)
REPORT_MIN_POSTS = 9  # published posts an author needs to be in the report
BULK = [(k * 25 + 1 + k % 7, 300) for k in range(200)]  # (post id, quantity taken off its likes)

PHASES = ["insert", "update", "select", "prefetch", "delete"]
QUERY_PHASES = ["load", "join", "report", "bulk"]
ALL_PHASES = PHASES[:3] + QUERY_PHASES + PHASES[3:]
PHASE_LABELS = {
    "insert": "insert 200 + 5,000",
    "update": "load 5,000 + update 4,900",
    "select": "200 filtered selects",
    "load": "200 authors with their 5,000 posts",
    "join": "50 join queries",
    "report": "20 aggregate reports",
    "bulk": "200 conditional updates",
    "prefetch": "load 4,800 + prefetch",
    "delete": "delete 100",
}

DDL = {
    "sqlite": [
        "CREATE TABLE authors (id INTEGER PRIMARY KEY, name TEXT NOT NULL, email TEXT)",
        "CREATE TABLE posts (id INTEGER PRIMARY KEY, author_id INTEGER NOT NULL REFERENCES authors (id), "
        "title TEXT NOT NULL, body TEXT, likes INTEGER NOT NULL, score REAL NOT NULL, published BOOLEAN NOT NULL)",
        "CREATE INDEX posts_author_id ON posts (author_id)",
        "CREATE INDEX authors_name ON authors (name)",
    ],
    "postgresql": [
        "CREATE TABLE authors (id SERIAL PRIMARY KEY, name TEXT NOT NULL, email TEXT)",
        "CREATE TABLE posts (id SERIAL PRIMARY KEY, author_id INTEGER NOT NULL REFERENCES authors (id), "
        "title TEXT NOT NULL, body TEXT, likes INTEGER NOT NULL, score DOUBLE PRECISION NOT NULL, "
        "published BOOLEAN NOT NULL)",
        "CREATE INDEX posts_author_id ON posts (author_id)",
        "CREATE INDEX authors_name ON authors (name)",
    ],
    "mariadb": [
        "CREATE TABLE authors (id INTEGER AUTO_INCREMENT PRIMARY KEY, name TEXT NOT NULL, email TEXT, "
        "INDEX authors_name (name(32))) ENGINE=InnoDB",
        "CREATE TABLE posts (id INTEGER AUTO_INCREMENT PRIMARY KEY, author_id INTEGER NOT NULL, "
        "title TEXT NOT NULL, body TEXT, likes INTEGER NOT NULL, score DOUBLE NOT NULL, published BOOLEAN NOT NULL, "
        "INDEX posts_author_id (author_id), FOREIGN KEY (author_id) REFERENCES authors (id)) ENGINE=InnoDB",
    ],
}
DROP = ["DROP TABLE IF EXISTS posts", "DROP TABLE IF EXISTS authors"]
DUMP = ["SELECT * FROM authors ORDER BY id", "SELECT * FROM posts ORDER BY id"]
POST_COLUMNS = "id, author_id, title, body, likes, score, published"


def normalize(rows: Sequence[Sequence[Any]]) -> List[Tuple[Any, ...]]:
    """Rows as plain tuples; booleans as 0/1 (SQLite and MariaDB hand back integers)."""
    return [tuple(int(v) if isinstance(v, bool) else v for v in r) for r in rows]


def bump_likes(posts: Sequence[Any]) -> List[Any]:
    """The update phase's change, on objects: +1 like for each post whose id is not a
    multiple of UPDATE_SKIP; returns the changed posts."""
    changed = []
    for p in posts:
        if p.id % UPDATE_SKIP:
            p.likes += 1
            changed.append(p)
    return changed


def doomed(posts: Sequence[Any]) -> List[Any]:
    """The delete phase's victims among the loaded posts (objects or named rows): those
    whose id is a multiple of DELETE_EVERY."""
    return [p for p in posts if p.id % DELETE_EVERY == 0]


def delete_loaded(session: Any, posts: Sequence[Any]) -> int:
    """The delete phase in a session with delete/commit/close (sablecrest, SQLAlchemy
    ORM)."""
    victims = doomed(posts)
    for p in victims:
        session.delete(p)
    session.commit()
    session.close()
    return len(victims)


def new_authors(Author: Any) -> List[Any]:
    """The insert phase's authors as objects of an ORM's model."""
    return [Author(name=n, email=e) for n, e in AUTHORS]


def new_posts(Post: Any, refs: Sequence[Any]) -> List[Any]:
    """The insert phase's posts as objects of an ORM's model; `refs[i]` is what goes into
    `author_id` for author i (the author object itself on sablecrest, its key on SQLAlchemy)."""
    return [Post(author_id=refs[a], title=t, body=b, likes=l, score=sc, published=p) for a, t, b, l, sc, p in POSTS]


def post_rows(ids: Sequence[int]) -> List[Tuple[Any, ...]]:
    """The insert phase's posts as parameter tuples (author_id, title, body, likes, score,
    published), with `ids[i]` the key of author i."""
    return [(ids[a], t, b, l, s, p) for a, t, b, l, s, p in POSTS]


def report_row(name: Any, count: Any, total: Any, best: Any) -> Tuple[str, int, int, float]:
    """A report row as every contender returns it (drivers widen sums differently:
    MariaDB gives a Decimal)."""
    return name, int(count), int(total), float(best)


def group_children(parents: Sequence[Any], rows: Sequence[Sequence[Any]]) -> List[Tuple[int, List[int]]]:
    """(parent id, [child id, ...]) for rows (child id, parent id) in child order."""
    by_parent: Dict[int, List[int]] = {p[0]: [] for p in parents}
    for r in rows:
        by_parent[r[1]].append(r[0])
    return [(p[0], by_parent[p[0]]) for p in parents]


def sorted_keys(rows: Sequence[Sequence[Any]]) -> List[int]:
    # Keys are generated in ascending order as rows are inserted; RETURNING promises no
    # order, so the sorted keys are matched to the rows in order.
    return sorted(r[0] for r in rows)


class Contender:
    name = ""
    engine = ""

    def __init__(self, engine: str, urls: Dict[str, str]) -> None:
        self.engine = engine
        self.urls = urls

    def fresh(self) -> None:
        """Drops and creates the tables."""
        self.run_ddl(DROP + DDL[self.engine])

    def run_phase(self, phase: str) -> Tuple[Any, float]:
        """Runs one phase: its result and its wall time in seconds."""
        run = getattr(self, phase)
        t0 = time.perf_counter()
        got = run()
        return got, time.perf_counter() - t0

    def run_ddl(self, statements: List[str]) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass

    def dump(self) -> Tuple[List[Tuple[Any, ...]], List[Tuple[Any, ...]]]:
        raise NotImplementedError

    def insert(self) -> Any:
        raise NotImplementedError

    def update(self) -> Any:
        raise NotImplementedError

    def select(self) -> Any:
        raise NotImplementedError

    def prefetch(self) -> Any:
        raise NotImplementedError

    def delete(self) -> Any:
        raise NotImplementedError

    def load(self) -> Any:
        raise NotImplementedError

    def join(self) -> Any:
        raise NotImplementedError

    def report(self) -> Any:
        raise NotImplementedError

    def bulk(self) -> Any:
        raise NotImplementedError


# ------------------------------------------------------------------ raw drivers


class Raw(Contender):
    """The driver itself (sqlite3, psycopg 3, PyMySQL) with hand-written SQL: one
    multi-row INSERT ... RETURNING for the authors' keys, executemany for the posts and
    the updates, rows as tuples, one IN (or = ANY) query for the prefetch, one DELETE
    ... IN for the deletes."""

    name = "raw driver"

    def __init__(self, engine: str, urls: Dict[str, str]) -> None:
        super().__init__(engine, urls)
        self.conn: Any
        if engine == "sqlite":
            self.conn = sqlite3.connect(":memory:", isolation_level=None)
            self.conn.execute("PRAGMA foreign_keys = ON")
            self.ph = "?"
        elif engine == "postgresql":
            import psycopg

            self.conn = psycopg.connect(urls["postgresql"], autocommit=True)
            self.ph = "%s"
        else:
            import pymysql

            self.conn = _pymysql_connect(urls["mariadb"], pymysql)
            self.ph = "%s"

    def version(self) -> str:
        if self.engine == "sqlite":
            return "SQLite " + sqlite3.sqlite_version
        if self.engine == "postgresql":
            return "PostgreSQL " + self.conn.execute("SHOW server_version").fetchone()[0]
        info = self.conn.get_server_info()  # "5.5.5-10.11.6-MariaDB-..." to old clients
        return "MariaDB " + info.split("-MariaDB")[0].replace("5.5.5-", "", 1) if "MariaDB" in info else info

    def run_ddl(self, statements: List[str]) -> None:
        cur = self._cursor()
        for sql in statements:
            cur.execute(sql)
        if self.engine == "mariadb":
            self.conn.commit()

    def close(self) -> None:
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    def _cursor(self) -> Any:
        return self.conn if self.engine == "sqlite" else self.conn.cursor()

    def _begin(self, cur: Any) -> None:
        if self.engine == "sqlite":
            cur.execute("BEGIN")
        elif self.engine == "postgresql":
            self._txn = self.conn.transaction()
            self._txn.__enter__()

    def _commit(self, cur: Any) -> None:
        if self.engine == "sqlite":
            cur.execute("COMMIT")
        elif self.engine == "postgresql":
            self._txn.__exit__(None, None, None)
        else:
            self.conn.commit()

    def _fetch(self, cur: Any, sql: str, params: Sequence[Any] = ()) -> List[Any]:
        if self.engine == "sqlite":
            return cur.execute(sql, params).fetchall()
        cur.execute(sql, params)
        return cur.fetchall()

    def dump(self):
        cur = self._cursor()
        out = tuple(normalize(self._fetch(cur, sql)) for sql in DUMP)
        if self.engine == "mariadb":
            self.conn.commit()
        return out

    def insert(self):
        ph = self.ph
        cur = self._cursor()
        self._begin(cur)
        groups = ", ".join([f"({ph}, {ph})"] * N_AUTHORS)
        params = [v for a in AUTHORS for v in a]
        ids = sorted_keys(self._fetch(cur, f"INSERT INTO authors (name, email) VALUES {groups} RETURNING id", params))
        cur.executemany(
            f"INSERT INTO posts (author_id, title, body, likes, score, published) VALUES ({ph}, {ph}, {ph}, {ph}, {ph}, {ph})",
            post_rows(ids),
        )
        self._commit(cur)
        return len(ids), len(POSTS)

    def update(self):
        ph = self.ph
        cur = self._cursor()
        self._begin(cur)
        rows = self._fetch(cur, f"SELECT {POST_COLUMNS} FROM posts")
        params = [(r[4] + 1, r[0]) for r in rows if r[0] % UPDATE_SKIP]
        cur.executemany(f"UPDATE posts SET likes = {ph} WHERE id = {ph}", params)
        self._commit(cur)
        return len(rows), len(params)

    def select(self):
        ph = self.ph
        cur = self._cursor()
        sql = (f"SELECT {POST_COLUMNS} FROM posts "
               f"WHERE author_id = {ph} AND likes >= {ph} ORDER BY likes DESC, id ASC LIMIT {ph}")
        out = [[r[0] for r in self._fetch(cur, sql, (aid, m, QUERY_LIMIT))] for aid, m in QUERIES]
        if self.engine == "mariadb":
            self.conn.commit()
        return out

    def prefetch(self):
        ph = self.ph
        cur = self._cursor()
        self._begin(cur)
        rows = self._fetch(
            cur, f"SELECT {POST_COLUMNS} FROM posts WHERE id > {ph} ORDER BY id",
            (PREFETCH_AFTER,))
        keys = list({r[1] for r in rows})
        if self.engine == "postgresql":
            found = self._fetch(cur, "SELECT id, name, email FROM authors WHERE id = ANY(%s)", (keys,))
        else:
            found = self._fetch(cur, f"SELECT id, name, email FROM authors WHERE id IN ({', '.join([ph] * len(keys))})", keys)
        authors = {r[0]: r for r in found}
        self.loaded = rows
        return [(r[0], authors[r[1]][1]) for r in rows]

    def load(self):
        ph = self.ph
        cur = self._cursor()
        authors = self._fetch(cur, "SELECT id, name, email FROM authors ORDER BY id")
        keys = [a[0] for a in authors]
        if self.engine == "postgresql":
            rows = self._fetch(cur, f"SELECT {POST_COLUMNS} FROM posts WHERE author_id = ANY(%s) ORDER BY id", (keys,))
        else:
            rows = self._fetch(cur, f"SELECT {POST_COLUMNS} FROM posts WHERE author_id IN ({', '.join([ph] * len(keys))}) "
                                    "ORDER BY id", keys)
        if self.engine == "mariadb":
            self.conn.commit()
        return group_children(authors, rows)

    def join(self):
        ph = self.ph
        cur = self._cursor()
        sql = (f"SELECT posts.id, posts.author_id, posts.title, posts.body, posts.likes, posts.score, posts.published "
               f"FROM posts JOIN authors ON authors.id = posts.author_id WHERE authors.name = {ph} "
               f"AND posts.likes >= {ph} ORDER BY posts.likes DESC, posts.id ASC")
        out = [[r[0] for r in self._fetch(cur, sql, (name, m))] for name, m in JOIN_QUERIES]
        if self.engine == "mariadb":
            self.conn.commit()
        return out

    def report(self):
        ph = self.ph
        cur = self._cursor()
        sql = (f"SELECT authors.name, COUNT(posts.id), SUM(posts.likes), MAX(posts.score) FROM authors "
               f"JOIN posts ON posts.author_id = authors.id WHERE authors.id BETWEEN {ph} AND {ph} "
               f"AND posts.published = {ph} GROUP BY authors.id, authors.name HAVING COUNT(posts.id) >= {ph} "
               f"ORDER BY authors.name")
        out = [[report_row(*r) for r in self._fetch(cur, sql, (lo, hi, True, REPORT_MIN_POSTS))]
               for lo, hi in REPORT_PAGES]
        if self.engine == "mariadb":
            self.conn.commit()
        return out

    def bulk(self):
        ph = self.ph
        cur = self._cursor()
        self._begin(cur)
        sql = f"UPDATE posts SET likes = likes - {ph} WHERE id = {ph} AND likes >= {ph}"
        n = 0
        for pid, q in BULK:
            c = cur.execute(sql, (q, pid, q))
            n += (c if self.engine == "sqlite" else cur).rowcount
        self._commit(cur)
        return n

    def delete(self):
        ph = self.ph
        cur = self._cursor()
        ids = [r[0] for r in self.loaded if r[0] % DELETE_EVERY == 0]
        if self.engine == "postgresql":
            cur.execute("DELETE FROM posts WHERE id = ANY(%s)", (ids,))
        else:
            cur.execute(f"DELETE FROM posts WHERE id IN ({', '.join([ph] * len(ids))})", ids)
        self._commit(cur)
        self.loaded = None
        return len(ids)


def _pymysql_connect(url: str, pymysql: Any) -> Any:
    from urllib.parse import urlsplit

    u = urlsplit(url)
    return pymysql.connect(host=u.hostname, port=u.port or 3306, user=u.username, password=u.password or "",
                           database=u.path.lstrip("/"), charset="utf8mb4", autocommit=False)


# ------------------------------------------------------------------ sablecrest

_sc_models: Dict[str, Any] = {}


def sablecrest_models() -> Tuple[Any, Any]:
    if not _sc_models:
        from sablecrest import Field, Model, relation

        class BenchAuthor(Model):
            __tablename__ = "authors"
            id = Field(int, primary_key=True)
            name = Field(str, nullable=False)
            email = Field(str)
            posts = relation("BenchPost.author_id")

        class BenchPost(Model):
            __tablename__ = "posts"
            id = Field(int, primary_key=True)
            author_id = Field(int, nullable=False, references=BenchAuthor)
            title = Field(str, nullable=False)
            body = Field(str)
            likes = Field(int, nullable=False)
            score = Field(float, nullable=False)
            published = Field(bool, nullable=False)
            author = relation(author_id)

        _sc_models.update(Author=BenchAuthor, Post=BenchPost)
    return _sc_models["Author"], _sc_models["Post"]


def sablecrest_filtered(s: Any, Post: Any, aid: int, min_likes: int) -> Any:
    """The select phase's query on a sablecrest session (sync or async)."""
    return (s.select(Post).where(Post.author_id == aid, Post.likes >= min_likes)
            .order_by(Post.likes.desc(), Post.id).limit(QUERY_LIMIT))


def sablecrest_after(s: Any, Post: Any) -> Any:
    """The prefetch phase's query on a sablecrest session (sync or async)."""
    return s.select(Post).where(Post.id > PREFETCH_AFTER).order_by(Post.id)


class Sablecrest(Contender):
    """The public API: a session per phase, add_all of authors and of posts that refer
    to their author objects, select().all() and attribute assignment for the updates,
    select().where().order_by().limit().all(), load_related(posts, Post.author_id),
    delete() of the loaded objects."""

    name = "sablecrest"

    def __init__(self, engine: str, urls: Dict[str, str]) -> None:
        super().__init__(engine, urls)
        import sablecrest

        self.sc = sablecrest
        self.Author, self.Post = sablecrest_models()
        self.db: Any = sablecrest.connect(urls[engine])

    def run_ddl(self, statements: List[str]) -> None:
        with self.db.session() as s:
            for sql in statements:
                s.execute(sql)

    def close(self) -> None:
        if self.db is not None:
            self.db.close()
            self.db = None

    def dump(self):
        with self.db.session() as s:
            return tuple(normalize(s.execute(sql).rows) for sql in DUMP)

    def insert(self):
        authors = new_authors(self.Author)
        posts = new_posts(self.Post, authors)
        with self.db.session() as s:
            s.add_all(authors)
            s.add_all(posts)
        return len(authors), len(posts)

    def update(self):
        with self.db.session() as s:
            posts = s.select(self.Post).all()
            n = len(bump_likes(posts))
        return len(posts), n

    def select(self):
        Post = self.Post
        out = []
        with self.db.session() as s:
            for aid, m in QUERIES:
                out.append([p.id for p in sablecrest_filtered(s, Post, aid, m).all()])
        return out

    def prefetch(self):
        Post = self.Post
        self.s = s = self.db.session()
        posts = sablecrest_after(s, Post).all()
        authors = s.load_related(posts, Post.author_id)
        self.loaded = posts
        return [(p.id, authors[p.author_id].name) for p in posts]

    def load(self):
        Author = self.Author
        with self.db.session() as s:
            authors = s.select(Author).order_by(Author.id).load(Author.posts).all()
            return [(a.id, [p.id for p in a.posts]) for a in authors]

    def join(self):
        Author, Post = self.Author, self.Post
        out = []
        with self.db.session() as s:
            for name, m in JOIN_QUERIES:
                q = (s.select(Post).join(Post.author).where(Author.name == name, Post.likes >= m)
                     .order_by(Post.likes.desc(), Post.id))
                out.append([p.id for p in q.all()])
        return out

    def report(self):
        Author, Post = self.Author, self.Post
        func = self.sc.func
        out = []
        with self.db.session() as s:
            for lo, hi in REPORT_PAGES:
                q = (s.select(Author.name, func.count(Post.id), func.sum(Post.likes), func.max(Post.score))
                     .join(Author.posts).where(Author.id.between(lo, hi), Post.published == True)  # noqa: E712
                     .group_by(Author.id, Author.name).having(func.count(Post.id) >= REPORT_MIN_POSTS)
                     .order_by(Author.name))
                out.append([report_row(*r) for r in q.all()])
        return out

    def bulk(self):
        Post = self.Post
        n = 0
        with self.db.session() as s:
            for pid, q in BULK:
                n += s.select(Post).where(Post.id == pid, Post.likes >= q).update(likes=Post.likes - q)
        return n

    def delete(self):
        n = delete_loaded(self.s, self.loaded)
        self.s = self.loaded = None
        return n


# ------------------------------------------------------------------ SQLAlchemy

_sa: Dict[str, Any] = {}


def sqlalchemy_models() -> Dict[str, Any]:
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
            posts: Mapped[List["Post"]] = relationship(back_populates="author", order_by="Post.id")

        class Post(Base):
            __tablename__ = "posts"
            id: Mapped[int] = mapped_column(Integer, primary_key=True)
            author_id: Mapped[int] = mapped_column(ForeignKey("authors.id"), nullable=False)
            title: Mapped[str] = mapped_column(String, nullable=False)
            body: Mapped[Optional[str]] = mapped_column(String)
            likes: Mapped[int] = mapped_column(Integer, nullable=False)
            score: Mapped[float] = mapped_column(Float, nullable=False)
            published: Mapped[bool] = mapped_column(Boolean, nullable=False)
            author: Mapped[Author] = relationship(back_populates="posts")

        _sa.update(Author=Author, Post=Post)
    return _sa


def sqlalchemy_filtered(Post: Any, aid: int, min_likes: int) -> Any:
    """The select phase's statement on the SQLAlchemy ORM (sync or async)."""
    from sqlalchemy import select

    return (select(Post).where(Post.author_id == aid, Post.likes >= min_likes)
            .order_by(Post.likes.desc(), Post.id).limit(QUERY_LIMIT))


def sqlalchemy_after(Post: Any) -> Any:
    """The prefetch phase's statement on the SQLAlchemy ORM (sync or async): the posts
    and, by selectinload, their authors."""
    from sqlalchemy import select
    from sqlalchemy.orm import selectinload

    return select(Post).where(Post.id > PREFETCH_AFTER).order_by(Post.id).options(selectinload(Post.author))


def sqlalchemy_url(engine: str, urls: Dict[str, str]) -> str:
    if engine == "sqlite":
        return "sqlite://"
    if engine == "postgresql":
        return urls["postgresql"].replace("postgresql://", "postgresql+psycopg://", 1)
    return urls["mariadb"].replace("mysql://", "mariadb+pymysql://", 1).replace("mariadb://", "mariadb+pymysql://", 1)


class _SQLAlchemyBase(Contender):
    def __init__(self, engine: str, urls: Dict[str, str]) -> None:
        super().__init__(engine, urls)
        m = sqlalchemy_models()
        self.Author, self.Post = m["Author"], m["Post"]
        self.authors_t, self.posts_t = self.Author.__table__, self.Post.__table__
        self.sa_engine: Any = self._make_engine()

    def _make_engine(self) -> Any:
        from sqlalchemy import create_engine, event

        e = create_engine(sqlalchemy_url(self.engine, self.urls))
        if self.engine == "sqlite":
            @event.listens_for(e, "connect")
            def _fk(dbapi_conn: Any, _: Any) -> None:
                dbapi_conn.execute("PRAGMA foreign_keys = ON")
        return e

    def run_ddl(self, statements: List[str]) -> None:
        with self.sa_engine.begin() as conn:
            for sql in statements:
                conn.exec_driver_sql(sql)

    def close(self) -> None:
        if self.sa_engine is not None:
            self.sa_engine.dispose()
            self.sa_engine = None

    def dump(self):
        with self.sa_engine.connect() as conn:
            return tuple(normalize(conn.exec_driver_sql(sql).all()) for sql in DUMP)


class SQLAlchemyORM(_SQLAlchemyBase):
    """Session, identity map and unit of work with the session defaults (expire on
    commit): add_all of the authors, flush for their keys, add_all of the posts, commit
    (batched INSERT ... RETURNING on the servers; one INSERT per row on SQLite, where
    SQLAlchemy does not match returned keys to rows by their order; executemany UPDATE
    and DELETE); scalars(select()) for the loads and queries; selectinload(Post.author)
    for the prefetch; delete() of the loaded objects."""

    name = "SQLAlchemy ORM"

    def insert(self):
        from sqlalchemy.orm import Session

        Author, Post = self.Author, self.Post
        with Session(self.sa_engine) as s:
            authors = new_authors(Author)
            s.add_all(authors)
            s.flush()  # the keys, for author_id: 10 % faster here than Post(author=...)
            s.add_all(new_posts(Post, [a.id for a in authors]))
            s.commit()
        return len(authors), len(POSTS)

    def update(self):
        from sqlalchemy import select
        from sqlalchemy.orm import Session

        with Session(self.sa_engine) as s:
            posts = s.scalars(select(self.Post)).all()
            n = len(bump_likes(posts))
            s.commit()
        return len(posts), n

    def select(self):
        from sqlalchemy.orm import Session

        Post = self.Post
        out = []
        with Session(self.sa_engine) as s:
            for aid, m in QUERIES:
                out.append([p.id for p in s.scalars(sqlalchemy_filtered(Post, aid, m)).all()])
            s.commit()
        return out

    def prefetch(self):
        from sqlalchemy.orm import Session

        self.s = s = Session(self.sa_engine)
        posts = s.scalars(sqlalchemy_after(self.Post)).all()
        self.loaded = posts
        return [(p.id, p.author.name) for p in posts]

    def delete(self):
        n = delete_loaded(self.s, self.loaded)
        self.s = self.loaded = None
        return n

    def load(self):
        from sqlalchemy import select
        from sqlalchemy.orm import Session, selectinload

        Author = self.Author
        with Session(self.sa_engine) as s:
            authors = s.scalars(select(Author).order_by(Author.id).options(selectinload(Author.posts))).all()
            out = [(a.id, [p.id for p in a.posts]) for a in authors]
            s.commit()
        return out

    def join(self):
        from sqlalchemy import select
        from sqlalchemy.orm import Session

        Author, Post = self.Author, self.Post
        out = []
        with Session(self.sa_engine) as s:
            for name, m in JOIN_QUERIES:
                q = (select(Post).join(Post.author).where(Author.name == name, Post.likes >= m)
                     .order_by(Post.likes.desc(), Post.id))
                out.append([p.id for p in s.scalars(q).all()])
            s.commit()
        return out

    def report(self):
        from sqlalchemy import func, select
        from sqlalchemy.orm import Session

        Author, Post = self.Author, self.Post
        out = []
        with Session(self.sa_engine) as s:
            for lo, hi in REPORT_PAGES:
                q = (select(Author.name, func.count(Post.id), func.sum(Post.likes), func.max(Post.score))
                     .join(Author.posts).where(Author.id.between(lo, hi), Post.published == True)  # noqa: E712
                     .group_by(Author.id, Author.name).having(func.count(Post.id) >= REPORT_MIN_POSTS)
                     .order_by(Author.name))
                out.append([report_row(*r) for r in s.execute(q).all()])
            s.commit()
        return out

    def bulk(self):
        from sqlalchemy import update
        from sqlalchemy.orm import Session

        Post = self.Post
        n = 0
        with Session(self.sa_engine) as s:
            for pid, q in BULK:
                n += s.execute(update(Post).where(Post.id == pid, Post.likes >= q).values(likes=Post.likes - q)).rowcount
            s.commit()
        return n


class SQLAlchemyCore(_SQLAlchemyBase):
    """Statements built once and executed with parameter lists: insertmanyvalues
    with RETURNING in parameter order for the authors' keys (row by row on SQLite, as for
    the ORM), executemany for the posts and the updates,
    rows as Row objects, an expanding IN for the prefetch and for the deletes."""

    name = "SQLAlchemy Core"

    def __init__(self, engine: str, urls: Dict[str, str]) -> None:
        super().__init__(engine, urls)
        from sqlalchemy import bindparam, delete, insert, select, update

        a, p = self.authors_t, self.posts_t
        self.ins_author = insert(a).returning(a.c.id, sort_by_parameter_order=True)
        self.ins_post = insert(p)
        self.sel_all = select(p)
        self.upd_likes = update(p).where(p.c.id == bindparam("pid")).values(likes=bindparam("new_likes"))
        self.sel_filtered = (select(p).where(p.c.author_id == bindparam("aid"), p.c.likes >= bindparam("min_likes"))
                             .order_by(p.c.likes.desc(), p.c.id).limit(QUERY_LIMIT))
        self.sel_after = select(p).where(p.c.id > bindparam("after")).order_by(p.c.id)
        self.sel_authors = select(a).where(a.c.id.in_(bindparam("ids", expanding=True)))
        self.del_posts = delete(p).where(p.c.id.in_(bindparam("ids", expanding=True)))
        from sqlalchemy import func

        self.sel_all_authors = select(a).order_by(a.c.id)
        self.sel_children = select(p).where(p.c.author_id.in_(bindparam("ids", expanding=True))).order_by(p.c.id)
        self.sel_joined = (select(p).join(a, a.c.id == p.c.author_id)
                           .where(a.c.name == bindparam("name"), p.c.likes >= bindparam("min_likes"))
                           .order_by(p.c.likes.desc(), p.c.id))
        self.sel_report = (select(a.c.name, func.count(p.c.id), func.sum(p.c.likes), func.max(p.c.score))
                           .join(p, p.c.author_id == a.c.id)
                           .where(a.c.id.between(bindparam("lo"), bindparam("hi")), p.c.published == bindparam("published"))
                           .group_by(a.c.id, a.c.name).having(func.count(p.c.id) >= bindparam("min_posts"))
                           .order_by(a.c.name))
        self.upd_taken = (update(p).where(p.c.id == bindparam("pid"), p.c.likes >= bindparam("q"))
                          .values(likes=p.c.likes - bindparam("q")))

    def insert(self):
        with self.sa_engine.begin() as conn:
            ids = conn.execute(self.ins_author, [{"name": n, "email": e} for n, e in AUTHORS]).scalars().all()
            conn.execute(self.ins_post, [
                {"author_id": ids[a], "title": t, "body": b, "likes": l, "score": sc, "published": p}
                for a, t, b, l, sc, p in POSTS])
        return len(ids), len(POSTS)

    def update(self):
        with self.sa_engine.begin() as conn:
            rows = conn.execute(self.sel_all).all()
            params = [{"pid": r.id, "new_likes": r.likes + 1} for r in rows if r.id % UPDATE_SKIP]
            conn.execute(self.upd_likes, params)
        return len(rows), len(params)

    def select(self):
        out = []
        with self.sa_engine.connect() as conn:
            for aid, m in QUERIES:
                out.append([r.id for r in conn.execute(self.sel_filtered, {"aid": aid, "min_likes": m})])
            conn.commit()
        return out

    def prefetch(self):
        self.conn = conn = self.sa_engine.connect()
        rows = conn.execute(self.sel_after, {"after": PREFETCH_AFTER}).all()
        authors = {r.id: r for r in conn.execute(self.sel_authors, {"ids": list({r.author_id for r in rows})})}
        self.loaded = rows
        return [(r.id, authors[r.author_id].name) for r in rows]

    def load(self):
        with self.sa_engine.connect() as conn:
            authors = conn.execute(self.sel_all_authors).all()
            rows = conn.execute(self.sel_children, {"ids": [a.id for a in authors]}).all()
            conn.commit()
        return group_children(authors, [(r.id, r.author_id) for r in rows])

    def join(self):
        with self.sa_engine.connect() as conn:
            out = [[r.id for r in conn.execute(self.sel_joined, {"name": name, "min_likes": m})]
                   for name, m in JOIN_QUERIES]
            conn.commit()
        return out

    def report(self):
        with self.sa_engine.connect() as conn:
            out = [[report_row(*r) for r in conn.execute(self.sel_report, {"lo": lo, "hi": hi, "published": True,
                                                                            "min_posts": REPORT_MIN_POSTS})]
                   for lo, hi in REPORT_PAGES]
            conn.commit()
        return out

    def bulk(self):
        n = 0
        with self.sa_engine.begin() as conn:
            for pid, q in BULK:
                n += conn.execute(self.upd_taken, {"pid": pid, "q": q}).rowcount
        return n

    def delete(self):
        conn = self.conn
        ids = [r.id for r in doomed(self.loaded)]
        conn.execute(self.del_posts, {"ids": ids})
        conn.commit()
        conn.close()
        self.conn = self.loaded = None
        return len(ids)


# ------------------------------------------------------------------ peewee

_pw: Dict[str, Any] = {}


def peewee_models() -> Dict[str, Any]:
    if not _pw:
        import peewee as pw

        class Author(pw.Model):
            name = pw.TextField()
            email = pw.TextField(null=True)

            class Meta:
                table_name = "authors"

        class Post(pw.Model):
            author = pw.ForeignKeyField(Author, column_name="author_id", backref="posts")
            title = pw.TextField()
            body = pw.TextField(null=True)
            likes = pw.IntegerField()
            score = pw.DoubleField()
            published = pw.BooleanField()

            class Meta:
                table_name = "posts"

        _pw.update(pw=pw, Author=Author, Post=Post)
    return _pw


class Peewee(Contender):
    """Each phase inside atomic(): insert_many (with RETURNING for the authors' keys)
    in batches of 500, Model.select(), bulk_update in batches of 100 (4 times faster here
    than save() per object, and the fastest batch size), prefetch(), and
    delete().where(id.in_()) for the deletes."""

    name = "peewee"

    def __init__(self, engine: str, urls: Dict[str, str]) -> None:
        super().__init__(engine, urls)
        m = peewee_models()
        self.pw, self.Author, self.Post = m["pw"], m["Author"], m["Post"]
        self.db: Any = self._make_db()
        self.db.bind([self.Author, self.Post], bind_refs=False, bind_backrefs=False)

    def _make_db(self) -> Any:
        from urllib.parse import urlsplit

        pw = self.pw
        if self.engine == "sqlite":
            return pw.SqliteDatabase(":memory:", pragmas={"foreign_keys": 1})
        u = urlsplit(self.urls[self.engine])
        kw = dict(host=u.hostname, port=u.port, user=u.username)
        if self.engine == "postgresql":
            return pw.PostgresqlDatabase(u.path.lstrip("/"), **kw)
        return pw.MySQLDatabase(u.path.lstrip("/"), password=u.password or "", charset="utf8mb4", **kw)

    def run_ddl(self, statements: List[str]) -> None:
        for sql in statements:
            self.db.execute_sql(sql)

    def close(self) -> None:
        if self.db is not None:
            self.db.close()
            self.db = None

    def dump(self):
        return tuple(normalize(self.db.execute_sql(sql).fetchall()) for sql in DUMP)

    def insert(self):
        Author, Post = self.Author, self.Post
        with self.db.atomic():
            created = Author.insert_many(AUTHORS, fields=[Author.name, Author.email]).returning(Author.id).execute()
            ids = sorted(a.id for a in created)
            fields = [Post.author, Post.title, Post.body, Post.likes, Post.score, Post.published]
            for batch in self.pw.chunked(post_rows(ids), 500):
                Post.insert_many(batch, fields=fields).execute()
        return len(ids), len(POSTS)

    def update(self):
        Post = self.Post
        with self.db.atomic():
            posts = list(Post.select())
            changed = bump_likes(posts)
            Post.bulk_update(changed, fields=[Post.likes], batch_size=100)
        return len(posts), len(changed)

    def select(self):
        Post = self.Post
        out = []
        with self.db.atomic():
            for aid, m in QUERIES:
                rows = (Post.select().where(Post.author == aid, Post.likes >= m)
                        .order_by(Post.likes.desc(), Post.id).limit(QUERY_LIMIT))
                out.append([p.id for p in rows])
        return out

    def prefetch(self):
        Post = self.Post
        self.txn = self.db.atomic()
        self.txn.__enter__()
        posts = self.pw.prefetch(Post.select().where(Post.id > PREFETCH_AFTER).order_by(Post.id), self.Author)
        self.loaded = posts
        return [(p.id, p.author.name) for p in posts]

    def load(self):
        Author, Post = self.Author, self.Post
        with self.db.atomic():
            authors = self.pw.prefetch(Author.select().order_by(Author.id), Post.select().order_by(Post.id))
            return [(a.id, [p.id for p in a.posts]) for a in authors]

    def join(self):
        Author, Post = self.Author, self.Post
        out = []
        with self.db.atomic():
            for name, m in JOIN_QUERIES:
                q = (Post.select().join(Author).where((Author.name == name) & (Post.likes >= m))
                     .order_by(Post.likes.desc(), Post.id))
                out.append([p.id for p in q])
        return out

    def report(self):
        Author, Post, fn = self.Author, self.Post, self.pw.fn
        out = []
        with self.db.atomic():
            for lo, hi in REPORT_PAGES:
                q = (Author.select(Author.name, fn.COUNT(Post.id), fn.SUM(Post.likes), fn.MAX(Post.score))
                     .join(Post).where(Author.id.between(lo, hi) & (Post.published == True))  # noqa: E712
                     .group_by(Author.id, Author.name).having(fn.COUNT(Post.id) >= REPORT_MIN_POSTS)
                     .order_by(Author.name).tuples())
                out.append([report_row(*r) for r in q])
        return out

    def bulk(self):
        Post = self.Post
        n = 0
        with self.db.atomic():
            for pid, q in BULK:
                n += Post.update(likes=Post.likes - q).where((Post.id == pid) & (Post.likes >= q)).execute()
        return n

    def delete(self):
        Post = self.Post
        ids = [p.id for p in doomed(self.loaded)]
        Post.delete().where(Post.id.in_(ids)).execute()
        self.txn.__exit__(None, None, None)
        self.txn = self.loaded = None
        return len(ids)


CONTENDERS = [Raw, Sablecrest, SQLAlchemyCore, SQLAlchemyORM, Peewee]
