"""BatchAggregator: de-duplicated integer and string keys, classified, batched and read back."""

import collections.abc
import sys

import pytest

from _sablecrest_rs import BatchAggregator


def typed(keys):
    """The keys with their exact types, so that 1, True and "1" cannot pass for each other."""
    return [(type(k), k) for k in keys]


def as_set(agg):
    """The aggregator's keys as a set of (type, value), after checking integers come first."""
    keys = agg.get_keys()
    kinds = [type(k) for k in keys]
    assert kinds == sorted(kinds, key=lambda t: t is str), "integers must precede strings"
    assert set(kinds) <= {int, str}
    assert len(set(typed(keys))) == len(keys) == agg.len()
    return set(typed(keys))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __str__(self):
        return "Index(%r)" % (self.value,)


class BadIndex:
    def __index__(self):
        raise ValueError("no index")

    def __str__(self):
        return "bad-index"


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class NamelessMeta(type):
    @property
    def __name__(cls):
        raise AttributeError("no name")


class Nameless(metaclass=NamelessMeta):
    def __str__(self):
        raise ValueError("no text")


class NumberNameMeta(type):
    __name__ = property(lambda cls: 5)


class NumberName(metaclass=NumberNameMeta):
    def __str__(self):
        raise ValueError("no text")


class Text(str):
    def __str__(self):
        return "WRONG"


class Big(int):
    pass


class Registered:
    """Not derived from Sequence; only registered with it."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


collections.abc.Sequence.register(Registered)


class Derived(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Unregistered:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return [1, 2][i]


# One key given to add_key, and (type, value) of what get_keys() returns for it.
CLASSIFIED = [
    pytest.param(1, (int, 1), id="int"),
    pytest.param("1", (str, "1"), id="numeric-str"),
    pytest.param(True, (int, 1), id="true"),
    pytest.param(False, (int, 0), id="false"),
    pytest.param(2**63 - 1, (int, 2**63 - 1), id="int64-max"),
    pytest.param(-(2**63), (int, -(2**63)), id="int64-min"),
    pytest.param(2**63, (str, "9223372036854775808"), id="int64-max+1"),
    pytest.param(-(2**63) - 1, (str, "-9223372036854775809"), id="int64-min-1"),
    pytest.param(10**30, (str, "1" + "0" * 30), id="huge"),
    pytest.param(Big(7), (int, 7), id="int-subclass"),
    pytest.param(3.5, (str, "3.5"), id="float"),
    pytest.param(2.0, (str, "2.0"), id="integral-float"),
    pytest.param(None, (str, "None"), id="none"),
    pytest.param(b"ab", (str, "b'ab'"), id="bytes"),
    pytest.param((1, "a"), (str, "(1, 'a')"), id="tuple"),
    pytest.param("", (str, ""), id="empty-str"),
    pytest.param("caf\u00e9\U0001f600", (str, "caf\u00e9\U0001f600"), id="non-ascii"),
    pytest.param("a\ud800b", (str, "a\ufffd\ufffd\ufffdb"), id="lone-surrogate"),
    pytest.param("\udcff", (str, "\ufffd\ufffd\ufffd"), id="low-surrogate"),
    pytest.param("a\0b", (str, "a\0b"), id="nul"),
    pytest.param(Text("k"), (str, "k"), id="str-subclass-own-chars"),
    pytest.param(Index(42), (int, 42), id="index"),
    pytest.param(Index(2**64), (str, "Index(18446744073709551616)"), id="index-overflow"),
    pytest.param(BadIndex(), (str, "bad-index"), id="index-raises"),
]


class TestClassification:
    @pytest.mark.parametrize("key, stored", CLASSIFIED)
    def test_add_key(self, key, stored):
        agg = BatchAggregator()
        assert agg.add_key(key) is True
        assert typed(agg.get_keys()) == [stored]
        assert agg.add_key(key) is False
        assert agg.len() == 1

    @pytest.mark.parametrize("key, stored", CLASSIFIED)
    def test_batch_classifies_alike(self, key, stored):
        agg = BatchAggregator()
        assert agg.add_keys_batch([key, key]) == 1
        assert typed(agg.get_keys()) == [stored]

    @pytest.mark.parametrize(
        "first, second, second_new, length",
        [
            pytest.param(("add_key", 1), ("add_key", "1"), True, 2, id="1-vs-str"),
            pytest.param(("add_key", 1), ("add_key", True), False, 1, id="1-vs-True"),
            pytest.param(("add_key_int", 5), ("add_key", 5), False, 1, id="int-then-key"),
            pytest.param(("add_key_str", "5"), ("add_key", "5"), False, 1, id="str-then-key"),
            pytest.param(("add_key_str", "5"), ("add_key_int", 5), True, 2, id="str-then-int"),
            pytest.param(("add_key", 3.5), ("add_key_str", "3.5"), False, 1, id="float-text"),
            pytest.param(("add_key", None), ("add_key", "None"), False, 1, id="none-text"),
            pytest.param(("add_key", 2**63), ("add_key_str", "9223372036854775808"), False, 1, id="overflow-text"),
            pytest.param(("add_key", "a\ud800"), ("add_key_str", "a\ufffd\ufffd\ufffd"), False, 1, id="surrogate"),
            pytest.param(("add_key", Unprintable()), ("add_key_str", "<unprintable Unprintable object>"), False, 1,
                         id="unprintable-text"),
        ],
    )
    def test_pairs(self, first, second, second_new, length, unraisable):
        agg = BatchAggregator()
        assert getattr(agg, first[0])(first[1]) is True
        assert getattr(agg, second[0])(second[1]) is second_new
        assert agg.len() == length

    def test_numpy_integers(self):
        np = pytest.importorskip("numpy")
        agg = BatchAggregator()
        keys = [np.int64(7), np.int32(-3), np.uint8(200), np.uint64(2**64 - 1), np.float64(2.5)]
        assert agg.add_keys_batch(keys) == 5
        assert as_set(agg) == {(int, 7), (int, -3), (int, 200), (str, "18446744073709551615"), (str, "2.5")}
        assert agg.add_key(7) is False
        assert agg.add_key_int(np.int64(-3)) is False


class TestUnprintable:
    @pytest.mark.parametrize(
        "cls, text",
        [
            pytest.param(Unprintable, "<unprintable Unprintable object>", id="named"),
            pytest.param(Nameless, "<unprintable object>", id="name-raises"),
            pytest.param(NumberName, "<unprintable object>", id="name-not-str"),
        ],
    )
    def test_add_key(self, cls, text, unraisable):
        key = cls()
        agg = BatchAggregator()
        assert agg.add_key(key) is True
        assert agg.get_keys() == [text]
        # One report, for the failing str(), naming the key; the name failure is silent.
        assert [(t, str(v), o) for t, v, o in unraisable] == [(ValueError, "no text", key)]

    def test_batch_goes_on(self, unraisable):
        agg = BatchAggregator()
        bad = Unprintable()
        assert agg.add_keys_batch([1, bad, "x", bad]) == 3
        assert as_set(agg) == {(int, 1), (str, "x"), (str, "<unprintable Unprintable object>")}
        assert [o for _, _, o in unraisable] == [bad, bad]


class TestSingleKind:
    @pytest.mark.parametrize(
        "method, key, exc, message",
        [
            pytest.param("add_key_int", 3.5, TypeError,
                         "argument 'key': 'float' object cannot be interpreted as an integer", id="int-float"),
            pytest.param("add_key_int", "5", TypeError,
                         "argument 'key': 'str' object cannot be interpreted as an integer", id="int-str"),
            pytest.param("add_key_int", None, TypeError,
                         "argument 'key': 'NoneType' object cannot be interpreted as an integer", id="int-none"),
            pytest.param("add_key_int", 2**63, OverflowError, "int too big to convert", id="int-over"),
            pytest.param("add_key_int", -(2**63) - 1, OverflowError, "int too big to convert", id="int-under"),
            pytest.param("add_key_int", Index(2**63), OverflowError, "int too big to convert", id="index-over"),
            pytest.param("add_key_int", BadIndex(), ValueError, "no index", id="index-raises"),
            pytest.param("add_key_str", 5, TypeError,
                         "argument 'key': 'int' object cannot be converted to 'PyString'", id="str-int"),
            pytest.param("add_key_str", b"a", TypeError,
                         "argument 'key': 'bytes' object cannot be converted to 'PyString'", id="str-bytes"),
            pytest.param("add_key_str", None, TypeError,
                         "argument 'key': 'NoneType' object cannot be converted to 'PyString'", id="str-none"),
            pytest.param("add_key_str", "a\ud800", UnicodeEncodeError, None, id="str-surrogate"),
        ],
    )
    def test_refused_without_change(self, method, key, exc, message):
        agg = BatchAggregator()
        agg.add_keys_batch([1, "a", 2])
        before = agg.get_keys()
        with pytest.raises(exc) as info:
            getattr(agg, method)(key)
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message
        else:
            assert info.value.reason == "surrogates not allowed"
        assert agg.get_keys() == before
        assert agg.len() == 3

    @pytest.mark.parametrize(
        "method, key, stored",
        [
            pytest.param("add_key_int", True, (int, 1), id="int-bool"),
            pytest.param("add_key_int", Big(-4), (int, -4), id="int-subclass"),
            pytest.param("add_key_int", Index(9), (int, 9), id="int-index"),
            pytest.param("add_key_int", 2**63 - 1, (int, 2**63 - 1), id="int-max"),
            pytest.param("add_key_str", Text("own"), (str, "own"), id="str-subclass"),
            pytest.param("add_key_str", "", (str, ""), id="str-empty"),
        ],
    )
    def test_accepted(self, method, key, stored):
        agg = BatchAggregator()
        assert getattr(agg, method)(key) is True
        assert getattr(agg, method)(key) is False
        assert typed(agg.get_keys()) == [stored]

    def test_keywords(self):
        agg = BatchAggregator()
        assert agg.add_key_int(key=1) and agg.add_key_str(key="a") and agg.add_key(key=2.5)
        assert agg.add_keys_batch(keys=[1, "a", "2.5", 3]) == 1


class TestBatch:
    @pytest.mark.parametrize(
        "keys, count, stored",
        [
            pytest.param([1, 1, "a", "a", 2], 3, {(int, 1), (int, 2), (str, "a")}, id="list"),
            pytest.param((1, "1", True, 1.0), 3, {(int, 1), (str, "1"), (str, "1.0")}, id="tuple"),
            pytest.param("abca", 3, {(str, "a"), (str, "b"), (str, "c")}, id="str"),
            pytest.param(b"aba", 2, {(int, 97), (int, 98)}, id="bytes"),
            pytest.param(bytearray(b"ab"), 2, {(int, 97), (int, 98)}, id="bytearray"),
            pytest.param(memoryview(b"ab"), 2, {(int, 97), (int, 98)}, id="memoryview"),
            pytest.param(range(3), 3, {(int, 0), (int, 1), (int, 2)}, id="range"),
            pytest.param(range(2**63 - 2, 2**63 + 1), 3,
                         {(int, 2**63 - 2), (int, 2**63 - 1), (str, "9223372036854775808")}, id="range-overflow"),
            pytest.param(Registered([5, "x", 5]), 2, {(int, 5), (str, "x")}, id="registered"),
            pytest.param(Derived(["x", None]), 2, {(str, "x"), (str, "None")}, id="derived"),
            pytest.param(type("L", (list,), {})([1, 2]), 2, {(int, 1), (int, 2)}, id="list-subclass"),
            pytest.param(type("T", (tuple,), {})((1, 2)), 2, {(int, 1), (int, 2)}, id="tuple-subclass"),
            pytest.param([], 0, set(), id="empty-list"),
            pytest.param("", 0, set(), id="empty-str"),
        ],
    )
    def test_counts_and_keys(self, keys, count, stored):
        agg = BatchAggregator()
        assert agg.add_keys_batch(keys) == count
        assert as_set(agg) == stored
        assert agg.add_keys_batch(keys) == 0
        assert as_set(agg) == stored

    def test_count_excludes_keys_already_held(self):
        agg = BatchAggregator()
        agg.add_key(1)
        agg.add_key_str("a")
        assert agg.add_keys_batch([1, "a", "b", 2, 2]) == 2
        assert agg.len() == 4

    @pytest.mark.parametrize(
        "keys, name",
        [
            pytest.param({1, 2}, "set", id="set"),
            pytest.param(frozenset([1]), "frozenset", id="frozenset"),
            pytest.param({1: 2}, "dict", id="dict"),
            pytest.param((k for k in [1]), "generator", id="generator"),
            pytest.param(iter([1]), "list_iterator", id="iterator"),
            pytest.param({1: 2}.keys(), "dict_keys", id="dict-keys"),
            pytest.param(5, "int", id="int"),
            pytest.param(None, "NoneType", id="none"),
            pytest.param(Unregistered(), "Unregistered", id="duck-typed"),
        ],
    )
    def test_not_a_sequence(self, keys, name):
        agg = BatchAggregator()
        with pytest.raises(TypeError) as info:
            agg.add_keys_batch(keys)
        assert str(info.value) == "argument 'keys': '%s' object cannot be converted to 'Sequence'" % name
        assert info.value.__suppress_context__ and info.value.__cause__ is None
        assert agg.is_empty()

    def test_refusal_names_the_qualified_type(self):
        class Local:
            pass

        with pytest.raises(TypeError) as info:
            BatchAggregator().add_keys_batch(Local())
        assert str(info.value) == (
            "argument 'keys': 'TestBatch.test_refusal_names_the_qualified_type.<locals>.Local' "
            "object cannot be converted to 'Sequence'"
        )


class FailingAt(collections.abc.Sequence):
    def __init__(self, items, fail_at, error):
        self.items, self.fail_at, self.error = items, fail_at, error
        self.fetched = []

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.fetched.append(i)
        if i == self.fail_at:
            raise self.error
        return self.items[i]


class BadLen(collections.abc.Sequence):
    def __len__(self):
        raise KeyError("length")

    def __getitem__(self, i):
        raise AssertionError("fetched before the length")


class Mutator:
    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "mutator"


class TestPartialBatches:
    def test_failing_fetch_keeps_earlier_keys(self):
        err = LookupError("index 2")
        seq = FailingAt([10, "a", 30, 40], 2, err)
        agg = BatchAggregator()
        with pytest.raises(LookupError) as info:
            agg.add_keys_batch(seq)
        assert info.value is err
        assert seq.fetched == [0, 1, 2]
        assert as_set(agg) == {(int, 10), (str, "a")}
        assert agg.add_keys_batch([10, 40]) == 1

    def test_failing_type_error_is_not_prefixed(self):
        err = TypeError("element refused")
        with pytest.raises(TypeError) as info:
            BatchAggregator().add_keys_batch(FailingAt([1, 2], 0, err))
        assert info.value is err
        assert str(info.value) == "element refused"

    def test_failing_length(self):
        agg = BatchAggregator()
        with pytest.raises(KeyError) as info:
            agg.add_keys_batch(BadLen())
        assert info.value.args == ("length",)
        assert agg.is_empty()

    def test_registered_without_length(self):
        class NoLen:
            pass

        collections.abc.Sequence.register(NoLen)
        with pytest.raises(TypeError) as info:
            BatchAggregator().add_keys_batch(NoLen())
        assert not str(info.value).startswith("argument")

    def test_growing_sequence_is_read_to_its_starting_length(self):
        keys = [1, 2]
        keys.insert(1, Mutator(lambda: keys.extend([7, 8, 9])))
        agg = BatchAggregator()
        assert agg.add_keys_batch(keys) == 3
        assert as_set(agg) == {(int, 1), (int, 2), (str, "mutator")}
        assert len(keys) == 6

    def test_shrinking_sequence_fails_at_the_next_fetch(self):
        keys = [1, 2, 3, 4]
        keys.insert(1, Mutator(lambda: keys.clear()))
        agg = BatchAggregator()
        with pytest.raises(IndexError) as info:
            agg.add_keys_batch(keys)
        assert str(info.value) == "list index out of range"
        assert as_set(agg) == {(int, 1), (str, "mutator")}


class TestReentrancy:
    def probe(self, agg, calls):
        seen = []

        def action():
            for name, args in calls:
                try:
                    seen.append((name, getattr(agg, name)(*args)))
                except RuntimeError as e:
                    seen.append((name, str(e)))

        return Mutator(action), seen

    CALLS = [
        ("len", ()), ("get_keys", ()), ("is_empty", ()),
        ("add_key", (1,)), ("add_key_int", (2,)), ("add_key_str", ("s",)), ("add_keys_batch", ([3],)),
        ("clear", ()),
    ]
    WANT = [
        ("len", "Already mutably borrowed"), ("get_keys", "Already mutably borrowed"),
        ("is_empty", "Already mutably borrowed"),
        ("add_key", "Already borrowed"), ("add_key_int", "Already borrowed"), ("add_key_str", "Already borrowed"),
        ("add_keys_batch", "Already borrowed"), ("clear", "Already borrowed"),
    ]

    def test_add_key(self):
        agg = BatchAggregator()
        agg.add_key(5)
        key, seen = self.probe(agg, self.CALLS)
        assert agg.add_key(key) is True
        assert seen == self.WANT
        assert as_set(agg) == {(int, 5), (str, "mutator")}

    def test_batch_goes_on(self):
        agg = BatchAggregator()
        key, seen = self.probe(agg, self.CALLS)
        assert agg.add_keys_batch([4, key, 6, "t"]) == 4
        assert seen == self.WANT
        assert as_set(agg) == {(int, 4), (int, 6), (str, "mutator"), (str, "t")}
        # Access is released: the instance takes calls again.
        assert agg.add_key(1) is True and agg.len() == 5

    def test_escaping_refusal_makes_the_key_unprintable(self, unraisable):
        agg = BatchAggregator()

        class Reenter:
            def __str__(self):
                agg.add_key(1)
                return "never"

        key = Reenter()
        assert agg.add_key(key) is True
        assert agg.get_keys() == ["<unprintable Reenter object>"]
        assert [(t, str(v), o) for t, v, o in unraisable] == [(RuntimeError, "Already borrowed", key)]

    def test_index_reentry(self):
        agg = BatchAggregator()
        seen = []

        class Idx:
            def __index__(self):
                try:
                    agg.len()
                except RuntimeError as e:
                    seen.append(str(e))
                return 11

        assert agg.add_key_int(Idx()) is True
        assert agg.add_key(Idx()) is False
        assert seen == ["Already mutably borrowed"] * 2
        assert agg.get_keys() == [11]


class TestReading:
    def test_new_aggregator(self):
        agg = BatchAggregator()
        assert (agg.is_empty(), agg.len(), agg.get_keys()) == (True, 0, [])

    def test_integers_precede_strings(self):
        agg = BatchAggregator()
        mixed = []
        for i in range(200):
            mixed += ["s%d" % i, i * 7919 - 500, "%d" % i]
        assert agg.add_keys_batch(mixed) == 600
        keys = agg.get_keys()
        assert [type(k) for k in keys] == [int] * 200 + [str] * 400
        assert sorted(keys[:200]) == sorted(i * 7919 - 500 for i in range(200))
        assert sorted(keys[200:]) == sorted(k for k in mixed if type(k) is str)
        assert agg.is_empty() is False

    def test_get_keys_returns_a_new_list(self):
        agg = BatchAggregator()
        agg.add_keys_batch([1, "a"])
        first = agg.get_keys()
        first.append(99)
        first[0] = "changed"
        second = agg.get_keys()
        assert second is not first
        assert typed(second) == [(int, 1), (str, "a")]

    def test_clear_keeps_working(self):
        agg = BatchAggregator()
        agg.clear()
        for _ in range(3):
            assert agg.add_keys_batch(list(range(1000)) + [str(i) for i in range(1000)]) == 2000
            assert agg.clear() is None
            assert (agg.is_empty(), agg.len(), agg.get_keys()) == (True, 0, [])
            assert agg.add_key(1) is True and agg.add_key_str("1") is True
            assert typed(agg.get_keys()) == [(int, 1), (str, "1")]
            agg.clear()

    def test_builtin_len_is_refused(self):
        agg = BatchAggregator()
        agg.add_key(1)
        with pytest.raises(TypeError) as info:
            len(agg)
        assert str(info.value) == "object of type 'builtins.BatchAggregator' has no len()"
        assert agg.len() == 1


# A history of additions and clears; the order of get_keys() must depend on nothing else.
HISTORY = """
from _sablecrest_rs import BatchAggregator
agg = BatchAggregator()
agg.add_keys_batch(list(range(0, 3000, 7)) + ["k%d" % i for i in range(500)] + [-(2**63), 2**63 - 1])
agg.clear()
agg.add_keys_batch([i * 0x9E3779B97F4A7C15 % 2**63 for i in range(400)] + ["s%d" % i for i in range(300)])
for i in range(50):
    agg.add_key(str(i) + "x")
    agg.add_key_int(-i)
print(repr(agg.get_keys()))
"""


class TestDeterminism:
    def test_same_history_same_order_across_processes(self, run_subprocess, monkeypatch):
        outputs = []
        for seed in ("0", "12345", "random"):
            # The string hash of the interpreter varies with the seed; the aggregator's must not.
            monkeypatch.setenv("PYTHONHASHSEED", seed)
            rc, out, err = run_subprocess(HISTORY)
            assert rc == 0, err
            outputs.append(out)
        assert outputs[0] == outputs[1] == outputs[2]
        namespace = {}
        exec(compile(HISTORY.replace("print(repr(", "result = (("), "<history>", "exec"), namespace)
        assert repr(namespace["result"]) + "\n" == outputs[0]
        keys = namespace["result"]
        assert len(keys) == 400 + 300 + 100 - 1  # 0 is added twice


class TestLeaks:
    def test_every_method_flat(self, leak_check):
        reports = []
        old_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: reports.__setitem__(slice(None), [u.exc_type])

        # Built at run time so that no other code shares these objects' reference counts.
        text = "".join(("leak", "-key"))
        big = 2**63 + 12345
        flt = 1234.5
        bad = Unprintable()
        batch = [1, text, big, flt, bad, None, "a\ud800"]

        class Failing(collections.abc.Sequence):
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i == 2:
                    raise LookupError("fetch")
                return (1, "x")[i]

        failing = Failing()
        objects = [text, big, flt, bad, batch, failing]
        agg = BatchAggregator()

        def run():
            fresh = BatchAggregator()
            for a in (agg, fresh):
                a.add_key_int(7)
                a.add_key_str(text)
                a.add_key(big)
                a.add_key(flt)
                a.add_key(bad)
                a.add_keys_batch(batch)
                a.get_keys()
                a.len()
                a.is_empty()
            for call, exc in (
                (lambda: agg.add_key_int(big), OverflowError),
                (lambda: agg.add_key_int(flt), TypeError),
                (lambda: agg.add_key_str(big), TypeError),
                (lambda: agg.add_key_str("\ud800"), UnicodeEncodeError),
                (lambda: agg.add_keys_batch({1}), TypeError),
                (lambda: agg.add_keys_batch(failing), LookupError),
            ):
                try:
                    call()
                except exc:
                    pass
            agg.clear()

        try:
            counts = [sys.getrefcount(o) for o in objects]
            leak_check(run, n=3000)
            assert [sys.getrefcount(o) for o in objects] == counts
        finally:
            sys.unraisablehook = old_hook
        assert reports == [ValueError]
