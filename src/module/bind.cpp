// Argument binding: the first mismatch ends binding with the interpreter's own
// wording, so callers see the messages they know from Python functions.
#include "module/bind.hpp"

#include <string>
#include <vector>

#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace sablecrest {

namespace {

std::string display_name(const ArgumentSpec& spec) {
    std::string d;
    if (spec.cls != nullptr) {
        d += spec.cls;
        d += '.';
    }
    d += spec.method;
    d += "()";
    return d;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
void append_name_list(std::string& out, const std::vector<std::string>& names) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ',';
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
}

[[noreturn]] void binding_error(std::string message) { throw_lazy(PyExc_TypeError, std::move(message)); }

[[noreturn]] void too_many(const ArgumentSpec& spec, size_t given) {
    const size_t n = spec.positional.size();
    std::string m = display_name(spec) + " takes ";
    if (spec.required == n) {
        m += std::to_string(n);
    } else {
        m += "from " + std::to_string(spec.required) + " to " + std::to_string(n);
    }
    m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    binding_error(std::move(m));
}

[[noreturn]] void missing(const ArgumentSpec& spec, const char* kind, const std::vector<std::string>& names) {
    std::string m = display_name(spec) + " missing " + std::to_string(names.size()) + " required " + kind +
                    (names.size() == 1 ? " argument: " : " arguments: ");
    append_name_list(m, names);
    binding_error(std::move(m));
}

bool key_is(PyObject* key, const char* name) { return PyUnicode_CompareWithASCIIString(key, name) == 0; }

}  // namespace

void bind(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const size_t n = spec.positional.size();
    const size_t total = spec.slot_count();
    const size_t m = args != nullptr ? size_t(PyTuple_Size(args)) : 0;
    // The common call: positional arguments only, neither too many nor too few.
    if (kwargs == nullptr && m <= n && m >= spec.required) {
        for (size_t i = 0; i < m; ++i) slots[i] = PyTuple_GetItem(args, Py_ssize_t(i));
        for (size_t i = m; i < total; ++i) slots[i] = nullptr;
        if (spec.keyword_only.size() == 0) return;
    }
    for (size_t i = 0; i < total; ++i) slots[i] = nullptr;
    for (size_t i = 0; i < m && i < n; ++i) slots[i] = PyTuple_GetItem(args, Py_ssize_t(i));
    if (m > n) too_many(spec, m);

    std::vector<std::string> positional_only_given;
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            // A key that is not a str never matches; the comparison is on the
            // str's own characters, so lone surrogates simply fail to match.
            bool is_text = PyUnicode_Check(key);
            bool matched = false;
            if (is_text) {
                size_t k = 0;
                for (const KeywordOnly& kw : spec.keyword_only) {
                    if (key_is(key, kw.name)) {
                        PyObject*& slot = slots[n + k];
                        if (slot != nullptr) {
                            binding_error(display_name(spec) + " got multiple values for argument '" + kw.name + "'");
                        }
                        slot = value;
                        matched = true;
                        break;
                    }
                    ++k;
                }
                if (!matched) {
                    size_t i = 0;
                    for (const char* name : spec.positional) {
                        if (key_is(key, name)) {
                            matched = true;
                            if (i < spec.positional_only) {
                                positional_only_given.emplace_back(name);
                            } else if (slots[i] != nullptr) {
                                binding_error(display_name(spec) + " got multiple values for argument '" + name + "'");
                            } else {
                                slots[i] = value;
                            }
                            break;
                        }
                        ++i;
                    }
                }
            }
            if (!matched) {
                Text shown = display_text(key);
                binding_error(display_name(spec) + " got an unexpected keyword argument '" + std::string(shown.view()) +
                              "'");
            }
        }
    }
    if (!positional_only_given.empty()) {
        std::string msg = display_name(spec) + " got some positional-only arguments passed as keyword arguments: ";
        append_name_list(msg, positional_only_given);
        binding_error(std::move(msg));
    }
    if (m < spec.required) {
        std::vector<std::string> absent;
        for (size_t i = 0; i < spec.required; ++i) {
            if (slots[i] == nullptr) absent.emplace_back(spec.positional.begin()[i]);
        }
        if (!absent.empty()) missing(spec, "positional", absent);
    }
    std::vector<std::string> absent_keywords;
    size_t k = 0;
    for (const KeywordOnly& kw : spec.keyword_only) {
        if (kw.required && slots[n + k] == nullptr) absent_keywords.emplace_back(kw.name);
        ++k;
    }
    if (!absent_keywords.empty()) missing(spec, "keyword", absent_keywords);
}

void argument_error(const char* name, PyError&& error) {
    ErrorState& state = error.state;
    state.normalize();
    if (state.type() != PyExc_TypeError) throw std::move(error);
    Text old_text = display_text(state.value());
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += old_text.view();
    Ref text = new_str(message);
    Ref exc = check_new(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    // Only the old exception's cause survives; the old exception itself is not chained.
    set_cause(exc.get(), Ref::steal(PyException_GetCause(state.value())));
    throw PyError{ErrorState::normalized(Ref::borrow(PyExc_TypeError), std::move(exc), Ref())};
}

}  // namespace sablecrest
