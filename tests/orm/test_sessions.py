"""A session's rules on every engine: an object belongs to one open session at a time;
a COMMIT whose outcome is unknown never leads to rows written twice; whatever is raised
where, the pool keeps its slots and never hands out a connection that was interrupted
mid-statement or that the server closed while it sat idle."""

import pytest

import sablecrest
from sablecrest import Field, Model

from ormdb import URLS


class ScLedger(Model):
    __tablename__ = "sc_ledger"
    id = Field(int, primary_key=True)
    entry = Field(str, nullable=False)


class ScOther(Model):
    __tablename__ = "sc_ledger_other"
    id = Field(int, primary_key=True)


def count(db):
    with db.session() as s:
        return s.select(ScLedger).count()


@pytest.fixture
def ledger(db, tmp_path):
    if db.dialect.engine.name == "sqlite":  # a file, so that two connections see one database
        db = sablecrest.connect("sqlite:///%s" % (tmp_path / "ledger.db"), pool_size=2, pool_timeout=1)
    else:
        db = sablecrest.connect(db.url.text, pool_size=2, pool_timeout=1)
    db.migrate(ScLedger, ScOther)
    yield db
    db.close()


def test_an_object_belongs_to_one_open_session(ledger):
    with ledger.session() as s1:
        entry = ScLedger(entry="a")
        s1.add(entry)
        s1.flush()
        with ledger.session() as s2:
            for call in (s2.add, s2.delete, lambda o: s2.upsert(o)):
                with pytest.raises(ValueError, match=r"^ScLedger\(id=\d+, entry='a'\) is in another open session"):
                    call(entry)
    with ledger.session() as s2:  # closed: detached, free to join another session
        s2.add(entry)
        entry.entry = "b"
    with ledger.session() as s:
        assert [e.entry for e in s.select(ScLedger).all()] == ["b"]


class Interrupt(KeyboardInterrupt):
    pass


def test_interrupted_commit_never_writes_twice(ledger, monkeypatch):
    """The COMMIT ran, and an interrupt came before its answer: the objects are left as
    committed, so a retry with the same objects writes nothing twice."""
    entries = [ScLedger(entry=str(i)) for i in range(5)]
    s = ledger.session()
    s.add_all(entries)
    conn = s._conn
    real = type(conn).commit

    def commit_then_interrupt(self):
        real(self)
        raise Interrupt()

    monkeypatch.setattr(type(conn), "commit", commit_then_interrupt)
    with pytest.raises(Interrupt) as err:
        with s:
            pass
    monkeypatch.undo()
    assert "outcome is unknown" in "".join(getattr(err.value, "__notes__", []))
    assert all(e.id is not None for e in entries) and sablecrest.state(entries[0]) == "detached"
    with ledger.session() as s:  # the retry: nothing new to write
        s.add_all(entries)
    assert count(ledger) == 5


def test_interrupt_in_close_keeps_the_slot(ledger, monkeypatch):
    for _ in range(3):  # more than the pool's two slots
        s = ledger.session()
        s.add(ScLedger(entry="x"))
        s.flush()
        monkeypatch.setattr(type(s._conn), "rollback", lambda self: (_ for _ in ()).throw(Interrupt()))
        with pytest.raises(Interrupt):
            s.close()
        monkeypatch.undo()
    with ledger.session():
        pass
    assert count(ledger) == 0


def test_interrupted_statement_discards_the_connection(ledger, monkeypatch):
    with ledger.session() as s:
        first = s._conn
    s = ledger.session()
    assert s._conn is first

    def interrupted(*args):
        raise Interrupt()

    target = s._conn.cur if hasattr(s._conn, "cur") else s._conn
    monkeypatch.setattr(target, "execute" if hasattr(s._conn, "cur") else "fetch", interrupted)
    with pytest.raises(Interrupt):
        with s:
            s.select(ScLedger).all()
    monkeypatch.undo()
    with ledger.session() as s:
        # Without a wire protocol (SQLite) the connection is fine; a server's is not.
        assert (s._conn is first) is s._conn.survives_interrupt
        assert s.select(ScLedger).count() == 0


def test_idle_connection_killed_by_the_server(ledger):
    """A connection the server closed while it sat in the pool is replaced, not handed
    to a session that would then fail."""
    if ledger.dialect.engine.name == "sqlite":
        pytest.skip("a SQLite connection has no server to close it")
    with ledger.session() as s:
        victim = s.execute("SELECT pg_backend_pid()" if ledger.dialect.engine.name == "postgresql"
                           else "SELECT CONNECTION_ID()").scalar()
    killer = sablecrest.connect(URLS[ledger.dialect.engine.name])
    with killer.session() as k:
        k.execute("SELECT pg_terminate_backend(%d)" % victim if ledger.dialect.engine.name == "postgresql"
                  else "KILL %d" % victim)
    killer.close()
    import time
    time.sleep(0.2)
    with ledger.session() as s:
        s.add(ScLedger(entry="after the kill"))
    assert count(ledger) == 1


def test_condition_on_a_model_outside_the_query(ledger):
    with ledger.session() as s:
        for make in (lambda: s.select(ScLedger).where(ScOther.id == 5),
                     lambda: s.select(ScLedger).order_by(ScOther.id),
                     lambda: s.select(ScLedger).where((ScLedger.id > 1) | ~(ScOther.id == 1))):
            with pytest.raises(ValueError, match=r"^ScOther.id belongs to ScOther, which is not part of this query "
                                                 r"of ScLedger$"):
                make().all()
