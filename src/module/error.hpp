// The error boundary: every entry from the interpreter runs its body through
// `boundary`, which turns C++ failures into a raised Python exception and never
// lets native unwinding cross into the interpreter.
#pragma once

#include "module/ref.hpp"

#include <string>
#include <string_view>

namespace sablecrest {

// The native form of one Python exception. Lazy states carry only what the
// value is built from; the exception object is made when the state is handed
// to the interpreter (or normalized for inspection).
class ErrorState {
public:
    enum class Kind : unsigned char { LazyMessage, LazyPanic, LazyConversion, Fetched, Normalized };

    // `type` is a borrowed exception type (a builtin or a type kept for the process).
    static ErrorState lazy(PyObject* type, std::string message);
    static ErrorState panic(std::string message);
    // "'<qualname of type(obj)>' object cannot be converted to '<target>'" as TypeError.
    static ErrorState conversion(PyObject* obj, const char* target);
    static ErrorState normalized(Ref type, Ref value, Ref traceback);

    // Takes the interpreter's current exception. A PanicException coming back
    // through Python code is resumed: this throws Panic instead of returning.
    static ErrorState fetch();

    ErrorState(ErrorState&&) noexcept = default;
    ErrorState& operator=(ErrorState&&) noexcept = default;

    Kind kind() const noexcept { return kind_; }
    // Whether a rule that falls back to a default or a substitute text may drop this
    // error: only an ordinary Exception may. Running out of memory (MemoryError) is no
    // refusal, and a KeyboardInterrupt, SystemExit or any other BaseException that is
    // not an Exception is the user's, never ours to swallow.
    bool discardable() const noexcept;

    // A lazy conversion error forms its message now: the type's __qualname__ is read,
    // which runs code. A PanicException from it is resumed (throws Panic); an error
    // that is not discardable replaces this state; any other failure gives the
    // "<failed to extract type name>" stand-in.
    void resolve();

    // Hands the state to the interpreter as its current exception. Never
    // throws; if the interpreter cannot build the value, its own error
    // (normally MemoryError) is left set instead.
    void restore() && noexcept;

    // Brings the state to (type, value, traceback) with value an instance of type.
    void normalize();
    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* traceback() const noexcept { return tb_.get(); }

    // "PyErr { type: <repr>, value: <repr>, traceback: Some(<repr>)|None }"
    std::string describe();

private:
    ErrorState() = default;
    Kind kind_ = Kind::LazyMessage;
    Ref type_, value_, tb_;
    std::string message_;
    const char* target_ = nullptr;
};

// Thrown to carry a Python exception to the boundary.
struct PyError {
    ErrorState state;
};

// Thrown for an internal failure; the boundary raises PanicException(message).
struct Panic {
    std::string message;
};

[[noreturn]] void throw_fetched();
[[noreturn]] void throw_lazy(PyObject* type, std::string message);
[[noreturn]] void throw_conversion(PyObject* obj, const char* target);
[[noreturn]] void panic(std::string message);

// An interpreter call that must return a new object returned NULL: the pending
// exception is printed and the call fails with PanicException.
[[noreturn]] void api_call_failed();
inline Ref check_new(PyObject* p) {
    if (p == nullptr) api_call_failed();
    return Ref::steal(p);
}

// Fetches and drops the pending exception of a conversion attempt whose failure
// only means "try the next rule" or "use the default". An error that is not
// discardable (MemoryError, KeyboardInterrupt, SystemExit, ...) is raised instead:
// a value that could not be converted for lack of memory must not turn into a
// default or a fallback text, and a Ctrl-C must not be lost. A resumed panic
// still propagates.
void discard_error();
// The same rule for a caught PyError: rethrows it unless it is discardable.
void rethrow_unless_discardable(const PyError& error);

// Reports the pending exception to the unraisable hook with `context`.
void write_unraisable(ErrorState&& state, PyObject* context) noexcept;

// Sets `exc`'s __cause__ (to nothing when cause is empty); __suppress_context__ becomes true.
void set_cause(PyObject* exc, Ref cause) noexcept;

// The PanicException type, created on first need.
PyObject* panic_type();

// --- the boundary -------------------------------------------------------------

// Converts the exception being handled into the interpreter's current
// exception. Anything that fails while doing so ends the process.
void raise_current_exception() noexcept;

template <class Body>
PyObject* boundary(Body&& body) noexcept {
    EntryScope scope;
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// For deallocators: a failure has no caller and goes to the unraisable hook.
template <class Body>
void boundary_unraisable(Body&& body) noexcept {
    EntryScope scope;
    try {
        body();
    } catch (...) {
        raise_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace sablecrest
