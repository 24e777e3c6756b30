// orm/py_related.cpp: loaded relations. Each object keeps one slot per relation of its
// model after its snapshot (NULL: not loaded). They are not fields: dirty checks, flushes
// and parameters never see them, so a model without relations has none and pays nothing.
// A slot holding anything but None puts the object under the collector (a loaded
// collection and its members refer to each other). Refresh is here too: it writes field
// values and snapshots from rows that a set-based UPDATE reported.
#include "orm/py_native.hpp"

#include <vector>

namespace sablecrest::orm {
namespace {

// The model object at `o` with relation slot `index`, or NULL with the error set.
ModelObject* relation_target(ModuleState* st, PyObject* o, Py_ssize_t index, const char* who) {
    if (!is_model(st, o) || as_model(o)->vals_ == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() takes model objects, got %R", who, as_object(Py_TYPE(o)));
        return nullptr;
    }
    ModelObject* m = as_model(o);
    if (index < 0 || index >= relation_count(m)) {
        PyErr_Format(PyExc_IndexError, "relation %zd is out of range for %R objects", index, as_object(Py_TYPE(o)));
        return nullptr;
    }
    return m;
}

// Stores `v` (borrowed) in relation slot `index` of m; the old value is released after.
void put_relation(ModuleState* st, ModelObject* m, Py_ssize_t index, PyObject* v) {
    track_for(st, m, v);
    PyObject* old = relation_slots(m)[index];
    relation_slots(m)[index] = new_ref(v);
    Py_XDECREF(old);
}

// A strong list of model objects that all have relation slot `index`; NULL with the
// error set otherwise. Checked whole before anything changes.
PyObject* relation_list(ModuleState* st, PyObject* objs, Py_ssize_t index, const char* who) {
    if (!PyList_Check(objs)) {
        PyErr_Format(PyExc_TypeError, "%s() takes a list of model objects", who);
        return nullptr;
    }
    Ref list = Ref::steal(strong_copy(objs));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        if (relation_target(st, PyList_GetItem(list.get(), r), index, who) == nullptr) return nullptr;
    }
    return list.release();
}

// The key of model object m as its row has it now (its current primary key value).
PyObject* current_key(ModelObject* m) { return m->vals_[m->layout_->pk_]; }

// Applies `conv` (a callable or None) to a non-None value; new reference.
inline PyObject* convert(PyObject* conv, PyObject* v) {
    if (conv == Py_None || v == Py_None) return new_ref(v);
    // A loader that is a type (int, float) gives a value of exactly that type back as it
    // is: most values already are, and the call would cost more than the rest of the row.
    if (PyType_Check(conv) && reinterpret_cast<PyObject*>(Py_TYPE(v)) == conv) return new_ref(v);
    return PyObject_CallFunctionObjArgs(conv, v, nullptr);
}

enum class Loaded { Yes, No, Stale, Error };

// The value of relation `index` of m into *out (new reference) when it is loaded; for a
// many-to-one (fk >= 0, a field index checked by the caller), Stale when field fk no
// longer refers to the loaded object: it holds another key, or another object.
Loaded relation_value(ModuleState* st, ModelObject* m, Py_ssize_t index, Py_ssize_t fk, PyObject** out) {
    Ref v = Ref::borrow(relation_slots(m)[index]);
    if (!v) return Loaded::No;
    if (fk >= 0) {
        Ref held = Ref::borrow(m->vals_[fk]);
        bool same;
        if (v.get() == Py_None || held.get() == Py_None || held.get() == v.get()) {
            same = held.get() == v.get();
        } else if (!is_model(st, v.get()) || as_model(v.get())->vals_ == nullptr ||
                   as_model(v.get())->layout_ == nullptr) {
            same = false;
        } else {
            Ref key = Ref::borrow(current_key(as_model(v.get())));
            const int eq = key.get() == Py_None ? 0 : PyObject_RichCompareBool(held.get(), key.get(), Py_EQ);
            if (eq < 0) return Loaded::Error;
            same = eq == 1;
        }
        if (!same) return Loaded::Stale;
    }
    *out = v.release();
    return Loaded::Yes;
}

// ------------------------------------------------------------------ RelationBase

struct RelationObject {
    PyObject_HEAD
    Py_ssize_t index_;    // its slot; -1 while unbound
    Py_ssize_t fk_;       // a many-to-one's field, or -1
    PyObject* module_;    /* owned once bound, or NULL */
    ModuleState* state_;  // module_'s state, or NULL
    PyObject* owner_;     /* the model class, owned, or NULL */
    PyObject* missing_;   /* callable(obj, stale) -> the exception to raise, owned, or NULL */
};

RelationObject* as_relation(PyObject* o) { return reinterpret_cast<RelationObject*>(o); }

// The relation's value on `obj`; on the class, the relation itself. What is not loaded
// raises the exception its `missing` makes (naming the relation and how to load it).
PyObject* Relation_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr) return new_ref(self);
    RelationObject* r = as_relation(self);
    if (r->owner_ == nullptr || r->state_ == nullptr) {
        PyErr_SetString(PyExc_TypeError, "this relation is not declared on a model");
        return nullptr;
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(r->owner_))) {
        PyErr_Format(PyExc_TypeError, "relation of %R read on %R", r->owner_, as_object(Py_TYPE(obj)));
        return nullptr;
    }
    ModelObject* m = as_model(obj);
    if (m->vals_ == nullptr || r->index_ >= relation_count(m) || (r->fk_ >= 0 && !in_fields(r->fk_, m))) {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
        return nullptr;
    }
    PyObject* value = nullptr;
    const Loaded got = relation_value(r->state_, m, r->index_, r->fk_, &value);
    if (got == Loaded::Yes) return value;
    if (got == Loaded::Error) return nullptr;
    Ref missing = Ref::borrow(r->missing_), held = Ref::borrow(obj);
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(missing.get(), held.get(),
                                                      got == Loaded::Stale ? Py_True : Py_False, nullptr));
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "a relation's missing() must return an exception");
        return nullptr;
    }
    PyErr_SetObject(as_object(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

// _bind_slot(owner, index, fk, missing): once, by the model's class statement.
PyObject* Relation_bind(PyObject* self, PyObject* args) {
    PyObject *owner, *missing;
    Py_ssize_t index, fk;
    if (!PyArg_ParseTuple(args, "O!nnO:_bind_slot", &PyType_Type, &owner, &index, &fk, &missing)) return nullptr;
    Ref module = Ref::steal(module_of_type(Py_TYPE(self)));
    if (!module) return nullptr;
    ModuleState* st = module_state(module.get());
    RelationObject* r = as_relation(self);
    if (!PyObject_TypeCheck(self, st->relation_type)) {
        PyErr_SetString(PyExc_TypeError, "_bind_slot() needs a RelationBase of the same module");
        return nullptr;
    }
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(owner), st->model_type) || !PyCallable_Check(missing)) {
        PyErr_SetString(PyExc_TypeError, "_bind_slot() takes a Model subclass and a callable");
        return nullptr;
    }
    if (index < 0 || index > 0x7fffffff || fk < -1 || fk > 0x7fffffff) {
        PyErr_SetString(PyExc_ValueError, "bad relation or field index");
        return nullptr;
    }
    if (r->owner_ != nullptr) {
        PyErr_SetString(PyExc_TypeError, "this relation is already bound");
        return nullptr;
    }
    r->module_ = module.release();
    r->state_ = st;
    r->owner_ = new_ref(owner);
    r->missing_ = new_ref(missing);
    r->index_ = index;
    r->fk_ = fk;
    Py_RETURN_NONE;
}

int Relation_traverse(PyObject* self, visitproc visit, void* arg) {
    RelationObject* r = as_relation(self);
    Py_VISIT(as_object(Py_TYPE(self)));
    Py_VISIT(r->module_);
    Py_VISIT(r->owner_);
    Py_VISIT(r->missing_);
    return 0;
}

int Relation_clear(PyObject* self) {
    RelationObject* r = as_relation(self);
    r->state_ = nullptr;
    Py_CLEAR(r->owner_);
    Py_CLEAR(r->missing_);
    Py_CLEAR(r->module_);
    return 0;
}

void Relation_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Relation_clear(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

PyObject* Relation_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* o = alloc(type, 0);
    if (o != nullptr) {
        as_relation(o)->index_ = -1;
        as_relation(o)->fk_ = -1;
    }
    return o;
}

PyMethodDef g_relation_methods[] = {
    {"_bind_slot", entry<Relation_bind>, METH_VARARGS, "Binds the relation to its model's slot (once)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_relation_type(PyObject* module, unsigned long flags) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("The native part of a relation: reads the loaded value from the object's "
                                      "relation slot.")},
        {Py_tp_new, reinterpret_cast<void*>(entry<Relation_new>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(entry<Relation_dealloc>)},
        {Py_tp_traverse, reinterpret_cast<void*>(Relation_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(entry<Relation_clear>)},
        {Py_tp_descr_get, reinterpret_cast<void*>(entry<Relation_get>)},
        {Py_tp_methods, g_relation_methods},
        {0, nullptr},
    };
    return make_type(module, "sablecrest._native.RelationBase", sizeof(RelationObject), flags, slots, true);
}

void forget_relations(ModelObject* m, std::vector<PyObject*>& drops) {
    const Py_ssize_t r = relation_count(m);
    for (Py_ssize_t i = 0; i < r; ++i) {
        drops.push_back(relation_slots(m)[i]);
        relation_slots(m)[i] = nullptr;
    }
}

// set_related(objs, index, values): relation `index` of each object is loaded with the
// value at the same position.
PyObject* native_set_related(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *objs, *values;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "OnO!:set_related", &objs, &index, &PyList_Type, &values)) return nullptr;
    Ref list = Ref::steal(relation_list(st, objs, index, "set_related"));
    if (!list) return nullptr;
    Ref vals = Ref::steal(strong_copy(values));
    if (!vals) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    if (PyList_Size(vals.get()) != count) {
        PyErr_SetString(PyExc_ValueError, "set_related() takes one value per object");
        return nullptr;
    }
    for (Py_ssize_t r = 0; r < count; ++r) {
        put_relation(st, as_model(PyList_GetItem(list.get(), r)), index, PyList_GetItem(vals.get(), r));
    }
    Py_RETURN_NONE;
}

// clear_related(objs, index): relation `index` (every relation for -1) of each object is
// not loaded any more.
PyObject* native_clear_related(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject* objs;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "On:clear_related", &objs, &index)) return nullptr;
    if (index < -1) {
        PyErr_SetString(PyExc_IndexError, "clear_related() takes a relation index, or -1 for all");
        return nullptr;
    }
    if (!PyList_Check(objs)) {
        PyErr_SetString(PyExc_TypeError, "clear_related() takes a list of model objects");
        return nullptr;
    }
    Ref list = Ref::steal(strong_copy(objs));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(list.get(), r);
        if (index == -1 ? (!is_model(st, o) || as_model(o)->vals_ == nullptr)
                        : relation_target(st, o, index, "clear_related") == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "clear_related() takes model objects");
            return nullptr;
        }
    }
    std::vector<PyObject*> drops;
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = as_model(PyList_GetItem(list.get(), r));
        if (index == -1) {
            forget_relations(m, drops);
        } else {
            drops.push_back(relation_slots(m)[index]);
            relation_slots(m)[index] = nullptr;
        }
    }
    for (PyObject* p : drops) Py_XDECREF(p);
    Py_RETURN_NONE;
}

// group_related(parents, index, children, keys): relation `index` of each parent is
// loaded with a new list of the children whose key is the parent's primary key, in
// the children's order. `keys` is a list with one key per child, or the index of the
// children's field that holds it (a one-to-many through that field). Parents listed
// twice share one list.
PyObject* native_group_related(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *parents, *children, *keys;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "OnO!O:group_related", &parents, &index, &PyList_Type, &children, &keys))
        return nullptr;
    Ref plist = Ref::steal(relation_list(st, parents, index, "group_related"));
    if (!plist) return nullptr;
    Ref clist = Ref::steal(strong_copy(children));
    if (!clist) return nullptr;
    const Py_ssize_t count = PyList_Size(clist.get());
    Ref klist;
    Py_ssize_t field = -1;
    if (PyList_Check(keys)) {
        klist = Ref::steal(strong_copy(keys));
        if (!klist) return nullptr;
        if (PyList_Size(klist.get()) != count) {
            PyErr_SetString(PyExc_ValueError, "group_related() takes one key per child");
            return nullptr;
        }
    } else {
        field = PyLong_Check(keys) ? PyLong_AsSsize_t(keys) : -1;
        if (field < 0) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "group_related() takes a list of keys or a field index");
            }
            return nullptr;
        }
        for (Py_ssize_t r = 0; r < count; ++r) {
            PyObject* o = PyList_GetItem(clist.get(), r);
            if (!is_model(st, o) || as_model(o)->vals_ == nullptr || !in_fields(field, as_model(o))) {
                PyErr_Format(PyExc_TypeError, "group_related() takes model objects with field %zd", field);
                return nullptr;
            }
        }
    }
    Ref groups = Ref::steal(PyDict_New());
    if (!groups) return nullptr;
    const Py_ssize_t pcount = PyList_Size(plist.get());
    std::vector<Ref> lists(static_cast<size_t>(pcount));
    for (Py_ssize_t r = 0; r < pcount; ++r) {
        ModelObject* p = as_model(PyList_GetItem(plist.get(), r));
        Ref key = Ref::borrow(current_key(p));  // hashing may run code
        PyObject* found = PyDict_GetItemWithError(groups.get(), key.get());
        if (found != nullptr) {
            lists[r] = Ref::borrow(found);
            continue;
        }
        if (PyErr_Occurred()) return nullptr;
        lists[r] = Ref::steal(PyList_New(0));
        if (!lists[r] || PyDict_SetItem(groups.get(), key.get(), lists[r].get()) != 0) return nullptr;
    }
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* child = PyList_GetItem(clist.get(), r);
        Ref key = Ref::borrow(field >= 0 ? as_model(child)->vals_[field] : PyList_GetItem(klist.get(), r));
        if (key.get() == Py_None) continue;
        PyObject* found = PyDict_GetItemWithError(groups.get(), key.get());
        if (found == nullptr) {
            if (PyErr_Occurred()) return nullptr;
            continue;
        }
        if (PyList_Append(found, child) != 0) return nullptr;
    }
    for (Py_ssize_t r = 0; r < pcount; ++r) {
        put_relation(st, as_model(PyList_GetItem(plist.get(), r)), index, lists[r].get());
    }
    Py_RETURN_NONE;
}

// link_related(objs, index, fk, identity): relation `index` of each object (a many-to-one
// through field fk) is loaded with the object of `identity` whose key the field holds:
// None for a None field, and None for a key that is not there or whose object is marked
// for deletion. A field still holding the object itself gives that object.
PyObject* native_link_related(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *objs, *identity;
    Py_ssize_t index, fk;
    if (!PyArg_ParseTuple(args, "OnnO!:link_related", &objs, &index, &fk, &PyDict_Type, &identity)) return nullptr;
    Ref list = Ref::steal(relation_list(st, objs, index, "link_related"));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        if (!in_fields(fk, as_model(PyList_GetItem(list.get(), r)))) {
            PyErr_Format(PyExc_IndexError, "field index %zd is out of range for the object", fk);
            return nullptr;
        }
    }
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = as_model(PyList_GetItem(list.get(), r));
        Ref key = Ref::borrow(m->vals_[fk]);
        Ref target;
        if (key.get() == Py_None) {
            target = Ref::borrow(Py_None);
        } else if (!gc_free(st, key.get()) && is_model(st, key.get())) {
            target = Ref::borrow(key.get());
        } else {
            PyObject* found = PyDict_GetItemWithError(identity, key.get());
            if (found == nullptr && PyErr_Occurred()) return nullptr;
            const bool gone = found == nullptr || !is_model(st, found) || (as_model(found)->flags_ & kStateMask) == kDeleted;
            target = Ref::borrow(gone ? Py_None : found);
        }
        put_relation(st, m, index, target.get());
    }
    Py_RETURN_NONE;
}

// refresh(layout, rows, idxs, identity, loaders) -> count. Each row is a key and the
// values of fields `idxs`, as the database holds them after a write of its own: the
// object of `identity` with that key takes them as its snapshot, and as its value where
// the field has no unflushed change. Rows of objects not in `identity` are skipped.
// `loaders` converts the row's columns (None, or a tuple of callables or None).
PyObject* native_refresh(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *rows, *idxs, *identity, *loaders;
    if (!PyArg_ParseTuple(args, "OO!O!O!O:refresh", &lo, &PyList_Type, &rows, &PyTuple_Type, &idxs, &PyDict_Type,
                          &identity, &loaders))
        return nullptr;
    if (!check_layout_arg(st, lo)) return nullptr;
    LayoutObject* l = as_layout(lo);
    const Py_ssize_t width = PyTuple_Size(idxs);
    std::vector<Py_ssize_t> cols(static_cast<size_t>(width));
    for (Py_ssize_t c = 0; c < width; ++c) {
        PyObject* i = PyTuple_GetItem(idxs, c);
        cols[c] = PyLong_Check(i) ? PyLong_AsSsize_t(i) : -1;
        if (cols[c] < 0 || cols[c] >= l->n_) {
            PyErr_Clear();
            PyErr_SetString(PyExc_IndexError, "refresh() takes field indexes of the layout");
            return nullptr;
        }
    }
    if (loaders != Py_None && (!PyTuple_Check(loaders) || PyTuple_Size(loaders) != width + 1)) {
        PyErr_SetString(PyExc_TypeError, "loaders must be None or a tuple with one item per column");
        return nullptr;
    }
    Ref held = Ref::steal(strong_copy(rows));
    if (!held) return nullptr;
    const Py_ssize_t count = PyList_Size(held.get());
    Py_ssize_t done = 0;
    std::vector<Ref> values(static_cast<size_t>(width));
    for (Py_ssize_t r = 0; r < count; ++r) {
        Ref row = Ref::steal(PySequence_Tuple(PyList_GetItem(held.get(), r)));
        if (!row) return nullptr;
        if (PyTuple_Size(row.get()) != width + 1) {
            PyErr_Format(PyExc_ValueError, "a refreshed row has %zd columns, expected %zd", PyTuple_Size(row.get()),
                         width + 1);
            return nullptr;
        }
        Ref key = Ref::steal(convert(loaders == Py_None ? Py_None : PyTuple_GetItem(loaders, 0),
                                     PyTuple_GetItem(row.get(), 0)));
        if (!key) return nullptr;
        for (Py_ssize_t c = 0; c < width; ++c) {
            values[c] = Ref::steal(convert(loaders == Py_None ? Py_None : PyTuple_GetItem(loaders, c + 1),
                                           PyTuple_GetItem(row.get(), c + 1)));
            if (!values[c]) return nullptr;
        }
        PyObject* found = PyDict_GetItemWithError(identity, key.get());
        if (found == nullptr) {
            if (PyErr_Occurred()) return nullptr;
            continue;
        }
        Ref obj = Ref::borrow(found);
        ModelObject* m = member(l, obj.get());
        if (m == nullptr) return nullptr;
        const Py_ssize_t n = m->n_;
        for (Py_ssize_t c = 0; c < width; ++c) {
            const Py_ssize_t i = cols[c];
            Ref current = Ref::borrow(m->vals_[i]), loaded = Ref::borrow(m->vals_[n + i]);
            int clean = 0;
            if (loaded) {
                clean = same_value(st, current.get(), loaded.get());
                if (clean < 0) return nullptr;
            }
            track_for(st, m, values[c].get());
            // Replaced before the old values go (held above): a __del__ finds a whole object.
            if (clean) {
                PyObject* old = m->vals_[i];
                m->vals_[i] = new_ref(values[c].get());
                Py_DECREF(old);
            }
            PyObject* old_loaded = m->vals_[n + i];
            m->vals_[n + i] = new_ref(values[c].get());
            Py_XDECREF(old_loaded);
        }
        ++done;
    }
    return PyLong_FromSsize_t(done);
}

// convert_rows(rows, loaders) -> list of tuples: each row as a tuple, each non-None value
// converted by the loader at its position (None: kept as it is).
PyObject* native_convert_rows(PyObject* module, PyObject* args) {
    (void)module;
    PyObject *rows, *loaders;
    if (!PyArg_ParseTuple(args, "O!O:convert_rows", &PyList_Type, &rows, &loaders)) return nullptr;
    if (loaders != Py_None && !PyTuple_Check(loaders)) {
        PyErr_SetString(PyExc_TypeError, "loaders must be None or a tuple");
        return nullptr;
    }
    Ref held = Ref::steal(strong_copy(rows));
    if (!held) return nullptr;
    const Py_ssize_t count = PyList_Size(held.get());
    const Py_ssize_t width = loaders == Py_None ? -1 : PyTuple_Size(loaders);
    Ref out = Ref::steal(PyList_New(count));
    if (!out) return nullptr;
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* row = PyList_GetItem(held.get(), r);
        Ref items = PyTuple_CheckExact(row) ? Ref::borrow(row) : Ref::steal(PySequence_Tuple(row));
        if (!items) return nullptr;
        if (width < 0) {
            PyList_SetItem(out.get(), r, items.release());
            continue;
        }
        if (PyTuple_Size(items.get()) != width) {
            PyErr_Format(PyExc_ValueError, "a row has %zd columns, expected %zd", PyTuple_Size(items.get()), width);
            return nullptr;
        }
        Ref t = Ref::steal(PyTuple_New(width));
        if (!t) return nullptr;
        for (Py_ssize_t i = 0; i < width; ++i) {
            PyObject* v = convert(PyTuple_GetItem(loaders, i), PyTuple_GetItem(items.get(), i));
            if (v == nullptr) return nullptr;
            PyTuple_SetItem(t.get(), i, v);
        }
        PyList_SetItem(out.get(), r, t.release());
    }
    return out.release();
}

PyObject* model_setstate(PyObject* self, PyObject* state) {
    ModelObject* m = as_model(self);
    if (m->vals_ == nullptr) {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
        return nullptr;
    }
    if (!PyDict_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "__setstate__() takes the dict of loaded relations");
        return nullptr;
    }
    LayoutObject* l = m->layout_;
    if (l == nullptr) {
        PyErr_SetString(PyExc_TypeError, "the object has no layout");
        return nullptr;
    }
    Ref items = Ref::steal(PyDict_Items(state));  // a snapshot: setting slots may run no code, but keys may
    if (!items) return nullptr;
    const Py_ssize_t count = PyList_Size(items.get());
    std::vector<Py_ssize_t> slots(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* index = PyTuple_GetItem(PyList_GetItem(items.get(), k), 0);
        slots[k] = PyLong_Check(index) ? PyLong_AsSsize_t(index) : -1;
        if (slots[k] < 0 || slots[k] >= relation_count(m)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%R has %zd relations; the pickled object has others",
                         as_object(Py_TYPE(self)), relation_count(m));
            return nullptr;
        }
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        put_relation(l->state_, m, slots[k], PyTuple_GetItem(PyList_GetItem(items.get(), k), 1));
    }
    Py_RETURN_NONE;
}

}  // namespace sablecrest::orm
