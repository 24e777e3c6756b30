"""SchemaDiffEngine.diff_table on random call sequences, checked against a model of its rules:
create or alter, the defaults, the primary-key clause by exact dialect text, model-dict order and
parallel lists; hostile keys, descriptions and dicts mutated while they are walked."""

from hypothesis import given, settings
from hypothesis import strategies as st

from _sablecrest_rs import SchemaDiffEngine
from hostile import (
    PANIC, PROPERTY, SURROGATE_TEXT, TEXT, Distinct, Opaque, conversion_message, mostly, outcome, prefixed, str_like,
    string_rule, Walled,
)

EXAMPLES = 150
ENGINE = SchemaDiffEngine()
PK_CLAUSES = {"mysql": " INT AUTO_INCREMENT PRIMARY KEY", "postgres": " SERIAL PRIMARY KEY",
              "postgresql": " SERIAL PRIMARY KEY"}


class Colliding:
    """A description key hashing like one of the looked-up names; comparing it runs `action`."""

    def __init__(self, target, action):
        self.target, self.action = target, action

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        return self.action(self)


def raising_eq(key):
    raise LookupError("compared with %s" % key.target)


def nested_call(key):
    # Shared access: a nested call on the same engine works and changes nothing.
    key.nested = ENGINE.diff_table("n", {"x": {"primary_key": True}}, {}, "postgres")
    return False


class WalkMutator(Colliding):
    """Changes the model dict, once, from inside a description lookup."""

    def __init__(self, kind):
        super().__init__("data_type", self.mutate)
        self.kind, self.walked = kind, None

    def mutate(self, _):
        if self.walked is not None:
            walked, self.walked = self.walked, None
            if self.kind == "grow":
                walked["added"] = {}
            else:
                del walked[next(iter(dict.keys(walked)))]
        return False


# ---- the model ------------------------------------------------------------------------------

def description(desc):
    """(data_type, nullable, primary_key) by the plain dict lookups, with their defaults."""
    data_type = dict.get(desc, "data_type")
    try:
        data_type = string_rule(data_type)
    except (TypeError, UnicodeEncodeError):
        data_type = "TEXT"
    nullable, primary_key = dict.get(desc, "nullable"), dict.get(desc, "primary_key")
    return (data_type, nullable if type(nullable) is bool else True,
            primary_key if type(primary_key) is bool else False)


def model_diff(table, model_fields, db_columns, dialect):
    table = prefixed("table_name", string_rule, table)
    for name, arg in (("model_fields", model_fields), ("db_columns", db_columns)):
        if not isinstance(arg, dict):
            raise TypeError("argument '%s': %s" % (name, conversion_message(arg, "PyDict")))
    dialect = prefixed("_dialect", string_rule, dialect)
    specs = {}  # name -> description; a repeated text keeps its first place and its last description
    for key, desc in dict.items(model_fields):
        name = string_rule(key)
        if not isinstance(desc, dict):
            raise TypeError(conversion_message(desc, "PyDict"))
        if any(isinstance(k, WalkMutator) for k in dict.keys(desc)):
            raise PANIC("dictionary changed size during iteration")
        specs[name] = description(desc)
    reported = set()
    for key, column_type in dict.items(db_columns):
        reported.add(string_rule(key))
        string_rule(column_type)
    if not reported:
        columns = [name + PK_CLAUSES.get(dialect, " INTEGER PRIMARY KEY AUTOINCREMENT") if pk
                   else name + " " + data_type + ("" if nullable else " NOT NULL")
                   for name, (data_type, nullable, pk) in specs.items()]
        return (["CREATE TABLE IF NOT EXISTS %s (%s);" % (table, ", ".join(columns))],
                ["DROP TABLE IF EXISTS %s;" % table])
    missing = [(name, spec) for name, spec in specs.items() if name not in reported]
    return (["ALTER TABLE %s ADD COLUMN %s %s%s;" % (table, name, data_type, "" if nullable or pk else " NOT NULL")
             for name, (data_type, nullable, pk) in missing],
            ["ALTER TABLE %s DROP COLUMN %s;" % (table, name) for name, _ in missing])


# ---- strategies: specs that are built into fresh objects for every call ---------------------

NAMES = st.one_of(st.sampled_from(["id", "name", "email", "Email", "x" * 16]), TEXT)
KEYS = st.tuples(NAMES, st.sampled_from([str, Distinct])).map(lambda p: p[1](p[0]))
FLAGS = mostly(st.booleans(), st.sampled_from([0, 1, None, "no", 1.0]), st.builds(Opaque))
DATA_TYPES = st.one_of(str_like(st.sampled_from(["INTEGER", "VARCHAR(50)", "", "a b;--", "T" * 1001])), TEXT,
                       SURROGATE_TEXT, st.sampled_from([None, 5, b"INT"]), st.builds(Opaque))
HOSTILE_KEYS = mostly(st.none(), st.tuples(st.sampled_from(["raise", "nested", "grow", "shrink"]),
                         st.sampled_from(["data_type", "nullable", "primary_key"])))
DESCRIPTIONS = st.fixed_dictionaries(
    {}, optional={"data_type": DATA_TYPES, "nullable": FLAGS, "primary_key": FLAGS, "other": FLAGS,
                  "hostile": HOSTILE_KEYS, "walled": st.just(True)})
GOOD_FIELD = st.tuples(KEYS, DESCRIPTIONS)
FIELD_SPECS = mostly(
    GOOD_FIELD,
    st.tuples(st.sampled_from([1, None, b"k"]), DESCRIPTIONS),  # a key that is not a str
    st.tuples(SURROGATE_TEXT.map(Distinct), DESCRIPTIONS),
    st.tuples(KEYS, st.sampled_from([[], None, "desc"])),  # a description that is not a dict
)
GOOD_COLUMN = st.tuples(KEYS, str_like(st.sampled_from(["INTEGER", "TEXT", ""])))
COLUMN_SPECS = mostly(
    GOOD_COLUMN,
    st.tuples(st.one_of(st.sampled_from([2, None]), SURROGATE_TEXT.map(Distinct)), st.just("T")),
    st.tuples(KEYS, st.one_of(SURROGATE_TEXT, st.sampled_from([None, 5]))),
)
# The known names in random letter case, and near misses: only the exact lower-case text selects.
CASED = st.sampled_from(["mysql", "postgres", "postgresql"]).flatmap(
    lambda name: st.tuples(*[st.sampled_from([c, c.upper()]) for c in name]).map("".join))
GOOD_DIALECT = str_like(mostly(CASED, st.sampled_from(["sqlite", "", " mysql", "postgres\n", "pg"])))
DIALECTS = mostly(GOOD_DIALECT, TEXT, SURROGATE_TEXT, st.sampled_from([None, 1]))
GOOD_TABLE = str_like(st.sampled_from(["users", "my table", "", "t" * 1001]))
TABLES = mostly(st.one_of(GOOD_TABLE, TEXT), SURROGATE_TEXT, st.sampled_from([None, 1]))
CALLS = st.tuples(TABLES, st.lists(FIELD_SPECS, max_size=6), st.lists(COLUMN_SPECS, max_size=4), DIALECTS,
                  mostly(st.sampled_from(["dict", "walled"]), st.just("list")))


def build(call):
    """The four arguments of one call, made fresh, and the hostile keys to inspect afterwards."""
    table, field_specs, column_specs, dialect, container = call
    model_fields, hostile = (Walled if container == "walled" else dict)(), []
    for key, spec in field_specs:
        if not isinstance(spec, dict):
            model_fields[key] = spec
            continue
        desc, target = {}, None
        if spec.get("hostile"):  # alone with its target, so the lookup of the target compares it
            kind, target = spec["hostile"]
            target = "data_type" if kind in ("grow", "shrink") else target
            if kind in ("grow", "shrink"):
                hkey = WalkMutator(kind)
                hkey.walked = model_fields
            else:
                hkey = Colliding(target, raising_eq if kind == "raise" else nested_call)
            desc[hkey] = "INT"
            hostile.append(hkey)
        desc.update((k, v) for k, v in spec.items() if k not in ("hostile", "walled", target))
        model_fields[key] = Walled(desc) if "walled" in spec else desc
    db_columns = dict(column_specs)
    if container == "list":
        model_fields = list(dict.items(model_fields))
    return (table, model_fields, db_columns, dialect), hostile


@settings(max_examples=EXAMPLES, **PROPERTY)
@given(st.lists(CALLS, min_size=1, max_size=4))
def test_diff_table_against_model(calls):
    for call in calls:
        args, _ = build(call)
        want = outcome(model_diff, *args)
        args, hostile = build(call)  # fresh objects: the model has run the lookups once
        got = outcome(ENGINE.diff_table, *args)
        assert got == want
        if got[0] == "ok":
            up, down = got[1]
            assert type(got[1]) is tuple and type(up) is list and type(down) is list
            assert len(up) == len(down) and all(type(s) is str for s in up + down)
        for key in hostile:
            if hasattr(key, "nested"):
                assert key.nested == (["CREATE TABLE IF NOT EXISTS n (x SERIAL PRIMARY KEY);"],
                                      ["DROP TABLE IF EXISTS n;"])
    # whatever failed before, the engine, and a fresh one, still work
    for engine in (ENGINE, SchemaDiffEngine()):
        assert engine.diff_table("t", {"a": {}}, {}, "") == (["CREATE TABLE IF NOT EXISTS t (a TEXT);"],
                                                             ["DROP TABLE IF EXISTS t;"])
