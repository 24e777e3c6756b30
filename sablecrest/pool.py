"""Connection pools: at most `size` connections; a session holds one from its start to
its end.

A connection goes back idle unless its session found it broken (lost, or interrupted
inside a driver call), in which case it is closed and its slot freed. Before an idle
connection is handed out it is checked (`pre_ping`, on by default: `alive`, a look at
its socket, which costs no round trip, and a ping only when something arrived while it
sat idle), so a server restart or an idle timeout between two sessions costs no failed
session. One that sat idle longer than `recycle` seconds, or was opened more than
`lifetime` seconds ago, is closed instead and a new one opened. Whatever is raised
where, a slot is never lost: every path that takes one gives it back.

`status()` tells the size, the connections in use and idle, and the sessions waiting.
Checkouts, returns and waits are logged on ``sablecrest.pool`` at DEBUG; connections
discarded (with the reason) and waits that timed out at INFO.
"""

from __future__ import annotations

import asyncio
import threading
import time
from collections import deque
from typing import Any, Awaitable, Callable, Deque, List, NamedTuple, Optional

from .logs import DEBUG, POOL


def _seconds(name: str, value: Any, optional: bool) -> None:
    if value is None and optional:
        return
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s takes a number of seconds%s, got %r" % (name, " or None" if optional else "", value))
    if not value > 0:
        raise ValueError("%s must be a positive number of seconds, got %r" % (name, value))


def check_connect_args(pool_size: Any, pool_timeout: Any, echo: Any, on_connect: Any, pool_recycle: Any = None,
                       pool_max_lifetime: Any = None, pool_pre_ping: Any = True) -> None:
    """The options `connect` and `connect_async` share, checked before anything opens."""
    if not isinstance(echo, bool):
        raise TypeError("echo takes True or False, got %r" % (echo,))
    if on_connect is not None and not callable(on_connect):
        raise TypeError("on_connect takes a callable, got %r" % (on_connect,))
    if isinstance(pool_size, bool) or not isinstance(pool_size, int):
        raise TypeError("pool_size takes an int, got %r" % (pool_size,))
    if pool_size < 1:
        raise ValueError("pool_size must be at least 1, got %d" % pool_size)
    _seconds("pool_timeout", pool_timeout, False)
    _seconds("pool_recycle", pool_recycle, True)
    _seconds("pool_max_lifetime", pool_max_lifetime, True)
    if not isinstance(pool_pre_ping, bool):
        raise TypeError("pool_pre_ping takes True or False, got %r" % (pool_pre_ping,))


class PoolStatus(NamedTuple):
    size: int  # the most connections it opens
    in_use: int  # held by sessions (or being opened for them)
    idle: int  # open, waiting for a session
    waiting: int  # sessions waiting for a connection to come free


class Expiry:
    """When a connection is too old to hand out again: idle longer than `recycle`, or
    opened longer than `lifetime` ago. The pool stamps its connections only when one of
    them is set (a clock read costs as much as the rest of a checkout's bookkeeping)."""

    __slots__ = ("recycle", "lifetime")

    def __init__(self, recycle: Optional[float], lifetime: Optional[float]) -> None:
        self.recycle = recycle
        self.lifetime = lifetime

    def opened(self, conn: Any) -> None:
        if self.lifetime is not None:
            conn.sc_opened = time.monotonic()

    def idled(self, conn: Any) -> None:
        if self.recycle is not None:
            conn.sc_idle = time.monotonic()

    def expired(self, conn: Any, idle: bool) -> Optional[str]:
        """Why the connection must be closed rather than used again, or None."""
        now = time.monotonic()
        if idle and self.recycle is not None and now - getattr(conn, "sc_idle", now) > self.recycle:
            return "idle longer than pool_recycle (%gs)" % self.recycle
        if self.lifetime is not None and now - getattr(conn, "sc_opened", now) > self.lifetime:
            return "open longer than pool_max_lifetime (%gs)" % self.lifetime
        return None


_GONE = "closed by the server while it sat idle"


def _close_quietly(conn: Any) -> None:
    try:
        conn.close()
    except Exception:
        pass  # a connection being discarded: the server ends its session either way


class Pool:
    """The pool of a sync database (threads)."""

    def __init__(self, factory: Callable[[], Any], size: int, timeout: float, pre_ping: bool = True,
                 recycle: Optional[float] = None, lifetime: Optional[float] = None) -> None:
        self.factory = factory
        self.size = size
        self.timeout = timeout
        self.pre_ping = pre_ping
        self.expiry = Expiry(recycle, lifetime) if recycle is not None or lifetime is not None else None
        self.idle: List[Any] = []
        self.open = 0  # connections open or being opened, idle or held
        self.waiting = 0
        self.debug = False  # asked at each checkout, reused by the return (a logger check per request)
        # Thread ids holding the connection, kept only where there is one (SQLite in
        # memory), to refuse a second session of the same thread instead of waiting forever.
        self.holders: List[int] = []
        # Not reentrant: a cheaper lock. Taken directly (`with self.lock`) where nothing
        # waits: a Condition's own __enter__ and __exit__ are Python calls.
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)

    def adopt(self, conn: Any) -> None:
        """Takes in a connection opened by other means (`connect`'s first), idle."""
        if self.expiry is not None:
            self.expiry.opened(conn)
            self.expiry.idled(conn)
        with self.lock:
            self.open += 1
            self.idle.append(conn)

    def status(self) -> PoolStatus:
        with self.lock:
            return PoolStatus(self.size, self.open - len(self.idle), len(self.idle), self.waiting)

    def acquire(self) -> Any:
        deadline = 0.0  # set when it first has to wait
        me = threading.get_ident() if self.size == 1 else 0
        self.debug = debug = POOL.isEnabledFor(DEBUG)
        while True:
            conn = None
            if not me:
                with self.lock:  # the common case, without the calls of the general one
                    if self.idle:
                        conn = self.idle.pop()
            if conn is None:
                conn, deadline = self._take(deadline, me)
            if conn is None:
                try:
                    conn = self.factory()
                except BaseException:
                    self._forget(me)
                    raise
                if self.expiry is not None:
                    self.expiry.opened(conn)
                if debug:
                    POOL.debug("checkout of a new connection %#x (%d open of %d)", id(conn), self.open, self.size)
                return conn
            try:
                if self.expiry is None:
                    why = None if (conn.alive() if self.pre_ping else conn.usable()) else _GONE
                else:
                    why = self._unfit(conn)
            except BaseException:
                self._forget(me)
                _close_quietly(conn)
                raise
            if why is None:
                if debug:
                    POOL.debug("checkout of %#x", id(conn))
                return conn
            POOL.info("discarded %#x at checkout: %s", id(conn), why)
            self._forget(me)
            _close_quietly(conn)

    def _unfit(self, conn: Any) -> Optional[str]:
        """Why an idle connection must not be handed out, or None."""
        if self.expiry is not None:
            why = self.expiry.expired(conn, True)
            if why is not None:
                return why
        if not (conn.alive() if self.pre_ping else conn.usable()):
            return _GONE
        return None

    def _take(self, deadline: float, me: int) -> Any:
        """An idle connection, or None with a slot reserved for a new one; and the
        deadline of the wait, once there was one."""
        with self.cond:
            while True:
                if self.idle:
                    conn = self.idle.pop()
                    break
                if self.open < self.size:
                    self.open += 1
                    conn = None
                    break
                if self.size == 1 and me in self.holders:
                    raise RuntimeError(
                        "this database has one connection (SQLite in memory) and this thread already holds it "
                        "in an open session; finish that session first")
                if not deadline:
                    deadline = time.monotonic() + self.timeout
                left = deadline - time.monotonic()
                if left <= 0:
                    POOL.info("no connection came free within %.1f s (pool size %d)", self.timeout, self.size)
                    raise TimeoutError("no connection came free within %.1f s (pool size %d)" % (self.timeout, self.size))
                self.waiting += 1
                if self.debug:
                    POOL.debug("waiting for a connection: all %d in use, %d waiting", self.size, self.waiting)
                try:
                    self.cond.wait(left)
                finally:
                    self.waiting -= 1
            if me:
                self.holders.append(me)
            return conn, deadline

    def _forget(self, me: int) -> None:
        """A slot taken for a connection that is not handed out after all."""
        with self.lock:
            self.open -= 1
            if me and me in self.holders:
                self.holders.remove(me)
            self.cond.notify()

    def release(self, conn: Any, usable: bool) -> None:
        why = None if usable else "broken in its session"
        if why is None and not conn.usable():
            why = "lost"
        if why is None and self.expiry is not None:
            why = self.expiry.expired(conn, False)
            if why is None:
                self.expiry.idled(conn)
        with self.lock:
            if self.holders:
                me = threading.get_ident()
                if me in self.holders:
                    self.holders.remove(me)
                else:
                    self.holders.pop()
            if why is None:
                self.idle.append(conn)
            else:
                self.open -= 1
            if self.waiting:  # notify() alone costs a session's bookkeeping again
                self.cond.notify()
        if why is None:
            if self.debug:
                POOL.debug("return of %#x", id(conn))
        else:
            POOL.info("discarded %#x: %s", id(conn), why)
            _close_quietly(conn)

    def close(self) -> None:
        with self.lock:
            idle, self.idle = self.idle, []
            self.open -= len(idle)
        for conn in idle:
            _close_quietly(conn)

    def __del__(self) -> None:
        # A database dropped without close(): its idle connections go with it (sqlite3
        # warns about a connection left open).
        for conn in self.idle:
            _close_quietly(conn)


class AsyncPool:
    """The pool of an async database: connections handed to sessions first come, first
    served."""

    def __init__(self, factory: Callable[[], Awaitable[Any]], size: int, timeout: float, pre_ping: bool = True,
                 recycle: Optional[float] = None, lifetime: Optional[float] = None) -> None:
        self.factory = factory
        self.size = size
        self.timeout = timeout
        self.pre_ping = pre_ping
        self.expiry = Expiry(recycle, lifetime) if recycle is not None or lifetime is not None else None
        self.idle: List[Any] = []
        self.open = 0  # connections open or being opened (idle or held)
        self.held = 0  # connections given to sessions (or being opened for them)
        self.waiters: "Deque[asyncio.Future[None]]" = deque()
        self.closed = False

    def adopt(self, conn: Any) -> None:
        """Takes in a connection opened by other means (`connect_async`'s first), idle."""
        if self.expiry is not None:
            self.expiry.opened(conn)
            self.expiry.idled(conn)
        self.open += 1
        self.idle.append(conn)

    def status(self) -> PoolStatus:
        return PoolStatus(self.size, self.held, len(self.idle), sum(1 for w in self.waiters if not w.done()))

    async def acquire(self) -> Any:
        if self.held < self.size and not self.waiters:
            self.held += 1
        else:
            await self._wait()  # returns holding the slot a releasing session handed over
        try:
            while self.idle:
                conn = self.idle.pop()
                try:
                    why = await self._unfit(conn)
                except BaseException:  # cancelled during its ping: it is no longer counted idle
                    self.open -= 1
                    conn.terminate()
                    raise
                if why is None:
                    if POOL.isEnabledFor(DEBUG):
                        POOL.debug("checkout of %#x", id(conn))
                    return conn
                POOL.info("discarded %#x at checkout: %s", id(conn), why)
                self.open -= 1
                conn.terminate()
            self.open += 1
            try:
                conn = await self.factory()
            except BaseException:
                self.open -= 1
                raise
            if self.expiry is not None:
                self.expiry.opened(conn)
            if POOL.isEnabledFor(DEBUG):
                POOL.debug("checkout of a new connection %#x (%d open of %d)", id(conn), self.open, self.size)
            return conn
        except BaseException:
            self._hand_on()
            raise

    async def _unfit(self, conn: Any) -> Optional[str]:
        if self.expiry is not None:
            why = self.expiry.expired(conn, True)
            if why is not None:
                return why
        if not conn.usable() or self.pre_ping and not await conn.alive():
            return _GONE
        return None

    async def _wait(self) -> None:
        loop = asyncio.get_running_loop()
        fut: "asyncio.Future[None]" = loop.create_future()
        self.waiters.append(fut)
        if POOL.isEnabledFor(DEBUG):
            POOL.debug("waiting for a connection: all %d in use, %d waiting", self.size, len(self.waiters))
        timer = loop.call_later(self.timeout, self._expire, fut)
        try:
            await fut
        except BaseException:
            if fut.done() and not fut.cancelled() and fut.exception() is None:
                self._hand_on()  # the slot came just as this task was cancelled: pass it on
            elif fut in self.waiters:
                self.waiters.remove(fut)
            raise
        finally:
            timer.cancel()

    def _expire(self, fut: "asyncio.Future[None]") -> None:
        if not fut.done():
            POOL.info("no connection came free within %.1f s (pool size %d)", self.timeout, self.size)
            fut.set_exception(TimeoutError("no connection came free within %.1f s (pool size %d)"
                                           % (self.timeout, self.size)))

    def _hand_on(self) -> None:
        """A slot came free: to the first session still waiting, or back to the pool."""
        while self.waiters:
            fut = self.waiters.popleft()
            if not fut.done():
                fut.set_result(None)
                return
        self.held -= 1

    def release(self, conn: Any, usable: bool) -> None:
        try:
            why = None if usable else "broken in its session"
            if why is None:
                if not conn.usable():
                    why = "lost"
                elif conn.in_transaction():
                    why = "still in a transaction"
                elif self.closed:
                    why = "the pool is closed"
                elif self.expiry is not None:
                    why = self.expiry.expired(conn, False)
                    if why is None:
                        self.expiry.idled(conn)
            if why is None:
                self.idle.append(conn)
                if POOL.isEnabledFor(DEBUG):
                    POOL.debug("return of %#x", id(conn))
            else:
                POOL.info("discarded %#x: %s", id(conn), why)
                self.open -= 1
                conn.terminate()
        finally:
            self._hand_on()

    async def close(self) -> None:
        self.closed = True
        idle, self.idle = self.idle, []
        self.open -= len(idle)
        for conn in idle:
            try:
                await conn.close()
            except Exception:
                conn.terminate()


__all__ = ["Pool", "AsyncPool", "PoolStatus", "check_connect_args"]
