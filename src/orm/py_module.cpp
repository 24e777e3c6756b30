// orm/py_module.cpp: sablecrest._native, the ORM's per-row core: module state, multi-
// phase init and the function table. Everything the module holds lives in its state,
// created by exec and released by clear/free: no object is kept for the process.
#include "orm/py_native.hpp"

namespace sablecrest::orm {

bool is_native_module(PyObject* o);

namespace {

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = module_state(module);
    if (st == nullptr) return 0;
    Py_VISIT(st->field_type);
    Py_VISIT(st->model_type);
    Py_VISIT(st->layout_type);
    Py_VISIT(st->relation_type);
    Py_VISIT(st->decimal_type);
    Py_VISIT(st->datetime_type);
    Py_VISIT(st->date_type);
    Py_VISIT(st->time_type);
    Py_VISIT(st->timedelta_type);
    Py_VISIT(st->uuid_type);
    Py_VISIT(st->int_int);
    return 0;
}

int module_clear_impl(PyObject* module) {
    ModuleState* st = module_state(module);
    if (st == nullptr) return 0;
    Py_CLEAR(st->field_type);
    Py_CLEAR(st->model_type);
    Py_CLEAR(st->layout_type);
    Py_CLEAR(st->relation_type);
    Py_CLEAR(st->decimal_type);
    Py_CLEAR(st->datetime_type);
    Py_CLEAR(st->date_type);
    Py_CLEAR(st->time_type);
    Py_CLEAR(st->timedelta_type);
    Py_CLEAR(st->uuid_type);
    Py_CLEAR(st->layout_attr);
    Py_CLEAR(st->tzinfo_attr);
    Py_CLEAR(st->utcoffset_name);
    Py_CLEAR(st->int_int);
    return 0;
}

void module_free_impl(void* module) { module_clear_impl(static_cast<PyObject*>(module)); }

PyObject* import_attr(const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    if (!m) return nullptr;
    return PyObject_GetAttrString(m.get(), name);
}

// module.NAME = ((name, value), ...): Python builds an IntEnum from it.
int add_pairs(PyObject* module, const char* name, const Named* items, size_t count) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!t) return -1;
    for (size_t i = 0; i < count; ++i) {
        PyObject* pair = Py_BuildValue("(sl)", items[i].name, items[i].value);
        if (pair == nullptr) return -1;
        PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), pair);
    }
    if (PyModule_AddObject(module, name, t.get()) != 0) return -1;
    t.release();  // stolen on success only
    return 0;
}

template <size_t N>
int add_pairs(PyObject* module, const char* name, const Named (&items)[N]) {
    return add_pairs(module, name, items, N);
}

int module_exec_impl(PyObject* module) {
    ModuleState* st = module_state(module);
    st->decimal_type = import_attr("decimal", "Decimal");
    if (st->decimal_type == nullptr) return -1;
    st->datetime_type = import_attr("datetime", "datetime");
    if (st->datetime_type == nullptr) return -1;
    st->date_type = import_attr("datetime", "date");
    if (st->date_type == nullptr) return -1;
    st->time_type = import_attr("datetime", "time");
    if (st->time_type == nullptr) return -1;
    st->timedelta_type = import_attr("datetime", "timedelta");
    if (st->timedelta_type == nullptr) return -1;
    st->uuid_type = import_attr("uuid", "UUID");
    if (st->uuid_type == nullptr) return -1;
    st->layout_attr = PyUnicode_InternFromString("__sc_layout__");
    if (st->layout_attr == nullptr) return -1;
    st->tzinfo_attr = PyUnicode_InternFromString("tzinfo");
    if (st->tzinfo_attr == nullptr) return -1;
    st->utcoffset_name = PyUnicode_InternFromString("utcoffset");
    if (st->utcoffset_name == nullptr) return -1;
    st->int_int = PyObject_GetAttrString(as_object(&PyLong_Type), "__int__");
    if (st->int_int == nullptr) return -1;
    if (add_types(module, st) != 0) return -1;

    Named kinds[kKindCount];
    for (size_t i = 0; i < kKindCount; ++i) kinds[i] = {kKinds[i].name, static_cast<long>(kKinds[i].kind)};
    Named transitions[kTransitionCount];
    for (size_t i = 0; i < kTransitionCount; ++i) transitions[i] = {kTransitions[i].name, static_cast<long>(i + 1)};
    if (add_pairs(module, "KINDS", kinds) != 0 || add_pairs(module, "STATES", kStateNames) != 0 ||
        add_pairs(module, "FIELD_FLAGS", kFieldFlagNames) != 0 || add_pairs(module, "TRANSITIONS", transitions) != 0)
        return -1;
    return 0;
}

// METH_VARARGS | METH_KEYWORDS functions are stored as PyCFunction.
template <auto Fn>
PyCFunction with_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<Fn>));
}

PyMethodDef g_functions[] = {
    {"materialize", entry<native_materialize>, METH_VARARGS,
     "materialize(layout, rows, identity, loaders, token, refresh=False) -> list"},
    {"validate", entry<native_validate>, METH_VARARGS, "validate(layout, objs, reject_nan, token, fresh=True) -> None"},
    {"insert_params", entry<native_insert_params>, METH_VARARGS,
     "insert_params(layout, objs, idxs, dumpers, flat) -> list"},
    {"update_groups", entry<native_update_groups>, METH_VARARGS,
     "update_groups(layout, objs, dumpers, version=-1) -> list"},
    {"begin_write", entry<native_begin_write>, METH_O, "begin_write(objs) -> None"},
    {"mark_flushed", entry<native_mark_flushed>, METH_VARARGS, "mark_flushed(layout, objs, identity, keys, written=None, filled=None) -> None"},
    {"dirty_objects", entry<native_dirty_objects>, METH_VARARGS, "dirty_objects(layout, objects) -> list"},
    {"key_params", entry<native_key_params>, METH_VARARGS, "key_params(layout, objs) -> list"},
    {"field_values", entry<native_field_values>, METH_VARARGS, "field_values(objs, index) -> list"},
    {"changes", entry<native_changes>, METH_O, "changes(obj) -> tuple of changed field indexes"},
    {"loaded", entry<native_loaded>, METH_VARARGS, "loaded(obj, index) -> the field's snapshot value"},
    {"state", entry<native_state>, METH_O, "state(obj) -> int"},
    {"owner", entry<native_owner>, METH_O, "owner(obj) -> int"},
    {"transition", with_keywords<native_transition>(), METH_VARARGS | METH_KEYWORDS,
     "transition(objs, op, token=0, pk=-1) -> None"},
    {"add_pending", entry<native_add_pending>, METH_VARARGS, "add_pending(objs, pending, start, token) -> index"},
    {"touch_epoch", entry<native_touch_epoch>, METH_NOARGS, "touch_epoch() -> int"},
    {"_rebuild", entry<native_rebuild>, METH_VARARGS, "_rebuild(cls, values, snapshot, flags, dict) -> object"},
    {"set_related", entry<native_set_related>, METH_VARARGS, "set_related(objs, index, values) -> None"},
    {"clear_related", entry<native_clear_related>, METH_VARARGS, "clear_related(objs, index) -> None"},
    {"group_related", entry<native_group_related>, METH_VARARGS,
     "group_related(parents, index, children, keys) -> None"},
    {"link_related", entry<native_link_related>, METH_VARARGS, "link_related(objs, index, fk, identity) -> None"},
    {"refresh", entry<native_refresh>, METH_VARARGS, "refresh(layout, rows, idxs, identity, loaders) -> count"},
    {"convert_rows", entry<native_convert_rows>, METH_VARARGS, "convert_rows(rows, loaders) -> list of tuples"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(entry<module_exec_impl>)},
#ifdef Py_GIL_DISABLED
    // The kernels mutate model objects and identity dicts without locks of their own:
    // the GIL stays on until they are shown safe without it (docs/free-threading.md).
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "sablecrest._native",
    "The per-row core of sablecrest.",
    sizeof(ModuleState),
    g_functions,
    g_slots,
    module_traverse,
    entry<module_clear_impl>,
    entry<module_free_impl>,
};

}  // namespace

bool is_native_module(PyObject* o) { return PyModule_Check(o) && PyModule_GetDef(o) == &g_module_def; }

}  // namespace sablecrest::orm

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&sablecrest::orm::g_module_def); }
