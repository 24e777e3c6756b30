// BatchAggregator's method entries. Behaves like a Python object holding two
// sets, one of ints and one of strs, with a classifying add.
#include "batch/dedup.hpp"
#include "module/types.hpp"

namespace sablecrest {

namespace {

using Record = batch::KeySets;

// Drops a failed conversion attempt so the next kind can be tried; a resumed
// panic still propagates.
bool as_int64(PyObject* obj, int64_t& out) {
    long long v;
    if (PyLong_CheckExact(obj) || PyLong_Check(obj)) {
        v = PyLong_AsLongLong(obj);
    } else {
        // Without an index slot PyNumber_Index could only raise TypeError.
        if (!PyIndex_Check(obj)) return false;
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) {
            discard_error();
            return false;
        }
        v = PyLong_AsLongLong(index.get());
    }
    if (v == -1 && PyErr_Occurred()) {
        discard_error();
        return false;
    }
    out = v;
    return true;
}

// Integer, then str, then the display text of anything else.
bool add_classified(Record& keys, PyObject* obj) {
    int64_t i;
    if (as_int64(obj, i)) return keys.add_int(i);
    if (PyUnicode_CheckExact(obj) || PyUnicode_Check(obj)) {
        Ref keeper;
        try {
            return keys.add_str(str_utf8(obj, keeper));
        } catch (PyError& e) {
            rethrow_unless_discardable(e);
            // Not encodable as strict UTF-8: stored by its display text below.
        }
    }
    return with_display_text(obj, [&](std::string_view text) { return keys.add_str(text); });
}

const ArgumentSpec kAddKeyInt{"BatchAggregator", "add_key_int", {"key"}, 1};
PyObject* add_key_int(Record& keys, Args& a) { return bool_result(keys.add_int(a.i64(0))); }

const ArgumentSpec kAddKeyStr{"BatchAggregator", "add_key_str", {"key"}, 1};
PyObject* add_key_str(Record& keys, Args& a) { return bool_result(keys.add_str(a.str(0))); }

const ArgumentSpec kAddKey{"BatchAggregator", "add_key", {"key"}, 1};
PyObject* add_key(Record& keys, Args& a) { return bool_result(add_classified(keys, a.object(0))); }

const ArgumentSpec kAddKeysBatch{"BatchAggregator", "add_keys_batch", {"keys"}, 1};
PyObject* add_keys_batch(Record& keys, Args& a) {
    PyObject* seq = a.convert(0, [](PyObject* o) {
        if (!is_sequence_object(o)) throw_conversion(o, "Sequence");
        return o;
    });
    // The length is read once: a sequence that grows is read up to its
    // starting length, one that shrinks fails at the next fetch. Keys added
    // before a failure stay.
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) throw_fetched();
    Py_ssize_t added = 0;
    const bool list = PyList_CheckExact(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // An exact list's item is read in place: an exact int in 64 bits is added
        // without a reference or any code run; anything else is held while it is
        // classified, since that may run code (which may also shrink the list: the
        // read then fails with the list's own IndexError, as the protocol's would).
        if (list) {
            PyObject* item = PyList_GetItem(seq, i);
            if (item == nullptr) throw_fetched();
            if (PyLong_CheckExact(item)) {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
                if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
                    added += keys.add_int(v) ? 1 : 0;
                    continue;
                }
                if (PyErr_Occurred()) discard_error();
            }
            Ref held = Ref::borrow(item);
            added += add_classified(keys, held.get()) ? 1 : 0;
            continue;
        }
        Ref item = Ref::steal(PySequence_GetItem(seq, i));
        if (!item) throw_fetched();
        added += add_classified(keys, item.get()) ? 1 : 0;
    }
    return check_new(PyLong_FromSsize_t(added)).release();
}

PyObject* get_keys(Record& keys) {
    Ref list = check_new(PyList_New(Py_ssize_t(keys.size())));
    Py_ssize_t i = 0;
    keys.for_each([&](int64_t k) { PyList_SetItem(list.get(), i++, check_new(PyLong_FromLongLong(k)).release()); },
                  [&](std::string_view s) { PyList_SetItem(list.get(), i++, new_str(s).release()); });
    return list.release();
}

PyObject* clear(Record& keys) {
    keys.clear();
    return none_result();
}

PyObject* len(Record& keys) { return check_new(PyLong_FromSsize_t(Py_ssize_t(keys.size()))).release(); }

PyObject* is_empty(Record& keys) { return bool_result(keys.empty()); }

template <const ArgumentSpec& Spec, PyObject* (*Fn)(Record&, Args&)>
const PyCFunction exclusive = as_cfunction(method_entry<Record, g_batch_aggregator_class, Access::Exclusive, Spec, Fn>);

template <Access A, PyObject* (*Fn)(Record&)>
const PyCFunction noargs = as_cfunction(noargs_entry<Record, g_batch_aggregator_class, A, Fn>);

PyMethodDef g_methods[] = {
    {"add_key_int", exclusive<kAddKeyInt, add_key_int>, kVarargs,
     "add_key_int($self, key)\n--\n\nAdd an integer foreign key directly (Zero string formatting overhead)"},
    {"add_key_str", exclusive<kAddKeyStr, add_key_str>, kVarargs, "add_key_str($self, key)\n--\n\nAdd a string foreign key"},
    {"add_key", exclusive<kAddKey, add_key>, kVarargs, "add_key($self, key)\n--\n\nDynamically add key checking type"},
    {"add_keys_batch", exclusive<kAddKeysBatch, add_keys_batch>, kVarargs,
     "add_keys_batch($self, keys)\n--\n\nBatch add keys in a single FFI boundary call"},
    {"get_keys", noargs<Access::Shared, get_keys>, METH_NOARGS,
     "get_keys($self)\n--\n\nReturns deduplicated keys as a PyList constructed directly in Rust"},
    {"clear", noargs<Access::Exclusive, clear>, METH_NOARGS, "clear($self)\n--\n\n"},
    {"len", noargs<Access::Shared, len>, METH_NOARGS, "len($self)\n--\n\n"},
    {"is_empty", noargs<Access::Shared, is_empty>, METH_NOARGS, "is_empty($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ClassSpec g_batch_aggregator_class{
    "BatchAggregator",
    "BatchAggregator()\n--\n\n",
    instance_new<Record, g_batch_aggregator_class>,
    instance_dealloc<Record>,
    g_methods,
    instance_size<Record>(),
};

}  // namespace sablecrest
