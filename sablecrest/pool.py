"""Connection pools: at most `size` connections; a session holds one from its start to
its end.

A connection goes back idle unless its session found it broken (lost, or interrupted
inside a driver call), in which case it is closed and its slot freed. Before an idle
connection is handed out it is checked (`alive`: a look at its socket, which costs no
round trip, and a ping only when something arrived while it sat idle), so a server
restart or an idle timeout between two sessions costs no failed session. Whatever is
raised where, a slot is never lost: every path that takes one gives it back.
"""

from __future__ import annotations

import asyncio
import threading
import time
from collections import deque
from typing import Any, Awaitable, Callable, Deque, List


def check_connect_args(pool_size: Any, pool_timeout: Any, echo: Any, on_connect: Any) -> None:
    """The options `connect` and `connect_async` share, checked before anything opens."""
    if not isinstance(echo, bool):
        raise TypeError("echo takes True or False, got %r" % (echo,))
    if on_connect is not None and not callable(on_connect):
        raise TypeError("on_connect takes a callable, got %r" % (on_connect,))
    if isinstance(pool_size, bool) or not isinstance(pool_size, int):
        raise TypeError("pool_size takes an int, got %r" % (pool_size,))
    if pool_size < 1:
        raise ValueError("pool_size must be at least 1, got %d" % pool_size)
    if isinstance(pool_timeout, bool) or not isinstance(pool_timeout, (int, float)):
        raise TypeError("pool_timeout takes a number of seconds, got %r" % (pool_timeout,))
    if not pool_timeout > 0:
        raise ValueError("pool_timeout must be a positive number of seconds, got %r" % (pool_timeout,))


def _close_quietly(conn: Any) -> None:
    try:
        conn.close()
    except Exception:
        pass  # a connection being discarded: the server ends its session either way


class Pool:
    """The pool of a sync database (threads)."""

    def __init__(self, factory: Callable[[], Any], size: int, timeout: float) -> None:
        self.factory = factory
        self.size = size
        self.timeout = timeout
        self.idle: List[Any] = []
        self.open = 0  # connections open or being opened, idle or held
        self.holders: List[int] = []  # thread ids holding a connection, for the one-connection case
        self.cond = threading.Condition()

    def acquire(self) -> Any:
        deadline = time.monotonic() + self.timeout
        me = threading.get_ident()
        while True:
            conn = self._take(deadline, me)
            if conn is None:
                try:
                    return self.factory()
                except BaseException:
                    self._forget(me)
                    raise
            try:
                if conn.alive():
                    return conn
            except BaseException:
                self._forget(me)
                _close_quietly(conn)
                raise
            self._forget(me)  # closed by the server while it sat idle: drop it, try again
            _close_quietly(conn)

    def _take(self, deadline: float, me: int) -> Any:
        """An idle connection, or None with a slot reserved for a new one."""
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
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no connection came free within %.1f s (pool size %d)" % (self.timeout, self.size))
                self.cond.wait(left)
            self.holders.append(me)
            return conn

    def _forget(self, me: int) -> None:
        """A slot taken for a connection that is not handed out after all."""
        with self.cond:
            self.open -= 1
            if me in self.holders:
                self.holders.remove(me)
            self.cond.notify()

    def release(self, conn: Any, usable: bool) -> None:
        usable = usable and conn.usable()
        with self.cond:
            me = threading.get_ident()
            if me in self.holders:
                self.holders.remove(me)
            elif self.holders:
                self.holders.pop()
            if usable:
                self.idle.append(conn)
            else:
                self.open -= 1
            self.cond.notify()
        if not usable:
            _close_quietly(conn)

    def close(self) -> None:
        with self.cond:
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

    def __init__(self, factory: Callable[[], Awaitable[Any]], size: int, timeout: float) -> None:
        self.factory = factory
        self.size = size
        self.timeout = timeout
        self.idle: List[Any] = []
        self.open = 0  # connections open or being opened (idle or held)
        self.held = 0  # connections given to sessions (or being opened for them)
        self.waiters: "Deque[asyncio.Future[None]]" = deque()
        self.closed = False

    async def acquire(self) -> Any:
        if self.held < self.size and not self.waiters:
            self.held += 1
        else:
            await self._wait()  # returns holding the slot a releasing session handed over
        try:
            while self.idle:
                conn = self.idle.pop()
                if conn.usable():
                    return conn
                self.open -= 1  # lost while it was idle
                conn.terminate()
            self.open += 1
            try:
                return await self.factory()
            except BaseException:
                self.open -= 1
                raise
        except BaseException:
            self._hand_on()
            raise

    async def _wait(self) -> None:
        loop = asyncio.get_running_loop()
        fut: "asyncio.Future[None]" = loop.create_future()
        self.waiters.append(fut)
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
            if usable and conn.usable() and not conn.in_transaction() and not self.closed:
                self.idle.append(conn)
            else:
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


__all__ = ["Pool", "AsyncPool", "check_connect_args"]
