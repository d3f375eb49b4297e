// The module frame: initialisation, the interned names, the module
// namespace as the methods' globals, and the making of the classes.
#pragma once

#include <Python.h>

#include <cstddef>

#include "lookup.h"
#include "method.h"
#include "refs.h"

namespace bucket {

// BadAttributeError, the exception for a value of the wrong type.
Ref create_bad_attribute_error_class(PyObject* globals);

// Raises BadAttributeError(key, value), looked up as a global; always NULL.
PyObject* raise_bad_attribute(PyObject* globals, PyObject* key,
                              PyObject* value);

// Makes a class as a class statement does: calls the metaclass of base with
// the name, (base,) and a namespace of __module__, __qualname__, the
// docstring (if any) and the methods in order. New reference.
Ref make_class(PyObject* globals, const char* name, PyObject* base,
               const char* doc, const MethodSpec* methods, std::size_t count);

// super(cls, self).method(args...), cls being the global cls_name.
template <typename... Args>
Ref call_super(PyObject* globals, PyObject* cls_name, PyObject* self,
               PyObject* method, Args... args)
{
    Ref cls = lookup_global(globals, cls_name);
    if (!cls) {
        return cls;
    }
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls.get(),
                     self);
    if (!proxy) {
        return proxy;
    }
    return call_method(proxy.get(), method, args...);
}

// owner.method(args...), owner being the global owner_name: how a kind
// calls a base class's method directly.
template <typename... Args>
Ref call_global_method(PyObject* globals, PyObject* owner_name,
                       PyObject* method, Args... args)
{
    Ref owner = lookup_global(globals, owner_name);
    if (!owner) {
        return owner;
    }
    return call_method(owner.get(), method, args...);
}

// print(text) with the interpreter's print, looked up at the call.
int print_line(PyObject* globals, PyObject* text);

}  // namespace bucket
