"""The native core's contracts beyond a plain flush (transitions, owner tokens, reference
reference binding, writes racing a flush, parameters of enum values, datetime awareness) and its
entry points under hostile input: re-entrant __eq__, out-of-range indexes, wrong types."""

import datetime as dt
import enum
import gc
import math
import pickle
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sablecrest import Field, Model, _native, relation

from leakcheck import leak_check

T = dict(_native.TRANSITIONS)
S = dict(_native.STATES)
UTC = dt.timezone.utc


class Author(Model):
    __tablename__ = "n_authors"
    name = Field(str)
    score = Field(float)
    level = Field(int)
    at = Field(dt.datetime)
    blob = Field(bytes)
    books = relation("Book.author_id")  # a relation slot, for the relation kernels


class Book(Model):
    __tablename__ = "n_books"
    author_id = Field(int, references=Author)


AL, BL = Author.__sc_info__.layout, Book.__sc_info__.layout
N = len(Author.__sc_info__.fields)


def loaded(model=Author, identity=None, token=9, **values):
    """An object as read from a row: persistent, snapshot = values, owned by `token`."""
    row = tuple(values.get(f.name) for f in model.__sc_info__.fields)
    (obj,) = _native.materialize(model.__sc_info__.layout, [row], {} if identity is None else identity, None, token)
    return obj


class Level(enum.IntEnum):
    HIGH = 3
    HUGE = 2**70  # past a C long long: int's own copy, on every version


class Tone(str, enum.Enum):
    LOUD = "loud"


class Ratio(float):
    pass


class Raw(bytes):
    pass


class TestTransitions:
    @pytest.mark.parametrize(
        "op, state, kept, owner",
        [
            ("ATTACH", "PERSISTENT", True, 5),
            ("MARK_DELETED", "DELETED", True, 9),
            ("DETACH", "DETACHED", True, 0),
            ("EXPIRE", "DETACHED", False, 0),
            ("RELEASE", "TRANSIENT", True, 0),
            ("REMOVED", "TRANSIENT", False, 0),
            ("UNINSERT", "TRANSIENT", False, 0),
        ],
    )
    def test_table(self, op, state, kept, owner):
        a = loaded(id=1, name="a")
        _native.transition(iter([a]), T[op], token=5, pk=0)
        assert (_native.state(a), _native.owner(a)) == (S[state], owner)
        assert _native.changes(a) == (() if kept else tuple(range(N)))
        assert a.id == (None if op == "UNINSERT" else 1)
        assert bool(_native.dirty_objects(AL, [a])) == (state == "PERSISTENT" and not kept)

    @pytest.mark.parametrize("op", [0, len(T) + 1, -1, 2**64, "ATTACH", None, 1.0])
    def test_unknown_op(self, op):
        with pytest.raises(ValueError, match="unknown transition"):
            _native.transition([], op)

    @pytest.mark.parametrize("pk, error", [(2**32, IndexError), (N, IndexError), (-2, IndexError), (2**64, OverflowError)])
    def test_bad_key_index_changes_nothing(self, pk, error):
        a, b = loaded(id=1), loaded(id=2)
        with pytest.raises(error):
            _native.transition([a, b], T["UNINSERT"], 0, pk)
        assert (a.id, b.id, _native.state(a), _native.state(b)) == (1, 2, S["PERSISTENT"], S["PERSISTENT"])

    def test_owner_tokens(self):
        mine, theirs, fresh = Author(), Author(), Author()
        _native.add_pending([theirs], {}, 0, 7)
        pending = {}
        assert _native.add_pending([mine, theirs, fresh], pending, 0, 3) == 1  # stops for the slow path
        assert list(pending.values()) == [mine] and _native.owner(mine) == 3 and _native.owner(theirs) == 7
        assert _native.owner(loaded(token=11)) == 11
        clone = pickle.loads(pickle.dumps(loaded(id=4)))
        assert (_native.owner(clone), _native.state(clone)) == (0, S["PERSISTENT"])


class TestFlushRaces:
    def test_assignment_during_write_is_not_snapshotted(self):
        a = loaded(id=1, name="a")
        a.name = "b"
        _native.begin_write([a])
        a.level = 3  # another task, while the flush awaited the driver
        _native.mark_flushed(AL, [a], {}, None)
        assert _native.state(a) == S["PERSISTENT"] and _native.changes(a) == tuple(range(N))
        assert _native.dirty_objects(AL, [a]) == [a]

    def test_quiet_write_is_snapshotted(self):
        a = loaded(id=1, name="a")
        a.name = "b"
        _native.begin_write([a])
        identity = {}
        _native.mark_flushed(AL, [a], identity, None)
        assert _native.changes(a) == () and _native.dirty_objects(AL, identity) == []

    def test_init_again_is_a_write(self):
        a = loaded(id=1, name="a")
        epoch = _native.touch_epoch()
        a.__init__(name="x")
        assert _native.touch_epoch() > epoch and _native.dirty_objects(AL, [a]) == [a]


class TestReferenceBinding:
    def test_insert_binds_the_key_in_place(self):
        author = loaded(id=7)
        book = Book(author_id=author)
        assert _native.insert_params(BL, [book], (1,), None, True) == [7]
        assert book.author_id == 7

    def test_update_binds_the_key_in_place(self):
        author, book = loaded(id=7), loaded(Book, id=1, author_id=3)
        book.author_id = author
        assert _native.update_groups(BL, [book], None) == [((1,), [(7, 1)], [book])]
        assert book.author_id == 7


PLAIN = [  # (field, value, parameter)
    ("level", Level.HIGH, 3),
    ("level", Level.HUGE, 2**70),
    ("name", Tone.LOUD, "loud"),
    ("score", Ratio(1.5), 1.5),
    ("blob", Raw(b"x"), b"x"),
    ("level", True and 5, 5),
]


@pytest.mark.parametrize("field, value, param", PLAIN)
def test_parameters_have_exact_base_types(field, value, param):
    a = Author(**{field: value})
    index = getattr(Author, field)._index
    (got,) = _native.insert_params(AL, [a], (index,), None, True)
    assert type(got) is type(param) and got == param
    assert getattr(a, field) is value  # the object keeps what it was given
    b = loaded(id=1)
    setattr(b, field, value)
    ((_, [row], _),) = _native.update_groups(AL, [b], None)
    assert type(row[0]) is type(param)


NAIVE, AWARE = dt.datetime(2020, 1, 1), dt.datetime(2020, 1, 1, tzinfo=UTC)
FLAGS = dict(_native.FIELD_FLAGS)


def aware_field():
    f = _native.FieldBase()
    f._bind(Author, "Post.at", 4, dict(_native.KINDS)["DATETIME"], FLAGS["AWARE"] | FLAGS["NULLABLE"], None, -1)
    return f


@pytest.mark.parametrize(
    "make, value, message",
    [
        (lambda: Author.at, AWARE, "Author.at: got a timezone-aware datetime; this field holds naive datetimes "
                                   "(declare Field(datetime, timezone=True) for aware ones)"),
        (aware_field, NAIVE, "Post.at: got a naive datetime; this field holds timezone-aware datetimes"),
        # tzinfo set, but utcoffset() None: naive
        (aware_field, NAIVE.replace(tzinfo=type("NoOffset", (dt.tzinfo,), {"utcoffset": lambda s, d: None})()),
         "Post.at: got a naive datetime"),
    ],
)
def test_datetime_awareness(make, value, message):
    field = make()
    with pytest.raises(TypeError) as e:
        field._check(value)
    assert str(e.value).startswith(message)
    assert aware_field()._check(AWARE) is AWARE and Author.at._check(NAIVE) is NAIVE
    with pytest.raises(TypeError, match="timezone-aware datetime"):
        Author(at=AWARE)


def test_nan_refused_where_the_database_cannot_store_it():
    a = Author(name="a", score=math.nan)
    _native.validate(AL, [a], False, 0)
    with pytest.raises(ValueError, match=r"^Author.score is NaN, which this database cannot store$"):
        _native.validate(AL, [a], True, 0)


class Traitor(str):
    """A value whose comparison empties the containers in `victims` (dropping, at worst,
    the last reference to the object being compared)."""

    victims = []

    def __eq__(self, other):
        for v in self.victims:
            v.clear()
        gc.collect()
        return False

    __hash__ = str.__hash__


class TestFaults:
    def test_eq_dropping_the_object_under_check(self):
        # dirty_objects walked the identity dict with borrowed references: freed mid-compare.
        identity = {}
        loaded(identity=identity, id=1, name=Traitor("a"))
        identity[1].name = Traitor("a")
        Traitor.victims = [identity]
        try:
            dirty = _native.dirty_objects(AL, identity)
        finally:
            Traitor.victims = []
        assert identity == {} and [str(o.name) for o in dirty] == ["a"]
        survivor = dirty.pop()
        assert sys.getrefcount(survivor) == 2  # ours alone: held for the call, not leaked

    @pytest.mark.parametrize(
        "call",
        [
            lambda a: _native.field_values([a], 2**32),
            lambda a: _native.field_values([a], 2**32 + 1),
            lambda a: _native.loaded(a, 2**32),
            lambda a: _native.transition([a], T["UNINSERT"], 0, 2**32),
            lambda a: _native.insert_params(AL, [a], (2**32,), None, True),
        ],
    )
    def test_index_past_2_to_32(self, call):
        # Checks that cast the index to uint32_t let 2**32 (read as 0) through.
        with pytest.raises(IndexError):
            call(loaded(id=1))

    @pytest.mark.parametrize("index, ref_pk", [(2**32, -1), (2**31, -1), (-1, -1), (0, 2**32)])
    def test_bind_refuses_huge_indexes(self, index, ref_pk):
        with pytest.raises(ValueError):
            _native.FieldBase()._bind(Book, "X.y", index, 1, 0, Author if ref_pk != -1 else None, ref_pk)


# ---------------------------------------------------------------- fuzz

HOSTILE_INTS = [-1, -(2**31), 2**31, 2**32, 2**63 - 1, 2**64, 10**30, 0, 1, 5]


class Boom(Exception):
    pass


class Sneaky(int):
    """An index that changes the world when read, or refuses to be read."""

    def __index__(self):
        WORLD["objs"].clear()
        raise Boom


WORLD = {}


def make_world():
    identity = {}
    objs = [loaded(identity=identity, id=i, name=Traitor("n%d" % i)) for i in range(3)]
    for o in objs:
        o.name = Traitor(o.name)
    objs.append(Author(name="new"))
    WORLD.update(identity=identity, objs=objs)
    Traitor.victims = [identity, objs]
    return identity, objs


JUNK = st.one_of(
    st.sampled_from(HOSTILE_INTS),
    st.sampled_from([None, "x", (), [], {}, object(), Author, Level.HIGH, Sneaky(1), b"", 1.5]),
    st.lists(st.sampled_from([1, None, "x", Sneaky(0)]), max_size=3),
    st.lists(st.sampled_from([1, None, "x", Sneaky(0)]), max_size=3).map(tuple),
)


def entry_calls(identity, objs):
    """Each entry point with valid arguments: (name, args)."""
    rows = [(i, "r", 1.0, 1, None, b"") for i in range(3)]
    return [
        ("materialize", [AL, rows, identity, None, 1]),
        ("validate", [AL, objs, True, 0]),
        ("insert_params", [AL, objs, (0, 1, 2), None, True]),
        ("update_groups", [AL, objs, None]),
        ("begin_write", [objs]),
        ("mark_flushed", [AL, objs, identity, None]),
        ("dirty_objects", [AL, identity]),
        ("key_params", [AL, objs]),
        ("field_values", [objs, 1]),
        ("changes", [objs[0]]),
        ("loaded", [objs[0], 1]),
        ("state", [objs[0]]),
        ("owner", [objs[0]]),
        ("transition", [objs, T["EXPIRE"], 0, 0]),
        ("add_pending", [objs, {}, 0, 1]),
        ("_rebuild", [Author, (None,) * N, None, 0, None]),
        ("set_related", [objs, 0, [None] * len(objs)]),
        ("clear_related", [objs, 0]),
        ("group_related", [objs, 0, objs, 0]),
        ("link_related", [objs, 0, 0, identity]),
        ("refresh", [AL, [list(r[:2]) for r in rows], (1,), identity, None]),
        ("convert_rows", [rows, (None, str, None, None, None, None)]),
    ]


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_entry_points_survive_hostile_arguments(data):
    identity, objs = make_world()
    try:
        name, args = data.draw(st.sampled_from(entry_calls(identity, objs)))
        args = [data.draw(st.one_of(st.just(a), JUNK)) for a in args]
        try:
            getattr(_native, name)(*args)
        except (TypeError, ValueError, IndexError, OverflowError, Boom):
            pass
        except LookupError:
            assert name == "loaded"
        except RuntimeError as e:
            assert str(e) == "rows changed size during materialize()"
    finally:
        Traitor.victims = []
        WORLD.clear()


def test_kernels_do_not_leak():
    rows = [(i, "n%d" % i, 1.5, i, None, b"x") for i in range(20)]
    idxs = (1, 2, 3, 5)
    keep = "kept"

    def cycle():
        identity = {}
        objs = _native.materialize(AL, rows, identity, None, 3)
        for o in objs:
            o.level += 1
        dirty = _native.dirty_objects(AL, identity)
        _native.begin_write(dirty)
        groups = _native.update_groups(AL, dirty, None)
        _native.mark_flushed(AL, groups[0][2], identity, None)
        books = [Book(author_id=o) for o in objs[:3]]
        _native.insert_params(BL, books, (1,), None, False)
        _native.transition(objs, T["EXPIRE"])
        _native.add_pending(books, {}, 0, 3)
        objs[0].name = keep
        for bad in (
            lambda: _native.validate(AL, [Author(score=math.nan)], True, 0),
            lambda: _native.field_values(objs, 2**32),
            lambda: _native.transition(objs, 99),
            lambda: _native.materialize(AL, [rows[0][:2]], identity, None, 0),
            lambda: _native.insert_params(BL, [Book(author_id=Author())], (1,), None, True),
            lambda: Author(at=AWARE),
        ):
            try:
                bad()
            except (TypeError, ValueError, IndexError):
                pass

    refs = sys.getrefcount(keep), sys.getrefcount(rows[0][1])
    leak_check(cycle, n=2000)
    assert (sys.getrefcount(keep), sys.getrefcount(rows[0][1])) == refs
