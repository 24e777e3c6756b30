// orm/py_states.cpp: the state kernels: what a session does to its objects (checks,
// dirtiness, snapshots, transitions, membership). An object's flags and snapshot are
// changed together, before any old value is dropped: a __del__ run by a drop that
// assigns a field then marks the object touched after the change, never before it.
#include "orm/py_native.hpp"

#include <vector>

namespace sablecrest::orm {
namespace {

// A strong list of `objs` (any iterable) holding model objects only; NULL with
// TypeError otherwise. Checked whole before a caller changes any of them.
PyObject* model_list(ModuleState* st, PyObject* objs, const char* who) {
    Ref list = Ref::steal(PySequence_List(objs));
    if (!list) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s() takes an iterable of model objects", who);
        }
        return nullptr;
    }
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(list.get(), r);
        if (!is_model(st, o) || as_model(o)->vals_ == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() takes model objects, got %R", who, as_object(Py_TYPE(o)));
            return nullptr;
        }
    }
    return list.release();
}

// Drops the references collected while an object was changed, once it is whole again.
void drop_all(std::vector<PyObject*>& drops) {
    for (PyObject* p : drops) Py_XDECREF(p);
    drops.clear();
}

// The snapshot becomes the current values (what the row now holds); the old snapshot
// values go to `drops`, which has room for m->n_ more.
void take_snapshot(ModelObject* m, std::vector<PyObject*>& drops) {
    for (uint32_t i = 0; i < m->n_; ++i) {
        drops.push_back(m->vals_[m->n_ + i]);
        m->vals_[m->n_ + i] = new_ref(m->vals_[i]);
    }
}

// Every field counts as changed from now on; the old snapshot values go to `drops`.
void forget_snapshot(ModelObject* m, std::vector<PyObject*>& drops) {
    for (uint32_t i = 0; i < m->n_; ++i) {
        drops.push_back(m->vals_[m->n_ + i]);
        m->vals_[m->n_ + i] = nullptr;
    }
}

// The layout of a model class through the module's own name and type, or NULL
// without an error set when there is none.
LayoutObject* layout_in(ModuleState* st, PyTypeObject* type) {
    PyObject* l = PyObject_GetAttr(as_object(type), st->layout_attr);
    if (l == nullptr || !PyObject_TypeCheck(l, st->layout_type) || as_layout(l)->fields_ == nullptr) {
        PyErr_Clear();
        Py_XDECREF(l);
        return nullptr;
    }
    return as_layout(l);
}

bool model_at(ModuleState* st, PyObject* obj, const char* who) {
    if (!is_model(st, obj) || as_model(obj)->vals_ == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() takes a model object", who);
        return false;
    }
    return true;
}

// Whether the current value of a field with a snapshot converter (a JSON value) differs
// from its snapshot text: 1 changed, 0 same, -1 on error. Converting runs code: both
// values are held.
int snapshot_differs(LayoutObject* l, Py_ssize_t i, PyObject* current, PyObject* loaded) {
    if (current == loaded) return 0;
    if (loaded == nullptr || loaded == Py_None || current == Py_None || !PyUnicode_CheckExact(loaded)) return 1;
    Ref hold_current = Ref::borrow(current), hold_loaded = Ref::borrow(loaded);
    Ref text = Ref::steal(snapshot_value(l, i, current));
    if (!text) return -1;
    const int cmp = PyUnicode_Compare(text.get(), loaded);
    if (cmp == -1 && PyErr_Occurred()) return -1;
    return cmp != 0 ? 1 : 0;
}

}  // namespace

PyObject* snapshot_value(LayoutObject* l, Py_ssize_t i, PyObject* v) {
    PyObject* conv = snap_of(l, i);
    if (conv == nullptr || v == Py_None) return new_ref(v);
    Ref hold = Ref::borrow(conv);
    Ref text = Ref::steal(PyObject_CallFunctionObjArgs(hold.get(), v, nullptr));
    if (text && !PyUnicode_CheckExact(text.get())) {
        PyErr_Format(PyExc_TypeError, "a snapshot converter returns a str, got %R", as_object(Py_TYPE(text.get())));
        return nullptr;
    }
    return text.release();
}

int changed_fields(ModuleState* st, ModelObject* m, std::vector<uint32_t>& out) {
    out.clear();
    // A layout with snapshot converters is held: converting runs code.
    Ref layout = m->layout_ != nullptr && m->layout_->snaps_ != nullptr && m->layout_->n_ == m->n_
                     ? Ref::borrow(as_object(m->layout_))
                     : Ref();
    for (uint32_t i = 0; i < m->n_; ++i) {
        PyObject* current = m->vals_[i];
        PyObject* loaded = m->vals_[m->n_ + i];
        if (layout && snap_of(as_layout(layout.get()), i) != nullptr) {
            const int differs = snapshot_differs(as_layout(layout.get()), i, current, loaded);
            if (differs < 0) return -1;
            if (differs) out.push_back(i);
            continue;
        }
        if (current == loaded) continue;
        if (loaded == nullptr || Py_TYPE(current) != Py_TYPE(loaded)) {
            out.push_back(i);
            continue;
        }
        // Exact ints, strs and bytes compare without running code; anything else is held.
        const bool inert = PyLong_CheckExact(current) || PyUnicode_CheckExact(current) || PyBytes_CheckExact(current);
        Ref hold_current = inert ? Ref() : Ref::borrow(current), hold_loaded = inert ? Ref() : Ref::borrow(loaded);
        const int same = same_value(st, current, loaded);
        if (same < 0) return -1;
        if (!same) out.push_back(i);
    }
    return 0;
}

namespace {

// Every value with a snapshot converter (JSON) converts: a value that cannot be written
// is refused here, before any statement, by the converter's own error (it names the
// field). Converting runs code: the objects and values are held.
int check_snapshots_convert(LayoutObject* l, PyObject* objs) {
    Ref held = Ref::steal(strong_copy(objs));
    if (!held) return -1;
    const Py_ssize_t count = PyList_Size(held.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = member(l, PyList_GetItem(held.get(), r));
        if (m == nullptr) return -1;
        for (Py_ssize_t i = 0; i < l->n_ && i < static_cast<Py_ssize_t>(m->n_); ++i) {
            if (snap_of(l, i) == nullptr || m->vals_[i] == Py_None) continue;
            Ref value = Ref::borrow(m->vals_[i]);
            Ref text = Ref::steal(snapshot_value(l, i, value.get()));
            if (!text) return -1;
        }
    }
    return 0;
}

}  // namespace

// validate(layout, objs, reject_nan, token, fresh=True): ValueError for a NOT NULL field
// holding None (a generated primary key excepted, and for `fresh` rows to be inserted a
// field the database fills with its server default), for a reference to an object that will never get a
// key, and (with reject_nan) for a float field holding NaN, which some databases store
// as NULL. Runs no Python code: the list cannot change under the loop.
PyObject* native_validate(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *objs, *token_arg;
    int reject_nan, fresh = 1;
    uint64_t token;
    if (!PyArg_ParseTuple(args, "OO!pO|p:validate", &lo, &PyList_Type, &objs, &reject_nan, &token_arg, &fresh) ||
        !parse_token(token_arg, token))
        return nullptr;
    if (!check_layout_arg(st, lo)) return nullptr;
    LayoutObject* l = as_layout(lo);
    const Py_ssize_t count = PyList_Size(objs);
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = member(l, PyList_GetItem(objs, r));
        if (m == nullptr) return nullptr;
        for (Py_ssize_t i = 0; i < l->n_; ++i) {
            PyObject* v = m->vals_[i];
            FieldObject* f = as_field(PyTuple_GetItem(l->fields_, i));
            if (v == Py_None) {
                if ((f->flags_ & kNullable) != 0 || (i == l->pk_ && l->pk_generated_)) continue;
                if (fresh && (f->flags_ & kServerDefault) != 0) continue;  // the INSERT leaves it to the database
                PyErr_Format(PyExc_ValueError, "%U is NOT NULL but is None", f->label_);
                return nullptr;
            }
            if (is_model(st, v)) {
                const uint32_t state = as_model(v)->flags_ & kStateMask;
                if (state != kPending && state != kPersistent && state != kDetached) {
                    PyErr_Format(PyExc_ValueError, "%U refers to an object that is not in a session (add it first)",
                                 f->label_);
                    return nullptr;
                }
                // A new object of another session gets its key from that session's flush,
                // which this one cannot wait for.
                if (state == kPending && as_model(v)->owner_ != token) {
                    PyErr_Format(PyExc_ValueError, "%U refers to a new object of another open session (flush and "
                                 "commit it there first)", f->label_);
                    return nullptr;
                }
            } else if (reject_nan && static_cast<Kind>(f->kind_) == Kind::Float && PyFloat_Check(v) &&
                       std::isnan(PyFloat_AsDouble(v))) {
                PyErr_Format(PyExc_ValueError,
                             "%U is NaN, which this database cannot store", f->label_);
                return nullptr;
            }
        }
    }
    if (l->snaps_ != nullptr && check_snapshots_convert(l, objs) != 0) return nullptr;
    Py_RETURN_NONE;
}

// begin_write(objs): the flush is about to write these objects; an assignment from now
// on marks them touched again (see mark_flushed).
PyObject* native_begin_write(PyObject* module, PyObject* objs) {
    Ref list = Ref::steal(model_list(module_state(module), objs, "begin_write"));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) as_model(PyList_GetItem(list.get(), r))->flags_ &= ~kTouched;
    Py_RETURN_NONE;
}

namespace {

// What a flush wrote, for the snapshots of JSON fields: (field indexes, params, flat), the
// parameters as insert_params (flat: one list) or update_groups (one tuple per object,
// the fields first) made them.
struct Written {
    Ref idxs, params;
    bool flat = false;
    Py_ssize_t width = 0;

    bool parse(PyObject* arg, Py_ssize_t count, Py_ssize_t n) {
        PyObject *i, *p;
        int f;
        if (!PyTuple_Check(arg) || !PyArg_ParseTuple(arg, "O!O!p:written", &PyTuple_Type, &i, &PyList_Type, &p, &f)) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "written is None or (field indexes, params, flat)");
            }
            return false;
        }
        width = PyTuple_Size(i);
        for (Py_ssize_t c = 0; c < width; ++c) {
            PyObject* index = PyTuple_GetItem(i, c);
            const Py_ssize_t v = PyLong_Check(index) ? PyLong_AsSsize_t(index) : -1;
            if (v < 0 || v >= n) {
                PyErr_Clear();
                PyErr_SetString(PyExc_IndexError, "written names field indexes of the layout");
                return false;
            }
        }
        const Py_ssize_t len = PyList_Size(p);
        if ((f && len != count * width) || (!f && len != count)) {
            PyErr_SetString(PyExc_ValueError, "written has a parameter row per object");
            return false;
        }
        idxs = Ref::borrow(i);
        params = Ref::steal(strong_copy(p));
        flat = f != 0;
        return static_cast<bool>(params);
    }

    // The parameter written for field i of object r (borrowed), NULL when it was not
    // written or is not there.
    PyObject* at(Py_ssize_t r, Py_ssize_t i) const {
        for (Py_ssize_t c = 0; c < width; ++c) {
            if (PyLong_AsSsize_t(PyTuple_GetItem(idxs.get(), c)) != i) continue;
            if (flat) return PyList_GetItem(params.get(), r * width + c);
            PyObject* row = PyList_GetItem(params.get(), r);
            return PyTuple_Check(row) && c < PyTuple_Size(row) ? PyTuple_GetItem(row, c) : nullptr;
        }
        return nullptr;
    }
};

// filled: (field indexes, rows): one tuple of values per object, one value per index.
bool parse_filled(PyObject* arg, Py_ssize_t count, Py_ssize_t n, Ref& idxs, Ref& rows) {
    PyObject *i, *p;
    if (!PyTuple_Check(arg) || !PyArg_ParseTuple(arg, "O!O!:filled", &PyTuple_Type, &i, &PyList_Type, &p) ||
        PyList_Size(p) != count) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "filled is None or (field indexes, one tuple of values per object)");
        return false;
    }
    const Py_ssize_t width = PyTuple_Size(i);
    for (Py_ssize_t c = 0; c < width; ++c) {
        PyObject* index = PyTuple_GetItem(i, c);
        const Py_ssize_t v = PyLong_Check(index) ? PyLong_AsSsize_t(index) : -1;
        if (v < 0 || v >= n) {
            PyErr_Clear();
            PyErr_SetString(PyExc_IndexError, "filled names field indexes of the layout");
            return false;
        }
    }
    rows = Ref::steal(strong_copy(p));
    if (!rows) return false;
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* row = PyList_GetItem(rows.get(), r);
        if (!PyTuple_Check(row) || PyTuple_Size(row) != width) {
            PyErr_SetString(PyExc_TypeError, "filled has one tuple of values per object, one value per index");
            return false;
        }
    }
    idxs = Ref::borrow(i);
    return true;
}

// The next snapshots of m's JSON fields, into `next` (empty Refs for the other fields):
// the text written when the flush wrote the field (the database holds what was sent, not
// what the value became meanwhile), the old snapshot when it did not, and the value's
// own text when neither is known.
int next_snapshots(LayoutObject* l, ModelObject* m, const Written* written, Py_ssize_t r, std::vector<Ref>& next) {
    next.clear();
    next.resize(static_cast<size_t>(l->n_));
    for (Py_ssize_t i = 0; i < l->n_; ++i) {
        if (snap_of(l, i) == nullptr) continue;
        PyObject* sent = written != nullptr ? written->at(r, i) : nullptr;
        if (sent != nullptr && (sent == Py_None || PyUnicode_CheckExact(sent))) {
            next[i] = Ref::borrow(sent);
        } else if (sent == nullptr && m->vals_[m->n_ + i] != nullptr) {
            next[i] = Ref::borrow(m->vals_[m->n_ + i]);
        } else {
            Ref value = Ref::borrow(m->vals_[i]);
            next[i] = Ref::steal(snapshot_value(l, i, value.get()));
            if (!next[i]) return -1;
        }
    }
    return 0;
}

}  // namespace

// mark_flushed(layout, objs, identity, keys, written=None): after a successful INSERT or
// UPDATE. With `keys` (generated primary keys, one per object) they are set first. Each
// object is then keyed in `identity` under its current key (a changed key moves; a
// composite key is a tuple), snapshotted and persistent. An object assigned to since
// begin_write (another task ran while the flush waited for the driver) may hold values
// that were not written: it keeps no snapshot and stays touched, so that the next flush
// writes all of it. A JSON field's snapshot is the text `written` says was sent (see
// next_snapshots): a change made in place meanwhile is not taken as written.
PyObject* native_mark_flushed(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *objs, *identity, *keys, *written_arg = Py_None, *filled_arg = Py_None;
    if (!PyArg_ParseTuple(args, "OO!O!O|OO:mark_flushed", &lo, &PyList_Type, &objs, &PyDict_Type, &identity, &keys,
                          &written_arg, &filled_arg))
        return nullptr;
    if (!check_layout_arg(st, lo)) return nullptr;
    LayoutObject* l = as_layout(lo);
    Ref held = Ref::steal(strong_copy(objs));
    if (!held) return nullptr;
    const Py_ssize_t count = PyList_Size(held.get());
    Ref held_keys;
    if (keys != Py_None) {
        if (l->pks_ != nullptr) {
            PyErr_SetString(PyExc_ValueError, "a composite key is never generated");
            return nullptr;
        }
        if (!PyList_Check(keys) || PyList_Size(keys) != count) {
            PyErr_SetString(PyExc_ValueError, "one generated key per object is needed");
            return nullptr;
        }
        held_keys = Ref::steal(strong_copy(keys));
        if (!held_keys) return nullptr;
    }
    Written written;
    if (written_arg != Py_None && !written.parse(written_arg, count, l->n_)) return nullptr;
    Ref filled_idxs, filled_rows;
    if (filled_arg != Py_None && !parse_filled(filled_arg, count, l->n_, filled_idxs, filled_rows)) return nullptr;
    for (Py_ssize_t r = 0; r < count; ++r) {
        if (member(l, PyList_GetItem(held.get(), r)) == nullptr) return nullptr;
    }
    const Py_ssize_t pk = l->pk_;
    const bool composite = l->pks_ != nullptr;
    std::vector<PyObject*> drops;
    drops.reserve(2 * static_cast<size_t>(l->n_) + 1);
    std::vector<Ref> next;
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(held.get(), r);
        ModelObject* m = as_model(o);
        if (held_keys) {
            PyObject* key = PyList_GetItem(held_keys.get(), r);
            track_for(st, m, key);
            Ref old = Ref::steal(m->vals_[pk]);
            m->vals_[pk] = new_ref(key);
        }
        if (filled_rows) {
            // What the database filled in: into the fields still None (a value assigned
            // meanwhile is the program's, written by the next flush).
            PyObject* row = PyList_GetItem(filled_rows.get(), r);
            for (Py_ssize_t c = 0; c < PyTuple_Size(filled_idxs.get()); ++c) {
                const Py_ssize_t i = PyLong_AsSsize_t(PyTuple_GetItem(filled_idxs.get(), c));
                if (m->vals_[i] != Py_None) continue;
                PyObject* v = PyTuple_GetItem(row, c);
                track_for(st, m, v);
                Ref old = Ref::steal(m->vals_[i]);
                m->vals_[i] = new_ref(v);
            }
        }
        const bool snapped = l->snaps_ != nullptr && (m->flags_ & kTouched) == 0;
        if (snapped && next_snapshots(l, m, written_arg != Py_None ? &written : nullptr, r, next) != 0) return nullptr;
        Ref old_key, new_key;
        if (m->vals_[m->n_ + pk] != nullptr) {
            old_key = composite ? Ref::steal(key_of(l, m->vals_, m->vals_ + m->n_)) : Ref::borrow(m->vals_[m->n_ + pk]);
            if (!old_key) return nullptr;
        }
        new_key = composite ? Ref::steal(key_of(l, m->vals_, nullptr)) : Ref::borrow(m->vals_[pk]);
        if (!new_key) return nullptr;
        if (old_key && old_key.get() != new_key.get()) {
            const int same = PyObject_RichCompareBool(old_key.get(), new_key.get(), Py_EQ);
            if (same < 0) return nullptr;
            if (!same) {
                PyObject* there = PyDict_GetItemWithError(identity, old_key.get());
                if (there == nullptr && PyErr_Occurred()) return nullptr;
                if (there == o && PyDict_DelItem(identity, old_key.get()) != 0) return nullptr;
            }
        }
        // Decided and done with no code run in between; the drops come after.
        if ((m->flags_ & kTouched) != 0) {
            forget_snapshot(m, drops);
            m->flags_ = kPersistent | (m->flags_ & (kTouched | kUntracked | kFilled));
        } else {
            take_snapshot(m, drops);
            if (snapped) {
                for (Py_ssize_t i = 0; i < l->n_; ++i) {
                    if (!next[i]) continue;
                    drops.push_back(m->vals_[m->n_ + i]);
                    m->vals_[m->n_ + i] = next[i].release();
                }
            }
            m->flags_ = kPersistent | (m->flags_ & (kUntracked | kFilled));
        }
        // The key as it is now (code run by the comparison may have changed it); a tuple
        // is allocated only once the object is whole again.
        new_key = composite ? Ref::steal(key_of(l, m->vals_, nullptr)) : Ref::borrow(m->vals_[pk]);
        if (!new_key) {
            drop_all(drops);
            return nullptr;
        }
        drop_all(drops);
        if (PyDict_SetItem(identity, new_key.get(), o) != 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// dirty_objects(layout, objects): the persistent objects among `objects` (an iterable,
// typically an identity map, whose values are taken) that hold a change; an object
// assigned back to its loaded values is clean again and loses its touched mark. The
// objects are held while __eq__ runs: it may drop every other reference to them.
PyObject* native_dirty_objects(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *lo, *objects;
    if (!PyArg_ParseTuple(args, "OO:dirty_objects", &lo, &objects)) return nullptr;
    if (!check_layout_arg(st, lo)) return nullptr;
    LayoutObject* l = as_layout(lo);
    // First the candidates (touched and persistent), held: finding them runs no code
    // (a std::vector grows without the collector), so a dict is walked in place; most
    // of an identity map is skipped here.
    std::vector<Ref> candidates;
    // A value that changes in place (JSON) marks nothing: every persistent object of
    // such a layout is compared.
    const uint32_t marks = l->snaps_ != nullptr ? 0 : kTouched;
    auto consider = [&](PyObject* o) -> int {
        ModelObject* m = member(l, o);
        if (m == nullptr) return -1;
        if ((m->flags_ & marks) == marks && (m->flags_ & kStateMask) == kPersistent) {
            candidates.push_back(Ref::borrow(o));
        }
        return 0;
    };
    if (PyDict_Check(objects)) {
        Ref dict = Ref::borrow(objects);
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(dict.get(), &pos, &key, &value)) {
            if (consider(value) != 0) return nullptr;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(objects));
        if (!it) return nullptr;
        while (Ref o = Ref::steal(PyIter_Next(it.get()))) {
            if (consider(o.get()) != 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    std::vector<uint32_t> changed;
    for (const Ref& candidate : candidates) {
        PyObject* o = candidate.get();
        ModelObject* m = as_model(o);
        const uint64_t epoch = st->epoch;
        if (changed_fields(st, m, changed) != 0) return nullptr;
        if ((m->flags_ & kStateMask) != kPersistent) continue;  // __eq__ changed its state
        if (!changed.empty()) {
            if (PyList_Append(out.get(), o) != 0) return nullptr;
        } else if (st->epoch == epoch) {
            // Clean, and nothing was assigned while comparing (that could have made
            // an already compared field differ).
            m->flags_ &= ~kTouched;
        }
    }
    return out.release();
}

// transition(objs, op, token=0, pk=-1): one of TRANSITIONS applied to each object. All
// of the objects are checked before any changes.
PyObject* native_transition(PyObject* module, PyObject* args, PyObject* kwds) {
    ModuleState* st = module_state(module);
    static const char* kwlist[] = {"objs", "op", "token", "pk", nullptr};
    PyObject *objs, *op_arg, *token_arg = nullptr;
    Py_ssize_t pk = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|On:transition", const_cast<char**>(kwlist), &objs, &op_arg,
                                     &token_arg, &pk))
        return nullptr;
    long op = -1;
    if (PyLong_Check(op_arg)) {
        op = PyLong_AsLong(op_arg);
        if (op == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    const TransitionRule* rule = transition_rule(op);
    if (rule == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown transition %R (expected one of TRANSITIONS)", op_arg);
        return nullptr;
    }
    uint64_t token = 0;
    if (token_arg != nullptr && !parse_token(token_arg, token)) return nullptr;
    Ref list = Ref::steal(model_list(st, objs, "transition"));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    const bool clear_key = rule->clear_key && pk >= 0;
    if (rule->clear_key && pk < -1) {
        PyErr_SetString(PyExc_IndexError, "pk is a field index, or -1 for none");
        return nullptr;
    }
    for (Py_ssize_t r = 0; clear_key && r < count; ++r) {
        if (!in_fields(pk, as_model(PyList_GetItem(list.get(), r)))) {
            PyErr_Format(PyExc_IndexError, "pk %zd is out of range for the object", pk);
            return nullptr;
        }
    }
    std::vector<PyObject*> drops;
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = as_model(PyList_GetItem(list.get(), r));
        drops.reserve(static_cast<size_t>(m->n_) + static_cast<size_t>(relation_count(m)) + 1);
        // What the object loaded along with its row goes with the snapshot: after a
        // rollback or its row's delete, a relation may name rows that are not there.
        if (rule->forget) {
            forget_snapshot(m, drops);
            forget_relations(m, drops);
        }
        if (clear_key) {
            drops.push_back(m->vals_[pk]);
            m->vals_[pk] = new_ref(Py_None);
        }
        m->flags_ = flags_after(*rule, m->flags_);
        m->owner_ = owner_after(*rule, m->owner_, token);
        drop_all(drops);
    }
    Py_RETURN_NONE;
}

// add_pending(objs, pending, start, token) -> index. From `start` on, each object of
// the list that is an instance of a concrete model and transient (or pending but not
// yet in `pending`) becomes pending, owned by `token`, and is entered in `pending` under
// id(obj), keeping its touched mark; a pending object already there is left as it is.
// Stops at the first other object (one owned by another session among them) and
// returns its index (len(objs) when there is none), so that the caller handles that
// one the slow way and carries on after it.
PyObject* native_add_pending(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *objs, *pending, *token_arg;
    Py_ssize_t start;
    if (!PyArg_ParseTuple(args, "O!O!nO:add_pending", &PyList_Type, &objs, &PyDict_Type, &pending, &start,
                          &token_arg))
        return nullptr;
    uint64_t token = 0;
    if (!parse_token(token_arg, token)) return nullptr;
    Ref checked;  // the last type found to be a concrete model
    Py_ssize_t i = start < 0 ? 0 : start;
    // The length is read again on every step: code run by a lookup may change the list.
    for (; i < PyList_Size(objs); ++i) {
        Ref o = Ref::borrow(PyList_GetItem(objs, i));
        if (!is_model(st, o.get()) || as_model(o.get())->vals_ == nullptr) break;
        PyTypeObject* type = Py_TYPE(o.get());
        if (as_object(type) != checked.get()) {
            // A concrete model is the class its layout was made for (not a subclass).
            LayoutObject* l = layout_in(st, type);
            const bool concrete = l != nullptr && l->cls_ == as_object(type);
            Py_XDECREF(l);
            if (!concrete) break;
            checked = Ref::borrow(as_object(type));
        }
        ModelObject* m = as_model(o.get());
        const uint32_t state = m->flags_ & kStateMask;
        if ((state != kTransient && state != kPending) || (m->owner_ != 0 && m->owner_ != token)) break;
        Ref key = Ref::steal(PyLong_FromVoidPtr(o.get()));
        if (!key) return nullptr;
        if (state == kPending) {
            const int there = PyDict_Contains(pending, key.get());
            if (there < 0) return nullptr;
            if (there) continue;
        }
        if (PyDict_SetItem(pending, key.get(), o.get()) != 0) return nullptr;
        m->flags_ = kPending | (m->flags_ & (kTouched | kUntracked | kFilled));
        m->owner_ = token;
    }
    return PyLong_FromSsize_t(i);
}

// changes(obj) -> tuple of the indexes of the fields that differ from the snapshot.
PyObject* native_changes(PyObject* module, PyObject* obj) {
    ModuleState* st = module_state(module);
    if (!model_at(st, obj, "changes")) return nullptr;
    std::vector<uint32_t> changed;
    if (changed_fields(st, as_model(obj), changed) != 0) return nullptr;
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(changed.size())));
    if (!t) return nullptr;
    for (size_t c = 0; c < changed.size(); ++c) {
        PyObject* i = PyLong_FromUnsignedLong(changed[c]);
        if (i == nullptr) return nullptr;
        PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(c), i);
    }
    return t.release();
}

// loaded(obj, index) -> the snapshot value of a field; raises LookupError when unknown.
PyObject* native_loaded(PyObject* module, PyObject* args) {
    PyObject* obj;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "On:loaded", &obj, &index)) return nullptr;
    if (!model_at(module_state(module), obj, "loaded")) return nullptr;
    ModelObject* m = as_model(obj);
    if (!in_fields(index, m)) {
        PyErr_Format(PyExc_IndexError, "field index %zd is out of range for the object", index);
        return nullptr;
    }
    PyObject* v = m->vals_[m->n_ + index];
    if (v == nullptr) {
        PyErr_SetString(PyExc_LookupError, "no loaded value");
        return nullptr;
    }
    return new_ref(v);
}

PyObject* native_state(PyObject* module, PyObject* obj) {
    if (!is_model(module_state(module), obj)) {
        PyErr_SetString(PyExc_TypeError, "state() takes a model object");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(as_model(obj)->flags_ & kStateMask);
}

// owner(obj) -> the token of the session holding it (0: none).
PyObject* native_owner(PyObject* module, PyObject* obj) {
    if (!is_model(module_state(module), obj)) {
        PyErr_SetString(PyExc_TypeError, "owner() takes a model object");
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(as_model(obj)->owner_);
}

PyObject* native_touch_epoch(PyObject* module, PyObject*) {
    return PyLong_FromUnsignedLongLong(module_state(module)->epoch);
}

}  // namespace sablecrest::orm
