"""Allocation failure injection: every constructor and public method, with the n-th interpreter
allocation of the call made to fail for every n up to past the call's last one. The work runs in
oom_driver.py, one subprocess per class, so that a crash fails the test instead of the runner."""

import json
import os

import pytest

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "oom_driver.py")

# Calls that build a new Python object (or an exception) for their result: at least one of their
# injected failures must surface, or the injection missed the call.
MUST_SURFACE = {
    "QueryCompiler": ["__new__", "get_placeholder", "compile_select", "compile_insert", "compile_update",
                      "compile_delete", "compile_select-bad-item", "compile_select-bad-length",
                      "compile_update-missing"],
    "StateTracker": ["__new__", "dirty_fields", "get_dirty_changes", "get_current_dict",
                     "benchmark_pure_rust-capacity", "set_field-bad-field"],
    "SchemaDiffEngine": ["__new__", "diff_table-create", "diff_table-alter", "diff_table-bad-description"],
    "BatchAggregator": ["__new__", "get_keys", "add_key_int-overflow", "add_keys_batch-not-a-sequence"],
}


@pytest.mark.parametrize("class_name", sorted(MUST_SURFACE))
def test_every_call_survives_allocation_failure(class_name, run_subprocess):
    code = "import runpy, sys; sys.argv = ['oom_driver', %r]; runpy.run_path(%r, run_name='__main__')" % (
        class_name, DRIVER)
    rc, out, err = run_subprocess(code, timeout=600)
    assert rc == 0, "driver died (rc %d); stderr tail:\n%s" % (rc, err[-3000:])
    summary = json.loads(out.strip().splitlines()[-1])
    assert summary["faults"] == []
    cases = summary["cases"]
    for name in MUST_SURFACE[class_name]:
        assert cases[name]["MemoryError"] + cases[name]["PanicException"] > 0, name
    for name, stats in cases.items():
        assert stats["tried"] >= 30 and stats["clean"] >= 30, name
    sites = sum(s["MemoryError"] + s["PanicException"] for s in cases.values())
    print("%s: %d calls, %d failing allocations surfaced" % (class_name, len(cases), sites))
