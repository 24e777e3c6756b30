"""The module frame as Python sees it: contents, classes, method registration, argument
binding, conversion errors, the borrow counter and PanicException."""

import gc
import inspect
import math
import os
import random
import struct
import sys
import sysconfig
import weakref
from collections import namedtuple

import pytest

import _sablecrest_rs as m

CLASS_NAMES = ["StateTracker", "QueryCompiler", "BatchAggregator", "SchemaDiffEngine"]
INTERPRETER_ATTRS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
RESUME_BANNER = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)
SECOND_INIT = (
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process"
)

# (class, method, docstring exactly as registered), in registration order per class.
REGISTERED = [
    ("QueryCompiler", "get_placeholder",
     "get_placeholder($self, dialect, index)\n--\n\n"
     "Formats placeholder based on database dialect: sqlite (?), postgres ($N), mysql (%s)"),
    ("QueryCompiler", "compile_select",
     'compile_select($self, table, columns, wheres, joins, order_by, limit=None, offset=None, dialect="sqlite")'
     "\n--\n\nCompiles SELECT query with pre-allocated buffer"),
    ("QueryCompiler", "compile_insert",
     "compile_insert($self, table, columns, dialect)\n--\n\nCompiles INSERT query with pre-allocated buffer"),
    ("QueryCompiler", "compile_update",
     "compile_update($self, table, columns, pk_col, dialect)\n--\n\nCompiles UPDATE query with pre-allocated buffer"),
    ("QueryCompiler", "compile_delete",
     "compile_delete($self, table, pk_col, dialect)\n--\n\nCompiles DELETE query"),
    ("StateTracker", "set_initial_state", "set_initial_state($self, data)\n--\n\n"),
    ("StateTracker", "set_field", "set_field($self, field, value)\n--\n\n"),
    ("StateTracker", "get_field", "get_field($self, field)\n--\n\n"),
    ("StateTracker", "is_dirty", "is_dirty($self)\n--\n\n"),
    ("StateTracker", "dirty_fields", "dirty_fields($self)\n--\n\n"),
    ("StateTracker", "get_dirty_changes", "get_dirty_changes($self)\n--\n\n"),
    ("StateTracker", "hydrate_snapshot", "hydrate_snapshot($self)\n--\n\n"),
    ("StateTracker", "get_current_dict", "get_current_dict($self)\n--\n\n"),
    ("StateTracker", "benchmark_pure_rust",
     "benchmark_pure_rust(count)\n--\n\n"
     "Pure Rust Native Benchmark (Rust -> Rust) executing 100% in C/Rust memory using FxHashMap"),
    ("SchemaDiffEngine", "diff_table",
     "diff_table($self, table_name, model_fields, db_columns, _dialect)\n--\n\n"
     "Compares model metadata against database introspection table structure.\n"
     "Returns upgrade_statements and downgrade_statements."),
    ("BatchAggregator", "add_key_int",
     "add_key_int($self, key)\n--\n\nAdd an integer foreign key directly (Zero string formatting overhead)"),
    ("BatchAggregator", "add_key_str", "add_key_str($self, key)\n--\n\nAdd a string foreign key"),
    ("BatchAggregator", "add_key", "add_key($self, key)\n--\n\nDynamically add key checking type"),
    ("BatchAggregator", "add_keys_batch",
     "add_keys_batch($self, keys)\n--\n\nBatch add keys in a single FFI boundary call"),
    ("BatchAggregator", "get_keys",
     "get_keys($self)\n--\n\nReturns deduplicated keys as a PyList constructed directly in Rust"),
    ("BatchAggregator", "clear", "clear($self)\n--\n\n"),
    ("BatchAggregator", "len", "len($self)\n--\n\n"),
    ("BatchAggregator", "is_empty", "is_empty($self)\n--\n\n"),
]


def derived(name, registered):
    """What the interpreter makes of a registered docstring: (text signature, doc or None)."""
    head, sep, body = registered.partition("\n--\n\n")
    assert sep and head.startswith(name + "(")
    return head[len(name):], (body or None)


def qc():
    return m.QueryCompiler()


def catch(fn):
    """The exception that fn() raises, whatever its base."""
    try:
        fn()
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        return exc
    raise AssertionError("no exception raised")


def panic_capacity():
    m.StateTracker.benchmark_pure_rust(2**58)


def panic_resized_dict():
    data = {}

    class Grow:
        def __str__(self):
            data["grown"] = 0
            return "g"

    data.update(a=Grow(), b=1)
    m.StateTracker().set_initial_state(data)


PANIC_SOURCES = [
    pytest.param(panic_capacity, "capacity overflow", id="benchmark-capacity"),
    pytest.param(panic_resized_dict, "dictionary changed size during iteration", id="dict-resized"),
]


@pytest.fixture
def panic(capfd):
    """A PanicException caught from the module (its stderr report is swallowed)."""
    exc = catch(panic_capacity)
    capfd.readouterr()
    return exc


class TestModule:
    def test_all_in_registration_order(self):
        assert type(m.__all__) is list
        assert m.__all__ == CLASS_NAMES

    def test_doc_is_empty_string(self):
        assert m.__doc__ == ""

    def test_no_other_attributes(self):
        assert set(vars(m)) - INTERPRETER_ATTRS == set(CLASS_NAMES) | {"__all__"}
        assert not hasattr(m, "benchmark_pure_rust")
        assert not hasattr(m, "PanicException")

    def test_file_is_built_for_this_interpreter(self):
        # The stable ABI's plain name (FindPython would take 3.15's multiarch
        # .abi3-<triplet>.so, which 3.8 to 3.13 do not import), or the interpreter's own
        # suffix for a full-API build; a free-threaded interpreter has no limited API.
        suffix = os.path.basename(m.__file__)[len("_sablecrest_rs"):]
        own = sysconfig.get_config_var("EXT_SUFFIX")
        if sysconfig.get_config_var("Py_GIL_DISABLED"):
            assert suffix == own
        else:
            assert suffix in (".abi3.so", ".pyd", own)

    def test_reimport_returns_cached_module(self):
        import _sablecrest_rs as again

        assert again is m

    def test_second_init_refused(self, run_subprocess):
        code = (
            "import sys, _sablecrest_rs as first\n"
            "for _ in range(2):\n"
            "    sys.modules.pop('_sablecrest_rs', None)\n"
            "    try:\n"
            "        import _sablecrest_rs\n"
            "    except ImportError as e:\n"
            "        print(type(e).__name__ + '|' + str(e))\n"
            "    else:\n"
            "        print('imported again')\n"
            "print(first.QueryCompiler().get_placeholder('postgres', 4), first.__all__)\n"
        )
        rc, out, err = run_subprocess(code)
        assert rc == 0, err
        assert out.splitlines() == [
            "ImportError|" + SECOND_INIT,
            "ImportError|" + SECOND_INIT,
            "$4 " + repr(CLASS_NAMES),
        ]


class TestClasses:
    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_names_and_module(self, name):
        cls = getattr(m, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
        # Heap types only derive a text signature from their docstring from 3.10 on.
        assert cls.__text_signature__ == ("()" if sys.version_info >= (3, 10) else None)
        assert cls.__doc__ == ""

    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_not_subclassable(self, name):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (getattr(m, name),), {})

    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_instance_layout(self, name):
        obj = getattr(m, name)()
        assert not gc.is_tracked(obj)
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)

    @pytest.mark.parametrize("name", ["QueryCompiler", "SchemaDiffEngine"])
    def test_stateless_instance_is_header_and_counter(self, name):
        # The empty record takes no bytes; the borrow counter is pointer-sized.
        assert getattr(m, name).__basicsize__ == object.__basicsize__ + struct.calcsize("n")

    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_class_dict_holds_methods_in_order(self, name):
        cls = getattr(m, name)
        want = [meth for c, meth, _ in REGISTERED if c == name]
        assert [k for k in vars(cls) if not k.startswith("__")] == want
        assert not {"__init__", "__len__", "__dict__", "__weakref__"} & set(vars(cls))

    def test_len_is_a_method_not_a_slot(self):
        agg = m.BatchAggregator()
        with pytest.raises(TypeError):
            len(agg)
        assert agg.len() == 0

    def test_benchmark_is_static(self):
        assert isinstance(vars(m.StateTracker)["benchmark_pure_rust"], staticmethod)
        assert isinstance(m.StateTracker().benchmark_pure_rust(1), float)

    def test_foreign_receiver_refused_by_descriptor(self):
        exc = catch(lambda: m.QueryCompiler.get_placeholder(m.SchemaDiffEngine(), "sqlite", 1))
        assert type(exc) is TypeError
        assert "get_placeholder" in str(exc) and not str(exc).startswith("argument")

    @pytest.mark.parametrize("cls, meth, registered", REGISTERED, ids=[r[1] for r in REGISTERED])
    def test_docstring_and_signature(self, cls, meth, registered):
        fn = getattr(getattr(m, cls), meth)
        signature, doc = derived(meth, registered)
        assert fn.__text_signature__ == signature
        assert fn.__doc__ == doc

    def test_inspect_reads_the_signature(self):
        sig = inspect.signature(m.QueryCompiler().compile_select)
        assert str(sig) == "(table, columns, wheres, joins, order_by, limit=None, offset=None, dialect='sqlite')"


def q_call(meth, *args, **kwargs):
    return lambda: getattr(m.QueryCompiler(), meth)(*args, **kwargs)


class StrKey(str):
    pass


BINDING = [
    # constructors take nothing
    (lambda: m.QueryCompiler(1), "QueryCompiler.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: m.SchemaDiffEngine(1, 2), "SchemaDiffEngine.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: m.StateTracker(x=1), "StateTracker.__new__() got an unexpected keyword argument 'x'"),
    (lambda: m.BatchAggregator(k=1), "BatchAggregator.__new__() got an unexpected keyword argument 'k'"),
    # too many, r = n and r < n; was / were; plural "arguments" for n = 1
    (q_call("get_placeholder", "a", 1, 2),
     "QueryCompiler.get_placeholder() takes 2 positional arguments but 3 were given"),
    (q_call("compile_select", *range(9)),
     "QueryCompiler.compile_select() takes from 5 to 8 positional arguments but 9 were given"),
    (q_call("get_placeholder", "a", 1, 2, dialect="x"),
     "QueryCompiler.get_placeholder() takes 2 positional arguments but 3 were given"),
    (lambda: m.StateTracker().get_field("a", "b"),
     "StateTracker.get_field() takes 1 positional arguments but 2 were given"),
    (lambda: m.StateTracker.benchmark_pure_rust(1, 2),
     "StateTracker.benchmark_pure_rust() takes 1 positional arguments but 2 were given"),
    (lambda: m.StateTracker().set_field("a", 1, 2, field="b"),
     "StateTracker.set_field() takes 2 positional arguments but 3 were given"),
    # multiple values
    (q_call("get_placeholder", "a", dialect="b"),
     "QueryCompiler.get_placeholder() got multiple values for argument 'dialect'"),
    (q_call("compile_delete", "t", "id", "sqlite", pk_col="x"),
     "QueryCompiler.compile_delete() got multiple values for argument 'pk_col'"),
    (q_call("get_placeholder", "a", dialect="b", zz=1),
     "QueryCompiler.get_placeholder() got multiple values for argument 'dialect'"),
    (lambda: m.StateTracker().set_field("a", field="b"),
     "StateTracker.set_field() got multiple values for argument 'field'"),
    # two positional arguments fill both slots, so the keyword is the second value for `field`
    (lambda: m.StateTracker().set_field("a", 1, field="b"),
     "StateTracker.set_field() got multiple values for argument 'field'"),
    # unexpected keyword, met before anything is found missing
    (q_call("get_placeholder", k=1), "QueryCompiler.get_placeholder() got an unexpected keyword argument 'k'"),
    (q_call("get_placeholder", "a", 1, extra=2),
     "QueryCompiler.get_placeholder() got an unexpected keyword argument 'extra'"),
    (q_call("get_placeholder", zz=1, dialect="a"),
     "QueryCompiler.get_placeholder() got an unexpected keyword argument 'zz'"),
    (q_call("get_placeholder", dialect="a", Index=1),
     "QueryCompiler.get_placeholder() got an unexpected keyword argument 'Index'"),
    (q_call("get_placeholder", **{"dia\udc80": 1}),
     "QueryCompiler.get_placeholder() got an unexpected keyword argument 'dia\ufffd\ufffd\ufffd'"),
    (q_call("get_placeholder", **{StrKey("zz"): 1}),
     "QueryCompiler.get_placeholder() got an unexpected keyword argument 'zz'"),
    (lambda: m.StateTracker.benchmark_pure_rust(n=1),
     "StateTracker.benchmark_pure_rust() got an unexpected keyword argument 'n'"),
    (lambda: m.BatchAggregator().add_key(k=1),
     "BatchAggregator.add_key() got an unexpected keyword argument 'k'"),
    # missing, with name lists of one, two, three and more
    (q_call("get_placeholder", "sqlite"),
     "QueryCompiler.get_placeholder() missing 1 required positional argument: 'index'"),
    (q_call("get_placeholder"),
     "QueryCompiler.get_placeholder() missing 2 required positional arguments: 'dialect' and 'index'"),
    (q_call("compile_insert"),
     "QueryCompiler.compile_insert() missing 3 required positional arguments: 'table', 'columns', and 'dialect'"),
    (q_call("compile_update", columns=[]),
     "QueryCompiler.compile_update() missing 3 required positional arguments: 'table', 'pk_col', and 'dialect'"),
    (q_call("compile_select"),
     "QueryCompiler.compile_select() missing 5 required positional arguments: "
     "'table', 'columns', 'wheres', 'joins', and 'order_by'"),
    (q_call("compile_select", "t", [], []),
     "QueryCompiler.compile_select() missing 2 required positional arguments: 'joins' and 'order_by'"),
    (q_call("compile_select", "t", joins=[], order_by=[], limit=1),
     "QueryCompiler.compile_select() missing 2 required positional arguments: 'columns' and 'wheres'"),
    (q_call("compile_select", table="t", columns=[], wheres=[], joins=[], dialect="x"),
     "QueryCompiler.compile_select() missing 1 required positional argument: 'order_by'"),
    (lambda: m.SchemaDiffEngine().diff_table(),
     "SchemaDiffEngine.diff_table() missing 4 required positional arguments: "
     "'table_name', 'model_fields', 'db_columns', and '_dialect'"),
    (lambda: m.BatchAggregator().add_keys_batch(),
     "BatchAggregator.add_keys_batch() missing 1 required positional argument: 'keys'"),
]


class TestBinding:
    @pytest.mark.parametrize("call, message", BINDING)
    def test_message(self, call, message):
        exc = catch(call)
        assert type(exc) is TypeError
        assert str(exc) == message
        assert exc.__cause__ is None and exc.__context__ is None

    def test_everything_by_keyword(self):
        got = m.QueryCompiler().compile_select(
            dialect="postgres", offset=2, limit=1, order_by=[], joins=[], wheres=[("a", "=", "1")],
            columns=["a"], table="t",
        )
        assert got == ("SELECT a FROM t WHERE a = $1 LIMIT 1 OFFSET 2", ["1"])

    def test_str_subclass_keyword_names(self):
        assert m.QueryCompiler().get_placeholder(**{StrKey("dialect"): "postgres", "index": 2}) == "$2"

    def test_unexpected_keyword_shown_by_its_str(self, unraisable):
        class Shown(str):
            def __str__(self):
                return "shown"

        class Broken(str):
            def __str__(self):
                raise ValueError("no text")

        assert str(catch(q_call("get_placeholder", **{Shown("zz"): 1}))) == (
            "QueryCompiler.get_placeholder() got an unexpected keyword argument 'shown'")
        assert not unraisable
        assert str(catch(q_call("get_placeholder", **{Broken("zz"): 1}))) == (
            "QueryCompiler.get_placeholder() got an unexpected keyword argument '<unprintable Broken object>'")
        assert [(t, type(o)) for t, _, o in unraisable] == [(ValueError, Broken)]

    @pytest.mark.parametrize("call", [lambda: m.StateTracker().is_dirty(1), lambda: m.BatchAggregator().len(x=1)])
    def test_noargs_methods_refused_by_interpreter(self, call):
        assert type(catch(call)) is TypeError


class Index:
    """An integer-like object: its __index__ returns or raises what it was given."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def chained_type_error():
    try:
        raise TypeError("inner") from KeyError("root")
    except TypeError as exc:
        return exc


def type_error_with_context():
    try:
        try:
            raise KeyError("context")
        except KeyError:
            raise TypeError("inner")
    except TypeError as exc:
        return exc


class TestArgumentErrorRule:
    def test_type_error_prefixed_and_cause_kept(self):
        old = chained_type_error()
        exc = catch(lambda: qc().get_placeholder("postgres", Index(old)))
        assert type(exc) is TypeError
        assert str(exc) == "argument 'index': inner"
        assert exc is not old
        assert exc.__cause__ is old.__cause__
        assert exc.__suppress_context__ is True
        assert exc.__context__ is None

    def test_old_exception_not_chained(self):
        old = type_error_with_context()
        exc = catch(lambda: qc().get_placeholder("postgres", Index(old)))
        assert str(exc) == "argument 'index': inner"
        assert exc.__cause__ is None and exc.__context__ is None
        assert exc.__suppress_context__ is True

    def test_interpreter_type_error_prefixed(self):
        exc = catch(lambda: qc().get_placeholder("postgres", 2.5))
        assert type(exc) is TypeError
        assert str(exc) == "argument 'index': 'float' object cannot be interpreted as an integer"
        assert exc.__suppress_context__ is True and exc.__cause__ is None

    @pytest.mark.parametrize(
        "error",
        [
            pytest.param(type("TypeErrorSub", (TypeError,), {})("sub"), id="TypeError-subclass"),
            pytest.param(ValueError("v"), id="ValueError"),
            pytest.param(OverflowError("o"), id="OverflowError"),
            pytest.param(RuntimeError("r"), id="RuntimeError"),
        ],
    )
    def test_other_exceptions_pass_unchanged(self, error):
        exc = catch(lambda: qc().get_placeholder("postgres", Index(error)))
        assert exc is error
        assert exc.__suppress_context__ is False

    @pytest.mark.parametrize(
        "call, exc_type, message",
        [
            (q_call("get_placeholder", "mysql", -1), OverflowError, "can't convert negative int to unsigned"),
            (q_call("get_placeholder", "postgres", 2**64), OverflowError, "int too big to convert"),
            (q_call("compile_select", "t", [], [("a", "=")], [], []), ValueError,
             "expected tuple of length 3, but got tuple of length 2"),
            (q_call("get_placeholder", "postgres\udc80", 1), UnicodeEncodeError,
             "'utf-8' codec can't encode character '\\udc80' in position 8: surrogates not allowed"),
        ],
        ids=["overflow-negative", "overflow-big", "tuple-length", "unicode-encode"],
    )
    def test_unprefixed_exceptions(self, call, exc_type, message):
        exc = catch(call)
        assert type(exc) is exc_type
        assert str(exc) == message

    def test_unprintable_message_is_reported(self, unraisable):
        old = TypeError(Unprintable())
        exc = catch(lambda: qc().get_placeholder("postgres", Index(old)))
        assert str(exc) == "argument 'index': <unprintable TypeError object>"
        assert [(t, str(v)) for t, v, _ in unraisable] == [(ValueError, "no text")]
        assert unraisable[0][2] is old

    def test_first_failing_parameter_reported(self):
        exc = catch(q_call("get_placeholder", None, -1))
        assert str(exc) == "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"


def with_qualname(value):
    """An instance whose type reports `value` (or raises it) as its __qualname__."""

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                if isinstance(value, BaseException):
                    raise value
                return value
            return super().__getattribute__(name)

    return Meta("Odd", (), {})()


class Chars(str):
    """A str whose __str__ lies: the string rule must read the characters."""

    def __str__(self):
        return "mysql"


class OwnIter(list):
    def __iter__(self):
        return iter(["x"])


class LenFails:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 2:
            return "c%d" % i
        raise IndexError(i)


class ItemFails:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise self.error
        return "c"


Pair = namedtuple("Pair", "column direction")


class TestConversion:
    @pytest.mark.parametrize(
        "call, want",
        [
            (q_call("get_placeholder", Chars("postgres"), 3), "$3"),
            (q_call("compile_delete", Chars("users"), Chars("id"), "sqlite"), "DELETE FROM users WHERE id = ?"),
            (q_call("get_placeholder", "postgres", True), "$1"),
            (q_call("get_placeholder", "postgres", False), "$0"),
            (q_call("get_placeholder", "postgres", Index(7)), "$7"),
            (q_call("get_placeholder", "postgres", index=2**64 - 1), "$18446744073709551615"),
            (q_call("compile_insert", "t", ("a", "b"), "sqlite"), "INSERT INTO t (a, b) VALUES (?, ?)"),
            (q_call("compile_insert", "t", OwnIter(["a", "b"]), "sqlite"), "INSERT INTO t (x) VALUES (?)"),
            (q_call("compile_insert", "t", LenFails(), "sqlite"), "INSERT INTO t (c0, c1) VALUES (?, ?)"),
            (q_call("compile_select", "t", [], [], [], [Pair("a", "desc")]), ("SELECT * FROM t ORDER BY a DESC", [])),
            (q_call("compile_select", "t", [], [], [], [], None, None), ("SELECT * FROM t", [])),
            (q_call("compile_select", "t", [], [], [], [], Index(3), True), ("SELECT * FROM t LIMIT 3 OFFSET 1", [])),
        ],
        ids=["str-subclass-dialect", "str-subclass-names", "bool-true", "bool-false", "dunder-index", "u64-max",
             "tuple-sequence", "iterates-not-indexes", "length-error-discarded", "tuple-subclass",
             "none-is-absent", "index-paging"],
    )
    def test_accepted(self, call, want):
        assert call() == want

    @pytest.mark.parametrize(
        "call, message",
        [
            (q_call("compile_delete", 1, "id", "sqlite"), "argument 'table': 'int' object cannot be converted to 'PyString'"),
            (q_call("compile_delete", "t", b"id", "sqlite"),
             "argument 'pk_col': 'bytes' object cannot be converted to 'PyString'"),
            (q_call("compile_select", "t", [], [], [], [], dialect=None),
             "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
            (q_call("compile_insert", "t", "name", "sqlite"), "argument 'columns': Can't extract `str` to `Vec`"),
            (q_call("compile_insert", "t", ["a", 2], "sqlite"),
             "argument 'columns': 'int' object cannot be converted to 'PyString'"),
            (q_call("compile_insert", "t", b"ab", "sqlite"),
             "argument 'columns': 'int' object cannot be converted to 'PyString'"),
            (q_call("compile_insert", "t", (c for c in "ab"), "sqlite"),
             "argument 'columns': 'generator' object cannot be converted to 'Sequence'"),
            (q_call("compile_insert", "t", {"a": 1}, "sqlite"),
             "argument 'columns': 'dict' object cannot be converted to 'Sequence'"),
            (q_call("compile_insert", "t", {"a"}, "sqlite"),
             "argument 'columns': 'set' object cannot be converted to 'Sequence'"),
            (q_call("compile_insert", "t", ItemFails(TypeError("boom")), "sqlite"), "argument 'columns': boom"),
            (q_call("compile_select", "t", [], [["a", "=", "1"]], [], []),
             "argument 'wheres': 'list' object cannot be converted to 'PyTuple'"),
            (q_call("compile_select", "t", [], [], [("left", "o", None)], []),
             "argument 'joins': 'NoneType' object cannot be converted to 'PyString'"),
            (q_call("compile_select", "t", [], [], [], [], limit="3"),
             "argument 'limit': 'str' object cannot be interpreted as an integer"),
            (q_call("get_placeholder", with_qualname("Custom.Name"), 1),
             "argument 'dialect': 'Custom.Name' object cannot be converted to 'PyString'"),
            (q_call("get_placeholder", with_qualname(RuntimeError("x")), 1),
             "argument 'dialect': '<failed to extract type name>' object cannot be converted to 'PyString'"),
            (q_call("get_placeholder", with_qualname(42), 1),
             "argument 'dialect': '<failed to extract type name>' object cannot be converted to 'PyString'"),
            (q_call("get_placeholder", with_qualname("a\udc80"), 1),
             "argument 'dialect': '<failed to extract type name>' object cannot be converted to 'PyString'"),
        ],
        ids=["int-table", "bytes-pk", "none-default", "str-columns", "int-item", "bytes-columns", "generator",
             "dict", "set", "item-type-error", "list-not-tuple", "none-in-tuple", "str-limit", "qualname",
             "qualname-raises", "qualname-not-str", "qualname-surrogate"],
    )
    def test_refused(self, call, message):
        exc = catch(call)
        assert type(exc) is TypeError
        assert str(exc) == message

    def test_qualname_of_local_class(self):
        class Local:
            pass

        exc = catch(q_call("compile_delete", Local(), "id", "sqlite"))
        assert str(exc) == (
            "argument 'table': 'TestConversion.test_qualname_of_local_class.<locals>.Local' "
            "object cannot be converted to 'PyString'"
        )

    def test_iteration_error_unchanged(self):
        error = RuntimeError("mid-walk")
        assert catch(q_call("compile_insert", "t", ItemFails(error), "sqlite")) is error


class TestBorrow:
    def test_shared_access_allows_reentry(self):
        q = m.QueryCompiler()

        class Reenter:
            def __index__(self):
                return int(q.get_placeholder("postgres", 7)[1:]) + len(q.compile_select("t", [], [], [], [])[0])

        assert q.get_placeholder("postgres", Reenter()) == "$22"

    AGG_INNER = [
        ("len", lambda a: a.len(), "Already mutably borrowed"),
        ("is_empty", lambda a: a.is_empty(), "Already mutably borrowed"),
        ("get_keys", lambda a: a.get_keys(), "Already mutably borrowed"),
        ("add_key", lambda a: a.add_key(1), "Already borrowed"),
        ("add_key_int", lambda a: a.add_key_int(1), "Already borrowed"),
        ("add_key_str", lambda a: a.add_key_str("x"), "Already borrowed"),
        ("add_keys_batch", lambda a: a.add_keys_batch([1]), "Already borrowed"),
        ("clear", lambda a: a.clear(), "Already borrowed"),
    ]

    @pytest.mark.parametrize("name, inner, message", AGG_INNER, ids=[r[0] for r in AGG_INNER])
    def test_aggregator_reentry_from_str(self, name, inner, message):
        agg = m.BatchAggregator()
        agg.add_key("before")
        seen = []

        class Key:
            def __str__(self):
                seen.append(catch(lambda: inner(agg)))
                return "k"

        assert agg.add_key(Key()) is True
        assert [(type(e), str(e)) for e in seen] == [(RuntimeError, message)]
        # the refused call changed nothing and the counter is back to idle
        assert sorted(agg.get_keys()) == ["before", "k"]
        assert agg.add_key_int(2) is True and agg.len() == 3

    @pytest.mark.parametrize(
        "make, failing, working",
        [
            (m.BatchAggregator, lambda a: a.add_key_int(3.5), lambda a: a.add_key_int(1)),
            (m.BatchAggregator, lambda a: a.add_keys_batch({1}), lambda a: a.clear()),
            (m.StateTracker, lambda t: t.set_field(1, 2), lambda t: t.set_field("a", 1)),
            (m.StateTracker, lambda t: t.set_initial_state([("a", 1)]), lambda t: t.hydrate_snapshot()),
        ],
        ids=["add_key_int", "add_keys_batch", "set_field", "set_initial_state"],
    )
    def test_exclusive_access_released_on_failure(self, make, failing, working):
        obj = make()
        assert type(catch(lambda: failing(obj))) is TypeError
        working(obj)

    TRACKER_INNER = [
        ("get_field", lambda t: t.get_field("a"), "Already mutably borrowed"),
        ("is_dirty", lambda t: t.is_dirty(), "Already mutably borrowed"),
        ("get_current_dict", lambda t: t.get_current_dict(), "Already mutably borrowed"),
        ("set_field", lambda t: t.set_field("z", 1), "Already borrowed"),
        ("hydrate_snapshot", lambda t: t.hydrate_snapshot(), "Already borrowed"),
        ("set_initial_state", lambda t: t.set_initial_state({}), "Already borrowed"),
    ]

    @pytest.mark.parametrize("name, inner, message", TRACKER_INNER, ids=[r[0] for r in TRACKER_INNER])
    def test_tracker_reentry_from_str(self, name, inner, message):
        tracker = m.StateTracker()
        seen = []

        class Value:
            def __str__(self):
                seen.append(catch(lambda: inner(tracker)))
                return "v"

        value = Value()
        tracker.set_field("a", value)
        assert [(type(e), str(e)) for e in seen] == [(RuntimeError, message)]
        assert tracker.get_current_dict() == {"a": value}
        tracker.set_field("b", 2)
        assert tracker.is_dirty() is False


class TestPanicException:
    @pytest.mark.parametrize("trigger, message", PANIC_SOURCES)
    def test_properties(self, trigger, message, capfd):
        exc = catch(trigger)
        capfd.readouterr()
        cls = type(exc)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("pyo3_runtime", "PanicException", "PanicException")
        assert cls.__bases__ == (BaseException,)
        assert not issubclass(cls, Exception)
        assert cls.__doc__ == PANIC_DOC and len(PANIC_DOC) == 235
        assert exc.args == (message,)
        assert str(exc) == message
        assert "pyo3_runtime" not in sys.modules

    @pytest.mark.parametrize("trigger, message", PANIC_SOURCES)
    def test_not_caught_as_exception(self, trigger, message, capfd):
        def guarded():
            try:
                trigger()
            except Exception:
                return "swallowed"

        exc = catch(guarded)
        capfd.readouterr()
        assert type(exc).__name__ == "PanicException" and str(exc) == message

    def test_one_type_for_every_panic(self, capfd):
        first, second = catch(panic_capacity), catch(panic_resized_dict)
        capfd.readouterr()
        assert type(first) is type(second)

    def test_resumed_from_python(self, panic, capfd):
        q = m.QueryCompiler()
        exc = catch(lambda: q.get_placeholder("postgres", Index(panic)))
        err = capfd.readouterr().err
        assert type(exc) is type(panic) and exc is not panic
        assert exc.args == panic.args == ("capacity overflow",)
        assert RESUME_BANNER in err
        assert "pyo3_runtime.PanicException: capacity overflow" in err.split(RESUME_BANNER, 1)[1]
        # the compiler is usable again afterwards
        assert q.get_placeholder("postgres", 1) == "$1"

    def test_resumed_from_sequence_iteration(self, panic, capfd):
        exc = catch(q_call("compile_insert", "t", ItemFails(panic), "sqlite"))
        assert type(exc) is type(panic) and str(exc) == "capacity overflow"
        assert RESUME_BANNER in capfd.readouterr().err


def raiser(error):
    def fn(*args):
        raise error

    return fn


def odd_instance(attr, error, **namespace):
    """An instance whose type raises `error` the first time its `attr` is read (through the
    metaclass); later reads, such as a failure report's, see the plain attribute."""
    pending = [error]

    class Meta(type):
        def __getattribute__(cls, name):
            if name == attr and pending:
                raise pending.pop()
            return super().__getattribute__(name)

    return Meta("Odd", (), namespace)()


def numpy_bool(error):
    """Looks like NumPy's boolean scalar to the boolean rule; converting it raises."""
    return type("bool_", (), {"__module__": "numpy", "__bool__": raiser(error)})()


def many_doubles():
    """Edge values, then random bit patterns (every exponent, subnormals, NaN payloads) and
    short decimals."""
    rng = random.Random(2024)
    edges = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 1e16, -1e16, 1e15, 9999999999999998.0,
             1e-4, 1e-5, 0.00012345, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 1 / 3,
             4.75, 1e22, 1e23, 2.0 ** 53, 2.0 ** 53 + 2, 123456789012345678.0, 100.0, -1.5]
    bits = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(200_000)]
    short = [round(rng.uniform(-1e6, 1e6), rng.randrange(8)) for _ in range(50_000)]
    return edges + bits + short


def test_float_text_is_repr():
    # str() of an exact float is computed natively; it must be the interpreter's text.
    values = many_doubles()
    agg = m.BatchAggregator()
    agg.add_keys_batch(values)
    assert set(agg.get_keys()) == {repr(v) for v in values}
    tracker = m.StateTracker()
    tracker.set_initial_state({"f": -0.0, "g": 1e16})
    tracker.set_field("f", "-0.0")
    tracker.set_field("g", "1e+16")
    assert tracker.is_dirty() is False


class TestErrorsNeverDropped:
    """The rules that fall back to a default or a substitute text drop ordinary exceptions
    only: a PanicException is resumed, and a KeyboardInterrupt or SystemExit propagates."""

    @pytest.mark.parametrize("call", [
        pytest.param(lambda p: m.QueryCompiler().get_placeholder(odd_instance("__qualname__", p), 1),
                     id="conversion-message"),
        pytest.param(lambda p: m.StateTracker().set_field("a", odd_instance("__name__", p, __str__=raiser(ValueError()))),
                     id="unprintable-fallback"),
    ])
    def test_panic_from_type_name_resumed(self, call, panic, capfd, unraisable):
        exc = catch(lambda: call(panic))
        exc.__traceback__ = None  # its frames would keep the instances alive in a cycle
        assert type(exc) is type(panic) and exc is not panic and exc.args == panic.args
        assert RESUME_BANNER in capfd.readouterr().err

    RULES = [
        pytest.param(lambda e, t, a: t.set_field("a", type("V", (), {"__str__": raiser(e)})()), [], id="display"),
        pytest.param(lambda e, t, a: t.set_field("a", odd_instance("__name__", e, __str__=raiser(ValueError()))),
                     [ValueError], id="display-type-name"),
        pytest.param(lambda e, t, a: a.add_key(Index(e)), [], id="add-key-int"),
        pytest.param(lambda e, t, a: m.SchemaDiffEngine().diff_table("t", {"f": {"nullable": numpy_bool(e)}}, {}, ""),
                     [], id="boolean"),
        pytest.param(lambda e, t, a: m.QueryCompiler().compile_insert(
            "t", type("S", (), {"__len__": raiser(e), "__getitem__": raiser(IndexError())})(), ""),
            [], id="sequence-length"),
        pytest.param(lambda e, t, a: a.add_keys_batch(type("C", (), {"__class__": property(raiser(e))})()),
                     [], id="sequence-instance-check"),
    ]

    @pytest.mark.parametrize("error", [KeyboardInterrupt, lambda: SystemExit(3)], ids=["interrupt", "exit"])
    @pytest.mark.parametrize("call, reported", RULES)
    def test_interrupt_and_exit_propagate(self, call, reported, error, unraisable):
        exc = error()
        tracker, agg = m.StateTracker(), m.BatchAggregator()
        assert catch(lambda: call(exc, tracker, agg)) is exc
        exc.__traceback__ = None
        assert [type(u[1]) for u in unraisable] == reported
        assert tracker.get_current_dict() == {} and agg.get_keys() == []


class TestRelease:
    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_instances_return_type_references(self, name, leak_check):
        cls = getattr(m, name)
        gc.collect()  # instances left in reference cycles by earlier tests
        before = sys.getrefcount(cls)

        def cycle():
            cls()
            catch(lambda: cls(1))

        leak_check(cycle, n=3000)
        assert sys.getrefcount(cls) == before

    def test_calls_return_receiver_references(self):
        q = m.QueryCompiler()
        before = sys.getrefcount(q)
        for _ in range(100):
            q.get_placeholder("postgres", 1)
            catch(lambda: q.get_placeholder("postgres", -1))
            catch(lambda: q.get_placeholder("postgres"))
        assert sys.getrefcount(q) == before

    def test_freed_tracker_releases_values(self):
        value, other = object(), object()
        base, other_base = sys.getrefcount(value), sys.getrefcount(other)
        tracker = m.StateTracker()
        tracker.set_initial_state({"a": value, "b": value})
        assert sys.getrefcount(value) == base + 2
        tracker.set_field("a", other)
        assert (sys.getrefcount(value), sys.getrefcount(other)) == (base + 1, other_base + 1)
        del tracker
        assert (sys.getrefcount(value), sys.getrefcount(other)) == (base, other_base)

    def test_reinitialised_tracker_releases_old_values(self):
        value = object()
        base = sys.getrefcount(value)
        tracker = m.StateTracker()
        tracker.set_field("a", value)
        tracker.set_initial_state({})
        assert sys.getrefcount(value) == base
