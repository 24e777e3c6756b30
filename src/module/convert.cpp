// Conversion rules, the display rule and the running interpreter's version.
#include "module/convert.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <charconv>
#include <cmath>
#include <cstring>

namespace sablecrest {

// --- runtime ---------------------------------------------------------------------

namespace {

using Utf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);

// PyUnicode_AsUTF8AndSize, found at run time: the binary must import nothing beyond
// the 3.8 stable ABI. Not found (an unusual embedding), strs go through bytes objects.
Utf8AndSize find_utf8_and_size() noexcept {
    static constexpr const char kName[] = "PyUnicode_AsUTF8AndSize";
#if defined(_WIN32)
    // Limited-API extensions link against python3.dll, which forwards to python3X.dll.
    for (const wchar_t* dll : {L"python3.dll", L"python3_d.dll"}) {
        if (HMODULE h = GetModuleHandleW(dll)) {
            if (FARPROC f = GetProcAddress(h, kName)) return reinterpret_cast<Utf8AndSize>(reinterpret_cast<void (*)()>(f));
        }
    }
    return nullptr;
#else
    return reinterpret_cast<Utf8AndSize>(dlsym(RTLD_DEFAULT, kName));
#endif
}

Runtime read_runtime() {
    Runtime rt;
    const char* full = Py_GetVersion();
    std::string_view text(full);
    text = text.substr(0, text.find(' '));
    // The version text is ASCII in every interpreter; anything else is malformed.
    for (unsigned char c : text) {
        if (c >= 0x80) panic("Python version string not UTF-8");
    }
    std::string_view parts[3];
    size_t count = 0;
    while (true) {
        size_t dot = text.find('.');
        if (count == 3) panic("Python version string has too many parts");
        parts[count++] = text.substr(0, dot);
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    if (parts[0].empty()) panic("Python major version missing");
    if (count < 2 || parts[1].empty()) panic("Python minor version missing");
    auto parse = [](std::string_view s, int& out) {
        auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
        return ec == std::errc() && p == s.data() + s.size();
    };
    if (!parse(parts[0], rt.major)) panic("Python major version not an integer");
    // The minor part is read up to its first non-digit ("13" of "13.0rc1").
    size_t digits = 0;
    while (digits < parts[1].size() && parts[1][digits] >= '0' && parts[1][digits] <= '9') ++digits;
    if (digits == 0 || !parse(parts[1].substr(0, digits), rt.minor)) panic("Python minor version missing");
    if (rt.at_least(3, 10)) rt.utf8_and_size = find_utf8_and_size();
    return rt;
}

std::optional<Runtime> g_runtime;

}  // namespace

const char* (*g_utf8_and_size)(PyObject*, Py_ssize_t*) = nullptr;

const Runtime& runtime() {
    if (!g_runtime) {
        g_runtime = read_runtime();
        g_utf8_and_size = g_runtime->utf8_and_size;
    }
    return *g_runtime;
}

// --- text --------------------------------------------------------------------------

Text::Text(Text&& o) noexcept : keep_(std::move(o.keep_)) {
    if (!o.owned_.empty() && o.view_.data() == o.owned_.data()) {
        owned_ = std::move(o.owned_);
        view_ = owned_;
    } else {
        view_ = o.view_;
    }
    o.view_ = {};
}

std::string_view str_utf8(PyObject* str, Ref& keeper) {
    Py_ssize_t n = 0;
    if (auto fn = runtime().utf8_and_size) {
        // The UTF-8 form is cached inside the str object itself.
        const char* p = fn(str, &n);
        if (p == nullptr) throw_fetched();
        return {p, size_t(n)};
    }
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(str));
    if (!bytes) throw_fetched();
    char* p = nullptr;
    if (PyBytes_AsStringAndSize(bytes.get(), &p, &n) != 0) throw_fetched();
    keeper = std::move(bytes);
    return {p, size_t(n)};
}

void decode_utf8_lossy(std::string_view bytes, std::string& out) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(char(b));
            ++i;
            continue;
        }
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;  // excludes the surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        }
        if (len == 0) {
            out.append(kReplacement, 3);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (size_t k = 1; k < len; ++k, ++j) {
            unsigned char lower = k == 1 ? lo : 0x80, upper = k == 1 ? hi : 0xBF;
            if (j >= n || s[j] < lower || s[j] > upper) {
                ok = false;
                break;
            }
        }
        if (ok) {
            out.append(bytes.data() + i, len);
        } else {
            // The maximal subpart ends before the offending byte, which is read again.
            out.append(kReplacement, 3);
        }
        i = j;
    }
}

size_t float_text(double v, char* out) noexcept {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    char* o = out;
    if (std::isnan(v)) {
        std::memcpy(o, "nan", 3);
        return 3;
    }
    if (std::signbit(v)) *o++ = '-';
    if (std::isinf(v)) {
        std::memcpy(o, "inf", 3);
        return size_t(o + 3 - out);
    }
    // The shortest digits that read back as v, as d.ddde[+-]x: the digits repr uses.
    char sci[kFloatTextMax];
    const auto res = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific);
    if (res.ec != std::errc()) return 0;
    char digits[20];
    int count = 0;
    const char* p = sci;
    for (; p < res.ptr && *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    int exponent = 0;
    if (p < res.ptr) std::from_chars(p + (p[1] == '+' ? 2 : 1), res.ptr, exponent);
    const int point = exponent + 1;  // where the decimal point goes among the digits
    if (point <= -4 || point > 16) {
        // Exponent form: "1e-05", "1.5e+16", with at least two exponent digits.
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, size_t(count - 1));
            o += count - 1;
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        const int e = exponent < 0 ? -exponent : exponent;
        if (e < 10) *o++ = '0';
        o = std::to_chars(o, out + kFloatTextMax, e).ptr;
    } else if (point <= 0) {  // "0.000123"
        *o++ = '0';
        *o++ = '.';
        for (int i = point; i < 0; ++i) *o++ = '0';
        std::memcpy(o, digits, size_t(count));
        o += count;
    } else if (point >= count) {  // "1200.0"
        std::memcpy(o, digits, size_t(count));
        o += count;
        for (int i = count; i < point; ++i) *o++ = '0';
        *o++ = '.';
        *o++ = '0';
    } else {  // "12.75"
        std::memcpy(o, digits, size_t(point));
        o += point;
        *o++ = '.';
        std::memcpy(o, digits + point, size_t(count - point));
        o += count - point;
    }
    return size_t(o - out);
#else
    (void)v;
    (void)out;
    return 0;
#endif
}

namespace {

// UTF-8 of a str for display: strict when possible, else surrogatepass bytes
// decoded leniently.
Text lossy_text(PyObject* str) {
    {
        Ref keeper;
        Py_ssize_t n = 0;
        const char* p = nullptr;
        if (auto fn = runtime().utf8_and_size) {
            p = fn(str, &n);
            if (p) keeper = Ref::borrow(str);
        } else if (Ref bytes = Ref::steal(PyUnicode_AsUTF8String(str))) {
            char* q = nullptr;
            if (PyBytes_AsStringAndSize(bytes.get(), &q, &n) == 0) {
                p = q;
                keeper = std::move(bytes);
            }
        }
        if (p) return Text(std::move(keeper), std::string_view(p, size_t(n)));
        discard_error();
    }
    Ref bytes = check_new(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &p, &n) != 0) throw_fetched();
    std::string out;
    out.reserve(size_t(n) + 8);
    decode_utf8_lossy(std::string_view(p, size_t(n)), out);
    return Text(std::move(out));
}

PyObject* interned_name_attr() {
    static PyObject* name = nullptr;  // owned for the process
    if (name == nullptr) {
        name = PyUnicode_InternFromString("__name__");
        if (name == nullptr) api_call_failed();
    }
    return name;
}

}  // namespace

Text display_text(PyObject* obj) {
    Ref s = Ref::steal(PyObject_Str(obj));
    if (s) return lossy_text(s.get());
    ErrorState failure = ErrorState::fetch();
    if (!failure.discardable()) throw PyError{std::move(failure)};
    write_unraisable(std::move(failure), obj);
    Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), interned_name_attr()));
    if (name && PyUnicode_Check(name.get())) {
        Ref name_str = Ref::steal(PyObject_Str(name.get()));
        if (name_str) {
            Text t = lossy_text(name_str.get());
            std::string out = "<unprintable ";
            out += t.view();
            out += " object>";
            return Text(std::move(out));
        }
    }
    // A second failure is dropped silently, under the same discard rule.
    if (PyErr_Occurred()) discard_error();
    return Text(std::string("<unprintable object>"));
}

bool try_display_text(PyObject* obj, std::string& out, bool drop_any) {
    Ref s = Ref::steal(PyObject_Str(obj));
    if (!s) {
        if (drop_any) {
            PyErr_Clear();
        } else {
            discard_error();
        }
        return false;
    }
    out = lossy_text(s.get()).view();
    return true;
}

// --- input rules ---------------------------------------------------------------

std::string_view string_rule_slow(PyObject* obj, CallArena& arena) {
    if (!PyUnicode_Check(obj)) throw_conversion(obj, "PyString");
    Ref keeper;
    std::string_view v = str_utf8(obj, keeper);
    if (keeper) arena.keep(std::move(keeper));
    return v;
}

namespace {

// An int (or subclass) is read directly; anything else goes through __index__
// first, so a float is refused rather than truncated. Out-of-range values give
// the interpreter's OverflowError.
template <class T, T (*Read)(PyObject*)>
T integer_rule(PyObject* obj) {
    T v;
    if (PyLong_CheckExact(obj) || PyLong_Check(obj)) {
        v = Read(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) throw_fetched();
        v = Read(index.get());
    }
    if (v == static_cast<T>(-1) && PyErr_Occurred()) throw_fetched();
    return v;
}

}  // namespace

int64_t signed_rule(PyObject* obj) { return integer_rule<long long, PyLong_AsLongLong>(obj); }

uint64_t unsigned_rule(PyObject* obj) { return integer_rule<unsigned long long, PyLong_AsUnsignedLongLong>(obj); }

namespace {

bool attr_text_equals(PyObject* type, const char* attr, std::initializer_list<std::string_view> wanted) {
    Ref value = Ref::steal(PyObject_GetAttrString(type, attr));
    if (!value) {
        discard_error();
        return false;
    }
    if (!PyUnicode_Check(value.get())) return false;
    for (std::string_view w : wanted) {
        if (PyUnicode_GetLength(value.get()) == Py_ssize_t(w.size()) &&
            PyUnicode_CompareWithASCIIString(value.get(), std::string(w).c_str()) == 0)
            return true;
    }
    return false;
}

// True or False themselves, or NumPy's boolean scalar converted by its type's
// __bool__; nullopt for anything else. Errors of NumPy's conversion propagate.
std::optional<bool> bool_outcome(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (!attr_text_equals(type, "__module__", {"numpy"}) || !attr_text_equals(type, "__name__", {"bool_", "bool"}))
        return std::nullopt;
    Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        discard_error();
        std::string shown;
        if (!try_display_text(type, shown)) shown = "<unprintable object>";
        throw_lazy(PyExc_TypeError, "object of type '" + shown + "' does not define a '__bool__' conversion");
    }
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
    if (!result) throw_fetched();
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    return std::nullopt;  // a __bool__ result that is not a bool
}

}  // namespace

std::optional<bool> try_bool_rule(PyObject* obj) {
    try {
        return bool_outcome(obj);
    } catch (PyError& e) {
        rethrow_unless_discardable(e);
        return std::nullopt;  // a failed conversion leaves the default in place
    }
}

PyObject* dict_rule(PyObject* obj) {
    if (!PyDict_CheckExact(obj) && !PyDict_Check(obj)) throw_conversion(obj, "PyDict");
    return obj;
}

namespace {

PyObject* sequence_abc() {
    static PyObject* cached = nullptr;  // owned for the process
    if (cached == nullptr) {
        Ref name = check_new(PyUnicode_FromString("collections.abc"));
        Ref module = Ref::steal(PyImport_Import(name.get()));
        if (!module) throw_fetched();
        Ref seq = Ref::steal(PyObject_GetAttrString(module.get(), "Sequence"));
        if (!seq) throw_fetched();
        if (!PyType_Check(seq.get())) throw_conversion(seq.get(), "PyType");
        if (cached == nullptr) cached = seq.release();
    }
    return cached;
}

}  // namespace

bool is_sequence_object(PyObject* obj) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyList_Check(obj) || PyTuple_Check(obj)) return true;
    try {
        int r = PyObject_IsInstance(obj, sequence_abc());
        if (r < 0) throw_fetched();
        return r == 1;
    } catch (PyError& e) {
        rethrow_unless_discardable(e);
        write_unraisable(std::move(e.state), obj);
        return false;
    }
}

void check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw_lazy(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) throw_conversion(obj, "Sequence");
}

namespace {

// The tuple rule with string items; the tuple is kept alive by the arena, and so are
// its items.
template <size_t L>
std::array<std::string_view, L> str_tuple(PyObject* t, CallArena& arena, PyObject*& last) {
    if (!PyTuple_CheckExact(t) && !PyTuple_Check(t)) throw_conversion(t, "PyTuple");
    const Py_ssize_t n = PyTuple_Size(t);
    if (n != Py_ssize_t(L)) {
        throw_lazy(PyExc_ValueError,
                   "expected tuple of length " + std::to_string(L) + ", but got tuple of length " + std::to_string(n));
    }
    std::array<std::string_view, L> views;
    for (size_t i = 0; i < L; ++i) {
        last = PyTuple_GetItem(t, Py_ssize_t(i));
        views[i] = string_rule(last, arena);
    }
    arena.keep(Ref::borrow(t));
    return views;
}

// The items of an exact list or tuple, read by index: what its iterator would give.
// The item conversions here run no Python code (neither the string rule nor the
// tuple checks do), so the container cannot change while it is read and its length
// is read once. False for any other object.
template <class Each>
bool for_each_exact_item(PyObject* obj, Each&& each) {
    if (PyList_CheckExact(obj)) {
        const Py_ssize_t n = PyList_Size(obj);
        for (Py_ssize_t i = 0; i < n; ++i) each(PyList_GetItem(obj, i), n);
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_Size(obj);
        for (Py_ssize_t i = 0; i < n; ++i) each(PyTuple_GetItem(obj, i), n);
        return true;
    }
    return false;
}

}  // namespace

ArenaList<std::string_view> str_sequence_rule(PyObject* obj, CallArena& arena) {
    auto out = ArenaList<std::string_view>(arena);
    const bool exact = for_each_exact_item(obj, [&](PyObject* item, Py_ssize_t n) {
        if (out.empty()) out.reserve(size_t(n));
        out.push_back(string_rule(item, arena));
        arena.keep(Ref::borrow(item));
    });
    if (exact) return out;
    sequence_rule(obj, [&](size_t n) { out.reserve(n); }, [&](Ref item) {
        out.push_back(string_rule(item.get(), arena));
        arena.keep(std::move(item));
    });
    return out;
}

template <size_t L>
ArenaList<std::array<std::string_view, L>> str_tuple_sequence_rule(PyObject* obj, CallArena& arena,
                                                                     ArenaList<PyObject*>* last_items) {
    auto out = ArenaList<std::array<std::string_view, L>>(arena);
    auto add = [&](PyObject* t) {
        PyObject* last = nullptr;
        out.push_back(str_tuple<L>(t, arena, last));
        if (last_items != nullptr) last_items->push_back(last);
    };
    const bool exact = for_each_exact_item(obj, [&](PyObject* item, Py_ssize_t n) {
        if (out.empty()) {
            out.reserve(size_t(n));
            if (last_items != nullptr) last_items->reserve(size_t(n));
        }
        add(item);
    });
    if (exact) return out;
    sequence_rule(obj, [&](size_t n) { out.reserve(n); }, [&](Ref item) { add(item.get()); });
    return out;
}

template ArenaList<std::array<std::string_view, 2>> str_tuple_sequence_rule<2>(PyObject*, CallArena&,
                                                                                      ArenaList<PyObject*>*);
template ArenaList<std::array<std::string_view, 3>> str_tuple_sequence_rule<3>(PyObject*, CallArena&,
                                                                                      ArenaList<PyObject*>*);

}  // namespace sablecrest
