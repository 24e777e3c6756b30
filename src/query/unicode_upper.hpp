// src/query/unicode_upper.hpp: Unicode default full upper-casing of UTF-8 text.
// Locale-free and context-free: each character maps on its own, possibly to
// several characters ("ß" -> "SS"), so the output may be longer than the input.
#pragma once

#include <string>
#include <string_view>

namespace sablecrest::query {

// Appends the upper-case form of `utf8` to `out`, as Python's str.upper()
// does. Bytes that do not form a well-formed UTF-8 sequence are copied
// unchanged; nothing outside `utf8` is ever read.
void append_upper(std::string& out, std::string_view utf8);

}  // namespace sablecrest::query
