"""Named parameters of statements of the user's own: the text each driver gets, the names
in placeholder order, what is text and not a parameter on each engine, and the values
as each engine's driver takes them."""

import datetime as dt
import enum
import re
from decimal import Decimal

import pytest

from sablecrest import Field, Model
from sablecrest.engines import ENGINES
from sablecrest.engines.base import FORMAT, NUMERIC, QMARK
from sablecrest.params import Named, bind, named

SQLITE, PG, MARIA = ENGINES["sqlite"], ENGINES["postgresql"], ENGINES["mariadb"]
ON = {"sqlite": (SQLITE, QMARK), "pg": (PG, NUMERIC), "pg-format": (PG, FORMAT), "maria": (MARIA, FORMAT)}

TEXTS = [  # (label, engine, text, the driver's text, names)
    ("qmark", "sqlite", "SELECT * FROM t WHERE a = :a AND b=:b_2", "SELECT * FROM t WHERE a = ? AND b=?", ("a", "b_2")),
    ("numbered", "pg", "SELECT * FROM t WHERE a = :a AND b = :b", "SELECT * FROM t WHERE a = $1 AND b = $2", ("a", "b")),
    ("format", "maria", "SELECT * FROM t WHERE a = :a", "SELECT * FROM t WHERE a = %s", ("a",)),
    ("repeated, qmark", "sqlite", ":q <= s AND s - :q >= 0", "? <= s AND s - ? >= 0", ("q", "q")),
    ("repeated, numbered", "pg", ":q <= s AND s - :q >= :n", "$1 <= s AND s - $1 >= $2", ("q", "n")),
    ("cast", "pg", "SELECT :a::int, x::text", "SELECT $1::int, x::text", ("a",)),
    ("single quotes", "sqlite", "SELECT ':x', 'it''s :x', :y", "SELECT ':x', 'it''s :x', ?", ("y",)),
    ("double quotes", "pg", 'SELECT "a:b", "x"":y" FROM t WHERE c = :c', 'SELECT "a:b", "x"":y" FROM t WHERE c = $1',
     ("c",)),
    ("line comment", "sqlite", "SELECT 1 -- :x\n, :y", "SELECT 1 -- :x\n, ?", ("y",)),
    ("block comment", "maria", "SELECT /* :x */ :y", "SELECT /* :x */ %s", ("y",)),
    ("nested comment", "pg", "SELECT /* /* :x */ :z */ :y", "SELECT /* /* :x */ :z */ $1", ("y",)),
    ("hash comment", "maria", "SELECT 1 # :x\n, :y", "SELECT 1 # :x\n, %s", ("y",)),
    ("no hash comment", "pg", "SELECT '{}'::jsonb #> :p", "SELECT '{}'::jsonb #> $1", ("p",)),
    ("dollar body", "pg", "DO $$ BEGIN PERFORM :x; END $$; SELECT :y", "DO $$ BEGIN PERFORM :x; END $$; SELECT $1",
     ("y",)),
    ("tagged dollar body", "pg", "SELECT $f$ :x $$ $f$, :y", "SELECT $f$ :x $$ $f$, $1", ("y",)),
    ("escape string", "pg", "SELECT E'\\' :x', :y", "SELECT E'\\' :x', $1", ("y",)),
    ("standard string", "pg", "SELECT '\\', :y", "SELECT '\\', $1", ("y",)),
    ("backslash escape", "maria", "SELECT 'it\\'s :x', \"a\\\":b\", :y", "SELECT 'it\\'s :x', \"a\\\":b\", %s", ("y",)),
    ("backticks", "maria", "SELECT `a:b` FROM t WHERE c = :c", "SELECT `a:b` FROM t WHERE c = %s", ("c",)),
    ("brackets", "sqlite", "SELECT [a:b] FROM t WHERE c = :c", "SELECT [a:b] FROM t WHERE c = ?", ("c",)),
    ("assignment", "maria", "SET @v := :a", "SET @v := %s", ("a",)),
    ("after a word", "pg", "SELECT arr[1:2], arr[lo:hi] FROM t WHERE a = :a",
     "SELECT arr[1:2], arr[lo:hi] FROM t WHERE a = $1", ("a",)),
    ("escaped colon", "pg", "SELECT arr[\\:n], :n", "SELECT arr[:n], $1", ("n",)),
    ("percent doubled", "maria", "SELECT '100%' LIKE :p, 5 % 2", "SELECT '100%%' LIKE %s, 5 %% 2", ("p",)),
    ("percent doubled in a name", "maria", "SELECT `a%b` FROM t WHERE c = :c", "SELECT `a%%b` FROM t WHERE c = %s",
     ("c",)),
    ("percent kept", "pg", "SELECT '100%' LIKE :p", "SELECT '100%' LIKE $1", ("p",)),
    ("no parameters: as written", "maria", "SELECT '100%', ':x' -- :y", "SELECT '100%', ':x' -- :y", ()),
    ("psycopg before 3.2", "pg-format", "SELECT '5%', :a::int", "SELECT '5%%', %s::int", ("a",)),
    ("unicode name", "sqlite", "SELECT :größe", "SELECT ?", ("größe",)),
]


@pytest.mark.parametrize("on, text, sql, names", [c[1:] for c in TEXTS], ids=[c[0] for c in TEXTS])
def test_named_parameters(on, text, sql, names):
    engine, style = ON[on]
    got = named(text, style, engine)
    assert (got.sql, got.names) == (sql, names)
    assert named(text, style, engine) is got  # read once


REFUSED = [  # (label, engine, text, message)
    ("open quote", "sqlite", "SELECT 'a :x", "the statement has an unterminated ' quote (at character 7)"),
    ("open identifier", "pg", 'SELECT "a :x', 'the statement has an unterminated " quote (at character 7)'),
    ("open comment", "maria", "SELECT /* :x", "the statement has an unterminated /* comment (at character 7)"),
    ("open dollar body", "pg", "SELECT $a$ :x", "the statement has an unterminated $a$ quote (at character 7)"),
    ("qmark", "sqlite", "SELECT ? , :x", "the statement holds a ? placeholder: name its values (:name) instead"),
    ("numbered", "pg", "SELECT $1, :x", "the statement holds the driver's own placeholder $1: name its values"),
]


@pytest.mark.parametrize("on, text, message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_texts_refused(on, text, message):
    engine, style = ON[on]
    with pytest.raises(ValueError, match="^" + re.escape(message)):
        named(text, style, engine)


class ScParamAuthor(Model):
    __tablename__ = "sc_param_authors"
    name = Field(str)


class Level(enum.IntEnum):
    HIGH = 3


class Tone(str, enum.Enum):
    LOUD = "loud"


class Colour(enum.Enum):
    RED = "r"


AT = dt.datetime(2024, 2, 29, 23, 59, 58, 123456)
VALUES = [  # (label, value, on SQLite, on PostgreSQL, on MariaDB)
    ("decimal", Decimal("12.50"), "12.50", Decimal("12.50"), Decimal("12.50")),
    ("datetime", AT, "2024-02-29T23:59:58.123456", AT, AT),
    ("date", dt.date(1999, 12, 31), "1999-12-31", dt.date(1999, 12, 31), dt.date(1999, 12, 31)),
    ("int enum", Level.HIGH, 3, 3, 3),
    ("str enum", Tone.LOUD, "loud", "loud", "loud"),
    ("plain enum", Colour.RED, "r", "r", "r"),
    ("bool", True, True, True, True),
    ("model object", ScParamAuthor(id=7), 7, 7, 7),
    ("list", [Decimal("1.5"), None, Level.HIGH], ["1.5", None, 3], [Decimal("1.5"), None, 3], [Decimal("1.5"), None, 3]),
    ("dict", {"a": 1}, '{"a":1}', '{"a":1}', '{"a":1}'),  # as a JSON field's value
    ("other", 1j, 1j, 1j, 1j),
]


@pytest.mark.parametrize("value, want", [(c[1], c[2 + i]) for c in VALUES for i in range(3)],
                         ids=["%s-%s" % (c[0], e) for c in VALUES for e in ("sqlite", "pg", "maria")])
def test_values_are_dumped_by_type(value, want, request):
    engine = {"sqlite": SQLITE, "pg": PG, "maria": MARIA}[request.node.callspec.id.rsplit("-", 1)[1]]
    (got,) = bind(Named("?", ("v",)), {"v": value}, engine)
    assert got == want and type(got) is type(want)


BAD = [  # (label, names, params, exception, message)
    ("missing", ("a", "b", "a"), {"a": 1}, ValueError, "execute(): the statement names :b, which params does not give"),
    ("unused", ("a",), {"a": 1, "z": 2, "y": 3}, ValueError,
     "execute(): params gives :z, :y, which the statement does not use (it names :a)"),
    ("unused, no names", (), {"z": 2}, ValueError,
     "execute(): params gives :z, which the statement does not use (it names no :parameter)"),
    ("positional", ("a",), [1], TypeError,
     "execute() takes its values as a mapping of names, like {'id': 5} for :id in the text; got a list "
     "(positional placeholders such as ?, %s or $1 are each driver's own: name the values instead)"),
    ("key type", ("a",), {1: 1}, TypeError, "execute() takes parameter names as str, got 1"),
    ("object without key", ("a",), {"a": ScParamAuthor()}, ValueError,
     "execute(): a ScParamAuthor given as a parameter has no primary key yet (flush it first)"),
]


@pytest.mark.parametrize("names, params, exc, message", [c[1:] for c in BAD], ids=[c[0] for c in BAD])
def test_bad_parameters(names, params, exc, message):
    with pytest.raises(exc) as err:
        bind(Named("", names), params, SQLITE)
    assert str(err.value) == message


def test_no_parameters_given_none():
    assert bind(Named("SELECT 1", ()), None, PG) is None and bind(Named("SELECT 1", ()), {}, PG) is None
