"""Public functions given a wrong type or value: a TypeError or ValueError naming the
argument, before anything is opened or written."""

import re

import pytest

import sablecrest
from sablecrest import Field, Model


class ScBad(Model):
    __tablename__ = "sc_bad"
    id = Field(int, primary_key=True)
    parent_id = Field(int, references="ScBad")


class ScBadVersioned(Model):
    __tablename__ = "sc_bad_versioned"
    ver = Field(int, version=True)


def session():
    db = sablecrest.connect("sqlite://")
    db.migrate(ScBad, ScBadVersioned)
    return db.session()


CASES = [  # (label, call given a fresh session, exception, message)
    ("url", lambda s: sablecrest.connect(5), TypeError, "a database URL is a str, got int"),
    ("pool_size float", lambda s: sablecrest.connect("sqlite://", pool_size=2.5), TypeError,
     "pool_size takes an int, got 2.5"),
    ("pool_size bool", lambda s: sablecrest.connect("sqlite://", pool_size=True), TypeError,
     "pool_size takes an int, got True"),
    ("pool_size 0", lambda s: sablecrest.connect("sqlite://", pool_size=0), ValueError,
     "pool_size must be at least 1, got 0"),
    ("pool_timeout", lambda s: sablecrest.connect("sqlite://", pool_timeout=0), ValueError,
     "pool_timeout must be a positive number of seconds, got 0"),
    ("pool_timeout type", lambda s: sablecrest.connect("sqlite://", pool_timeout="1"), TypeError,
     "pool_timeout takes a number of seconds, got '1'"),
    ("pool_recycle", lambda s: sablecrest.connect("sqlite://", pool_recycle=-1), ValueError,
     "pool_recycle must be a positive number of seconds, got -1"),
    ("pool_recycle type", lambda s: sablecrest.connect("sqlite://", pool_recycle=True), TypeError,
     "pool_recycle takes a number of seconds or None, got True"),
    ("pool_max_lifetime", lambda s: sablecrest.connect("sqlite://", pool_max_lifetime=0.0), ValueError,
     "pool_max_lifetime must be a positive number of seconds, got 0.0"),
    ("pool_max_lifetime nan", lambda s: sablecrest.connect("sqlite://", pool_max_lifetime=float("nan")), ValueError,
     "pool_max_lifetime must be a positive number of seconds, got nan"),
    ("pool_pre_ping", lambda s: sablecrest.connect("sqlite://", pool_pre_ping=1), TypeError,
     "pool_pre_ping takes True or False, got 1"),
    ("echo", lambda s: sablecrest.connect("sqlite://", echo="yes"), TypeError, "echo takes True or False, got 'yes'"),
    ("on_connect", lambda s: sablecrest.connect("sqlite://", on_connect=5), TypeError,
     "on_connect takes a callable, got 5"),
    ("field type", lambda s: Field(set), TypeError, "unsupported field type <class 'set'>"),
    ("field column", lambda s: Field(int, column=5), TypeError, "column must be a non-empty str, got 5"),
    ("field flag", lambda s: Field(int, primary_key="yes"), TypeError, "primary_key takes True or False, got 'yes'"),
    ("field nullable", lambda s: Field(int, nullable=1), TypeError, "nullable takes True or False, got 1"),
    ("select", lambda s: s.select(5), TypeError, "expected a model class"),
    ("add", lambda s: s.add(5), TypeError, "expected a model class"),
    ("get model", lambda s: s.get(int, 1), TypeError, "expected a model class"),
    ("execute", lambda s: s.execute(b"SELECT 1"), TypeError, "execute() takes the statement as a str, or a query, got bytes"),
    ("where", lambda s: s.select(ScBad).where(True), TypeError, "where() takes conditions"),
    ("order_by", lambda s: s.select(ScBad).order_by("id"), TypeError, "order_by() takes fields"),
    ("limit type", lambda s: s.select(ScBad).limit("1"), TypeError, "limit() takes an int, got str"),
    ("limit value", lambda s: s.select(ScBad).limit(-1), ValueError, "limit() takes 0 to 2**63-1, got -1"),
    ("load_related field", lambda s: s.load_related([], ScBad.id), TypeError, "takes a foreign-key field"),
    ("delete transient", lambda s: s.delete(ScBad()), ValueError, "is not in the session"),
    ("condition value", lambda s: ScBad.id == "1", TypeError, "ScBad.id: expected int, got str"),
    ("in_ string", lambda s: ScBad.id.in_("123"), TypeError, "in_() takes an iterable of values, not a single str"),
    ("like", lambda s: ScBad.id.like(5), TypeError, "like() takes a str pattern, got int"),
    ("closed", lambda s: (s.close(), s.add(ScBad())), RuntimeError, "the session is closed"),
    ("for_update count", lambda s: s.select(ScBad).for_update().count(), ValueError,
     "count() cannot lock rows: for_update() is for reading rows to change them"),
    ("for_update flag", lambda s: s.select(ScBad).for_update(nowait=1), TypeError,
     "for_update() takes nowait=True or False, got 1"),
    ("for_update both", lambda s: s.select(ScBad).for_update(nowait=True, skip_locked=True), ValueError,
     "for_update() takes nowait or skip_locked, not both"),
    ("for_update nowait without row locks", lambda s: s.select(ScBad).for_update(nowait=True), ValueError,
     "for_update(nowait=True) needs row locks, which SQLite does not have"),
    ("savepoint closed", lambda s: (s.close(), s.savepoint()), ValueError,
     "savepoint() needs an open session: this one is closed"),
    ("savepoint with async with", lambda s: s.savepoint().__aenter__().send(None), TypeError,
     "a sync session's savepoint is used with `with s.savepoint():`"),
    ("version type", lambda s: Field(str, version=True), TypeError, "version=True needs an int field (a counter), got str"),
    ("version key", lambda s: Field(int, version=True, primary_key=True), ValueError,
     "a version field is a NOT NULL counter of its own"),
    ("version flag", lambda s: Field(int, version="yes"), TypeError, "version takes True or False, got 'yes'"),
    ("two versions", lambda s: type(Model)("ScTwo", (Model,), {"a": Field(int, version=True), "b": Field(
        int, version=True)}), TypeError, "ScTwo declares 2 version fields (a, b); a model has at most one"),
    ("upsert versioned", lambda s: s.upsert(ScBadVersioned(id=1)), ValueError,
     "upsert() writes whole rows without checking ScBadVersioned.ver, the version column"),
    ("isolation unknown", lambda s: s.db.session(isolation="snapshot"), ValueError,
     "unknown isolation level 'snapshot': it is one of 'serializable', 'repeatable read', 'read committed'"),
    ("isolation type", lambda s: s.db.session(isolation=1), TypeError, "isolation takes a str"),
    ("isolation the engine lacks", lambda s: s.db.session(isolation="read committed"), ValueError,
     "SQLite has no isolation level 'read committed': it offers 'serializable'"),
    ("execute positional", lambda s: s.execute("SELECT :a", [1]), TypeError,
     "execute() takes its values as a mapping of names"),
    ("execute missing", lambda s: s.execute("SELECT :a, :b", {"a": 1}), ValueError,
     "execute(): the statement names :b, which params does not give"),
    ("execute unused", lambda s: s.execute("SELECT 1", {"a": 1}), ValueError,
     "execute(): params gives :a, which the statement does not use"),
    ("execute query with params", lambda s: s.execute(s.select(ScBad), {"a": 1}), TypeError,
     "execute(query) takes no params: the query holds its values"),
]


@pytest.mark.parametrize("call, exc, message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_bad_input(call, exc, message):
    s = session()
    seen = []
    s.db.trace = lambda sql, params: seen.append(sql)
    with pytest.raises(exc, match=re.escape(message)):
        call(s)
    assert seen == []  # refused before any statement ran
