"""The ORM workload on PostgreSQL, async and sync side by side.

The workload, its data, the tables and the models are those of `orm_contenders.py`
(insert 200 authors and 5,000 posts; load them all and update 4,900; 200 filtered
selects with ordering and a limit; load 4,800 posts with their authors in one batched
lookup; delete 100 of them). Five programs do it:

- asyncpg by hand: the best hand-written SQL on asyncpg;
- sablecrest async (asyncpg): ``connect_async``, one session per phase;
- psycopg by hand: `orm_contenders.Raw` on psycopg 3;
- sablecrest sync (psycopg): `orm_contenders.Sablecrest`, the same sessions without ``await``;
- SQLAlchemy 2.x async ORM on asyncpg: AsyncSession, identity map, unit of work,
  ``selectinload`` for the prefetch.

The runner is bench_orm.py's: a first run of each program checks that every phase
gives the same result and leaves the same rows as asyncpg by hand; then the programs
run in interleaved rounds, each on fresh tables, and each phase's best time is kept
(total: their sum). An async program's phase is timed inside the event loop.

    python3 benchmarks/orm_async.py [--rounds 10] [--url postgresql://...] [--only NAME ...] [--no-docs]

The URL defaults to $SABLECREST_PG_DSN (else postgresql://postgres@127.0.0.1:54329/sablecrest).
Writes docs/orm_async_benchmarks.md and docs/orm_async_benchmarks.json (not with --only
or --no-docs). Needs asyncpg, psycopg 3 and SQLAlchemy 2.x with its asyncio extra.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

import bench_orm as bo  # also puts a source checkout on sys.path
import orm_contenders as oc
from _common import machine, machine_line, table

ASYNCPG, SC_ASYNC, PSYCOPG, SC_SYNC, SA_ASYNC = (
    "asyncpg by hand", "sablecrest async (asyncpg)", "psycopg by hand", "sablecrest sync (psycopg)",
    "SQLAlchemy async ORM (asyncpg)")
BY_HAND = {SC_ASYNC: ASYNCPG, SC_SYNC: PSYCOPG}  # each sablecrest program against the same driver by hand
GOALS = {"by_hand_ratio": 1.3, "sa_async_speedup": 3.0}
ENGINE = "postgresql"


class AsyncContender(oc.Contender):
    """A contender whose phases are coroutines. They run on one event loop shared by all
    async contenders, and each phase is timed inside the loop, as an async program that
    is already running would see it."""

    _loop: Optional[asyncio.AbstractEventLoop] = None

    def __init__(self, engine: str, urls: Dict[str, str]) -> None:
        super().__init__(engine, urls)
        if AsyncContender._loop is None:
            AsyncContender._loop = asyncio.new_event_loop()
        self.loop = AsyncContender._loop
        self.loop.run_until_complete(self.open(urls[engine]))

    async def open(self, url: str) -> None:
        raise NotImplementedError

    async def _ddl(self, statements: List[str]) -> None:
        raise NotImplementedError

    async def _dump(self) -> Any:
        raise NotImplementedError

    async def _close(self) -> None:
        raise NotImplementedError

    async def _timed(self, phase: str) -> Tuple[Any, float]:
        run = getattr(self, phase)
        t0 = time.perf_counter()
        got = await run()
        return got, time.perf_counter() - t0

    def run_phase(self, phase: str) -> Tuple[Any, float]:
        return self.loop.run_until_complete(self._timed(phase))

    def run_ddl(self, statements: List[str]) -> None:
        self.loop.run_until_complete(self._ddl(statements))

    def dump(self) -> Any:
        return self.loop.run_until_complete(self._dump())

    def close(self) -> None:
        self.loop.run_until_complete(self._close())


# ------------------------------------------------------------------ by hand


class AsyncpgByHand(AsyncContender):
    """The same hand-written SQL as the raw driver's on asyncpg: one multi-row INSERT
    ... RETURNING for the authors' keys, executemany for the posts and the updates,
    rows as Records, one `= ANY($1)` query for the prefetch and one DELETE for the
    deletes."""

    name = ASYNCPG
    AUTHOR_VALUES = ", ".join(f"(${2 * i + 1}, ${2 * i + 2})" for i in range(oc.N_AUTHORS))

    async def open(self, url: str) -> None:
        import asyncpg

        self.conn = await asyncpg.connect(url)

    async def _ddl(self, statements: List[str]) -> None:
        for sql in statements:
            await self.conn.execute(sql)

    async def _dump(self) -> Any:
        return tuple([oc.normalize(await self.conn.fetch(sql)) for sql in oc.DUMP])

    async def _close(self) -> None:
        await self.conn.close()

    async def insert(self) -> Any:
        c = self.conn
        async with c.transaction():
            rows = await c.fetch(f"INSERT INTO authors (name, email) VALUES {self.AUTHOR_VALUES} RETURNING id",
                                 *[v for a in oc.AUTHORS for v in a])
            ids = oc.sorted_keys(rows)
            await c.executemany(
                "INSERT INTO posts (author_id, title, body, likes, score, published) VALUES ($1, $2, $3, $4, $5, $6)",
                oc.post_rows(ids))
        return len(ids), len(oc.POSTS)

    async def update(self) -> Any:
        c = self.conn
        async with c.transaction():
            rows = await c.fetch(f"SELECT {oc.POST_COLUMNS} FROM posts")
            params = [(r[4] + 1, r[0]) for r in rows if r[0] % oc.UPDATE_SKIP]
            await c.executemany("UPDATE posts SET likes = $1 WHERE id = $2", params)
        return len(rows), len(params)

    async def select(self) -> Any:
        c = self.conn
        sql = (f"SELECT {oc.POST_COLUMNS} FROM posts WHERE author_id = $1 AND likes >= $2 "
               "ORDER BY likes DESC, id ASC LIMIT $3")
        return [[r[0] for r in await c.fetch(sql, aid, m, oc.QUERY_LIMIT)] for aid, m in oc.QUERIES]

    async def prefetch(self) -> Any:
        c = self.conn
        self.txn = c.transaction()
        await self.txn.start()
        rows = await c.fetch(f"SELECT {oc.POST_COLUMNS} FROM posts WHERE id > $1 ORDER BY id", oc.PREFETCH_AFTER)
        found = await c.fetch("SELECT id, name, email FROM authors WHERE id = ANY($1)", list({r[1] for r in rows}))
        authors = {r[0]: r for r in found}
        self.loaded = rows
        return [(r[0], authors[r[1]][1]) for r in rows]

    async def delete(self) -> Any:
        ids = [r[0] for r in self.loaded if r[0] % oc.DELETE_EVERY == 0]
        await self.conn.execute("DELETE FROM posts WHERE id = ANY($1)", ids)
        await self.txn.commit()
        self.txn = self.loaded = None
        return len(ids)


class PsycopgByHand(oc.Raw):
    """The raw driver's program (see bench_orm.py) on psycopg 3: one multi-row INSERT
    ... RETURNING for the authors' keys, executemany for the posts and the updates, rows
    as tuples, one `= ANY(%s)` query for the prefetch and one DELETE for the deletes."""

    name = PSYCOPG


# ------------------------------------------------------------------ sablecrest


class SablecrestAsync(AsyncContender):
    """`connect_async` with a pool of one connection and the same program as sablecrest
    sync's: a session per phase, add_all, select().all() and attribute assignment for the
    updates, the filtered queries, load_related(posts, Post.author_id), delete() of the
    loaded objects; each call that talks to the database awaited."""

    name = SC_ASYNC

    async def open(self, url: str) -> None:
        import sablecrest

        self.Author, self.Post = oc.sablecrest_models()
        self.db: Any = await sablecrest.connect_async(url, pool_size=1)

    async def _ddl(self, statements: List[str]) -> None:
        async with self.db.session() as s:
            for sql in statements:
                await s.execute(sql)

    async def _dump(self) -> Any:
        async with self.db.session() as s:
            return tuple([oc.normalize((await s.execute(sql)).rows) for sql in oc.DUMP])

    async def _close(self) -> None:
        await self.db.close()

    async def insert(self) -> Any:
        authors = oc.new_authors(self.Author)
        posts = oc.new_posts(self.Post, authors)
        async with self.db.session() as s:
            s.add_all(authors)
            s.add_all(posts)
        return len(authors), len(posts)

    async def update(self) -> Any:
        async with self.db.session() as s:
            posts = await s.select(self.Post).all()
            n = len(oc.bump_likes(posts))
        return len(posts), n

    async def select(self) -> Any:
        Post = self.Post
        out = []
        async with self.db.session() as s:
            for aid, m in oc.QUERIES:
                out.append([p.id for p in await oc.sablecrest_filtered(s, Post, aid, m).all()])
        return out

    async def prefetch(self) -> Any:
        Post = self.Post
        self.s = s = self.db.session()
        posts = await oc.sablecrest_after(s, Post).all()
        authors = await s.load_related(posts, Post.author_id)
        self.loaded = posts
        return [(p.id, authors[p.author_id].name) for p in posts]

    async def delete(self) -> Any:
        s, victims = self.s, oc.doomed(self.loaded)
        for p in victims:
            s.delete(p)
        await s.commit()
        await s.close()
        self.s = self.loaded = None
        return len(victims)


class SablecrestSync(oc.Sablecrest):
    """sablecrest's program of bench_orm.py on psycopg 3 (`connect`)."""

    name = SC_SYNC


# ------------------------------------------------------------------ SQLAlchemy


class SQLAlchemyAsyncORM(AsyncContender):
    """AsyncSession with the session defaults, on asyncpg, doing what the SQLAlchemy ORM
    does in bench_orm.py: add_all of the authors, flush for their keys, add_all of the
    posts, commit; scalars(select()) for the loads and queries; selectinload(Post.author)
    for the prefetch; delete() of the loaded objects."""

    name = SA_ASYNC

    async def open(self, url: str) -> None:
        from sqlalchemy.ext.asyncio import create_async_engine

        m = oc.sqlalchemy_models()
        self.Author, self.Post = m["Author"], m["Post"]
        self.sa_engine = create_async_engine(url.replace("postgresql://", "postgresql+asyncpg://", 1), pool_size=1)

    async def _ddl(self, statements: List[str]) -> None:
        async with self.sa_engine.begin() as conn:
            for sql in statements:
                await conn.exec_driver_sql(sql)

    async def _dump(self) -> Any:
        async with self.sa_engine.connect() as conn:
            return tuple([oc.normalize((await conn.exec_driver_sql(sql)).all()) for sql in oc.DUMP])

    async def _close(self) -> None:
        await self.sa_engine.dispose()

    async def insert(self) -> Any:
        from sqlalchemy.ext.asyncio import AsyncSession

        async with AsyncSession(self.sa_engine) as s:
            authors = oc.new_authors(self.Author)
            s.add_all(authors)
            await s.flush()
            s.add_all(oc.new_posts(self.Post, [a.id for a in authors]))
            await s.commit()
        return len(authors), len(oc.POSTS)

    async def update(self) -> Any:
        from sqlalchemy import select
        from sqlalchemy.ext.asyncio import AsyncSession

        async with AsyncSession(self.sa_engine) as s:
            posts = (await s.scalars(select(self.Post))).all()
            n = len(oc.bump_likes(posts))
            await s.commit()
        return len(posts), n

    async def select(self) -> Any:
        from sqlalchemy.ext.asyncio import AsyncSession

        Post = self.Post
        out = []
        async with AsyncSession(self.sa_engine) as s:
            for aid, m in oc.QUERIES:
                out.append([p.id for p in (await s.scalars(oc.sqlalchemy_filtered(Post, aid, m))).all()])
            await s.commit()
        return out

    async def prefetch(self) -> Any:
        from sqlalchemy.ext.asyncio import AsyncSession

        self.s = s = AsyncSession(self.sa_engine)
        posts = (await s.scalars(oc.sqlalchemy_after(self.Post))).all()
        self.loaded = posts
        return [(p.id, p.author.name) for p in posts]

    async def delete(self) -> Any:
        s, victims = self.s, oc.doomed(self.loaded)
        for p in victims:
            await s.delete(p)
        await s.commit()
        await s.close()
        self.s = self.loaded = None
        return len(victims)


CONTENDERS = [AsyncpgByHand, SablecrestAsync, PsycopgByHand, SablecrestSync, SQLAlchemyAsyncORM]


# ------------------------------------------------------------------ reports


def ratios(best: Dict[str, Dict[str, float]], name: str, key: str = "total") -> Dict[str, Optional[float]]:
    t = best[name][key]
    base = BY_HAND.get(name)
    return {"vs_by_hand": t / best[base][key] if base in best else None,
            "sa_async_over": best[SA_ASYNC][key] / t if SA_ASYNC in best else None}


HEADERS = ["program", *oc.PHASES, "total", "time / by hand", "SA async ORM / this"]


def result_rows(best: Dict[str, Dict[str, float]]) -> List[List[str]]:
    rows = []
    for name, times in best.items():
        r = ratios(best, name)
        rows.append([name, *(bo.ms(times[p]) for p in oc.PHASES), bo.ms(times["total"]),
                     bo.fmt_ratio(r["vs_by_hand"]), bo.fmt_ratio(r["sa_async_over"])])
    return rows


def goal_lines(best: Dict[str, Dict[str, float]]) -> List[str]:
    met = lambda ok: "met" if ok else "NOT met"  # noqa: E731
    lines = []
    for name, base in BY_HAND.items():
        x = ratios(best, name)["vs_by_hand"]
        if x is not None:
            lines.append(f"{name} takes {x:.2f}x the time of {base} (goal <= {GOALS['by_hand_ratio']:g}x: "
                         f"{met(x <= GOALS['by_hand_ratio'])})")
    x = ratios(best, SC_ASYNC)["sa_async_over"] if SC_ASYNC in best else None
    if x is not None:
        lines.append(f"{SC_ASYNC} is {x:.2f}x faster than {SA_ASYNC} (goal >= {GOALS['sa_async_speedup']:g}x: "
                     f"{met(x >= GOALS['sa_async_speedup'])})")
    return lines


def write_markdown(payload: Dict[str, Any], path: Any) -> None:
    best = payload["best"]
    lines = ["# Async ORM benchmark (PostgreSQL)", "",
             "`python3 benchmarks/orm_async.py [--rounds N]` (dependencies: `benchmarks/requirements.txt`, "
             "asyncpg, `SQLAlchemy[asyncio]`) writes this file and `orm_async_benchmarks.json`.", "",
             "The workload of [the ORM benchmark](orm_benchmarks.md) on PostgreSQL, async and sync side by side, in "
             "one process, rounds interleaved, each round on fresh tables; milliseconds, best of each phase over the "
             "rounds (total: their sum). Phases: "
             + "; ".join(f"**{p}**: {oc.PHASE_LABELS[p]}" for p in oc.PHASES)
             + ". `time / by hand`: a sablecrest program's total over that of the hand-written program on the same "
               "driver (lower is better); `SA async ORM / this`: how many times faster than SQLAlchemy's async ORM "
               "(higher is better).", "",
             f"{payload['version']}; best of {payload['rounds']} rounds.", ""]
    lines += bo.md_table(HEADERS, result_rows(best))
    lines += [""] + [f"- {g}" for g in goal_lines(best)]
    lines += ["", "## How each program does the work", ""]
    lines += [f"- **{cls.name}**: " + " ".join((cls.__doc__ or "").split()) for cls in CONTENDERS]
    lines += ["", "A first run checks that every phase of every program gives the same result and leaves the same "
              "rows as asyncpg by hand; every timed round checks the results again. An async program's phase is "
              "timed inside the event loop. Before each program's run the garbage collector runs and `gc.freeze()` "
              "sets the objects that exist aside, as in the ORM benchmark.", "",
              f"Measured on {machine_line(payload['machine'])}; {payload['versions']}.", ""]
    path.write_text("\n".join(lines), encoding="utf-8")


# ------------------------------------------------------------------ main


def server_version(url: str) -> str:
    import psycopg

    with psycopg.connect(url) as conn:
        row = conn.execute("SHOW server_version").fetchone()
    return "PostgreSQL " + (row[0] if row else "?")


def main(argv: Optional[Sequence[str]] = None) -> Dict[str, Any]:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--rounds", type=int, default=10, help="interleaved rounds (default 10)")
    ap.add_argument("--url", default=bo.URLS[ENGINE], help="PostgreSQL URL (default: $SABLECREST_PG_DSN)")
    ap.add_argument("--only", nargs="*", help="program names to run (default: all); the first is the reference")
    ap.add_argument("--no-docs", action="store_true", help="print only; leave docs/ alone")
    args = ap.parse_args(argv)
    classes = [cls for cls in CONTENDERS if not args.only or cls.name in args.only]
    if not classes:
        ap.error("no program named " + ", ".join(map(repr, args.only)) + "; choose from "
                 + ", ".join(cls.name for cls in CONTENDERS))
    libs = (("asyncpg", "asyncpg"), ("psycopg", "psycopg"), ("sqlalchemy", "SQLAlchemy"))
    print("== ORM workload on PostgreSQL, async and sync")
    print(f"   machine: {machine_line()}")
    print(f"   {bo.versions(libs)}")
    urls = {ENGINE: args.url}
    contenders: List[oc.Contender] = []
    try:
        for cls in classes:
            contenders.append(cls(ENGINE, urls))
        version = server_version(args.url)
        print(f"   {version}")
        t0 = time.perf_counter()
        expected = bo.verify(ENGINE, contenders)
        best = bo.race(ENGINE, contenders, args.rounds, expected)
        contenders[0].run_ddl(oc.DROP)
    finally:
        for c in contenders:
            c.close()
    print(table(HEADERS, result_rows(best)))
    for line in goal_lines(best):
        print("   " + line)
    print(f"   ({len(contenders)} programs, {args.rounds} rounds, {time.perf_counter() - t0:.0f} s; "
          f"milliseconds, best per phase)")
    payload: Dict[str, Any] = {
        "rounds": args.rounds, "version": version, "best": best,
        "ratios": {c.name: ratios(best, c.name) for c in contenders}, "goals": GOALS,
        "versions": bo.versions(libs), "machine": machine(),
    }
    if args.no_docs or args.only:
        return payload
    bo.DOCS.mkdir(exist_ok=True)
    (bo.DOCS / "orm_async_benchmarks.json").write_text(json.dumps(payload, indent=2) + "\n", encoding="utf-8")
    write_markdown(payload, bo.DOCS / "orm_async_benchmarks.md")
    print(f"wrote {bo.DOCS / 'orm_async_benchmarks.json'}, {bo.DOCS / 'orm_async_benchmarks.md'}")
    return payload


if __name__ == "__main__":
    main()
