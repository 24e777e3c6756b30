// Checks of the error boundary that Python code cannot reach: references
// dropped on a thread outside every entry, fetching with nothing set, and the
// API-call failure path. Embeds the interpreter; prints one line per check
// and exits non-zero on the first failure.
#include "module/error.hpp"
#include "module/types.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

std::string pending_exception_text() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    std::string out;
    if (t != nullptr) {
        PyObject* name = PyObject_GetAttrString(t, "__name__");
        PyObject* text = v != nullptr ? PyObject_Str(v) : nullptr;
        auto append = [&](PyObject* s) {
            PyObject* bytes = s != nullptr ? PyUnicode_AsUTF8String(s) : nullptr;
            if (bytes != nullptr) out += PyBytes_AsString(bytes);
            Py_XDECREF(bytes);
        };
        append(name);
        out += ": ";
        append(text);
        Py_XDECREF(name);
        Py_XDECREF(text);
    }
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return out;
}

void deferred_release() {
    using namespace sablecrest;
    PyObject* obj = PyList_New(0);
    Py_INCREF(obj);  // the Ref below owns this one
    const Py_ssize_t before = Py_REFCNT(obj);
    Ref ref = Ref::steal(obj);
    // Dropped on a thread outside every entry, without the interpreter lock.
    Py_BEGIN_ALLOW_THREADS
    std::thread([r = std::move(ref)]() mutable { r.reset(); }).join();
    Py_END_ALLOW_THREADS
    check(Py_REFCNT(obj) == before, "a reference dropped outside any entry is queued, not released");
    check(g_pending_exists.load(), "the pending-release list exists once something was queued");
    // The next entry, on any thread, drains the list before its body runs.
    Py_ssize_t seen_in_body = -1;
    PyObject* r = boundary([&]() -> PyObject* {
        seen_in_body = Py_REFCNT(obj);
        return new_ref(Py_None);
    });
    Py_XDECREF(r);
    check(seen_in_body == before - 1, "the next entry releases queued references before its body");
    check(t_entry_depth == 0, "the entry depth is back to 0 after the entry");
    Py_DECREF(obj);
}

void fetch_without_exception() {
    using namespace sablecrest;
    PyObject* r = boundary([]() -> PyObject* { throw_fetched(); });
    check(r == nullptr && pending_exception_text() == "SystemError: attempted to fetch exception but none was set",
          "a failure without an exception set becomes SystemError");
}

void api_call_failure() {
    using namespace sablecrest;
    PyObject* r = boundary([]() -> PyObject* {
        PyErr_SetString(PyExc_MemoryError, "simulated");
        api_call_failed();
    });
    check(r == nullptr && pending_exception_text() == "PanicException: Python API call failed",
          "an interpreter call that returned NULL becomes PanicException(\"Python API call failed\")");
}

void unknown_failure() {
    using namespace sablecrest;
    PyObject* r = boundary([]() -> PyObject* { throw 42; });
    check(r == nullptr && pending_exception_text() == "PanicException: panic from Rust code",
          "a failure that carries no text becomes PanicException(\"panic from Rust code\")");
    r = boundary([]() -> PyObject* { throw std::bad_alloc(); });
    check(r == nullptr && pending_exception_text() == "MemoryError: ", "std::bad_alloc becomes MemoryError");
}

void unraisable_boundary() {
    using namespace sablecrest;
    PyObject* hook_calls = PyList_New(0);
    PyObject* sys = PyImport_ImportModule("sys");
    PyObject* code = Py_CompileString("lambda u: calls.append(str(u.exc_value))", "<test>", Py_eval_input);
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "calls", hook_calls);
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* hook = PyEval_EvalCode(code, globals, globals);
    PyObject_SetAttrString(sys, "unraisablehook", hook);
    bool ran_after = false;
    boundary_unraisable([&] {
        panic("broken record");
        ran_after = true;
    });
    check(!ran_after && PyErr_Occurred() == nullptr && PyList_Size(hook_calls) == 1,
          "a deallocator failure goes to the unraisable hook and ends the deallocator");
    Py_XDECREF(hook);
    Py_XDECREF(globals);
    Py_XDECREF(code);
    Py_XDECREF(sys);
    Py_XDECREF(hook_calls);
}

}  // namespace

int main() {
    Py_Initialize();
    deferred_release();
    fetch_without_exception();
    api_call_failure();
    unknown_failure();
    unraisable_boundary();
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
