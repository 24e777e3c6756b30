// Binding of a call's positional tuple and keyword dict to declared parameters,
// with the interpreter-style TypeError texts, and the argument-error rule.
#pragma once

#include "module/convert.hpp"

#include <cstddef>
#include <initializer_list>

namespace sablecrest {

struct KeywordOnly {
    const char* name;
    bool required;
};

struct ArgumentSpec {
    const char* cls;     // class shown in messages, or nullptr
    const char* method;  // "__new__" for constructors
    std::initializer_list<const char*> positional;
    size_t required = 0;         // leading positional parameters that must be given
    size_t positional_only = 0;  // leading positional parameters that may not be keywords
    std::initializer_list<KeywordOnly> keyword_only = {};

    size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
};

constexpr size_t kMaxParams = 8;

// Fills `slots` (slot_count() entries, borrowed references or nullptr).
void bind(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

// Re-raises a conversion failure of parameter `name`: a TypeError becomes
// "argument '<name>': <message>" keeping only the old exception's cause;
// anything else passes unchanged.
[[noreturn]] void argument_error(const char* name, PyError&& error);

// The bound arguments of one call, converted on demand by a rule; each
// conversion failure is raised through the argument-error rule.
class Args {
public:
    Args(const ArgumentSpec& spec, PyObject* const* slots) noexcept : spec_(spec), slots_(slots) {}

    PyObject* operator[](size_t i) const noexcept { return slots_[i]; }
    const char* name(size_t i) const noexcept { return spec_.positional.begin()[i]; }
    CallArena& arena() noexcept { return arena_; }

    template <class Rule>
    auto convert(size_t i, Rule&& rule) -> decltype(rule(std::declval<PyObject*>())) {
        try {
            return rule(slots_[i]);
        } catch (PyError& e) {
            argument_error(name(i), std::move(e));
        }
    }

    std::string_view str(size_t i) {
        return convert(i, [&](PyObject* o) { return string_rule(o, arena_); });
    }
    uint64_t u64(size_t i) { return convert(i, unsigned_rule); }
    int64_t i64(size_t i) { return convert(i, signed_rule); }
    PyObject* dict(size_t i) { return convert(i, dict_rule); }
    PyObject* object(size_t i) const noexcept { return slots_[i]; }
    ArenaList<std::string_view> str_list(size_t i) {
        return convert(i, [&](PyObject* o) { return str_sequence_rule(o, arena_); });
    }
    template <size_t L>
    ArenaList<std::array<std::string_view, L>> str_tuples(size_t i,
                                                               ArenaList<PyObject*>* last_items = nullptr) {
        return convert(i, [&](PyObject* o) { return str_tuple_sequence_rule<L>(o, arena_, last_items); });
    }
    // The optional rule: omitted or None is absent.
    std::optional<uint64_t> optional_u64(size_t i) {
        if (slots_[i] == nullptr || slots_[i] == Py_None) return std::nullopt;
        return u64(i);
    }
    // The default rule: only an omitted parameter takes the default.
    std::string_view str_or(size_t i, std::string_view fallback) {
        if (slots_[i] == nullptr) return fallback;
        return str(i);
    }

private:
    const ArgumentSpec& spec_;
    PyObject* const* slots_;
    CallArena arena_;
};

}  // namespace sablecrest
