"""Models and the native per-row core without a database: declarations, assignment
checks, dirtiness by type and value, pickling, garbage collection and leaks; and the
statement texts each dialect compiles."""

import copy
import datetime as dt
import gc
import pickle
import sys
import weakref
from decimal import Decimal

import pytest

import sablecrest
from sablecrest import Field, Model, _native
from sablecrest.engines import mariadb, parse_url, postgresql, sqlite
from sablecrest.engines.base import FORMAT, NUMERIC, QMARK
from sablecrest.statements import Dialect

from leakcheck import leak_check


class Thing(Model):
    __tablename__ = "things"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False, default="?")
    n = Field(int)
    x = Field(float)
    ok = Field(bool)
    blob = Field(bytes)
    price = Field(Decimal)
    at = Field(dt.datetime)
    day = Field(dt.date)
    tags = Field(str, default=lambda: "fresh")


class Child(Model):
    parent_id = Field(int, references=Thing)
    up_id = Field(int, references="Child")


def loaded(**values):
    """A Thing as if read from a row (persistent, snapshot = values)."""
    info = Thing.__sc_info__
    row = tuple(values.get(f.name) for f in info.fields)
    (obj,) = _native.materialize(info.layout, [row], {}, None, 0)
    return obj


class TestDeclaration:
    def test_layout(self):
        t = Thing(n=1)
        assert (t.id, t.name, t.n, t.tags) == (None, "?", 1, "fresh")
        assert not hasattr(t, "__dict__") and Thing.__sc_info__.table == "things"
        assert Child.__sc_info__.table == "child" and [f.name for f in Child.__sc_info__.fields][0] == "id"
        assert sablecrest.state(t) == "transient" and Thing.n._index == 2

    @pytest.mark.parametrize(
        "body, error, message",
        [
            ({"a": Field(int, primary_key=True, db_type="SERIAL"), "b": Field(str, primary_key=True)}, TypeError,
             "Bad: a composite primary key (a, b) cannot have a generated part (a is SERIAL): give every part its "
             "value"),
            ({"id": Field(int)}, TypeError, "Bad has a field 'id' that is not its primary key"),
            ({"a": Field(int, references="Nowhere")}, TypeError, "Bad.a references 'Nowhere', which is not a model"),
            ({"a": Field(str, references=Thing)}, TypeError, "Bad.a is str but references Thing.id, which is int"),
            ({"a": Field(int, default="x")}, TypeError, "Bad.a: expected int, got str"),
            ({"a": Field(int, column="b"), "b": Field(int)}, TypeError, "Bad declares the column b twice"),
        ],
    )
    def test_bad_models(self, body, error, message):
        with pytest.raises(error) as e:
            type("Bad", (Model,), dict(body))
        assert str(e.value).startswith(message)

    @pytest.mark.parametrize(
        "make, message",
        [
            (lambda: Field(set), "unsupported field type"),
            (lambda: Field(int, primary_key=True, nullable=True), "a primary key cannot be nullable"),
            (lambda: Thing(nope=1), "Thing() got an unexpected keyword argument 'nope'"),
            (lambda: Thing(1), "Thing() takes keyword arguments only"),
            (lambda: Model(), "declares no fields"),
        ],
    )
    def test_bad_calls(self, make, message):
        with pytest.raises((TypeError, ValueError)) as e:
            make()
        assert message in str(e.value)

    def test_metaclass_subclass_leaves_type_intact(self):
        # Built against newer headers, a base type without a version tag made 3.8
        # release type.mro twice whenever a class with a metaclass derived from it.
        class Meta(type(Model)):
            pass

        for _ in range(3):
            type("Sub", (Model,), {"__tablename__": "sub", "n": Field(int)})
            Meta("Sub2", (Model,), {"n": Field(int)})
        assert type(type.__dict__["mro"]).__name__ == "method_descriptor" and type.mro(int) == [int, object]

    def test_abstract_and_concrete_bases(self):
        class Stamped(Model):
            __abstract__ = True
            created = Field(dt.datetime)

        class Note(Stamped):
            text = Field(str)

        assert [f.name for f in Note.__sc_info__.fields] == ["id", "created", "text"]
        assert Note.created is not Stamped.created and Note.created.model is Note
        with pytest.raises(TypeError, match="is a concrete model"):
            type("Sub", (Note,), {})


ASSIGN = [  # (field, value, accepted)
    ("n", 1, True), ("n", True, False), ("n", 1.0, False), ("n", "1", False),
    ("x", 1, True), ("x", 1.5, True), ("x", True, False),
    ("ok", True, True), ("ok", 1, False),
    ("name", "a", True), ("name", b"a", False),
    ("blob", b"a", True), ("blob", "a", False),
    ("price", Decimal("1"), True), ("price", 1, True), ("price", 1.0, False),
    ("at", dt.datetime(2020, 1, 1), True), ("at", dt.date(2020, 1, 1), False),
    ("day", dt.date(2020, 1, 1), True), ("day", dt.datetime(2020, 1, 1), False),
    ("n", None, True), ("name", None, True),
]


@pytest.mark.parametrize("field, value, accepted", ASSIGN)
def test_assignment_types(field, value, accepted):
    t = Thing()
    if accepted:
        setattr(t, field, value)
        assert getattr(t, field) is value
        return
    expected = Thing.__sc_info__.fields[getattr(Thing, field)._index].type.__name__
    with pytest.raises(TypeError) as e:
        setattr(t, field, value)
    assert str(e.value) == "Thing.%s: expected %s, got %s" % (field, expected, type(value).__name__)
    with pytest.raises(TypeError):
        Thing(**{field: value})


def test_foreign_key_takes_the_referenced_model():
    t = Thing()
    c = Child(parent_id=t)
    assert c.parent_id is t
    with pytest.raises(TypeError, match=r"^Child.parent_id: expected int or Thing, got Child$"):
        c.parent_id = Child()
    with pytest.raises(AttributeError, match="cannot be deleted"):
        del c.parent_id


DIRTY = [  # (field, loaded value, new value, dirty)
    ("x", 1.0, 1, True),
    ("x", 0.0, -0.0, True),
    ("x", float("nan"), float("nan"), False),
    ("ok", True, True, False),
    ("name", "None", None, True),
    ("n", None, None, False),
    ("price", Decimal("1.5"), Decimal("1.50"), True),
    ("price", Decimal("1.5"), Decimal("1.5"), False),
    ("price", Decimal("1"), 1, True),
    ("blob", b"a", bytes([97]), False),
    ("at", dt.datetime(2020, 1, 1), dt.datetime(2020, 1, 1, 0, 0, 0, 1), True),
]


@pytest.mark.parametrize("field, old, new, dirty", DIRTY)
def test_dirty_by_type_and_value(field, old, new, dirty):
    t = loaded(**{field: old})
    setattr(t, field, new)
    assert sablecrest.changes(t) == ({field: (old, new)} if dirty else {})
    setattr(t, field, old)  # back to the loaded value: clean again
    assert sablecrest.changes(t) == {}


def test_one_true_and_one_point_oh_differ():
    t = loaded(x=1.0)
    for value in (1, 1.0, 1.0000001):
        t.x = value
        assert bool(sablecrest.changes(t)) == (type(value) is int or value != 1.0)


def test_pickle_and_copy():
    t = loaded(id=3, name="Ann", price=Decimal("2.5"))
    t.n = 7
    for clone in (pickle.loads(pickle.dumps(t)), copy.copy(t), copy.deepcopy(t)):
        assert repr(clone) == repr(t) and sablecrest.state(clone) == "persistent"
        assert sablecrest.changes(clone) == {"n": (None, 7)}


def test_cycle_through_a_field_is_collected():
    class Node(Model):
        __slots__ = ("__weakref__",)  # a model may opt into weak references
        parent_id = Field(int, references="Node")

    n = Node()
    n.parent_id = n
    alive = weakref.ref(n)
    del n
    gc.collect()
    assert alive() is None


def test_atomic_objects_stay_out_of_the_collector():
    class Loose(Model):
        __slots__ = ("__dict__",)  # extra attributes may hold anything: always tracked
        x = Field(int)

    class Text(str):
        pass

    t = loaded(id=1, name="a", price=Decimal(1), at=dt.datetime(2020, 1, 1), blob=b"x")
    c = Child()
    assert not gc.is_tracked(t) and not gc.is_tracked(c) and gc.is_tracked(Loose())
    c.parent_id = t  # a model object: back under the collector
    t.name = Text("b")
    assert gc.is_tracked(c) and gc.is_tracked(t)
    c.__init__(parent_id=1)
    assert not gc.is_tracked(c)


def test_native_core_does_not_leak():
    info = Thing.__sc_info__
    rows = [(i, "n%d" % i, i, 1.5, True, b"x", Decimal("1"), None, None, "t") for i in range(20)]
    idxs = tuple(range(1, 10))
    name = "".join(("an", "n"))  # built at run time: a literal is immortal on 3.12+

    def cycle():
        identity = {}
        objs = _native.materialize(info.layout, rows, identity, None, 0)
        for o in objs:
            o.n = o.n + 1
        groups = _native.update_groups(info.layout, _native.dirty_objects(info.layout, identity), None)
        _native.mark_flushed(info.layout, groups[0][2], identity, None)
        _native.insert_params(info.layout, objs, idxs, None, True)
        Thing(name=name, n=1)
        pickle.loads(pickle.dumps(objs[0]))
        try:
            objs[0].n = "bad"
        except TypeError:
            pass

    refs = sys.getrefcount(name), sys.getrefcount(rows[0][1])
    leak_check(cycle, n=2000)
    assert (sys.getrefcount(name), sys.getrefcount(rows[0][1])) == refs


# ---------------------------------------------------------------- dialects


ENGINES = {"sqlite": sqlite.ENGINE, "postgresql": postgresql.ENGINE, "mariadb": mariadb.ENGINE}


def dialect(engine, style):
    return Dialect(ENGINES[engine], style, (99,) if engine != "sqlite" else (3, 40, 0), engine)


class Odd(Model):
    __tablename__ = "app.Odd%"
    order = Field(int)
    q = Field(str, column='say "hi"')


SELECTS = [
    ("sqlite", QMARK,
     'SELECT "id", "order", "say ""hi""" FROM "app"."Odd%" WHERE "order" IN (?, ?, ?, ?) AND "say ""hi""" IS ? '
     'ORDER BY "order" DESC LIMIT -1 OFFSET ?'),
    ("postgresql", FORMAT,
     'SELECT "id", "order", "say ""hi""" FROM "app"."Odd%%" WHERE "order" = ANY(%s) AND "say ""hi""" '
     'IS NOT DISTINCT FROM %s ORDER BY "order" DESC OFFSET %s'),
    ("postgresql", NUMERIC,
     'SELECT "id", "order", "say ""hi""" FROM "app"."Odd%" WHERE "order" = ANY($1) AND "say ""hi""" '
     'IS NOT DISTINCT FROM $2 ORDER BY "order" DESC OFFSET $3'),
    ("mariadb", FORMAT,
     "SELECT `id`, `order`, `say \"hi\"` FROM `app`.`Odd%%` WHERE `order` IN (%s, %s, %s, %s) AND "
     "`say \"hi\"` <=> %s ORDER BY `order` DESC LIMIT 18446744073709551615 OFFSET %s"),
]


@pytest.mark.parametrize("engine, style, text", SELECTS)
def test_select_text(engine, style, text):
    d = dialect(engine, style)
    where = (Odd.order.in_([1, 2, 3]), Odd.q.is_("x"))
    assert d.select_sql(Odd.__sc_info__, where, (Odd.order.desc(),), False, True, False) == text
    params = []
    for w in where:
        w.params(d, params)
    assert params == ([[1, 2, 3]] if d.engine.array_in else [1, 2, 3, 3]) + ["x"]


@pytest.mark.parametrize(
    "engine, style, insert, update, delete",
    [
        ("sqlite", QMARK, 'INSERT INTO "app"."Odd%" ("order", "say ""hi""") VALUES (?, ?), (?, ?) RETURNING "id"',
         'UPDATE "app"."Odd%" SET "order" = ? WHERE "id" = ?', 'DELETE FROM "app"."Odd%" WHERE "id" IN (?, ?)'),
        ("postgresql", NUMERIC,
         'INSERT INTO "app"."Odd%" ("order", "say ""hi""") VALUES ($1, $2), ($3, $4) RETURNING "id"',
         'UPDATE "app"."Odd%" SET "order" = $1 WHERE "id" = $2', 'DELETE FROM "app"."Odd%" WHERE "id" = ANY($1)'),
        ("mariadb", FORMAT,
         'INSERT INTO `app`.`Odd%%` (`order`, `say "hi"`) VALUES (%s, %s), (%s, %s) RETURNING `id`',
         "UPDATE `app`.`Odd%%` SET `order` = %s WHERE `id` = %s", "DELETE FROM `app`.`Odd%%` WHERE `id` IN (%s, %s)"),
    ],
)
def test_write_texts(engine, style, insert, update, delete):
    d = dialect(engine, style)
    info = Odd.__sc_info__
    assert d.insert_sql(info, (1, 2), 2, True) == insert
    assert d.update_sql(info, (1,)) == update
    assert d.delete_sql(info, 2) == delete


@pytest.mark.parametrize(
    "url, want",
    [
        ("sqlite://", ("sqlite", ":memory:")),
        ("sqlite:///rel/x.db", ("sqlite", "rel/x.db")),
        ("sqlite:////abs/x.db", ("sqlite", "/abs/x.db")),
        ("postgres://u:p%40ss@h:5/db", ("postgresql", "db", "h", 5, "u", "p@ss")),
        ("mariadb://u@h/db", ("mariadb", "db", "h", None, "u", "")),
    ],
)
def test_urls(url, want):
    assert tuple(parse_url(url))[: len(want)] == want


def test_bad_urls(monkeypatch):
    with pytest.raises(ValueError, match=r"unsupported database URL 'oracle://x': the supported schemes are sqlite://"):
        sablecrest.connect("oracle://x")
    with pytest.raises(ValueError, match="sqlite:///path.db"):
        sablecrest.connect("sqlite://x.db")
    monkeypatch.setitem(sys.modules, "psycopg", None)
    with pytest.raises(ImportError, match=r'^postgresql:// URLs need the psycopg driver: pip install "psycopg\[binary\]"$'):
        sablecrest.connect("postgresql://u@h/db")


def test_memory_database_has_one_connection():
    db = sablecrest.connect("sqlite://")
    with db.session():
        with pytest.raises(RuntimeError, match="one connection"):
            db.session()
    with db.session():  # given back
        pass


@pytest.mark.parametrize(
    "values, text, want",
    [
        ([3, 1, None, 3, 1], False, {1, 3}),
        (["b", "a", "b"], True, {"a", "b"}),
        ([2**63, 5, 2**63, -(2**63) - 1], False, {2**63, 5, -(2**63) - 1}),  # past 64 bits: kept as ints
    ],
)
def test_distinct_keys(values, text, want):
    from sablecrest import toolkit

    got = toolkit.distinct_keys(values, text)
    assert len(got) == len(want) and set(got) == want and all(type(k) is type(next(iter(want))) for k in got)
