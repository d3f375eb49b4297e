// The names and constants of the late-bound lookups, the imports that the
// Number test and the bisect shortcut stand for, and the Number test.
#include "lookup.h"

namespace bucket {

Names names;
Shared shared;

namespace {

int intern_names()
{
    if (names.__name__ != nullptr) {
        return 0;
    }
#define BUCKET_INTERN_NAME(id)                        \
    names.id = PyUnicode_InternFromString(#id);       \
    if (names.id == nullptr) {                        \
        return -1;                                    \
    }
    BUCKET_NAMES(BUCKET_INTERN_NAME)
#undef BUCKET_INTERN_NAME
    return 0;
}

}  // namespace

int keep(PyObject** slot, PyObject* value)
{
    if (value == nullptr) {
        return -1;
    }
    Py_XSETREF(*slot, value);
    return 0;
}

namespace detail {

ClassView class_views[VIEW_COUNT];

PyObject* class_lookup_and_remember(ClassView& view, PyTypeObject* type,
                                    Py_ssize_t index, PyObject* name)
{
    // Gives the class a version tag where it has none and one can be had.
    PyObject* found = _PyType_Lookup(type, name);
    if (!compat::version_tag_valid(type)) {
        return found;
    }
    if (view.type != type || view.version != type->tp_version_tag) {
        view = ClassView();
        view.type = type;
        view.version = type->tp_version_tag;
    }
    view.found[index] = found;
    view.known[index / 64] |= std::uint64_t{1} << (index % 64);
    return found;
}

}  // namespace detail

// The package the module was imported into, "" for a top-level module.
Ref package_of(PyObject* module)
{
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) {
        return name;
    }
    const Py_ssize_t dot =
        PyUnicode_FindChar(name.get(), '.', 0, PyUnicode_GET_LENGTH(name.get()), -1);
    if (dot == -2) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Substring(name.get(), 0, dot < 0 ? 0 : dot));
}

// Imports name relative to package first and, only if that raises
// ImportError, as an absolute name. Returns the leaf module.
Ref import_module(PyObject* package, const char* name)
{
    if (PyUnicode_GET_LENGTH(package) > 0) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", package, name));
        if (!full) {
            return full;
        }
        Ref module = Ref::steal(PyImport_Import(full.get()));
        if (module || !PyErr_ExceptionMatches(PyExc_ImportError)) {
            return module;
        }
        PyErr_Clear();
    }
    Ref absolute = Ref::steal(PyUnicode_FromString(name));
    if (!absolute) {
        return absolute;
    }
    return Ref::steal(PyImport_Import(absolute.get()));
}

namespace {

// Records what the C Number test stands for, once Python has answered it
// for each of the exact types that the test decides; 0 or -1.
int remember_number_check(PyObject* number)
{
    Py_CLEAR(shared.number_meta);
    Py_CLEAR(shared.number_check);
    Ref samples[] = {Ref::steal(PyLong_FromLong(0)), Ref::borrow(Py_True),
                     Ref::steal(PyFloat_FromDouble(0.0)),
                     Ref::steal(PyComplex_FromDoubles(0.0, 0.0))};
    for (const Ref& sample : samples) {
        if (!sample) {
            return -1;
        }
        const int holds = PyObject_IsInstance(sample.get(), number);
        if (holds <= 0) {
            return holds;
        }
    }
    PyTypeObject* meta = Py_TYPE(number);
    PyObject* check = _PyType_Lookup(meta, names.__instancecheck__);
    if (check == nullptr) {
        return 0;
    }
    Py_INCREF(check);
    shared.number_check = check;
    Py_INCREF(meta);
    shared.number_meta = reinterpret_cast<PyObject*>(meta);
    return 0;
}

}  // namespace

int import_number_and_bisect(PyObject* package, Ref& number, Ref& bisect)
{
    Ref numbers = import_module(package, "numbers");
    if (!numbers) {
        return -1;
    }
    number = attr(numbers.get(), names.Number);
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                        "cannot import name 'Number' from 'numbers'");
        return -1;
    }
    bisect = import_module(package, "bisect");
    if (!bisect) {
        return -1;
    }
    Ref bisect_function = attr(bisect.get(), names.bisect);
    if (!bisect_function) {
        // A bisect without the function is left to fail at its first use,
        // as the module's code would; the shortcut never applies to it.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
    }
    if (remember_number_check(number.get()) < 0) {
        return -1;
    }
    Py_INCREF(number.get());
    Py_XSETREF(shared.number, number.get());
    Py_INCREF(bisect.get());
    Py_XSETREF(shared.bisect_module, bisect.get());
    Py_XSETREF(shared.bisect_function, bisect_function.release());
    return 0;
}

int make_names_and_constants()
{
    if (intern_names() < 0) {
        return -1;
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return -1;
    }
    PyObject* builtins_dict = PyModule_GetDict(builtins.get());
    Py_XINCREF(builtins_dict);
    return keep(&shared.builtins, builtins_dict) < 0 ||
                   keep(&shared.minus_one, PyLong_FromLong(-1)) < 0 ||
                   keep(&shared.zero, PyLong_FromLong(0)) < 0 ||
                   keep(&shared.one, PyLong_FromLong(1)) < 0 ||
                   keep(&shared.two, PyLong_FromLong(2)) < 0 ||
                   keep(&shared.hundred, PyLong_FromLong(100)) < 0 ||
                   keep(&shared.float_zero, PyFloat_FromDouble(0.0)) < 0 ||
                   keep(&shared.float_one, PyFloat_FromDouble(1.0)) < 0
               ? -1
               : 0;
}

bool number_test_in_c(PyObject* number)
{
    return fast_paths && number == shared.number && shared.number_check != nullptr &&
           reinterpret_cast<PyObject*>(Py_TYPE(number)) == shared.number_meta &&
           detail::class_lookup(Py_TYPE(number), names.__instancecheck__) ==
               shared.number_check;
}

int is_number(PyObject* globals, PyObject* value)
{
    Ref number = lookup_global(globals, names.Number);
    if (!number) {
        return -1;
    }
    // The Number bound at import holds every exact int, float, bool and
    // complex; asking its __instancecheck__ would give the same answer,
    // slower, while that method is the one it had then.
    PyTypeObject* type = Py_TYPE(value);
    if ((type == &PyFloat_Type || type == &PyLong_Type ||
         type == &PyBool_Type || type == &PyComplex_Type) &&
        number_test_in_c(number.get())) {
        return 1;
    }
    return PyObject_IsInstance(value, number.get());
}

}  // namespace bucket
