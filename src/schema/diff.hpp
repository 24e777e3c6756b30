// Upgrade and downgrade DDL for one table: CREATE TABLE when the database
// reports no columns, ADD COLUMN for each model field it lacks otherwise.
// Python-free; names and types are copied verbatim, never quoted.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sablecrest::schema {

struct FieldSpec {
    std::string_view data_type = "TEXT";
    bool nullable = true;
    bool primary_key = false;
};

struct Field {
    std::string_view name;
    FieldSpec spec;
    bool missing = true;  // the database reports no column of this name
};

// All statements live in one buffer, sized exactly; each list holds (offset, length)
// spans of it. Position i of `downgrade` undoes position i of `upgrade`.
struct Diff {
    std::string text;
    std::vector<std::pair<size_t, size_t>> upgrade;
    std::vector<std::pair<size_t, size_t>> downgrade;

    std::string_view at(std::pair<size_t, size_t> span) const {
        return std::string_view(text).substr(span.first, span.second);
    }
};

// `fields` in model order, each marked whether the database lacks it; `db_empty` says
// the database reports no column (the table is missing).
Diff diff_table(std::string_view table, std::span<const Field> fields, bool db_empty, std::string_view dialect);

}  // namespace sablecrest::schema
