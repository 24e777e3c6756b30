// src/query/builder.hpp: SQL statement text for QueryCompiler, Python-free.
// Names and fragments are copied verbatim; values only ever appear as
// placeholders, numbered from 1 per statement where the dialect numbers them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sablecrest::query {

// The placeholder style that a dialect text selects. The text is compared
// with ASCII case folding, exactly and untrimmed: only "mysql", "postgres"
// and "postgresql" are recognised, everything else is generic.
enum class PlaceholderStyle : uint8_t {
    generic,   // "?"
    mysql,     // "%s"
    postgres,  // "$" and the position
};

PlaceholderStyle classify_dialect(std::string_view dialect) noexcept;

// True when the dialect text contains "postgres" anywhere, in any letter
// case; decides INSERT's RETURNING clause, which is looser than the style.
bool dialect_mentions_postgres(std::string_view dialect) noexcept;

void append_placeholder(std::string& out, PlaceholderStyle style, uint64_t index);
void append_placeholder(std::string& out, std::string_view dialect, uint64_t index);
std::string format_placeholder(std::string_view dialect, uint64_t index);

// Like QueryCompiler.compile_select: the statement text only. The parameters
// are the third items of `wheres`, in order; the caller collects them.
// `wheres` holds (column, operator, value), `joins` (kind, table, condition),
// `order_by` (column, direction).
std::string compile_select(std::string_view table,
                           std::span<const std::string_view> columns,
                           std::span<const std::array<std::string_view, 3>> wheres,
                           std::span<const std::array<std::string_view, 3>> joins,
                           std::span<const std::array<std::string_view, 2>> order_by,
                           std::optional<uint64_t> limit,
                           std::optional<uint64_t> offset,
                           std::string_view dialect);

std::string compile_insert(std::string_view table,
                           std::span<const std::string_view> columns,
                           std::string_view dialect);

std::string compile_update(std::string_view table,
                           std::span<const std::string_view> columns,
                           std::string_view pk_col,
                           std::string_view dialect);

std::string compile_delete(std::string_view table, std::string_view pk_col,
                           std::string_view dialect);

}  // namespace sablecrest::query
