// The bucket kinds, one source file each. Each function makes its class as
// the module's exec step binds it, the base looked up by its global name.
#pragma once

#include <Python.h>

#include "refs.h"

namespace bucket {

Ref create_boolean_bucket_class(PyObject* globals);
Ref create_value_bucket_class(PyObject* globals);
Ref create_categorical_bucket_class(PyObject* globals);
Ref create_simple_categorical_bucket_class(PyObject* globals);
Ref create_range_bucket_class(PyObject* globals);
Ref create_string_bucket_class(PyObject* globals);

// Python's index <op> self._len for the range and string list kinds, which
// share the boundary count: 1, 0 or -1.
int compare_with_len(PyObject* self, PyObject* index, int op);

}  // namespace bucket
