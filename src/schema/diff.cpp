// DDL text for a missing table or missing columns.
#include "schema/diff.hpp"

#include <initializer_list>

namespace sablecrest::schema {

namespace {

// The primary-key clause is chosen by exact, case-sensitive dialect text:
// "MySQL" or "Postgres" fall through to the SQLite form.
std::string_view primary_key_clause(std::string_view dialect) {
    if (dialect == "mysql") return " INT AUTO_INCREMENT PRIMARY KEY";
    if (dialect == "postgres" || dialect == "postgresql") return " SERIAL PRIMARY KEY";
    return " INTEGER PRIMARY KEY AUTOINCREMENT";
}

// Appends one statement made of `parts` and records its span.
void statement(Diff& diff, std::vector<std::pair<size_t, size_t>>& list, std::initializer_list<std::string_view> parts) {
    const size_t start = diff.text.size();
    for (std::string_view p : parts) diff.text.append(p);
    list.emplace_back(start, diff.text.size() - start);
}

}  // namespace

Diff diff_table(std::string_view table, std::span<const Field> fields, bool db_empty, ColumnTest db,
                std::string_view dialect) {
    Diff diff;
    if (db_empty) {
        size_t size = 64 + 2 * table.size();
        for (const Field& f : fields) size += f.name.size() + f.spec.data_type.size() + 40;
        diff.text.reserve(size);
        const size_t start = diff.text.size();
        diff.text += "CREATE TABLE IF NOT EXISTS ";
        diff.text += table;
        diff.text += " (";
        bool first = true;
        for (const Field& f : fields) {
            if (!first) diff.text += ", ";
            first = false;
            diff.text += f.name;
            if (f.spec.primary_key) {
                diff.text += primary_key_clause(dialect);
            } else {
                diff.text += ' ';
                diff.text += f.spec.data_type;
                if (!f.spec.nullable) diff.text += " NOT NULL";
            }
        }
        diff.text += ");";
        diff.upgrade.emplace_back(start, diff.text.size() - start);
        statement(diff, diff.downgrade, {"DROP TABLE IF EXISTS ", table, ";"});
        return diff;
    }
    size_t size = 0, missing = 0;
    for (const Field& f : fields) {
        if (db.has(db.context, f.name)) continue;
        size += 2 * table.size() + 2 * f.name.size() + f.spec.data_type.size() + 64;
        ++missing;
    }
    diff.text.reserve(size);
    diff.upgrade.reserve(missing);
    diff.downgrade.reserve(missing);
    for (const Field& f : fields) {
        if (db.has(db.context, f.name)) continue;
        // In an existing table a primary key only suppresses NOT NULL.
        const bool not_null = !f.spec.nullable && !f.spec.primary_key;
        statement(diff, diff.upgrade,
                  {"ALTER TABLE ", table, " ADD COLUMN ", f.name, " ", f.spec.data_type, not_null ? " NOT NULL;" : ";"});
        statement(diff, diff.downgrade, {"ALTER TABLE ", table, " DROP COLUMN ", f.name, ";"});
    }
    return diff;
}

}  // namespace sablecrest::schema
