// SchemaDiffEngine's method entries (placeholder until the diff lands).
#include "module/types.hpp"

namespace sablecrest {
namespace {
struct SchemaRecord {};

const ArgumentSpec kDiffTable{"SchemaDiffEngine", "diff_table", {"table_name", "model_fields", "db_columns", "_dialect"}, 4};
PyObject* diff_table(SchemaRecord&, Args&) { panic("SchemaDiffEngine.diff_table is not available yet"); }

PyMethodDef g_methods[] = {
    {"diff_table", as_cfunction(method_entry<SchemaRecord, g_schema_diff_engine_class, Access::Shared, kDiffTable, diff_table>),
     kVarargs,
     "diff_table($self, table_name, model_fields, db_columns, _dialect)\n--\n\n"
     "Compares model metadata against database introspection table structure.\n"
     "Returns upgrade_statements and downgrade_statements."},
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

ClassSpec g_schema_diff_engine_class{
    "SchemaDiffEngine", "SchemaDiffEngine()\n--\n\n", instance_new<SchemaRecord, g_schema_diff_engine_class>,
    instance_dealloc<SchemaRecord>, g_methods, instance_size<SchemaRecord>(),
};
}  // namespace sablecrest
