// src/query/builder.cpp: every statement is appended into one buffer; no
// joined list, placeholder or upper-cased word exists as a string of its own.
#include "query/builder.hpp"

#include <charconv>
#include <cstddef>

#include "query/unicode_upper.hpp"

namespace sablecrest::query {
namespace {

// Initial capacities: SELECT statements with a few clauses fit in 256 bytes,
// single-row writes in 128; longer ones grow the usual amortised way.
constexpr std::size_t kSelectReserve = 256;
constexpr std::size_t kWriteReserve = 128;

constexpr char ascii_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// `lowered` must already be lower-case ASCII. ASCII folding suffices: no
// non-ASCII character lowers to a letter of "mysql" or "postgresql".
bool equals_folded(std::string_view text, std::string_view lowered) noexcept {
    if (text.size() != lowered.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (ascii_lower(text[i]) != lowered[i]) return false;
    }
    return true;
}

void append_decimal(std::string& out, uint64_t value) {
    char buf[20];  // 18446744073709551615 has 20 digits
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;  // cannot fail: the buffer holds any uint64_t
    out.append(buf, static_cast<std::size_t>(end - buf));
}

template <class Item>
void append_joined(std::string& out, std::span<const Item> items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += items[i];
    }
}

}  // namespace

PlaceholderStyle classify_dialect(std::string_view dialect) noexcept {
    switch (dialect.size()) {
        case 5:
            if (equals_folded(dialect, "mysql")) return PlaceholderStyle::mysql;
            break;
        case 8:
            if (equals_folded(dialect, "postgres")) return PlaceholderStyle::postgres;
            break;
        case 10:
            if (equals_folded(dialect, "postgresql")) return PlaceholderStyle::postgres;
            break;
        default:
            break;
    }
    return PlaceholderStyle::generic;
}

bool dialect_mentions_postgres(std::string_view dialect) noexcept {
    constexpr std::string_view needle = "postgres";
    for (std::size_t start = 0; start + needle.size() <= dialect.size(); ++start) {
        if (equals_folded(dialect.substr(start, needle.size()), needle)) return true;
    }
    return false;
}

void append_placeholder(std::string& out, PlaceholderStyle style, uint64_t index) {
    switch (style) {
        case PlaceholderStyle::mysql:
            out += "%s";
            return;
        case PlaceholderStyle::postgres:
            out += '$';
            append_decimal(out, index);
            return;
        case PlaceholderStyle::generic:
            break;
    }
    out += '?';
}

void append_placeholder(std::string& out, std::string_view dialect, uint64_t index) {
    append_placeholder(out, classify_dialect(dialect), index);
}

std::string format_placeholder(std::string_view dialect, uint64_t index) {
    std::string out;
    append_placeholder(out, dialect, index);
    return out;
}

std::string compile_select(std::string_view table,
                           std::span<const std::string_view> columns,
                           std::span<const std::array<std::string_view, 3>> wheres,
                           std::span<const std::array<std::string_view, 3>> joins,
                           std::span<const std::array<std::string_view, 2>> order_by,
                           std::optional<uint64_t> limit,
                           std::optional<uint64_t> offset,
                           std::string_view dialect) {
    const PlaceholderStyle style = classify_dialect(dialect);
    std::string sql;
    sql.reserve(kSelectReserve);

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
        append_decimal(sql, *limit);
    }
    if (offset) {
        sql += " OFFSET ";
        append_decimal(sql, *offset);
    }
    return sql;
}

std::string compile_insert(std::string_view table,
                           std::span<const std::string_view> columns,
                           std::string_view dialect) {
    const PlaceholderStyle style = classify_dialect(dialect);
    std::string sql;
    sql.reserve(kWriteReserve);

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
    return sql;
}

std::string compile_update(std::string_view table,
                           std::span<const std::string_view> columns,
                           std::string_view pk_col,
                           std::string_view dialect) {
    const PlaceholderStyle style = classify_dialect(dialect);
    std::string sql;
    sql.reserve(kWriteReserve);

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
    return sql;
}

std::string compile_delete(std::string_view table, std::string_view pk_col,
                           std::string_view dialect) {
    std::string sql;
    // "DELETE FROM " + " WHERE " + " = " + the widest placeholder "%s".
    sql.reserve(12 + table.size() + 7 + pk_col.size() + 3 + 2);
    sql += "DELETE FROM ";
    sql += table;
    sql += " WHERE ";
    sql += pk_col;
    sql += " = ";
    append_placeholder(sql, dialect, 1);
    return sql;
}

}  // namespace sablecrest::query
