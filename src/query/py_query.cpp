// QueryCompiler's method entries: bind, convert, call the statement builders.
// Behaves like a stateless Python class whose methods return SQL text.
#include "module/types.hpp"
#include "query/builder.hpp"

namespace sablecrest {

namespace {

struct QueryRecord {};

PyObject* str_result(const query::Statement& sql) { return new_str(sql.view()).release(); }

// Placeholders are short immutable strs asked for again and again: "?", "%s"
// and the first numbered ones are made once and handed out as new references.
PyObject* placeholder_result(std::string_view dialect, uint64_t index) {
    constexpr uint64_t kCachedNumbers = 64;
    static PyObject* generic = nullptr;                  // owned for the process, or NULL
    static PyObject* mysql = nullptr;                    // owned for the process, or NULL
    static PyObject* numbered[kCachedNumbers] = {};      // owned for the process, or NULL
    const query::PlaceholderStyle style = query::classify_dialect(dialect);
    PyObject** slot = nullptr;
    switch (style) {
        case query::PlaceholderStyle::generic:
            slot = &generic;
            break;
        case query::PlaceholderStyle::mysql:
            slot = &mysql;
            break;
        case query::PlaceholderStyle::postgres:
            if (index >= kCachedNumbers) return new_str(query::format_placeholder(dialect, index)).release();
            slot = &numbered[index];
            break;
    }
    if (*slot == nullptr) {
        query::Statement text;
        query::append_placeholder(text, style, index);
        *slot = new_str(text.view()).release();
    }
    return new_ref(*slot);
}

const ArgumentSpec kGetPlaceholder{"QueryCompiler", "get_placeholder", {"dialect", "index"}, 2};
PyObject* get_placeholder(QueryRecord&, Args& a) {
    std::string_view dialect = a.str(0);
    uint64_t index = a.u64(1);
    return placeholder_result(dialect, index);
}

const ArgumentSpec kCompileSelect{
    "QueryCompiler",
    "compile_select",
    {"table", "columns", "wheres", "joins", "order_by", "limit", "offset", "dialect"},
    5};
PyObject* compile_select(QueryRecord&, Args& a) {
    std::string_view table = a.str(0);
    auto columns = a.str_list(1);
    auto values = ArenaList<PyObject*>(a.arena());
    auto wheres = a.str_tuples<3>(2, &values);
    auto joins = a.str_tuples<3>(3);
    auto order_by = a.str_tuples<2>(4);
    auto limit = a.optional_u64(5);
    auto offset = a.optional_u64(6);
    std::string_view dialect = a.str_or(7, "sqlite");

    query::Statement text;
    query::compile_select(text, table, columns, wheres, joins, order_by, limit, offset, dialect);
    Ref sql = new_str(text.view());
    Ref params = check_new(PyList_New(Py_ssize_t(wheres.size())));
    for (size_t i = 0; i < wheres.size(); ++i) {
        // An exact str is immutable: the caller's own object is the parameter.
        PyObject* v = values[i];
        PyList_SetItem(params.get(), Py_ssize_t(i), PyUnicode_CheckExact(v) ? new_ref(v) : new_str(wheres[i][2]).release());
    }
    return tuple_result(std::move(sql), std::move(params)).release();
}

const ArgumentSpec kCompileInsert{"QueryCompiler", "compile_insert", {"table", "columns", "dialect"}, 3};
PyObject* compile_insert(QueryRecord&, Args& a) {
    std::string_view table = a.str(0);
    auto columns = a.str_list(1);
    std::string_view dialect = a.str(2);
    query::Statement sql;
    query::compile_insert(sql, table, columns, dialect);
    return str_result(sql);
}

const ArgumentSpec kCompileUpdate{"QueryCompiler", "compile_update", {"table", "columns", "pk_col", "dialect"}, 4};
PyObject* compile_update(QueryRecord&, Args& a) {
    std::string_view table = a.str(0);
    auto columns = a.str_list(1);
    std::string_view pk_col = a.str(2);
    std::string_view dialect = a.str(3);
    query::Statement sql;
    query::compile_update(sql, table, columns, pk_col, dialect);
    return str_result(sql);
}

const ArgumentSpec kCompileDelete{"QueryCompiler", "compile_delete", {"table", "pk_col", "dialect"}, 3};
PyObject* compile_delete(QueryRecord&, Args& a) {
    std::string_view table = a.str(0);
    std::string_view pk_col = a.str(1);
    std::string_view dialect = a.str(2);
    query::Statement sql;
    query::compile_delete(sql, table, pk_col, dialect);
    return str_result(sql);
}

template <const ArgumentSpec& Spec, PyObject* (*Fn)(QueryRecord&, Args&)>
const PyCFunction entry = as_cfunction(
    method_entry<QueryRecord, g_query_compiler_class, Access::Shared, Spec, Fn>);

PyMethodDef g_methods[] = {
    {"get_placeholder", entry<kGetPlaceholder, get_placeholder>, kVarargs,
     "get_placeholder($self, dialect, index)\n--\n\n"
     "Formats placeholder based on database dialect: sqlite (?), postgres ($N), mysql (%s)"},
    {"compile_select", entry<kCompileSelect, compile_select>, kVarargs,
     "compile_select($self, table, columns, wheres, joins, order_by, limit=None, offset=None, "
     "dialect=\"sqlite\")\n--\n\nCompiles SELECT query with pre-allocated buffer"},
    {"compile_insert", entry<kCompileInsert, compile_insert>, kVarargs,
     "compile_insert($self, table, columns, dialect)\n--\n\nCompiles INSERT query with pre-allocated buffer"},
    {"compile_update", entry<kCompileUpdate, compile_update>, kVarargs,
     "compile_update($self, table, columns, pk_col, dialect)\n--\n\nCompiles UPDATE query with pre-allocated buffer"},
    {"compile_delete", entry<kCompileDelete, compile_delete>, kVarargs,
     "compile_delete($self, table, pk_col, dialect)\n--\n\nCompiles DELETE query"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ClassSpec g_query_compiler_class{
    "QueryCompiler",
    "QueryCompiler()\n--\n\n",
    instance_new<QueryRecord, g_query_compiler_class>,
    instance_dealloc<QueryRecord>,
    g_methods,
    instance_size<QueryRecord>(),
};

}  // namespace sablecrest
