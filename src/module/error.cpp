// Error states, the PanicException type and the boundary's conversion of C++
// failures into Python exceptions.
#include "module/error.hpp"

// PyErr_Fetch/Restore/NormalizeException are deprecated from 3.12 on but remain
// in the stable ABI, which is what one wheel for 3.8 to 3.13 must use.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

#include "module/convert.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace sablecrest {

namespace {

constexpr const char kPanicDoc[] =
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof(kPanicDoc) - 1 == 235, "the PanicException docstring is 235 characters");

PyObject* g_panic_type = nullptr;  // owned for the process, or NULL

[[noreturn]] void fatal_uncaught() noexcept {
    std::fputs("_sablecrest_rs: uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

bool is_exception_class(PyObject* type) noexcept {
    return PyType_Check(type) &&
           (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type)) & Py_TPFLAGS_BASE_EXC_SUBCLASS) != 0;
}

constexpr const char kUnnamedType[] = "<failed to extract type name>";

// The qualname text of a type for the conversion message. With `resume`, a
// PanicException raised while reading it is resumed and an error that is not
// discardable propagates; without, every failure gives the stand-in (used where
// nothing may be thrown).
std::string qualname_for_message(PyObject* type, bool resume) {
    Ref q = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (q && PyUnicode_Check(q.get())) {
        Py_ssize_t n = 0;
        Ref bytes = Ref::steal(PyUnicode_AsUTF8String(q.get()));
        char* p = nullptr;
        if (bytes && PyBytes_AsStringAndSize(bytes.get(), &p, &n) == 0) return std::string(p, size_t(n));
    }
    if (!resume) {
        PyErr_Clear();
    } else if (PyErr_Occurred()) {
        ErrorState failure = ErrorState::fetch();  // a PanicException is resumed here
        if (!failure.discardable() && !PyErr_GivenExceptionMatches(failure.type(), PyExc_MemoryError))
            throw PyError{std::move(failure)};
    }
    return kUnnamedType;
}

}  // namespace

// --- ErrorState -----------------------------------------------------------------

ErrorState ErrorState::lazy(PyObject* type, std::string message) {
    ErrorState s;
    s.kind_ = Kind::LazyMessage;
    s.type_ = Ref::borrow(type);
    s.message_ = std::move(message);
    return s;
}

ErrorState ErrorState::panic(std::string message) {
    ErrorState s;
    s.kind_ = Kind::LazyPanic;
    s.message_ = std::move(message);
    return s;
}

ErrorState ErrorState::conversion(PyObject* obj, const char* target) {
    ErrorState s;
    s.kind_ = Kind::LazyConversion;
    s.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    s.target_ = target;
    return s;
}

ErrorState ErrorState::normalized(Ref type, Ref value, Ref traceback) {
    ErrorState s;
    s.kind_ = Kind::Normalized;
    s.type_ = std::move(type);
    s.value_ = std::move(value);
    s.tb_ = std::move(traceback);
    return s;
}

ErrorState ErrorState::fetch() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
    if (!type) return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    if (g_panic_type != nullptr && type.get() == g_panic_type) {
        // A failure of this module that travelled through Python code: resume it.
        std::string message;
        if (!value || !try_display_text(value.get(), message, true)) message = "Unwrapped panic from Python code";
        std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        PyErr_Restore(type.release(), value.release(), trace.release());
        PyErr_PrintEx(0);
        throw Panic{std::move(message)};
    }
    ErrorState s;
    s.kind_ = Kind::Fetched;
    s.type_ = std::move(type);
    s.value_ = std::move(value);
    s.tb_ = std::move(trace);
    return s;
}

void ErrorState::restore() && noexcept {
    switch (kind_) {
        case Kind::Fetched:
        case Kind::Normalized:
            PyErr_Restore(type_.release(), value_.release(), tb_.release());
            return;
        case Kind::LazyMessage:
        case Kind::LazyPanic:
        case Kind::LazyConversion:
            break;
    }
    PyObject* type = nullptr;
    Ref value;
    if (kind_ == Kind::LazyPanic) {
        try {
            type = panic_type();
        } catch (...) {
            fatal_uncaught();
        }
        Ref text = Ref::steal(PyUnicode_FromStringAndSize(message_.data(), Py_ssize_t(message_.size())));
        if (!text) return;  // the interpreter's MemoryError stays set
        value = Ref::steal(PyTuple_Pack(1, text.get()));
    } else {
        type = type_.get();
        if (kind_ == Kind::LazyConversion) {
            type = PyExc_TypeError;
            std::string text = "'";
            std::string name;
            try {
                name = qualname_for_message(type_.get(), false);
            } catch (...) {
                PyErr_Clear();
                name = kUnnamedType;
            }
            text += name;
            text += "' object cannot be converted to '";
            text += target_;
            text += "'";
            message_ = std::move(text);
        }
        value = Ref::steal(PyUnicode_FromStringAndSize(message_.data(), Py_ssize_t(message_.size())));
    }
    if (!value) return;
    if (!is_exception_class(type)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    } else {
        PyErr_SetObject(type, value.get());
    }
    // Build the exception object now, so that what the caller sees is complete.
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyErr_Restore(t, v, tb);
}

void ErrorState::resolve() {
    if (kind_ != Kind::LazyConversion) return;
    std::string text = "'";
    text += qualname_for_message(type_.get(), true);
    text += "' object cannot be converted to '";
    text += target_;
    text += "'";
    *this = lazy(PyExc_TypeError, std::move(text));
}

void ErrorState::normalize() {
    if (kind_ == Kind::Normalized) return;
    resolve();
    if (kind_ != Kind::Fetched) {
        std::move(*this).restore();
        *this = fetch();
    }
    PyObject* t = type_.release();
    PyObject* v = value_.release();
    PyObject* tb = tb_.release();
    PyErr_NormalizeException(&t, &v, &tb);
    type_ = Ref::steal(t);
    value_ = Ref::steal(v);
    tb_ = Ref::steal(tb);
    kind_ = Kind::Normalized;
    if (!type_) panic("Exception type missing");
    if (!value_) panic("Exception value missing");
}

std::string ErrorState::describe() {
    normalize();
    auto repr = [](PyObject* o) {
        Ref r = Ref::steal(PyObject_Repr(o));
        std::string out;
        if (!r) {
            discard_error();
            return std::string("<repr failed>");
        }
        if (!try_display_text(r.get(), out, true)) out = "<repr failed>";
        return out;
    };
    std::string out = "PyErr { type: " + repr(type_.get()) + ", value: " + repr(value_.get()) + ", traceback: ";
    out += tb_ ? "Some(" + repr(tb_.get()) + ")" : std::string("None");
    out += " }";
    return out;
}

// --- raising helpers ------------------------------------------------------------

void throw_fetched() { throw PyError{ErrorState::fetch()}; }

void throw_lazy(PyObject* type, std::string message) { throw PyError{ErrorState::lazy(type, std::move(message))}; }

void throw_conversion(PyObject* obj, const char* target) { throw PyError{ErrorState::conversion(obj, target)}; }

void panic(std::string message) { throw Panic{std::move(message)}; }

void api_call_failed() {
    PyErr_Print();
    throw Panic{"Python API call failed"};
}

bool ErrorState::discardable() const noexcept {
    // Lazy states are the module's own TypeErrors, ValueErrors and RuntimeErrors.
    if (kind_ == Kind::LazyConversion) return true;
    if (kind_ == Kind::LazyPanic || !type_) return false;
    return PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception) &&
           !PyErr_GivenExceptionMatches(type_.get(), PyExc_MemoryError);
}

void discard_error() {
    ErrorState state = ErrorState::fetch();
    if (!state.discardable()) throw PyError{std::move(state)};
}

void rethrow_unless_discardable(const PyError& error) {
    if (!error.state.discardable()) throw;
}

void write_unraisable(ErrorState&& state, PyObject* context) noexcept {
    std::move(state).restore();
    PyErr_WriteUnraisable(context);
}

void set_cause(PyObject* exc, Ref cause) noexcept { PyException_SetCause(exc, cause.release()); }

PyObject* panic_type() {
    if (g_panic_type == nullptr) {
        PyObject* t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
        if (t == nullptr) {
            PyErr_Clear();
            panic("Failed to initialize new exception type.");
        }
        if (g_panic_type == nullptr) {
            g_panic_type = t;
        } else {
            Py_DECREF(t);
        }
    }
    return g_panic_type;
}

namespace {

void raise_panic(std::string message) {
    std::fprintf(stderr, "_sablecrest_rs: internal failure: %s\n", message.c_str());
    std::fflush(stderr);
    ErrorState::panic(std::move(message)).restore();
}

}  // namespace

void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (PyError& e) {
            ErrorState state = std::move(e.state);
            try {
                state.resolve();
            } catch (PyError& other) {
                state = std::move(other.state);
            } catch (Panic& p) {
                raise_panic(std::move(p.message));
                return;
            }
            std::move(state).restore();
        } catch (Panic& p) {
            raise_panic(std::move(p.message));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "_sablecrest_rs: internal failure: %s\n", e.what());
            std::fflush(stderr);
            ErrorState::panic(e.what()).restore();
        } catch (...) {
            ErrorState::panic("panic from Rust code").restore();
        }
    } catch (...) {
        fatal_uncaught();
    }
}

}  // namespace sablecrest
