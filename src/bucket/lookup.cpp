// The names and constants of the late-bound lookups, and the Number test.
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
    if (fast_paths &&
        (type == &PyFloat_Type || type == &PyLong_Type ||
         type == &PyBool_Type || type == &PyComplex_Type) &&
        number.get() == shared.number && shared.number_check != nullptr &&
        reinterpret_cast<PyObject*>(Py_TYPE(number.get())) == shared.number_meta &&
        detail::class_lookup(Py_TYPE(number.get()), names.__instancecheck__) ==
            shared.number_check) {
        return 1;
    }
    return PyObject_IsInstance(value, number.get());
}

}  // namespace bucket
