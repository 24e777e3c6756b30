// One owned-reference type for every PyObject* the module holds.
// A reference is dropped at once while the thread is inside an entry (it then
// holds the interpreter lock); otherwise it is queued until the next entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>

namespace sablecrest {

// Depth of nested entries on this thread: positive means "inside the module,
// holding the interpreter lock". Read on every entry and every reference drop,
// so on glibc it uses the initial-exec model (a plain offset from the thread
// pointer) instead of a call into the dynamic loader; eight bytes fit easily in
// the static TLS space glibc reserves for modules opened later. Other loaders
// (musl's among them) refuse to open a module that asks for that, so they get
// the default model.
#if defined(__GLIBC__) && (defined(__GNUC__) || defined(__clang__))
#define SABLECREST_TLS_MODEL __attribute__((tls_model("initial-exec")))
#else
#define SABLECREST_TLS_MODEL
#endif
inline thread_local Py_ssize_t t_entry_depth SABLECREST_TLS_MODEL = 0;

// Queues the reference when the thread is outside every entry. Defined in
// ref.cpp, which every module using Ref links: each module keeps its own list.
void defer_release(PyObject* o) noexcept;

// Set once something was queued; the next entry drops the queued references.
extern std::atomic<bool> g_pending_exists;
void drain_pending() noexcept;

// Marks the thread as inside an entry for its lifetime (nested entries count).
class EntryScope {
public:
    EntryScope() noexcept {
        ++t_entry_depth;
        if (g_pending_exists.load(std::memory_order_acquire)) drain_pending();
    }
    ~EntryScope() { --t_entry_depth; }
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;
};

inline void release_ref(PyObject* o) noexcept {
    if (t_entry_depth > 0) {
        Py_DECREF(o);
    } else {
        defer_release(o);
    }
}

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference to the caller (typically the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

    // The slot is emptied before the reference is dropped: a finalizer run by
    // the drop must never see a dangling pointer here.
    void reset() noexcept {
        if (p_ != nullptr) {
            PyObject* p = p_;
            p_ = nullptr;
            release_ref(p);
        }
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr; /* owned, or NULL */
};

inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

}  // namespace sablecrest
