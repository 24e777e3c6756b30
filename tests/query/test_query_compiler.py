"""QueryCompiler: placeholders, the four statement builders, their errors, a pure-Python
reference on random inputs, and the sqlite statements run against a real database."""

import sqlite3
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _sablecrest_rs as m

Q = m.QueryCompiler()
U64_MAX = 2**64 - 1

FULL = (
    "users",
    ["id", "name"],
    [("age", ">", "18"), ("status", "=", "active")],
    [("left", "orders", "orders.user_id = users.id")],
    [("name", "asc"), ("id", "desc")],
    10,
    20,
)
FULL_SQL = (
    "SELECT id, name FROM users LEFT JOIN orders ON orders.user_id = users.id WHERE {} "
    "ORDER BY name ASC, id DESC LIMIT 10 OFFSET 20"
)


# --- a pure-Python reference of the builders ------------------------------------------------

def ref_placeholder(dialect, index):
    lowered = dialect.lower()
    if lowered == "mysql":
        return "%s"
    if lowered in ("postgres", "postgresql"):
        return "$%d" % index
    return "?"


def ref_select(table, columns, wheres, joins, order_by, limit=None, offset=None, dialect="sqlite"):
    sql = "SELECT " + (", ".join(columns) if columns else "*") + " FROM " + table
    for kind, other, cond in joins:
        sql += " " + kind.upper() + " JOIN " + other + " ON " + cond
    if wheres:
        sql += " WHERE " + " AND ".join(
            "%s %s %s" % (col, op, ref_placeholder(dialect, i)) for i, (col, op, _) in enumerate(wheres, 1)
        )
    if order_by:
        sql += " ORDER BY " + ", ".join(col + " " + direction.upper() for col, direction in order_by)
    if limit is not None:
        sql += " LIMIT %d" % limit
    if offset is not None:
        sql += " OFFSET %d" % offset
    return sql, [value for _, _, value in wheres]


def ref_insert(table, columns, dialect):
    marks = ", ".join(ref_placeholder(dialect, i) for i in range(1, len(columns) + 1))
    sql = "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(columns), marks)
    return sql + " RETURNING *" if "postgres" in dialect.lower() else sql


def ref_update(table, columns, pk_col, dialect):
    sets = ", ".join("%s = %s" % (c, ref_placeholder(dialect, i)) for i, c in enumerate(columns, 1))
    return "UPDATE %s SET %s WHERE %s = %s" % (table, sets, pk_col, ref_placeholder(dialect, len(columns) + 1))


def ref_delete(table, pk_col, dialect):
    return "DELETE FROM %s WHERE %s = %s" % (table, pk_col, ref_placeholder(dialect, 1))


# --- results ----------------------------------------------------------------------------------

class TestPlaceholder:
    @pytest.mark.parametrize(
        "dialect, index, want",
        [
            ("sqlite", 5, "?"),
            ("MySQL", 5, "%s"),
            ("mysql", U64_MAX, "%s"),
            ("POSTGRES", 1, "$1"),
            ("postgresql", 12, "$12"),
            ("PostgreSQL", 3, "$3"),
            ("postgres", 0, "$0"),
            ("postgres", U64_MAX, "$18446744073709551615"),
            ("postgres", True, "$1"),
            ("oracle", 1, "?"),
            ("", 1, "?"),
            ("pg", 1, "?"),
            ("postgre", 1, "?"),
            (" postgres", 1, "?"),
            ("postgres ", 1, "?"),
            ("postgres\n", 1, "?"),
            ("postgres15", 1, "?"),
            ("my_postgres_db", 1, "?"),
            ("mysql\x00", 1, "?"),
            ("po\u017ftgres", 1, "?"),  # long s upper-cases to S but does not lower to s
        ],
    )
    def test_style(self, dialect, index, want):
        assert Q.get_placeholder(dialect, index) == want

    @pytest.mark.parametrize(
        "args, exc_type, message",
        [
            (("mysql", -1), OverflowError, "can't convert negative int to unsigned"),
            (("sqlite", 2**64), OverflowError, "int too big to convert"),
            (("postgres", 1.0), TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
            (("postgres", "1"), TypeError, "argument 'index': 'str' object cannot be interpreted as an integer"),
            ((None, 1), TypeError, "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
            ((b"postgres", 1), TypeError, "argument 'dialect': 'bytes' object cannot be converted to 'PyString'"),
            ((None, -1), TypeError, "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
            (("\udcff", 1), UnicodeEncodeError,
             "'utf-8' codec can't encode character '\\udcff' in position 0: surrogates not allowed"),
        ],
    )
    def test_errors(self, args, exc_type, message):
        with pytest.raises(BaseException) as info:
            Q.get_placeholder(*args)
        assert info.type is exc_type
        assert str(info.value) == message


SELECT_CASES = [
    pytest.param(("users", [], [], [], []), ("SELECT * FROM users", []), id="all-columns"),
    pytest.param(FULL + ("postgres",), (FULL_SQL.format("age > $1 AND status = $2"), ["18", "active"]), id="full-pg"),
    pytest.param(FULL + ("MYSQL",), (FULL_SQL.format("age > %s AND status = %s"), ["18", "active"]), id="full-mysql"),
    pytest.param(FULL, (FULL_SQL.format("age > ? AND status = ?"), ["18", "active"]), id="full-default"),
    pytest.param(FULL + ("postgres15",), (FULL_SQL.format("age > ? AND status = ?"), ["18", "active"]),
                 id="full-postgres15"),
    pytest.param(("t", [], [], [], [], 0), ("SELECT * FROM t LIMIT 0", []), id="limit-zero"),
    pytest.param(("t", [], [], [], [], None, 5), ("SELECT * FROM t OFFSET 5", []), id="offset-only"),
    pytest.param(("t", [], [], [], [], U64_MAX, U64_MAX),
                 ("SELECT * FROM t LIMIT 18446744073709551615 OFFSET 18446744073709551615", []), id="u64-max"),
    pytest.param(("t", [], [], [("left join", "o", "c")], []), ("SELECT * FROM t LEFT JOIN JOIN o ON c", []),
                 id="kind-repeats-join"),
    pytest.param(("t", [], [], [("", "orders", "cond")], []), ("SELECT * FROM t  JOIN orders ON cond", []),
                 id="empty-kind"),
    pytest.param(("t", [], [], [], [("name", "")], 1), ("SELECT * FROM t ORDER BY name  LIMIT 1", []),
                 id="empty-direction"),
    pytest.param(("t", [], [], [], [("name", "")]), ("SELECT * FROM t ORDER BY name ", []), id="empty-direction-end"),
    pytest.param(("t", [""], [], [], []), ("SELECT  FROM t", []), id="one-empty-column"),
    pytest.param(("t", [], [("name", "like", "a%")], [], []), ("SELECT * FROM t WHERE name like ?", ["a%"]),
                 id="operator-verbatim"),
    pytest.param(("t", [], [], [], [("a", "desc nulls last")]), ("SELECT * FROM t ORDER BY a DESC NULLS LAST", []),
                 id="multiword-direction"),
    pytest.param(("t", [], [], [("stra\u00dfe", "o", "c")], [("a", "\u00df")]),
                 ("SELECT * FROM t STRASSE JOIN o ON c ORDER BY a SS", []), id="sharp-s"),
    pytest.param(("t", [], [], [("\ufb01", "o", "c")], [("a", "\u0149\u0390")]),
                 ("SELECT * FROM t FI JOIN o ON c ORDER BY a \u02bcN\u0399\u0308\u0301", []), id="expansions"),
    pytest.param(("T\u00e4b", ["Ca\u00df"], [("c\u00df", "=", "v\u00df")], [], []),
                 ("SELECT Ca\u00df FROM T\u00e4b WHERE c\u00df = ?", ["v\u00df"]), id="names-untouched"),
    pytest.param(("t", [], [("a", "=", "1"), ("b", "=", "2"), ("c", "IN", "3")], [], [], None, None, "PostgreSQL"),
                 ("SELECT * FROM t WHERE a = $1 AND b = $2 AND c IN $3", ["1", "2", "3"]), id="numbering"),
    pytest.param(("t", [], [("a", "=", "1")], [], [], 7, 8, "postgres"),
                 ("SELECT * FROM t WHERE a = $1 LIMIT 7 OFFSET 8", ["1"]), id="paging-not-parameters"),
]


class TestSelect:
    @pytest.mark.parametrize("args, want", SELECT_CASES)
    def test_result(self, args, want):
        got = Q.compile_select(*args)
        assert type(got) is tuple and type(got[0]) is str and type(got[1]) is list
        assert got == want
        assert got == ref_select(*args)

    def test_default_dialect_is_sqlite(self):
        wheres = [("a", "=", "1")]
        assert Q.compile_select("t", [], wheres, [], []) == Q.compile_select("t", [], wheres, [], [], None, None, "sqlite")

    def test_long_statement_returned_whole(self):
        columns = ["column_%03d" % i for i in range(60)]
        wheres = [("column_%03d" % i, "=", "v%d" % i) for i in range(40)]
        sql, params = Q.compile_select("t" * 300, columns, wheres, [], [("a" * 100, "\u00df" * 50)], None, None,
                                       "postgres")
        assert len(sql.encode()) > 2000
        assert (sql, params) == ref_select("t" * 300, columns, wheres, [], [("a" * 100, "\u00df" * 50)], None, None,
                                           "postgres")
        assert sql.endswith("$40 ORDER BY " + "a" * 100 + " " + "S" * 100)

    def test_parameter_values_are_new_equal_strings(self):
        class Value(str):
            pass

        value = Value("x")
        _, params = Q.compile_select("t", [], [("a", "=", value)], [], [])
        assert params == ["x"] and type(params[0]) is str


ERRORS_SELECT = [
    (("t", "id", [], [], []), TypeError, "argument 'columns': Can't extract `str` to `Vec`"),
    (("t", [], "w", [], []), TypeError, "argument 'wheres': Can't extract `str` to `Vec`"),
    (("t", [], [], "j", []), TypeError, "argument 'joins': Can't extract `str` to `Vec`"),
    (("t", [], [], [], "o"), TypeError, "argument 'order_by': Can't extract `str` to `Vec`"),
    (("t", 1, [], [], []), TypeError, "argument 'columns': 'int' object cannot be converted to 'Sequence'"),
    (("t", [], None, [], []), TypeError, "argument 'wheres': 'NoneType' object cannot be converted to 'Sequence'"),
    (("t", [], [], {1: 2}, []), TypeError, "argument 'joins': 'dict' object cannot be converted to 'Sequence'"),
    (("t", [], [], [], iter([])), TypeError,
     "argument 'order_by': 'list_iterator' object cannot be converted to 'Sequence'"),
    (("t", [], [["a", "=", "1"]], [], []), TypeError, "argument 'wheres': 'list' object cannot be converted to 'PyTuple'"),
    (("t", [], [], ["left"], []), TypeError, "argument 'joins': 'str' object cannot be converted to 'PyTuple'"),
    (("t", [], [], [], [("a", "asc", "x")]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (("t", [], [("a", "=")], [], []), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (("t", [], [], [()], []), ValueError, "expected tuple of length 3, but got tuple of length 0"),
    (("t", [], [("a", "=", 18)], [], []), TypeError, "argument 'wheres': 'int' object cannot be converted to 'PyString'"),
    (("t", [None], [], [], []), TypeError, "argument 'columns': 'NoneType' object cannot be converted to 'PyString'"),
    (("t", [], [], [], [("a", None)]), TypeError,
     "argument 'order_by': 'NoneType' object cannot be converted to 'PyString'"),
    (("t", [], [], [], [], 1.5), TypeError, "argument 'limit': 'float' object cannot be interpreted as an integer"),
    (("t", [], [], [], [], None, -1), OverflowError, "can't convert negative int to unsigned"),
    (("t", [], [], [], [], 2**64), OverflowError, "int too big to convert"),
    ((None, [], [], [], []), TypeError, "argument 'table': 'NoneType' object cannot be converted to 'PyString'"),
    (("t", [], [], [], [], None, None, None), TypeError,
     "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
    (("t", ["\ud800"], [], [], []), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (("t", [], [("a", "=", "x\udfff")], [], []), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udfff' in position 1: surrogates not allowed"),
    # the first failing parameter in declaration order wins
    ((1, 2, 3, 4, 5), TypeError, "argument 'table': 'int' object cannot be converted to 'PyString'"),
    (("t", [], [("a",)], "j", []), ValueError, "expected tuple of length 3, but got tuple of length 1"),
]


class TestSelectErrors:
    @pytest.mark.parametrize("args, exc_type, message", ERRORS_SELECT)
    def test_error(self, args, exc_type, message):
        with pytest.raises(BaseException) as info:
            Q.compile_select(*args)
        assert info.type is exc_type
        assert str(info.value) == message


WRITE_CASES = [
    ("compile_insert", ("users", ["name", "email"], "sqlite"), "INSERT INTO users (name, email) VALUES (?, ?)"),
    ("compile_insert", ("users", ["name", "email"], "mysql"), "INSERT INTO users (name, email) VALUES (%s, %s)"),
    ("compile_insert", ("users", ["name", "email"], "postgres"),
     "INSERT INTO users (name, email) VALUES ($1, $2) RETURNING *"),
    ("compile_insert", ("users", ["name", "email"], "pOsTgReSqL"),
     "INSERT INTO users (name, email) VALUES ($1, $2) RETURNING *"),
    ("compile_insert", ("users", ["name", "email"], "postgres15"),
     "INSERT INTO users (name, email) VALUES (?, ?) RETURNING *"),
    ("compile_insert", ("users", ["name"], "my-POSTGRES"), "INSERT INTO users (name) VALUES (?) RETURNING *"),
    ("compile_insert", ("users", ["name"], "pg"), "INSERT INTO users (name) VALUES (?)"),
    ("compile_insert", ("users", [], "postgres"), "INSERT INTO users () VALUES () RETURNING *"),
    ("compile_insert", ("users", [], "sqlite"), "INSERT INTO users () VALUES ()"),
    ("compile_update", ("users", ["name", "email"], "id", "postgres"),
     "UPDATE users SET name = $1, email = $2 WHERE id = $3"),
    ("compile_update", ("users", ["name", "email"], "id", "mysql"),
     "UPDATE users SET name = %s, email = %s WHERE id = %s"),
    ("compile_update", ("users", ["name", "email"], "id", "sqlite"), "UPDATE users SET name = ?, email = ? WHERE id = ?"),
    ("compile_update", ("users", [], "id", "postgres"), "UPDATE users SET  WHERE id = $1"),
    ("compile_update", ("users", ["a"], "id", "postgres15"), "UPDATE users SET a = ? WHERE id = ?"),
    ("compile_delete", ("users", "id", "postgres"), "DELETE FROM users WHERE id = $1"),
    ("compile_delete", ("users", "id", "mysql"), "DELETE FROM users WHERE id = %s"),
    ("compile_delete", ("users", "id", "sqlite"), "DELETE FROM users WHERE id = ?"),
    ("compile_delete", ("users", "id", "postgresql15"), "DELETE FROM users WHERE id = ?"),
    ("compile_delete", ("", "", ""), "DELETE FROM  WHERE  = ?"),
]

REFERENCE = {"compile_insert": ref_insert, "compile_update": ref_update, "compile_delete": ref_delete}


class TestWrites:
    @pytest.mark.parametrize("method, args, want", WRITE_CASES)
    def test_result(self, method, args, want):
        got = getattr(Q, method)(*args)
        assert type(got) is str and got == want
        assert got == REFERENCE[method](*args)

    @pytest.mark.parametrize("dialect", ["postgres", "mysql", "sqlite"])
    def test_long_statements_returned_whole(self, dialect):
        columns = ["a_rather_long_column_name_%02d" % i for i in range(30)]
        assert Q.compile_insert("t" * 200, columns, dialect) == ref_insert("t" * 200, columns, dialect)
        assert Q.compile_update("t" * 200, columns, "pk" * 100, dialect) == ref_update(
            "t" * 200, columns, "pk" * 100, dialect)
        assert Q.compile_delete("t" * 200, "pk" * 100, dialect) == ref_delete("t" * 200, "pk" * 100, dialect)


WRITE_ERRORS = [
    ("compile_insert", ("users", "name", "sqlite"), TypeError, "argument 'columns': Can't extract `str` to `Vec`"),
    ("compile_insert", ("users", 5, "sqlite"), TypeError,
     "argument 'columns': 'int' object cannot be converted to 'Sequence'"),
    ("compile_insert", ("users", ["a", 2], "sqlite"), TypeError,
     "argument 'columns': 'int' object cannot be converted to 'PyString'"),
    ("compile_insert", (None, [], "sqlite"), TypeError,
     "argument 'table': 'NoneType' object cannot be converted to 'PyString'"),
    ("compile_insert", ("users", [], None), TypeError,
     "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
    ("compile_update", ("users", ["a"], None, "sqlite"), TypeError,
     "argument 'pk_col': 'NoneType' object cannot be converted to 'PyString'"),
    ("compile_update", ("users", {"a"}, "id", "sqlite"), TypeError,
     "argument 'columns': 'set' object cannot be converted to 'Sequence'"),
    ("compile_update", ("users", ["a"], "id", 1), TypeError,
     "argument 'dialect': 'int' object cannot be converted to 'PyString'"),
    ("compile_delete", (b"users", "id", "sqlite"), TypeError,
     "argument 'table': 'bytes' object cannot be converted to 'PyString'"),
    ("compile_delete", ("users", 1, "sqlite"), TypeError,
     "argument 'pk_col': 'int' object cannot be converted to 'PyString'"),
    ("compile_delete", ("users", "id", None), TypeError,
     "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
    ("compile_delete", ("users", "i\udc00d", "sqlite"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc00' in position 1: surrogates not allowed"),
    ("compile_update", ("users", ["\udc00"], "id", "sqlite"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc00' in position 0: surrogates not allowed"),
]


class TestWriteErrors:
    @pytest.mark.parametrize("method, args, exc_type, message", WRITE_ERRORS)
    def test_error(self, method, args, exc_type, message):
        with pytest.raises(BaseException) as info:
            getattr(Q, method)(*args)
        assert info.type is exc_type
        assert str(info.value) == message


# --- random inputs against the reference ------------------------------------------------------

# Characters whose case mappings have been stable across the Unicode versions of the supported
# interpreters, so str.upper()/str.lower() serve as the reference on any of them.
text = st.text(st.characters(max_codepoint=0x24FF, blacklist_categories=("Cs",)), max_size=10)
known = st.sampled_from(["mysql", "postgres", "postgresql", "sqlite"]).flatmap(
    lambda name: st.tuples(*[st.sampled_from([c, c.upper()]) for c in name]).map("".join)
)
dialects = st.one_of(known, text, st.builds(lambda a, b, c: a + b + c, text, known, text))
paging = st.one_of(st.none(), st.integers(0, U64_MAX))
triples = st.lists(st.tuples(text, text, text), max_size=5)
REFERENCE_SETTINGS = settings(max_examples=200, deadline=None, database=None)


class TestAgainstReference:
    @REFERENCE_SETTINGS
    @given(text, st.lists(text, max_size=5), triples, triples, st.lists(st.tuples(text, text), max_size=5),
           paging, paging, dialects)
    def test_select(self, table, columns, wheres, joins, order_by, limit, offset, dialect):
        args = (table, columns, wheres, joins, order_by, limit, offset, dialect)
        assert Q.compile_select(*args) == ref_select(*args)

    @REFERENCE_SETTINGS
    @given(text, st.lists(text, max_size=6), text, dialects)
    def test_writes(self, table, columns, pk_col, dialect):
        assert Q.compile_insert(table, columns, dialect) == ref_insert(table, columns, dialect)
        assert Q.compile_update(table, columns, pk_col, dialect) == ref_update(table, columns, pk_col, dialect)
        assert Q.compile_delete(table, pk_col, dialect) == ref_delete(table, pk_col, dialect)

    @REFERENCE_SETTINGS
    @given(dialects, st.integers(0, U64_MAX))
    def test_placeholder(self, dialect, index):
        assert Q.get_placeholder(dialect, index) == ref_placeholder(dialect, index)


# --- the sqlite statements against a real database ---------------------------------------------

USERS = [(1, "ann", 31, "active"), (2, "bob", 17, "active"), (3, "cid", 45, "gone"), (4, "dee", 22, "active"),
         (5, "eve", 38, "active")]
ORDERS = [(10, 1, 5), (11, 1, 7), (12, 4, 9), (13, 5, 2), (14, 3, 4)]


@pytest.fixture
def db():
    conn = sqlite3.connect(":memory:")
    conn.execute("CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, age INTEGER, status TEXT)")
    conn.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, user_id INTEGER, total INTEGER)")
    conn.executemany(Q.compile_insert("users", ["id", "name", "age", "status"], "sqlite"), USERS)
    conn.executemany(Q.compile_insert("orders", ["id", "user_id", "total"], "sqlite"), ORDERS)
    yield conn
    conn.close()


class TestSqlite:
    def test_insert(self, db):
        assert db.execute("SELECT * FROM users ORDER BY id").fetchall() == USERS
        assert db.execute("SELECT count(*) FROM orders").fetchone() == (5,)

    @pytest.mark.parametrize(
        "args, rows",
        [
            (("users", ["name"], [], [], [("name", "asc")]), [("ann",), ("bob",), ("cid",), ("dee",), ("eve",)]),
            (("users", ["name"], [("age", ">", "18"), ("status", "=", "active")], [], [("age", "desc")]),
             [("eve",), ("ann",), ("dee",)]),
            (("users", ["name", "age"], [("status", "=", "active")], [], [("age", "asc")], 2, 1),
             [("dee", 22), ("ann", 31)]),
            (("users", ["users.name", "orders.total"], [("orders.total", ">=", "5")],
              [("inner", "orders", "orders.user_id = users.id")], [("orders.total", "desc")]),
             [("dee", 9), ("ann", 7), ("ann", 5)]),
            (("users", ["users.name", "orders.id"], [("users.id", ">", "3")],
              [("left outer", "orders", "orders.user_id = users.id")], [("users.id", "asc")]),
             [("dee", 12), ("eve", 13)]),
            (("users", [], [("name", "like", "%e%")], [], [("id", "desc")], 1), [(5, "eve", 38, "active")]),
            (("users", ["id"], [], [], [("id", "asc")], 0), []),
            (("users", ["id"], [], [], [("id", "asc")], 10, 3), [(4,), (5,)]),
        ],
        ids=["order", "filters", "limit-offset", "inner-join", "left-outer-join", "like", "limit-zero", "offset"],
    )
    def test_select(self, db, args, rows):
        sql, params = Q.compile_select(*args)
        assert db.execute(sql, params).fetchall() == rows

    def test_update(self, db):
        db.execute(Q.compile_update("users", ["name", "age"], "id", "sqlite"), ["bea", 18, 2])
        assert db.execute("SELECT * FROM users WHERE id = 2").fetchone() == (2, "bea", 18, "active")

    def test_delete(self, db):
        cur = db.execute(Q.compile_delete("users", "id", "sqlite"), [3])
        assert cur.rowcount == 1
        assert [r[0] for r in db.execute("SELECT id FROM users ORDER BY id")] == [1, 2, 4, 5]


# --- leaks ------------------------------------------------------------------------------------

def swallow(fn, *args):
    try:
        fn(*args)
    except (TypeError, ValueError, OverflowError):
        pass


LEAK_CALLS = [
    ("placeholder", lambda a: Q.get_placeholder(a["dialect"], 12)),
    ("placeholder-error", lambda a: swallow(Q.get_placeholder, a["dialect"], -1)),
    ("select", lambda a: Q.compile_select(a["table"], a["columns"], a["wheres"], a["joins"], a["order_by"],
                                          5, 10, a["dialect"])),
    ("select-tuple-error", lambda a: swallow(Q.compile_select, a["table"], a["columns"], a["bad_wheres"], [], [])),
    ("select-item-error", lambda a: swallow(Q.compile_select, a["table"], a["bad_columns"], [], [], [])),
    ("insert", lambda a: Q.compile_insert(a["table"], a["columns"], a["dialect"])),
    ("insert-error", lambda a: swallow(Q.compile_insert, a["table"], a["table"], a["dialect"])),
    ("update", lambda a: Q.compile_update(a["table"], a["columns"], a["pk"], a["dialect"])),
    ("update-error", lambda a: swallow(Q.compile_update, a["table"], a["columns"], None, a["dialect"])),
    ("delete", lambda a: Q.compile_delete(a["table"], a["pk"], a["dialect"])),
    ("delete-error", lambda a: swallow(Q.compile_delete, a["table"], a["pk"], 1.5)),
    ("binding-error", lambda a: swallow(lambda: Q.compile_delete(a["table"], pk=a["pk"]))),
]


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


class TestLeaks:
    @pytest.mark.parametrize("name, call", LEAK_CALLS, ids=[c[0] for c in LEAK_CALLS])
    def test_flat(self, name, call, leak_check):
        args = {
            "table": "".join(["users_", "x" * 300]),
            "columns": ["c%d" % i for i in range(50)],
            "bad_columns": ["a", "b", 3],
            "wheres": [("a%d" % i, "=", "v%d" % i) for i in range(20)],
            "bad_wheres": [("a", "=", "1"), ("b", "=")],
            "joins": [("left", "o", "o.id = users.id")],
            "order_by": [("a", "stra\u00dfe")],
            "pk": "".join(["i", "d"]),  # fresh, not interned: its refcount is ours alone
            "dialect": "".join(["post", "gres"]),
        }
        objects = list(args.values()) + [x for v in args.values() if isinstance(v, list) for x in v]
        # small ints and one-character strings are shared singletons whose counts drift elsewhere
        objects = [o for o in objects if not isinstance(o, int) and not (isinstance(o, str) and len(o) < 2)]
        counts = refcounts(objects)
        leak_check(lambda: call(args), n=5000)
        assert refcounts(objects) == counts
