"""Values the engines would change or refuse silently, on every engine: timezone-aware
datetimes in a naive field, NaN where the engine cannot store it, enum members of int
and str fields, a '%' in a statement of the user's own, a value past MariaDB's packet
limit, and keys of the wrong type."""

import datetime as dt
import enum

import pytest

import sablecrest
from sablecrest import Field, Model


class Level(enum.IntEnum):
    HIGH = 2


class Colour(str, enum.Enum):
    RED = "red"


class ScValue(Model):
    __tablename__ = "sc_values"
    id = Field(int, primary_key=True)
    at = Field(dt.datetime)
    score = Field(float)
    level = Field(int)
    colour = Field(str)
    blob = Field(bytes)


@pytest.fixture
def vdb(db):
    db.migrate(ScValue)
    return db


def raw_row(db, key):
    q = db.dialect.q
    with db.session() as s:
        return tuple(s.execute("SELECT %s, %s FROM %s WHERE %s = :id" % (
            q("level"), q("colour"), q("sc_values"), q("id")), {"id": key}).one())


def test_aware_datetime_is_refused():
    aware = dt.datetime(2024, 1, 1, 12, tzinfo=dt.timezone.utc)
    with pytest.raises(TypeError, match=r"^ScValue.at: got a timezone-aware datetime; this field holds naive "
                                        r"datetimes \(declare Field\(datetime, timezone=True\) for aware ones\)$"):
        ScValue(at=aware)
    v = ScValue(at=aware.replace(tzinfo=None))
    with pytest.raises(TypeError, match="timezone-aware"):
        v.at = aware


def test_nan(vdb):
    seen = []
    vdb.trace = lambda sql, params: seen.append(sql)
    with vdb.session() as s:
        s.add(ScValue(score=float("nan")))
        if vdb.dialect.engine.stores_nan:
            s.flush()
            vdb.trace = None
            (back,) = s.select(ScValue).all()
        else:
            with pytest.raises(ValueError, match=r"^ScValue.score is NaN, which this database cannot store"):
                s.flush()
            assert seen == []
            s.rollback()
    if vdb.dialect.engine.stores_nan:
        with vdb.session() as s:
            assert s.get(ScValue, back.id).score != s.get(ScValue, back.id).score  # NaN, not NULL


def test_enum_members_are_written_by_value(vdb):
    v = ScValue(level=Level.HIGH, colour=Colour.RED)
    with vdb.session() as s:
        s.add(v)
    assert raw_row(vdb, v.id) == (2, "red")


def test_percent_in_a_statement_without_parameters(vdb):
    with vdb.session() as s:
        assert [tuple(r) for r in s.execute("SELECT '100%'")] == [("100%",)]


def test_value_past_the_packet_limit(vdb):
    if vdb.dialect.engine.name != "mariadb":
        pytest.skip("MariaDB's max_allowed_packet")
    with pytest.raises(Exception) as err:
        with vdb.session() as s:
            s.add(ScValue(blob=b"x" * (20 * 1024 * 1024)))
    assert "max_allowed_packet" in "".join(getattr(err.value, "__notes__", []))
    with vdb.session() as s:  # the pool carries on
        assert s.select(ScValue).count() == 0


def test_key_of_the_wrong_type(vdb):
    with vdb.session() as s:
        s.add(ScValue())
        s.flush()
        for key, message in ((True, "expected int, got bool"), ("1", "expected int, got str"),
                             (None, "takes a primary key value")):
            with pytest.raises(TypeError, match=message):
                s.get(ScValue, key)


def test_init_again_on_a_loaded_object_is_written(vdb):
    with vdb.session() as s:
        v = ScValue(level=1)
        s.add(v)
    with vdb.session() as s:
        got = s.get(ScValue, v.id)
        got.__init__(level=5, colour="c")  # the key stays: it names the row
    with vdb.session() as s:
        got = s.get(ScValue, v.id)
        assert (got.level, got.colour) == (5, "c")
