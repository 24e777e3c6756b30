"""StateTracker under random call sequences, checked against a dict model of its fields:
dirtiness by display text, the three listings agreeing, all-or-nothing loads, stored identity."""

import sys
import weakref

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from _sablecrest_rs import StateTracker
from hostile import (
    OTHER_VALUES, PANIC, PROPERTY, SURROGATE_TEXT, TEXT, Distinct, OddStr, chars, display, outcome, prefixed,
    Walled, str_like, string_rule, unraisable_reports,
)

EXAMPLES = 120
STEPS = 25


class Token:
    """Created inside a rule, so only the tracker and the model hold it: its count is exact."""

    def __str__(self):
        return "token"


REENTRANT = {
    "get_field": (("a",), "Already mutably borrowed"),
    "is_dirty": ((), "Already mutably borrowed"),
    "dirty_fields": ((), "Already mutably borrowed"),
    "get_dirty_changes": ((), "Already mutably borrowed"),
    "get_current_dict": ((), "Already mutably borrowed"),
    "set_field": (("a", 1), "Already borrowed"),
    "set_initial_state": (({},), "Already borrowed"),
    "hydrate_snapshot": ((), "Already borrowed"),
}


class Reenter:
    """str() calls a method of the tracker that is storing it; the call must be refused."""

    def __init__(self, box, method, escape):
        self.box, self.method, self.escape = box, method, escape
        self.seen = []

    def __str__(self):
        args, _ = REENTRANT[self.method]
        try:
            getattr(self.box[0], self.method)(*args)
        except RuntimeError as exc:
            self.seen.append(str(exc))
            if self.escape:
                raise
        return "reentered"

    def expected_display(self):
        return ("<unprintable Reenter object>", RuntimeError) if self.escape else ("reentered", None)


class Mutator:
    """A value whose str() changes the dict being loaded, once."""

    def __init__(self, kind):
        self.kind, self.data = kind, None

    def __str__(self):
        if self.data is not None:
            data, self.data = self.data, None
            if self.kind == "grow":
                data[object()] = 1
            else:
                del data[next(iter(dict.keys(data)))]
        return "m"

    def expected_display(self):
        return "m", None


NAMES = st.one_of(st.sampled_from(["a", "b", "id", "x" * 16]), TEXT)
FIELDS = str_like(NAMES)
KEYS = st.tuples(NAMES, st.sampled_from([str, Distinct])).map(lambda p: p[1](p[0]))  # hashable
VALUE_SPECS = st.one_of(
    OTHER_VALUES.map(lambda v: ("plain", v)),
    st.just(("token",)),
    st.just(("list",)),
    st.tuples(st.just("reenter"), st.sampled_from(sorted(REENTRANT)), st.booleans()),
)
BAD_FIELDS = st.one_of(st.sampled_from([1, 2**63, None, b"a", ("a",)]), SURROGATE_TEXT,
                       SURROGATE_TEXT.map(OddStr))
POISONS = st.one_of(
    st.sampled_from([2, b"k", ("k",), None]).map(lambda k: ("key", k)),
    SURROGATE_TEXT.map(lambda k: ("key", Distinct(k))),
    st.sampled_from(["grow", "shrink"]).map(lambda kind: ("mutator", kind)),
)


class TrackerMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.box = [StateTracker()]
        self.t = self.box[0]
        self.model = {}  # name -> [snapshot_text, current_text, value]
        self.log = []  # the successful changes, replayed on a fresh tracker at the end
        self.tokens = []  # weak references to every Token made

    def make(self, spec):
        if spec[0] == "plain":
            return spec[1]
        if spec[0] == "token":
            token = Token()
            self.tokens.append(weakref.ref(token))
            return token
        if spec[0] == "list":
            return [1]
        return Reenter(self.box, spec[1], spec[2])

    def check_reentered(self, values):
        for v in values:
            if isinstance(v, Reenter):
                assert v.seen == [REENTRANT[v.method][1]]
                v.seen.clear()

    @rule(field=FIELDS, spec=VALUE_SPECS)
    def set_field(self, field, spec):
        value = self.make(spec)
        text, report = display(value)
        with unraisable_reports() as seen:
            assert self.t.set_field(field, value) is None
        assert [(t, id(o)) for t, o in seen] == ([(report, id(value))] if report else [])
        self.check_reentered([value])
        name = chars(field)
        if name in self.model:
            self.model[name][1:] = [text, value]
        else:
            self.model[name] = [text, text, value]
        self.log.append(("set", name, text))

    @rule(field=BAD_FIELDS, value=OTHER_VALUES)
    def set_field_refused(self, field, value):
        want = outcome(prefixed, "field", string_rule, field)
        with unraisable_reports() as seen:
            got = outcome(self.t.set_field, field, value)
        assert got == want and got[0] == "raise"
        assert seen == []  # the name is refused before the value's text is made

    @rule(field=st.one_of(FIELDS, BAD_FIELDS))
    def get_field(self, field):
        try:
            name = string_rule(field)
        except (TypeError, UnicodeEncodeError):
            assert outcome(self.t.get_field, field) == outcome(prefixed, "field", string_rule, field)
            return
        want = self.model[name][2] if name in self.model else None
        assert self.t.get_field(field) is want

    @rule(entries=st.lists(st.tuples(KEYS, VALUE_SPECS), max_size=12), poison=st.none() | POISONS,
          at=st.integers(0, 12), walled=st.booleans())
    def set_initial_state(self, entries, poison, at, walled):
        pairs = [(k, self.make(spec)) for k, spec in entries]
        if poison is not None:
            bad = ("m", Mutator(poison[1])) if poison[0] == "mutator" else (poison[1], "v")
            pairs.insert(at % (len(pairs) + 1), bad)
        data = (Walled if walled else dict)(pairs)
        walk = list(dict.items(data))
        for _, v in walk:
            if isinstance(v, Mutator):
                v.data = data

        # The model walks the same entries: a key fails before its value's text is made, a
        # mutation is seen before the next step.
        fields, reports, want = {}, [], ("ok", None)
        for k, v in walk:
            try:
                name = string_rule(k)
            except (TypeError, UnicodeEncodeError) as exc:
                want = ("raise", type(exc), str(exc))
                break
            text, report = display(v)
            if report:
                reports.append((report, id(v)))
            if isinstance(v, Mutator):
                message = "dictionary changed size during iteration"
                want = ("raise", PANIC, message)
                break
            fields[name] = [text, text, v]

        with unraisable_reports() as seen:
            got = outcome(self.t.set_initial_state, data)
        assert got == want
        assert [(t, id(o)) for t, o in seen] == reports
        if got[0] == "ok":
            self.check_reentered(v for _, v in walk)
            self.model = fields
            # Replayed with as many keys as the dict had: the table is sized by len(data).
            self.log.append(("load", [(Distinct(chars(k)), display(v)[0]) for k, v in walk]))
        else:
            for _, v in walk:
                if isinstance(v, Reenter):
                    v.seen.clear()

    @rule(data=st.sampled_from([[("a", 1)], None, (), "a"]))
    def set_initial_state_refused(self, data):
        want = ("raise", TypeError, "argument 'data': '%s' object cannot be converted to 'PyDict'"
                % type(data).__qualname__)
        assert outcome(self.t.set_initial_state, data) == want

    @precondition(lambda self: self.model)
    @rule(data=st.data(), to_snapshot=st.booleans())
    def set_field_to_a_plain_text(self, data, to_snapshot):
        # A plain str equal to the model's baseline text must make the field clean, and one
        # equal to its current text must leave it as it was: this pins the texts themselves.
        name = data.draw(st.sampled_from(sorted(self.model)))
        text = self.model[name][0 if to_snapshot else 1]
        self.t.set_field(name, str(text))
        self.model[name][1:] = [text, self.t.get_field(name)]
        self.log.append(("set", name, text))

    @rule()
    def hydrate_snapshot(self):
        assert self.t.hydrate_snapshot() is None
        for state in self.model.values():
            state[0] = state[1]
        self.log.append(("hydrate",))

    @rule()
    def mutate_stored_lists(self):
        # A value changed in place keeps the text it was stored with.
        for state in self.model.values():
            if type(state[2]) is list:
                state[2].append(2)

    @invariant()
    def listings_agree_with_model(self):
        current = self.t.get_current_dict()
        dirty = self.t.dirty_fields()
        changes = self.t.get_dirty_changes()
        want_dirty = {n for n, (snap, cur, _) in self.model.items() if snap != cur}
        assert sorted(current) == sorted(self.model)
        assert all(type(k) is str for k in list(current) + dirty + list(changes))
        assert all(current[n] is state[2] for n, state in self.model.items())
        assert dirty == [n for n in current if n in want_dirty]  # the same set, in the same order
        assert list(changes) == dirty and all(changes[n] is self.model[n][2] for n in dirty)
        assert self.t.is_dirty() is bool(want_dirty)
        for name, state in self.model.items():
            assert self.t.get_field(name) is state[2]

    @invariant()
    def one_reference_per_stored_token(self):
        states = [state for state in self.model.values() if type(state[2]) is Token]
        assert sum(ref() is not None for ref in self.tokens) == len(states)  # replaced ones released
        for state in states:
            twin = [None, None, Token()]  # held as the model holds the token, but not stored
            assert sys.getrefcount(state[2]) == sys.getrefcount(twin[2]) + 1  # + the tracker's

    def teardown(self):
        fresh = StateTracker()
        for entry in self.log:
            if entry[0] == "load":
                fresh.set_initial_state(dict(entry[1]))
            elif entry[0] == "set":
                fresh.set_field(entry[1], entry[2])
            else:
                fresh.hydrate_snapshot()
        assert list(fresh.get_current_dict()) == list(self.t.get_current_dict())
        assert fresh.dirty_fields() == self.t.dirty_fields()
        self.box.clear()
        self.t = self.model = None
        assert all(ref() is None for ref in self.tokens)


TrackerMachine.TestCase.settings = settings(max_examples=EXAMPLES, stateful_step_count=STEPS, **PROPERTY)
TestTrackerModel = TrackerMachine.TestCase
