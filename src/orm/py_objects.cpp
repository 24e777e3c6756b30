// orm/py_objects.cpp: FieldBase, ModelBase and Layout, and the value rules the kernels
// share. A slot of an instance's array is always replaced before its old value is
// dropped, so code run by the drop (a __del__) finds a whole object.
#include "orm/py_native.hpp"

#include <vector>

namespace sablecrest::orm {

bool is_native_module(PyObject* o);  // py_module.cpp

namespace {

// On the FieldBase, Layout and RelationBase types: their module. _bind and Layout()
// have no module argument, and 3.8's limited API has no other way from a type to its
// module.
constexpr const char kModuleAttr[] = "__sc_native__";
constexpr Py_ssize_t kMaxFields = 0x7fffffff;  // the array's count is a uint32_t; 2n must fit

}  // namespace

// The module stored on `type` (new reference), or NULL with TypeError.
PyObject* module_of_type(PyTypeObject* type) {
    Ref m = Ref::steal(PyObject_GetAttrString(as_object(type), kModuleAttr));
    if (!m || !is_native_module(m.get())) {
        if (!m && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%R does not come from sablecrest._native", as_object(type));
        return nullptr;
    }
    return m.release();
}

namespace {

PyObject* type_name(PyObject* v) { return PyObject_GetAttrString(as_object(Py_TYPE(v)), "__name__"); }

// Whether `v` has the field's type. None always has: nullability is checked at flush,
// because a constructor leaves undeclared fields None until they are set.
bool value_fits(FieldObject* f, PyObject* v) {
    if (v == Py_None) return true;
    const ModuleState* st = f->state_;
    auto is = [v](PyObject* type) { return PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(type)) != 0; };
    bool fits = false;
    switch (static_cast<Kind>(f->kind_)) {
        case Kind::Int: fits = is_int(v); break;
        case Kind::Str: fits = PyUnicode_Check(v); break;
        case Kind::Float: fits = PyFloat_Check(v) || is_int(v); break;
        case Kind::Bool: fits = PyBool_Check(v); break;
        case Kind::Bytes: fits = PyBytes_Check(v); break;
        case Kind::Decimal: fits = is_int(v) || is(st->decimal_type); break;
        case Kind::DateTime: fits = is(st->datetime_type); break;
        case Kind::Date: fits = is(st->date_type) && !is(st->datetime_type); break;
        case Kind::Uuid: fits = is(st->uuid_type); break;
        case Kind::Json:  // dict or list, as declared
        case Kind::Enum: fits = f->type_ != nullptr && is(f->type_); break;  // a member of the enum
        case Kind::Time: fits = is(st->time_type); break;
        case Kind::Timedelta: fits = is(st->timedelta_type); break;
    }
    // A foreign key also takes an instance of the model it refers to.
    return fits || (f->ref_ != nullptr && is(f->ref_));
}

// TypeError "Author.age: expected int, got str" (or "expected int or Author").
int raise_misfit(FieldObject* f, PyObject* v) {
    Ref got = Ref::steal(type_name(v));
    if (!got) return -1;
    Ref own = f->type_ != nullptr ? Ref::steal(PyObject_GetAttrString(f->type_, "__name__"))
                                  : Ref::steal(PyUnicode_FromString(kind_name(static_cast<Kind>(f->kind_))));
    if (!own) return -1;
    if (f->ref_ != nullptr) {
        Ref ref_name = Ref::steal(PyObject_GetAttrString(f->ref_, "__name__"));
        if (!ref_name) return -1;
        PyErr_Format(PyExc_TypeError, "%U: expected %S or %U, got %U", f->label_, own.get(), ref_name.get(), got.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U: expected %S, got %U", f->label_, own.get(), got.get());
    }
    return -1;
}

// Whether a datetime or a time carries an offset (tzinfo set and utcoffset() not None):
// 1 aware, 0 naive, -1 on error.
int is_aware(FieldObject* f, PyObject* v) {
    Ref tz = Ref::steal(PyObject_GetAttr(v, f->state_->tzinfo_attr));
    if (!tz) return -1;
    if (tz.get() == Py_None) return 0;
    Ref offset = Ref::steal(PyObject_CallMethodObjArgs(v, f->state_->utcoffset_name, nullptr));
    if (!offset) return -1;
    return offset.get() != Py_None ? 1 : 0;
}

// A time field holds naive times: a column type with an offset is not portable (only
// PostgreSQL has one), and an offset without a date is ambiguous around DST.
int check_naive_time(FieldObject* f, PyObject* v) {
    const int aware = is_aware(f, v);
    if (aware <= 0) return aware;
    PyErr_Format(PyExc_TypeError, "%U: got a timezone-aware time; this field holds naive times", f->label_);
    return -1;
}

// A datetime field holds either naive or aware values, never both: a column keeps one
// of the two, and Python refuses to compare across them.
int check_awareness(FieldObject* f, PyObject* v) {
    const int aware = is_aware(f, v);
    if (aware < 0) return -1;
    if ((aware != 0) == ((f->flags_ & kAware) != 0)) return 0;
    if (aware) {
        PyErr_Format(PyExc_TypeError,
                     "%U: got a timezone-aware datetime; this field holds naive datetimes (declare "
                     "Field(datetime, timezone=True) for aware ones)",
                     f->label_);
    } else {
        PyErr_Format(PyExc_TypeError, "%U: got a naive datetime; this field holds timezone-aware datetimes",
                     f->label_);
    }
    return -1;
}

// The instance behind a field access, or NULL with the error set.
ModelObject* field_target(FieldObject* f, PyObject* obj) {
    if (f->kind_ == 0 || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(f->model_))) {
        PyErr_Format(PyExc_TypeError, "field %R does not belong to %R objects", f->label_ ? f->label_ : Py_None,
                     as_object(Py_TYPE(obj)));
        return nullptr;
    }
    ModelObject* m = as_model(obj);
    if (m->vals_ == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "the object was created without its fields");
        return nullptr;
    }
    if (!in_fields(f->index_, m)) {
        PyErr_Format(PyExc_TypeError, "%U is field %zd, but the object has %zd fields", f->label_, f->index_,
                     static_cast<Py_ssize_t>(m->n_));
        return nullptr;
    }
    return m;
}

// ------------------------------------------------------------------ FieldBase

PyObject* FieldBase_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr) return new_ref(self);  // class access: the field, for building conditions
    ModelObject* m = field_target(as_field(self), obj);
    if (m == nullptr) return nullptr;
    return new_ref(m->vals_[as_field(self)->index_]);
}

int FieldBase_set(PyObject* self, PyObject* obj, PyObject* value) {
    FieldObject* f = as_field(self);
    ModelObject* m = field_target(f, obj);
    if (m == nullptr) return -1;
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "%U cannot be deleted; assign None instead", f->label_);
        return -1;
    }
    if (check_fit(f, value) != 0) return -1;
    track_for(f->state_, m, value);
    Ref old = Ref::steal(m->vals_[f->index_]);
    m->vals_[f->index_] = new_ref(value);
    m->flags_ |= kTouched;
    ++f->state_->epoch;
    return 0;
}

int FieldBase_traverse(PyObject* self, visitproc visit, void* arg) {
    FieldObject* f = as_field(self);
    Py_VISIT(as_object(Py_TYPE(self)));
    Py_VISIT(f->module_);
    Py_VISIT(f->model_);
    Py_VISIT(f->label_);
    Py_VISIT(f->ref_);
    Py_VISIT(f->type_);
    return 0;
}

int FieldBase_clear(PyObject* self) {
    FieldObject* f = as_field(self);
    f->kind_ = 0;
    f->state_ = nullptr;
    Py_CLEAR(f->model_);
    Py_CLEAR(f->label_);
    Py_CLEAR(f->ref_);
    Py_CLEAR(f->type_);
    Py_CLEAR(f->module_);
    return 0;
}

// The deallocator of a collected type: untrack, drop the references, free, and release
// the type (an instance of a heap type holds a reference to it).
template <int (*Clear)(PyObject*)>
void gc_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

bool is_model_class(ModuleState* st, PyObject* t) {
    return PyType_Check(t) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(t), st->model_type);
}

// _bind(model, label, index, kind, flags, ref, ref_pk, type=None): called once by the
// model's class statement. `type` is what a JSON field holds (dict or list) or an enum
// field's enum class.
PyObject* FieldBase_bind(PyObject* self, PyObject* args) {
    PyObject *model, *label, *ref, *type = Py_None;
    Py_ssize_t index, ref_pk;
    int kind, flags;
    if (!PyArg_ParseTuple(args, "O!UniiOn|O:_bind", &PyType_Type, &model, &label, &index, &kind, &flags, &ref,
                          &ref_pk, &type))
        return nullptr;
    Ref module = Ref::steal(module_of_type(Py_TYPE(self)));
    if (!module) return nullptr;
    ModuleState* st = module_state(module.get());
    FieldObject* f = as_field(self);
    if (!PyObject_TypeCheck(self, st->field_type)) {
        PyErr_SetString(PyExc_TypeError, "_bind() needs a FieldBase of the same module");
        return nullptr;
    }
    if (!valid_kind(kind) || index < 0 || index >= kMaxFields) {
        PyErr_SetString(PyExc_ValueError, "bad field kind or index");
        return nullptr;
    }
    if (flags < 0 || (flags & ~kFieldFlagsMask) != 0 ||
        ((flags & kAware) != 0 && static_cast<Kind>(kind) != Kind::DateTime)) {
        PyErr_SetString(PyExc_ValueError, "bad field flags (AWARE is for datetime fields only)");
        return nullptr;
    }
    if (!is_model_class(st, model) || (ref != Py_None && !is_model_class(st, ref))) {
        PyErr_SetString(PyExc_TypeError, "_bind() takes Model subclasses for the owner and the referenced model");
        return nullptr;
    }
    if ((ref == Py_None) != (ref_pk == -1) || ref_pk < -1 || ref_pk >= kMaxFields) {
        PyErr_SetString(PyExc_ValueError, "ref_pk is the referenced model's key index, or -1 without a reference");
        return nullptr;
    }
    const Kind k = static_cast<Kind>(kind);
    const bool typed = k == Kind::Json || k == Kind::Enum;
    if (typed != (type != Py_None) || (typed && !PyType_Check(type)) ||
        (k == Kind::Json && type != as_object(&PyDict_Type) && type != as_object(&PyList_Type))) {
        PyErr_SetString(PyExc_TypeError, "_bind() takes dict or list for a JSON field, the enum class for an enum "
                                         "field, and None for any other");
        return nullptr;
    }
    if (f->kind_ != 0) {
        PyErr_Format(PyExc_TypeError, "this field is already bound as %U", f->label_);
        return nullptr;
    }
    f->module_ = module.release();
    f->state_ = st;
    f->model_ = new_ref(model);
    f->label_ = new_ref(label);
    f->ref_ = ref == Py_None ? nullptr : new_ref(ref);
    f->type_ = type == Py_None ? nullptr : new_ref(type);
    f->index_ = index;
    f->ref_pk_ = ref_pk;
    f->flags_ = static_cast<uint8_t>(flags);
    f->kind_ = static_cast<uint8_t>(kind);
    Py_RETURN_NONE;
}

// _check(value): the value itself when the field may hold it, else the assignment's
// TypeError. Used for the values of query conditions.
PyObject* FieldBase_check(PyObject* self, PyObject* value) {
    FieldObject* f = as_field(self);
    if (f->kind_ == 0) {
        PyErr_SetString(PyExc_TypeError, "this field is not bound to a model class");
        return nullptr;
    }
    if (check_fit(f, value) != 0) return nullptr;
    return new_ref(value);
}

PyObject* FieldBase_index(PyObject* self, void*) {
    FieldObject* f = as_field(self);
    if (f->kind_ == 0) Py_RETURN_NONE;
    return PyLong_FromSsize_t(f->index_);
}

PyMethodDef g_field_methods[] = {
    {"_bind", entry<FieldBase_bind>, METH_VARARGS, "Binds the field to its model class (once)."},
    {"_check", entry<FieldBase_check>, METH_O, "Returns the value if the field may hold it; raises TypeError otherwise."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_field_getset[] = {
    {"_index", entry<FieldBase_index>, nullptr, "Position of the field in its model, or None while unbound.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------------ Layout

int Layout_traverse(PyObject* self, visitproc visit, void* arg) {
    LayoutObject* l = as_layout(self);
    Py_VISIT(as_object(Py_TYPE(self)));
    Py_VISIT(l->module_);
    Py_VISIT(l->cls_);
    Py_VISIT(l->fields_);
    Py_VISIT(l->by_name_);
    Py_VISIT(l->defaults_);
    Py_VISIT(l->factories_);
    Py_VISIT(l->snaps_);
    return 0;
}

int Layout_clear(PyObject* self) {
    LayoutObject* l = as_layout(self);
    l->n_ = 0;
    Py_CLEAR(l->cls_);
    Py_CLEAR(l->fields_);
    Py_CLEAR(l->by_name_);
    Py_CLEAR(l->defaults_);
    Py_CLEAR(l->factories_);
    Py_CLEAR(l->snaps_);
    Py_CLEAR(l->module_);
    if (l->pks_ != nullptr) {
        PyMem_Free(l->pks_);
        l->pks_ = nullptr;
    }
    l->npk_ = 1;
    return 0;
}

constexpr auto kLayoutDealloc = entry<gc_dealloc<Layout_clear>>;

// Layout is not subclassable, so its deallocator names it: a type slot, which has no
// module state, can recognise a layout of any instance of this module.
bool is_layout(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return (PyType_GetFlags(t) & Py_TPFLAGS_HEAPTYPE) != 0 &&
           PyType_GetSlot(t, Py_tp_dealloc) == reinterpret_cast<void*>(kLayoutDealloc);
}

// by_name copied (a caller keeping the dict cannot change the layout later) and checked:
// every entry maps a str to one of `fields`, which Model.__init__ writes through.
PyObject* checked_names(ModuleState* st, PyObject* by_name, PyObject* fields) {
    Ref names = Ref::steal(PyDict_Copy(by_name));
    if (!names) return nullptr;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(names.get(), &pos, &key, &value)) {
        const bool listed = PyObject_TypeCheck(value, st->field_type) && as_field(value)->index_ >= 0 &&
                            as_field(value)->index_ < PyTuple_Size(fields) &&
                            PyTuple_GetItem(fields, as_field(value)->index_) == value;
        if (!PyUnicode_Check(key) || !listed) {
            PyErr_SetString(PyExc_ValueError, "by_name maps attribute names to fields of the layout");
            return nullptr;
        }
    }
    return names.release();
}

// The key's field indexes: an index, or a tuple of two or more distinct ones (a
// composite key, never generated). Into `out`; false with the error set.
bool parse_key(PyObject* pk, Py_ssize_t n, int pk_generated, std::vector<Py_ssize_t>& out) {
    const bool composite = PyTuple_Check(pk);
    const Py_ssize_t count = composite ? PyTuple_Size(pk) : 1;
    if (!composite && !PyLong_Check(pk)) {
        PyErr_SetString(PyExc_TypeError, "pk is a field index or a tuple of field indexes");
        return false;
    }
    if (composite && (count < 2 || pk_generated)) {
        PyErr_SetString(PyExc_ValueError, "a composite key has two or more fields and is never generated");
        return false;
    }
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* item = composite ? PyTuple_GetItem(pk, j) : pk;
        const Py_ssize_t i = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
        if (i == -1 && PyErr_Occurred()) PyErr_Clear();
        for (Py_ssize_t seen : out) {
            if (seen == i) {
                PyErr_SetString(PyExc_ValueError, "a field appears twice in the key");
                return false;
            }
        }
        if (i < 0 || i >= n) {
            PyErr_SetString(PyExc_ValueError, "inconsistent model layout");
            return false;
        }
        out.push_back(i);
    }
    return true;
}

// snapshots: None, or one item per field: None or a callable (JSON fields only).
bool check_snapshots(PyObject* snaps, PyObject* fields) {
    if (snaps == Py_None) return true;
    const Py_ssize_t n = PyTuple_Size(fields);
    if (!PyTuple_Check(snaps) || PyTuple_Size(snaps) != n) {
        PyErr_SetString(PyExc_TypeError, "snapshots must be None or a tuple with one item per field");
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* s = PyTuple_GetItem(snaps, i);
        const bool json = static_cast<Kind>(as_field(PyTuple_GetItem(fields, i))->kind_) == Kind::Json;
        if (s != Py_None && (!json || !PyCallable_Check(s))) {
            PyErr_SetString(PyExc_ValueError, "a snapshot converter is a callable, for a JSON field only");
            return false;
        }
    }
    return true;
}

// Layout(cls, fields, by_name, defaults, factories, pk, pk_generated, untrackable,
// snapshots=None, relations=0)
PyObject* Layout_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject *cls, *fields, *by_name, *defaults, *factories, *pk, *snaps = Py_None;
    Py_ssize_t relations = 0;
    int pk_generated, untrackable;
    if (kwds != nullptr && PyDict_Size(kwds) != 0) {
        PyErr_SetString(PyExc_TypeError, "Layout() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O!O!O!O!O!Opp|On:Layout", &PyType_Type, &cls, &PyTuple_Type, &fields, &PyDict_Type,
                          &by_name, &PyTuple_Type, &defaults, &PyTuple_Type, &factories, &pk, &pk_generated,
                          &untrackable, &snaps, &relations))
        return nullptr;
    Ref module = Ref::steal(module_of_type(type));
    if (!module) return nullptr;
    ModuleState* st = module_state(module.get());
    const Py_ssize_t n = PyTuple_Size(fields);
    // The array's 2n + r slots are counted in uint32_t loops.
    if (n == 0 || n >= kMaxFields || PyTuple_Size(defaults) != n || PyTuple_Size(factories) != n || relations < 0 ||
        relations > 0xffffffffLL - 2 * n) {
        PyErr_SetString(PyExc_ValueError, "inconsistent model layout");
        return nullptr;
    }
    std::vector<Py_ssize_t> key;
    if (!parse_key(pk, n, pk_generated, key)) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* f = PyTuple_GetItem(fields, i);
        if (!PyObject_TypeCheck(f, st->field_type) || as_field(f)->index_ != i || as_field(f)->kind_ == 0) {
            PyErr_SetString(PyExc_ValueError, "layout fields must be bound fields in index order");
            return nullptr;
        }
    }
    if (!is_model_class(st, cls)) {
        PyErr_SetString(PyExc_TypeError, "a layout describes a Model subclass");
        return nullptr;
    }
    if (!check_snapshots(snaps, fields)) return nullptr;
    bool any_snap = false;
    for (Py_ssize_t i = 0; snaps != Py_None && i < n; ++i) any_snap |= PyTuple_GetItem(snaps, i) != Py_None;
    Ref names = Ref::steal(checked_names(st, by_name, fields));
    if (!names) return nullptr;
    Py_ssize_t* pks = nullptr;
    if (key.size() > 1) {
        pks = static_cast<Py_ssize_t*>(PyMem_Malloc(key.size() * sizeof(Py_ssize_t)));
        if (pks == nullptr) return PyErr_NoMemory();
        for (size_t j = 0; j < key.size(); ++j) pks[j] = key[j];
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    LayoutObject* l = as_layout(alloc(type, 0));
    if (l == nullptr) {
        PyMem_Free(pks);
        return nullptr;
    }
    l->n_ = n;
    l->pk_ = key[0];
    l->npk_ = static_cast<Py_ssize_t>(key.size());
    l->pks_ = pks;
    l->pk_generated_ = pk_generated;
    l->untrackable_ = untrackable;
    l->r_ = relations;
    l->state_ = st;
    l->module_ = module.release();
    l->cls_ = new_ref(cls);
    l->fields_ = new_ref(fields);
    l->by_name_ = names.release();
    l->defaults_ = new_ref(defaults);
    l->factories_ = new_ref(factories);
    l->snaps_ = any_snap ? new_ref(snaps) : nullptr;
    return as_object(l);
}

// ------------------------------------------------------------------ ModelBase

// A fresh instance of `type` (whose layout is `l`), all fields None, nothing loaded.
ModelObject* new_instance(PyTypeObject* type, LayoutObject* l) {
    const Py_ssize_t n = l->n_;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref obj = Ref::steal(alloc(type, 0));
    if (!obj) return nullptr;
    ModelObject* m = as_model(obj.get());
    m->layout_ = as_layout(new_ref(as_object(l)));  // before the array: it counts the relation slots
    m->vals_ = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(2 * n + l->r_), sizeof(PyObject*)));
    if (m->vals_ == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    m->n_ = static_cast<uint32_t>(n);
    for (Py_ssize_t i = 0; i < n; ++i) m->vals_[i] = new_ref(Py_None);
    return as_model(obj.release());
}

PyObject* Model_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref l = Ref::steal(as_object(layout_of(as_object(type))));
    if (!l) return nullptr;
    return as_object(new_instance(type, as_layout(l.get())));
}

// Author(name="Ann"): declared fields by keyword only; the rest get their default.
int Model_init(PyObject* self, PyObject* args, PyObject* kwds) {
    ModelObject* m = as_model(self);
    Ref lref = m->layout_ != nullptr ? Ref::borrow(as_object(m->layout_))
                                     : Ref::steal(as_object(layout_of(as_object(Py_TYPE(self)))));
    if (!lref) return -1;
    LayoutObject* l = as_layout(lref.get());
    if (m->vals_ == nullptr || static_cast<Py_ssize_t>(m->n_) != l->n_) {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
        return -1;
    }
    if (PyTuple_Size(args) != 0) {
        Ref name = Ref::steal(PyObject_GetAttrString(as_object(Py_TYPE(self)), "__name__"));
        if (name) PyErr_Format(PyExc_TypeError, "%U() takes keyword arguments only", name.get());
        return -1;
    }
    ModuleState* st = l->state_;
    // Called again on an object that already had values: every field is assigned (even
    // if this fails halfway), so the next flush must look at it.
    if ((m->flags_ & kFilled) != 0) {
        m->flags_ |= kTouched;
        ++st->epoch;
    }
    if ((m->flags_ & kUntracked) != 0) {  // tracked until the values are known
        m->flags_ &= ~kUntracked;
        PyObject_GC_Track(self);
    }
    const Py_ssize_t n = l->n_;
    uint64_t small_seen = 0;
    std::vector<char> big_seen;
    const bool small = n <= 64;
    if (!small) big_seen.assign(static_cast<size_t>(n), 0);
    if (kwds != nullptr) {
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwds, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            PyObject* f = PyDict_GetItemWithError(l->by_name_, key.get());  // the layout's own dict
            if (f == nullptr) {
                if (PyErr_Occurred()) return -1;
                Ref name = Ref::steal(PyObject_GetAttrString(as_object(Py_TYPE(self)), "__name__"));
                if (name) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument %R", name.get(),
                                 key.get());
                }
                return -1;
            }
            FieldObject* fo = as_field(f);
            if (check_fit(fo, value.get()) != 0) return -1;
            const Py_ssize_t i = fo->index_;
            Ref old = Ref::steal(m->vals_[i]);
            m->vals_[i] = value.release();
            if (small) {
                small_seen |= uint64_t{1} << i;
            } else {
                big_seen[static_cast<size_t>(i)] = 1;
            }
        }
    }
    // An object that has a row keeps its key unless one is given: the key names the row
    // the next flush writes the new values to.
    const uint32_t state = m->flags_ & kStateMask;
    const bool has_row = state == kPersistent || state == kDeleted || state == kDetached;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (small ? ((small_seen >> i) & 1) != 0 : big_seen[static_cast<size_t>(i)] != 0) continue;
        if (has_row && is_key_field(l, i)) continue;
        PyObject* factory = PyTuple_GetItem(l->factories_, i);
        Ref value;
        if (factory != Py_None) {
            value = Ref::steal(PyObject_CallObject(factory, nullptr));
            if (!value || check_fit(as_field(PyTuple_GetItem(l->fields_, i)), value.get()) != 0) return -1;
        } else {
            value = Ref::borrow(PyTuple_GetItem(l->defaults_, i));
        }
        Ref old = Ref::steal(m->vals_[i]);
        m->vals_[i] = value.release();
    }
    m->flags_ |= kFilled;
    settle_tracking(st, m, l->untrackable_ != 0);
    return 0;
}

int Model_traverse(PyObject* self, visitproc visit, void* arg) {
    ModelObject* m = as_model(self);
    Py_VISIT(as_object(Py_TYPE(self)));
    Py_VISIT(as_object(m->layout_));
    if (m->vals_ != nullptr) {
        const Py_ssize_t count = 2 * static_cast<Py_ssize_t>(m->n_) + relation_count(m);
        for (Py_ssize_t i = 0; i < count; ++i) Py_VISIT(m->vals_[i]);
    }
    return 0;
}

// Empties every slot (current values become None, so the object stays usable; its
// relations are not loaded any more).
int Model_clear(PyObject* self) {
    ModelObject* m = as_model(self);
    if (m->vals_ != nullptr) {
        const Py_ssize_t count = 2 * static_cast<Py_ssize_t>(m->n_) + relation_count(m);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* v = m->vals_[i];
            m->vals_[i] = i < m->n_ ? new_ref(Py_None) : nullptr;
            Py_XDECREF(v);
        }
    }
    return 0;
}

void Model_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    ModelObject* m = as_model(self);
    PyObject_GC_UnTrack(self);
    if (m->vals_ != nullptr) {
        PyObject** vals = m->vals_;
        const Py_ssize_t count = 2 * static_cast<Py_ssize_t>(m->n_) + relation_count(m);
        m->vals_ = nullptr;  // a finalizer reached from a value finds an empty object
        m->n_ = 0;
        for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(vals[i]);
        PyMem_Free(vals);
    }
    Py_CLEAR(m->layout_);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

PyObject* tuple_of(PyObject** items, uint32_t n, bool allow_null) {
    if (allow_null) {
        for (uint32_t i = 0; i < n; ++i) {
            if (items[i] == nullptr) Py_RETURN_NONE;
        }
    }
    PyObject* t = PyTuple_New(n);
    if (t == nullptr) return nullptr;
    for (uint32_t i = 0; i < n; ++i) PyTuple_SetItem(t, i, new_ref(items[i]));
    return t;
}

// Pickling and copying: (_rebuild, (cls, values, snapshot or None, flags, __dict__ or
// None)). The owner is left out: a copy is in no session.
PyObject* Model_reduce(PyObject* self, PyObject*) {
    ModelObject* m = as_model(self);
    if (m->vals_ == nullptr) {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
        return nullptr;
    }
    Ref l = Ref::steal(as_object(layout_of(as_object(Py_TYPE(self)))));
    if (!l) return nullptr;
    Ref rebuild = Ref::steal(PyObject_GetAttrString(as_layout(l.get())->module_, "_rebuild"));
    if (!rebuild) return nullptr;
    Ref values = Ref::steal(tuple_of(m->vals_, m->n_, false));
    if (!values) return nullptr;
    Ref snapshot = Ref::steal(tuple_of(m->vals_ + m->n_, m->n_, true));
    if (!snapshot) return nullptr;
    Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        dict = Ref::borrow(Py_None);
    }
    // Loaded relations travel as the state ({slot: value}), which pickle writes after
    // the object itself: a cycle through them (an author's posts, each with its author)
    // then refers back to an object that exists.
    Ref related = Ref::steal(PyDict_New());
    if (!related) return nullptr;
    const Py_ssize_t r = relation_count(m);
    for (Py_ssize_t i = 0; i < r; ++i) {
        PyObject* v = relation_slots(m)[i];
        if (v == nullptr) continue;
        Ref hold = Ref::borrow(v), index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index || PyDict_SetItem(related.get(), index.get(), hold.get()) != 0) return nullptr;
    }
    const unsigned long flags = static_cast<unsigned long>(m->flags_ & (kStateMask | kTouched));
    if (PyDict_Size(related.get()) == 0) {
        return Py_BuildValue("O(OOOkO)", rebuild.get(), as_object(Py_TYPE(self)), values.get(), snapshot.get(), flags,
                             dict.get());
    }
    return Py_BuildValue("O(OOOkO)O", rebuild.get(), as_object(Py_TYPE(self)), values.get(), snapshot.get(), flags,
                         dict.get(), related.get());
}

PyMethodDef g_model_methods[] = {
    {"__reduce__", entry<Model_reduce>, METH_NOARGS, "Pickles the field values, the snapshot and the state."},
    {"__setstate__", entry<model_setstate>, METH_O, "Restores the loaded relations of a pickled object."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_type(PyObject* module, const char* name, size_t basicsize, unsigned long flags,
                        PyType_Slot* slots, bool holds_module) {
    PyType_Spec spec = {name, static_cast<int>(basicsize), 0, static_cast<unsigned int>(flags), slots};
    Ref t = Ref::steal(PyType_FromSpec(&spec));
    if (!t || (holds_module && PyObject_SetAttrString(t.get(), kModuleAttr, module) != 0)) return nullptr;
    return reinterpret_cast<PyTypeObject*>(t.release());
}

// ------------------------------------------------------------------ shared value rules

int check_fit(FieldObject* f, PyObject* v) {
    if (!value_fits(f, v)) return raise_misfit(f, v);
    if (v == Py_None) return 0;
    const Kind k = static_cast<Kind>(f->kind_);
    if (k == Kind::DateTime && (f->ref_ == nullptr || !PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(f->ref_))))
        return check_awareness(f, v);
    if (k == Kind::Time && (f->ref_ == nullptr || !PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(f->ref_))))
        return check_naive_time(f, v);
    return 0;
}

// Same type and equal, except: floats by same_double (-0.0 is not 0.0, NaN is NaN), and
// Decimals by their text, so that Decimal("1.50") is a change from Decimal("1.5") (a
// NUMERIC column without a scale keeps the difference). The caller holds both values:
// __eq__ may run any code.
int same_value(ModuleState* st, PyObject* current, PyObject* loaded) {
    if (current == loaded) return 1;
    if (loaded == nullptr || Py_TYPE(current) != Py_TYPE(loaded)) return 0;
    if (PyFloat_CheckExact(current)) return same_double(PyFloat_AsDouble(current), PyFloat_AsDouble(loaded));
    if (as_object(Py_TYPE(current)) == st->decimal_type) {
        Ref a = Ref::steal(PyObject_Str(current));
        if (!a) return -1;
        Ref b = Ref::steal(PyObject_Str(loaded));
        if (!b) return -1;
        return PyUnicode_Compare(a.get(), b.get()) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
    }
    return PyObject_RichCompareBool(current, loaded, Py_EQ);
}

// Like the interpreter's own tuples, an object holding only atomic values cannot be part
// of a reference cycle, so the collector need not visit it: loaded rows by the thousand
// then cost no collection time. Storing anything else puts the object back.
void settle_tracking(ModuleState* st, ModelObject* m, bool untrackable) {
    bool atomic = untrackable;
    const uint32_t n = m->n_;
    for (uint32_t i = 0; atomic && i < n; ++i) {
        PyObject* loaded = m->vals_[n + i];  // mostly the current value itself
        atomic = gc_free(st, m->vals_[i]) && (loaded == m->vals_[i] || loaded == nullptr || gc_free(st, loaded));
    }
    const Py_ssize_t r = relation_count(m);
    for (Py_ssize_t i = 0; atomic && i < r; ++i) {
        PyObject* v = relation_slots(m)[i];
        atomic = v == nullptr || gc_free(st, v);
    }
    if (atomic && (m->flags_ & kUntracked) == 0) {
        PyObject_GC_UnTrack(as_object(m));
        m->flags_ |= kUntracked;
    } else if (!atomic && (m->flags_ & kUntracked) != 0) {
        m->flags_ &= ~kUntracked;
        PyObject_GC_Track(as_object(m));
    }
}

void track_for(ModuleState* st, ModelObject* m, PyObject* v) {
    if ((m->flags_ & kUntracked) != 0 && !gc_free(st, v)) {
        m->flags_ &= ~kUntracked;
        PyObject_GC_Track(as_object(m));
    }
}

// Model classes find their layout by the attribute name (a type slot has no module
// state to keep the interned name in); module functions could use the state's.
LayoutObject* layout_of(PyObject* type) {
    // The attribute's name, made once: a constant, not state (interned strings live as
    // long as the process, and every interpreter compares it by value). A type slot has
    // no way to its module's state here, and making the string on every construction
    // cost a third of it.
    static PyObject* const name = PyUnicode_InternFromString("__sc_layout__");
    if (name == nullptr) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    Ref l = Ref::steal(PyObject_GetAttr(type, name));
    if (!l) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%R declares no fields: only subclasses of Model with fields can be created",
                         type);
        }
        return nullptr;
    }
    if (!is_layout(l.get()) || as_layout(l.get())->fields_ == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__sc_layout__ is not a layout");
        return nullptr;
    }
    return as_layout(l.release());
}

ModelObject* not_a_member(LayoutObject* l, PyObject* o) {
    if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(l->cls_))) {
        PyErr_Format(PyExc_TypeError, "expected %R objects, got %R", l->cls_, as_object(Py_TYPE(o)));
    } else {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
    }
    return nullptr;
}

bool check_layout_arg(ModuleState* st, PyObject* l) {
    if (!PyObject_TypeCheck(l, st->layout_type) || as_layout(l)->fields_ == nullptr) {
        PyErr_SetString(PyExc_TypeError, "expected a model layout");
        return false;
    }
    return true;
}

// _rebuild(cls, values, snapshot, flags, dict): the inverse of __reduce__.
PyObject* native_rebuild(PyObject* module, PyObject* args) {
    ModuleState* st = module_state(module);
    PyObject *cls, *values, *snap, *dict;
    unsigned long flags;
    if (!PyArg_ParseTuple(args, "O!O!OkO:_rebuild", &PyType_Type, &cls, &PyTuple_Type, &values, &snap, &flags, &dict))
        return nullptr;
    if (!is_model_class(st, cls)) {
        PyErr_SetString(PyExc_TypeError, "_rebuild() takes a Model subclass");
        return nullptr;
    }
    Ref l = Ref::steal(as_object(layout_of(cls)));
    if (!l) return nullptr;
    const Py_ssize_t n = as_layout(l.get())->n_;
    if (PyTuple_Size(values) != n || (snap != Py_None && (!PyTuple_Check(snap) || PyTuple_Size(snap) != n))) {
        PyErr_Format(PyExc_ValueError, "%R has %zd fields; the pickled object has a different number", cls, n);
        return nullptr;
    }
    if ((flags & kStateMask) > kDetached) {
        PyErr_SetString(PyExc_ValueError, "_rebuild() got an unknown state");
        return nullptr;
    }
    if (dict != Py_None && !PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "_rebuild() restores a __dict__ from a dict");
        return nullptr;
    }
    Ref obj = Ref::steal(as_object(new_instance(reinterpret_cast<PyTypeObject*>(cls), as_layout(l.get()))));
    if (!obj) return nullptr;
    ModelObject* m = as_model(obj.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref old = Ref::steal(m->vals_[i]);
        m->vals_[i] = new_ref(PyTuple_GetItem(values, i));
        if (snap != Py_None) m->vals_[n + i] = new_ref(PyTuple_GetItem(snap, i));
    }
    // Still tracked by the collector, as allocated: kUntracked stays clear.
    m->flags_ = (static_cast<uint32_t>(flags) & (kStateMask | kTouched)) | kFilled;
    if (dict != Py_None) {
        Ref target = Ref::steal(PyObject_GetAttrString(obj.get(), "__dict__"));
        if (!target) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "_rebuild(): %R objects have no __dict__ to restore", cls);
            return nullptr;
        }
        if (!PyDict_Check(target.get())) {
            PyErr_SetString(PyExc_TypeError, "_rebuild() restores a __dict__ from a dict");
            return nullptr;
        }
        if (PyDict_Update(target.get(), dict) != 0) return nullptr;
    }
    return obj.release();
}

// Creates FieldBase, ModelBase and Layout into the state.
int add_types(PyObject* module, ModuleState* st) {
    // Newer headers leave HAVE_VERSION_TAG out of the default flags (every type has one
    // from 3.10 on). Before 3.10 a type without it is also kept out of the attribute
    // cache, and a class with a metaclass deriving from it makes 3.8 release type.mro
    // twice: the flag is given explicitly.
    const unsigned long gc_base =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    PyType_Slot field_slots[] = {
        {Py_tp_doc, const_cast<char*>("The native part of a model field: a data descriptor over the instance's "
                                      "value slots, type-checked on assignment.")},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_dealloc, reinterpret_cast<void*>(entry<gc_dealloc<FieldBase_clear>>)},
        {Py_tp_traverse, reinterpret_cast<void*>(FieldBase_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(entry<FieldBase_clear>)},
        {Py_tp_descr_get, reinterpret_cast<void*>(entry<FieldBase_get>)},
        {Py_tp_descr_set, reinterpret_cast<void*>(entry<FieldBase_set>)},
        {Py_tp_methods, g_field_methods},
        {Py_tp_getset, g_field_getset},
        {0, nullptr},
    };
    PyType_Slot model_slots[] = {
        {Py_tp_doc, const_cast<char*>("The native part of a model instance: field values and their snapshot in "
                                      "one array, no __dict__.")},
        {Py_tp_new, reinterpret_cast<void*>(entry<Model_new>)},
        {Py_tp_init, reinterpret_cast<void*>(entry<Model_init>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(entry<Model_dealloc>)},
        {Py_tp_traverse, reinterpret_cast<void*>(Model_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(entry<Model_clear>)},
        {Py_tp_methods, g_model_methods},
        {0, nullptr},
    };
    PyType_Slot layout_slots[] = {
        {Py_tp_doc, const_cast<char*>("What the per-row core needs to know of one model class.")},
        {Py_tp_new, reinterpret_cast<void*>(entry<Layout_new>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kLayoutDealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(Layout_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(entry<Layout_clear>)},
        {0, nullptr},
    };
    st->field_type = make_type(module, "sablecrest._native.FieldBase", sizeof(FieldObject), gc_base, field_slots, true);
    if (st->field_type == nullptr) return -1;
    st->model_type = make_type(module, "sablecrest._native.ModelBase", sizeof(ModelObject), gc_base, model_slots, false);
    if (st->model_type == nullptr) return -1;
    // Not subclassable: is_layout relies on it.
    st->layout_type = make_type(module, "sablecrest._native.Layout", sizeof(LayoutObject),
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_HAVE_GC, layout_slots,
                                true);
    if (st->layout_type == nullptr) return -1;
    st->relation_type = make_relation_type(module, gc_base);
    if (st->relation_type == nullptr) return -1;
    const struct {
        const char* name;
        PyTypeObject* type;
    } attrs[] = {{"FieldBase", st->field_type}, {"ModelBase", st->model_type}, {"Layout", st->layout_type},
                 {"RelationBase", st->relation_type}};
    for (const auto& a : attrs) {
        if (PyModule_AddObject(module, a.name, new_ref(as_object(a.type))) != 0) {
            Py_DECREF(a.type);
            return -1;
        }
    }
    return 0;
}

}  // namespace sablecrest::orm
