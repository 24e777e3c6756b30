// orm/sql_text.cpp: quoting and placeholder lists for the ORM's statement compiler.
#include "orm/sql_text.hpp"

namespace sablecrest::orm {

void append_quoted(std::string& out, std::string_view name, char quote) {
    out += quote;
    for (char c : name) {
        if (c == quote) out += quote;
        out += c;
    }
    out += quote;
}

std::string values_groups(uint64_t rows, uint64_t cols, query::PlaceholderStyle style, uint64_t first) {
    query::Statement out;
    uint64_t position = first;
    for (uint64_t r = 0; r < rows; ++r) {
        if (r != 0) out += ", ";
        out += '(';
        for (uint64_t c = 0; c < cols; ++c) {
            if (c != 0) out += ", ";
            query::append_placeholder(out, style, position++);
        }
        out += ')';
    }
    return std::string(out.view());
}

}  // namespace sablecrest::orm
