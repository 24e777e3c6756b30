// orm/py_rows.cpp: the row kernels: driver rows in, instances out; instances in,
// parameters out. Loaders and dumpers are Python code that may change anything, so
// every object and value in use is held, and object arrays are read again after a call.
#include "orm/py_native.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace sablecrest::orm {
namespace {

// A list of n empty slots for the caller to fill, kept from the collector until it is
// whole: code run meanwhile could otherwise find the empty slots with gc.get_objects().
PyObject* hidden_list(Py_ssize_t n) {
    PyObject* list = PyList_New(n);
    if (list != nullptr) PyObject_GC_UnTrack(list);
    return list;
}

PyObject* reveal(Ref& list) {
    PyObject_GC_Track(list.get());
    return list.release();
}

// Applies `conv` (a callable or None) to a non-None value; new reference.
inline PyObject* convert(PyObject* conv, PyObject* v) {
    if (conv == Py_None || v == Py_None) return new_ref(v);
    // A loader that is a type (int, float) gives a value of exactly that type back as it
    // is: most values already are, and the call would cost more than the rest of the row.
    if (PyType_Check(conv) && reinterpret_cast<PyObject*>(Py_TYPE(v)) == conv) return new_ref(v);
    return PyObject_CallFunctionObjArgs(conv, v, nullptr);
}

// An int subclass (an IntEnum) as an exact int; new reference.
PyObject* exact_int(ModuleState* st, PyObject* v) {
    Ref r = Ref::steal(PyNumber_Index(v));
    if (!r || PyLong_CheckExact(r.get())) return r.release();
    // 3.8 and 3.9 hand an int subclass back as it is; int's own __int__ copies it
    // without running the subclass's code.
    return PyObject_CallFunctionObjArgs(st->int_int, r.get(), nullptr);
}

// The parameter for `v`, dumped: an instance of a subclass of int, str, float or bytes
// (an IntEnum, a str-Enum) is bound as its exact base type, since a driver may bind its
// str() or refuse it. The object keeps the value it holds. New reference.
PyObject* param_of(ModuleState* st, PyObject* dumper, PyObject* v) {
    if (gc_free(st, v)) return convert(dumper, v);  // the exact types a driver knows
    Ref plain;
    if (PyLong_Check(v)) {
        plain = Ref::steal(exact_int(st, v));
    } else if (PyUnicode_Check(v)) {
        plain = Ref::steal(PyUnicode_FromObject(v));
    } else if (PyFloat_Check(v)) {
        plain = Ref::steal(PyFloat_FromDouble(PyFloat_AsDouble(v)));
    } else if (PyBytes_Check(v)) {
        plain = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AsString(v), PyBytes_Size(v)));
    } else {
        return convert(dumper, v);
    }
    if (!plain) return nullptr;
    return convert(dumper, plain.get());
}

// The parameter for field i of m: a referenced instance becomes its key and is replaced
// by it (a rolled-back transaction puts instances back: see UnitOfWork.rolled_back),
// then the dumper applies. New reference.
PyObject* bind_value(ModuleState* st, LayoutObject* l, ModelObject* m, Py_ssize_t i, PyObject* dumper) {
    PyObject* current = m->vals_[i];
    if (dumper == Py_None && gc_free(st, current)) return new_ref(current);  // nothing to run or swap
    Ref v = Ref::borrow(current);
    if (!gc_free(st, v.get()) && is_model(st, v.get())) {
        FieldObject* f = as_field(PyTuple_GetItem(l->fields_, i));
        ModelObject* parent = as_model(v.get());
        if (f->ref_ == nullptr || !PyObject_TypeCheck(v.get(), reinterpret_cast<PyTypeObject*>(f->ref_)) ||
            parent->vals_ == nullptr || !in_fields(f->ref_pk_, parent)) {
            PyErr_Format(PyExc_TypeError, "%U holds a model object that it does not refer to", f->label_);
            return nullptr;
        }
        Ref key = Ref::borrow(parent->vals_[f->ref_pk_]);
        if (key.get() == Py_None) {
            PyErr_Format(PyExc_ValueError,
                         "%U refers to an object that has no primary key yet (add it to the session so it is "
                         "inserted first)",
                         f->label_);
            return nullptr;
        }
        if (m->vals_[i] == v.get()) {
            track_for(st, m, key.get());
            Ref old = Ref::steal(m->vals_[i]);
            m->vals_[i] = new_ref(key.get());
        }
        v = std::move(key);
    }
    return param_of(st, dumper, v.get());
}

bool check_converters(PyObject* conv, Py_ssize_t n, const char* what) {
    if (conv != Py_None && (!PyTuple_Check(conv) || PyTuple_Size(conv) != n)) {
        PyErr_Format(PyExc_TypeError, "%s must be None or a tuple with one item per field", what);
        return false;
    }
    return true;
}

inline PyObject* converter_at(PyObject* conv, Py_ssize_t i) {
    return conv == Py_None ? Py_None : PyTuple_GetItem(conv, i);
}

// A tuple of the values (each stolen from `items`).
PyObject* tuple_from(std::vector<Ref>& items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) PyTuple_SetItem(t, static_cast<Py_ssize_t>(i), items[i].release());
    return t;
}

}  // namespace

PyObject* strong_copy(PyObject* objs) { return PyList_GetSlice(objs, 0, PyList_Size(objs)); }

PyObject* key_of(LayoutObject* l, PyObject* const* vals, PyObject* const* loaded) {
    auto at = [vals, loaded](Py_ssize_t i) { return loaded != nullptr && loaded[i] != nullptr ? loaded[i] : vals[i]; };
    if (l->pks_ == nullptr) return new_ref(at(l->pk_));
    // The parts are taken before the tuple is allocated: the allocation may run the
    // collector, and with it code that changes the object.
    std::vector<Ref> parts;
    parts.reserve(static_cast<size_t>(l->npk_));
    for (Py_ssize_t j = 0; j < l->npk_; ++j) parts.push_back(Ref::borrow(at(l->pks_[j])));
    return tuple_from(parts);
}

bool parse_token(PyObject* o, uint64_t& out) {
    if (!PyLong_Check(o) || PyBool_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "the session token must be an int");
        return false;
    }
    const unsigned long long t = PyLong_AsUnsignedLongLong(o);
    if (t == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "the session token must be an int in [0, 2**64)");
        }
        return false;
    }
    out = t;
    return true;
}

// Gives a clean persistent object the values of a row read again (its fields and its
// snapshot), all set before any old value is dropped: a drop may run code that looks at
// the object. An object with unflushed changes keeps them.
int refresh(ModuleState* st, LayoutObject* l, PyObject* existing, std::vector<Ref>& values) {
    ModelObject* m = member(l, existing);
    if (m == nullptr) return -1;
    if ((m->flags_ & kStateMask) != kPersistent || (m->flags_ & kTouched) != 0) return 0;
    const Py_ssize_t n = l->n_;
    // A value that can change in place gets a snapshot of its own (its text), made
    // before anything changes: making one may fail.
    std::vector<Ref> snaps(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const bool own = l->snaps_ != nullptr && snap_of(l, i) != nullptr;
        snaps[i] = own ? Ref::steal(snapshot_value(l, i, values[i].get())) : Ref::borrow(values[i].get());
        if (!snaps[i]) return -1;
    }
    if ((m->flags_ & kStateMask) != kPersistent || (m->flags_ & kTouched) != 0) return 0;  // changed meanwhile
    std::vector<Ref> drops;
    drops.reserve(static_cast<size_t>(2 * n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        drops.push_back(Ref::steal(m->vals_[i]));
        drops.push_back(Ref::steal(m->vals_[n + i]));
        m->vals_[i] = new_ref(values[i].get());
        m->vals_[n + i] = snaps[i].release();
    }
    settle_tracking(st, m, l->untrackable_ != 0);
    return 0;
}

// materialize(layout, rows, identity, loaders, token, refresh=False) -> list of
// instances, one per row, new ones owned by `token`. A row whose key is already in
// `identity` yields the object already there (its unflushed changes win over the row,
// as in every identity-mapped session); with `refresh` (a locking read), a clean one
// takes the row's values.
PyObject* native_materialize(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *rows, *identity, *loaders, *token_arg;
    int refreshing = 0;
    if (!PyArg_ParseTuple(args, "OOO!OO|p:materialize", &lo, &rows, &PyDict_Type, &identity, &loaders, &token_arg,
                          &refreshing))
        return nullptr;
    uint64_t token = 0;
    if (!check_layout_arg(st, lo) || !parse_token(token_arg, token)) return nullptr;
    LayoutObject* l = as_layout(lo);
    const Py_ssize_t n = l->n_;
    if (!check_converters(loaders, n, "loaders")) return nullptr;
    // A tuple cannot change and another sequence is copied; a list is read row by row,
    // each row held while in use: a loader may change the list.
    Ref seq = PyTuple_Check(rows) || PyList_Check(rows) ? Ref::borrow(rows) : Ref::steal(PySequence_List(rows));
    if (!seq) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "rows must be a sequence of rows");
        }
        return nullptr;
    }
    const bool is_tuple = PyTuple_Check(seq.get());
    const Py_ssize_t count = is_tuple ? PyTuple_Size(seq.get()) : PyList_Size(seq.get());
    Ref out = Ref::steal(hidden_list(count));
    if (!out) return nullptr;
    // The class is held by the layout, which the caller's arguments hold.
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(l->cls_);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    std::vector<Ref> tmp(static_cast<size_t>(n));
    std::vector<Ref> snaps;
    for (Py_ssize_t r = 0; r < count; ++r) {
        if (!is_tuple && r >= PyList_Size(seq.get())) {
            PyErr_SetString(PyExc_RuntimeError, "rows changed size during materialize()");
            return nullptr;
        }
        PyObject* row = is_tuple ? PyTuple_GetItem(seq.get(), r) : PyList_GetItem(seq.get(), r);
        Ref items = PyTuple_Check(row) ? Ref::borrow(row) : Ref::steal(PySequence_Tuple(row));
        if (!items) return nullptr;
        if (PyTuple_Size(items.get()) != n) {
            PyErr_Format(PyExc_ValueError, "a row of %R has %zd columns, expected %zd", l->cls_,
                         PyTuple_Size(items.get()), n);
            return nullptr;
        }
        // The whole row is converted first: a failing loader leaves no half-built object.
        for (Py_ssize_t i = 0; i < n; ++i) {
            tmp[i] = Ref::steal(convert(converter_at(loaders, i), PyTuple_GetItem(items.get(), i)));
            if (!tmp[i]) return nullptr;
        }
        Ref row_key;
        if (l->pks_ != nullptr) {
            std::vector<Ref> parts;
            for (Py_ssize_t j = 0; j < l->npk_; ++j) parts.push_back(Ref::borrow(tmp[l->pks_[j]].get()));
            row_key = Ref::steal(tuple_from(parts));
            if (!row_key) return nullptr;
        } else {
            row_key = Ref::borrow(tmp[l->pk_].get());
        }
        Ref existing = Ref::borrow(PyDict_GetItemWithError(identity, row_key.get()));
        if (existing) {
            if (refreshing && refresh(st, l, existing.get(), tmp) != 0) return nullptr;
            PyList_SetItem(out.get(), r, existing.release());
            continue;
        }
        if (PyErr_Occurred()) return nullptr;
        // A value that can change in place gets a snapshot of its own (its text).
        if (l->snaps_ != nullptr) {
            snaps.clear();
            snaps.resize(static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (snap_of(l, i) == nullptr) continue;
                snaps[i] = Ref::steal(snapshot_value(l, i, tmp[i].get()));
                if (!snaps[i]) return nullptr;
            }
        }
        Ref obj = Ref::steal(alloc(cls, 0));
        if (!obj) return nullptr;
        ModelObject* m = as_model(obj.get());
        const Py_ssize_t r_count = l->r_;
        PyObject** vals =
            static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(2 * n + r_count) * sizeof(PyObject*)));
        if (vals == nullptr) return PyErr_NoMemory();
        for (Py_ssize_t i = 0; i < n; ++i) {
            vals[i] = tmp[i].release();
            vals[n + i] = !snaps.empty() && snaps[i] ? snaps[i].release() : new_ref(vals[i]);
        }
        for (Py_ssize_t i = 0; i < r_count; ++i) vals[2 * n + i] = nullptr;
        m->layout_ = as_layout(new_ref(as_object(l)));  // before the array: it counts the relation slots
        m->vals_ = vals;
        m->n_ = static_cast<uint32_t>(n);
        m->flags_ = kPersistent | kFilled;
        m->owner_ = token;
        settle_tracking(st, m, l->untrackable_ != 0);
        PyList_SetItem(out.get(), r, new_ref(obj.get()));
        // The key as looked up (held: hashing it may run code).
        if (PyDict_SetItem(identity, row_key.get(), obj.get()) != 0) return nullptr;
    }
    return reveal(out);
}

// insert_params(layout, objs, idxs, dumpers, flat): the values of fields `idxs` of each
// object, dumped; one tuple per object, or one flat list for a multi-row VALUES.
PyObject* native_insert_params(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *objs, *idxs, *dumpers;
    int flat;
    if (!PyArg_ParseTuple(args, "OO!O!Op:insert_params", &lo, &PyList_Type, &objs, &PyTuple_Type, &idxs, &dumpers,
                          &flat))
        return nullptr;
    if (!check_layout_arg(st, lo)) return nullptr;
    LayoutObject* l = as_layout(lo);
    if (!check_converters(dumpers, l->n_, "dumpers")) return nullptr;
    const Py_ssize_t width = PyTuple_Size(idxs);
    std::vector<Py_ssize_t> cols(static_cast<size_t>(width));
    for (Py_ssize_t c = 0; c < width; ++c) {
        PyObject* index = PyTuple_GetItem(idxs, c);
        cols[c] = PyLong_Check(index) ? PyLong_AsSsize_t(index) : -1;
        if (cols[c] < 0 || cols[c] >= l->n_) {
            PyErr_Clear();
            PyErr_SetString(PyExc_IndexError, "insert_params() takes field indexes of the layout");
            return nullptr;
        }
    }
    Ref held = Ref::steal(strong_copy(objs));
    if (!held) return nullptr;
    const Py_ssize_t count = PyList_Size(held.get());
    if (flat && width > 0 && count > PY_SSIZE_T_MAX / width) return PyErr_NoMemory();
    Ref out = Ref::steal(hidden_list(flat ? count * width : count));
    if (!out) return nullptr;
    std::vector<Ref> row(flat ? 0 : static_cast<size_t>(width));
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(held.get(), r);
        ModelObject* m = member(l, o);
        if (m == nullptr) return nullptr;
        for (Py_ssize_t c = 0; c < width; ++c) {
            PyObject* v = bind_value(st, l, m, cols[c], converter_at(dumpers, cols[c]));
            if (v == nullptr) return nullptr;
            if (flat) {
                PyList_SetItem(out.get(), r * width + c, v);
            } else {
                row[c] = Ref::steal(v);
            }
        }
        if (!flat) {
            PyObject* t = tuple_from(row);
            if (t == nullptr) return nullptr;
            PyList_SetItem(out.get(), r, t);
        }
    }
    return reveal(out);
}

// update_groups(layout, objs, dumpers, version=-1) -> [(field indexes, [params], [objs])]:
// the changed fields of each object, grouped by which fields changed, so that every
// group is one UPDATE text run with executemany. Each params tuple is the changed
// values then the key the row had when loaded.
//
// With `version` (the index of the model's version field), that field is written by
// every UPDATE: its parameter is the object's version plus one, and the tuple ends with
// the object's version (the row must still have it). Once every tuple is built, each
// object holds its next version, which the flush's snapshot then takes.
PyObject* native_update_groups(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *objs, *dumpers;
    Py_ssize_t version = -1;
    if (!PyArg_ParseTuple(args, "OO!O|n:update_groups", &lo, &PyList_Type, &objs, &dumpers, &version))
        return nullptr;
    if (!check_layout_arg(st, lo)) return nullptr;
    LayoutObject* l = as_layout(lo);
    if (!check_converters(dumpers, l->n_, "dumpers")) return nullptr;
    if (version < -1 || version >= l->n_ || version == l->pk_) {
        PyErr_SetString(PyExc_IndexError, "version is the index of a field other than the key, or -1");
        return nullptr;
    }
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    // (object, its next version), applied when nothing can fail any more.
    std::vector<std::pair<Ref, Ref>> bumps;
    struct Group {
        std::vector<uint32_t> fields;
        Ref params, members;
    };
    std::vector<Group> groups;
    std::vector<uint32_t> changed;
    std::vector<Ref> row;
    Ref held = Ref::steal(strong_copy(objs));
    if (!held) return nullptr;
    const Py_ssize_t count = PyList_Size(held.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(held.get(), r);
        ModelObject* m = member(l, o);
        if (m == nullptr || changed_fields(st, m, changed) != 0) return nullptr;
        if (changed.empty()) continue;
        Ref current, next;
        if (version >= 0) {
            const auto v = static_cast<uint32_t>(version);
            auto at = std::lower_bound(changed.begin(), changed.end(), v);
            if (at == changed.end() || *at != v) changed.insert(at, v);
            Ref held = Ref::borrow(m->vals_[version]);
            FieldObject* f = as_field(PyTuple_GetItem(l->fields_, version));
            if (!is_int(held.get())) {
                PyErr_Format(PyExc_TypeError, "%U is a version field and holds %R, not an int", f->label_,
                             held.get());
                return nullptr;
            }
            current = Ref::steal(exact_int(st, held.get()));
            if (!current) return nullptr;
            next = Ref::steal(PyNumber_Add(current.get(), one.get()));
            if (!next) return nullptr;
        }
        Group* g = nullptr;
        for (Group& cand : groups) {
            if (cand.fields == changed) {
                g = &cand;
                break;
            }
        }
        if (g == nullptr) {
            groups.push_back(Group{changed, Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0))});
            g = &groups.back();
            if (!g->params || !g->members) return nullptr;
        }
        row.clear();
        for (uint32_t i : changed) {
            if (static_cast<Py_ssize_t>(i) == version) {
                row.push_back(Ref::borrow(next.get()));
                continue;
            }
            row.push_back(Ref::steal(bind_value(st, l, m, i, converter_at(dumpers, i))));
            if (!row.back()) return nullptr;
        }
        // The key the row had when loaded: one parameter per key field.
        for (Py_ssize_t j = 0; j < l->npk_; ++j) {
            const Py_ssize_t pk = l->pks_ != nullptr ? l->pks_[j] : l->pk_;
            Ref key = Ref::borrow(m->vals_[m->n_ + pk] ? m->vals_[m->n_ + pk] : m->vals_[pk]);
            row.push_back(Ref::steal(param_of(st, converter_at(dumpers, pk), key.get())));
            if (!row.back()) return nullptr;
        }
        if (version >= 0) row.push_back(Ref::borrow(current.get()));
        Ref params = Ref::steal(tuple_from(row));
        if (!params || PyList_Append(g->params.get(), params.get()) != 0 || PyList_Append(g->members.get(), o) != 0)
            return nullptr;
        if (version >= 0) bumps.emplace_back(Ref::borrow(o), std::move(next));
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (Group& g : groups) {
        std::vector<Ref> indexes;
        for (uint32_t i : g.fields) {
            indexes.push_back(Ref::steal(PyLong_FromUnsignedLong(i)));
            if (!indexes.back()) return nullptr;
        }
        Ref fields = Ref::steal(tuple_from(indexes));
        if (!fields) return nullptr;
        Ref item = Ref::steal(PyTuple_Pack(3, fields.get(), g.params.get(), g.members.get()));
        if (!item || PyList_Append(out.get(), item.get()) != 0) return nullptr;
    }
    // The old versions are dropped after every object holds its new one (ints: dropping
    // one runs no code, but a subclass of int may).
    std::vector<Ref> drops;
    drops.reserve(bumps.size());
    for (auto& [obj, next_version] : bumps) {
        ModelObject* m = as_model(obj.get());
        drops.push_back(Ref::steal(m->vals_[version]));
        m->vals_[version] = next_version.release();
    }
    return out.release();
}

// key_params(layout, objs) -> [key]: each object's key as its row has it (the loaded
// key when there is one; a tuple for a composite key); for DELETE.
PyObject* native_key_params(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *objs;
    if (!PyArg_ParseTuple(args, "OO!:key_params", &lo, &PyList_Type, &objs)) return nullptr;
    if (!check_layout_arg(st, lo)) return nullptr;
    LayoutObject* l = as_layout(lo);
    if (l->pks_ != nullptr) {
        // Building the tuples allocates, which may run code that changes `objs`.
        Ref held = Ref::steal(strong_copy(objs));
        if (!held) return nullptr;
        const Py_ssize_t count = PyList_Size(held.get());
        Ref out = Ref::steal(hidden_list(count));
        if (!out) return nullptr;
        for (Py_ssize_t r = 0; r < count; ++r) {
            ModelObject* m = member(l, PyList_GetItem(held.get(), r));
            if (m == nullptr) return nullptr;
            PyObject* key = key_of(l, m->vals_, m->vals_ + m->n_);
            if (key == nullptr) return nullptr;
            PyList_SetItem(out.get(), r, key);
        }
        return reveal(out);
    }
    const Py_ssize_t count = PyList_Size(objs);
    Ref out = Ref::steal(PyList_New(count));
    if (!out) return nullptr;
    // Nothing below allocates or runs code: `objs` cannot change under the loop.
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = member(l, PyList_GetItem(objs, r));
        if (m == nullptr) return nullptr;
        PyObject* key = m->vals_[m->n_ + l->pk_] ? m->vals_[m->n_ + l->pk_] : m->vals_[l->pk_];
        PyList_SetItem(out.get(), r, new_ref(key));
    }
    return out.release();
}

// field_values(objs, index) -> [value]: field `index` of each object (any models).
PyObject* native_field_values(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject* objs;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "O!n:field_values", &PyList_Type, &objs, &index)) return nullptr;
    const Py_ssize_t count = PyList_Size(objs);
    Ref out = Ref::steal(PyList_New(count));
    if (!out) return nullptr;
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(objs, r);
        if (!is_model(st, o) || as_model(o)->vals_ == nullptr) {
            PyErr_SetString(PyExc_TypeError, "field_values() takes a list of model objects");
            return nullptr;
        }
        if (!in_fields(index, as_model(o))) {
            PyErr_Format(PyExc_IndexError, "field index %zd is out of range for %R objects", index,
                         as_object(Py_TYPE(o)));
            return nullptr;
        }
        PyList_SetItem(out.get(), r, new_ref(as_model(o)->vals_[index]));
    }
    return out.release();
}

}  // namespace sablecrest::orm
