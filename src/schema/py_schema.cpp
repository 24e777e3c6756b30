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

enum DescriptionKey { kDataType, kNullable, kPrimaryKey, kKeyCount };

PyObject* description_key(int which) {
    static PyObject* keys[kKeyCount] = {};  // owned for the process
    static const char* const names[kKeyCount] = {"data_type", "nullable", "primary_key"};
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

// Which of the three names an exact str key is, or kKeyCount. Literal keys are the
// interned names themselves; any other equal str is found by its text.
int key_index(PyObject* key) {
    for (int i = 0; i < kKeyCount; ++i) {
        if (key == description_key(i)) return i;
    }
    Py_ssize_t n = 0;
    const char* p = g_utf8_and_size(key, &n);
    if (p == nullptr) {
        discard_error();  // not strict UTF-8: none of the names
        return kKeyCount;
    }
    const std::string_view text(p, size_t(n));
    if (text == "data_type") return kDataType;
    if (text == "nullable") return kNullable;
    if (text == "primary_key") return kPrimaryKey;
    return kKeyCount;
}

// A description whose keys are all exact strs is read in one walk: looking such a
// key up runs no code and finds exactly the entry whose text is equal, so the walk
// sees what the three look-ups would. False (nothing read) for any other dict.
bool walk_description(PyObject* description, PyObject* (&found)[kKeyCount]) {
    if (g_utf8_and_size == nullptr) return false;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(description, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        const int which = key_index(key);
        if (which != kKeyCount) found[which] = value;
    }
    return true;
}

// A boolean that needs no conversion code: reading it leaves the dicts as they are.
bool is_plain_bool(PyObject* v) { return v == nullptr || v == Py_True || v == Py_False; }

schema::FieldSpec read_description(PyObject* description, CallArena& arena) {
    schema::FieldSpec spec;
    PyObject* found[kKeyCount] = {};
    const bool walked = walk_description(description, found);
    Ref data_type = walked ? Ref::borrow(found[kDataType]) : lookup(description, kDataType);
    if (data_type && PyUnicode_Check(data_type.get())) {
        try {
            spec.data_type = string_rule(data_type.get(), arena);
            arena.keep(std::move(data_type));
        } catch (PyError& e) {
            rethrow_unless_discardable(e);
            // An unencodable type text falls back to the default like any ill-typed value.
        }
    }
    Ref nullable = walked ? Ref::borrow(found[kNullable]) : lookup(description, kNullable);
    // Converting anything but True or False runs code, which may change the dict:
    // then primary_key is looked up afresh, after it, as the rule's order says.
    const bool fresh = !walked || !is_plain_bool(nullable.get());
    if (nullable) spec.nullable = try_bool_rule(nullable.get()).value_or(true);
    Ref primary_key = fresh ? lookup(description, kPrimaryKey) : Ref::borrow(found[kPrimaryKey]);
    if (primary_key) spec.primary_key = try_bool_rule(primary_key.get()).value_or(false);
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
    auto names = ArenaList<PyObject*>(arena);  // each field's key object, kept by the arena
    bool exact_names = true;
    {
        DictWalk walk(model_fields);
        fields.reserve(size_t(walk.start_len()));
        names.reserve(size_t(walk.start_len()));
        Ref key, value;
        while (walk.next(key, value)) {
            std::string_view name = string_rule(key.get(), arena);
            if (!PyDict_Check(value.get())) throw_conversion(value.get(), "PyDict");
            schema::FieldSpec spec = read_description(value.get(), arena);
            if (!PyUnicode_CheckExact(key.get())) exact_names = false;
            // Lookups may run code that removes this entry: the key must outlive the view.
            names.push_back(key.get());
            arena.keep(std::move(key));
            fields.push_back({name, spec});
        }
    }
    if (!exact_names) {
        SwissMap<std::string_view, size_t, FxStrHash> first_position;
        size_t kept = 0;
        for (size_t i = 0; i < fields.size(); ++i) {
            auto [pos, inserted] = first_position.try_emplace(std::string_view(fields[i].name), kept);
            if (inserted) {
                names[kept] = names[i];
                fields[kept++] = fields[i];
            } else {
                fields[*pos].spec = fields[i].spec;
            }
        }
        fields.shrink_to(kept);
        names.shrink_to(kept);
    }

    // Every column is converted (keys and reported types must be strs) before any
    // field is looked for among them.
    // No code runs from here until the membership tests are done (the string rule
    // runs none, nor do look-ups of exact strs, nor does anything allocate an object
    // the collector tracks): db_columns cannot change while it is read, and its keys
    // outlive every use of their texts without references of our own.
    auto columns = ArenaList<std::string_view>(arena);
    bool exact_columns = true;
    {
        columns.reserve(size_t(PyDict_Size(db_columns)));
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(db_columns, &pos, &key, &value)) {
            columns.push_back(string_rule(key, arena));
            if (!PyUnicode_Check(value)) throw_conversion(value, "PyString");
            (void)string_rule(value, arena);  // converted, then never consulted
            if (!PyUnicode_CheckExact(key)) exact_columns = false;
        }
    }
    // A str subclass may hash or compare otherwise than its text: then the columns are
    // matched by their texts in a set of their own.
    NameSet db_names;
    if (!(exact_columns && exact_names)) {
        db_names.reserve_for_load(columns.size());
        for (std::string_view c : columns) db_names.try_emplace(std::string_view(c));
    }
    // One membership test per field. With exact str names on both sides the dict's
    // own look-up is that test: it compares by text and runs no code.
    for (size_t i = 0; i < fields.size(); ++i) {
        if (exact_columns && exact_names) {
            const int r = PyDict_Contains(db_columns, names[i]);
            if (r < 0) throw_fetched();
            fields[i].missing = r == 0;
        } else {
            fields[i].missing = db_names.find(fields[i].name) == nullptr;
        }
    }

    const schema::Diff diff = schema::diff_table(table, fields, columns.empty(), dialect);
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
