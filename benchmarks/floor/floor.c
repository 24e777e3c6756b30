/* The floor for call overhead: bare METH_VARARGS|METH_KEYWORDS and METH_NOARGS
 * methods that bind their arguments with PyArg_ParseTupleAndKeywords and
 * return a cached object. Built by the benchmark script, never shipped. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
} FloorObject;

static PyObject *cached;

static PyObject *floor_two(PyObject *self, PyObject *args, PyObject *kwargs) {
    static char *names[] = {"a", "b", NULL};
    PyObject *a, *b;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", names, &a, &b)) return NULL;
    Py_INCREF(cached);
    return cached;
}

static PyObject *floor_one(PyObject *self, PyObject *args, PyObject *kwargs) {
    static char *names[] = {"a", NULL};
    PyObject *a;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", names, &a)) return NULL;
    Py_INCREF(cached);
    return cached;
}

static PyObject *floor_none(PyObject *self, PyObject *unused) {
    Py_INCREF(cached);
    return cached;
}

static PyMethodDef floor_methods[] = {
    {"two", (PyCFunction)(void (*)(void))floor_two, METH_VARARGS | METH_KEYWORDS, NULL},
    {"one", (PyCFunction)(void (*)(void))floor_one, METH_VARARGS | METH_KEYWORDS, NULL},
    {"none", floor_none, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_methods},
    {Py_tp_new, PyType_GenericNew},
    {0, NULL},
};

static PyType_Spec floor_spec = {"_floor.Floor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT, floor_slots};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, NULL};

PyMODINIT_FUNC PyInit__floor(void) {
    PyObject *m = PyModule_Create(&floor_module);
    if (m == NULL) return NULL;
    cached = PyUnicode_FromString("cached");
    PyObject *t = PyType_FromSpec(&floor_spec);
    if (t == NULL || cached == NULL || PyModule_AddObject(m, "Floor", t) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
