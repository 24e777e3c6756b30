"""Subprocess side of test_oom: for one class, fail the n-th interpreter allocation inside a
single call, for n = 0, 1, ... until the call succeeds K times running, and check what the call
did and what it left behind. Prints one JSON summary line; a crash shows as a dead process.

Usage: python oom_driver.py <ClassName>
"""

import gc
import json
import re
import sys

import _testcapi

import _sablecrest_rs as m

K = 30  # consecutive successes taken to mean "past the call's last allocation"
CEILING = 20000  # a call that still fails here never ran to completion: reported as a fault
API_FAILED = "Python API call failed"


def fresh(text):
    """A str object of our own: not interned, not shared with the interpreter's caches."""
    return "".join(text)


def NONE():
    return None


def type_name(obj):
    return type(obj).__name__


def items(d):
    return [(k, id(v)) for k, v in d.items()]


class Case:
    """One call: `target` is a method name looked up on make()'s instance, or a callable used as
    is (constructors, the static method); `view` makes a result comparable between runs."""

    def __init__(self, name, make=NONE, target=None, args=(), view=None, state=None, pure=False,
                 display=False, probe=None, objs=()):
        self.name, self.make, self.target, self.args = name, make, target, tuple(args)
        self.view = view or (lambda r: r)
        self.state = state or (lambda inst: None)
        self.pure = pure  # a repeated call must give the same result
        self.display = display  # documents that the call computes texts (see TABLES)
        self.probe = probe  # reveals stored texts that a state reading cannot see
        self.objs = list(objs)  # objects whose reference counts must come back

    def bound(self, inst):
        return getattr(inst, self.target) if isinstance(self.target, str) else self.target


# --- per-class state readers: they assert each instance's invariants and return its state ---

def tracker_state(t):
    current = t.get_current_dict()
    dirty = t.dirty_fields()
    changes = t.get_dirty_changes()
    assert list(changes) == dirty, (dirty, changes)
    assert t.is_dirty() == bool(dirty)
    assert [k for k in current if k in changes] == dirty, "listings disagree"
    for k, v in current.items():
        assert t.get_field(k) is v
        assert k not in changes or changes[k] is v
    return [(k, id(v)) for k, v in current.items()], dirty


def tracker_texts(t):
    """Recompute every current text from its own value: a field whose baseline text is not its
    value's text (a str() failure stored as the fallback) turns dirty."""
    for k, v in t.get_current_dict().items():
        t.set_field(k, v)
    return t.dirty_fields()


def aggregator_state(a):
    keys = a.get_keys()
    kinds = [type(k) for k in keys]
    assert kinds == sorted(kinds, key=lambda k: k is str), "integers must precede strings"
    assert len(set(keys)) == len(keys) == a.len()
    assert a.is_empty() == (not keys)
    return sorted(keys, key=repr)


# --- the call tables ---

def query_cases():
    Q = m.QueryCompiler
    table, col1, col2 = fresh("users_x"), fresh("name_col"), fresh("email_col")
    columns = [col1, col2] + [fresh("c%d" % i) for i in range(10)]
    wheres = [(fresh("a%d" % i), fresh("=="), fresh("value_%d" % i)) for i in range(12)]
    joins = [(fresh("left outer"), fresh("orders"), fresh("orders.uid = users.id"))]
    order = [(col1, fresh("desc nulls last")), (col2, fresh("stra\u00dfe"))]
    pg, pk = fresh("PostgreSQL"), fresh("pk_id")
    kw = dict(make=Q, pure=True, objs=[table, columns, wheres, joins, order, pg, pk, col1, col2])
    return [
        Case("__new__", NONE, Q, view=type_name),
        Case("get_placeholder", target="get_placeholder", args=(pg, 2**64 - 1), **kw),
        Case("compile_select", target="compile_select",
             args=(table, columns, wheres, joins, order, 10**12, 7, pg), **kw),
        Case("compile_insert", target="compile_insert", args=(table, columns, pg), **kw),
        Case("compile_update", target="compile_update", args=(table, columns, pk, pg), **kw),
        Case("compile_delete", target="compile_delete", args=(table, pk, pg), **kw),
        # Error paths: the argument-error rule builds a new TypeError, binding builds its message.
        Case("compile_select-bad-item", target="compile_select", args=(table, [col1, 12345], [], [], []), **kw),
        Case("compile_select-bad-length", target="compile_select", args=(table, [], [(col1, col2)], [], []), **kw),
        Case("compile_update-missing", target="compile_update", args=(table, columns), **kw),
    ]


def tracker_cases():
    T = m.StateTracker
    names = [fresh("field_%02d_with_a_long_name" % i) for i in range(10)]
    values = [fresh("value %d" % i) if i % 2 else 10**6 + i for i in range(10)]
    data = dict(zip(names, values))
    new_name, new_value = fresh("brand_new_field"), fresh("replacement value")

    def loaded():
        t = T()
        t.set_initial_state(data)
        t.set_field(names[1], 12345678)
        return t

    kw = dict(make=loaded, state=tracker_state, objs=names + values + [new_name, new_value, data])
    pure = dict(kw, pure=True)
    texts = dict(kw, display=True, probe=tracker_texts)
    return [
        Case("__new__", NONE, T, view=type_name),
        # The values' texts are computed under the hook (display=True): see TABLES.
        Case("set_initial_state", target="set_initial_state", args=(data,), **texts),
        Case("set_field-new", target="set_field", args=(new_name, 10**7), **texts),
        Case("set_field-existing", target="set_field", args=(names[3], new_value), **texts),
        Case("get_field", target="get_field", args=(names[4],), view=id, **pure),
        Case("is_dirty", target="is_dirty", **pure),
        Case("dirty_fields", target="dirty_fields", **pure),
        Case("get_dirty_changes", target="get_dirty_changes", view=items, **pure),
        Case("hydrate_snapshot", target="hydrate_snapshot", **pure),
        Case("get_current_dict", target="get_current_dict", view=items, **pure),
        Case("benchmark_pure_rust", NONE, T.benchmark_pure_rust, args=(50,), view=type_name),
        Case("benchmark_pure_rust-capacity", NONE, T.benchmark_pure_rust, args=(2**58,)),
        Case("set_field-bad-field", target="set_field", args=(12345, new_value), **kw),
    ]


def schema_cases():
    E = m.SchemaDiffEngine
    names = [fresh("column_%d" % i) for i in range(8)]
    model = {n: {"data_type": fresh("VARCHAR(%d)" % i), "nullable": i % 2 == 0, "primary_key": i == 0}
             for i, n in enumerate(names)}
    db = {names[0]: fresh("INTEGER"), fresh("legacy"): fresh("TEXT")}
    table, pg = fresh("accounts"), fresh("postgres")
    kw = dict(make=E, target="diff_table", pure=True, objs=[model, db, table, pg] + names + list(model.values()))

    def parallel(result):
        # No order is promised, but upgrade i and downgrade i always belong together.
        up, down = result
        assert len(up) == len(down)
        return sorted(zip(up, down))

    return [
        Case("__new__", NONE, E, view=type_name),
        Case("diff_table-create", args=(table, model, {}, pg), view=parallel, **kw),
        Case("diff_table-alter", args=(table, model, db, pg), view=parallel, **kw),
        Case("diff_table-bad-description", args=(table, {names[0]: [1]}, {}, pg), **kw),
    ]


def aggregator_cases():
    B = m.BatchAggregator
    texts = [fresh("key-%d" % i) for i in range(6)]
    big, flt = 2**63 + 99, 1234.5
    batch = [10**9 + i for i in range(6)] + texts + [big, flt, texts[0], "a\ud800"]

    def loaded():
        a = B()
        a.add_keys_batch([10**10, 10**10 + 1, texts[4]])
        return a

    kw = dict(make=loaded, state=aggregator_state, objs=texts + [batch, big, flt])
    pure = dict(kw, pure=True)
    return [
        Case("__new__", NONE, B, view=type_name),
        Case("add_key_int", target="add_key_int", args=(10**12,), **kw),
        Case("add_key_str", target="add_key_str", args=(texts[1],), **kw),
        Case("add_key-int", target="add_key", args=(10**13,), **kw),
        Case("add_key-str", target="add_key", args=(texts[2],), **kw),
        # 2**63 and a float are stored by their display text (display=True): see TABLES.
        Case("add_key-display", target="add_key", args=(big,), display=True, **kw),
        Case("add_keys_batch", target="add_keys_batch", args=(batch,), display=True, **kw),
        Case("get_keys", target="get_keys", view=lambda keys: sorted(keys, key=repr), **pure),
        Case("clear", target="clear", **pure),
        Case("len", target="len", **pure),
        Case("is_empty", target="is_empty", **pure),
        Case("add_key_int-overflow", target="add_key_int", args=(big,), **pure),
        Case("add_keys_batch-not-a-sequence", target="add_keys_batch", args=({1},), **pure),
    ]


# display=True: the call computes values' texts. A str() that raises stores the fallback text
# "<unprintable <type> object>", but running out of memory is no such refusal: a MemoryError
# must propagate, never leave a fallback text (or a default) behind as if the call succeeded.

TABLES = {
    "QueryCompiler": query_cases,
    "StateTracker": tracker_cases,
    "SchemaDiffEngine": schema_cases,
    "BatchAggregator": aggregator_cases,
}


# --- the engine ---

def outcome_of(case, fn, hook=None):
    """('ok', view of the result) or ('raise', (type name, str)); with hook=n, only the n-th
    interpreter allocation from here on fails."""
    err = None
    # The call is made from this frame with no Python frame in between, and this frame's frame
    # object exists before the hook is set: from 3.11 on, materialising a frame object for the
    # traceback under an allocation failure drops the pending exception and the interpreter
    # reports SystemError "error return without exception set" (len(5) does the same).
    sys._getframe()
    if hook is not None:
        _testcapi.set_nomemory(hook, hook + 1)
    try:
        result = fn(*case.args)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        err = e
    finally:
        _testcapi.remove_mem_hooks()
    if err is None:
        return "ok", case.view(result)
    err.__traceback__ = None  # the traceback would keep this frame and its locals alive
    return "raise", (type(err).__name__, str(err))


def forget_printed_errors():
    # PyErr_Print keeps the last error (and so whatever it refers to) in sys.
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        if hasattr(sys, name):
            setattr(sys, name, None)


UNNAMED = "'<failed to extract type name>' object cannot be converted"


def same_error(got, ref):
    """The clean run's error, allowing the documented stand-in for a type name that could not
    be read (reading __qualname__ allocates)."""
    if got == ref:
        return True
    if not got[0] == ref[0] == "raise" or got[1][0] != ref[1][0]:
        return False
    # Before 3.11.5 (gh-107915), PyErr_SetString raises the bare type when its message
    # cannot be made; Debian 12's own interpreter is 3.11.2.
    return got[1][1] in (re.sub(r"'[^']*' object cannot be converted", UNNAMED, ref[1][1]),
                         "" if sys.version_info < (3, 11, 5) else None)


def run_case(case):
    inst = case.make()
    ref = outcome_of(case, case.bound(inst))
    ref_state = case.state(inst)
    ref_texts = case.probe(inst) if case.probe else None
    del inst
    counts = [sys.getrefcount(o) for o in case.objs]
    stats = {"tried": 0, "clean": 0, "MemoryError": 0, "PanicException": 0}
    faults = []
    streak, n = 0, 0
    while streak < K:
        if n >= CEILING:
            faults.append("still failing at n=%d" % n)
            break
        inst = case.make()
        fn = case.bound(inst)
        got = outcome_of(case, fn, hook=n)
        forget_printed_errors()
        stats["tried"] += 1
        if same_error(got, ref):
            streak += 1
            stats["clean"] += 1
        else:
            streak = 0
            if got[0] == "raise" and got[1][0] == "MemoryError":
                stats["MemoryError"] += 1
            elif got[0] == "raise" and got[1] == ("PanicException", API_FAILED):
                stats["PanicException"] += 1
            else:
                faults.append("n=%d: %r (clean run: %r)" % (n, got, ref))
        try:
            state = case.state(inst)  # the invariants hold, whatever happened
            if got == ref and state != ref_state:
                faults.append("n=%d: succeeded but left %r, not %r" % (n, state, ref_state))
            if case.probe and got == ref and case.probe(inst) != ref_texts:
                faults.append("n=%d: stored texts differ from the clean run's" % n)
            again = outcome_of(case, fn)
            if case.pure and again != ref:
                faults.append("n=%d: repeated call gave %r, not %r" % (n, again, ref))
            state = case.state(inst)
            if state != ref_state:
                faults.append("n=%d: a repeated call left %r, not %r" % (n, state, ref_state))
            # Exclusive access is refused if the failed call leaked a borrow.
            if hasattr(inst, "hydrate_snapshot"):
                inst.hydrate_snapshot()
            elif hasattr(inst, "clear"):
                inst.clear()
        except Exception as e:  # noqa: BLE001 - reported, not hidden
            faults.append("n=%d: instance unusable: %s: %s" % (n, type(e).__name__, e))
        del inst, fn, got
        now = [sys.getrefcount(o) for o in case.objs]
        if now != counts:
            faults.append("n=%d: reference counts changed by %r" % (n, [b - a for a, b in zip(counts, now)]))
            counts = now
        n += 1
    return stats, faults


def main(class_name):
    gc.disable()  # a collection triggered under the hook would run unrelated code
    sys.unraisablehook = lambda unraisable: None
    summary = {"class": class_name, "cases": {}, "faults": []}
    for case in TABLES[class_name]():
        stats, faults = run_case(case)
        summary["cases"][case.name] = stats
        summary["faults"] += ["%s %s" % (case.name, f) for f in faults]
    print(json.dumps(summary))


if __name__ == "__main__":
    main(sys.argv[1])
