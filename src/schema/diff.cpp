// DDL text for a missing table or missing columns.
#include "schema/diff.hpp"

namespace sablecrest::schema {

namespace {

// The primary-key clause is chosen by exact, case-sensitive dialect text:
// "MySQL" or "Postgres" fall through to the SQLite form.
std::string_view primary_key_clause(std::string_view dialect) {
    if (dialect == "mysql") return " INT AUTO_INCREMENT PRIMARY KEY";
    if (dialect == "postgres" || dialect == "postgresql") return " SERIAL PRIMARY KEY";
    return " INTEGER PRIMARY KEY AUTOINCREMENT";
}

void append_all(std::string& out, std::initializer_list<std::string_view> parts) {
    for (std::string_view p : parts) out.append(p);
}

}  // namespace

Diff diff_table(std::string_view table, std::span<const Field> fields, bool db_empty,
                const std::function<bool(std::string_view)>& db_has, std::string_view dialect) {
    Diff diff;
    if (db_empty) {
        std::string create;
        create.reserve(64 + table.size() + fields.size() * 24);
        append_all(create, {"CREATE TABLE IF NOT EXISTS ", table, " ("});
        bool first = true;
        for (const Field& f : fields) {
            if (!first) create += ", ";
            first = false;
            create += f.name;
            if (f.spec.primary_key) {
                create += primary_key_clause(dialect);
            } else {
                append_all(create, {" ", f.spec.data_type});
                if (!f.spec.nullable) create += " NOT NULL";
            }
        }
        create += ");";
        diff.upgrade.push_back(std::move(create));
        std::string drop;
        append_all(drop, {"DROP TABLE IF EXISTS ", table, ";"});
        diff.downgrade.push_back(std::move(drop));
        return diff;
    }
    for (const Field& f : fields) {
        if (db_has(f.name)) continue;
        std::string add;
        add.reserve(32 + table.size() + f.name.size() + f.spec.data_type.size());
        append_all(add, {"ALTER TABLE ", table, " ADD COLUMN ", f.name, " ", f.spec.data_type});
        // In an existing table a primary key only suppresses NOT NULL.
        if (!f.spec.nullable && !f.spec.primary_key) add += " NOT NULL";
        add += ';';
        std::string drop;
        drop.reserve(32 + table.size() + f.name.size());
        append_all(drop, {"ALTER TABLE ", table, " DROP COLUMN ", f.name, ";"});
        diff.upgrade.push_back(std::move(add));
        diff.downgrade.push_back(std::move(drop));
    }
    return diff;
}

}  // namespace sablecrest::schema
