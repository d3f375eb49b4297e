// BadAttributeError: raised for a value of the wrong type, with the bucket's
// name and the value.
#include "module.h"

namespace bucket {
namespace {

// The base initialiser is not called: the exception's args are the
// positional arguments, as for any exception.
PyObject* init(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    if (set_attr(self, names._key, args[1]) < 0 ||
        set_attr(self, names._value, args[2]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* str(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref key = attr(self, names._key);
    if (!key) {
        return nullptr;
    }
    Ref value = attr(self, names._value);
    if (!value) {
        return nullptr;
    }
    Ref again = attr(self, names._value);
    if (!again) {
        return nullptr;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(again.get()));
    return format("Attribute '%s' with value %s is of wrong type(%s)",
                  key.get(), value.get(), type)
        .release();
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"key", Default::Required},
      {"value", Default::Required}}},
    {"__str__", str, {{"self", Default::Required}}, true},
};

}  // namespace

Ref create_bad_attribute_error_class(PyObject* globals)
{
    return make_class(globals, "BadAttributeError", PyExc_Exception, nullptr,
                      methods, sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
