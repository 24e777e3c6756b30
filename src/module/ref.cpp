// The pending-release list behind Ref: references dropped while the thread was
// outside every entry wait here until the next entry, which holds the interpreter lock.
#include "module/ref.hpp"

#include <mutex>
#include <vector>

namespace sablecrest {

namespace {

struct PendingList {
    std::mutex mutex;
    std::vector<PyObject*> refs;
};

PendingList& pending_list() {
    static PendingList* list = new PendingList();  // never destroyed: used until exit
    return *list;
}

}  // namespace

std::atomic<bool> g_pending_exists{false};

void defer_release(PyObject* o) noexcept {
    try {
        PendingList& list = pending_list();
        {
            std::lock_guard<std::mutex> lock(list.mutex);
            list.refs.push_back(o);
        }
        g_pending_exists.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory while queueing: leaking one reference is the only safe outcome.
    }
}

void drain_pending() noexcept {
    PendingList& list = pending_list();
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        taken.swap(list.refs);
    }
    // The drops run after the mutex is released: a finalizer may queue more.
    for (PyObject* o : taken) Py_DECREF(o);
}

}  // namespace sablecrest
