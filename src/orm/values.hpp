// orm/values.hpp: the value rules of the ORM's per-row core, Python-free: the kinds a
// field can hold and when two loaded/current floats are the same stored value.
#pragma once

#include <cmath>
#include <cstdint>

namespace sablecrest::orm {

// A field's declared Python type. The numbers are shared with sablecrest/model.py.
enum class Kind : uint8_t { Int = 1, Str, Float, Bool, Bytes, Decimal, DateTime, Date };

inline const char* kind_name(Kind k) noexcept {
    switch (k) {
        case Kind::Int: return "int";
        case Kind::Str: return "str";
        case Kind::Float: return "float";
        case Kind::Bool: return "bool";
        case Kind::Bytes: return "bytes";
        case Kind::Decimal: return "Decimal";
        case Kind::DateTime: return "datetime";
        case Kind::Date: return "date";
    }
    return "?";
}

// Two floats are the same value when a database would store the same thing: -0.0 and
// 0.0 differ (PostgreSQL keeps the sign), and NaN is the same as NaN (a NaN written and
// read back is not a change).
inline bool same_double(double a, double b) noexcept {
    if (a == b) return std::signbit(a) == std::signbit(b);
    return std::isnan(a) && std::isnan(b);
}

}  // namespace sablecrest::orm
