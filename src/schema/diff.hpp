// Upgrade and downgrade DDL for one table: CREATE TABLE when the database
// reports no columns, ADD COLUMN for each model field it lacks otherwise.
// Python-free; names and types are copied verbatim, never quoted.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
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
};

struct Diff {
    std::vector<std::string> upgrade;
    std::vector<std::string> downgrade;  // position i undoes upgrade[i]
};

// `fields` in model order; `db_has(name)` answers whether the database reports
// that column, and `db_empty` whether it reports none (the table is missing).
Diff diff_table(std::string_view table, std::span<const Field> fields, bool db_empty,
                const std::function<bool(std::string_view)>& db_has, std::string_view dialect);

}  // namespace sablecrest::schema
