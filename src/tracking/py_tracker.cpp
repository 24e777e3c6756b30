// StateTracker's method entries. Behaves like a Python object holding
// {name: (str(baseline), str(current), current)} and comparing the two texts.
#include "module/types.hpp"
#include "tracking/benchmark.hpp"
#include "tracking/tracker_core.hpp"

namespace sablecrest {

namespace {

using Record = TrackerCore<Ref>;

SmallString text_of(PyObject* value) {
    return with_display_text(value, [](std::string_view text) { return SmallString(text); });
}

const ArgumentSpec kSetInitialState{"StateTracker", "set_initial_state", {"data"}, 1};
// All-or-nothing: every key is converted and every text computed into a table of
// their own before the tracker changes, so a failing key, an unencodable key or a
// dict mutated by a value's __str__ leaves the previous record exactly as it was.
PyObject* set_initial_state(Record& tracker, Args& a) {
    PyObject* data = a.dict(0);
    DictWalk walk(data);
    Record::Load load = tracker.begin_load(size_t(walk.start_len()));
    Ref key, value;
    CallArena& arena = a.arena();
    while (walk.next(key, value)) {
        // A key is not a parameter: its conversion error carries no prefix.
        std::string_view name = string_rule(key.get(), arena);
        SmallString text = text_of(value.get());
        load.add(name, std::move(text), std::move(value));
    }
    tracker.commit(std::move(load));
    return none_result();
}

const ArgumentSpec kSetField{"StateTracker", "set_field", {"field", "value"}, 2};
PyObject* set_field(Record& tracker, Args& a) {
    std::string_view name = a.str(0);
    PyObject* value = a.object(1);
    tracker.set_field(name, text_of(value), Ref::borrow(value));
    return none_result();
}

const ArgumentSpec kGetField{"StateTracker", "get_field", {"field"}, 1};
PyObject* get_field(Record& tracker, Args& a) {
    std::string_view name = a.str(0);
    const FieldState<Ref>* st = tracker.find(name);
    return new_ref(st != nullptr ? st->value.get() : Py_None);
}

PyObject* is_dirty(Record& tracker) { return bool_result(tracker.is_dirty()); }

PyObject* dirty_fields(Record& tracker) {
    size_t count = 0;
    tracker.for_each_dirty([&](const SmallString&, const FieldState<Ref>&) { ++count; });
    Ref list = check_new(PyList_New(Py_ssize_t(count)));
    Py_ssize_t i = 0;
    tracker.for_each_dirty([&](const SmallString& name, const FieldState<Ref>&) {
        PyList_SetItem(list.get(), i++, new_str(name.view()).release());
    });
    return list.release();
}

// name -> the very value object stored, in listing order.
template <bool DirtyOnly>
PyObject* field_dict(Record& tracker) {
    Ref dict = check_new(PyDict_New());
    tracker.for_each_field([&](const SmallString& name, const FieldState<Ref>& st) {
        if (DirtyOnly && !st.dirty()) return;
        Ref key = new_str(name.view());
        if (PyDict_SetItem(dict.get(), key.get(), st.value.get()) != 0) throw_fetched();
    });
    return dict.release();
}

PyObject* hydrate_snapshot(Record& tracker) {
    tracker.hydrate_snapshot();
    return none_result();
}

const ArgumentSpec kBenchmark{"StateTracker", "benchmark_pure_rust", {"count"}, 1};
PyObject* benchmark_pure_rust(Args& a) {
    uint64_t count = a.u64(0);
    BenchTime t = run_native_benchmark(count);
    return check_new(PyFloat_FromDouble(double(t.secs) + double(t.nanos) / 1000000000.0)).release();
}

template <const ArgumentSpec& Spec, Access A, PyObject* (*Fn)(Record&, Args&)>
const PyCFunction entry = as_cfunction(method_entry<Record, g_state_tracker_class, A, Spec, Fn>);

template <Access A, PyObject* (*Fn)(Record&)>
const PyCFunction noargs = as_cfunction(noargs_entry<Record, g_state_tracker_class, A, Fn>);

PyMethodDef g_methods[] = {
    {"set_initial_state", entry<kSetInitialState, Access::Exclusive, set_initial_state>, kVarargs,
     "set_initial_state($self, data)\n--\n\n"},
    {"set_field", entry<kSetField, Access::Exclusive, set_field>, kVarargs, "set_field($self, field, value)\n--\n\n"},
    {"get_field", entry<kGetField, Access::Shared, get_field>, kVarargs, "get_field($self, field)\n--\n\n"},
    {"is_dirty", noargs<Access::Shared, is_dirty>, METH_NOARGS, "is_dirty($self)\n--\n\n"},
    {"dirty_fields", noargs<Access::Shared, dirty_fields>, METH_NOARGS, "dirty_fields($self)\n--\n\n"},
    {"get_dirty_changes", noargs<Access::Shared, field_dict<true>>, METH_NOARGS, "get_dirty_changes($self)\n--\n\n"},
    {"hydrate_snapshot", noargs<Access::Exclusive, hydrate_snapshot>, METH_NOARGS, "hydrate_snapshot($self)\n--\n\n"},
    {"get_current_dict", noargs<Access::Shared, field_dict<false>>, METH_NOARGS, "get_current_dict($self)\n--\n\n"},
    {"benchmark_pure_rust", as_cfunction(static_entry<kBenchmark, benchmark_pure_rust>), kVarargs | METH_STATIC,
     "benchmark_pure_rust(count)\n--\n\n"
     "Pure Rust Native Benchmark (Rust -> Rust) executing 100% in C/Rust memory using FxHashMap"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ClassSpec g_state_tracker_class{
    "StateTracker",
    "StateTracker()\n--\n\n",
    instance_new<Record, g_state_tracker_class>,
    instance_dealloc<Record>,
    g_methods,
    instance_size<Record>(),
};

}  // namespace sablecrest
