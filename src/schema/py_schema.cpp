// SchemaDiffEngine's method entry: reads the two dicts, then calls the DDL
// builder. Behaves like a stateless Python class with one method.
#include "module/types.hpp"
#include "schema/diff.hpp"
#include "shared/fx_hash.hpp"
#include "shared/swiss_map.hpp"

namespace sablecrest {

namespace {

struct SchemaRecord {};
struct Nothing {};
// Column names only answer membership; the views point into strings that the
// call's arena keeps alive.
using NameSet = SwissMap<std::string_view, Nothing, FxStrHash>;

PyObject* description_key(int which) {
    static PyObject* keys[3] = {};  // owned for the process
    static const char* const names[3] = {"data_type", "nullable", "primary_key"};
    if (keys[which] == nullptr) {
        keys[which] = PyUnicode_InternFromString(names[which]);
        if (keys[which] == nullptr) api_call_failed();
    }
    return keys[which];
}

// Plain dict lookup: a subclass's __getitem__/__missing__ are never consulted,
// but a key's __eq__ may run and raise.
Ref lookup(PyObject* description, int which) {
    PyObject* v = PyDict_GetItemWithError(description, description_key(which));
    if (v == nullptr && PyErr_Occurred()) throw_fetched();
    return Ref::borrow(v);
}

schema::FieldSpec read_description(PyObject* description, CallArena& arena) {
    schema::FieldSpec spec;
    if (Ref data_type = lookup(description, 0); data_type && PyUnicode_Check(data_type.get())) {
        try {
            spec.data_type = string_rule(data_type.get(), arena);
            arena.keep(std::move(data_type));
        } catch (PyError& e) {
            rethrow_unless_discardable(e);
            // An unencodable type text falls back to the default like any ill-typed value.
        }
    }
    if (Ref nullable = lookup(description, 1)) spec.nullable = try_bool_rule(nullable.get()).value_or(true);
    if (Ref primary_key = lookup(description, 2)) spec.primary_key = try_bool_rule(primary_key.get()).value_or(false);
    return spec;
}

const ArgumentSpec kDiffTable{
    "SchemaDiffEngine", "diff_table", {"table_name", "model_fields", "db_columns", "_dialect"}, 4};

PyObject* diff_table(SchemaRecord&, Args& a) {
    std::string_view table = a.str(0);
    PyObject* model_fields = a.dict(1);
    PyObject* db_columns = a.dict(2);
    std::string_view dialect = a.str(3);
    CallArena& arena = a.arena();

    // Model order is the dict's own order. Two keys can share a text only when
    // one is a str subclass; then the first position keeps the last description.
    auto fields = ArenaList<schema::Field>(arena);
    bool maybe_duplicates = false;
    {
        DictWalk walk(model_fields);
        fields.reserve(size_t(walk.start_len()));
        Ref key, value;
        while (walk.next(key, value)) {
            std::string_view name = string_rule(key.get(), arena);
            if (!PyDict_Check(value.get())) throw_conversion(value.get(), "PyDict");
            schema::FieldSpec spec = read_description(value.get(), arena);
            if (!PyUnicode_CheckExact(key.get())) maybe_duplicates = true;
            // Lookups may run code that removes this entry: the key must outlive the view.
            arena.keep(std::move(key));
            fields.push_back({name, spec});
        }
    }
    if (maybe_duplicates) {
        SwissMap<std::string_view, size_t, FxStrHash> first_position;
        size_t kept = 0;
        for (size_t i = 0; i < fields.size(); ++i) {
            auto [pos, inserted] = first_position.try_emplace(std::string_view(fields[i].name), kept);
            if (inserted) {
                fields[kept++] = fields[i];
            } else {
                fields[*pos].spec = fields[i].spec;
            }
        }
        fields.shrink_to(kept);
    }

    NameSet db_names;
    {
        DictWalk walk(db_columns);
        db_names.reserve_for_load(size_t(walk.start_len()));
        Ref key, value;
        while (walk.next(key, value)) {
            std::string_view name = string_rule(key.get(), arena);
            if (!PyUnicode_Check(value.get())) throw_conversion(value.get(), "PyString");
            (void)string_rule(value.get(), arena);  // converted, then never consulted
            db_names.try_emplace(std::string_view(name));
            arena.keep(std::move(key));
        }
    }

    const schema::ColumnTest db{&db_names, [](const void* set, std::string_view name) {
                                    return static_cast<const NameSet*>(set)->find(name) != nullptr;
                                }};
    const schema::Diff diff = schema::diff_table(table, fields, db_names.size() == 0, db, dialect);
    auto statements = [&](const std::vector<std::pair<size_t, size_t>>& spans) {
        Ref list = check_new(PyList_New(Py_ssize_t(spans.size())));
        for (size_t i = 0; i < spans.size(); ++i) PyList_SetItem(list.get(), Py_ssize_t(i), new_str(diff.at(spans[i])).release());
        return list;
    };
    Ref upgrade = statements(diff.upgrade);
    Ref downgrade = statements(diff.downgrade);
    return tuple_result(std::move(upgrade), std::move(downgrade)).release();
}

PyMethodDef g_methods[] = {
    {"diff_table",
     as_cfunction(method_entry<SchemaRecord, g_schema_diff_engine_class, Access::Shared, kDiffTable, diff_table>),
     kVarargs,
     "diff_table($self, table_name, model_fields, db_columns, _dialect)\n--\n\n"
     "Compares model metadata against database introspection table structure.\n"
     "Returns upgrade_statements and downgrade_statements."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ClassSpec g_schema_diff_engine_class{
    "SchemaDiffEngine",
    "SchemaDiffEngine()\n--\n\n",
    instance_new<SchemaRecord, g_schema_diff_engine_class>,
    instance_dealloc<SchemaRecord>,
    g_methods,
    instance_size<SchemaRecord>(),
};

}  // namespace sablecrest
