"""Threads and interpreters: Python threads interleaving calls on shared and separate instances
(the interpreter lock serialises every call, so each outcome must be exactly that of a
sequential run), and a second initialisation from a sub-interpreter, refused without harm."""

import sys
import threading

import pytest

import _sablecrest_rs as m

THREADS, ROUNDS = 8, 300
SECOND_INIT = "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process"


@pytest.fixture(autouse=True)
def tiny_switch_interval():
    # Switch threads as often as the interpreter allows, so that calls interleave finely.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(work):
    """Run work(i) on THREADS threads released together; re-raise the first failure."""
    start, errors, results = threading.Barrier(THREADS), [], [None] * THREADS

    def main(i):
        start.wait()
        try:
            results[i] = work(i)
        except BaseException as e:  # noqa: B036 - a PanicException must fail the test too
            errors.append(e)

    threads = [threading.Thread(target=main, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def tracker_history(i):
    """One thread's own tracker: a fixed history whose end state is checked exactly."""
    t = m.StateTracker()
    for r in range(ROUNDS):
        t.set_initial_state({"id": i, "name": "n%d" % i, "round": r})
        t.set_field("name", "renamed%d" % i)
        t.set_field("extra%d" % (r % 7), r)
        assert t.dirty_fields() == ["name"]
        t.hydrate_snapshot()
    t.set_field("round", -1)
    return t.get_current_dict(), t.dirty_fields(), t.get_dirty_changes()


def aggregator_history(i):
    a = m.BatchAggregator()
    added = 0
    for r in range(ROUNDS):
        added += a.add_keys_batch([r, str(r), i, "t%d" % i, r])
        added += a.add_key_int(10**12 + r) + a.add_key_str("s%d" % r) + a.add_key(float(r))
    return added, a.get_keys(), a.len()


def query_history(i):
    q, e = m.QueryCompiler(), m.SchemaDiffEngine()
    out = []
    for r in range(ROUNDS):
        out.append(q.compile_select("t%d" % i, ["a", "b"], [("a", "=", str(r))], [], [("a", "desc")], r, None,
                                    "postgres"))
        out.append(q.compile_update("t%d" % i, ["a", "b"], "id", "mysql"))
        out.append(e.diff_table("t%d" % i, {"a": {"data_type": "INT", "nullable": False}}, {"id": "INT"}, "sqlite"))
    return out


@pytest.mark.parametrize("history", [tracker_history, aggregator_history, query_history],
                         ids=["tracker", "aggregator", "query-and-schema"])
def test_separate_instances_match_a_sequential_run(history):
    expected = [history(i) for i in range(THREADS)]
    assert run_threads(history) == expected


def test_shared_aggregator_counts_every_key_once():
    a = m.BatchAggregator()

    def work(i):
        new = 0
        for r in range(ROUNDS):
            # Neighbouring threads overlap on half of their keys.
            new += a.add_keys_batch([(i // 2) * ROUNDS + r, "k%d" % ((i // 2) * ROUNDS + r)])
            new += a.add_key(-r) + a.add_key_str("shared")
            assert a.len() >= 1 and not a.is_empty()
        return new

    news = run_threads(work)
    keys = a.get_keys()
    expected = set(range((THREADS // 2) * ROUNDS)) | {"k%d" % k for k in range((THREADS // 2) * ROUNDS)}
    expected |= {-r for r in range(ROUNDS)} | {"shared"}
    assert len(keys) == len(set(keys)) == a.len() == sum(news)  # each key was new exactly once
    assert set(keys) == expected
    ints = [k for k in keys if isinstance(k, int)]
    assert keys[:len(ints)] == ints


def test_shared_tracker_keeps_every_threads_fields():
    t = m.StateTracker()
    t.set_initial_state({"f%d" % i: 0 for i in range(THREADS)})

    def work(i):
        for r in range(ROUNDS):
            t.set_field("f%d" % i, r)
            t.set_field("own%d_%d" % (i, r % 5), i)
            assert t.get_field("f%d" % i) == r
            t.dirty_fields()
            t.get_current_dict()

    run_threads(work)
    current = t.get_current_dict()
    assert {k: v for k, v in current.items() if k.startswith("f")} == {"f%d" % i: ROUNDS - 1 for i in range(THREADS)}
    assert sorted(k for k in current if k.startswith("own")) == sorted(
        "own%d_%d" % (i, r) for i in range(THREADS) for r in range(5))
    assert t.dirty_fields() == [k for k in current if k.startswith("f")]
    assert list(t.get_dirty_changes()) == t.dirty_fields()


# Legacy sub-interpreters (shared GIL and module state, single-phase modules allowed) reach the
# module's init a second time and are refused by it; isolated ones (3.12+, the default of
# _xxsubinterpreters / _interpreters) are refused by the interpreter before the init runs.
SUBINTERPRETER_SCRIPT = r'''
import sys, _testcapi
import _sablecrest_rs as first
tracker = first.StateTracker()
tracker.set_initial_state({"a": 1})
code = """
try:
    import _sablecrest_rs
except BaseException as e:
    print("%s|" + type(e).__name__ + "|" + str(e), flush=True)
else:
    print("%s|imported", flush=True)
"""
print("rc", _testcapi.run_in_subinterp(code % ("legacy", "legacy")), flush=True)
if sys.version_info >= (3, 12):
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    iid = interpreters.create()
    run = getattr(interpreters, "run_string", None) or interpreters.exec
    run(iid, code % ("isolated", "isolated"))
    interpreters.destroy(iid)
tracker.set_field("a", 2)
agg = first.BatchAggregator()
agg.add_keys_batch([1, "1", 1])
print("after", first.QueryCompiler().get_placeholder("postgres", 3), tracker.dirty_fields(), agg.get_keys(),
      sys.modules["_sablecrest_rs"] is first, flush=True)
'''


def test_subinterpreter_import_refused_and_main_module_intact(run_subprocess):
    rc, out, err = run_subprocess(SUBINTERPRETER_SCRIPT)
    assert rc == 0, err
    want = ["legacy|ImportError|" + SECOND_INIT, "rc 0"]
    if sys.version_info >= (3, 12):
        want.append("isolated|ImportError|module _sablecrest_rs does not support loading in subinterpreters")
    want.append("after $3 ['a'] [1, '1'] True")
    assert out.splitlines() == want
