// DDL text for a missing table or missing columns. Each statement is measured
// first, so the one text buffer is allocated once at its final size.
#include "schema/diff.hpp"

#include <cstring>
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

// Writes from the start of a buffer already resized to its final size.
class Writer {
public:
    explicit Writer(std::string& text) noexcept : text_(text), at_(text.data()) {}
    void put(std::string_view s) noexcept {
        std::memcpy(at_, s.data(), s.size());
        at_ += s.size();
    }
    size_t offset() const noexcept { return size_t(at_ - text_.data()); }

private:
    std::string& text_;
    char* at_;
};

size_t total(std::initializer_list<std::string_view> parts) {
    size_t n = 0;
    for (std::string_view p : parts) n += p.size();
    return n;
}

}  // namespace

Diff diff_table(std::string_view table, std::span<const Field> fields, bool db_empty, std::string_view dialect) {
    Diff diff;
    constexpr std::string_view kNotNull = " NOT NULL";
    if (db_empty) {
        const std::string_view pk = primary_key_clause(dialect);
        size_t size = total({"CREATE TABLE IF NOT EXISTS ", table, " (", ");", "DROP TABLE IF EXISTS ", table, ";"});
        for (size_t i = 0; i < fields.size(); ++i) {
            const Field& f = fields[i];
            size += (i > 0 ? 2 : 0) + f.name.size() +
                    (f.spec.primary_key ? pk.size() : 1 + f.spec.data_type.size() + (f.spec.nullable ? 0 : kNotNull.size()));
        }
        diff.text.resize(size);
        Writer w(diff.text);
        w.put("CREATE TABLE IF NOT EXISTS ");
        w.put(table);
        w.put(" (");
        for (size_t i = 0; i < fields.size(); ++i) {
            const Field& f = fields[i];
            if (i > 0) w.put(", ");
            w.put(f.name);
            if (f.spec.primary_key) {
                w.put(pk);
            } else {
                w.put(" ");
                w.put(f.spec.data_type);
                if (!f.spec.nullable) w.put(kNotNull);
            }
        }
        w.put(");");
        diff.upgrade.emplace_back(0, w.offset());
        const size_t start = w.offset();
        w.put("DROP TABLE IF EXISTS ");
        w.put(table);
        w.put(";");
        diff.downgrade.emplace_back(start, w.offset() - start);
        return diff;
    }
    // In an existing table a primary key only suppresses NOT NULL.
    auto not_null = [](const Field& f) { return !f.spec.nullable && !f.spec.primary_key; };
    size_t size = 0, missing = 0;
    for (const Field& f : fields) {
        if (!f.missing) continue;
        size += total({"ALTER TABLE ", table, " ADD COLUMN ", f.name, " ", f.spec.data_type, ";"}) +
                (not_null(f) ? kNotNull.size() : 0) + total({"ALTER TABLE ", table, " DROP COLUMN ", f.name, ";"});
        ++missing;
    }
    diff.text.resize(size);
    diff.upgrade.reserve(missing);
    diff.downgrade.reserve(missing);
    Writer w(diff.text);
    for (const Field& f : fields) {
        if (!f.missing) continue;
        size_t start = w.offset();
        w.put("ALTER TABLE ");
        w.put(table);
        w.put(" ADD COLUMN ");
        w.put(f.name);
        w.put(" ");
        w.put(f.spec.data_type);
        w.put(not_null(f) ? " NOT NULL;" : ";");
        diff.upgrade.emplace_back(start, w.offset() - start);
        start = w.offset();
        w.put("ALTER TABLE ");
        w.put(table);
        w.put(" DROP COLUMN ");
        w.put(f.name);
        w.put(";");
        diff.downgrade.emplace_back(start, w.offset() - start);
    }
    return diff;
}

}  // namespace sablecrest::schema
