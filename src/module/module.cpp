// The init entry and type creation: single-phase initialisation, four heap
// types created once per process, and __all__ in registration order.
#include "module/types.hpp"

#include <cstring>

namespace sablecrest {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_sablecrest_rs",
    "",  // present and empty: the module's __doc__ is ""
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr; /* owned for the process, or NULL */

PyTypeObject* create_type(ClassSpec& cls) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(cls.doc)},
        {Py_tp_new, reinterpret_cast<void*>(cls.tp_new)},
        {Py_tp_methods, cls.methods},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(cls.tp_dealloc)},
        {0, nullptr},
    };
    // Before 3.11 the type keeps pointing into the spec's name, so the buffer
    // must live as long as the type; from 3.11 on the interpreter copies it.
    const std::string name = std::string("builtins.") + cls.name;
    char* buffer = new char[name.size() + 1];
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    PyType_Spec spec = {buffer, cls.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (runtime().at_least(3, 11)) delete[] buffer;
    if (type == nullptr) throw_fetched();
    if (cls.type == nullptr) {
        cls.type = type;
    } else {
        Py_DECREF(type);  // another request filled the slot meanwhile
    }
    return reinterpret_cast<PyTypeObject*>(cls.type);
}

void add_class(PyObject* module, ClassSpec& cls) {
    PyTypeObject* type = nullptr;
    try {
        type = type_object(cls);
    } catch (PyError& e) {
        ErrorState cause = std::move(e.state);
        cause.normalize();
        std::string message = std::string("An error occurred while initializing class ") + cls.name;
        Ref text = new_str(message);
        Ref exc = check_new(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
        set_cause(exc.get(), Ref::borrow(cause.value()));
        throw PyError{ErrorState::normalized(Ref::borrow(PyExc_RuntimeError), std::move(exc), Ref())};
    }
    Ref name = new_str(cls.name);

    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        ErrorState err = ErrorState::fetch();
        err.normalize();
        if (!PyErr_GivenExceptionMatches(err.type(), PyExc_AttributeError)) throw PyError{std::move(err)};
        all = check_new(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_fetched();
    }
    if (!PyList_Check(all.get())) throw_conversion(all.get(), "PyList");
    if (PyList_Append(all.get(), name.get()) != 0) {
        ErrorState err = ErrorState::fetch();
        panic("could not append __name__ to __all__: " + err.describe());
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) != 0) throw_fetched();
}

PyObject* init_module() {
    if (g_module != nullptr) {
        throw_lazy(PyExc_ImportError,
                   "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process");
    }
    Ref module = Ref::steal(PyModule_Create2(&g_module_def, 3));
    if (!module) throw_fetched();
#ifdef Py_GIL_DISABLED
    // A free-threaded interpreter would otherwise run these classes on several threads at
    // once, and nothing here is ready for that: the borrow counters are plain integers, the
    // type slots and the runtime cache are filled without a lock. Importing the module turns
    // the GIL back on (the interpreter says so with a RuntimeWarning) until that is done.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) != 0) throw_fetched();
#endif
    add_class(module.get(), g_state_tracker_class);
    add_class(module.get(), g_query_compiler_class);
    add_class(module.get(), g_batch_aggregator_class);
    add_class(module.get(), g_schema_diff_engine_class);
    g_module = new_ref(module.get());
    return module.release();
}

}  // namespace

PyTypeObject* type_object(ClassSpec& cls) {
    if (cls.type != nullptr) return reinterpret_cast<PyTypeObject*>(cls.type);
    return create_type(cls);
}

PyTypeObject* create_type_or_panic(ClassSpec& cls) {
    try {
        return create_type(cls);
    } catch (PyError& e) {
        std::move(e.state).restore();
        PyErr_PrintEx(0);
        panic(std::string("failed to create type object for ") + cls.name);
    }
}

}  // namespace sablecrest

// PyMODINIT_FUNC: extern "C", and dllexport on Windows. Before 3.9 its Unix form
// carries no visibility, and the build hides every symbol by default: the first
// declaration exports it.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__sablecrest_rs(void);
#endif
PyMODINIT_FUNC PyInit__sablecrest_rs(void) {
    return sablecrest::boundary([] { return sablecrest::init_module(); });
}
