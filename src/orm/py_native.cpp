// orm/py_native.cpp: sablecrest._native, the ORM's per-row core. Model instances keep
// their field values in one native array (current values, then the values last loaded
// from or written to the database); rows become instances, instances become parameter
// tuples, and dirtiness is decided by type and value, all without Python frames.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "orm/values.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sablecrest::orm {
namespace {

// ------------------------------------------------------------------ small helpers

// An owned reference that is dropped at scope exit (the module holds the GIL in every
// entry, so dropping is always safe here).
class Owned {
public:
    Owned() noexcept = default;
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    Owned(Owned&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr; /* owned, or NULL */
};

// Object states. Python learns the numbers from the module's STATES.
enum State : uint32_t {
    kTransient = 0,  // never added, or deleted and flushed
    kPending = 1,    // added, not yet inserted
    kPersistent = 2, // has a row; its snapshot is what the row held when last read or written
    kDeleted = 3,    // marked for deletion, not yet flushed
    kDetached = 4,   // has a row, but its session ended
    kStateMask = 7,
    kTouched = 8,    // a field was assigned since the last snapshot
    kUntracked = 16, // left out of the garbage collector: every value is atomic
    kFilled = 32,    // the fields were set by a constructor, a row or a pickle
};

struct Named {
    const char* name;
    long value;
};

constexpr Named kStateNames[] = {
    {"TRANSIENT", kTransient}, {"PENDING", kPending},   {"PERSISTENT", kPersistent},
    {"DELETED", kDeleted},     {"DETACHED", kDetached},
};

// Field flags (FIELD_FLAGS).
enum FieldFlag : uint8_t {
    kNullable = 1,
    kPrimaryKey = 2,
    kAware = 4,  // a datetime field holding timezone-aware values (naive ones otherwise)
    kFieldFlagsMask = 7,
};

constexpr Named kFieldFlagNames[] = {{"NULLABLE", kNullable}, {"PRIMARY_KEY", kPrimaryKey}, {"AWARE", kAware}};

// The state changes a session makes (TRANSITIONS). Each says where the object goes,
// whether its snapshot survives, and what becomes of its owner token.
enum class OwnerRule : uint8_t { Keep, Set, Clear };

struct TransitionRule {
    const char* name;
    uint32_t state;
    bool forget;     // the snapshot is dropped: every field counts as changed
    OwnerRule owner;
    bool clear_key;  // the generated key (at `pk`) goes back to None
};

constexpr TransitionRule kTransitions[] = {
    {"ATTACH", kPersistent, false, OwnerRule::Set, false},
    {"MARK_DELETED", kDeleted, false, OwnerRule::Keep, false},
    {"DETACH", kDetached, false, OwnerRule::Clear, false},
    {"EXPIRE", kDetached, true, OwnerRule::Clear, false},
    {"RELEASE", kTransient, false, OwnerRule::Clear, false},
    {"REMOVED", kTransient, true, OwnerRule::Clear, false},
    {"UNINSERT", kTransient, true, OwnerRule::Clear, true},
};
constexpr long kTransitionCount = static_cast<long>(sizeof(kTransitions) / sizeof(kTransitions[0]));

PyTypeObject* g_model_type = nullptr;  /* owned for the process */
PyTypeObject* g_field_type = nullptr;  /* owned for the process */
PyTypeObject* g_layout_type = nullptr; /* owned for the process */
PyObject* g_decimal = nullptr;         /* decimal.Decimal, owned for the process */
PyObject* g_datetime = nullptr;        /* datetime.datetime, owned for the process */
PyObject* g_date = nullptr;            /* datetime.date, owned for the process */
PyObject* g_layout_attr = nullptr;     /* "__sc_layout__", owned for the process */
PyObject* g_tzinfo_attr = nullptr;     /* "tzinfo", owned for the process */
PyObject* g_int_int = nullptr;         /* int.__int__, owned for the process */

// Bumped by every field assignment: a session whose last flush saw the same number
// knows that no loaded object can have changed since.
unsigned long long g_epoch = 0;

inline bool is_int(PyObject* v) { return PyLong_CheckExact(v) || (PyLong_Check(v) && !PyBool_Check(v)); }

// ------------------------------------------------------------------ FieldBase

struct FieldObject {
    PyObject_HEAD
    Py_ssize_t index;
    Py_ssize_t ref_pk;  // primary-key index of the referenced model, or -1
    uint8_t kind;       // Kind; 0 while the field is not bound to a model
    uint8_t flags;      // FieldFlag bits
    PyObject* owner; /* the model class, owned, or NULL */
    PyObject* label; /* "Author.name", owned, or NULL */
    PyObject* ref;   /* the referenced model class, owned, or NULL */
};

struct ModelObject {
    PyObject_HEAD
    PyObject** vals;  // 2n slots: [0, n) current values, [n, 2n) snapshot (NULL = unknown)
    uint32_t n;
    uint32_t flags;
    uint64_t owner;  // the session token holding the object; 0 for none
};

struct LayoutObject {
    PyObject_HEAD
    Py_ssize_t n;
    Py_ssize_t pk;
    int pk_generated;    // an int primary key left None is generated by the database
    int untrackable;     // instances hold nothing but their fields (no __dict__, no other slots)
    PyObject* cls;       /* owned */
    PyObject* fields;    /* tuple of FieldBase in index order, owned */
    PyObject* by_name;   /* dict: attribute name -> FieldBase, owned */
    PyObject* defaults;  /* tuple: the default of each field (None when it has none), owned */
    PyObject* factories; /* tuple: a callable making the default, or None, owned */
};

inline bool is_model(PyObject* o) { return PyObject_TypeCheck(o, g_model_type); }
inline ModelObject* as_model(PyObject* o) { return reinterpret_cast<ModelObject*>(o); }
inline FieldObject* as_field(PyObject* o) { return reinterpret_cast<FieldObject*>(o); }

// Values the collector does not track (they refer to nothing that could lead back to the
// object): what a driver returns for every field type.
inline bool gc_free(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return v == Py_None || t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == &PyBytes_Type || t == reinterpret_cast<PyTypeObject*>(g_decimal) ||
           t == reinterpret_cast<PyTypeObject*>(g_datetime) || t == reinterpret_cast<PyTypeObject*>(g_date);
}

// Like the interpreter's own tuples, an object holding only atomic values cannot be part
// of a reference cycle, so the collector need not visit it: loaded rows by the thousand
// then cost no collection time. Storing anything else puts the object back.
void settle_tracking(ModelObject* m, int untrackable) {
    bool atomic = untrackable != 0;
    for (uint32_t i = 0; atomic && i < m->n; ++i) atomic = gc_free(m->vals[i]);
    if (atomic && (m->flags & kUntracked) == 0) {
        PyObject_GC_UnTrack(reinterpret_cast<PyObject*>(m));
        m->flags |= kUntracked;
    } else if (!atomic && (m->flags & kUntracked) != 0) {
        m->flags &= ~kUntracked;
        PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    }
}

inline void track_for(ModelObject* m, PyObject* v) {
    if ((m->flags & kUntracked) != 0 && !gc_free(v)) {
        m->flags &= ~kUntracked;
        PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    }
}

PyObject* type_name(PyObject* v) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(v)), "__name__");
}

// Whether `v` may be stored in the field. None always may: nullability is checked at
// flush, because a constructor leaves undeclared fields None until they are set.
bool value_fits(FieldObject* f, PyObject* v) {
    if (v == Py_None) return true;
    switch (static_cast<Kind>(f->kind)) {
        case Kind::Int:
            if (is_int(v)) return true;
            break;
        case Kind::Str:
            return PyUnicode_Check(v);
        case Kind::Float:
            return PyFloat_Check(v) || is_int(v);
        case Kind::Bool:
            return PyBool_Check(v);
        case Kind::Bytes:
            return PyBytes_Check(v);
        case Kind::Decimal:
            if (is_int(v)) return true;
            return PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(g_decimal));
        case Kind::DateTime:
            return PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(g_datetime));
        case Kind::Date:
            return PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(g_date)) &&
                   !PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(g_datetime));
        default:
            return true;
    }
    // A foreign key also takes an instance of the model it refers to.
    return f->ref != nullptr && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(f->ref));
}

// TypeError "Author.age: expected int, got str" (or "expected int or Author").
int raise_misfit(FieldObject* f, PyObject* v) {
    Owned got(type_name(v));
    if (!got) return -1;
    if (f->ref != nullptr) {
        Owned ref_name(PyObject_GetAttrString(f->ref, "__name__"));
        if (!ref_name) return -1;
        PyErr_Format(PyExc_TypeError, "%U: expected %s or %U, got %U", f->label,
                     kind_name(static_cast<Kind>(f->kind)), ref_name.get(), got.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U: expected %s, got %U", f->label, kind_name(static_cast<Kind>(f->kind)),
                     got.get());
    }
    return -1;
}

// A datetime field holds either naive or aware values, never both: a database column
// keeps one of the two, and Python refuses to compare across them.
int check_awareness(FieldObject* f, PyObject* v) {
    Owned tz(PyObject_GetAttr(v, g_tzinfo_attr));
    if (!tz) return -1;
    bool aware = false;
    if (tz.get() != Py_None) {
        Owned offset(PyObject_CallMethod(v, "utcoffset", nullptr));
        if (!offset) return -1;
        aware = offset.get() != Py_None;
    }
    if (aware == ((f->flags & kAware) != 0)) return 0;
    if (aware) {
        PyErr_Format(PyExc_TypeError,
                     "%U: got a timezone-aware datetime; this field holds naive datetimes (declare "
                     "Field(datetime, timezone=True) for aware ones)",
                     f->label);
    } else {
        PyErr_Format(PyExc_TypeError, "%U: got a naive datetime; this field holds timezone-aware datetimes",
                     f->label);
    }
    return -1;
}

// 0 when `v` may be stored in the (bound) field, else -1 with TypeError set.
int check_fit(FieldObject* f, PyObject* v) {
    if (!value_fits(f, v)) return raise_misfit(f, v);
    if (static_cast<Kind>(f->kind) == Kind::DateTime && v != Py_None) return check_awareness(f, v);
    return 0;
}

int check_value(FieldObject* f, PyObject* v) {
    if (f->kind == 0) {
        PyErr_SetString(PyExc_TypeError, "this field is not bound to a model class");
        return -1;
    }
    return check_fit(f, v);
}

// The receiver of a field access must be an instance of the field's own model.
ModelObject* field_target(FieldObject* f, PyObject* obj) {
    if (f->kind == 0 || !(Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(f->owner) ||
                          PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(f->owner)))) {
        PyErr_Format(PyExc_TypeError, "field %R does not belong to %R objects", f->label ? f->label : Py_None,
                     reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        return nullptr;
    }
    ModelObject* m = as_model(obj);
    if (m->vals == nullptr || static_cast<uint32_t>(f->index) >= m->n) {
        PyErr_SetString(PyExc_AttributeError, "the object was created without its fields");
        return nullptr;
    }
    return m;
}

PyObject* FieldBase_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr) {  // class access: the field itself, for building conditions
        Py_INCREF(self);
        return self;
    }
    ModelObject* m = field_target(as_field(self), obj);
    if (m == nullptr) return nullptr;
    PyObject* v = m->vals[as_field(self)->index];
    Py_INCREF(v);
    return v;
}

int FieldBase_set(PyObject* self, PyObject* obj, PyObject* value) {
    FieldObject* f = as_field(self);
    ModelObject* m = field_target(f, obj);
    if (m == nullptr) return -1;
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "%U cannot be deleted; assign None instead", f->label);
        return -1;
    }
    if (check_fit(f, value) != 0) return -1;
    track_for(m, value);
    PyObject* old = m->vals[f->index];
    Py_INCREF(value);
    m->vals[f->index] = value;
    m->flags |= kTouched;
    ++g_epoch;
    Py_DECREF(old);
    return 0;
}

int FieldBase_traverse(PyObject* self, visitproc visit, void* arg) {
    FieldObject* f = as_field(self);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_VISIT(f->owner);
    Py_VISIT(f->label);
    Py_VISIT(f->ref);
    return 0;
}

int FieldBase_clear(PyObject* self) {
    FieldObject* f = as_field(self);
    f->kind = 0;
    Py_CLEAR(f->owner);
    Py_CLEAR(f->label);
    Py_CLEAR(f->ref);
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

// _bind(owner, label, index, kind, flags, ref, ref_pk): called once by the model's
// class statement.
PyObject* FieldBase_bind(PyObject* self, PyObject* args) {
    FieldObject* f = as_field(self);
    PyObject *owner, *label, *ref;
    Py_ssize_t index, ref_pk;
    int kind, flags;
    if (!PyArg_ParseTuple(args, "O!UniiOn:_bind", &PyType_Type, &owner, &label, &index, &kind, &flags, &ref,
                          &ref_pk))
        return nullptr;
    if (!valid_kind(kind) || index < 0 || index > 0x7fffffff) {
        PyErr_SetString(PyExc_ValueError, "bad field kind or index");
        return nullptr;
    }
    if (flags < 0 || (flags & ~kFieldFlagsMask) != 0 ||
        ((flags & kAware) != 0 && static_cast<Kind>(kind) != Kind::DateTime)) {
        PyErr_SetString(PyExc_ValueError, "bad field flags (AWARE is for datetime fields only)");
        return nullptr;
    }
    if (f->kind != 0) {
        PyErr_Format(PyExc_TypeError, "this field is already bound as %U", f->label);
        return nullptr;
    }
    Py_INCREF(owner);
    Py_INCREF(label);
    f->owner = owner;
    f->label = label;
    if (ref != Py_None) {
        Py_INCREF(ref);
        f->ref = ref;
    }
    f->index = index;
    f->ref_pk = ref_pk;
    f->kind = static_cast<uint8_t>(kind);
    f->flags = static_cast<uint8_t>(flags);
    Py_RETURN_NONE;
}

// _check(value): the value itself when the field may hold it, else the assignment's
// TypeError. Used for the values of query conditions.
PyObject* FieldBase_check(PyObject* self, PyObject* value) {
    if (check_value(as_field(self), value) != 0) return nullptr;
    Py_INCREF(value);
    return value;
}

PyObject* FieldBase_index(PyObject* self, void*) {
    FieldObject* f = as_field(self);
    if (f->kind == 0) Py_RETURN_NONE;
    return PyLong_FromSsize_t(f->index);
}

PyMethodDef g_field_methods[] = {
    {"_bind", FieldBase_bind, METH_VARARGS, "Binds the field to its model class (once)."},
    {"_check", FieldBase_check, METH_O, "Returns the value if the field may hold it; raises TypeError otherwise."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_field_getset[] = {
    {"_index", FieldBase_index, nullptr, "Position of the field in its model, or None while unbound.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------------ Layout

int Layout_traverse(PyObject* self, visitproc visit, void* arg) {
    LayoutObject* l = reinterpret_cast<LayoutObject*>(self);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_VISIT(l->cls);
    Py_VISIT(l->fields);
    Py_VISIT(l->by_name);
    Py_VISIT(l->defaults);
    Py_VISIT(l->factories);
    return 0;
}

int Layout_clear(PyObject* self) {
    LayoutObject* l = reinterpret_cast<LayoutObject*>(self);
    l->n = 0;
    Py_CLEAR(l->cls);
    Py_CLEAR(l->fields);
    Py_CLEAR(l->by_name);
    Py_CLEAR(l->defaults);
    Py_CLEAR(l->factories);
    return 0;
}

// Layout(cls, fields, by_name, defaults, factories, pk, pk_generated)
PyObject* Layout_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject *cls, *fields, *by_name, *defaults, *factories;
    Py_ssize_t pk;
    int pk_generated, untrackable;
    if (kwds != nullptr && PyDict_Size(kwds) != 0) {
        PyErr_SetString(PyExc_TypeError, "Layout() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O!O!O!O!O!npp:Layout", &PyType_Type, &cls, &PyTuple_Type, &fields, &PyDict_Type,
                          &by_name, &PyTuple_Type, &defaults, &PyTuple_Type, &factories, &pk, &pk_generated,
                          &untrackable))
        return nullptr;
    const Py_ssize_t n = PyTuple_Size(fields);
    if (n == 0 || n > 0x7fffffff || PyTuple_Size(defaults) != n || PyTuple_Size(factories) != n || pk < 0 ||
        pk >= n) {
        PyErr_SetString(PyExc_ValueError, "inconsistent model layout");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* f = PyTuple_GetItem(fields, i);
        if (!PyObject_TypeCheck(f, g_field_type) || as_field(f)->index != i || as_field(f)->kind == 0) {
            PyErr_SetString(PyExc_ValueError, "layout fields must be bound fields in index order");
            return nullptr;
        }
    }
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), g_model_type)) {
        PyErr_SetString(PyExc_TypeError, "a layout describes a Model subclass");
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    LayoutObject* l = reinterpret_cast<LayoutObject*>(alloc(type, 0));
    if (l == nullptr) return nullptr;
    l->n = n;
    l->pk = pk;
    l->pk_generated = pk_generated;
    l->untrackable = untrackable;
    PyObject* parts[] = {cls, fields, by_name, defaults, factories};
    for (PyObject* p : parts) Py_INCREF(p);
    l->cls = cls;
    l->fields = fields;
    l->by_name = by_name;
    l->defaults = defaults;
    l->factories = factories;
    return reinterpret_cast<PyObject*>(l);
}

LayoutObject* layout_of(PyObject* type) {
    PyObject* l = PyObject_GetAttr(type, g_layout_attr);
    if (l == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%R declares no fields: only subclasses of Model with fields can be created",
                         type);
        }
        return nullptr;
    }
    if (!PyObject_TypeCheck(l, g_layout_type)) {
        Py_DECREF(l);
        PyErr_SetString(PyExc_TypeError, "__sc_layout__ is not a layout");
        return nullptr;
    }
    return reinterpret_cast<LayoutObject*>(l);  // new reference
}

// ------------------------------------------------------------------ ModelBase

inline PyObject* field_at(LayoutObject* l, Py_ssize_t i) { return PyTuple_GetItem(l->fields, i); }

// A fresh instance of `type` with n fields, all None, nothing loaded.
ModelObject* new_instance(PyTypeObject* type, Py_ssize_t n) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    ModelObject* m = reinterpret_cast<ModelObject*>(alloc(type, 0));
    if (m == nullptr) return nullptr;
    m->vals = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(2 * n), sizeof(PyObject*)));
    if (m->vals == nullptr) {
        Py_DECREF(m);
        PyErr_NoMemory();
        return nullptr;
    }
    m->n = static_cast<uint32_t>(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(Py_None);
        m->vals[i] = Py_None;
    }
    return m;
}

PyObject* Model_new(PyTypeObject* type, PyObject*, PyObject*) {
    LayoutObject* l = layout_of(reinterpret_cast<PyObject*>(type));
    if (l == nullptr) return nullptr;
    ModelObject* m = new_instance(type, l->n);
    Py_DECREF(l);
    return reinterpret_cast<PyObject*>(m);
}

// Author(name="Ann"): declared fields by keyword only; the rest get their default.
int Model_init(PyObject* self, PyObject* args, PyObject* kwds) {
    ModelObject* m = as_model(self);
    Owned lref(reinterpret_cast<PyObject*>(layout_of(reinterpret_cast<PyObject*>(Py_TYPE(self)))));
    if (!lref) return -1;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lref.get());
    if (m->vals == nullptr || m->n != l->n) {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
        return -1;
    }
    if (PyTuple_Size(args) != 0) {
        Owned name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
        if (name) PyErr_Format(PyExc_TypeError, "%U() takes keyword arguments only", name.get());
        return -1;
    }
    // Called again on an object that already had values: every field is assigned (even
    // if this fails halfway), so the next flush must look at it.
    if ((m->flags & kFilled) != 0) {
        m->flags |= kTouched;
        ++g_epoch;
    }
    if ((m->flags & kUntracked) != 0) {  // called again: tracked until the values are known
        m->flags &= ~kUntracked;
        PyObject_GC_Track(self);
    }
    uint64_t small_seen = 0;
    std::vector<char> big_seen;
    const bool small = l->n <= 64;
    if (!small) big_seen.assign(static_cast<size_t>(l->n), 0);
    if (kwds != nullptr) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            PyObject* f = PyDict_GetItemWithError(l->by_name, key);
            if (f == nullptr) {
                if (PyErr_Occurred()) return -1;
                Owned name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
                if (name) PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument %R", name.get(), key);
                return -1;
            }
            FieldObject* fo = as_field(f);
            if (check_fit(fo, value) != 0) return -1;
            PyObject* old = m->vals[fo->index];
            Py_INCREF(value);
            m->vals[fo->index] = value;
            Py_DECREF(old);
            if (small) {
                small_seen |= uint64_t{1} << fo->index;
            } else {
                big_seen[static_cast<size_t>(fo->index)] = 1;
            }
        }
    }
    for (Py_ssize_t i = 0; i < l->n; ++i) {
        if (small ? ((small_seen >> i) & 1) != 0 : big_seen[static_cast<size_t>(i)] != 0) continue;
        PyObject* factory = PyTuple_GetItem(l->factories, i);
        PyObject* value;
        if (factory != Py_None) {
            value = PyObject_CallObject(factory, nullptr);
            if (value == nullptr) return -1;
            FieldObject* fo = as_field(field_at(l, i));
            if (check_fit(fo, value) != 0) {
                Py_DECREF(value);
                return -1;
            }
        } else {
            value = PyTuple_GetItem(l->defaults, i);
            Py_INCREF(value);
        }
        PyObject* old = m->vals[i];
        m->vals[i] = value;
        Py_DECREF(old);
    }
    m->flags |= kFilled;
    settle_tracking(m, l->untrackable);
    return 0;
}

int Model_traverse(PyObject* self, visitproc visit, void* arg) {
    ModelObject* m = as_model(self);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    if (m->vals != nullptr) {
        for (uint32_t i = 0; i < 2 * m->n; ++i) Py_VISIT(m->vals[i]);
    }
    return 0;
}

// Empties every slot (current values become None, so the object stays usable).
int Model_clear(PyObject* self) {
    ModelObject* m = as_model(self);
    if (m->vals != nullptr) {
        for (uint32_t i = 0; i < 2 * m->n; ++i) {
            PyObject* v = m->vals[i];
            if (i < m->n) {
                Py_INCREF(Py_None);
                m->vals[i] = Py_None;
            } else {
                m->vals[i] = nullptr;
            }
            Py_XDECREF(v);
        }
    }
    return 0;
}

void Model_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    ModelObject* m = as_model(self);
    PyObject_GC_UnTrack(self);
    if (m->vals != nullptr) {
        PyObject** vals = m->vals;
        const uint32_t count = 2 * m->n;
        m->vals = nullptr;
        m->n = 0;
        for (uint32_t i = 0; i < count; ++i) Py_XDECREF(vals[i]);
        PyMem_Free(vals);
    }
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
    for (uint32_t i = 0; i < n; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SetItem(t, i, items[i]);
    }
    return t;
}

// Pickling and copying: (_rebuild, (cls, values, snapshot or None, flags, __dict__ or None)).
PyObject* Model_reduce(PyObject* self, PyObject*) {
    ModelObject* m = as_model(self);
    if (m->vals == nullptr) {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
        return nullptr;
    }
    Owned module(PyImport_ImportModule("sablecrest._native"));
    if (!module) return nullptr;
    Owned rebuild(PyObject_GetAttrString(module.get(), "_rebuild"));
    if (!rebuild) return nullptr;
    Owned values(tuple_of(m->vals, m->n, false));
    if (!values) return nullptr;
    Owned snapshot(tuple_of(m->vals + m->n, m->n, true));
    if (!snapshot) return nullptr;
    Owned dict(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        Py_INCREF(Py_None);
        dict = Owned(Py_None);
    }
    return Py_BuildValue("O(OOOkO)", rebuild.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), values.get(),
                         snapshot.get(), static_cast<unsigned long>(m->flags), dict.get());
}

PyMethodDef g_model_methods[] = {
    {"__reduce__", Model_reduce, METH_NOARGS, "Pickles the field values, the snapshot and the state."},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------------ value rules

// 1 when `current` is the same stored value as `loaded`, 0 when it is a change, -1 on
// error. Same type and equal, except: floats by same_double (-0.0 is not 0.0, NaN is
// NaN), and Decimals by their text, so that Decimal("1.50") is a change from
// Decimal("1.5") (a NUMERIC column without a scale keeps the difference).
int same_value(PyObject* current, PyObject* loaded) {
    if (current == loaded) return 1;
    if (loaded == nullptr || Py_TYPE(current) != Py_TYPE(loaded)) return 0;
    if (PyFloat_CheckExact(current)) return same_double(PyFloat_AsDouble(current), PyFloat_AsDouble(loaded));
    if (Py_TYPE(current) == reinterpret_cast<PyTypeObject*>(g_decimal)) {
        Owned a(PyObject_Str(current));
        if (!a) return -1;
        Owned b(PyObject_Str(loaded));
        if (!b) return -1;
        return PyUnicode_Compare(a.get(), b.get()) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
    }
    return PyObject_RichCompareBool(current, loaded, Py_EQ);
}

// Applies `conv` (a callable or None) to a non-None value; returns a new reference.
inline PyObject* convert(PyObject* conv, PyObject* v) {
    if (conv == Py_None || v == Py_None) {
        Py_INCREF(v);
        return v;
    }
    return PyObject_CallFunctionObjArgs(conv, v, nullptr);
}

bool check_layout_arg(PyObject* l) {
    if (!PyObject_TypeCheck(l, g_layout_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a model layout");
        return false;
    }
    return true;
}

// Every object of a batch must be an instance of the layout's model.
ModelObject* member(LayoutObject* l, PyObject* o) {
    if (Py_TYPE(o) != reinterpret_cast<PyTypeObject*>(l->cls) &&
        !PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(l->cls))) {
        PyErr_Format(PyExc_TypeError, "expected %R objects, got %R", l->cls, reinterpret_cast<PyObject*>(Py_TYPE(o)));
        return nullptr;
    }
    ModelObject* m = as_model(o);
    if (m->vals == nullptr || m->n != static_cast<uint32_t>(l->n)) {
        PyErr_SetString(PyExc_TypeError, "the object was created without its fields");
        return nullptr;
    }
    return m;
}

// An int subclass (an IntEnum) as an exact int; new reference.
PyObject* exact_int(PyObject* v) {
    Owned r(PyNumber_Index(v));
    if (!r || PyLong_CheckExact(r.get())) return r.release();
    // 3.8 and 3.9 hand an int subclass back as it is; int's own __int__ copies it
    // without running the subclass's code.
    return PyObject_CallFunctionObjArgs(g_int_int, r.get(), nullptr);
}

// A parameter as its exact base type: a driver given an instance of a subclass of int,
// str, float or bytes (an IntEnum, a str-Enum) may bind its str() or refuse it. New
// reference.
PyObject* plain_param(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (v == Py_None || t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        t == &PyBytes_Type) {
        Py_INCREF(v);
        return v;
    }
    if (PyLong_Check(v)) return exact_int(v);
    if (PyUnicode_Check(v)) return PyUnicode_FromObject(v);
    if (PyFloat_Check(v)) return PyFloat_FromDouble(PyFloat_AsDouble(v));
    if (PyBytes_Check(v)) return PyBytes_FromStringAndSize(PyBytes_AsString(v), PyBytes_Size(v));
    Py_INCREF(v);
    return v;
}

// The parameter for value `v`: its plain form, dumped. New reference.
PyObject* param_of(PyObject* dumper, PyObject* v) {
    Owned plain(plain_param(v));
    if (!plain) return nullptr;
    return convert(dumper, plain.get());
}

// The value to bind for field i of m: a referenced instance becomes its key (and is
// replaced by it, the swap recorded in `swaps` when that is a list), then the dumper
// applies. New reference.
PyObject* bind_value(LayoutObject* l, PyObject* o, ModelObject* m, Py_ssize_t i, PyObject* dumper,
                     PyObject* swaps) {
    PyObject* v = m->vals[i];
    if (v != Py_None && is_model(v)) {
        FieldObject* f = as_field(field_at(l, i));
        ModelObject* parent = as_model(v);
        if (f->ref == nullptr || f->ref_pk < 0 || parent->vals == nullptr ||
            static_cast<uint32_t>(f->ref_pk) >= parent->n) {
            PyErr_Format(PyExc_TypeError, "%U holds a model object but is not a foreign key", f->label);
            return nullptr;
        }
        PyObject* key = parent->vals[f->ref_pk];
        if (key == Py_None) {
            PyErr_Format(PyExc_ValueError,
                         "%U refers to an object that has no primary key yet (add it to the session so it is "
                         "inserted first)",
                         f->label);
            return nullptr;
        }
        if (swaps != Py_None) {
            Owned record(Py_BuildValue("(OnOO)", o, i, v, key));
            if (!record || PyList_Append(swaps, record.get()) != 0) return nullptr;
        }
        track_for(m, key);
        Py_INCREF(key);
        m->vals[i] = key;
        Py_DECREF(v);
        v = key;
    }
    return param_of(dumper, v);
}

// A session token: a non-negative int below 2**64.
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

bool check_swaps(PyObject* swaps) {
    if (swaps != Py_None && !PyList_Check(swaps)) {
        PyErr_SetString(PyExc_TypeError, "swaps must be a list or None");
        return false;
    }
    return true;
}

PyObject* dumper_at(PyObject* dumpers, Py_ssize_t i) {
    return dumpers == Py_None ? Py_None : PyTuple_GetItem(dumpers, i);
}

// ------------------------------------------------------------------ module functions

// materialize(layout, rows, identity, loaders, token) -> list of instances, one per
// row, new ones owned by `token`. A row whose key is already in `identity` yields the
// object already there (its unflushed changes win over the row, as in every
// identity-mapped session).
PyObject* native_materialize(PyObject*, PyObject* args) {
    PyObject *lo, *rows, *identity, *loaders, *token_arg;
    if (!PyArg_ParseTuple(args, "OOO!OO:materialize", &lo, &rows, &PyDict_Type, &identity, &loaders, &token_arg))
        return nullptr;
    if (!check_layout_arg(lo)) return nullptr;
    uint64_t token = 0;
    if (!parse_token(token_arg, token)) return nullptr;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lo);
    if (loaders != Py_None && (!PyTuple_Check(loaders) || PyTuple_Size(loaders) != l->n)) {
        PyErr_SetString(PyExc_TypeError, "loaders must be None or a tuple with one item per field");
        return nullptr;
    }
    Owned seq(PySequence_Fast(rows, "rows must be a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t count = PySequence_Size(seq.get());
    Owned out(PyList_New(count));
    if (!out) return nullptr;
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(l->cls);
    const Py_ssize_t n = l->n;
    std::vector<PyObject*> tmp(static_cast<size_t>(n));
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* row = PyList_Check(seq.get()) ? PyList_GetItem(seq.get(), r) : PyTuple_GetItem(seq.get(), r);
        Owned row_seq;
        PyObject* items = row;
        if (!PyTuple_Check(row)) {
            row_seq = Owned(PySequence_Tuple(row));
            if (!row_seq) return nullptr;
            items = row_seq.get();
        }
        if (PyTuple_Size(items) != n) {
            PyErr_Format(PyExc_ValueError, "a row of %R has %zd columns, expected %zd", l->cls, PyTuple_Size(items),
                         n);
            return nullptr;
        }
        // Convert the whole row first: a failing loader leaves no half-built object.
        Py_ssize_t done = 0;
        for (; done < n; ++done) {
            PyObject* v = PyTuple_GetItem(items, done);
            tmp[done] = loaders == Py_None ? (Py_INCREF(v), v) : convert(PyTuple_GetItem(loaders, done), v);
            if (tmp[done] == nullptr) break;
        }
        if (done < n) {
            for (Py_ssize_t i = 0; i < done; ++i) Py_DECREF(tmp[i]);
            return nullptr;
        }
        PyObject* existing = PyDict_GetItemWithError(identity, tmp[l->pk]);
        if (existing != nullptr) {
            Py_INCREF(existing);
            PyList_SetItem(out.get(), r, existing);
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(tmp[i]);
            continue;
        }
        if (PyErr_Occurred()) {
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(tmp[i]);
            return nullptr;
        }
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        ModelObject* m = reinterpret_cast<ModelObject*>(alloc(cls, 0));
        PyObject** vals = m ? static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(2 * n) * sizeof(PyObject*)))
                            : nullptr;
        if (vals == nullptr) {
            Py_XDECREF(m);
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(tmp[i]);
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            vals[i] = tmp[i];  // the converted value's reference moves here
            Py_INCREF(tmp[i]);
            vals[n + i] = tmp[i];
        }
        m->vals = vals;
        m->n = static_cast<uint32_t>(n);
        m->flags = kPersistent | kFilled;
        m->owner = token;
        settle_tracking(m, l->untrackable);
        PyList_SetItem(out.get(), r, reinterpret_cast<PyObject*>(m));
        if (PyDict_SetItem(identity, vals[l->pk], reinterpret_cast<PyObject*>(m)) != 0) return nullptr;
    }
    return out.release();
}

// validate(layout, objs, reject_nan): ValueError for a NOT NULL field holding None (a
// generated primary key excepted), for a reference to an object that will never get a
// key, and (with reject_nan) for a float field holding NaN.
PyObject* native_validate(PyObject*, PyObject* args) {
    PyObject *lo, *objs;
    int reject_nan;
    if (!PyArg_ParseTuple(args, "OO!p:validate", &lo, &PyList_Type, &objs, &reject_nan)) return nullptr;
    if (!check_layout_arg(lo)) return nullptr;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lo);
    const Py_ssize_t count = PyList_Size(objs);
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = member(l, PyList_GetItem(objs, r));
        if (m == nullptr) return nullptr;
        for (Py_ssize_t i = 0; i < l->n; ++i) {
            PyObject* v = m->vals[i];
            FieldObject* f = as_field(field_at(l, i));
            if (v == Py_None) {
                if ((f->flags & kNullable) != 0 || (i == l->pk && l->pk_generated)) continue;
                PyErr_Format(PyExc_ValueError, "%U is NOT NULL but is None", f->label);
                return nullptr;
            }
            if (is_model(v)) {
                const uint32_t state = as_model(v)->flags & kStateMask;
                if (state != kPending && state != kPersistent && state != kDetached) {
                    PyErr_Format(PyExc_ValueError,
                                 "%U refers to an object that is not in a session (add it first)", f->label);
                    return nullptr;
                }
            } else if (reject_nan && PyFloat_Check(v) && static_cast<Kind>(f->kind) == Kind::Float &&
                       std::isnan(PyFloat_AsDouble(v))) {
                PyErr_Format(PyExc_ValueError, "%U is NaN, which this database cannot store (it would read back as NULL)",
                             f->label);
                return nullptr;
            }
        }
    }
    Py_RETURN_NONE;
}

// insert_params(layout, objs, idxs, dumpers, flat, swaps): the values of fields `idxs`
// of each object, dumped; one tuple per object, or one flat list for a multi-row VALUES.
PyObject* native_insert_params(PyObject*, PyObject* args) {
    PyObject *lo, *objs, *idxs, *dumpers, *swaps;
    int flat;
    if (!PyArg_ParseTuple(args, "OO!O!OpO:insert_params", &lo, &PyList_Type, &objs, &PyTuple_Type, &idxs, &dumpers,
                          &flat, &swaps))
        return nullptr;
    if (!check_layout_arg(lo) || !check_swaps(swaps)) return nullptr;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lo);
    const Py_ssize_t count = PyList_Size(objs);
    const Py_ssize_t width = PyTuple_Size(idxs);
    if (dumpers != Py_None && (!PyTuple_Check(dumpers) || PyTuple_Size(dumpers) != l->n)) {
        PyErr_SetString(PyExc_TypeError, "dumpers must be None or a tuple with one item per field");
        return nullptr;
    }
    std::vector<Py_ssize_t> cols(static_cast<size_t>(width));
    for (Py_ssize_t c = 0; c < width; ++c) {
        cols[c] = PyLong_AsSsize_t(PyTuple_GetItem(idxs, c));
        if (cols[c] < 0 || cols[c] >= l->n) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_IndexError, "field index out of range");
            return nullptr;
        }
    }
    Owned out(PyList_New(flat ? count * width : count));
    if (!out) return nullptr;
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(objs, r);
        ModelObject* m = member(l, o);
        if (m == nullptr) return nullptr;
        Owned row;
        if (!flat) {
            row = Owned(PyTuple_New(width));
            if (!row) return nullptr;
        }
        for (Py_ssize_t c = 0; c < width; ++c) {
            PyObject* v = bind_value(l, o, m, cols[c], dumper_at(dumpers, cols[c]), swaps);
            if (v == nullptr) return nullptr;
            if (flat) {
                PyList_SetItem(out.get(), r * width + c, v);
            } else {
                PyTuple_SetItem(row.get(), c, v);
            }
        }
        if (!flat) PyList_SetItem(out.get(), r, row.release());
    }
    return out.release();
}

// The snapshot becomes the current values: what the row now holds.
void snapshot(ModelObject* m) {
    for (uint32_t i = 0; i < m->n; ++i) {
        PyObject* old = m->vals[m->n + i];
        Py_INCREF(m->vals[i]);
        m->vals[m->n + i] = m->vals[i];
        Py_XDECREF(old);
    }
    m->flags = kPersistent | (m->flags & (kUntracked | kFilled));
}

// Every field counts as changed from now on.
void forget_snapshot(ModelObject* m) {
    for (uint32_t i = 0; i < m->n; ++i) Py_CLEAR(m->vals[m->n + i]);
}

// mark_flushed(layout, objs, identity, keys): after a successful INSERT or UPDATE. With
// `keys` (generated primary keys, one per object) they are set first. Each object is
// then keyed in `identity` under its current key (a changed key moves), snapshotted
// and persistent. An object assigned to since begin_write (another task ran while the
// flush waited for the driver) may hold values that were not written: it keeps no
// snapshot, so that the next flush writes all of it.
PyObject* native_mark_flushed(PyObject*, PyObject* args) {
    PyObject *lo, *objs, *identity, *keys;
    if (!PyArg_ParseTuple(args, "OO!O!O:mark_flushed", &lo, &PyList_Type, &objs, &PyDict_Type, &identity, &keys))
        return nullptr;
    if (!check_layout_arg(lo)) return nullptr;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lo);
    const Py_ssize_t count = PyList_Size(objs);
    if (keys != Py_None && (!PyList_Check(keys) || PyList_Size(keys) != count)) {
        PyErr_SetString(PyExc_ValueError, "one generated key per object is needed");
        return nullptr;
    }
    const Py_ssize_t pk = l->pk;
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(objs, r);
        ModelObject* m = member(l, o);
        if (m == nullptr) return nullptr;
        if (keys != Py_None) {
            PyObject* key = PyList_GetItem(keys, r);
            PyObject* old = m->vals[pk];
            track_for(m, key);
            Py_INCREF(key);
            m->vals[pk] = key;
            Py_DECREF(old);
        }
        PyObject* old_key = m->vals[m->n + pk];
        if (old_key != nullptr && old_key != m->vals[pk]) {
            const int same = PyObject_RichCompareBool(old_key, m->vals[pk], Py_EQ);
            if (same < 0) return nullptr;
            if (!same && PyDict_GetItemWithError(identity, old_key) == o && PyDict_DelItem(identity, old_key) != 0)
                return nullptr;
            if (PyErr_Occurred()) return nullptr;
        }
        if ((m->flags & kTouched) != 0) {
            forget_snapshot(m);
            m->flags = kPersistent | (m->flags & (kTouched | kUntracked | kFilled));
        } else {
            snapshot(m);
        }
        if (PyDict_SetItem(identity, m->vals[pk], o) != 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// Appends to `out` the indexes of the fields of m whose value changed; -1 on error.
int changed_fields(ModelObject* m, std::vector<uint32_t>& out) {
    out.clear();
    for (uint32_t i = 0; i < m->n; ++i) {
        const int same = same_value(m->vals[i], m->vals[m->n + i]);
        if (same < 0) return -1;
        if (!same) out.push_back(i);
    }
    return 0;
}

// dirty_objects(layout, objects): the persistent objects among `objects` (an iterable,
// typically an identity map's values) that hold a change; an object assigned back to
// its loaded values is clean again and loses its touched mark.
PyObject* native_dirty_objects(PyObject*, PyObject* args) {
    PyObject *lo, *objects;
    if (!PyArg_ParseTuple(args, "OO:dirty_objects", &lo, &objects)) return nullptr;
    if (!check_layout_arg(lo)) return nullptr;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lo);
    Owned out(PyList_New(0));
    if (!out) return nullptr;
    std::vector<uint32_t> changed;
    auto visit = [&](PyObject* o) -> int {
        ModelObject* m = member(l, o);
        if (m == nullptr) return -1;
        if ((m->flags & kTouched) == 0 || (m->flags & kStateMask) != kPersistent) return 0;
        if (changed_fields(m, changed) != 0) return -1;
        if (changed.empty()) {
            m->flags &= ~kTouched;
            return 0;
        }
        return PyList_Append(out.get(), o);
    };
    if (PyDict_Check(objects)) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(objects, &pos, &key, &value)) {
            if (visit(value) != 0) return nullptr;
        }
    } else {
        Owned it(PyObject_GetIter(objects));
        if (!it) return nullptr;
        while (PyObject* o = PyIter_Next(it.get())) {
            const int rc = visit(o);
            Py_DECREF(o);
            if (rc != 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return out.release();
}

// update_groups(layout, objs, dumpers, swaps) -> [(field indexes, [params], [objs])]:
// the changed fields of each object, grouped by which fields changed, so that every
// group is one UPDATE text run with executemany. Each params tuple is the changed
// values then the key the row had when loaded.
PyObject* native_update_groups(PyObject*, PyObject* args) {
    PyObject *lo, *objs, *dumpers, *swaps;
    if (!PyArg_ParseTuple(args, "OO!OO:update_groups", &lo, &PyList_Type, &objs, &dumpers, &swaps)) return nullptr;
    if (!check_layout_arg(lo) || !check_swaps(swaps)) return nullptr;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lo);
    if (dumpers != Py_None && (!PyTuple_Check(dumpers) || PyTuple_Size(dumpers) != l->n)) {
        PyErr_SetString(PyExc_TypeError, "dumpers must be None or a tuple with one item per field");
        return nullptr;
    }
    struct Group {
        std::vector<uint32_t> fields;
        Owned params, members;
    };
    std::vector<Group> groups;
    std::vector<uint32_t> changed;
    const Py_ssize_t count = PyList_Size(objs);
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(objs, r);
        ModelObject* m = member(l, o);
        if (m == nullptr) return nullptr;
        if (changed_fields(m, changed) != 0) return nullptr;
        if (changed.empty()) continue;
        Group* g = nullptr;
        for (Group& cand : groups) {
            if (cand.fields == changed) {
                g = &cand;
                break;
            }
        }
        if (g == nullptr) {
            groups.push_back(Group{changed, Owned(PyList_New(0)), Owned(PyList_New(0))});
            g = &groups.back();
            if (!g->params || !g->members) return nullptr;
        }
        Owned row(PyTuple_New(static_cast<Py_ssize_t>(changed.size()) + 1));
        if (!row) return nullptr;
        for (size_t c = 0; c < changed.size(); ++c) {
            PyObject* v = bind_value(l, o, m, changed[c], dumper_at(dumpers, changed[c]), swaps);
            if (v == nullptr) return nullptr;
            PyTuple_SetItem(row.get(), static_cast<Py_ssize_t>(c), v);
        }
        PyObject* key = m->vals[m->n + l->pk] ? m->vals[m->n + l->pk] : m->vals[l->pk];
        PyObject* bound = param_of(dumper_at(dumpers, l->pk), key);
        if (bound == nullptr) return nullptr;
        PyTuple_SetItem(row.get(), static_cast<Py_ssize_t>(changed.size()), bound);
        if (PyList_Append(g->params.get(), row.get()) != 0 || PyList_Append(g->members.get(), o) != 0) return nullptr;
    }
    Owned out(PyList_New(static_cast<Py_ssize_t>(groups.size())));
    if (!out) return nullptr;
    for (size_t gi = 0; gi < groups.size(); ++gi) {
        Group& g = groups[gi];
        Owned fields(PyTuple_New(static_cast<Py_ssize_t>(g.fields.size())));
        if (!fields) return nullptr;
        for (size_t c = 0; c < g.fields.size(); ++c) {
            PyObject* i = PyLong_FromUnsignedLong(g.fields[c]);
            if (i == nullptr) return nullptr;
            PyTuple_SetItem(fields.get(), static_cast<Py_ssize_t>(c), i);
        }
        PyObject* item = PyTuple_Pack(3, fields.get(), g.params.get(), g.members.get());
        if (item == nullptr) return nullptr;
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(gi), item);
    }
    return out.release();
}

// key_params(layout, objs) -> [key]: each object's key as its row has it (the loaded
// key when there is one); for DELETE.
PyObject* native_key_params(PyObject*, PyObject* args) {
    PyObject *lo, *objs;
    if (!PyArg_ParseTuple(args, "OO!:key_params", &lo, &PyList_Type, &objs)) return nullptr;
    if (!check_layout_arg(lo)) return nullptr;
    LayoutObject* l = reinterpret_cast<LayoutObject*>(lo);
    const Py_ssize_t count = PyList_Size(objs);
    Owned out(PyList_New(count));
    if (!out) return nullptr;
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = member(l, PyList_GetItem(objs, r));
        if (m == nullptr) return nullptr;
        PyObject* key = m->vals[m->n + l->pk] ? m->vals[m->n + l->pk] : m->vals[l->pk];
        Py_INCREF(key);
        PyList_SetItem(out.get(), r, key);
    }
    return out.release();
}

// field_values(objs, index) -> [value]: field `index` of each object (any models).
PyObject* native_field_values(PyObject*, PyObject* args) {
    PyObject* objs;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "O!n:field_values", &PyList_Type, &objs, &index)) return nullptr;
    const Py_ssize_t count = PyList_Size(objs);
    Owned out(PyList_New(count));
    if (!out) return nullptr;
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(objs, r);
        if (!is_model(o) || as_model(o)->vals == nullptr || index < 0 ||
            static_cast<uint32_t>(index) >= as_model(o)->n) {
            PyErr_SetString(PyExc_TypeError, "field_values takes model objects and a field index");
            return nullptr;
        }
        PyObject* v = as_model(o)->vals[index];
        Py_INCREF(v);
        PyList_SetItem(out.get(), r, v);
    }
    return out.release();
}

// changes(obj) -> tuple of the indexes of the fields that differ from the snapshot.
PyObject* native_changes(PyObject*, PyObject* obj) {
    if (!is_model(obj) || as_model(obj)->vals == nullptr) {
        PyErr_SetString(PyExc_TypeError, "changes() takes a model object");
        return nullptr;
    }
    std::vector<uint32_t> changed;
    if (changed_fields(as_model(obj), changed) != 0) return nullptr;
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(changed.size()));
    if (t == nullptr) return nullptr;
    for (size_t c = 0; c < changed.size(); ++c) {
        PyObject* i = PyLong_FromUnsignedLong(changed[c]);
        if (i == nullptr) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SetItem(t, static_cast<Py_ssize_t>(c), i);
    }
    return t;
}

// loaded(obj, index) -> the snapshot value of a field; raises LookupError when unknown.
PyObject* native_loaded(PyObject*, PyObject* args) {
    PyObject* obj;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "On:loaded", &obj, &index)) return nullptr;
    if (!is_model(obj) || as_model(obj)->vals == nullptr || index < 0 ||
        static_cast<uint32_t>(index) >= as_model(obj)->n) {
        PyErr_SetString(PyExc_TypeError, "loaded() takes a model object and a field index");
        return nullptr;
    }
    PyObject* v = as_model(obj)->vals[as_model(obj)->n + index];
    if (v == nullptr) {
        PyErr_SetString(PyExc_LookupError, "no loaded value");
        return nullptr;
    }
    Py_INCREF(v);
    return v;
}

PyObject* native_state(PyObject*, PyObject* obj) {
    if (!is_model(obj)) {
        PyErr_SetString(PyExc_TypeError, "state() takes a model object");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(as_model(obj)->flags & kStateMask);
}

// A strong list of the model objects of `objs` (any iterable): Python code run while
// they are handled cannot free one of them.
PyObject* model_list(PyObject* objs, const char* who) {
    Owned list(PySequence_List(objs));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* o = PyList_GetItem(list.get(), r);
        if (!is_model(o) || as_model(o)->vals == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() takes model objects, got %R", who, reinterpret_cast<PyObject*>(Py_TYPE(o)));
            return nullptr;
        }
    }
    return list.release();
}

// transition(objs, op, token=0, pk=-1): one of TRANSITIONS applied to each object. The
// arguments of every object are checked before any object changes.
PyObject* native_transition(PyObject*, PyObject* args, PyObject* kwds) {
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
    if (op < 1 || op > kTransitionCount) {
        PyErr_Format(PyExc_ValueError, "unknown transition %R (expected one of TRANSITIONS)", op_arg);
        return nullptr;
    }
    const TransitionRule& rule = kTransitions[op - 1];
    uint64_t token = 0;
    if (token_arg != nullptr && !parse_token(token_arg, token)) return nullptr;
    Owned list(model_list(objs, "transition"));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    if (rule.clear_key) {
        for (Py_ssize_t r = 0; r < count; ++r) {
            if (pk >= static_cast<Py_ssize_t>(as_model(PyList_GetItem(list.get(), r))->n)) {
                PyErr_SetString(PyExc_IndexError, "the key index is out of range for the object");
                return nullptr;
            }
        }
    }
    for (Py_ssize_t r = 0; r < count; ++r) {
        ModelObject* m = as_model(PyList_GetItem(list.get(), r));
        uint32_t touched = m->flags & kTouched;
        if (rule.forget) {
            forget_snapshot(m);
            touched = kTouched;
        }
        if (rule.clear_key && pk >= 0) {
            PyObject* old = m->vals[pk];
            Py_INCREF(Py_None);
            m->vals[pk] = Py_None;
            Py_DECREF(old);
        }
        m->flags = rule.state | touched | (m->flags & (kUntracked | kFilled));
        if (rule.owner == OwnerRule::Set) {
            m->owner = token;
        } else if (rule.owner == OwnerRule::Clear) {
            m->owner = 0;
        }
    }
    Py_RETURN_NONE;
}

// begin_write(objs): the flush is about to write these objects; an assignment from now
// on marks them touched again (see mark_flushed).
PyObject* native_begin_write(PyObject*, PyObject* objs) {
    Owned list(model_list(objs, "begin_write"));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) as_model(PyList_GetItem(list.get(), r))->flags &= ~kTouched;
    Py_RETURN_NONE;
}

// restore_references(swaps): undoes the swaps of insert_params/update_groups whose
// object still holds the very key it was given: after a rolled-back flush, a child
// must not keep a key that no longer exists (its parent may get another one).
PyObject* native_restore_references(PyObject*, PyObject* swaps) {
    Owned list(PySequence_List(swaps));
    if (!list) return nullptr;
    const Py_ssize_t count = PyList_Size(list.get());
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* item = PyList_GetItem(list.get(), r);
        PyObject *o, *parent, *key;
        Py_ssize_t index;
        if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "OnOO:restore_references", &o, &index, &parent, &key)) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "restore_references() takes (obj, index, parent, key) tuples");
            }
            return nullptr;
        }
        if (!is_model(o) || as_model(o)->vals == nullptr) {
            PyErr_SetString(PyExc_TypeError, "restore_references() takes (obj, index, parent, key) tuples");
            return nullptr;
        }
        ModelObject* m = as_model(o);
        if (index < 0 || index >= static_cast<Py_ssize_t>(m->n)) {
            PyErr_SetString(PyExc_IndexError, "field index out of range");
            return nullptr;
        }
        if (m->vals[index] != key) continue;
        track_for(m, parent);
        Py_INCREF(parent);
        m->vals[index] = parent;
        Py_DECREF(key);
    }
    Py_RETURN_NONE;
}

// owner(obj) -> the token of the session holding it (0: none).
PyObject* native_owner(PyObject*, PyObject* obj) {
    if (!is_model(obj)) {
        PyErr_SetString(PyExc_TypeError, "owner() takes a model object");
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(as_model(obj)->owner);
}

PyObject* native_touch_epoch(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(g_epoch); }

// add_pending(objs, pending, start, token) -> index. From `start` on, each object of
// the list that is an instance of a concrete model and transient (or pending but not
// yet in `pending`) becomes pending, owned by `token`, and is entered in `pending` under
// id(obj), keeping its touched mark; a pending object already there is left as it is.
// Stops at the first other object (one owned by another session among them) and
// returns its index (len(objs) when there is none), so that the caller handles that
// one the slow way and carries on after it.
PyObject* native_add_pending(PyObject*, PyObject* args) {
    PyObject *objs, *pending, *token_arg;
    Py_ssize_t start;
    if (!PyArg_ParseTuple(args, "O!O!nO:add_pending", &PyList_Type, &objs, &PyDict_Type, &pending, &start,
                          &token_arg))
        return nullptr;
    uint64_t token = 0;
    if (!parse_token(token_arg, token)) return nullptr;
    const Py_ssize_t count = PyList_Size(objs);
    PyTypeObject* checked = nullptr;  // the last type found to be a concrete model
    Py_ssize_t i = start < 0 ? 0 : start;
    for (; i < count; ++i) {
        PyObject* o = PyList_GetItem(objs, i);
        if (!is_model(o) || as_model(o)->vals == nullptr) break;
        if (Py_TYPE(o) != checked) {
            // A concrete model is the class its layout was made for (not a subclass).
            LayoutObject* l = layout_of(reinterpret_cast<PyObject*>(Py_TYPE(o)));
            if (l == nullptr) {
                PyErr_Clear();
                break;
            }
            const bool concrete = l->cls == reinterpret_cast<PyObject*>(Py_TYPE(o));
            Py_DECREF(l);
            if (!concrete) break;
            checked = Py_TYPE(o);
        }
        ModelObject* m = as_model(o);
        const uint32_t state = m->flags & kStateMask;
        if ((state != kTransient && state != kPending) || (m->owner != 0 && m->owner != token)) break;
        Owned key(PyLong_FromVoidPtr(o));
        if (!key) return nullptr;
        if (state == kPending) {
            const int there = PyDict_Contains(pending, key.get());
            if (there < 0) return nullptr;
            if (there) continue;
        }
        if (PyDict_SetItem(pending, key.get(), o) != 0) return nullptr;
        m->flags = kPending | (m->flags & (kTouched | kUntracked | kFilled));
        m->owner = token;
    }
    return PyLong_FromSsize_t(i);
}

// _rebuild(cls, values, snapshot, flags, dict): the inverse of __reduce__.
PyObject* native_rebuild(PyObject*, PyObject* args) {
    PyObject *cls, *values, *snap, *dict;
    unsigned long flags;
    if (!PyArg_ParseTuple(args, "O!O!OkO:_rebuild", &PyType_Type, &cls, &PyTuple_Type, &values, &snap, &flags, &dict))
        return nullptr;
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), g_model_type)) {
        PyErr_SetString(PyExc_TypeError, "_rebuild() takes a Model subclass");
        return nullptr;
    }
    Owned lref(reinterpret_cast<PyObject*>(layout_of(cls)));
    if (!lref) return nullptr;
    const Py_ssize_t n = reinterpret_cast<LayoutObject*>(lref.get())->n;
    if (PyTuple_Size(values) != n || (snap != Py_None && (!PyTuple_Check(snap) || PyTuple_Size(snap) != n))) {
        PyErr_Format(PyExc_ValueError, "%R has %zd fields; the pickled object has a different number", cls, n);
        return nullptr;
    }
    Owned obj(reinterpret_cast<PyObject*>(new_instance(reinterpret_cast<PyTypeObject*>(cls), n)));
    if (!obj) return nullptr;
    ModelObject* m = as_model(obj.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyTuple_GetItem(values, i);
        Py_INCREF(v);
        Py_DECREF(m->vals[i]);
        m->vals[i] = v;
        if (snap != Py_None) {
            PyObject* s = PyTuple_GetItem(snap, i);
            Py_INCREF(s);
            m->vals[n + i] = s;
        }
    }
    // The owner is not carried: an unpickled object is in no session.
    m->flags = (static_cast<uint32_t>(flags) & (kStateMask | kTouched)) | kFilled;
    if (dict != Py_None) {
        Owned target(PyObject_GetAttrString(obj.get(), "__dict__"));
        if (!target) return nullptr;
        if (PyDict_Update(target.get(), dict) != 0) return nullptr;
    }
    return obj.release();
}

PyMethodDef g_functions[] = {
    {"materialize", native_materialize, METH_VARARGS, "materialize(layout, rows, identity, loaders, token) -> list"},
    {"validate", native_validate, METH_VARARGS, "validate(layout, objs, reject_nan) -> None"},
    {"insert_params", native_insert_params, METH_VARARGS,
     "insert_params(layout, objs, idxs, dumpers, flat, swaps) -> list"},
    {"begin_write", native_begin_write, METH_O, "begin_write(objs) -> None"},
    {"mark_flushed", native_mark_flushed, METH_VARARGS, "mark_flushed(layout, objs, identity, keys) -> None"},
    {"restore_references", native_restore_references, METH_O, "restore_references(swaps) -> None"},
    {"dirty_objects", native_dirty_objects, METH_VARARGS, "dirty_objects(layout, objects) -> list"},
    {"update_groups", native_update_groups, METH_VARARGS, "update_groups(layout, objs, dumpers, swaps) -> list"},
    {"key_params", native_key_params, METH_VARARGS, "key_params(layout, objs) -> list"},
    {"field_values", native_field_values, METH_VARARGS, "field_values(objs, index) -> list"},
    {"changes", native_changes, METH_O, "changes(obj) -> tuple of changed field indexes"},
    {"loaded", native_loaded, METH_VARARGS, "loaded(obj, index) -> the field's snapshot value"},
    {"state", native_state, METH_O, "state(obj) -> int"},
    {"owner", native_owner, METH_O, "owner(obj) -> int"},
    {"transition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(native_transition)),
     METH_VARARGS | METH_KEYWORDS, "transition(objs, op, token=0, pk=-1) -> None"},
    {"touch_epoch", native_touch_epoch, METH_NOARGS, "touch_epoch() -> int"},
    {"add_pending", native_add_pending, METH_VARARGS, "add_pending(objs, pending, start, token) -> index"},
    {"_rebuild", native_rebuild, METH_VARARGS, "_rebuild(cls, values, snapshot, flags, dict) -> object"},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------------ init

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "sablecrest._native", "The per-row core of sablecrest.", -1, g_functions,
    nullptr,               nullptr,              nullptr,                           nullptr,
};

PyTypeObject* make_type(const char* name, int basicsize, unsigned long flags, PyType_Slot* slots) {
    PyType_Spec spec = {name, basicsize, 0, static_cast<unsigned int>(flags), slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* import_attr(const char* module, const char* name) {
    Owned m(PyImport_ImportModule(module));
    if (!m) return nullptr;
    return PyObject_GetAttrString(m.get(), name);
}

// module.NAME = ((name, value), ...): Python builds an IntEnum from it.
int add_pairs(PyObject* module, const char* name, const Named* items, size_t count) {
    Owned t(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!t) return -1;
    for (size_t i = 0; i < count; ++i) {
        PyObject* pair = Py_BuildValue("(sl)", items[i].name, items[i].value);
        if (pair == nullptr) return -1;
        PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), pair);
    }
    if (PyModule_AddObject(module, name, t.get()) != 0) return -1;
    t.release();  // stolen on success only
    return 0;
}

PyObject* init() {
    if (g_model_type != nullptr) {
        PyErr_SetString(PyExc_ImportError, "sablecrest._native can be initialized only once per process");
        return nullptr;
    }
    g_decimal = import_attr("decimal", "Decimal");
    g_datetime = g_decimal ? import_attr("datetime", "datetime") : nullptr;
    g_date = g_datetime ? import_attr("datetime", "date") : nullptr;
    g_layout_attr = g_date ? PyUnicode_InternFromString("__sc_layout__") : nullptr;
    g_tzinfo_attr = g_layout_attr ? PyUnicode_InternFromString("tzinfo") : nullptr;
    g_int_int = g_tzinfo_attr ? PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "__int__") : nullptr;
    if (g_int_int == nullptr) return nullptr;

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
        {Py_tp_dealloc, reinterpret_cast<void*>(gc_dealloc<FieldBase_clear>)},
        {Py_tp_traverse, reinterpret_cast<void*>(FieldBase_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(FieldBase_clear)},
        {Py_tp_descr_get, reinterpret_cast<void*>(FieldBase_get)},
        {Py_tp_descr_set, reinterpret_cast<void*>(FieldBase_set)},
        {Py_tp_methods, g_field_methods},
        {Py_tp_getset, g_field_getset},
        {0, nullptr},
    };
    PyType_Slot model_slots[] = {
        {Py_tp_doc, const_cast<char*>("The native part of a model instance: field values and their snapshot in "
                                      "one array, no __dict__.")},
        {Py_tp_new, reinterpret_cast<void*>(Model_new)},
        {Py_tp_init, reinterpret_cast<void*>(Model_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Model_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(Model_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Model_clear)},
        {Py_tp_methods, g_model_methods},
        {0, nullptr},
    };
    PyType_Slot layout_slots[] = {
        {Py_tp_doc, const_cast<char*>("What the per-row core needs to know of one model class.")},
        {Py_tp_new, reinterpret_cast<void*>(Layout_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(gc_dealloc<Layout_clear>)},
        {Py_tp_traverse, reinterpret_cast<void*>(Layout_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Layout_clear)},
        {0, nullptr},
    };
    Owned field_type(reinterpret_cast<PyObject*>(
        make_type("sablecrest._native.FieldBase", sizeof(FieldObject), gc_base, field_slots)));
    if (!field_type) return nullptr;
    Owned model_type(reinterpret_cast<PyObject*>(
        make_type("sablecrest._native.ModelBase", sizeof(ModelObject), gc_base, model_slots)));
    if (!model_type) return nullptr;
    Owned layout_type(reinterpret_cast<PyObject*>(make_type(
        "sablecrest._native.Layout", sizeof(LayoutObject), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_HAVE_GC,
        layout_slots)));
    if (!layout_type) return nullptr;

    Owned module(PyModule_Create2(&g_module_def, 3));
    if (!module) return nullptr;
    struct {
        const char* name;
        PyObject* value;
    } attrs[] = {
        {"FieldBase", field_type.get()},  {"ModelBase", model_type.get()},
        {"Layout", layout_type.get()},
    };
    for (auto& a : attrs) {
        Py_INCREF(a.value);
        if (PyModule_AddObject(module.get(), a.name, a.value) != 0) {
            Py_DECREF(a.value);
            return nullptr;
        }
    }
    Named kinds[kKindCount];
    for (size_t i = 0; i < kKindCount; ++i) kinds[i] = {kKinds[i].name, static_cast<long>(kKinds[i].kind)};
    Named transitions[kTransitionCount];
    for (long i = 0; i < kTransitionCount; ++i) transitions[i] = {kTransitions[i].name, i + 1};
    if (add_pairs(module.get(), "KINDS", kinds, kKindCount) != 0 ||
        add_pairs(module.get(), "STATES", kStateNames, sizeof(kStateNames) / sizeof(kStateNames[0])) != 0 ||
        add_pairs(module.get(), "FIELD_FLAGS", kFieldFlagNames, sizeof(kFieldFlagNames) / sizeof(kFieldFlagNames[0])) !=
            0 ||
        add_pairs(module.get(), "TRANSITIONS", transitions, static_cast<size_t>(kTransitionCount)) != 0)
        return nullptr;
    g_field_type = reinterpret_cast<PyTypeObject*>(field_type.release());
    g_model_type = reinterpret_cast<PyTypeObject*>(model_type.release());
    g_layout_type = reinterpret_cast<PyTypeObject*>(layout_type.release());
    return module.release();
}

}  // namespace
}  // namespace sablecrest::orm

PyMODINIT_FUNC PyInit__native(void) { return sablecrest::orm::init(); }
