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


def session():
    db = sablecrest.connect("sqlite://")
    db.migrate(ScBad)
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
    ("field type", lambda s: Field(list), TypeError, "unsupported field type <class 'list'>"),
    ("field column", lambda s: Field(int, column=5), TypeError, "column must be a non-empty str, got 5"),
    ("field flag", lambda s: Field(int, primary_key="yes"), TypeError, "primary_key takes True or False, got 'yes'"),
    ("field nullable", lambda s: Field(int, nullable=1), TypeError, "nullable takes True or False, got 1"),
    ("select", lambda s: s.select(5), TypeError, "expected a model class"),
    ("add", lambda s: s.add(5), TypeError, "expected a model class"),
    ("get model", lambda s: s.get(int, 1), TypeError, "expected a model class"),
    ("execute", lambda s: s.execute(b"SELECT 1"), TypeError, "execute() takes the statement as a str, got bytes"),
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
]


@pytest.mark.parametrize("call, exc, message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_bad_input(call, exc, message):
    s = session()
    with pytest.raises(exc, match=re.escape(message)):
        call(s)
