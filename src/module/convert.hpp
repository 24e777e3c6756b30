// The conversion rules between Python objects and native values, and the
// display rule. Each rule lives here once; method entries only name them.
#pragma once

#include "module/error.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sablecrest {

// --- the running interpreter ----------------------------------------------------

struct Runtime {
    int major = 0;
    int minor = 0;
    // PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10; before that a
    // temporary bytes object is the only route to a str's UTF-8.
    const char* (*utf8_and_size)(PyObject*, Py_ssize_t*) = nullptr;
    bool at_least(int maj, int min) const noexcept { return major > maj || (major == maj && minor >= min); }
};
// Read once from Py_GetVersion; a malformed version text is an internal failure.
const Runtime& runtime();

// runtime().utf8_and_size once the version has been read (the module's init reads
// it), for the hot paths; null before that or where the interpreter lacks it.
extern const char* (*g_utf8_and_size)(PyObject*, Py_ssize_t*);

// --- per-call storage -----------------------------------------------------------

// Scratch memory for one call: converted views point into Python objects that
// `keep` holds alive until the call returns. Lists of a call take their storage
// from a bump buffer inside the arena (on the caller's stack), so typical calls
// never touch the heap; a request that does not fit goes to the heap instead.
class CallArena {
public:
    CallArena() = default;
    CallArena(const CallArena&) = delete;
    CallArena& operator=(const CallArena&) = delete;
    ~CallArena() {
        for (size_t i = kept_; i > 0; --i) release_ref(inline_keep_[i - 1]);
    }

    void keep(Ref r) {
        if (kept_ < kInlineKeep) {
            inline_keep_[kept_++] = r.release();
        } else {
            overflow_keep_.push_back(std::move(r));
        }
    }

    // Bump allocation; `align` is at most alignof(std::max_align_t). A request that
    // does not fit the buffer goes to the heap and is freed with the arena.
    void* allocate(size_t bytes, size_t align) {
        const size_t start = (used_ + align - 1) & ~(align - 1);
        if (start <= sizeof buffer_ && bytes <= sizeof buffer_ - start) {
            used_ = start + bytes;
            return buffer_ + start;
        }
        std::unique_ptr<std::byte[]> block(new std::byte[bytes]);
        std::byte* p = block.get();
        heap_blocks_.push_back(std::move(block));
        return p;
    }

private:
    static constexpr size_t kInlineKeep = 64;
    alignas(std::max_align_t) std::byte buffer_[2048];
    size_t used_ = 0;
    PyObject* inline_keep_[kInlineKeep]; /* owned: the first kept_ entries */
    size_t kept_ = 0;
    std::vector<Ref> overflow_keep_;
    std::vector<std::unique_ptr<std::byte[]>> heap_blocks_;
};

// A growable list of plain values (views, pointers) in a call's arena. Growing
// copies into a new block and leaves the old one to the arena, so an element costs
// one store once the list is sized (exact lists and tuples size it up front).
template <class T>
class ArenaList {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "the arena frees blocks without running destructors");

public:
    explicit ArenaList(CallArena& arena) noexcept : arena_(&arena) {}

    void reserve(size_t n) {
        if (n > cap_) regrow(n);
    }
    void push_back(const T& v) {
        if (size_ == cap_) regrow(cap_ < 4 ? 8 : 2 * cap_);
        data_[size_++] = v;
    }
    void shrink_to(size_t n) noexcept {
        if (n < size_) size_ = n;
    }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    operator std::span<const T>() const noexcept { return {data_, size_}; }

private:
    void regrow(size_t cap) {
        if (cap > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        T* data = static_cast<T*>(arena_->allocate(cap * sizeof(T), alignof(T)));
        if (size_ != 0) std::memcpy(static_cast<void*>(data), data_, size_ * sizeof(T));
        data_ = data;
        cap_ = cap;
    }

    CallArena* arena_;
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// --- text -----------------------------------------------------------------------

// UTF-8 text that either points into a Python object it keeps alive or owns
// its bytes (when a lenient decode had to rewrite them).
class Text {
public:
    Text() = default;
    Text(Ref keep, std::string_view view) : keep_(std::move(keep)), view_(view) {}
    explicit Text(std::string owned) : owned_(std::move(owned)), view_(owned_) {}
    Text(Text&& o) noexcept;
    Text& operator=(Text&&) = delete;
    std::string_view view() const noexcept { return view_; }

private:
    Ref keep_;
    std::string owned_;
    std::string_view view_;
};

// Strict UTF-8 of a str (or subclass); UnicodeEncodeError propagates. The
// bytes stay valid while `str` lives and, where a temporary bytes object was
// needed (before 3.10), while `keeper` lives.
std::string_view str_utf8(PyObject* str, Ref& keeper);

// The display rule: str(obj) as UTF-8, lone surrogates becoming U+FFFD; when
// str() raises, the error goes to the unraisable hook and the text is
// "<unprintable NAME object>". Raises only what discard_error would not drop (and
// a resumed panic).
Text display_text(PyObject* obj);

// str() of a float, as the interpreter writes it (repr's shortest round-trip
// digits, its switch to exponent form below 1e-4 and from 1e16, "nan", "inf",
// "-0.0"), into `out`; returns the length, or 0 where this build's standard
// library cannot give the shortest digits (the interpreter formats it then).
inline constexpr size_t kFloatTextMax = 32;
size_t float_text(double v, char* out) noexcept;

// The display rule handing the text to `use` (valid during the call only).
// str() of the immutable builtins is known without asking the interpreter for
// a new str object: str(s) is s, str(i) is i's decimal digits, str(f) is f's
// shortest round-trip digits, and the three singletons have fixed texts; none of
// these types lets __str__ be replaced.
template <class Use>
decltype(auto) with_display_text(PyObject* obj, Use&& use) {
    if (PyUnicode_CheckExact(obj)) {
        if (g_utf8_and_size != nullptr) {
            Py_ssize_t n = 0;
            if (const char* p = g_utf8_and_size(obj, &n)) return use(std::string_view(p, size_t(n)));
            discard_error();
            return use(display_text(obj).view());  // lone surrogates: the lenient form
        }
        Ref keeper;
        std::string_view text;
        try {
            text = str_utf8(obj, keeper);
        } catch (PyError& e) {
            rethrow_unless_discardable(e);
            return use(display_text(obj).view());  // lone surrogates: the lenient form
        }
        return use(text);
    }
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {  // beyond 64 bits the interpreter formats it
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
            return use(std::string_view(digits, size_t(end - digits)));
        }
    }
    if (PyFloat_CheckExact(obj)) {
        char text[kFloatTextMax];
        if (const size_t n = float_text(PyFloat_AsDouble(obj), text)) return use(std::string_view(text, n));
    }
    if (obj == Py_None) return use(std::string_view("None"));
    if (obj == Py_True) return use(std::string_view("True"));
    if (obj == Py_False) return use(std::string_view("False"));
    return use(display_text(obj).view());
}
// The display rule without its fallback: false when str() raises, the error dropped
// by discard_error's rule, or whatever it is with `drop_any` (the panic path, which
// must not be diverted).
bool try_display_text(PyObject* obj, std::string& out, bool drop_any = false);

// Appends `bytes`, replacing each maximal ill-formed subsequence by U+FFFD.
void decode_utf8_lossy(std::string_view bytes, std::string& out);

// --- input rules ----------------------------------------------------------------

// The view is valid while `obj` lives (the caller keeps it alive) and the
// arena lives (it holds any temporary the conversion needed).
std::string_view string_rule_slow(PyObject* obj, CallArena& arena);
inline std::string_view string_rule(PyObject* obj, CallArena& arena) {
    // An exact str on 3.10+: the UTF-8 form cached inside the object itself.
    if (PyUnicode_CheckExact(obj) && g_utf8_and_size != nullptr) {
        Py_ssize_t n = 0;
        if (const char* p = g_utf8_and_size(obj, &n)) return {p, size_t(n)};
        throw_fetched();
    }
    return string_rule_slow(obj, arena);
}
int64_t signed_rule(PyObject* obj);
uint64_t unsigned_rule(PyObject* obj);
// The boolean rule (True/False, or NumPy's boolean scalar through its type's
// __bool__) where a refusal is not an error: nullopt, nothing raised. Only
// MemoryError and a resumed panic propagate.
std::optional<bool> try_bool_rule(PyObject* obj);
PyObject* dict_rule(PyObject* obj);
// list, tuple (or subclass) or any collections.abc.Sequence; never raises.
bool is_sequence_object(PyObject* obj);

// The sequence rule: refuses str, calls `reserve(n)` with the length (only a
// sizing hint: 0 when the length cannot be read), then walks the object's
// iterator, calling `each(item)` with a new reference per item.
void check_sequence(PyObject* obj);
template <class Reserve, class Each>
void sequence_rule(PyObject* obj, Reserve&& reserve, Each&& each) {
    // Exact lists and tuples are read by index: the items their iterators would
    // yield (a list's length is re-read at every step, as its iterator does),
    // without creating the iterator.
    if (PyList_CheckExact(obj)) {
        reserve(size_t(PyList_Size(obj)));
        for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) each(Ref::borrow(PyList_GetItem(obj, i)));
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_Size(obj);
        reserve(size_t(n));
        for (Py_ssize_t i = 0; i < n; ++i) each(Ref::borrow(PyTuple_GetItem(obj, i)));
        return;
    }
    check_sequence(obj);
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) discard_error();
    reserve(size_t(n < 0 ? 0 : n));
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) throw_fetched();
    while (PyObject* item = PyIter_Next(it.get())) each(Ref::steal(item));
    if (PyErr_Occurred()) throw_fetched();
}

// A sequence of str: views kept alive by the arena.
ArenaList<std::string_view> str_sequence_rule(PyObject* obj, CallArena& arena);
// A sequence of str tuples of length L. With `last_items`, the tuples' last
// items are collected too (borrowed; the arena keeps their tuples alive).
template <size_t L>
ArenaList<std::array<std::string_view, L>> str_tuple_sequence_rule(PyObject* obj, CallArena& arena,
                                                                         ArenaList<PyObject*>* last_items = nullptr);

// --- dict walk ------------------------------------------------------------------

// Walks a dict (or subclass, through its own storage) with PyDict_Next. Code
// run between steps may mutate it: a size change, or more entries delivered
// than it held at the start, is an internal failure, as for a Python dict
// iterator. Each step hands out new references, so the entry survives being
// removed from the dict while the caller uses it.
class DictWalk {
public:
    explicit DictWalk(PyObject* dict) noexcept : dict_(dict), start_len_(PyDict_Size(dict)), remaining_(start_len_) {}
    Py_ssize_t start_len() const noexcept { return start_len_; }
    bool next(Ref& key, Ref& value) {
        if (PyDict_Size(dict_) != start_len_) panic("dictionary changed size during iteration");
        if (remaining_ == -1) panic("dictionary keys changed during iteration");
        PyObject *k = nullptr, *v = nullptr;
        if (!PyDict_Next(dict_, &pos_, &k, &v)) return false;
        --remaining_;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }

private:
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t start_len_;
    Py_ssize_t remaining_;
};

// --- output rules ---------------------------------------------------------------

inline Ref new_str(std::string_view text) {
    return check_new(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}
inline PyObject* bool_result(bool b) noexcept { return new_ref(b ? Py_True : Py_False); }
inline PyObject* none_result() noexcept { return new_ref(Py_None); }

// A new tuple taking the given references.
template <class... R>
Ref tuple_result(R&&... items) {
    Ref tuple = check_new(PyTuple_New(Py_ssize_t(sizeof...(items))));
    Py_ssize_t i = 0;
    (PyTuple_SetItem(tuple.get(), i++, items.release()), ...);
    return tuple;
}

}  // namespace sablecrest
