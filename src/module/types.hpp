// Heap types, instance layout, the borrow counter and the method entry
// templates: a class's method is one table row and one plain function.
#pragma once

#include "module/bind.hpp"

#include <new>
#include <type_traits>

namespace sablecrest {

// One per class, process-wide. The type slot is filled on first request and
// never emptied, so a type object is created at most once per process.
struct ClassSpec {
    const char* name;  // "StateTracker"
    const char* doc;   // "StateTracker()\n--\n\n"
    newfunc tp_new;
    destructor tp_dealloc;
    PyMethodDef* methods;
    int basicsize;
    PyObject* type = nullptr; /* owned for the process, or NULL */
};

// Fallible form: failure is a raised exception (PyError).
PyTypeObject* type_object(ClassSpec& spec);
// Infallible form, for method entries: failure is an internal failure.
PyTypeObject* create_type_or_panic(ClassSpec& spec);
inline PyTypeObject* type_object_or_panic(ClassSpec& spec) {
    if (spec.type != nullptr) return reinterpret_cast<PyTypeObject*>(spec.type);
    return create_type_or_panic(spec);
}

// The four classes, in the order the module registers them.
extern ClassSpec g_state_tracker_class;
extern ClassSpec g_query_compiler_class;
extern ClassSpec g_batch_aggregator_class;
extern ClassSpec g_schema_diff_engine_class;

// Instance layout: object header, the class's native record, borrow counter
// (0 idle, n > 0 shared by n callers, -1 held exclusively). A stateless class's
// record is empty and takes no bytes (a C++ member would take at least one).
template <class Record, bool Empty = std::is_empty_v<Record>>
struct Instance {
    PyObject ob_base;
    Record record_;
    Py_ssize_t borrow;
    Record& record() noexcept { return record_; }
};

template <class Record>
struct Instance<Record, true> {
    PyObject ob_base;
    Py_ssize_t borrow;
    // Every empty record is the same record.
    static Record& record() noexcept {
        static Record none;
        return none;
    }
};

enum class Access { Shared, Exclusive };

// Receiver check and access for one call; holds a strong reference to the
// receiver. The counter is not a lock: it refuses re-entrant use, never waits.
template <class Record, Access A>
class Borrow {
public:
    Borrow(PyObject* self, ClassSpec& cls) {
        PyTypeObject* tp = type_object_or_panic(cls);
        if (Py_TYPE(self) != tp && !PyType_IsSubtype(Py_TYPE(self), tp)) throw_conversion(self, cls.name);
        inst_ = reinterpret_cast<Instance<Record>*>(self);
        if constexpr (A == Access::Shared) {
            if (inst_->borrow == -1) throw_lazy(PyExc_RuntimeError, "Already mutably borrowed");
            ++inst_->borrow;
        } else {
            if (inst_->borrow != 0) throw_lazy(PyExc_RuntimeError, "Already borrowed");
            inst_->borrow = -1;
        }
        Py_INCREF(self);
    }
    ~Borrow() {
        if constexpr (A == Access::Shared) {
            --inst_->borrow;
        } else {
            inst_->borrow = 0;
        }
        release_ref(&inst_->ob_base);
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    Record& record() noexcept { return inst_->record(); }

private:
    Instance<Record>* inst_;
};

// --- constructor and deallocator ------------------------------------------------

template <class Record, ClassSpec& Cls>
PyObject* instance_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&]() -> PyObject* {
        static const ArgumentSpec spec{Cls.name, "__new__", {}, 0};
        bind(spec, args, kwargs, nullptr);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
        PyObject* obj = alloc(subtype, 0);
        if (obj == nullptr) throw_fetched();
        auto* inst = reinterpret_cast<Instance<Record>*>(obj);
        static_assert(std::is_nothrow_default_constructible_v<Record>, "a new record must not fail half-built");
        if constexpr (!std::is_empty_v<Record>) new (&inst->record_) Record();
        inst->borrow = 0;
        return obj;
    });
}

template <class Record>
void instance_dealloc(PyObject* self) noexcept {
    boundary_unraisable([&] {
        if constexpr (!std::is_empty_v<Record>) reinterpret_cast<Instance<Record>*>(self)->record_.~Record();
        PyTypeObject* tp = Py_TYPE(self);
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
        if (free_fn == nullptr) panic("PyBaseObject_Type should have tp_free");
        free_fn(self);
        // Heap types: every instance held a reference to its type.
        Py_DECREF(tp);
    });
}

template <class Record>
constexpr int instance_size() {
    return int(sizeof(Instance<Record>));
}

// --- method entries -------------------------------------------------------------

template <class Record, ClassSpec& Cls, Access A, const ArgumentSpec& Spec, PyObject* (*Fn)(Record&, Args&)>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        bind(Spec, args, kwargs, slots);
        Borrow<Record, A> guard(self, Cls);
        Args a(Spec, slots);
        return Fn(guard.record(), a);
    });
}

template <class Record, ClassSpec& Cls, Access A, PyObject* (*Fn)(Record&)>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return boundary([&]() -> PyObject* {
        Borrow<Record, A> guard(self, Cls);
        return Fn(guard.record());
    });
}

template <const ArgumentSpec& Spec, PyObject* (*Fn)(Args&)>
PyObject* static_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        bind(Spec, args, kwargs, slots);
        Args a(Spec, slots);
        return Fn(a);
    });
}

// Function-pointer casts for PyMethodDef, through void(*)(void) as CPython's own modules do.
template <class F>
inline PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int kVarargs = METH_VARARGS | METH_KEYWORDS;

}  // namespace sablecrest
