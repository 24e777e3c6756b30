"""QueryCompiler with hostile arguments: str subclasses that lie in __str__, lone surrogates, very
long names, the 2**64 boundaries and objects with __index__, against a model of the binding rules
followed by the statement builders. (Well-formed inputs are compared in tests/query.)"""

from hypothesis import example, given, settings
from hypothesis import strategies as st

from _sablecrest_rs import QueryCompiler
from hostile import (
    INT_BOUNDARIES, PROPERTY, SURROGATE_TEXT, U64_MAX, BadIndex, Index, LyingInt, OddStr, Opaque, conversion_message,
    int_rule,
    mostly, outcome, prefixed, str_like, string_rule,
)

EXAMPLES = 200
Q = QueryCompiler()


class FailingIter:
    """A sequence whose iteration raises after `at` items (the sequence rule iterates)."""

    def __init__(self, items, at, exc_type):
        self.items, self.at, self.exc_type = items, at, exc_type

    def __len__(self):
        raise ValueError("the length is only a hint")  # discarded by the sequence rule

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.at:
                raise self.exc_type("iteration %d" % i)
            yield item


# ---- the model: the binding rules, then the builders ----------------------------------------

def sequence_rule(obj, item_rule):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not isinstance(obj, (list, tuple, FailingIter)):
        raise TypeError(conversion_message(obj, "Sequence"))
    return [item_rule(item) for item in obj]


def tuple_rule(length):
    def rule(obj):
        if not isinstance(obj, tuple):
            raise TypeError(conversion_message(obj, "PyTuple"))
        if len(obj) != length:
            raise ValueError("expected tuple of length %d, but got tuple of length %d" % (length, len(obj)))
        return tuple(string_rule(item) for item in obj)
    return rule


def u64(obj):
    return int_rule(obj, 0, U64_MAX)


def optional_u64(obj):
    return None if obj is None else u64(obj)


def placeholder(dialect, index):
    lowered = dialect.lower()
    return "%s" if lowered == "mysql" else "$%d" % index if lowered in ("postgres", "postgresql") else "?"


def model_select(table, columns, wheres, joins, order_by, limit=None, offset=None, dialect="sqlite"):
    table = prefixed("table", string_rule, table)
    columns = prefixed("columns", sequence_rule, columns, string_rule)
    wheres = prefixed("wheres", sequence_rule, wheres, tuple_rule(3))
    joins = prefixed("joins", sequence_rule, joins, tuple_rule(3))
    order_by = prefixed("order_by", sequence_rule, order_by, tuple_rule(2))
    limit = prefixed("limit", optional_u64, limit)
    offset = prefixed("offset", optional_u64, offset)
    dialect = prefixed("dialect", string_rule, dialect)
    sql = "SELECT " + (", ".join(columns) if columns else "*") + " FROM " + table
    sql += "".join(" %s JOIN %s ON %s" % (kind.upper(), other, cond) for kind, other, cond in joins)
    if wheres:
        sql += " WHERE " + " AND ".join("%s %s %s" % (c, op, placeholder(dialect, i))
                                        for i, (c, op, _) in enumerate(wheres, 1))
    if order_by:
        sql += " ORDER BY " + ", ".join(c + " " + d.upper() for c, d in order_by)
    sql += "" if limit is None else " LIMIT %d" % limit
    sql += "" if offset is None else " OFFSET %d" % offset
    return sql, [v for _, _, v in wheres]


def model_insert(table, columns, dialect):
    table, columns = prefixed("table", string_rule, table), prefixed("columns", sequence_rule, columns, string_rule)
    dialect = prefixed("dialect", string_rule, dialect)
    sql = "INSERT INTO %s (%s) VALUES (%s)" % (
        table, ", ".join(columns), ", ".join(placeholder(dialect, i) for i in range(1, len(columns) + 1)))
    return sql + " RETURNING *" if "postgres" in dialect.lower() else sql


def model_update(table, columns, pk_col, dialect):
    table, columns = prefixed("table", string_rule, table), prefixed("columns", sequence_rule, columns, string_rule)
    pk_col, dialect = prefixed("pk_col", string_rule, pk_col), prefixed("dialect", string_rule, dialect)
    sets = ", ".join("%s = %s" % (c, placeholder(dialect, i)) for i, c in enumerate(columns, 1))
    return "UPDATE %s SET %s WHERE %s = %s" % (table, sets, pk_col, placeholder(dialect, len(columns) + 1))


def model_delete(table, pk_col, dialect):
    table, pk_col = prefixed("table", string_rule, table), prefixed("pk_col", string_rule, pk_col)
    dialect = prefixed("dialect", string_rule, dialect)
    return "DELETE FROM %s WHERE %s = %s" % (table, pk_col, placeholder(dialect, 1))


def model_placeholder(dialect, index):
    dialect, index = prefixed("dialect", string_rule, dialect), prefixed("index", u64, index)
    return placeholder(dialect, index)


# ---- strategies -------------------------------------------------------------------------------

# Upper-casing tables differ between Unicode versions beyond this range; kinds and directions
# stay inside it so that str.upper() is the reference on every interpreter.
STABLE = st.text(st.characters(max_codepoint=0x24FF, blacklist_categories=("Cs",)), max_size=6)
NAMES = st.one_of(STABLE, st.sampled_from(["x" * 15, "x" * 16, "n" * 1001, "\U0001f600" * 300]))
BAD_STRINGS = st.one_of(SURROGATE_TEXT, SURROGATE_TEXT.map(OddStr), st.sampled_from([None, 1, b"t", ["t"]]),
                        st.builds(Opaque))
STRINGS = mostly(str_like(NAMES), BAD_STRINGS)
CASED = st.sampled_from(["mysql", "postgres", "postgresql", "sqlite", "postgres15"]).flatmap(
    lambda name: st.tuples(*[st.sampled_from([c, c.upper()]) for c in name]).map("".join))
DIALECTS = mostly(str_like(st.one_of(CASED, STABLE)), BAD_STRINGS)
NUMBERS = mostly(st.one_of(INT_BOUNDARIES, st.builds(Index, INT_BOUNDARIES), st.builds(LyingInt, INT_BOUNDARIES)),
                 st.builds(BadIndex, st.sampled_from([TypeError, ValueError])), st.sampled_from([True, 1.0, "1"]),
                 st.builds(Opaque))
PAGING = st.one_of(st.none(), NUMBERS)


def sequences(item):
    """A list or tuple of items, a FailingIter over them, or something that is no such sequence."""
    items = st.lists(item, max_size=4)
    return mostly(
        st.one_of(items, items.map(tuple)),
        st.tuples(items, st.integers(0, 4), st.sampled_from([TypeError, LookupError])).map(
            lambda t: FailingIter(*t)),
        STRINGS, st.sampled_from([None, 3, {"a": 1}, {"a"}]))


def tuples_of(n):
    good = st.tuples(*[STRINGS] * n)
    return mostly(good, st.lists(STRINGS, min_size=n, max_size=n), st.lists(STRINGS, max_size=4).map(tuple))


CALLS = st.one_of(
    st.tuples(st.just((Q.compile_select, model_select)), st.tuples(
        STRINGS, sequences(STRINGS), sequences(tuples_of(3)), sequences(tuples_of(3)),
        sequences(tuples_of(2)), PAGING, PAGING, DIALECTS)),
    st.tuples(st.just((Q.compile_insert, model_insert)), st.tuples(STRINGS, sequences(STRINGS), DIALECTS)),
    st.tuples(st.just((Q.compile_update, model_update)), st.tuples(STRINGS, sequences(STRINGS), STRINGS, DIALECTS)),
    st.tuples(st.just((Q.compile_delete, model_delete)), st.tuples(STRINGS, STRINGS, DIALECTS)),
    st.tuples(st.just((Q.get_placeholder, model_placeholder)), st.tuples(DIALECTS, NUMBERS)),
)


SELECT = (Q.compile_select, model_select)
PLACEHOLDER = (Q.get_placeholder, model_placeholder)


@settings(max_examples=EXAMPLES, **PROPERTY)
@given(st.lists(CALLS, min_size=1, max_size=3))
@example([(PLACEHOLDER, ("postgres", n)) for n in (U64_MAX, 2**64, Index(U64_MAX), Index(2**64), LyingInt(-1))])
@example([(SELECT, ("t", [], [], [], [], n, m, "mysql")) for n, m in ((U64_MAX, 0), (2**64, None), (None, -1))])
def test_hostile_arguments_against_model(calls):
    for (method, model), args in calls:
        want = outcome(model, *args)
        got = outcome(method, *args)
        assert got == want
        if got[0] == "ok" and isinstance(got[1], tuple):
            assert type(got[1][0]) is str and all(type(p) is str for p in got[1][1])
