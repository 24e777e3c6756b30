// orm/sql_text.hpp: the SQL text pieces the ORM writes once per statement shape,
// Python-free. Identifiers are always quoted; values only ever appear as placeholders.
#pragma once

#include "query/builder.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace sablecrest::orm {

// `name` between `quote` characters, an embedded quote doubled ("a""b", `a``b`).
// A dotted name is not split: the caller quotes schema and table apart.
void append_quoted(std::string& out, std::string_view name, char quote);

// "(p, p), (p, p)" for `rows` groups of `cols` placeholders, numbered from `first`.
std::string values_groups(uint64_t rows, uint64_t cols, query::PlaceholderStyle style, uint64_t first);

}  // namespace sablecrest::orm
