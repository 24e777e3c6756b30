// orm/values.hpp: the value rules of the ORM's per-row core, Python-free: the kinds a
// field can hold and when two loaded/current floats are the same stored value.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace sablecrest::orm {

// A field's declared Python type. Python learns the numbers from the module's KINDS,
// which is built from kKinds below: this enum is their only source.
enum class Kind : uint8_t { Int = 1, Str, Float, Bool, Bytes, Decimal, DateTime, Date, Uuid, Json, Enum, Time, Timedelta };

struct KindInfo {
    Kind kind;
    const char* name;       // the Python enum member: "INT"
    const char* type_name;  // the Python type, as messages name it: "int"
};

inline constexpr KindInfo kKinds[] = {
    {Kind::Int, "INT", "int"},
    {Kind::Str, "STR", "str"},
    {Kind::Float, "FLOAT", "float"},
    {Kind::Bool, "BOOL", "bool"},
    {Kind::Bytes, "BYTES", "bytes"},
    {Kind::Decimal, "DECIMAL", "Decimal"},
    {Kind::DateTime, "DATETIME", "datetime"},
    {Kind::Date, "DATE", "date"},
    {Kind::Uuid, "UUID", "UUID"},
    {Kind::Json, "JSON", "JSON"},  // messages name the field's own type (dict or list)
    {Kind::Enum, "ENUM", "Enum"},  // messages name the field's enum class
    {Kind::Time, "TIME", "time"},
    {Kind::Timedelta, "TIMEDELTA", "timedelta"},
};
inline constexpr size_t kKindCount = sizeof(kKinds) / sizeof(kKinds[0]);

constexpr bool kinds_in_order() {
    for (size_t i = 0; i < kKindCount; ++i) {
        if (static_cast<size_t>(kKinds[i].kind) != i + 1) return false;
    }
    return true;
}
static_assert(kinds_in_order() && kKinds[kKindCount - 1].kind == Kind::Timedelta,
              "kKinds is indexed by kind - 1 and must list every kind once");

inline bool valid_kind(long k) noexcept { return k >= 1 && k <= static_cast<long>(kKindCount); }

inline const char* kind_name(Kind k) noexcept {
    const size_t i = static_cast<size_t>(k);
    return i >= 1 && i <= kKindCount ? kKinds[i - 1].type_name : "?";
}

// Two floats are the same value when a database would store the same thing: -0.0 and
// 0.0 differ (PostgreSQL keeps the sign), and NaN is the same as NaN (a NaN written and
// read back is not a change).
inline bool same_double(double a, double b) noexcept {
    if (a == b) return std::signbit(a) == std::signbit(b);
    return std::isnan(a) && std::isnan(b);
}

}  // namespace sablecrest::orm
