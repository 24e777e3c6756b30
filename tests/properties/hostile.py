"""Hostile values, the display-rule model and the shared Hypothesis settings of the property tests.

Every class here misbehaves in one documented way; the models in the test files predict what the
module must make of it without calling into the module.
"""

import contextlib
import operator
import sys

from hypothesis import strategies as st

import _sablecrest_rs as m

# Reproducible in CI: a fixed seed per test and no example database between runs.
PROPERTY = dict(deadline=None, derandomize=True, database=None)

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
U64_MAX = 2**64 - 1


def panic_type():
    """The module's PanicException, met only as the type of a raised exception."""
    try:
        m.StateTracker.benchmark_pure_rust(2**58)
    except BaseException as exc:  # noqa: B036 - PanicException is not an Exception
        return type(exc)
    raise AssertionError("capacity overflow was not raised")


PANIC = panic_type()


def outcome(fn, *args):
    """("ok", result) or ("raise", type, message): the comparable result of one call."""
    try:
        return ("ok", fn(*args))
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        return ("raise", type(exc), str(exc))


@contextlib.contextmanager
def unraisable_reports():
    """Collect (exc_type, object) pairs handed to sys.unraisablehook inside the block."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, u.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = old


# ---- the display rule, modelled ---------------------------------------------------------------

def _utf8_lenient(text):
    # A lone surrogate is written as three bytes by "surrogatepass"; each byte is one maximal
    # ill-formed subsequence on the way back, so it becomes three U+FFFD.
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def display(value):
    """(text, exception type reported as unraisable or None) for str() of value."""
    expected = getattr(type(value), "expected_display", None)
    if expected is not None:  # values whose str() has side effects say what it will give
        return expected(value)
    try:
        text = str(value)
    except Exception as exc:  # noqa: BLE001 - any failure of str() takes the fallback
        return unprintable(value), type(exc)
    return _utf8_lenient(text), None


def unprintable(value):
    return "<unprintable %s object>" % _utf8_lenient(type(value).__name__)


def chars(text):
    """The characters of a str or str subclass, whatever its __str__ says."""
    return str.__str__(text)


def conversion_message(obj, target):
    return "'%s' object cannot be converted to '%s'" % (type(obj).__qualname__, target)


def string_rule(obj):
    """Native text of obj by the string rule, raising what the rule raises (unprefixed)."""
    if not isinstance(obj, str):
        raise TypeError(conversion_message(obj, "PyString"))
    str.encode(obj, "utf-8")  # the interpreter's own UnicodeEncodeError for a lone surrogate
    return chars(obj)


def int_rule(obj, low, high):
    """Value of obj by the signed or unsigned integer rule, with the interpreter's errors."""
    value = int.__int__(obj) if isinstance(obj, int) else operator.index(obj)
    if value < low:
        raise OverflowError("can't convert negative int to unsigned" if low == 0 else "int too big to convert")
    if value > high:
        raise OverflowError("int too big to convert")
    return value


def prefixed(name, fn, *args):
    """Apply a conversion rule as a parameter does: only an exact TypeError gets the name."""
    try:
        return fn(*args)
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        raise TypeError("argument '%s': %s" % (name, exc)) from None


# ---- hostile classes --------------------------------------------------------------------------

class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class AlsoUnprintable:
    def __str__(self):
        raise KeyError("no text either")


class NonStrStr:
    """str() fails with the interpreter's TypeError: __str__ returned non-string."""

    def __str__(self):
        return 5


class SurrogateStr:
    def __str__(self):
        return "x\ud800y\udfff"


class OddStr(str):
    """A str subclass whose __str__, __eq__ and __hash__ must never be consulted."""

    def __str__(self):
        raise AssertionError("__str__ of a str argument consulted")

    def __eq__(self, other):
        raise AssertionError("__eq__ of a str argument consulted")

    def __hash__(self):
        raise AssertionError("__hash__ of a str argument consulted")


class Distinct(str):
    """A str subclass usable as a dict key: equal texts stay distinct keys; __str__ lies."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)

    def __str__(self):
        return "not the characters"


class Opaque:
    """Comparing, hashing or indexing it raises; only str() works."""

    def __eq__(self, other):
        raise RuntimeError("__eq__ consulted")

    def __hash__(self):
        raise RuntimeError("__hash__ consulted")

    def __index__(self):
        raise ValueError("__index__ consulted")

    def __str__(self):
        return "opaque"


class Walled(dict):
    """A dict subclass whose Python-level reading methods must not be consulted: the module reads
    its storage."""

    def _refuse(self, *args):
        raise AssertionError("dict subclass method consulted")

    __iter__ = __getitem__ = __contains__ = __missing__ = keys = items = values = get = _refuse


class Index:
    """An integer-like object by the index protocol."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __str__(self):
        return "Index(%d)" % self.value


class LyingInt(int):
    """An int subclass: the integer rules read its value, never __index__ or __str__."""

    def __index__(self):
        raise AssertionError("__index__ of an int consulted")

    def __str__(self):
        return "lying"


class BadIndex:
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __index__(self):
        raise self.exc_type("bad index")

    def __str__(self):
        return "BadIndex"


def _int_boundaries():
    near = [INT64_MIN, INT64_MAX, 2**64, U64_MAX, 0]
    return st.sampled_from([b + d for b in near for d in (-1, 0, 1)])


INT_BOUNDARIES = _int_boundaries()
# Text with lone surrogates, long texts (past the inline 15 bytes and past 1000 bytes) and
# non-ASCII characters of every UTF-8 length.
TEXT = st.one_of(
    st.text(max_size=8),
    st.sampled_from(["", "a", "id", "\u00e9", "e\u0301", "\u540d", "\U0001f600", "x" * 15, "x" * 16,
                     "long_" * 4, "y" * 1001]),
)
SURROGATE_TEXT = st.builds(lambda a, s, b: a + s + b, st.text(max_size=3),
                           st.sampled_from(["\ud800", "\udfff", "\udc80"]), st.text(max_size=3))


def mostly(good, *bad):
    """good about nine times in ten, else one of bad, so that most calls get far enough to test
    something. one_of weighs its branches evenly whatever they hold, and small integers lean on
    their end points, so the choice is made away from them."""
    return st.tuples(st.integers(1, 99), good, st.one_of(*bad)).map(lambda t: t[2] if t[0] % 10 == 0 else t[1])


def str_like(text_strategy):
    """A str argument as str, OddStr or Distinct: all must be read by their characters."""
    return st.tuples(text_strategy, st.sampled_from([str, OddStr, Distinct])).map(lambda p: p[1](p[0]))


OTHER_VALUES = st.one_of(
    INT_BOUNDARIES,
    st.integers(),
    st.sampled_from([None, True, False, 1.0, 1.5, float("nan"), -0.0, b"ab", (1, "a"), "1", ""]),
    TEXT,
    SURROGATE_TEXT,
    st.builds(Unprintable), st.builds(AlsoUnprintable), st.builds(NonStrStr), st.builds(SurrogateStr),
    st.builds(Opaque), st.builds(Index, INT_BOUNDARIES), st.builds(LyingInt, INT_BOUNDARIES),
    st.builds(BadIndex, st.sampled_from([TypeError, ValueError, OverflowError])),
    str_like(TEXT),  # OddStr takes the unprintable fallback: str() of it raises
)
