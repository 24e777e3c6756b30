"""BatchAggregator under random call sequences, checked against a model of two sets (integers and
texts) fed by the classification rule; get_keys lists integers first, without duplicates."""

import collections.abc

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from _sablecrest_rs import BatchAggregator
from hostile import (
    INT64_MAX, INT64_MIN, OTHER_VALUES, PROPERTY, SURROGATE_TEXT, TEXT, display, int_rule, outcome, prefixed,
    str_like, string_rule, unraisable_reports,
)

EXAMPLES = 120
STEPS = 25

REENTRANT = {
    "len": "Already mutably borrowed",
    "get_keys": "Already mutably borrowed",
    "add_key": "Already borrowed",
    "clear": "Already borrowed",
}


class ReenterStr:
    """str() calls the aggregator classifying it; the call must be refused."""

    def __init__(self, box, method, escape):
        self.box, self.method, self.escape = box, method, escape
        self.seen = []

    def __str__(self):
        try:
            getattr(self.box[0], self.method)(*((1,) if self.method == "add_key" else ()))
        except RuntimeError as exc:
            self.seen.append(str(exc))
            if self.escape:
                raise
        return "reentered"

    def expected_display(self):
        return ("<unprintable ReenterStr object>", RuntimeError) if self.escape else ("reentered", None)


class ReenterIndex:
    """__index__ calls the aggregator: refused, and the error, escaping or not, is no key."""

    def __init__(self, box):
        self.box = box
        self.seen = []

    def __index__(self):
        try:
            self.box[0].len()
        except RuntimeError as exc:
            self.seen.append(str(exc))
            raise
        return 7

    def __str__(self):
        return "reentered-index"


class FailingAt(collections.abc.Sequence):
    """A sequence whose fetch at index `at` raises: the keys before it stay."""

    def __init__(self, items, at):
        self.items, self.at = items, at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.at:
            raise LookupError("fetch %d" % i)
        return self.items[i]


def classify(key):
    """("i", int) or ("s", text) and the unraisable report, by the rule's three tries in order."""
    try:
        value = int.__int__(key) if isinstance(key, int) else type(key).__index__(key)
        if INT64_MIN <= value <= INT64_MAX:
            return ("i", value), None
    except Exception:  # noqa: BLE001 - any failure of the integer try moves on
        pass
    if isinstance(key, str):
        try:
            return ("s", string_rule(key)), None
        except UnicodeEncodeError:
            pass
    text, report = display(key)
    return ("s", text), report


KEY_SPECS = st.one_of(
    OTHER_VALUES.map(lambda v: ("plain", v)),
    st.integers(-3, 3).map(lambda v: ("plain", v)),  # small pools make duplicates likely
    st.sampled_from(["1", "a", "-3"]).map(lambda v: ("plain", v)),
    st.tuples(st.just("reenter"), st.sampled_from(sorted(REENTRANT)), st.booleans()),
    st.just(("reenter-index",)),
)
CONTAINERS = st.sampled_from(["list", "tuple", "sequence", "failing"])


class BatchMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.box = [BatchAggregator()]
        self.agg = self.box[0]
        self.ints, self.strs = set(), set()
        self.log = []  # every insertion and clear, replayed on a fresh aggregator at the end

    def make(self, spec):
        if spec[0] == "plain":
            return spec[1]
        if spec[0] == "reenter":
            return ReenterStr(self.box, spec[1], spec[2])
        return ReenterIndex(self.box)

    def insert(self, key):
        """Apply one classified key to the model; True if it was new."""
        if isinstance(key, ReenterIndex):  # its refused __index__ escapes: no integer, so its text
            kind, value = "s", "reentered-index"
        else:
            (kind, value), _ = classify(key)
        target = self.ints if kind == "i" else self.strs
        self.log.append((kind, value))
        if value in target:
            return False
        target.add(value)
        return True

    def reports(self, keys):
        out = []
        for key in keys:
            if isinstance(key, ReenterIndex):
                continue
            report = classify(key)[1]
            if report:
                out.append((report, id(key)))
        return out

    def check_reentered(self, keys):
        for key in keys:
            if isinstance(key, ReenterStr):
                assert key.seen == [REENTRANT[key.method]]
            elif isinstance(key, ReenterIndex):
                assert key.seen == ["Already mutably borrowed"]

    @rule(spec=KEY_SPECS)
    def add_key(self, spec):
        key = self.make(spec)
        want_reports = self.reports([key])
        with unraisable_reports() as seen:
            got = self.agg.add_key(key)
        assert [(t, id(o)) for t, o in seen] == want_reports
        self.check_reentered([key])
        assert got is self.insert(key)

    @rule(key=st.one_of(OTHER_VALUES, st.integers(-3, 3)))
    def add_key_int(self, key):
        want = outcome(prefixed, "key", int_rule, key, INT64_MIN, INT64_MAX)
        got = outcome(self.agg.add_key_int, key)
        if want[0] == "ok":
            want = ("ok", self.insert(want[1]))
        assert got == want

    @rule(key=st.one_of(OTHER_VALUES, str_like(st.sampled_from(["1", "a", "-3"])), SURROGATE_TEXT))
    def add_key_str(self, key):
        want = outcome(prefixed, "key", string_rule, key)
        got = outcome(self.agg.add_key_str, key)
        if want[0] == "ok":
            want = ("ok", self.insert(want[1]))
        assert got == want

    @rule(specs=st.lists(KEY_SPECS, max_size=10), container=CONTAINERS, at=st.integers(0, 10))
    def add_keys_batch(self, specs, container, at):
        keys = [self.make(spec) for spec in specs]
        if container == "failing":
            at %= len(keys) + 1
            arg, taken = FailingAt(keys, at), keys[:at]
        else:
            arg, taken = {"list": list, "tuple": tuple, "sequence": lambda k: FailingAt(k, -1)}[container](keys), keys
        want_reports = self.reports(taken)
        with unraisable_reports() as seen:
            got = outcome(self.agg.add_keys_batch, arg)
        assert [(t, id(o)) for t, o in seen] == want_reports
        self.check_reentered(taken)
        new = sum(self.insert(key) for key in taken)
        if container == "failing" and at < len(keys):
            assert got == ("raise", LookupError, "fetch %d" % at)
        else:
            assert got == ("ok", new)

    @rule(arg=st.sampled_from([{1, 2}, {1: 2}, iter([1]), 5, None]))
    def add_keys_batch_refused(self, arg):
        message = "argument 'keys': '%s' object cannot be converted to 'Sequence'" % type(arg).__qualname__
        assert outcome(self.agg.add_keys_batch, arg) == ("raise", TypeError, message)

    @rule(text=st.one_of(TEXT, SURROGATE_TEXT))
    def add_keys_batch_of_a_str(self, text):
        # A str is a sequence of one-character strs: each is classified as a key of its own.
        got = self.agg.add_keys_batch(text)
        assert got == sum(self.insert(c) for c in text)

    @rule()
    def clear(self):
        assert self.agg.clear() is None
        self.ints.clear()
        self.strs.clear()
        self.log.append(("clear",))

    @invariant()
    def reading_agrees_with_model(self):
        keys = self.agg.get_keys()
        n = len(self.ints)
        assert all(type(k) is int for k in keys[:n]) and all(type(k) is str for k in keys[n:])
        assert len(keys) == n + len(self.strs)
        assert set(keys[:n]) == self.ints and set(keys[n:]) == self.strs
        assert self.agg.len() == len(keys)
        assert self.agg.is_empty() is (not keys)
        assert self.agg.get_keys() == keys and self.agg.get_keys() is not keys

    def teardown(self):
        fresh = BatchAggregator()
        for entry in self.log:
            if entry[0] == "clear":
                fresh.clear()
            elif entry[0] == "i":
                fresh.add_key_int(entry[1])
            else:
                fresh.add_key_str(entry[1])
        assert fresh.get_keys() == self.agg.get_keys()  # the order depends on the history only
        self.box.clear()


BatchMachine.TestCase.settings = settings(max_examples=EXAMPLES, stateful_step_count=STEPS, **PROPERTY)
TestBatchModel = BatchMachine.TestCase
