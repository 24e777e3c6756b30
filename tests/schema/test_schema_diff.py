"""SchemaDiffEngine.diff_table: DDL texts for a missing table or missing columns, in model order."""

import itertools
import sqlite3
import sys

import pytest

from _sablecrest_rs import SchemaDiffEngine

ENGINE = SchemaDiffEngine()


def diff(model, db=None, dialect="sqlite", table="t"):
    return ENGINE.diff_table(table, model, {} if db is None else db, dialect)


def create(*definitions, table="t"):
    return (
        ["CREATE TABLE IF NOT EXISTS %s (%s);" % (table, ", ".join(definitions))],
        ["DROP TABLE IF EXISTS %s;" % table],
    )


def alter(*added, table="t"):
    """added: (name, type-and-suffix) pairs, in the order the statements must come."""
    return (
        ["ALTER TABLE %s ADD COLUMN %s %s;" % (table, n, t) for n, t in added],
        ["ALTER TABLE %s DROP COLUMN %s;" % (table, n) for n, _ in added],
    )


class Distinct(str):
    """A str whose instances are distinct dict keys even when their texts are equal."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)


class OnDataTypeLookup:
    """A description key that collides with "data_type" and runs `action` when compared.

    The dict's probe sequence may meet the same entry more than once in one lookup, so
    with once=True the action runs on the first comparison only and later ones are misses.
    """

    def __init__(self, action, once=False):
        self.action = action
        self.once = once
        self.ran = False

    def __hash__(self):
        return hash("data_type")

    def __eq__(self, other):
        if self.once and self.ran:
            return False
        self.ran = True
        return self.action()


class Opaque(dict):
    """A dict subclass whose Python-level access methods must never be consulted."""

    def _refuse(self, *args, **kwargs):
        raise AssertionError("dict subclass method consulted")

    __getitem__ = __iter__ = __len__ = __contains__ = __missing__ = _refuse
    keys = items = values = get = _refuse


PK_CLAUSES = [
    pytest.param("mysql", "id INT AUTO_INCREMENT PRIMARY KEY", id="mysql"),
    pytest.param("postgres", "id SERIAL PRIMARY KEY", id="postgres"),
    pytest.param("postgresql", "id SERIAL PRIMARY KEY", id="postgresql"),
    pytest.param("sqlite", "id INTEGER PRIMARY KEY AUTOINCREMENT", id="sqlite"),
    pytest.param("MySQL", "id INTEGER PRIMARY KEY AUTOINCREMENT", id="MySQL"),
    pytest.param("Postgres", "id INTEGER PRIMARY KEY AUTOINCREMENT", id="Postgres"),
    pytest.param("POSTGRESQL", "id INTEGER PRIMARY KEY AUTOINCREMENT", id="POSTGRESQL"),
    pytest.param(" mysql", "id INTEGER PRIMARY KEY AUTOINCREMENT", id="leading-space"),
    pytest.param("mysql\0", "id INTEGER PRIMARY KEY AUTOINCREMENT", id="trailing-nul"),
    pytest.param("", "id INTEGER PRIMARY KEY AUTOINCREMENT", id="empty"),
]

# One field description and the column definition it gives when the table is created.
DESCRIPTIONS = [
    pytest.param({}, "c TEXT", id="empty"),
    pytest.param({"data_type": "VARCHAR(50)"}, "c VARCHAR(50)", id="type"),
    pytest.param({"data_type": "VARCHAR(50)", "nullable": False}, "c VARCHAR(50) NOT NULL", id="not-null"),
    pytest.param({"nullable": True}, "c TEXT", id="nullable-true"),
    pytest.param({"data_type": None}, "c TEXT", id="type-none"),
    pytest.param({"data_type": 5}, "c TEXT", id="type-int"),
    pytest.param({"data_type": b"INT"}, "c TEXT", id="type-bytes"),
    pytest.param({"data_type": "\ud800"}, "c TEXT", id="type-unencodable"),
    pytest.param({"data_type": ""}, "c ", id="type-empty-verbatim"),
    pytest.param({"data_type": "a b;--"}, "c a b;--", id="type-verbatim"),
    pytest.param({"data_type": "caf\u00e9 \U0001f600"}, "c caf\u00e9 \U0001f600", id="type-non-ascii"),
    pytest.param({"nullable": 0}, "c TEXT", id="nullable-int-0"),
    pytest.param({"nullable": 1}, "c TEXT", id="nullable-int-1"),
    pytest.param({"nullable": None}, "c TEXT", id="nullable-none"),
    pytest.param({"nullable": "no"}, "c TEXT", id="nullable-str"),
    pytest.param({"nullable": 0.0}, "c TEXT", id="nullable-float"),
    pytest.param({"data_type": None, "nullable": 0}, "c TEXT", id="none-and-0"),
    pytest.param({"primary_key": 1}, "c TEXT", id="pk-int-1"),
    pytest.param({"primary_key": "yes"}, "c TEXT", id="pk-str"),
    pytest.param({"primary_key": False, "nullable": False}, "c TEXT NOT NULL", id="pk-false"),
    pytest.param({"primary_key": True, "data_type": "UUID", "nullable": False},
                 "c INTEGER PRIMARY KEY AUTOINCREMENT", id="pk-ignores-type-and-null"),
    pytest.param({"DATA_TYPE": "INT", "Nullable": False, "extra": 1}, "c TEXT", id="other-keys-ignored"),
    pytest.param({5: "x", None: False}, "c TEXT", id="non-str-keys-ignored"),
]


class TestCreate:
    def test_empty_model(self):
        assert diff({}) == (["CREATE TABLE IF NOT EXISTS t ();"], ["DROP TABLE IF EXISTS t;"])

    @pytest.mark.parametrize("dialect, definition", PK_CLAUSES)
    def test_primary_key_clause_by_exact_dialect(self, dialect, definition):
        assert diff({"id": {"primary_key": True}}, dialect=dialect, table="users") == create(
            definition, table="users"
        )

    @pytest.mark.parametrize("description, definition", DESCRIPTIONS)
    def test_column_definition(self, description, definition):
        assert diff({"c": description}) == create(definition)

    @pytest.mark.parametrize("dialect", ["mysql", "postgres", "sqlite"])
    def test_dialect_touches_only_primary_keys(self, dialect):
        model = {"a": {"data_type": "INT", "nullable": False}, "b": {}}
        assert diff(model, dialect=dialect) == create("a INT NOT NULL", "b TEXT")

    @pytest.mark.parametrize("table", ["my table", "", "s.t", "\u00fcbers"])
    def test_table_name_verbatim(self, table):
        assert diff({}, table=table) == (
            ["CREATE TABLE IF NOT EXISTS %s ();" % table],
            ["DROP TABLE IF EXISTS %s;" % table],
        )

    def test_str_and_dict_subclasses_read_through_their_storage(self):
        class Text(str):
            def __str__(self):
                return "WRONG"

        model = Opaque(c=Opaque(data_type=Text("REAL"), nullable=False), d=Opaque())
        assert diff(model, Opaque()) == create("c REAL NOT NULL", "d TEXT")
        assert diff(model, Opaque(d=Text("X"))) == alter(("c", "REAL NOT NULL"))


class TestNumpyBooleans:
    @pytest.mark.parametrize(
        "description, definition",
        [
            pytest.param({"nullable": "np.bool_(False)"}, "c TEXT NOT NULL", id="nullable-false"),
            pytest.param({"nullable": "np.True_"}, "c TEXT", id="nullable-true"),
            pytest.param({"primary_key": "np.True_"}, "c INTEGER PRIMARY KEY AUTOINCREMENT", id="pk-true"),
            pytest.param({"primary_key": "np.False_", "nullable": "np.False_"}, "c TEXT NOT NULL", id="pk-false"),
            pytest.param({"primary_key": "np.int64(1)"}, "c TEXT", id="pk-int64"),
            pytest.param({"nullable": "np.int64(0)"}, "c TEXT", id="nullable-int64"),
        ],
    )
    def test_numpy_scalars(self, description, definition):
        np = pytest.importorskip("numpy")
        description = {k: eval(v, {"np": np}) for k, v in description.items()}
        assert diff({"c": description}) == create(definition)


class TestAlter:
    @pytest.mark.parametrize(
        "model, db, want",
        [
            pytest.param({}, {"id": "INTEGER"}, ([], []), id="empty-model"),
            pytest.param({"id": {}, "name": {"data_type": "INT"}}, {"name": "BLOB", "id": "X"}, ([], []),
                         id="all-present-types-differ"),
            pytest.param({"id": {}}, {"id": "INTEGER", "extra": "TEXT"}, ([], []), id="db-extra-ignored"),
            pytest.param({"name": {"data_type": "VARCHAR(50)", "nullable": False}}, {"id": "INTEGER"},
                         alter(("name", "VARCHAR(50) NOT NULL")), id="not-null"),
            pytest.param({"id": {"data_type": "INTEGER", "nullable": False, "primary_key": True}}, {"x": "T"},
                         alter(("id", "INTEGER")), id="pk-only-drops-not-null"),
            pytest.param({"Email": {}}, {"email": "TEXT"}, alter(("Email", "TEXT")), id="case-sensitive"),
            pytest.param({"e": {"data_type": None, "nullable": 0}}, {"x": "T"}, alter(("e", "TEXT")),
                         id="defaults"),
            pytest.param({"a": {}, "b": {"data_type": "INT"}, "c": {"nullable": False}}, {"b": "INT"},
                         alter(("a", "TEXT"), ("c", "TEXT NOT NULL")), id="some-present"),
            pytest.param({"a ": {}}, {"a": "T"}, alter(("a ", "TEXT")), id="no-trimming"),
        ],
    )
    def test_statements(self, model, db, want):
        assert diff(model, db) == want

    @pytest.mark.parametrize("dialect", ["mysql", "postgres", "postgresql", "sqlite", ""])
    def test_dialect_not_consulted(self, dialect):
        model = {"id": {"primary_key": True}, "n": {"nullable": False}}
        assert diff(model, {"x": "T"}, dialect=dialect) == alter(("id", "TEXT"), ("n", "TEXT NOT NULL"))

    def test_empty_column_type_still_counts_as_existing_table(self):
        assert diff({"a": {}}, {"a": ""}) == ([], [])
        assert diff({"a": {}}, {"": ""}) == alter(("a", "TEXT"))


FIELDS = ["id", "name", "email", "age"]


class TestOrder:
    @pytest.mark.parametrize("order", list(itertools.permutations(FIELDS)), ids="-".join)
    def test_create_follows_model_order(self, order):
        model = {name: {"data_type": name.upper()} for name in order}
        assert diff(model) == create(*("%s %s" % (n, n.upper()) for n in order))

    @pytest.mark.parametrize("order", list(itertools.permutations(FIELDS)), ids="-".join)
    def test_alter_follows_model_order_and_stays_parallel(self, order):
        model = {name: {} for name in order}
        up, down = diff(model, {"name": "TEXT"})
        added = [n for n in order if n != "name"]
        assert (up, down) == alter(*((n, "TEXT") for n in added))

    def test_order_survives_deletions_and_reinsertions(self):
        model = {n: {} for n in "abcdef"}
        del model["b"]
        model["b"] = {}
        model.pop("a")
        assert diff(model) == create("c TEXT", "d TEXT", "e TEXT", "f TEXT", "b TEXT")

    def test_many_fields_repeat_identically(self):
        model = {"f%03d" % i: {"data_type": "T%d" % (i % 7)} for i in range(300, 0, -1)}
        first = diff(model, {"x": "T"})
        assert [s.split()[5] for s in first[0]] == list(model)
        for _ in range(20):
            assert diff(model, {"x": "T"}) == first

    @pytest.mark.parametrize("db", [{}, {"x": "T"}], ids=["create", "alter"])
    def test_duplicate_text_keeps_first_position_and_last_description(self, db):
        model = {
            Distinct("a"): {"data_type": "FIRST"},
            "b": {},
            "a": {"data_type": "SECOND"},
            "c": {},
            Distinct("a"): {"data_type": "LAST", "nullable": False},
        }
        assert len(model) == 5
        if db:
            assert diff(model, db) == alter(("a", "LAST NOT NULL"), ("b", "TEXT"), ("c", "TEXT"))
        else:
            assert diff(model, db) == create("a LAST NOT NULL", "b TEXT", "c TEXT")

    def test_duplicate_db_column_texts(self):
        db = {Distinct("a"): "T", "a": "U"}
        assert diff({"a": {}, "b": {}}, db) == alter(("b", "TEXT"))


class TestErrors:
    @pytest.mark.parametrize(
        "args, exc, message",
        [
            pytest.param(("t", [], {}, ""), TypeError,
                         "argument 'model_fields': 'list' object cannot be converted to 'PyDict'", id="model-list"),
            pytest.param(("t", None, {}, ""), TypeError,
                         "argument 'model_fields': 'NoneType' object cannot be converted to 'PyDict'", id="model-none"),
            pytest.param(("t", {}, [("a", "b")], ""), TypeError,
                         "argument 'db_columns': 'list' object cannot be converted to 'PyDict'", id="db-list"),
            pytest.param(("t", [], [], ""), TypeError,
                         "argument 'model_fields': 'list' object cannot be converted to 'PyDict'", id="first-wins"),
            pytest.param((1, {}, {}, ""), TypeError,
                         "argument 'table_name': 'int' object cannot be converted to 'PyString'", id="table-int"),
            pytest.param(("t", {}, {}, None), TypeError,
                         "argument '_dialect': 'NoneType' object cannot be converted to 'PyString'", id="dialect-none"),
            pytest.param(("t", {1: {}}, {}, ""), TypeError,
                         "'int' object cannot be converted to 'PyString'", id="model-key-int"),
            pytest.param(("t", {"a": {}, "b": []}, {}, ""), TypeError,
                         "'list' object cannot be converted to 'PyDict'", id="description-list"),
            pytest.param(("t", {"a": None}, {}, ""), TypeError,
                         "'NoneType' object cannot be converted to 'PyDict'", id="description-none"),
            pytest.param(("t", {}, {b"id": "T"}, ""), TypeError,
                         "'bytes' object cannot be converted to 'PyString'", id="db-key-bytes"),
            pytest.param(("t", {}, {"id": None}, ""), TypeError,
                         "'NoneType' object cannot be converted to 'PyString'", id="db-value-none"),
            pytest.param(("t", {"a": {}}, {"id": 5}, ""), TypeError,
                         "'int' object cannot be converted to 'PyString'", id="db-value-int"),
            pytest.param(("t", {"a": []}, {"id": None}, ""), TypeError,
                         "'list' object cannot be converted to 'PyDict'", id="model-read-first"),
            pytest.param(("\ud800", {}, {}, ""), UnicodeEncodeError, None, id="table-surrogate"),
            pytest.param(("t", {"\udc80": {}}, {}, ""), UnicodeEncodeError, None, id="key-surrogate"),
            pytest.param(("t", {}, {"a": "\udc80"}, ""), UnicodeEncodeError, None, id="db-value-surrogate"),
        ],
    )
    def test_message(self, args, exc, message):
        with pytest.raises(exc) as info:
            ENGINE.diff_table(*args)
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message
        else:
            assert "surrogates not allowed" in str(info.value)

    def test_prefixed_error_hides_the_original(self):
        with pytest.raises(TypeError) as info:
            ENGINE.diff_table("t", [], {}, "")
        assert info.value.__cause__ is None
        assert info.value.__suppress_context__ is True

    def test_keywords_in_any_order(self):
        got = ENGINE.diff_table(_dialect="mysql", db_columns={}, model_fields={"id": {"primary_key": True}},
                                table_name="t")
        assert got == create("id INT AUTO_INCREMENT PRIMARY KEY")


class TestLookups:
    def test_comparison_error_propagates_unchanged(self):
        err = LookupError("from __eq__")

        def fail():
            raise err

        model = {"a": {}, "b": {OnDataTypeLookup(fail): 1}, "c": {}}
        with pytest.raises(LookupError) as info:
            diff(model)
        assert info.value is err

    def test_comparison_result_false_is_a_miss(self):
        model = {"a": {OnDataTypeLookup(lambda: False): "INT", "nullable": False}}
        assert diff(model) == create("a TEXT NOT NULL")

    def test_comparison_result_true_is_a_hit(self):
        model = {"a": {OnDataTypeLookup(lambda: True): "INT"}}
        assert diff(model) == create("a INT")

    @pytest.mark.parametrize(
        "mutate, message",
        [
            pytest.param(lambda m: m.__setitem__("z", {}), "dictionary changed size during iteration", id="grow"),
            pytest.param(lambda m: m.pop("c"), "dictionary changed size during iteration", id="shrink"),
            pytest.param(lambda m: (m.pop("a"), m.__setitem__("z", {})), "dictionary keys changed during iteration",
                         id="swap-keys"),
        ],
    )
    def test_model_fields_mutated_during_walk(self, mutate, message):
        model = {}

        def act():
            mutate(model)
            return False

        model.update(a={OnDataTypeLookup(act, once=True): 1}, b={}, c={})
        with pytest.raises(BaseException) as info:
            diff(model)
        panic = type(info.value)
        assert (panic.__module__, panic.__name__) == ("pyo3_runtime", "PanicException")
        assert not issubclass(panic, Exception)
        assert str(info.value) == message
        # The instance holds no state; the next call is unaffected.
        assert diff({"a": {}}) == create("a TEXT")

    def test_last_field_mutation_is_still_detected(self):
        model = {}

        def act():
            model["z"] = {}
            return False

        model.update(a={}, b={OnDataTypeLookup(act, once=True): 1})
        with pytest.raises(BaseException) as info:
            diff(model)
        assert str(info.value) == "dictionary changed size during iteration"

    def test_db_columns_changed_before_its_walk_is_read_as_changed(self):
        db = {"a": "T"}

        def act():
            db.clear()
            return False

        assert diff({"a": {OnDataTypeLookup(act, once=True): 1}}, db) == create("a TEXT")

    @pytest.mark.parametrize("primary_key, change, definition", [
        pytest.param(False, lambda d: d.__setitem__("primary_key", True), "a SERIAL PRIMARY KEY", id="key-set"),
        pytest.param(True, lambda d: d.pop("primary_key"), "a TEXT NOT NULL", id="key-removed"),
        pytest.param(False, lambda d: d.__setitem__("data_type", "INT"), "a TEXT NOT NULL", id="type-read-before"),
    ])
    def test_description_mutated_by_a_conversion(self, primary_key, change, definition):
        # Converting "nullable" runs code (NumPy's boolean protocol), which changes the
        # description: "primary_key" is read after it, "data_type" before it.
        desc = {}

        def to_bool(value):
            change(desc)
            return False

        flag = type("bool_", (), {"__module__": "numpy", "__bool__": to_bool})()
        desc.update(data_type="TEXT", nullable=flag, primary_key=primary_key)
        assert diff({"a": desc}, dialect="postgres") == create(definition)

    def test_nested_call_during_lookup(self):
        inner = []

        def act():
            inner.append(diff({"x": {"primary_key": True}}, dialect="postgres"))
            return False

        assert diff({"a": {OnDataTypeLookup(act, once=True): 1}}) == create("a TEXT")
        assert inner == [create("x SERIAL PRIMARY KEY")]


class TestSqlite:
    def columns(self, conn, table="t"):
        return [(r[1], r[2], r[3], r[5]) for r in conn.execute("PRAGMA table_info(%s)" % table)]

    MODEL = {
        "name": {"data_type": "VARCHAR(50)", "nullable": False},
        "id": {"data_type": "INTEGER", "primary_key": True},
        "score": {"data_type": "REAL"},
        "note": {},
    }

    @pytest.mark.parametrize("order", list(itertools.permutations(MODEL)), ids="-".join)
    def test_create_then_drop(self, order):
        model = {n: self.MODEL[n] for n in order}
        (create_sql,), (drop_sql,) = diff(model, dialect="sqlite")
        conn = sqlite3.connect(":memory:")
        conn.execute(create_sql)
        expected = {
            "name": ("name", "VARCHAR(50)", 1, 0),
            "id": ("id", "INTEGER", 0, 1),
            "score": ("score", "REAL", 0, 0),
            "note": ("note", "TEXT", 0, 0),
        }
        assert self.columns(conn) == [expected[n] for n in order]
        conn.execute(create_sql)  # IF NOT EXISTS
        conn.execute(drop_sql)
        assert self.columns(conn) == []
        conn.execute(drop_sql)  # IF EXISTS

    @pytest.mark.skipif(sqlite3.sqlite_version_info < (3, 35), reason="DROP COLUMN needs sqlite 3.35")
    def test_add_columns_then_downgrade_restores(self):
        conn = sqlite3.connect(":memory:")
        conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)")
        conn.execute("INSERT INTO t VALUES (1, 'x')")
        before = self.columns(conn)
        db = {r[0]: r[1] for r in before}
        model = {"email": {"data_type": "VARCHAR(80)"}, "id": {"primary_key": True},
                 "age": {"data_type": "INTEGER"}, "name": {}, "bio": {}}
        up, down = diff(model, db)
        assert len(up) == len(down) == 3
        for stmt in up:
            conn.execute(stmt)
        assert self.columns(conn) == before + [
            ("email", "VARCHAR(80)", 0, 0), ("age", "INTEGER", 0, 0), ("bio", "TEXT", 0, 0)
        ]
        now = {r[0]: r[1] for r in self.columns(conn)}
        assert diff(model, now) == ([], [])
        for stmt in reversed(down):
            conn.execute(stmt)
        assert self.columns(conn) == before
        assert conn.execute("SELECT * FROM t").fetchall() == [(1, "x")]


class TestLeaks:
    def test_allocations_flat(self, leak_check):
        # Built at run time so that no other code shares these strings' reference counts.
        names = ["".join(("leak_", n)) for n in ("id", "name", "x")]
        types = ["".join(("VARCHAR", n)) for n in ("(9)", "(3)")]
        model = {names[0]: {"primary_key": True}, names[1]: {"data_type": types[0], "nullable": False},
                 names[2]: {"data_type": types[1]}}
        dup = {Distinct("a"): {}, "a": {"data_type": "INT"}}
        bad_description = {"a": {}, "b": 5}

        def fail():
            raise LookupError("x")

        raising = {"a": {OnDataTypeLookup(fail): 1}}
        objects = [model, dup, bad_description, raising] + list(model.values()) + names + types

        def run():
            diff(model)
            diff(model, {names[0]: types[1]}, dialect="postgres")
            diff(dup, {"x": "T"})
            for args in (("t", [], {}, ""), ("t", bad_description, {}, ""), ("t", {}, {"a": None}, ""),
                         ("t", {1: {}}, {}, ""), ("\ud800", {}, {}, "")):
                try:
                    ENGINE.diff_table(*args)
                except (TypeError, UnicodeEncodeError):
                    pass
            try:
                diff(raising)
            except LookupError:
                pass

        counts = [sys.getrefcount(o) for o in objects]
        leak_check(run, n=3000)
        assert [sys.getrefcount(o) for o in objects] == counts

    def test_panic_path_flat(self, leak_check):
        def run():
            model = {}

            def act():
                model["z"] = {}
                return False

            model.update(a={OnDataTypeLookup(act, once=True): 1})
            try:
                diff(model)
            except BaseException as e:  # noqa: B036 - the panic type is not exported
                assert str(e) == "dictionary changed size during iteration"

        leak_check(run, n=2000)
