// Method objects: the module's own callable type, which stands in for a
// Python function in the classes and the module namespace.
//
// A method object binds as a method (non-data descriptor, like a function),
// holds the module namespace as its globals, and binds its arguments to
// parameter slots with the argument errors of the module's interface before
// it calls its C++ implementation.
#pragma once

#include <Python.h>

namespace bucket {

// What a parameter without an argument takes. Only the two constants the
// module's signatures use.
enum class Default { Required, None, True };

struct Param {
    const char* name;
    Default fallback;
};

constexpr int MAX_PARAMS = 6;

// Called with the bound arguments in parameter order (self first for a
// method); every slot is set. Returns a new reference, or NULL with an
// exception set.
using MethodImpl = PyObject* (*)(PyObject* globals, PyObject* const* args);

struct MethodSpec {
    const char* name;
    MethodImpl impl;
    // Parameters in order, self included; required ones come first.
    Param params[MAX_PARAMS];
    // True for the functions whose one parameter is taken by position only.
    bool positional_only = false;
};

// A new method object for spec, named owner.name (or name alone for a module
// function, owner NULL), whose globals are the module namespace.
PyObject* make_method(const MethodSpec& spec, const char* owner,
                      PyObject* globals);

// The type of the method objects; readied by ready_method_type().
extern PyTypeObject method_type;

inline bool is_method_object(PyObject* obj)
{
    return Py_TYPE(obj) == &method_type;
}

// The implementation behind a method object, NULL for any other object.
MethodImpl method_impl(PyObject* obj);

// Calls the method object m with positional arguments only, as a call
// through the interpreter would. New reference, or NULL.
PyObject* call_method_object(PyObject* m, PyObject* const* args, Py_ssize_t nargs);

// Readies the method type; part of the module's exec step.
int ready_method_type();

}  // namespace bucket
