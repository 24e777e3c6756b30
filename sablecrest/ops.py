"""The operations a session's steps ask its connection to run, each with a sync and an
async way to run it.

Everything that decides what to run (the unit of work, queries, migrations, the session's
transaction policy) is written once, as generators that yield operations and receive
their results (rows, a row count, a generated key) or have the driver's exception thrown
into them. `Session` and `AsyncSession` each drive them with a small loop (see
session.py); only `run` and `arun` here touch a driver.

`begins` says whether the session's transaction must be open first: never (transaction
control, settings that must run outside a transaction), for reads unless the engine
begins lazily, always (writes), or always and holding the write lock from its start (a
locking read where the engine locks the whole database, not rows). A `cleanup` operation runs while an error is being
handled: the async loop shields it from cancellation.

`params` None means the text goes to the driver exactly as written (DDL, settings, a
statement of the user's own without parameters); a sequence, even an empty one, is
bound, which for a driver that reads the text as a %-format means that a '%' in the
text is written '%%' (the statement module writes its texts so).
"""

from __future__ import annotations

from typing import Any, Generator, List

NEVER, READ, WRITE, LOCK = 0, 1, 2, 3


class Op:
    __slots__ = ("sql", "params")
    begins = WRITE
    cleanup = False
    opens = False  # running it opens the session's transaction
    traced = True  # given to the trace hook (transaction control is not, as BEGIN is implicit on some drivers)

    def __init__(self, sql: str, params: Any = None) -> None:
        self.sql = sql
        self.params = params

    def run(self, conn: Any) -> Any:
        raise NotImplementedError

    async def arun(self, conn: Any) -> Any:
        raise NotImplementedError

    def __repr__(self) -> str:
        return "%s(%r, %r)" % (type(self).__name__, self.sql, self.params)


class Fetch(Op):
    """A read: its rows."""

    __slots__ = ()
    begins = READ

    def run(self, conn: Any) -> List[Any]:
        return conn.fetch(self.sql, self.params)  # type: ignore[no-any-return]

    async def arun(self, conn: Any) -> List[Any]:
        return await conn.fetch(self.sql, self.params)  # type: ignore[no-any-return]


class LockingFetch(Fetch):
    """A locking read (SELECT ... FOR UPDATE): it needs the transaction, and where the
    engine has no row locks, a transaction that took the write lock as it began."""

    __slots__ = ()
    begins = LOCK


class Returning(Fetch):
    """A write that returns rows (INSERT ... RETURNING)."""

    __slots__ = ()
    begins = WRITE


class Statement(Op):
    """A statement of the user's own: its rows and its row count, as a pair (an
    UPDATE's count and a SELECT's rows come back the same way on every driver)."""

    __slots__ = ()

    def run(self, conn: Any) -> Any:
        return conn.statement(self.sql, self.params)

    async def arun(self, conn: Any) -> Any:
        return await conn.statement(self.sql, self.params)


class Execute(Op):
    """A write: its row count (-1 when the driver cannot tell)."""

    __slots__ = ()

    def run(self, conn: Any) -> int:
        return conn.execute(self.sql, self.params)  # type: ignore[no-any-return]

    async def arun(self, conn: Any) -> int:
        return await conn.execute(self.sql, self.params)  # type: ignore[no-any-return]


class Setting(Execute):
    """A statement that must run outside a transaction (a SQLite PRAGMA, a session
    variable), or that manages one itself."""

    __slots__ = ()
    begins = NEVER


class ReadSetting(Fetch):
    """A read of the connection's own state (a setting, the current schema): like
    `Setting`, it runs outside a transaction and never opens one, so that what must come
    before the transaction (a SQLite PRAGMA that a transaction would ignore) still can."""

    __slots__ = ()
    begins = NEVER


class Release(Execute):
    """RELEASE SAVEPOINT: inside the transaction that holds the savepoint, never one
    to open."""

    __slots__ = ()
    begins = NEVER


class RollbackTo(Release):
    """ROLLBACK TO SAVEPOINT: run while an error is being handled (shielded from a
    cancellation in the async session, as a ROLLBACK is)."""

    __slots__ = ()
    cleanup = True


class ExecuteMany(Op):
    """executemany: the total row count (-1 when the driver cannot tell)."""

    __slots__ = ()

    def run(self, conn: Any) -> int:
        return conn.many(self.sql, self.params)  # type: ignore[no-any-return]

    async def arun(self, conn: Any) -> int:
        return await conn.many(self.sql, self.params)  # type: ignore[no-any-return]


class InsertId(Op):
    """A one-row INSERT: the key the database generated (where there is no RETURNING)."""

    __slots__ = ()

    def run(self, conn: Any) -> Any:
        return conn.insert_id(self.sql, self.params)

    async def arun(self, conn: Any) -> Any:
        return await conn.insert_id(self.sql, self.params)


class Call(Op):
    """A function of the user's own, given one argument (a revision's data step, given
    the session): what it returns. Its statements run through the session and trace
    themselves. On an async session, what it returns is awaited when it is awaitable."""

    __slots__ = ("fn", "arg")
    traced = False

    def __init__(self, name: str, fn: Any, arg: Any) -> None:
        super().__init__(name)
        self.fn = fn
        self.arg = arg

    def run(self, conn: Any) -> Any:
        return self.fn(self.arg)

    async def arun(self, conn: Any) -> Any:
        result = self.fn(self.arg)
        if hasattr(result, "__await__"):
            result = await result
        return result


class Begin(Op):
    __slots__ = ()
    begins = NEVER
    traced = False
    opens = True

    def run(self, conn: Any) -> None:
        conn.begin()

    async def arun(self, conn: Any) -> None:
        await conn.begin()


class Commit(Op):
    __slots__ = ()
    begins = NEVER
    traced = False

    def run(self, conn: Any) -> None:
        conn.commit()

    async def arun(self, conn: Any) -> None:
        await conn.commit()


class Rollback(Op):
    __slots__ = ()
    begins = NEVER
    traced = False
    cleanup = True

    def run(self, conn: Any) -> None:
        conn.rollback()

    async def arun(self, conn: Any) -> None:
        await conn.rollback()


BEGIN = Begin("BEGIN")
COMMIT = Commit("COMMIT")
ROLLBACK = Rollback("ROLLBACK")

Steps = Generator[Op, Any, Any]


def just(value: Any) -> Steps:
    """Steps that run nothing and return `value`."""
    return value
    yield  # pragma: no cover  (makes this a generator)


__all__ = ["Op", "Fetch", "LockingFetch", "Returning", "Statement", "Execute", "Setting", "ReadSetting", "Release",
           "RollbackTo", "ExecuteMany", "InsertId", "Call", "Begin", "Commit", "Rollback", "BEGIN", "COMMIT", "ROLLBACK",
           "Steps", "just", "NEVER", "READ", "WRITE", "LOCK"]
