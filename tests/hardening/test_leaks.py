"""Leak loops over the paths the per-class suites do not loop: re-entrant calls refused by the
borrow counter, resumed panics, binding and conversion errors of every method, unraisable
reports. Each row runs thousands of times with sys.getallocatedblocks() flat and the reference
counts of every argument and value object unchanged."""

import collections.abc
import sys

import pytest

import _sablecrest_rs as m


def catch(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        e.__traceback__ = None
        return e
    raise AssertionError("no exception from %r" % (fn,))


PANIC = type(catch(m.StateTracker.benchmark_pure_rust, 2**58))


def expect(exc_type, text, fn, *args, **kwargs):
    e = catch(fn, *args, **kwargs)
    assert type(e) is exc_type and (text is None or str(e) == text), repr(e)


class Hook:
    """Runs `action` from inside the module: as __str__ (display rule) or __index__."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "hooked"

    def __index__(self):
        self.action()
        return 3


def raise_panic():
    raise PANIC("resumed through Python")


class Seq(collections.abc.Sequence):
    """A registered Sequence that is neither list nor tuple; item 2 raises."""

    def __len__(self):
        return 4

    def __getitem__(self, i):
        if i == 2:
            raise LookupError("item")
        return ("k1", 11)[i % 2]


class BadIter:
    """Passes the sequence check; its iterator fails half way."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            raise KeyError("iteration")
        return "col"


def make_objects():
    """Argument and value objects of our own (no caches or interning share their counts)."""
    o = {
        "text": "".join(("leak", "-text")),
        "name": "".join(("field", "_name")),
        "big": 2**70 + 1,
        "value": object(),
        "seq": Seq(),
        "bad_iter": BadIter(),
        "columns": ["".join(("c", str(i))) for i in range(5)],
        "model": {"".join(("col", "_a")): {"data_type": "".join(("VARCHAR", "(9)"))}},
    }
    o["tracker"], o["agg"] = m.StateTracker(), m.BatchAggregator()
    o["q"], o["engine"] = m.QueryCompiler(), m.SchemaDiffEngine()
    o["tracker"].set_initial_state({o["name"]: o["value"]})
    return o


def reentrant_value(o, call, exc_type, text):
    """A value whose str(), run while the tracker is held exclusively, calls it again."""
    return Hook(lambda: expect(exc_type, text, call, o["tracker"]))


BUSY_SHARED, BUSY_EXCLUSIVE = "Already mutably borrowed", "Already borrowed"
SHARED_TRACKER_CALLS = [lambda t: t.get_field("x"), lambda t: t.is_dirty(), lambda t: t.dirty_fields(),
                        lambda t: t.get_dirty_changes(), lambda t: t.get_current_dict()]


def tracker_all_refused(o):
    def inside():
        for call in SHARED_TRACKER_CALLS:
            expect(RuntimeError, BUSY_SHARED, call, o["tracker"])
        expect(RuntimeError, BUSY_EXCLUSIVE, o["tracker"].hydrate_snapshot)
        expect(RuntimeError, BUSY_EXCLUSIVE, o["tracker"].set_initial_state, {})
    o["tracker"].set_field(o["name"], Hook(inside))
    o["tracker"].set_field(o["name"], o["value"])


def agg_all_refused(o):
    a = o["agg"]

    def inside():
        for call in (a.get_keys, a.len, a.is_empty):
            expect(RuntimeError, BUSY_SHARED, call)
        for call, arg in ((a.add_key_int, 1), (a.add_key_str, "s"), (a.add_key, 1), (a.add_keys_batch, [1])):
            expect(RuntimeError, BUSY_EXCLUSIVE, call, arg)
        expect(RuntimeError, BUSY_EXCLUSIVE, a.clear)
    assert a.add_key(Hook(inside)) in (True, False)
    a.clear()


def diff_reentrant(o):
    # diff_table holds its engine shared: a nested diff_table from a key comparison succeeds.
    inner = []

    class Key(str):
        def __eq__(self, other):
            inner.append(o["engine"].diff_table("t", {}, {}, ""))
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    key = Key("data_type")
    o["engine"].diff_table(o["text"], {"a": {key: "INT"}}, {"b": "T"}, "")
    assert inner and inner[0] == (["CREATE TABLE IF NOT EXISTS t ();"], ["DROP TABLE IF EXISTS t;"])


ROWS = [
    # --- QueryCompiler ---
    ("QueryCompiler-new-arguments", lambda o: expect(
        TypeError, "QueryCompiler.__new__() takes 0 positional arguments but 1 was given", m.QueryCompiler, 1)),
    ("get_placeholder-index-raises", lambda o: expect(
        LookupError, "idx", o["q"].get_placeholder, "postgres", Hook(lambda: (_ for _ in ()).throw(LookupError("idx"))))),
    ("get_placeholder-resumed-panic", lambda o: expect(
        PANIC, "resumed through Python", o["q"].get_placeholder, "postgres", Hook(raise_panic))),
    ("get_placeholder-keywords", lambda o: o["q"].get_placeholder(index=o["big"] % 1000, dialect=o["text"])),
    ("compile_select-iteration-error", lambda o: expect(
        KeyError, "'iteration'", o["q"].compile_select, o["text"], o["bad_iter"], [], [], [])),
    ("compile_select-duplicate-argument", lambda o: expect(
        TypeError, "QueryCompiler.compile_select() got multiple values for argument 'table'",
        o["q"].compile_select, o["text"], [], [], [], [], table=o["text"])),
    ("compile_select-limit-overflow", lambda o: expect(
        OverflowError, None, o["q"].compile_select, o["text"], o["columns"], [], [], [], o["big"])),
    ("compile_insert-surrogate", lambda o: expect(
        UnicodeEncodeError, None, o["q"].compile_insert, o["text"], [o["text"], "x\ud800"], "sqlite")),
    ("compile_update-unexpected-keyword", lambda o: expect(
        TypeError, "QueryCompiler.compile_update() got an unexpected keyword argument 'pk'",
        o["q"].compile_update, o["text"], o["columns"], pk=o["text"], dialect="x")),
    ("compile_delete-not-a-sequence-dialect", lambda o: expect(
        TypeError, "argument 'dialect': 'list' object cannot be converted to 'PyString'",
        o["q"].compile_delete, o["text"], o["text"], o["columns"])),
    # --- StateTracker ---
    ("set_field-refuses-every-method-inside", tracker_all_refused),
    ("set_initial_state-reentrant-str", lambda o: o["tracker"].set_initial_state({
        o["name"]: reentrant_value(o, lambda t: t.set_field("x", 1), RuntimeError, BUSY_EXCLUSIVE),
        o["text"]: o["value"]})),
    ("set_field-unprintable-resumed-panic", lambda o: expect(
        PANIC, "resumed through Python", o["tracker"].set_field, o["name"], Hook(raise_panic))),
    ("get_field-binding", lambda o: expect(
        TypeError, "StateTracker.get_field() missing 1 required positional argument: 'field'", o["tracker"].get_field)),
    ("get_field-conversion", lambda o: expect(
        TypeError, "argument 'field': 'int' object cannot be converted to 'PyString'", o["tracker"].get_field, o["big"])),
    ("noargs-methods-given-arguments", lambda o: [expect(TypeError, None, getattr(o["tracker"], n), o["value"])
                                                  for n in ("is_dirty", "dirty_fields", "get_dirty_changes",
                                                            "hydrate_snapshot", "get_current_dict")]),
    ("listings", lambda o: (o["tracker"].dirty_fields(), o["tracker"].get_dirty_changes(),
                            o["tracker"].get_current_dict(), o["tracker"].hydrate_snapshot())),
    ("benchmark-index-object", lambda o: m.StateTracker.benchmark_pure_rust(Hook(lambda: None))),
    ("benchmark-index-resumed-panic", lambda o: expect(
        PANIC, "resumed through Python", m.StateTracker.benchmark_pure_rust, Hook(raise_panic))),
    ("benchmark-capacity-panic", lambda o: expect(
        PANIC, "capacity overflow", m.StateTracker.benchmark_pure_rust, count=2**58)),
    ("tracker-freed-with-values", lambda o: m.StateTracker().set_initial_state({o["name"]: o["value"], "u": Hook(
        lambda: 1 / 0)})),
    # --- SchemaDiffEngine ---
    ("diff_table-nested-call", diff_reentrant),
    ("diff_table-missing-arguments", lambda o: expect(
        TypeError, "SchemaDiffEngine.diff_table() missing 2 required positional arguments: 'db_columns' and '_dialect'",
        o["engine"].diff_table, o["text"], o["model"])),
    ("diff_table-not-a-dict", lambda o: expect(
        TypeError, "argument 'db_columns': 'list' object cannot be converted to 'PyDict'",
        o["engine"].diff_table, o["text"], o["model"], o["columns"], "")),
    ("diff_table-surrogate-type-defaults", lambda o: o["engine"].diff_table(
        o["text"], {o["name"]: {"data_type": "\ud800", "nullable": o["big"]}}, {}, "mysql")),
    # --- BatchAggregator ---
    ("aggregator-refuses-every-method-inside", agg_all_refused),
    ("add_key_int-resumed-panic", lambda o: expect(
        PANIC, "resumed through Python", o["agg"].add_key_int, Hook(raise_panic))),
    ("add_key-index-raises-then-text", lambda o: o["agg"].add_key(Hook(lambda: 1 / 0))),
    ("add_key_str-conversion", lambda o: expect(
        TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'", o["agg"].add_key_str, o["big"])),
    ("add_keys_batch-abc-sequence-fails", lambda o: expect(LookupError, "item", o["agg"].add_keys_batch, o["seq"])),
    ("add_keys_batch-resumed-panic", lambda o: expect(
        PANIC, "resumed through Python", o["agg"].add_keys_batch, [o["text"], Hook(raise_panic)])),
    ("aggregator-noargs-given-arguments", lambda o: [expect(TypeError, None, getattr(o["agg"], n), 1)
                                                     for n in ("get_keys", "clear", "len", "is_empty")]),
    ("aggregator-read-and-clear", lambda o: (o["agg"].add_keys_batch(o["columns"] + [o["big"], o["value"]]),
                                             o["agg"].get_keys(), o["agg"].len(), o["agg"].is_empty(),
                                             o["agg"].clear())),
]


class Sink:
    """Stands in for sys.stderr: resumed panics print their traceback on every call."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize("row", [pytest.param(fn, id=name) for name, fn in ROWS])
def test_flat(row, leak_check, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    monkeypatch.setattr(sys, "stderr", Sink())
    o = make_objects()
    watched = [v for k, v in o.items() if k not in ("tracker", "agg", "q", "engine")]
    watched += o["columns"] + list(o["model"]) + list(o["model"].values())
    watched += [o["tracker"], o["agg"], o["q"], o["engine"]]
    counts = [sys.getrefcount(v) for v in watched]
    leak_check(lambda: row(o), n=3000)
    assert [sys.getrefcount(v) for v in watched] == counts
