/* Loops that make one kind of call from C, n times: what any C extension
 * pays to call into Python, next to what the interpreter pays for the same
 * call written in Python (inherent_costs.py times both with callgrind). Each
 * loop makes the call the way kestrel makes it. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX >= 0x030D0000
PyAPI_FUNC(int) _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
#endif

/* f(*args) through f's vectorcall function, as kestrel calls */
static PyObject *vcall(PyObject *f, PyObject *const *args, size_t nargsf) {
    vectorcallfunc vc = PyVectorcall_Function(f);
    return vc ? vc(f, args, nargsf, NULL) : PyObject_Vectorcall(f, args, nargsf, NULL);
}

static PyObject *done(PyObject *r) {
    if (!r) return NULL;
    Py_DECREF(r);
    return NULL;
}

/* f() through its vectorcall function */
static PyObject *call(PyObject *self, PyObject *args) {
    PyObject *f;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "On", &f, &n)) return NULL;
    vectorcallfunc vc = PyVectorcall_Function(f);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *r = vc(f, NULL, 0, NULL);
        if (!r) return NULL;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

/* obj.name(): the method looked up as the interpreter does, then called with obj */
static PyObject *method(PyObject *self, PyObject *args) {
    PyObject *obj, *name;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "OUn", &obj, &name, &n)) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *m = NULL;
        int unbound = _PyObject_GetMethod(obj, name, &m);
        if (!m) return NULL;
        PyObject *r = unbound ? vcall(m, &obj, 1) : vcall(m, NULL, 0);
        Py_DECREF(m);
        if (!r) return NULL;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

/* await f(): call the coroutine function, send None into the coroutine,
 * which finishes at once */
static PyObject *await_(PyObject *self, PyObject *args) {
    PyObject *f;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "On", &f, &n)) return NULL;
    vectorcallfunc vc = PyVectorcall_Function(f);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *coro = vc(f, NULL, 0, NULL);
        if (!coro) return NULL;
        PyObject *r = NULL;
        PySendResult s = Py_TYPE(coro)->tp_as_async->am_send(coro, Py_None, &r);
        Py_DECREF(coro);
        if (s != PYGEN_RETURN) return done(r);
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

/* obj[key] for a type whose __getitem__ is a Python function: the function
 * (found once, as kestrel keeps it by the type's version tag) called with
 * obj and key */
static PyObject *getitem(PyObject *self, PyObject *args) {
    PyObject *obj, *key;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "OOn", &obj, &key, &n)) return NULL;
    PyObject *name = PyUnicode_InternFromString("__getitem__");
    PyObject *f = name ? _PyType_Lookup(Py_TYPE(obj), name) : NULL;
    Py_XDECREF(name);
    if (!f) return PyErr_Occurred() ? NULL : PyErr_Format(PyExc_TypeError, "no __getitem__");
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *stack[] = {obj, key};
        Py_INCREF(f);
        PyObject *r = vcall(f, stack, 2);
        Py_DECREF(f);
        if (!r) return NULL;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"call", call, METH_VARARGS, NULL},
    {"method", method, METH_VARARGS, NULL},
    {"await_", await_, METH_VARARGS, NULL},
    {"getitem", getitem, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "inherent_costs", NULL, -1, methods};

PyMODINIT_FUNC PyInit_inherent_costs(void) { return PyModule_Create(&module); }
