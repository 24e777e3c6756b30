// src/query/builder.cpp: every statement is appended into one buffer; no
// joined list, placeholder or upper-cased word exists as a string of its own.
#include "query/builder.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "query/unicode_upper.hpp"

namespace sablecrest::query {
namespace {

// ASCII case folding of a dialect name: `lowered` must be lower-case letters only.
// Setting the case bit (0x20) of a byte turns it into one of those letters exactly
// when it already is that letter in either case: every other byte (digits,
// punctuation, bytes of other characters) misses all of them, so the comparison is
// case folding without a table, and ASCII folding suffices, since no non-ASCII
// character lowers to a letter of "mysql" or "postgresql".
bool equals_folded(const char* text, std::string_view lowered) noexcept {
    const std::size_t n = lowered.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, text + i, 8);
        std::memcpy(&b, lowered.data() + i, 8);
        if ((a | 0x2020202020202020ULL) != b) return false;
    }
    for (; i < n; ++i) {
        if ((static_cast<unsigned char>(text[i]) | 0x20) != static_cast<unsigned char>(lowered[i])) return false;
    }
    return true;
}

// Join kinds and directions are nearly always ASCII: mapped byte for byte in place;
// text with other characters takes the full Unicode mapping from the first of them.
void append_upper(Statement& out, std::string_view text) {
    char* dst = out.reserve_tail(text.size());
    const auto* src = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = src[i];
        if (c >= 0x80) break;
        dst[i] = static_cast<char>(c ^ (unsigned(c - 'a') < 26u ? 0x20 : 0));
    }
    out.commit(i);
    if (i < text.size()) {
        std::string rest;
        query::append_upper(rest, text.substr(i));
        out.append(rest);
    }
}

template <class Item>
void append_joined(Statement& out, std::span<const Item> items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += items[i];
    }
}

}  // namespace

void Statement::grow(std::size_t more) {
    std::size_t cap = cap_ * 2;
    if (cap - size_ < more) cap = size_ + more;
    char* data = new char[cap];
    std::memcpy(data, data_, size_);
    if (data_ != inline_) delete[] data_;
    data_ = data;
    cap_ = cap;
}

PlaceholderStyle classify_dialect(std::string_view dialect) noexcept {
    switch (dialect.size()) {
        case 5:
            if (equals_folded(dialect.data(), "mysql")) return PlaceholderStyle::mysql;
            break;
        case 8:
            if (equals_folded(dialect.data(), "postgres")) return PlaceholderStyle::postgres;
            break;
        case 10:
            if (equals_folded(dialect.data(), "postgresql")) return PlaceholderStyle::postgres;
            break;
        default:
            break;
    }
    return PlaceholderStyle::generic;
}

bool dialect_mentions_postgres(std::string_view dialect) noexcept {
    constexpr std::string_view needle = "postgres";
    for (std::size_t start = 0; start + needle.size() <= dialect.size(); ++start) {
        if (equals_folded(dialect.data() + start, needle)) return true;
    }
    return false;
}

std::string format_placeholder(std::string_view dialect, uint64_t index) {
    Statement out;
    append_placeholder(out, classify_dialect(dialect), index);
    return std::string(out.view());
}

void compile_select(Statement& sql,
                    std::string_view table,
                    std::span<const std::string_view> columns,
                    std::span<const std::array<std::string_view, 3>> wheres,
                    std::span<const std::array<std::string_view, 3>> joins,
                    std::span<const std::array<std::string_view, 2>> order_by,
                    std::optional<uint64_t> limit,
                    std::optional<uint64_t> offset,
                    std::string_view dialect) {
    const PlaceholderStyle style = classify_dialect(dialect);
    sql += "SELECT ";
    if (columns.empty()) {
        sql += '*';
    } else {
        append_joined(sql, columns);
    }
    sql += " FROM ";
    sql += table;

    // The kind is what precedes JOIN ("left", "left outer"); an empty kind
    // still gets its blank, leaving two before JOIN.
    for (const auto& [kind, join_table, condition] : joins) {
        sql += ' ';
        append_upper(sql, kind);
        sql += " JOIN ";
        sql += join_table;
        sql += " ON ";
        sql += condition;
    }

    if (!wheres.empty()) {
        sql += " WHERE ";
        uint64_t position = 0;
        for (const auto& [column, op, value] : wheres) {
            (void)value;  // travels as a parameter, never in the text
            if (position > 0) sql += " AND ";
            sql += column;
            sql += ' ';
            sql += op;
            sql += ' ';
            append_placeholder(sql, style, ++position);
        }
    }

    if (!order_by.empty()) {
        sql += " ORDER BY ";
        for (std::size_t i = 0; i < order_by.size(); ++i) {
            if (i > 0) sql += ", ";
            sql += order_by[i][0];
            sql += ' ';
            append_upper(sql, order_by[i][1]);
        }
    }

    // Paging numbers are literals; OFFSET does not require LIMIT.
    if (limit) {
        sql += " LIMIT ";
        sql.append_decimal(*limit);
    }
    if (offset) {
        sql += " OFFSET ";
        sql.append_decimal(*offset);
    }
}

void compile_insert(Statement& sql, std::string_view table,
                    std::span<const std::string_view> columns,
                    std::string_view dialect) {
    const PlaceholderStyle style = classify_dialect(dialect);
    sql += "INSERT INTO ";
    sql += table;
    sql += " (";
    append_joined(sql, columns);
    sql += ") VALUES (";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) sql += ", ";
        append_placeholder(sql, style, i + 1);
    }
    sql += ')';
    // A substring test, not the style: "postgres15" returns rows yet binds "?".
    if (dialect_mentions_postgres(dialect)) sql += " RETURNING *";
}

void compile_update(Statement& sql, std::string_view table,
                    std::span<const std::string_view> columns,
                    std::string_view pk_col,
                    std::string_view dialect) {
    const PlaceholderStyle style = classify_dialect(dialect);
    sql += "UPDATE ";
    sql += table;
    sql += " SET ";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) sql += ", ";
        sql += columns[i];
        sql += " = ";
        append_placeholder(sql, style, i + 1);
    }
    // The key binds after every assigned value. No RETURNING, whatever the
    // dialect.
    sql += " WHERE ";
    sql += pk_col;
    sql += " = ";
    append_placeholder(sql, style, static_cast<uint64_t>(columns.size()) + 1);
}

void compile_delete(Statement& sql, std::string_view table, std::string_view pk_col,
                    std::string_view dialect) {
    sql += "DELETE FROM ";
    sql += table;
    sql += " WHERE ";
    sql += pk_col;
    sql += " = ";
    append_placeholder(sql, classify_dialect(dialect), 1);
}

}  // namespace sablecrest::query
